// The console program: the window's logic, the console view and loop, discovery and port
// notifications, and the demo's simulated modem.
#include "app/ConsoleProgram.h"

#include <unistd.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>

#include "app/MonitorCapture.h"
#include "app/MonitorPlatform.h"
#include "window/ConsoleLoop.h"
#include "window/ConsoleView.h"
#include "window/MainUnit.h"

namespace {

constexpr uint16_t kEscapeKey = 27;

}  // namespace

int RunConsoleMonitor(const TMonitorOptions& aOptions) {
  // A reader that went away must not end the program in the middle of stopping the modem.
  std::signal(SIGPIPE, SIG_IGN);

  // Signals are caught from the outset; one that comes before the window exists ends the program
  // as soon as the window has been made, before any modem is started.
  TConsoleLoop loop;
  bool closing = false;
  std::function<void()> close = [&] { closing = true; };
  loop.CatchSignals([&](int) { close(); });

  // Made first: it outlives the window, whose ports record into it or replay from it.
  const std::unique_ptr<TMonitorCapture> capture = TMonitorCapture::Create(aOptions, std::cerr);
  if (!capture) return 2;
  const std::unique_ptr<TMonitorPlatform> platform = TMonitorPlatform::Create(aOptions, std::cerr, capture.get());
  if (!platform) return 1;
  TDemoModem* const demo = platform->Demo();

  TUiLoop& uiLoop = capture->Loop(loop);
  TConsoleView view(std::cout, uiLoop);
  TMainFm fm(view, uiLoop, platform->FormOptions());
  capture->Attach(fm);
  if (aOptions.ReportUrl) fm.ReportSender().SetReportUrl(*aOptions.ReportUrl);
  fm.FormActivate();

  close = [&] {
    closing = true;
    view.CloseRequested();
    // As a key press would, this ends a link-type probe in progress at once; an upload in
    // progress is abandoned, so that the wait for it ends too.
    fm.FormKeyDown(kEscapeKey);
    fm.ReportSender().Cancel();
  };
  loop.WatchInput(
      STDIN_FILENO,
      [&](const std::string& aLine) {
        if (view.OfferLine(aLine) || closing) return;
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
        } else if (aLine == "quit") {
          close();
        } else if (!aLine.empty()) {
          view.WriteLine("unknown command: " + aLine +
                         " (report, send, ping, stats, entries, select NAME, connect, disconnect, quit)");
        }
      },
      [&] { view.InputEnded(); });

  while (!closing) {
    uiLoop.ProcessMessages();
    if (closing) break;
    uiLoop.Idle(std::chrono::seconds(1));
  }
  fm.FormClose();
  capture->Close();
  return 0;
}
