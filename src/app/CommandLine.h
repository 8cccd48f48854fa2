// The monitor's command line: what it may say, and its help and version texts. Shared by every
// way the program can show its window.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct TMonitorOptions {
  bool Console = false;                    // --console: the text view instead of the window
  bool Demo = false;                       // --demo: the simulated modem, started in-process
  std::string DemoMode = "reva";           // --demo-mode: 1x, reva, revb, sleep or cycle
  std::vector<std::string> Ports;          // --port DEVICE, in order
  std::optional<std::string> ReportUrl;    // --report-url URL
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
