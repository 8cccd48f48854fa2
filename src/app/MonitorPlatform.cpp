// The monitor's platform: command-line ports, the demo modem, discovery, notifications and the
// dial-up service.
#include "app/MonitorPlatform.h"

#include "app/MonitorCapture.h"
#include "dialup/DemoDialupService.h"
#include "dialup/NmDialupService.h"
#include "serial/PortNotifications.h"
#include "serial/SetupAPI.h"

namespace {

class TNotificationRegistration final : public TDeviceNotifyRegistration {
 public:
  TNotificationRegistration(TMessageTarget& aTarget, TPortTable& aTable, TDemoModem* aDemo,
                            std::unique_ptr<TPortPathWatch> aPathWatch, std::unique_ptr<TPortEventSource> aReplay,
                            std::ostream* aNotices, std::string& aSourceName)
      : FNotifications(aTarget, aTable) {
    if (aDemo) FNotifications.AddSource(aDemo->TakeEventSource());
    FNotifications.AddSource(std::move(aPathWatch));
    if (aReplay) FNotifications.AddSource(std::move(aReplay));
    FNotifications.Start();
    // Which source the user can check: `udevadm monitor --udev --subsystem-match=tty` shows
    // the same events for "udev", `--kernel` for "kernel".
    aSourceName = FNotifications.SourceName();
    if (aNotices) *aNotices << "cdma-monitor: port plug and unplug from " << aSourceName << '\n';
  }

 private:
  TDeviceNotifications FNotifications;
};

}  // namespace

std::unique_ptr<TMonitorPlatform> TMonitorPlatform::Create(const TMonitorOptions& aOptions, std::ostream& aErrors,
                                                           TMonitorCapture* aCapture) {
  try {
    auto platform = std::make_unique<TMonitorPlatform>(aOptions, TPortTable::Instance(), aCapture);
    platform->FNotices = &aErrors;
    return platform;
  } catch (const std::exception& e) {
    aErrors << "cdma-monitor: the simulated modem did not start: " << e.what() << '\n';
    return nullptr;
  }
}

TMonitorPlatform::TMonitorPlatform(const TMonitorOptions& aOptions, TPortTable& aTable, TMonitorCapture* aCapture)
    : FTable(aTable), FCapture(aCapture) {
  // No device listing names a pseudo-terminal or a symlink as given: their paths are watched.
  if (!aOptions.Ports.empty()) {
    std::vector<TPortPathWatch::TWatchedPort> ports;
    for (const std::string& device : aOptions.Ports) ports.push_back({device, "Serial device (" + device + ")"});
    FPathWatch = std::make_unique<TPortPathWatch>(FTable, std::move(ports));
  }
  if (aOptions.Demo) FDemo = std::make_unique<TDemoModem>(FTable, aOptions.DemoMode);
  // Without NetworkManager every call fails with the service's own text, which the connection
  // panel reports; nothing else depends on it.
  if (aOptions.Demo)
    FDialup = std::make_unique<TDemoDialupService>();
  else
    FDialup = std::make_unique<TNmDialupService>();
}

TMonitorPlatform::~TMonitorPlatform() = default;

TMainFmOptions TMonitorPlatform::FormOptions() {
  TMainFmOptions options;
  TPortTable* table = &FTable;
  options.EnumerateComPorts = [table] { return EnumerateComPorts(false, true, *table); };
  options.PortTable = table;
  options.DialupService = FDialup.get();
  options.RegisterDeviceNotification = [this](TMessageTarget& aTarget) -> std::unique_ptr<TDeviceNotifyRegistration> {
    return std::make_unique<TNotificationRegistration>(aTarget, FTable, FDemo.get(), std::move(FPathWatch),
                                                       FCapture ? FCapture->EventSource() : nullptr, FNotices,
                                                       FPortEventSource);
  };
  if (FCapture) FCapture->Adjust(options);
  return options;
}
