// Port notifications against umockdev test beds: one message per change whatever saw it, the
// libudev monitor on the device manager's and on the kernel's events, the rescan, the path watch.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "UmockdevBed.h"
#include "common/WindowMessages.h"
#include "serial/PortNotifications.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 20s;
using TPort = TUmockdevBed::TPort;

struct TSeen {
  uintptr_t Event;
  std::string Port;
  bool operator==(const TSeen&) const = default;
};

void PrintTo(const TSeen& aSeen, std::ostream* aOut) { *aOut << "{" << aSeen.Event << ", " << aSeen.Port << "}"; }

std::vector<TSeen> Drain(TMessageQueue& aQueue) {
  std::vector<TSeen> seen;
  while (auto m = aQueue.TryTake()) {
    EXPECT_EQ(m->Msg, WM_DEVICECHANGE);
    EXPECT_EQ(m->LParam, m->Text ? kDeviceTypePort : 0);
    seen.push_back({m->WParam, m->Text.value_or("")});
  }
  return seen;
}

std::optional<TSeen> Next(TMessageQueue& aQueue) {
  auto m = aQueue.WaitTake(kPatience);
  if (!m) return std::nullopt;
  return TSeen{m->WParam, m->Text.value_or("")};
}

TSeen Arrived(uint16_t aNumber) { return {DBT_DEVICEARRIVAL, "COM" + std::to_string(aNumber)}; }
TSeen Removed(uint16_t aNumber) { return {DBT_DEVICEREMOVECOMPLETE, "COM" + std::to_string(aNumber)}; }

// A queue whose posts wait while the gate is shut: the sender's next event queues up meanwhile.
class TGatedQueue final : public TMessageTarget {
 public:
  void PostMessage(TWindowMessage aMessage) override {
    std::unique_lock lock(FLock);
    ++FWaiting;
    FChanged.notify_all();
    FChanged.wait(lock, [this] { return FOpen; });
    --FWaiting;
    Queue.PostMessage(std::move(aMessage));
  }
  void Shut() {
    std::lock_guard lock(FLock);
    FOpen = false;
  }
  void Open() {
    std::lock_guard lock(FLock);
    FOpen = true;
    FChanged.notify_all();
  }
  bool WaitForWaiting() {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, kPatience, [this] { return FWaiting > 0; });
  }
  TMessageQueue Queue;

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FOpen = true;
  int FWaiting = 0;
};

class PortNotifierTest : public ::testing::Test {
 protected:
  PortNotifierTest() { FModem = FBed.AddUsbSerial("1-2", "Mobile Broadband Modem", {{"ttyUSB0"}}); }
  uint16_t Number(const std::string& aPath) { return *FTable.FindNumber(aPath); }

  TUmockdevBed FBed;
  TUmockdevBed::TPlugged FModem;
  TPortTable FTable;
  TMessageQueue FQueue;
};

TPortChange Arrival(const std::string& aPath, std::optional<dev_t> aNumber) {
  return {TPortChangeKind::Arrival, aPath, aNumber};
}
TPortChange Removal(const std::string& aPath) { return {TPortChangeKind::Removal, aPath, std::nullopt}; }
const TPortChange kNodes{TPortChangeKind::NodesChanged, {}, std::nullopt};

}  // namespace

TEST_F(PortNotifierTest, EveryChangeIsToldOnceWhateverSawItAndByWhateverPath) {
  TPortNotifier notifier(FQueue, FTable);
  // Present from the start: nobody is told.
  notifier.Report(Arrival("/dev/ttyUSB0", CharDeviceNumberOf("/dev/ttyUSB0")));
  notifier.Rescan();
  EXPECT_TRUE(Drain(FQueue).empty());

  // Seen by the monitor first, then by the rescan; then reached by a by-id link as well.
  FBed.AddUsbSerial("1-3", "Second Modem", {{"ttyUSB1"}});
  notifier.Report(Arrival("/dev/ttyUSB1", CharDeviceNumberOf("/dev/ttyUSB1")));
  notifier.Rescan();
  const std::string link = FBed.NodeTarget("/dev/ttyUSB1");
  notifier.Report(Arrival(link, CharDeviceNumberOf(link)));
  notifier.Report(Removal(link));
  // Seen by the rescan first, then by the monitor.
  FBed.Remove(FModem.Usb);
  notifier.Rescan();
  notifier.Report(Removal("/dev/ttyUSB0"));
  notifier.Rescan();
  // Back again (in another socket, behind another pty) under its old number; other devices are
  // told every time.
  FBed.AddUsbSerial("1-9", "Mobile Broadband Modem", {{"ttyUSB0"}});
  notifier.Report(kNodes);
  notifier.Rescan();
  notifier.Report(Arrival("/dev/ttyUSB0", CharDeviceNumberOf("/dev/ttyUSB0")));
  // A removal of something never present is no news.
  notifier.Report(Removal("/dev/ttyUSB7"));

  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{Arrived(4), Removed(3), {DBT_DEVNODES_CHANGED, ""}, Arrived(3)}));
  EXPECT_EQ(Number(link), 4);
}

TEST_F(PortNotifierTest, ExtraPortsArePluggedByHandAndSurviveRescans) {
  TExtraPortEvents simulated(FTable);
  const std::string pty = "/dev/pts/4242";
  const std::string description = "Simulated modem (/dev/pts/4242)";
  // Plugged before the window registered: present from the start, so its unplug is news.
  EXPECT_EQ(simulated.Plug(pty, description), 3);
  TPortNotifier notifier(FQueue, FTable);
  ASSERT_TRUE(simulated.Start(notifier));
  simulated.Unplug(pty);
  EXPECT_EQ(EnumerateComPorts(false, false, FTable, {}), std::vector<std::string>{"COM4"});
  EXPECT_EQ(simulated.Plug(pty, description), 3);
  notifier.Rescan();
  EXPECT_EQ(EnumerateComPorts(false, false, FTable, {}), (std::vector<std::string>{"COM4", "COM3"}));
  simulated.Stop();
  simulated.Unplug(pty);

  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{Removed(3), Arrived(3)}));
}

TEST_F(PortNotifierTest, MonitorTellsEachTtyOfAPlugAndAnUnplugOnceInTheKernelsOrder) {
  for (const TUdevEventKind kind : {TUdevEventKind::Udev, TUdevEventKind::Kernel}) {
    SCOPED_TRACE(kind == TUdevEventKind::Udev ? "udev" : "kernel");
    TMessageQueue queue;
    TPortNotifier notifier(queue, FTable);
    TUdevMonitorSource monitor(kind);
    ASSERT_TRUE(monitor.Start(notifier)) << monitor.LastError();
    ASSERT_TRUE(monitor.Running());
    FBed.PaceTtyEvents([&monitor](uint64_t aSent) { monitor.WaitForEvents(aSent - 1, kPatience); });

    const std::string usb = kind == TUdevEventKind::Udev ? "1-5" : "1-6";
    const std::string first = kind == TUdevEventKind::Udev ? "ttyUSB5" : "ttyUSB7";
    const std::string second = kind == TUdevEventKind::Udev ? "ttyUSB6" : "ttyUSB8";
    const auto modem = FBed.AddUsbSerial(usb, "Modem", {{first}, {second}});
    const std::optional<TSeen> a = Next(queue), b = Next(queue);
    EXPECT_EQ(a, Arrived(Number("/dev/" + first)));
    EXPECT_EQ(b, Arrived(Number("/dev/" + second)));
    FBed.AnnounceUnplug(modem);
    const std::optional<TSeen> c = Next(queue), d = Next(queue);
    EXPECT_EQ(c, Removed(Number("/dev/" + first)));
    EXPECT_EQ(d, Removed(Number("/dev/" + second)));
    // The USB device's and interfaces' own events never reach the monitor: its filter takes
    // ttys only, so four tty events in all.
    EXPECT_TRUE(monitor.WaitForEvents(3, kPatience));
    EXPECT_TRUE(monitor.HeardEvent());
    FBed.PaceTtyEvents({});
    monitor.Stop();
    EXPECT_FALSE(monitor.Running());
    EXPECT_EQ(monitor.Events(), 4u);
    EXPECT_TRUE(Drain(queue).empty());
  }
}

TEST_F(PortNotifierTest, EventsForDevicesAlreadyGoneOrNoPortsTellNothing) {
  TGatedQueue gate;
  TPortNotifier notifier(gate, FTable);
  TUdevMonitorSource monitor(TUdevEventKind::Udev);
  ASSERT_TRUE(monitor.Start(notifier));

  // The monitor's thread is held in its first report while the next events queue up.
  gate.Shut();
  const auto held = FBed.AddUsbSerial("1-3", "Held", {{"ttyUSB1"}});
  ASSERT_TRUE(gate.WaitForWaiting());
  // Plugged and pulled out again before its arrival is read.
  const auto gone = FBed.AddUsbSerial("1-4", "Gone", {{"ttyUSB2"}});
  FBed.Remove(gone.Usb);
  // A virtual console, a tty without a node, another action, a removal never preceded by an
  // arrival.
  const std::string console = FBed.AddTty("/devices/virtual/tty/tty7", TPort{"tty7"});
  FBed.AddUsbSerial("1-5", "No node", {{"ttyUSB3", "", {}, false}});
  FBed.Uevent(held.Ttys[0], "change");
  FBed.Uevent(console, "remove");
  gate.Open();

  // A last plug-in: whatever the events above were going to tell would come before it.
  FBed.AddUsbSerial("1-7", "Last", {{"ttyUSB9"}});
  const std::optional<TSeen> first = Next(gate.Queue), second = Next(gate.Queue);
  EXPECT_EQ(first, Arrived(Number("/dev/ttyUSB1")));
  EXPECT_EQ(second, Arrived(Number("/dev/ttyUSB9")));
  monitor.Stop();
  EXPECT_TRUE(Drain(gate.Queue).empty());
  EXPECT_FALSE(FTable.FindNumber("/dev/ttyUSB2"));
  EXPECT_FALSE(FTable.FindNumber("/dev/tty7"));
}

TEST_F(PortNotifierTest, RescanThreadTellsAnAddedAndARemovedPortOnce) {
  TPortNotifier notifier(FQueue, FTable);
  TPortRescan rescan(5ms);
  ASSERT_TRUE(rescan.Start(notifier));
  ASSERT_TRUE(rescan.Running());

  const auto second = FBed.AddUsbSerial("1-3", "Second Modem", {{"ttyUSB1"}});
  EXPECT_EQ(Next(FQueue), Arrived(4));
  // Passes that see the same devices again tell nothing more.
  ASSERT_TRUE(rescan.WaitForPasses(rescan.Passes() + 1, kPatience));
  EXPECT_TRUE(Drain(FQueue).empty());

  FBed.Remove(second.Usb);
  EXPECT_EQ(Next(FQueue), Removed(4));
  ASSERT_TRUE(rescan.WaitForPasses(rescan.Passes() + 1, kPatience));
  rescan.Stop();
  EXPECT_FALSE(rescan.Running());
  EXPECT_TRUE(Drain(FQueue).empty());
}

TEST_F(PortNotifierTest, DeviceNotificationsUseTheSourceAskedForAndTellAPlugOnce) {
  const struct {
    TPortEventSourceChoice Choice;
    std::string Name;
  } choices[] = {
      {TPortEventSourceChoice::Udev, "udev"},
      {TPortEventSourceChoice::Kernel, "kernel"},
      {TPortEventSourceChoice::RescanOnly, "rescan"},
      {TPortEventSourceChoice::Auto, TDeviceNotifications::DeviceManagerRuns() ? "udev" : "kernel"},
  };
  int plugged = 0;
  for (const auto& c : choices) {
    SCOPED_TRACE(c.Name);
    TMessageQueue queue;
    TDeviceNotifications notifications(queue, FTable, {c.Choice, 5ms});
    auto simulated = std::make_unique<TExtraPortEvents>(FTable);
    TExtraPortEvents& sim = *simulated;
    notifications.AddSource(std::move(simulated));
    notifications.Start();
    EXPECT_EQ(notifications.SourceName(), c.Name);
    EXPECT_EQ(notifications.Monitoring(), c.Choice != TPortEventSourceChoice::RescanOnly);
    EXPECT_TRUE(notifications.Rescanning());
    // The monitor and the rescan both see it; it is told once.
    const std::string tty = "ttyACM" + std::to_string(plugged);
    FBed.AddUsbSerial("2-" + std::to_string(++plugged), "Modem", {{tty}});
    const std::optional<TSeen> plug = Next(queue);
    EXPECT_EQ(plug, Arrived(Number("/dev/" + tty)));
    const std::string pty = "/dev/pts/77" + std::to_string(plugged);
    const uint16_t simulatedPort = sim.Plug(pty, "Simulated modem");
    EXPECT_EQ(Next(queue), Arrived(simulatedPort));
    sim.Unplug(pty);
    EXPECT_EQ(Next(queue), Removed(simulatedPort));
    notifications.Stop();
    EXPECT_FALSE(notifications.Rescanning());
    EXPECT_FALSE(notifications.Monitoring());
    EXPECT_TRUE(Drain(queue).empty());
  }
}

TEST_F(PortNotifierTest, PathWatchFollowsPortsNamedByTheirPath) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("path-watch-" + std::to_string(::getpid()));
  const fs::path dir = root / "by-id";
  fs::create_directories(dir);
  for (const char* device : {"pts-1", "pts-2"}) std::ofstream(root / device) << "";
  const std::string modem = (dir / "modem").string(), later = (dir / "later").string();
  // Swaps the link's target in one step, as a device replaced between two looks would.
  const auto pointAt = [&](const std::string& aLink, const char* aDevice) {
    fs::create_symlink(root / aDevice, aLink + ".new");
    fs::rename(aLink + ".new", aLink);
  };
  pointAt(modem, "pts-1");

  TPortPathWatch watch(FTable, {{modem, "Serial device (modem)"}, {later, "Serial device (later)"}}, 5ms);
  // Only the one that leads somewhere is listed from the outset.
  ASSERT_EQ(FTable.ExtraPorts().size(), 1u);
  EXPECT_EQ(FTable.ExtraPorts()[0].Path, modem);
  TPortNotifier notifier(FQueue, FTable);
  const std::string modemPort = "COM" + std::to_string(*FTable.FindNumber(modem));
  const auto settle = [&] { ASSERT_TRUE(watch.WaitForPasses(watch.Passes() + 1, kPatience)); };
  ASSERT_TRUE(watch.Start(notifier));
  settle();
  EXPECT_TRUE(Drain(FQueue).empty());

  fs::remove(modem);
  settle();
  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{{DBT_DEVICEREMOVECOMPLETE, modemPort}}));
  EXPECT_TRUE(FTable.ExtraPorts().empty());

  pointAt(later, "pts-2");
  settle();
  const std::string laterPort = "COM" + std::to_string(*FTable.FindNumber(later));
  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{{DBT_DEVICEARRIVAL, laterPort}}));

  // Back under its old number; then another device behind the same name, never seen missing.
  pointAt(modem, "pts-1");
  settle();
  pointAt(modem, "pts-2");
  settle();
  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{{DBT_DEVICEARRIVAL, modemPort},
                                               {DBT_DEVICEREMOVECOMPLETE, modemPort},
                                               {DBT_DEVICEARRIVAL, modemPort}}));
  const std::string usbPort = "COM" + std::to_string(*FTable.FindNumber("/dev/ttyUSB0"));
  EXPECT_EQ(EnumerateComPorts(false, false, FTable, {}), (std::vector<std::string>{usbPort, laterPort, modemPort}));

  watch.Stop();
  EXPECT_FALSE(watch.Running());
  fs::remove(later);
  EXPECT_TRUE(Drain(FQueue).empty());
  fs::remove_all(root);
}
