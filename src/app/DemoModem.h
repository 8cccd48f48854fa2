// The simulated modem of --demo: started in-process on a pseudo-terminal, registered as a port
// so that discovery finds it, and plugged and unplugged through the port notifications.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "serial/PortNotifications.h"
#include "serial/PortTable.h"
#include "sim/SimulatedModem.h"

class TDemoModem {
 public:
  // Starts the device and registers its port in aTable. Throws std::invalid_argument for an
  // unknown mode, std::system_error when no pseudo-terminal can be had.
  TDemoModem(TPortTable& aTable, const std::string& aMode);
  ~TDemoModem();
  TDemoModem(const TDemoModem&) = delete;
  TDemoModem& operator=(const TDemoModem&) = delete;

  // The source that tells the window of the demo's plug and unplug; hand it to the port
  // notifications (once). The demo keeps using it while they run.
  std::unique_ptr<TPortEventSource> TakeEventSource();

  // The device goes away, then its removal is told; false when it was not plugged.
  bool Unplug();
  // A new pseudo-terminal, then its arrival is told; false when it was plugged already.
  bool Replug();
  std::string Path() const { return FPath; }
  // Holds the simulated receive power at aDbm (none: the fading scenario again).
  void SetRxLevel(std::optional<double> aDbm) { FModem.SetRxLevel(aDbm); }

 private:
  static std::string Description(const std::string& aPath);

  sim::TSimulatedModem FModem;
  std::unique_ptr<TExtraPortEvents> FOwnedEvents;
  TExtraPortEvents* FEvents;
  std::string FPath;
};
