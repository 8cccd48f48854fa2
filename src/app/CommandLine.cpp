// Parsing the monitor's command line.
#include "app/CommandLine.h"

#include <cmath>
#include <cstdlib>

#include "app/MonitorTexts.h"
#include "record/LogWriters.h"
#include "record/PositionSource.h"
#include "stats/ReportUploader.h"

#ifndef CDMA_VERSION
#define CDMA_VERSION "0.0.0"
#endif

namespace {

bool IsDemoMode(const std::string& aMode) {
  for (const std::string_view mode : FindOption(MonitorTexts().Options, "--demo-mode")->ChoiceList())
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
    // An option missing from the table would be missing from --help, the manual and the completion.
    if (!FindOption(MonitorTexts().Options, arg)) throw ECommandLineError("Unknown argument: " + aArgs[i]);

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
  if (options.MetricsIdentity && !options.Metrics) throw ECommandLineError("--metrics-identity needs --metrics");
  CheckCaptureOptions(options, speedGiven);
  return options;
}

std::string UsageText(const std::string& aProgram) {
  TProgramTexts texts = MonitorTexts();
  texts.Program = aProgram;
  return HelpText(texts);
}

std::string VersionText() { return std::string("cdma-monitor ") + CDMA_VERSION + "\n"; }
