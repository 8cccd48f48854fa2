// Parsing the monitor's command line.
#include "app/CommandLine.h"

#include "record/LogWriters.h"
#include "record/PositionSource.h"
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

}  // namespace

TMonitorOptions ParseCommandLine(const std::vector<std::string>& aArgs) {
  TMonitorOptions options;
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
    } else if (arg == "--log") {
      std::string path = takeValue();
      if (!LogFormatOfPath(path))
        throw ECommandLineError("--log " + path + ": unknown log format (use " + kLogExtensions + ")");
      options.Logs.push_back(std::move(path));
    } else if (arg == "--gps") {
      std::string address = takeValue();
      if (!ParseGpsdAddress(address)) throw ECommandLineError("--gps needs HOST:PORT, not " + address);
      options.Gps = std::move(address);
    } else if (arg == "--convert") {
      std::string input = takeValue();
      if (i + 1 >= aArgs.size()) throw ECommandLineError("--convert needs a CSV log and an output file");
      std::string output = aArgs[++i];
      if (!LogFormatOfPath(output))
        throw ECommandLineError("--convert " + output + ": unknown log format (use " + kLogExtensions + ")");
      options.Convert.emplace(std::move(input), std::move(output));
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
  return options;
}

std::string UsageText(const std::string& aProgram) {
  return "Usage: " + aProgram +
         " [--console] [--demo [--demo-mode MODE]] [--port DEVICE]... [--report-url URL]\n"
         "       [--log FILE]... [--gps HOST:PORT]\n"
         "       " + aProgram + " --convert LOG.csv OUT.gpx|OUT.kml\n"
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
         "  --log FILE         record every cycle and event with its position to FILE: .csv,\n"
         "                     .jsonl, .gpx or .kml by the extension; any number of files; a file\n"
         "                     that exists is kept and a numbered name used instead\n"
         "  --gps HOST:PORT    gpsd to take positions from (default localhost:2947)\n"
         "  --convert LOG.csv OUT\n"
         "                     write a CSV log again as OUT (.gpx or .kml, also .csv, .jsonl)\n"
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
         "  log FILE     start recording to FILE (as --log); log stop ends it, log tells how it goes\n"
         "  quit         stop the modem and leave (so do Ctrl-C and SIGTERM)\n"
         "\n"
         "The connection panel writes \"dialup: \" and its status line, \"button: \" and the\n"
         "button's caption, each when it changes, and \"ping: \" and each ping line. The entries\n"
         "are NetworkManager's connection profiles; with --demo, one demo connection.\n";
}

std::string VersionText() { return std::string("cdma-monitor ") + CDMA_VERSION + "\n"; }
