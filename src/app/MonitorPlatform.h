// What every view of the monitor needs around the window logic: the ports named on the command
// line, the demo's simulated modem, port discovery, port notifications and the dial-up service.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "app/CommandLine.h"
#include "app/DemoModem.h"
#include "dialup/DialupService.h"
#include "serial/PortNotifications.h"
#include "serial/PortTable.h"
#include "window/MainUnit.h"

class TMonitorCapture;

class TMonitorPlatform {
 public:
  // Registers the --port devices that are there now (the others when they appear) and, with
  // --demo, starts the simulated modem and the demo's dial-up connection; otherwise the dial-up
  // service is NetworkManager on the system bus (a window program must have made its
  // QApplication by now). Throws std::exception (with the reason) when the simulated modem cannot
  // start.
  // aCapture, when given, adds the replayed port and the recording devices; it must outlive this.
  explicit TMonitorPlatform(const TMonitorOptions& aOptions, TPortTable& aTable = TPortTable::Instance(),
                            TMonitorCapture* aCapture = nullptr);
  ~TMonitorPlatform();
  TMonitorPlatform(const TMonitorPlatform&) = delete;
  TMonitorPlatform& operator=(const TMonitorPlatform&) = delete;
  // The constructor for a program's main: null, with the reason written to aErrors, when the
  // simulated modem cannot start.
  static std::unique_ptr<TMonitorPlatform> Create(const TMonitorOptions& aOptions, std::ostream& aErrors,
                                                  TMonitorCapture* aCapture = nullptr);

  // The window logic's platform: discovery through libudev and the extra ports, notifications
  // from the device manager or the kernel, the rescan and the demo, and the dial-up service. Must not outlive this
  // object.
  TMainFmOptions FormOptions();
  TDemoModem* Demo() { return FDemo.get(); }
  // Where the line naming the source of plug and unplug events goes once the window registers
  // for them; none: not written (the service mode puts it in its start line).
  void SetNotices(std::ostream* aNotices) { FNotices = aNotices; }
  // "udev", "kernel" or "rescan" once the window has registered; empty before.
  const std::string& PortEventSource() const { return FPortEventSource; }
  TDialupService& Dialup() { return *FDialup; }

 private:
  TPortTable& FTable;
  // Follows the --port devices; handed to the notifications when the window registers.
  std::unique_ptr<TPortPathWatch> FPathWatch;
  std::unique_ptr<TDemoModem> FDemo;
  std::unique_ptr<TDialupService> FDialup;
  // Where the port-event source in use is told, once the window registers; none: nowhere.
  std::ostream* FNotices = nullptr;
  std::string FPortEventSource;
  TMonitorCapture* FCapture = nullptr;
};
