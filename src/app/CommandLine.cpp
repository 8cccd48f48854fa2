// Parsing the monitor's command line.
#include "app/CommandLine.h"

#include <cmath>
#include <cstdlib>

#include "record/LogWriters.h"
#include "record/PositionSource.h"
#include "stats/ReportUploader.h"

#ifndef CDMA_VERSION
#define CDMA_VERSION "0.0.0"
#endif

namespace {

constexpr const char* kDemoModes[] = {"1x", "reva", "revb", "sleep", "cycle", "weak"};

bool IsDemoMode(const std::string& aMode) {
  for (const char* mode : kDemoModes)
    if (aMode == mode) return true;
  return false;
}

// "LOW:HIGH", two finite numbers with LOW below HIGH.
std::optional<TAlignRange> ParseAlignRange(const std::string& aText) {
  const size_t colon = aText.find(':', 1);
  if (colon == std::string::npos) return std::nullopt;
  const std::string low = aText.substr(0, colon), high = aText.substr(colon + 1);
  char* lowEnd = nullptr;
  char* highEnd = nullptr;
  const double l = std::strtod(low.c_str(), &lowEnd), h = std::strtod(high.c_str(), &highEnd);
  if (low.empty() || high.empty() || *lowEnd != '\0' || *highEnd != '\0' || !std::isfinite(l) || !std::isfinite(h) || !(l < h))
    return std::nullopt;
  return TAlignRange{l, h};
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
    } else if (arg == "--metrics") {
      const std::string text = takeValue();
      options.Metrics = ParseMetricsAddress(text);
      if (!options.Metrics) throw ECommandLineError("Not a PORT or ADDRESS:PORT for --metrics: " + text);
    } else if (arg == "--metrics-identity") {
      noValue();
      options.MetricsIdentity = true;
    } else if (arg == "--headless") {
      noValue();
      options.Headless = true;
    } else if (arg == "--align") {
      noValue();
      options.Align = true;
    } else if (arg == "--align-figure") {
      const std::string name = takeValue();
      const std::optional<TAlignFigure> figure = AlignFigureFromName(name);
      if (!figure) throw ECommandLineError("Unknown alignment figure: " + name + " (rx, drc or ecio)");
      options.AlignFigure = *figure;
    } else if (arg == "--align-range") {
      const std::string text = takeValue();
      options.AlignRange = ParseAlignRange(text);
      if (!options.AlignRange) throw ECommandLineError("--align-range needs LOW:HIGH with LOW below HIGH, not " + text);
    } else if (arg == "--no-tone") {
      noValue();
      options.NoTone = true;
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
  if (options.MetricsIdentity && !options.Metrics) throw ECommandLineError("--metrics-identity needs --metrics");
  return options;
}

std::string UsageText(const std::string& aProgram) {
  return "Usage: " + aProgram +
         " [--console] [--demo [--demo-mode MODE]] [--port DEVICE]... [--report-url URL]\n"
         "       " + aProgram + " ... [--headless] [--metrics [ADDRESS:]PORT [--metrics-identity]]\n"
         "       " + aProgram + " ... [--align] [--align-figure rx|drc|ecio] [--align-range LOW:HIGH] [--no-tone]\n"
         "       " + aProgram + " ... [--log FILE]... [--gps HOST:PORT]\n"
         "       " + aProgram + " --convert LOG.csv OUT.gpx|OUT.kml\n"
         "       " + aProgram + " --help | --version\n"
         "\n"
         "Finds a CDMA2000 1x / EV-DO modem's diagnostic port and shows its signal every 500 ms\n"
         "in its window, or as lines of text where there is no display (DISPLAY and WAYLAND_DISPLAY\n"
         "unset).\n"
         "\n"
         "  --console          show the window as lines of text on standard output\n"
         "  --demo             start a simulated modem in-process and find it like any port\n"
         "  --demo-mode MODE   the simulated modem's link: 1x, reva (default), revb, sleep, cycle,\n"
         "                     or weak (Rev A with RX below -100 dBm)\n"
         "  --port DEVICE      also probe this serial device (for example a pseudo-terminal)\n"
         "  --report-url URL   where \"Send report\" uploads (default " + DefaultReportUrl() + ")\n"
         "  --headless         no view and no commands: the monitor's work alone, for a service;\n"
         "                     one line on standard error at start, for each modem found or lost\n"
         "                     and for each error; SIGTERM stops it cleanly\n"
         "  --metrics [ADDRESS:]PORT\n"
         "                     serve the figures for Prometheus at http://ADDRESS:PORT/metrics\n"
         "                     (ADDRESS 127.0.0.1 when only a port is given; [::1]:PORT for IPv6)\n"
         "  --metrics-identity also put the modem's ESN and MIN in the metrics (they identify a\n"
         "                     subscriber)\n"
         "  --align            open the alignment mode at start: big figures, peak hold, a tone\n"
         "                     (in the window also by the key A or the context menu)\n"
         "  --align-figure F   the figure to aim by: rx (RX power, default), drc, ecio\n"
         "  --align-range L:H  the span of that figure the tone's 300..1800 Hz cover\n"
         "                     (default rx -110:-50 dBm, ecio -20:0 dB, drc by the link type)\n"
         "  --no-tone          the alignment mode without its tone\n"
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
         "  rx DBM       (--demo) hold the simulated receive power at DBM; rx auto: fading again\n"
         "  log FILE     start recording to FILE (as --log); log stop ends it, log tells how it goes\n"
         "  quit         stop the modem and leave (so do Ctrl-C and SIGTERM)\n"
         "With --align, one \"align: \" line per 100 ms sample, and the commands\n"
         "  peak         reset the peak\n"
         "  figure F     aim by rx, drc or ecio\n"
         "  mute, unmute the tone off and on; volume 0..100 sets its loudness\n"
         "\n"
         "The connection panel writes \"dialup: \" and its status line, \"button: \" and the\n"
         "button's caption, each when it changes, and \"ping: \" and each ping line. The entries\n"
         "are NetworkManager's connection profiles; with --demo, one demo connection.\n";
}

std::string VersionText() { return std::string("cdma-monitor ") + CDMA_VERSION + "\n"; }
