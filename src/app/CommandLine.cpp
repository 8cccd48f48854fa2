// Parsing the monitor's command line.
#include "app/CommandLine.h"

#include <cmath>
#include <cstdlib>

#include "stats/ReportUploader.h"

#ifndef CDMA_VERSION
#define CDMA_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kDemoModes[] = {"1x", "reva", "revb", "sleep", "cycle"};

bool IsDemoMode(const std::string& aMode) {
  for (const char* mode : kDemoModes)
    if (aMode == mode) return true;
  return false;
}

// "max", or a positive factor by which the recorded spacing is divided.
void ParseReplaySpeed(const std::string& aText, TMonitorOptions& aOptions) {
  if (aText == "max") {
    aOptions.ReplayMax = true;
    return;
  }
  char* end = nullptr;
  const double factor = std::strtod(aText.c_str(), &end);
  if (aText.empty() || *end != '\0' || !std::isfinite(factor) || !(factor > 0))
    throw ECommandLineError("--replay-speed takes a positive number or max, not \"" + aText + "\"");
  aOptions.ReplayMax = false;
  aOptions.ReplayFactor = factor;
}

// Options that only make sense together, or not at all together.
void CheckCaptureOptions(const TMonitorOptions& aOptions, bool aSpeedGiven) {
  if (aOptions.Json && !aOptions.Dump) throw ECommandLineError("--json goes with --dump");
  if (aOptions.Dump && (aOptions.Console || aOptions.Demo || !aOptions.Ports.empty() || aOptions.Capture ||
                        aOptions.Replay || aOptions.ReportUrl))
    throw ECommandLineError("--dump takes no other option but --json");
  if (aSpeedGiven && !aOptions.Replay) throw ECommandLineError("--replay-speed goes with --replay");
  if (aOptions.Replay && (aOptions.Demo || !aOptions.Ports.empty()))
    throw ECommandLineError("--replay plays its capture as the only port: no --demo or --port with it");
}

}  // namespace

TMonitorOptions ParseCommandLine(const std::vector<std::string>& aArgs) {
  TMonitorOptions options;
  bool speedGiven = false;
  for (size_t i = 0; i < aArgs.size(); ++i) {
    std::string arg = aArgs[i];
    std::optional<std::string> value;
    if (arg.starts_with("--"))
      if (const size_t equals = arg.find('='); equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg.resize(equals);
      }
    // The value of an option that takes one: after '=' or in the next argument.
    const auto takeValue = [&]() -> std::string {
      if (value) return *value;
      if (i + 1 >= aArgs.size()) throw ECommandLineError(arg + " needs a value");
      return aArgs[++i];
    };
    const auto noValue = [&] {
      if (value) throw ECommandLineError(arg + " takes no value");
    };

    if (arg == "--console") {
      noValue();
      options.Console = true;
    } else if (arg == "--demo") {
      noValue();
      options.Demo = true;
    } else if (arg == "--demo-mode") {
      options.DemoMode = takeValue();
      if (!IsDemoMode(options.DemoMode)) throw ECommandLineError("Unknown demo mode: " + options.DemoMode);
    } else if (arg == "--port") {
      std::string device = takeValue();
      if (device.empty()) throw ECommandLineError("--port needs a device path");
      options.Ports.push_back(std::move(device));
    } else if (arg == "--report-url") {
      std::string url = takeValue();
      if (!IsReportUrl(url)) throw ECommandLineError("Not an http or https URL: " + url);
      options.ReportUrl = std::move(url);
    } else if (arg == "--capture" || arg == "--replay" || arg == "--dump") {
      std::string file = takeValue();
      if (file.empty()) throw ECommandLineError(arg + " needs a file name");
      (arg == "--capture" ? options.Capture : arg == "--replay" ? options.Replay : options.Dump) = std::move(file);
    } else if (arg == "--replay-speed") {
      ParseReplaySpeed(takeValue(), options);
      speedGiven = true;
    } else if (arg == "--json") {
      noValue();
      options.Json = true;
    } else if (arg == "--help" || arg == "-h") {
      noValue();
      options.Help = true;
    } else if (arg == "--version") {
      noValue();
      options.Version = true;
    } else {
      throw ECommandLineError("Unknown argument: " + aArgs[i]);
    }
  }
  CheckCaptureOptions(options, speedGiven);
  return options;
}

std::string UsageText(const std::string& aProgram) {
  return "Usage: " + aProgram +
         " [--console] [--demo [--demo-mode MODE]] [--port DEVICE]... [--report-url URL]\n"
         "       [--capture FILE] [--replay FILE [--replay-speed FACTOR|max]]\n"
         "       " + aProgram + " --dump FILE [--json]\n"
         "       " + aProgram + " --help | --version\n"
         "\n"
         "Finds a CDMA2000 1x / EV-DO modem's diagnostic port and shows its signal every 500 ms\n"
         "in its window, or as lines of text where there is no display (DISPLAY and WAYLAND_DISPLAY\n"
         "unset).\n"
         "\n"
         "  --console          show the window as lines of text on standard output\n"
         "  --demo             start a simulated modem in-process and find it like any port\n"
         "  --demo-mode MODE   the simulated modem's link: 1x, reva (default), revb, sleep, cycle\n"
         "  --port DEVICE      also probe this serial device (for example a pseudo-terminal)\n"
         "  --report-url URL   where \"Send report\" uploads (default " + DefaultReportUrl() + ")\n"
         "  --capture FILE     record every read and write of the modem's port into a pcap file (a\n"
         "                     new name with a number when FILE exists); it holds the modem's identity\n"
         "  --replay FILE      play a capture back as a port (\"Replay of FILE\"); at its end the\n"
         "                     replayed modem is unplugged\n"
         "  --replay-speed S   the recorded spacing divided by S (default 1), or max: as fast as the\n"
         "                     monitor reads, its clock following the capture's\n"
         "  --dump FILE        one line per frame of a capture: time, direction, length, CRC, what\n"
         "                     it is and the figures it set; --json for JSON Lines\n"
         "  --help, --version  this text, the version\n"
         "\n"
         "Console commands (--console), one per line on standard input:\n"
         "  report       print the report window's contents\n"
         "  send         send the report to the report server\n"
         "  ping         the Ping button: starts pinging the connection's far end, or stops\n"
         "  stats        frames the modem session dispatched and dropped as damaged\n"
         "  entries      the connection list: \"entries: N\", one \"entry: NAME\" line each,\n"
         "               then \"selected: NAME\" when one is chosen\n"
         "  select NAME  choose the connection list's entry NAME\n"
         "  connect      the connection button (Connect or Disconnect, as its caption says;\n"
         "  disconnect   both words press it)\n"
         "  unplug       (--demo) pull the simulated modem out\n"
         "  plug         (--demo) plug it back in\n"
         "  quit         stop the modem and leave (so do Ctrl-C and SIGTERM)\n"
         "\n"
         "The connection panel writes \"dialup: \" and its status line, \"button: \" and the\n"
         "button's caption, each when it changes, and \"ping: \" and each ping line. The entries\n"
         "are NetworkManager's connection profiles; with --demo, one demo connection.\n";
}

std::string VersionText() { return std::string("cdma-monitor ") + CDMA_VERSION + "\n"; }
