// Port plug and unplug: the libudev monitor, the rescan, the path watch and the one place they meet.
#include "serial/PortNotifications.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/WindowMessages.h"

namespace {

// Plugging a modem sends a burst of events; the socket's default queue can overflow.
constexpr int kReceiveBuffer = 1 << 20;

void PostPortMessage(TMessageTarget& aTarget, uintptr_t aEvent, uint16_t aNumber) {
  aTarget.PostMessage({WM_DEVICECHANGE, aEvent, kDeviceTypePort, "COM" + std::to_string(aNumber)});
}

}  // namespace

// --- TPortNotifier ---------------------------------------------------------------------------

TPortNotifier::TPortNotifier(TMessageTarget& aTarget, TPortTable& aTable, TSerialDeviceScan aScan)
    : FTarget(aTarget), FTable(aTable), FScan(std::move(aScan)) {
  if (FScan)
    for (const TSerialDeviceInfo& device : FScan())
      FPresent[FTable.NumberFor(device.Path, device.DeviceNumber)].insert(device.Path);
  for (const TPortTable::TExtraPort& extra : FTable.ExtraPorts()) FPresent[extra.Number].insert(extra.Path);
}

void TPortNotifier::Report(const TPortChange& aChange) {
  std::lock_guard lock(FLock);
  ReportLocked(aChange);
}

void TPortNotifier::ReportLocked(const TPortChange& aChange) {
  switch (aChange.Kind) {
    case TPortChangeKind::Arrival: {
      if (aChange.DevicePath.empty()) return;
      const uint16_t number = FTable.NumberFor(aChange.DevicePath, aChange.DeviceNumber);
      std::set<std::string>& paths = FPresent[number];
      // A second path to a device already present (its by-id link, a name given on the command
      // line) is no news.
      if (paths.insert(aChange.DevicePath).second && paths.size() == 1)
        PostPortMessage(FTarget, DBT_DEVICEARRIVAL, number);
      return;
    }
    case TPortChangeKind::Removal: {
      const std::optional<uint16_t> number = FTable.FindNumber(aChange.DevicePath);
      if (!number) return;
      // The path may have been given to another device's number since; look through them all.
      for (auto it = FPresent.begin(); it != FPresent.end(); ++it) {
        if (it->second.erase(aChange.DevicePath) == 0) continue;
        const uint16_t gone = it->first;
        if (!it->second.empty()) return;
        FPresent.erase(it);
        PostPortMessage(FTarget, DBT_DEVICEREMOVECOMPLETE, gone);
        return;
      }
      return;
    }
    case TPortChangeKind::NodesChanged:
      FTarget.PostMessage({WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, std::nullopt});
      return;
  }
}

void TPortNotifier::Rescan() {
  std::lock_guard lock(FLock);
  const std::vector<TSerialDeviceInfo> devices = FScan ? FScan() : std::vector<TSerialDeviceInfo>{};
  std::set<std::string> keep;
  for (const TSerialDeviceInfo& device : devices) keep.insert(device.Path);
  // Extra ports are not listed; they leave only by their own removal.
  for (const TPortTable::TExtraPort& extra : FTable.ExtraPorts()) keep.insert(extra.Path);
  std::vector<std::string> gone;
  for (const auto& [number, paths] : FPresent)
    for (const std::string& path : paths)
      if (!keep.count(path)) gone.push_back(path);
  for (const std::string& path : gone) ReportLocked({TPortChangeKind::Removal, path, std::nullopt});
  for (const TSerialDeviceInfo& device : devices)
    ReportLocked({TPortChangeKind::Arrival, device.Path, device.DeviceNumber});
}

// --- TUdevMonitorSource ----------------------------------------------------------------------

TUdevMonitorSource::~TUdevMonitorSource() { Stop(); }

bool TUdevMonitorSource::Start(TPortNotifier& aNotifier) {
  if (Running()) return true;
  std::lock_guard lock(LibudevLock());
  FLastError = 0;
  const auto fail = [this](int aError) {
    FLastError = aError != 0 ? aError : EINVAL;
    CloseAll();
    return false;
  };
  errno = 0;
  FUdev = NewUdev();
  if (!FUdev) return fail(errno);
  FMonitor = udev_monitor_new_from_netlink(FUdev.get(), FKind == TUdevEventKind::Udev ? "udev" : "kernel");
  if (!FMonitor) return fail(errno);
  udev_monitor_set_receive_buffer_size(FMonitor, kReceiveBuffer);
  if (const int r = udev_monitor_filter_add_match_subsystem_devtype(FMonitor, "tty", nullptr); r < 0) return fail(-r);
  if (const int r = udev_monitor_enable_receiving(FMonitor); r < 0) return fail(-r);
  FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0) return fail(errno);
  try {
    FThread = std::thread([this, &aNotifier] { Run(aNotifier); });
  } catch (const std::system_error& e) {
    return fail(e.code().value());
  }
  return true;
}

void TUdevMonitorSource::Stop() {
  if (FThread.joinable()) {
    const uint64_t one = 1;
    while (::write(FWake, &one, sizeof one) < 0 && errno == EINTR) {
    }
    FThread.join();
  }
  std::lock_guard lock(LibudevLock());
  CloseAll();
}

void TUdevMonitorSource::CloseAll() {
  if (FMonitor) udev_monitor_unref(FMonitor);
  FMonitor = nullptr;
  FUdev.reset();
  if (FWake >= 0) ::close(FWake);
  FWake = -1;
}

uint64_t TUdevMonitorSource::Events() const {
  std::lock_guard lock(FCountLock);
  return FEvents;
}

bool TUdevMonitorSource::WaitForEvents(uint64_t aCount, std::chrono::milliseconds aTimeout) const {
  std::unique_lock lock(FCountLock);
  return FCounted.wait_for(lock, aTimeout, [&] { return FEvents > aCount; });
}

void TUdevMonitorSource::Run(TPortNotifier& aNotifier) {
  pollfd fds[2] = {{udev_monitor_get_fd(FMonitor), POLLIN, 0}, {FWake, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      FHeardEvent = false;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
      // The socket is broken; the rescan takes over (see HeardEvent).
      FHeardEvent = false;
      return;
    }
    bool lostSome = false;
    for (;;) {
      // What the event means is worked out under the library's lock, and told after it.
      std::optional<TPortChange> change;
      {
        std::lock_guard lock(LibudevLock());
        errno = 0;
        TUdevDevicePtr device(udev_monitor_receive_device(FMonitor));
        if (!device) {
          if (errno == ENOBUFS) {
            lostSome = true;
            continue;
          }
          break;  // nothing more queued, or a message the library refused
        }
        const char* action = udev_device_get_action(device.get());
        const std::string_view what(action ? action : "");
        if (what == "add") {
          // A device already gone again has no parent left and is no port.
          if (std::optional<TSerialDeviceInfo> port = SerialPortOf(device.get()))
            change = TPortChange{TPortChangeKind::Arrival, std::move(port->Path), port->DeviceNumber};
        } else if (what == "remove") {
          if (const char* node = udev_device_get_devnode(device.get()))
            change = TPortChange{TPortChangeKind::Removal, node, std::nullopt};
        }
      }
      {
        std::lock_guard lock(FCountLock);
        ++FEvents;
      }
      FCounted.notify_all();
      FHeardEvent = true;
      if (change) aNotifier.Report(*change);
    }
    // The queue overflowed: what the listing shows now is all that can be recovered.
    if (lostSome) aNotifier.Rescan();
  }
}

// --- TPeriodicPasses -------------------------------------------------------------------------

bool TPeriodicPasses::Start(std::function<bool()> aPass) {
  if (FThread.joinable()) return true;
  {
    std::lock_guard lock(FLock);
    FStop = false;
  }
  try {
    FThread = std::thread([this, pass = std::move(aPass)] {
      std::unique_lock lock(FLock);
      bool due = FFirst == TFirstPass::AtOnce;
      while (due || !FChanged.wait_for(lock, FInterval, [this] { return FStop; })) {
        due = false;
        lock.unlock();
        const bool counts = pass();
        lock.lock();
        if (counts) {
          ++FPasses;
          FChanged.notify_all();
        }
      }
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void TPeriodicPasses::Stop() {
  if (!FThread.joinable()) return;
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  FChanged.notify_all();
  FThread.join();
}

uint64_t TPeriodicPasses::Passes() const {
  std::lock_guard lock(FLock);
  return FPasses;
}

bool TPeriodicPasses::WaitForPasses(uint64_t aCount, std::chrono::milliseconds aTimeout) const {
  std::unique_lock lock(FLock);
  return FChanged.wait_for(lock, aTimeout, [&] { return FPasses > aCount; });
}

// --- TPortRescan -----------------------------------------------------------------------------

TPortRescan::TPortRescan(std::chrono::milliseconds aInterval, std::function<bool()> aWanted)
    : FWanted(std::move(aWanted)), FPasses(aInterval, TPeriodicPasses::TFirstPass::AfterInterval) {}

TPortRescan::~TPortRescan() { Stop(); }

bool TPortRescan::Start(TPortNotifier& aNotifier) {
  return FPasses.Start([this, &aNotifier] {
    // While events arrive the passes would add nothing; the thread idles, ready to take over
    // should the monitor fail.
    const bool wanted = !FWanted || FWanted();
    if (wanted) aNotifier.Rescan();
    return wanted;
  });
}

void TPortRescan::Stop() { FPasses.Stop(); }

// --- TExtraPortEvents ------------------------------------------------------------------------

bool TExtraPortEvents::Start(TPortNotifier& aNotifier) {
  std::lock_guard lock(FLock);
  FNotifier = &aNotifier;
  return true;
}

void TExtraPortEvents::Stop() {
  std::lock_guard lock(FLock);
  FNotifier = nullptr;
}

uint16_t TExtraPortEvents::Plug(const std::string& aDevicePath, const std::string& aDescription) {
  std::lock_guard lock(FLock);
  const uint16_t number = FTable.RegisterExtraPort(aDevicePath, aDescription);
  if (FNotifier) FNotifier->Report({TPortChangeKind::Arrival, aDevicePath, CharDeviceNumberOf(aDevicePath)});
  return number;
}

void TExtraPortEvents::Unplug(const std::string& aDevicePath) {
  std::lock_guard lock(FLock);
  FTable.UnregisterExtraPort(aDevicePath);
  if (FNotifier) FNotifier->Report({TPortChangeKind::Removal, aDevicePath, std::nullopt});
}

// --- TPortPathWatch ---------------------------------------------------------------------------

TPortPathWatch::TPortPathWatch(TPortTable& aTable, std::vector<TWatchedPort> aPorts, std::chrono::milliseconds aInterval)
    : FTable(aTable), FPasses(aInterval, TPeriodicPasses::TFirstPass::AtOnce) {
  for (TWatchedPort& port : aPorts) {
    std::optional<TTarget> target = TargetOf(port.Path);
    TWatched watched{std::move(port), target};
    if (watched.Target) FTable.RegisterExtraPort(watched.Port.Path, watched.Port.Description);
    FPorts.push_back(std::move(watched));
  }
}

TPortPathWatch::~TPortPathWatch() { Stop(); }

std::optional<TPortPathWatch::TTarget> TPortPathWatch::TargetOf(const std::string& aPath) {
  struct stat st {};
  if (::stat(aPath.c_str(), &st) != 0) return std::nullopt;
  return TTarget{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_rdev)};
}

void TPortPathWatch::Pass(TPortNotifier& aNotifier) {
  for (TWatched& watched : FPorts) {
    const std::optional<TTarget> now = TargetOf(watched.Port.Path);
    if (now == watched.Target) continue;
    // A path that leads somewhere else now is a device unplugged and another plugged in.
    if (watched.Target) {
      FTable.UnregisterExtraPort(watched.Port.Path);
      aNotifier.Report({TPortChangeKind::Removal, watched.Port.Path, std::nullopt});
    }
    if (now) {
      FTable.RegisterExtraPort(watched.Port.Path, watched.Port.Description);
      aNotifier.Report({TPortChangeKind::Arrival, watched.Port.Path, CharDeviceNumberOf(watched.Port.Path)});
    }
    watched.Target = now;
  }
}

bool TPortPathWatch::Start(TPortNotifier& aNotifier) {
  return FPasses.Start([this, &aNotifier] {
    Pass(aNotifier);
    return true;
  });
}

void TPortPathWatch::Stop() { FPasses.Stop(); }

// --- TDeviceNotifications --------------------------------------------------------------------

TDeviceNotifications::TDeviceNotifications(TMessageTarget& aTarget, TPortTable& aTable, TPortNotificationOptions aOptions)
    : FNotifier(aTarget, aTable, std::move(aOptions.Scan)),
      FChoice(aOptions.Source),
      FRescan(aOptions.RescanInterval, [this] { return !FMonitor || !FMonitor->HeardEvent(); }) {}

TDeviceNotifications::~TDeviceNotifications() { Stop(); }

bool TDeviceNotifications::DeviceManagerRuns() {
  std::lock_guard lock(LibudevLock());
  TUdevPtr context = NewUdev();
  if (!context) return false;
  udev_queue* queue = udev_queue_new(context.get());
  if (!queue) return false;
  // The manager's control socket exists exactly while it runs.
  const bool runs = udev_queue_get_udev_is_active(queue) != 0;
  udev_queue_unref(queue);
  return runs;
}

void TDeviceNotifications::Start() {
  if (FStarted) return;
  FStarted = true;
  std::optional<TUdevEventKind> kind;
  switch (FChoice) {
    case TPortEventSourceChoice::Auto:
      kind = DeviceManagerRuns() ? TUdevEventKind::Udev : TUdevEventKind::Kernel;
      break;
    case TPortEventSourceChoice::Udev:
      kind = TUdevEventKind::Udev;
      break;
    case TPortEventSourceChoice::Kernel:
      kind = TUdevEventKind::Kernel;
      break;
    case TPortEventSourceChoice::RescanOnly:
      break;
  }
  if (kind) {
    FMonitor = std::make_unique<TUdevMonitorSource>(*kind);
    if (!FMonitor->Start(FNotifier)) FMonitor.reset();
  }
  FRescan.Start(FNotifier);
  for (auto& source : FSources) source->Start(FNotifier);
}

void TDeviceNotifications::Stop() {
  if (!FStarted) return;
  FStarted = false;
  FRescan.Stop();
  if (FMonitor) FMonitor->Stop();
  FMonitor.reset();
  for (auto& source : FSources) source->Stop();
}

void TDeviceNotifications::AddSource(std::unique_ptr<TPortEventSource> aSource) {
  if (!aSource) return;
  if (FStarted) aSource->Start(FNotifier);
  FSources.push_back(std::move(aSource));
}

std::string TDeviceNotifications::SourceName() const {
  if (!Monitoring()) return "rescan";
  return FMonitor->Kind() == TUdevEventKind::Udev ? "udev" : "kernel";
}
