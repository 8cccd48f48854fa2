// The in-process simulated modem of the demo.
#include "app/DemoModem.h"

#include <stdexcept>

namespace {

// "weak": Rev A at the edge of coverage.
constexpr char kWeakSignalMode[] = "weak";

sim::TSimConfig DemoConfig(const std::string& aMode) {
  const bool weak = aMode == kWeakSignalMode;
  const std::optional<sim::TSimMode> mode = weak ? sim::TSimMode::RevA : sim::ModeFromName(aMode);
  if (!mode) throw std::invalid_argument("Unknown demo mode: " + aMode);
  sim::TSimConfig config;
  config.Mode = *mode;
  config.WeakSignal = weak;
  return config;
}

}  // namespace

TDemoModem::TDemoModem(TPortTable& aTable, const std::string& aMode)
    : FModem(DemoConfig(aMode)), FOwnedEvents(std::make_unique<TExtraPortEvents>(aTable)), FEvents(FOwnedEvents.get()) {
  FModem.Start();
  FPath = FModem.SlavePath();
  // Before the notifications start this only registers the port: it is there from the outset.
  FEvents->Plug(FPath, Description(FPath));
}

TDemoModem::~TDemoModem() { FModem.Stop(); }

std::string TDemoModem::Description(const std::string& aPath) { return "Simulated CDMA modem (" + aPath + ")"; }

std::unique_ptr<TPortEventSource> TDemoModem::TakeEventSource() { return std::move(FOwnedEvents); }

bool TDemoModem::Unplug() {
  if (!FModem.Plugged()) return false;
  const std::string path = FPath;
  FModem.Unplug();
  FEvents->Unplug(path);
  return true;
}

bool TDemoModem::Replug() {
  if (FModem.Plugged()) return false;
  FPath = FModem.Replug();
  FEvents->Plug(FPath, Description(FPath));
  return true;
}
