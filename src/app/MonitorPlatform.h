// What every view of the monitor needs around the window logic: the ports named on the command
// line, the demo's simulated modem, port discovery and port notifications.
#pragma once

#include <memory>

#include "app/CommandLine.h"
#include "app/DemoModem.h"
#include "serial/PortNotifications.h"
#include "serial/PortTable.h"
#include "window/MainUnit.h"

class TMonitorPlatform {
 public:
  // Registers the --port devices that are there now (the others when they appear) and, with
  // --demo, starts the simulated modem. Throws
  // std::exception (with the reason) when the simulated modem cannot start.
  explicit TMonitorPlatform(const TMonitorOptions& aOptions, TPortTable& aTable = TPortTable::Instance());
  ~TMonitorPlatform();
  TMonitorPlatform(const TMonitorPlatform&) = delete;
  TMonitorPlatform& operator=(const TMonitorPlatform&) = delete;

  // The window logic's platform: discovery over sysfs and the extra ports, and notifications
  // from the kernel, the sysfs rescan and the demo. Must not outlive this object.
  TMainFmOptions FormOptions();
  TDemoModem* Demo() { return FDemo.get(); }

 private:
  TPortTable& FTable;
  // Follows the --port devices; handed to the notifications when the window registers.
  std::unique_ptr<TPortPathWatch> FPathWatch;
  std::unique_ptr<TDemoModem> FDemo;
};
