// What the window logic hands to everything that consumes its figures besides the window: one
// sample per polling cycle, and events (sector change, modem found or lost, ...) as they happen.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/ModemStructuresUnit.h"

using TWallClock = std::chrono::system_clock;

// The figures of one polling cycle, exactly as the labels, the icon and the charts show them.
struct TCycleSample {
  TWallClock::time_point Time{};
  std::string LinkType;  // the link-type label's text ("Rev.A", "Sleep", ...)
  TEvdoType EvdoType = evtNone;
  float Rx = 0;
  float Tx = 0;
  float Drc = 0;  // the DRC label's figure; for 1x the smoothed pilot strength
  int Cell = 0;
  int Sector = 0;
  int Pn = 0;
  uint32_t UpKbps = 0;
  uint32_t DownKbps = 0;
  int Icon = 0;  // 0..5 bars, 6 no device
  bool Sleeping = false;
  bool Present = false;  // a modem is plugged in, its port open and polled
  // The cycle found no fresh link data and substituted its no-data RX and TX (-100 and -60.39)
  // and a cleared DRC: Rx, Tx and Drc are not measurements then.
  bool NoData = true;
  std::string Port;    // "COM3"; empty without a modem
  std::string Device;  // the port's device path; empty when unknown
};

enum class TMonitorEventKind {
  SectorChanged,    // From/To: "cell-sector/pn"
  LinkTypeChanged,  // From/To: the link-type texts
  SignalLost,       // the cycle switched to its no-data values
  SignalBack,
  ModemLost,        // Text: the port
  ModemFound,       // Text: the port's description
  DialupState,      // Text: the dial-up state line
  PingReply,        // RoundTripMs; Text: the ping line
  PingLoss,         // Text: the ping line
};

// The kind's name in files and on the console, e.g. "sector_changed".
std::string_view MonitorEventName(TMonitorEventKind aKind);

struct TMonitorEvent {
  TMonitorEventKind Kind = TMonitorEventKind::SectorChanged;
  TWallClock::time_point Time{};
  std::string From;
  std::string To;
  std::string Text;
  std::optional<uint32_t> RoundTripMs;
};

// A consumer of samples and events. Both calls come on the user-interface thread and must return
// at once: a sink that writes or serves copies the value under its own lock and works elsewhere.
class TCycleSink {
 public:
  virtual ~TCycleSink() = default;
  virtual void Consume(const TCycleSample& aSample) = 0;
  virtual void Consume(const TMonitorEvent& aEvent) = 0;
};
