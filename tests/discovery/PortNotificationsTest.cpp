// Port notifications: one message per change whatever saw it, the rescan thread, the netlink listener.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

#include "FakeSysfs.h"
#include "common/SystemError.h"
#include "common/WindowMessages.h"
#include "serial/PortNotifications.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 20s;

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

// What a real uevent socket delivered besides the machine's own hardware changes, which may
// happen at any time on the machine running the tests.
std::vector<TSeen> PortMessages(TMessageQueue& aQueue) {
  std::vector<TSeen> seen = Drain(aQueue);
  std::erase(seen, TSeen{DBT_DEVNODES_CHANGED, ""});
  return seen;
}

std::optional<TSeen> Next(TMessageQueue& aQueue) {
  auto m = aQueue.WaitTake(kPatience);
  if (!m) return std::nullopt;
  return TSeen{m->WParam, m->Text.value_or("")};
}

const TPortChange kNodes{TPortChangeKind::NodesChanged, {}};

class PortNotifierTest : public ::testing::Test {
 protected:
  PortNotifierTest() { FSys.AddUsbModem("1-2", "Mobile Broadband Modem", 1, 0); }
  TPortChange Arrival(const std::string& aTty) { return {TPortChangeKind::Arrival, FSys.DevPath(aTty)}; }
  TPortChange Removal(const std::string& aTty) { return {TPortChangeKind::Removal, FSys.DevPath(aTty)}; }

  TFakeSysfs FSys;
  TPortTable FTable;
  TMessageQueue FQueue;
};

}  // namespace

TEST_F(PortNotifierTest, KernelAndRescanTogetherTellEachChangeOnce) {
  TPortNotifier notifier(FQueue, FTable, FSys.Tree());
  // Present from the start: nobody is told.
  notifier.Report(Arrival("ttyUSB0"));
  notifier.Rescan();
  EXPECT_TRUE(Drain(FQueue).empty());

  // Seen by the kernel first, then by the rescan.
  FSys.AddUsbModem("1-3", "Second Modem", 1, 1);
  notifier.Report(Arrival("ttyUSB1"));
  notifier.Rescan();
  // Seen by the rescan first, then by the kernel.
  FSys.RemoveTty("ttyUSB0");
  notifier.Rescan();
  notifier.Report(Removal("ttyUSB0"));
  notifier.Rescan();
  // Back again under its old number; other devices are told every time.
  FSys.AddTty("ttyUSB0", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0");
  notifier.Report(kNodes);
  notifier.Rescan();
  notifier.Report(Arrival("ttyUSB0"));
  notifier.Report(kNodes);
  // A removal of something never present is no news.
  notifier.Report(Removal("ttyUSB7"));

  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{{DBT_DEVICEARRIVAL, "COM4"},
                                               {DBT_DEVICEREMOVECOMPLETE, "COM3"},
                                               {DBT_DEVNODES_CHANGED, ""},
                                               {DBT_DEVICEARRIVAL, "COM3"},
                                               {DBT_DEVNODES_CHANGED, ""}}));
}

TEST_F(PortNotifierTest, ExtraPortsArePluggedByHandAndSurviveRescans) {
  TExtraPortEvents simulated(FTable);
  const std::string pty = "/dev/pts/42";
  const std::string description = "Simulated modem (/dev/pts/42)";
  // Plugged before the window registered: present from the start, so its unplug is news.
  EXPECT_EQ(simulated.Plug(pty, description), 3);
  TPortNotifier notifier(FQueue, FTable, FSys.Tree());
  ASSERT_TRUE(simulated.Start(notifier));
  simulated.Unplug(pty);
  EXPECT_EQ(EnumerateComPorts(false, false, FSys.Tree(), FTable, {}), std::vector<std::string>{"COM4"});
  EXPECT_EQ(simulated.Plug(pty, description), 3);
  notifier.Rescan();
  EXPECT_EQ(EnumerateComPorts(false, false, FSys.Tree(), FTable, {}), (std::vector<std::string>{"COM4", "COM3"}));
  simulated.Stop();
  simulated.Unplug(pty);

  EXPECT_EQ(Drain(FQueue), (std::vector<TSeen>{{DBT_DEVICEREMOVECOMPLETE, "COM3"}, {DBT_DEVICEARRIVAL, "COM3"}}));
}

TEST_F(PortNotifierTest, RescanThreadTellsAnAddedAndARemovedPortOnce) {
  TPortNotifier notifier(FQueue, FTable, FSys.Tree());
  TSysfsRescan rescan(5ms);
  ASSERT_TRUE(rescan.Start(notifier));
  ASSERT_TRUE(rescan.Running());

  FSys.AddUsbModem("1-3", "Second Modem", 1, 1);
  EXPECT_EQ(Next(FQueue), (TSeen{DBT_DEVICEARRIVAL, "COM4"}));
  // Passes that see the same tree again tell nothing more.
  ASSERT_TRUE(rescan.WaitForPasses(rescan.Passes() + 1, kPatience));
  EXPECT_TRUE(Drain(FQueue).empty());

  FSys.RemoveTty("ttyUSB1");
  EXPECT_EQ(Next(FQueue), (TSeen{DBT_DEVICEREMOVECOMPLETE, "COM4"}));
  ASSERT_TRUE(rescan.WaitForPasses(rescan.Passes() + 1, kPatience));
  rescan.Stop();
  EXPECT_FALSE(rescan.Running());
  EXPECT_TRUE(Drain(FQueue).empty());
}

TEST_F(PortNotifierTest, ListenerOpensTheKernelSocketAndBelievesOnlyTheKernel) {
  TPortNotifier notifier(FQueue, FTable, FSys.Tree());
  TUeventListener listener;
  if (!listener.Start(notifier)) {
    // Where netlink is refused the rescan carries the notifications alone (tested below).
    GTEST_SKIP() << "uevent socket refused: " << SysErrorMessage(listener.LastError());
  }
  ASSERT_TRUE(listener.Running());
  ASSERT_NE(listener.PortId(), 0u);

  // A process may send a perfect tty event straight to the listener's address; it must not be
  // believed, since only the kernel speaks from port id 0.
  FSys.AddUsbModem("1-3", "Second Modem", 1, 1);
  const int forger = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(forger, 0);
  const std::string path = "/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1";
  const std::string forged = "add@" + path + '\0' + "ACTION=add" + '\0' + "DEVPATH=" + path + '\0' +
                             "SUBSYSTEM=tty" + '\0' + "DEVNAME=ttyUSB1" + '\0';
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  to.nl_pid = listener.PortId();
  ASSERT_EQ(::sendto(forger, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(forged.size()))
      << errno;
  ::close(forger);
  ASSERT_TRUE(listener.WaitForDatagrams(0, kPatience));
  listener.Stop();
  EXPECT_FALSE(listener.Running());
  EXPECT_EQ(PortMessages(FQueue), std::vector<TSeen>{});

  // It can start again, and its destructor stops it.
  ASSERT_TRUE(listener.Start(notifier));
}

TEST_F(PortNotifierTest, DeviceNotificationsFallBackToTheRescanAndStopCleanly) {
  {
    TDeviceNotifications notifications(FQueue, FTable, {FSys.Tree(), false, 5ms});
    auto simulated = std::make_unique<TExtraPortEvents>(FTable);
    TExtraPortEvents& sim = *simulated;
    notifications.AddSource(std::move(simulated));
    notifications.Start();
    EXPECT_FALSE(notifications.ListeningToKernel());
    EXPECT_TRUE(notifications.Rescanning());
    FSys.AddUsbModem("1-3", "Second Modem", 1, 1);
    EXPECT_EQ(Next(FQueue), (TSeen{DBT_DEVICEARRIVAL, "COM4"}));
    sim.Plug("/dev/pts/42", "Simulated modem (/dev/pts/42)");
    EXPECT_EQ(Next(FQueue), (TSeen{DBT_DEVICEARRIVAL, "COM5"}));
    notifications.Stop();
    EXPECT_FALSE(notifications.Rescanning());
  }
  {
    // With uevents the listener runs here; the rescan runs beside it until the kernel is heard.
    TDeviceNotifications notifications(FQueue, FTable, {FSys.Tree(), true, 5ms});
    notifications.Start();
    EXPECT_TRUE(notifications.ListeningToKernel() || notifications.Rescanning());
    RecordProperty("uevents", notifications.ListeningToKernel() ? "listening" : "refused");
  }
  EXPECT_EQ(PortMessages(FQueue), std::vector<TSeen>{});
}

TEST_F(PortNotifierTest, PathWatchFollowsPortsNamedByTheirPath) {
  namespace fs = std::filesystem;
  const fs::path dir = FSys.Dev() / "by-id";
  fs::create_directories(dir);
  for (const char* device : {"pts-1", "pts-2"}) std::ofstream(FSys.Dev() / device) << "";
  const std::string modem = (dir / "modem").string(), later = (dir / "later").string();
  // Swaps the link's target in one step, as a device replaced between two looks would.
  const auto pointAt = [&](const std::string& aLink, const char* aDevice) {
    fs::create_symlink(FSys.Dev() / aDevice, aLink + ".new");
    fs::rename(aLink + ".new", aLink);
  };
  pointAt(modem, "pts-1");

  TPortPathWatch watch(FTable, {{modem, "Serial device (modem)"}, {later, "Serial device (later)"}}, 5ms);
  // Only the one that leads somewhere is listed from the outset.
  ASSERT_EQ(FTable.ExtraPorts().size(), 1u);
  EXPECT_EQ(FTable.ExtraPorts()[0].Path, modem);
  TPortNotifier notifier(FQueue, FTable, FSys.Tree());
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
  EXPECT_EQ(EnumerateComPorts(false, false, FSys.Tree(), FTable, {}), (std::vector<std::string>{usbPort, laterPort, modemPort}));

  watch.Stop();
  EXPECT_FALSE(watch.Running());
  fs::remove(later);
  EXPECT_TRUE(Drain(FQueue).empty());
}
