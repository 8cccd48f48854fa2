// The simulated modem: a device of our own that plays the modem's diagnostic port on a
// pseudo-terminal. It answers the monitor's commands, streams the log packets of its link
// type once logging is switched on, keeps the truth of what it sent, and injects faults.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ByteString.h"
#include "sim/SimCommands.h"
#include "sim/SimLogs.h"
#include "sim/SimPty.h"
#include "sim/SimRandom.h"
#include "sim/SimScenario.h"
#include "sim/SimTruth.h"
#include "sim/SimWire.h"

namespace sim {

struct TSimConfig {
  uint32_t Esn = 0x9F3A05C1;
  std::string Min = "5551234";              // seven digits, or ten with the area code first
  std::string DirectoryNumber = "5550188";  // seven digits (or ten: the last seven count)
  std::string Lac = "095";                  // three digits
  TSimMode Mode = TSimMode::RevA;
  std::vector<uint16_t> Channels = {283, 384, 425};  // Rev B carriers (1..3); the first also serves 1x and Rev A
  uint64_t Seed = 1;
  double Rate = 1.0;     // scales the packets per second (1: tens a second, as a real modem)
  bool MaxRate = false;  // write as fast as the pseudo-terminal takes
  std::string LinkPath;  // if set, a symlink kept pointing at the current slave
  std::optional<uint16_t> ModeWord;  // of the status reply; by default 5 for Rev B and sleep, else 1 or 4
  double CycleSeconds = 15;          // scenario seconds per link type in the cycle mode
  bool WeakSignal = false;           // RX kept below -100 dBm, as at the edge of coverage
  // Hears every byte the device writes (aFromModem; frame by frame, with the scenario time each
  // was made) and reads (with the scenario time then), as it moves; for a capture of the
  // device's side. Called on the device's thread with its lock held: it must only copy.
  std::function<void(bool aFromModem, TByteView aBytes, double aScenarioMs)> WireTap;
};

// Faults injected at random, per frame written.
struct TFaultRates {
  double DamageCrc = 0;     // probability that a log packet goes out with a damaged CRC
  double Split = 0;         // probability that a frame is written in pieces
  double Garbage = 0;       // probability of a burst of random bytes before a log packet
  size_t GarbageBytes = 48;
};

class TSimulatedModem {
 public:
  // Validates the configuration; throws std::invalid_argument with the reason.
  explicit TSimulatedModem(TSimConfig aConfig);
  ~TSimulatedModem();
  TSimulatedModem(const TSimulatedModem&) = delete;
  TSimulatedModem& operator=(const TSimulatedModem&) = delete;

  // Creates the pseudo-terminal and the device thread. Throws std::system_error when no
  // pseudo-terminal can be had, std::logic_error when already running.
  void Start();
  // Stops and joins the thread, closes the pseudo-terminal, removes the symlink. Idempotent.
  void Stop();
  bool Running() const;

  // The slave's path, or empty while unplugged or stopped.
  std::string SlavePath() const;
  bool Plugged() const;

  void SetMode(TSimMode aMode);
  TSimMode Mode() const;
  // Receive power held at aDbm on every carrier from the next packet on (clamped to
  // -120..-25 dBm); none: the fading scenario again.
  void SetRxLevel(std::optional<double> aDbm);
  // The Rev B carriers (1..3 channels of 1..1023); throws std::invalid_argument.
  void SetChannels(std::vector<uint16_t> aChannels);

  // Fault injection. Split: every frame is written in two to four pieces with short pauses.
  // DamageNextCrcs: the next n frames written, of any kind, carry a wrong CRC. InjectGarbage:
  // about aBytes random bytes, flag-delimited pieces none of which has a valid CRC (nothing
  // while unplugged). Stall: the
  // device neither answers nor streams; commands that arrive meanwhile are dropped.
  void SplitFrames(bool aOn);
  void DamageNextCrcs(unsigned aCount);
  void InjectGarbage(size_t aBytes);
  // About aBytes random bytes without a single flag, then one flag: a frame that never seems
  // to end, which a receiver can only drop as one damaged frame (counted as one garbage frame
  // in one burst). Nothing while unplugged.
  void InjectUnflagged(size_t aBytes);
  void Stall(bool aOn);
  void SetFaultRates(const TFaultRates& aRates);

  // Unplug closes the pseudo-terminal (readers of the slave see a hang-up) and removes the
  // symlink; logging is off after a replug, as with a real device. Replug creates a new
  // pseudo-terminal, points the symlink at it and returns its path. Throws std::system_error.
  void Unplug();
  std::string Replug();
  // The next log packet goes out only in part, about half of it, and the device is unplugged
  // once the reader has taken that part (or a second has passed), as a cable pulled in the
  // middle of a frame would leave it. Nothing else is written meanwhile.
  void UnplugMidFrame();

  TSimTruth Truth() const;
  TSimCounters Counters() const;
  bool LoggingOn() const;
  // Waits until aCondition holds for the counters, which it is checked against whenever
  // they change; false when the time runs out first.
  bool WaitUntil(const std::function<bool(const TSimCounters&)>& aCondition, std::chrono::milliseconds aTimeout) const;

 private:
  using TClock = std::chrono::steady_clock;

  struct TOutFrame {
    enum class TKind : uint8_t { Log, Reply, Garbage };
    TKind Kind = TKind::Log;
    uint16_t Code = 0;
    bool Damaged = false;
    uint32_t GarbagePieces = 0;
    TByteString Wire;
    std::vector<size_t> Cuts;  // a new write begins at each, after a pause
    std::chrono::milliseconds Pause{0};
    size_t Offset = 0;
    size_t UnplugAt = 0;  // non-zero: the device is unplugged once the frame is written up to here
    std::optional<TClock::time_point> HoldUntil;
    std::function<void(TSimTruth&)> Commit;
    double MadeAt = 0;  // scenario time, for a capture of the device's side
  };

  struct TScheduleEntry {
    uint16_t Code = 0;
    int Carrier = 0;
    double PeriodMs = 0;
    double NextDue = 0;
  };

  void Run(std::stop_token aStop);
  void Wake() const;
  void PlugLocked();
  void UnplugLocked();
  TSimMode ActiveModeFor(double aVirtualMs) const;
  void SwitchActiveMode(TSimMode aMode);
  void BuildSchedule();
  void AdvanceVirtualTime(TClock::time_point aNow);
  void Generate();
  void EnqueueLog(TEncodedLog aLog);
  void EnqueueGarbage(size_t aBytes);
  void EnqueueGarbageFrame(TByteString aWire, uint32_t aPieces);
  void ArmMidFrameUnplug();
  bool CutFrameTaken(TClock::time_point aNow) const;
  void EnqueueReply(TByteString aContent);
  void Shape(TOutFrame& aFrame, bool aLog);
  bool Flush(TClock::time_point aNow);
  void Completed(TOutFrame& aFrame);
  void ReadCommands();
  void HandleCommand(const TByteString& aCommand);
  void SetMask(const TLogMask& aMask);
  uint16_t ModeWord() const;
  int PollTimeoutMs(TClock::time_point aNow) const;
  bool CanWrite(TClock::time_point aNow) const;
  size_t Backlog() const;

  const TSimConfig FConfig;
  TDeviceIdentity FIdentity;
  int FWake = -1;

  mutable std::mutex FLock;
  mutable std::condition_variable FChanged;
  std::jthread FThread;
  bool FRunning = false;
  TSimPty FPty;
  uint64_t FPlugGeneration = 0;
  bool FMasterHungUp = false;

  TSimMode FMode;
  TSimMode FActiveMode;
  TSimScenario FScenario;
  TSimLogEncoder FEncoder;
  TSimTruth FTruth;
  TSimCounters FCounters;
  TCommandDeframer FDeframer;
  TLogMask FMask;
  std::optional<TClock::time_point> FStreamingSince;
  std::vector<TScheduleEntry> FSchedule;
  uint64_t FSeenSectorEpoch = 0;

  double FVirtualMs = 0;  // the scenario's clock
  TClock::time_point FWallBase;
  double FVirtualBase = 0;

  bool FStalled = false;
  bool FSplit = false;
  unsigned FDamageNext = 0;
  bool FUnplugMidFrame = false;
  std::optional<TClock::time_point> FCutSince;  // half a frame written, the unplug to follow
  TFaultRates FFaults;
  TRandom FFaultRnd;
  std::deque<TOutFrame> FOut;
  size_t FOutBytes = 0;  // unwritten bytes in FOut
  std::deque<TOutFrame> FReplies;
};

// Text of a mode for the command line: "1x", "reva", "revb", "sleep", "cycle".
const char* ModeName(TSimMode aMode);
std::optional<TSimMode> ModeFromName(std::string_view aName);

}  // namespace sim
