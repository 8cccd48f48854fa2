// The console program: the window's logic, the console view and loop, discovery and port
// notifications, and the demo's simulated modem.
#include "app/ConsoleProgram.h"

#include <unistd.h>

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>

#include "app/DemoModem.h"
#include "serial/PortNotifications.h"
#include "serial/SetupAPI.h"
#include "window/ConsoleLoop.h"
#include "window/ConsoleView.h"
#include "window/MainUnit.h"

namespace {

class TNotificationRegistration final : public TDeviceNotifyRegistration {
 public:
  TNotificationRegistration(TMessageTarget& aTarget, TPortTable& aTable, TDemoModem* aDemo)
      : FNotifications(aTarget, aTable) {
    if (aDemo) FNotifications.AddSource(aDemo->TakeEventSource());
    FNotifications.Start();
  }

 private:
  TDeviceNotifications FNotifications;
};

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

  TPortTable& table = TPortTable::Instance();
  for (const std::string& device : aOptions.Ports) table.RegisterExtraPort(device, "Serial device (" + device + ")");

  std::unique_ptr<TDemoModem> demo;
  if (aOptions.Demo) {
    try {
      demo = std::make_unique<TDemoModem>(table, aOptions.DemoMode);
    } catch (const std::exception& e) {
      std::cerr << "cdma-monitor: the simulated modem did not start: " << e.what() << '\n';
      return 1;
    }
  }

  TConsoleView view(std::cout, loop);
  TMainFmOptions options;
  options.EnumerateComPorts = [] { return EnumerateComPorts(false, true); };
  options.PortTable = &table;
  options.RegisterDeviceNotification = [&table, &demo](TMessageTarget& aTarget) {
    return std::make_unique<TNotificationRegistration>(aTarget, table, demo.get());
  };
  TMainFm fm(view, loop, std::move(options));
  if (aOptions.ReportUrl) fm.ReportSender().SetReportUrl(*aOptions.ReportUrl);
  fm.FormActivate();

  close = [&] {
    closing = true;
    view.CloseRequested();
    // As a key press would, this ends a link-type probe in progress at once.
    fm.FormKeyDown(kEscapeKey);
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
        } else if (aLine == "ping") {
          fm.PingActionExecute();
        } else if (aLine == "connect" || aLine == "disconnect") {
          view.WriteLine(aLine + ": the connection panel is not part of this build");
        } else if (aLine == "unplug" || aLine == "plug") {
          if (!demo)
            view.WriteLine(aLine + ": only with --demo");
          else if (!(aLine == "unplug" ? demo->Unplug() : demo->Replug()))
            view.WriteLine(aLine + ": the simulated modem is " + (aLine == "unplug" ? "out already" : "in already"));
        } else if (aLine == "quit") {
          close();
        } else if (!aLine.empty()) {
          view.WriteLine("unknown command: " + aLine + " (report, send, ping, connect, disconnect, quit)");
        }
      },
      [&] { view.InputEnded(); });

  while (!closing) {
    loop.ProcessMessages();
    if (closing) break;
    loop.Idle(std::chrono::seconds(1));
  }
  fm.FormClose();
  return 0;
}
