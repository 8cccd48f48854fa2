// The console program: the window's logic, the console view and loop, discovery and port
// notifications, and the demo's simulated modem.
#include "app/ConsoleProgram.h"

#include <unistd.h>

#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

#include "align/AlignText.h"
#include "app/AlignMode.h"
#include "app/FieldLog.h"
#include "app/HeadlessLog.h"
#include "app/MonitorCapture.h"
#include "app/MonitorPlatform.h"
#include "metrics/MetricsEndpoint.h"
#include "window/ConsoleLoop.h"
#include "window/ConsoleView.h"
#include "window/MainUnit.h"

namespace {

constexpr uint16_t kEscapeKey = 27;

// A finite number and nothing else.
std::optional<double> ParseRxLevel(const std::string& aText) {
  char* end = nullptr;
  const double value = std::strtod(aText.c_str(), &end);
  if (aText.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

int RunConsoleMonitor(const TMonitorOptions& aOptions) {
  // The user's decimal separator and date and time formats, as the window program's toolkit
  // takes them from the environment.
  std::setlocale(LC_ALL, "");
  // A reader that went away must not end the program in the middle of stopping the modem.
  std::signal(SIGPIPE, SIG_IGN);

  // Signals are caught from the outset; one that comes before the window exists ends the program
  // as soon as the window has been made, before any modem is started.
  TConsoleLoop loop;
  std::function<void()> close = [&] { loop.RequestClose(); };
  loop.CatchSignals([&](int) { close(); });

  // The field log's files are made before anything else: one that cannot be is the end.
  TFieldLog fieldLog(
      aOptions, [&loop](std::function<void()> aTask) { loop.Post(std::move(aTask)); },
      [](const TRecorderNotice& aNotice) { std::cout << aNotice.Text << std::endl; });
  try {
    if (!aOptions.Logs.empty()) fieldLog.Start(aOptions.Logs);
  } catch (const ELogFileError& e) {
    std::cerr << "cdma-monitor: " << e.what() << "\n";
    return 2;
  }
  // The metrics endpoint listens before any modem is searched or simulated: an address that
  // cannot be bound ends the program here.
  auto endpoint = TMetricsEndpoint::Create(aOptions.Metrics, aOptions.MetricsIdentity, std::cerr);
  if (!endpoint) return 2;
  const std::unique_ptr<TMetricsEndpoint> metrics = std::move(*endpoint);
  // The service mode: no view on standard output, no commands, a log on standard error.
  std::unique_ptr<THeadlessLog> headless;
  if (aOptions.Headless) headless = std::make_unique<THeadlessLog>(std::cerr);

  // Made before the platform: it outlives the window, whose ports record into it or replay
  // from it.
  const std::unique_ptr<TMonitorCapture> capture = TMonitorCapture::Create(aOptions, std::cerr);
  if (!capture) return 2;
  const std::unique_ptr<TMonitorPlatform> platform = TMonitorPlatform::Create(aOptions, std::cerr, capture.get());
  if (!platform) return 1;
  TDemoModem* const demo = platform->Demo();
  if (headless) platform->SetNotices(nullptr);

  // The window's loop: the console's own, or one that marks its ticks in a capture or runs them
  // on a replay's time.
  TUiLoop& uiLoop = capture->Loop(loop);
  TConsoleView view(headless ? headless->ViewOutput() : std::cout, uiLoop);
  TMainFm fm(view, uiLoop, platform->FormOptions());
  capture->Attach(fm);
  if (aOptions.ReportUrl) fm.ReportSender().SetReportUrl(*aOptions.ReportUrl);
  if (metrics) metrics->Attach(fm);
  fieldLog.Attach(fm);
  if (headless) {
    fm.AddSink(*headless);
    headless->Line("started" + (metrics ? ", metrics at " + metrics->Url() : std::string()) +
                   ", port plug and unplug from " + platform->PortEventSource());
    view.InputEnded();
  }
  fm.FormActivate();

  // The alignment mode: a line per 100 ms sample, and the tone.
  std::unique_ptr<TAlignMode> align;
  if (aOptions.Align) {
    align = std::make_unique<TAlignMode>(fm, uiLoop, AlignSettingsOf(aOptions), !aOptions.NoTone);
    align->Unit().OnSample = [&view](const TAlignSnapshot& aSnapshot) { view.WriteLine(AlignConsoleLine(aSnapshot)); };
    align->OnNotice = [&view](const std::string& aText) { view.WriteLine("align: tone: " + aText); };
  }

  close = [&] {
    // Every wait in progress ends with it: a search or a probe starts no modem, an upload in
    // progress is abandoned.
    loop.RequestClose();
    fm.FormKeyDown(kEscapeKey);
  };
  if (!headless)
    loop.WatchInput(
      STDIN_FILENO,
      [&](const std::string& aLine) {
        if (view.OfferLine(aLine) || loop.Closing()) return;
        if (fieldLog.Command(aLine)) return;
        if (align) {
          if (const std::optional<std::string> answer = RunAlignCommand(align->Unit(), aLine)) {
            view.WriteLine(*answer);
            return;
          }
        } else if (IsAlignCommand(aLine)) {
          view.WriteLine(aLine.substr(0, aLine.find(' ')) + ": only with --align");
          return;
        }
        if (aLine == "report") {
          fm.ReportActionExecute();
          view.PrintReport();
        } else if (aLine == "send") {
          fm.SendReportActionExecute();
        } else if (aLine == "stats") {
          // What the session took from the port: frames dispatched, frames dropped as damaged.
          view.WriteLine("stats: frames " + std::to_string(fm.Modem().CommonPacketsCount()) + " damaged " +
                         std::to_string(fm.Modem().BadFramesCount()));
        } else if (aLine == "ping") {
          fm.PingActionExecute();
        } else if (aLine == "entries") {
          // A look at the list as dropping it down shows it, without choosing anything.
          fm.cbConnectionsDropDown();
          view.PrintConnections();
        } else if (aLine.rfind("select ", 0) == 0) {
          // Dropping the list down, picking the entry and letting the list close.
          const std::string name = aLine.substr(7);
          fm.cbConnectionsDropDown();
          if (view.SelectConnectionNamed(name))
            fm.cbConnectionsCloseUp();
          else
            view.WriteLine("select: no entry named \"" + name + "\" (entries lists them)");
        } else if (aLine == "connect" || aLine == "disconnect") {
          // One button; its caption tells which of the two it does.
          fm.Button1Click();
        } else if (aLine == "unplug" || aLine == "plug") {
          if (!demo)
            view.WriteLine(aLine + ": only with --demo");
          else if (!(aLine == "unplug" ? demo->Unplug() : demo->Replug()))
            view.WriteLine(aLine + ": the simulated modem is " + (aLine == "unplug" ? "out already" : "in already"));
        } else if (aLine.rfind("rx ", 0) == 0) {
          // The demo's receive power held at a level, as an antenna turned and left there.
          const std::string level = aLine.substr(3);
          const std::optional<double> dbm = ParseRxLevel(level);
          if (!demo)
            view.WriteLine("rx: only with --demo");
          else if (level == "auto")
            demo->SetRxLevel(std::nullopt);
          else if (dbm)
            demo->SetRxLevel(*dbm);
          else
            view.WriteLine("rx: give a level in dBm (rx -75) or rx auto, not \"" + level + "\"");
        } else if (aLine == "quit") {
          close();
        } else if (!aLine.empty()) {
          view.WriteLine("unknown command: " + aLine +
                         " (report, send, ping, stats, entries, select NAME, connect, disconnect, log FILE, log stop, quit)");
        }
      },
      [&] { view.InputEnded(); });

  uiLoop.PumpWhile([] { return true; }, std::chrono::seconds(1));
  align.reset();
  fm.FormClose();
  capture->Close();
  fieldLog.Stop();
  if (metrics) metrics->Detach();
  if (headless) headless->Line("stopped");
  return 0;
}
