// Port plug and unplug: the uevent parser, the netlink listener, the sysfs rescan and the one place they meet.
#include "serial/PortNotifications.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/WindowMessages.h"

namespace {

// The kernel's uevents go to multicast group 1; udev re-broadcasts its own on group 2.
constexpr uint32_t kKernelGroup = 1;
// A uevent's variables fill at most 2 KiB; room to spare tells a cut datagram by MSG_TRUNC.
constexpr size_t kDatagramBuffer = 8192;
// Plugging a modem sends a burst of uevents; the socket's default queue can overflow.
constexpr int kReceiveBuffer = 1 << 20;

bool StartsWith(std::string_view aText, std::string_view aPrefix) {
  return aText.substr(0, aPrefix.size()) == aPrefix;
}

void PostPortMessage(TMessageTarget& aTarget, uintptr_t aEvent, uint16_t aNumber) {
  aTarget.PostMessage({WM_DEVICECHANGE, aEvent, kDeviceTypePort, "COM" + std::to_string(aNumber)});
}

}  // namespace

std::optional<TPortChange> ParseUevent(std::string_view aDatagram, std::string_view aDevDir) {
  // Every field ends in NUL; a datagram that does not was cut short or is not a uevent.
  if (aDatagram.empty() || aDatagram.back() != '\0') return std::nullopt;
  std::string_view header;
  std::optional<std::string_view> action, devpath, subsystem, devname;
  bool first = true;
  for (size_t pos = 0; pos < aDatagram.size();) {
    const size_t end = aDatagram.find('\0', pos);
    const std::string_view field = aDatagram.substr(pos, end - pos);
    pos = end + 1;
    if (first) {
      header = field;
      first = false;
      continue;
    }
    const size_t eq = field.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = field.substr(0, eq);
    const std::string_view value = field.substr(eq + 1);
    for (auto [name, slot] : {std::pair{"ACTION", &action}, std::pair{"DEVPATH", &devpath},
                              std::pair{"SUBSYSTEM", &subsystem}, std::pair{"DEVNAME", &devname}})
      if (key == name && !*slot) *slot = value;
  }

  // "ACTION@DEVPATH"; udev's re-broadcasts begin "libudev" and have no '@'.
  const size_t at = header.find('@');
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  const std::string_view headerAction = header.substr(0, at);
  const std::string_view headerPath = header.substr(at + 1);
  if ((action && *action != headerAction) || (devpath && *devpath != headerPath) || !subsystem) return std::nullopt;

  TPortChange change;
  if (headerAction == "add")
    change.Kind = TPortChangeKind::Arrival;
  else if (headerAction == "remove")
    change.Kind = TPortChangeKind::Removal;
  else
    return std::nullopt;
  // Virtual devices (consoles, network interfaces, loop devices, modules) and the machine's own
  // memory blocks and processors (hot-plugged by a hypervisor in bursts) are never a modem; each
  // "other device" message may start a modem search, so only plugged hardware counts.
  if (!StartsWith(headerPath, "/devices/") || StartsWith(headerPath, "/devices/virtual/") ||
      StartsWith(headerPath, "/devices/system/"))
    return std::nullopt;

  if (*subsystem != "tty") return TPortChange{TPortChangeKind::NodesChanged, {}};
  const std::string_view name = devname ? *devname : headerPath.substr(headerPath.rfind('/') + 1);
  if (!IsPlainDeviceName(name)) return std::nullopt;
  change.DevicePath = std::string(aDevDir) + "/" + std::string(name);
  return change;
}

// --- TPortNotifier ---------------------------------------------------------------------------

TPortNotifier::TPortNotifier(TMessageTarget& aTarget, TPortTable& aTable, TDeviceTree aTree)
    : FTarget(aTarget), FTable(aTable), FTree(std::move(aTree)) {
  for (const TSerialDeviceInfo& device : ScanSerialDevices(FTree)) {
    FTable.NumberFor(device.Path);
    FPresent.insert(device.Path);
  }
  for (const TPortTable::TExtraPort& extra : FTable.ExtraPorts()) FPresent.insert(extra.Path);
}

void TPortNotifier::Report(const TPortChange& aChange) {
  std::lock_guard lock(FLock);
  ReportLocked(aChange);
}

void TPortNotifier::ReportLocked(const TPortChange& aChange) {
  switch (aChange.Kind) {
    case TPortChangeKind::Arrival:
      if (aChange.DevicePath.empty() || !FPresent.insert(aChange.DevicePath).second) return;
      PostPortMessage(FTarget, DBT_DEVICEARRIVAL, FTable.NumberFor(aChange.DevicePath));
      return;
    case TPortChangeKind::Removal:
      if (FPresent.erase(aChange.DevicePath) == 0) return;
      if (auto number = FTable.FindNumber(aChange.DevicePath)) PostPortMessage(FTarget, DBT_DEVICEREMOVECOMPLETE, *number);
      return;
    case TPortChangeKind::NodesChanged:
      FTarget.PostMessage({WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, std::nullopt});
      return;
  }
}

void TPortNotifier::Rescan() {
  std::lock_guard lock(FLock);
  const std::vector<TSerialDeviceInfo> devices = ScanSerialDevices(FTree);
  std::set<std::string> keep;
  for (const TSerialDeviceInfo& device : devices) keep.insert(device.Path);
  // Extra ports are not in sysfs; they leave only by their own removal.
  for (const TPortTable::TExtraPort& extra : FTable.ExtraPorts()) keep.insert(extra.Path);
  std::vector<std::string> gone;
  for (const std::string& path : FPresent)
    if (!keep.count(path)) gone.push_back(path);
  for (const std::string& path : gone) ReportLocked({TPortChangeKind::Removal, path});
  for (const TSerialDeviceInfo& device : devices) ReportLocked({TPortChangeKind::Arrival, device.Path});
}

// --- TUeventListener -------------------------------------------------------------------------

TUeventListener::~TUeventListener() { Stop(); }

bool TUeventListener::Start(TPortNotifier& aNotifier) {
  if (Running()) return true;
  FLastError = 0;
  FSocket = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
  if (FSocket < 0) {
    FLastError = errno;
    return false;
  }
  // The forced size needs privilege; the plain one is capped by the system but better than none.
  if (::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
    ::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelGroup;
  socklen_t length = sizeof address;
  if (::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    FLastError = errno;
    CloseAll();
    return false;
  }
  FPortId = address.nl_pid;
  FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0) {
    FLastError = errno;
    CloseAll();
    return false;
  }
  try {
    FThread = std::thread([this, &aNotifier] { Run(aNotifier); });
  } catch (const std::system_error& e) {
    FLastError = e.code().value();
    CloseAll();
    return false;
  }
  return true;
}

void TUeventListener::Stop() {
  if (FThread.joinable()) {
    const uint64_t one = 1;
    while (::write(FWake, &one, sizeof one) < 0 && errno == EINTR) {
    }
    FThread.join();
  }
  CloseAll();
}

void TUeventListener::CloseAll() {
  if (FSocket >= 0) ::close(FSocket);
  if (FWake >= 0) ::close(FWake);
  FSocket = FWake = -1;
  FPortId = 0;
}

bool TUeventListener::WaitForDatagrams(uint64_t aCount, std::chrono::milliseconds aTimeout) const {
  std::unique_lock lock(FCountLock);
  return FCounted.wait_for(lock, aTimeout, [&] { return FDatagrams > aCount; });
}

void TUeventListener::Run(TPortNotifier& aNotifier) {
  std::vector<char> buffer(kDatagramBuffer);
  const std::string devDir = aNotifier.Tree().Dev;
  pollfd fds[2] = {{FSocket, POLLIN, 0}, {FWake, POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      FHeardKernel = false;
      return;
    }
    if (fds[1].revents != 0) return;
    // One device plugged in sends a burst of "other device" events; the window needs one.
    bool nodesToldInBurst = false;
    bool lostSome = false;
    for (;;) {
      sockaddr_nl sender{};
      iovec io{buffer.data(), buffer.size()};
      msghdr message{};
      message.msg_name = &sender;
      message.msg_namelen = sizeof sender;
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      const ssize_t n = ::recvmsg(FSocket, &message, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == ENOBUFS) {
          lostSome = true;
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        // The socket is broken; the rescan takes over (see HeardKernel).
        FHeardKernel = false;
        return;
      }
      {
        std::lock_guard lock(FCountLock);
        ++FDatagrams;
      }
      FCounted.notify_all();
      // Port id 0 is the kernel and cannot be taken by a process: anything else is forged or
      // a re-broadcast.
      if (message.msg_namelen < sizeof sender || sender.nl_pid != 0) continue;
      FHeardKernel = true;
      if ((message.msg_flags & MSG_TRUNC) != 0) continue;
      std::optional<TPortChange> change = ParseUevent(std::string_view(buffer.data(), static_cast<size_t>(n)), devDir);
      if (!change) continue;
      if (change->Kind == TPortChangeKind::NodesChanged) {
        if (std::exchange(nodesToldInBurst, true)) continue;
      } else if (change->Kind == TPortChangeKind::Arrival) {
        // The 8250 driver announces placeholders for UARTs that are not there; sysfs tells.
        const std::string_view name = std::string_view(change->DevicePath).substr(change->DevicePath.rfind('/') + 1);
        if (!ProbeSerialDevice(aNotifier.Tree(), name)) continue;
      }
      aNotifier.Report(*change);
    }
    // Events were dropped by the kernel: what sysfs shows now is all that can be recovered.
    if (lostSome) {
      aNotifier.Rescan();
      if (!nodesToldInBurst) aNotifier.Report({TPortChangeKind::NodesChanged, {}});
    }
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

// --- TSysfsRescan ----------------------------------------------------------------------------

TSysfsRescan::TSysfsRescan(std::chrono::milliseconds aInterval, std::function<bool()> aWanted)
    : FWanted(std::move(aWanted)), FPasses(aInterval, TPeriodicPasses::TFirstPass::AfterInterval) {}

TSysfsRescan::~TSysfsRescan() { Stop(); }

bool TSysfsRescan::Start(TPortNotifier& aNotifier) {
  return FPasses.Start([this, &aNotifier] {
    // While uevents arrive the passes would add nothing; the thread idles, ready to take over
    // should the listener fail.
    const bool wanted = !FWanted || FWanted();
    if (wanted) aNotifier.Rescan();
    return wanted;
  });
}

void TSysfsRescan::Stop() { FPasses.Stop(); }

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
  if (FNotifier) FNotifier->Report({TPortChangeKind::Arrival, aDevicePath});
  return number;
}

void TExtraPortEvents::Unplug(const std::string& aDevicePath) {
  std::lock_guard lock(FLock);
  FTable.UnregisterExtraPort(aDevicePath);
  if (FNotifier) FNotifier->Report({TPortChangeKind::Removal, aDevicePath});
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
      aNotifier.Report({TPortChangeKind::Removal, watched.Port.Path});
    }
    if (now) {
      FTable.RegisterExtraPort(watched.Port.Path, watched.Port.Description);
      aNotifier.Report({TPortChangeKind::Arrival, watched.Port.Path});
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
    : FNotifier(aTarget, aTable, std::move(aOptions.Tree)),
      FUseUevents(aOptions.UseUevents),
      FRescan(aOptions.RescanInterval, [this] { return !FListener.HeardKernel(); }) {}

TDeviceNotifications::~TDeviceNotifications() { Stop(); }

void TDeviceNotifications::Start() {
  if (FStarted) return;
  FStarted = true;
  if (FUseUevents) FListener.Start(FNotifier);
  FRescan.Start(FNotifier);
  for (auto& source : FSources) source->Start(FNotifier);
}

void TDeviceNotifications::Stop() {
  if (!FStarted) return;
  FStarted = false;
  FListener.Stop();
  FRescan.Stop();
  for (auto& source : FSources) source->Stop();
}

void TDeviceNotifications::AddSource(std::unique_ptr<TPortEventSource> aSource) {
  if (!aSource) return;
  if (FStarted) aSource->Start(FNotifier);
  FSources.push_back(std::move(aSource));
}
