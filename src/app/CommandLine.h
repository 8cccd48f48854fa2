// The monitor's command line: what it may say, and its help and version texts. Shared by every
// way the program can show its window.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "metrics/MetricsServer.h"
#include "align/AlignFigures.h"

struct TMonitorOptions {
  bool Console = false;                    // --console: the text view instead of the window
  bool Demo = false;                       // --demo: the simulated modem, started in-process
  std::string DemoMode = "reva";           // --demo-mode: 1x, reva, revb, sleep or cycle
  std::vector<std::string> Ports;          // --port DEVICE, in order
  std::optional<std::string> ReportUrl;    // --report-url URL
  // The metrics endpoint and the service mode.
  std::optional<TMetricsAddress> Metrics;  // --metrics ADDRESS:PORT
  bool MetricsIdentity = false;            // --metrics-identity: ESN and MIN in the metrics
  bool Headless = false;                   // --headless: no view, no input, a log on standard error
  // The alignment mode.
  bool Align = false;                              // --align: open it at start
  TAlignFigure AlignFigure = TAlignFigure::Rx;     // --align-figure rx|drc|ecio
  std::optional<TAlignRange> AlignRange;           // --align-range LOW:HIGH, for that figure
  bool NoTone = false;                             // --no-tone
  // The field log: --log FILE (.csv, .jsonl, .gpx, .kml), in order; --gps HOST:PORT, gpsd's
  // address (none: the local gpsd); --convert LOG.csv OUT, a CSV log written again as OUT.
  std::vector<std::string> Logs;
  std::optional<std::string> Gps;
  std::optional<std::pair<std::string, std::string>> Convert;
  // Captures.
  std::optional<std::string> Capture;      // --capture FILE: record the diagnostic port's traffic
  std::optional<std::string> Replay;       // --replay FILE: a capture played back as a port
  bool ReplayMax = false;                  // --replay-speed max
  double ReplayFactor = 1;                 // --replay-speed FACTOR
  std::optional<std::string> Dump;         // --dump FILE: list a capture's frames and stop
  bool Json = false;                       // --json: the dump as JSON Lines
  bool Help = false;
  bool Version = false;
};

// A command line that cannot be run; the text says why.
class ECommandLineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// aArgs: the arguments after the program's name. Throws ECommandLineError.
TMonitorOptions ParseCommandLine(const std::vector<std::string>& aArgs);
std::string UsageText(const std::string& aProgram);
std::string VersionText();
