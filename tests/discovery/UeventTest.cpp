// Kernel uevent datagrams and what they mean for the window.
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <ostream>

#include "serial/PortNotifications.h"

void PrintTo(const TPortChange& aChange, std::ostream* aOut) {
  *aOut << "{" << static_cast<int>(aChange.Kind) << ", \"" << aChange.DevicePath << "\"}";
}

namespace {

// Fields joined the kernel's way: each one ends in NUL.
std::string Datagram(std::initializer_list<std::string_view> aFields, char aSeparator = '\0') {
  std::string datagram;
  for (std::string_view field : aFields) (datagram += field) += aSeparator;
  return datagram;
}

// udev's own header: magic, lengths, then the variables.
constexpr char kLibudev[] = "libudev\0\xfe\xed\xca\xfe\0\0\0\0ACTION=add\0SUBSYSTEM=tty\0DEVNAME=ttyUSB1\0";

const std::string kTtyUsbPath = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/ttyUSB1/tty/ttyUSB1";

std::string TtyEvent(std::string_view aAction) {
  const std::string header = std::string(aAction) + "@" + kTtyUsbPath;
  const std::string action = "ACTION=" + std::string(aAction);
  const std::string devpath = "DEVPATH=" + kTtyUsbPath;
  return Datagram({header, action, devpath, "SUBSYSTEM=tty", "MAJOR=188", "MINOR=1", "DEVNAME=ttyUSB1", "SEQNUM=4711"});
}

}  // namespace

TEST(Uevent, EachDatagramIsAPortChangeAnotherDeviceOrNothing) {
  using K = TPortChangeKind;
  const std::optional<TPortChange> ignored;
  const std::string usbAdd =
      Datagram({"add@/devices/pci0000:00/0000:00:14.0/usb1/1-2", "ACTION=add",
                "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2", "SUBSYSTEM=usb", "DEVNAME=bus/usb/001/005",
                "DEVTYPE=usb_device", "SEQNUM=4700"});
  const struct {
    const char* What;
    std::string Datagram;
    std::optional<TPortChange> Expected;
  } cases[] = {
      {"tty add", TtyEvent("add"), TPortChange{K::Arrival, "/dev/ttyUSB1"}},
      {"tty remove", TtyEvent("remove"), TPortChange{K::Removal, "/dev/ttyUSB1"}},
      {"usb add", usbAdd, TPortChange{K::NodesChanged, ""}},
      {"usb interface remove",
       Datagram({"remove@/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "ACTION=remove",
                 "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "SUBSYSTEM=usb"}),
       TPortChange{K::NodesChanged, ""}},
      {"tty name from the path",
       Datagram({"add@/devices/pnp0/00:04/tty/ttyS0", "ACTION=add", "DEVPATH=/devices/pnp0/00:04/tty/ttyS0",
                 "SUBSYSTEM=tty"}),
       TPortChange{K::Arrival, "/dev/ttyS0"}},
      {"tty change", TtyEvent("change"), ignored},
      {"usb bind",
       Datagram({"bind@/devices/pci0000:00/0000:00:14.0/usb1/1-2", "ACTION=bind",
                 "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2", "SUBSYSTEM=usb"}),
       ignored},
      {"virtual console",
       Datagram({"add@/devices/virtual/tty/tty5", "ACTION=add", "DEVPATH=/devices/virtual/tty/tty5", "SUBSYSTEM=tty",
                 "DEVNAME=tty5"}),
       ignored},
      {"virtual network interface",
       Datagram({"add@/devices/virtual/net/veth1", "ACTION=add", "DEVPATH=/devices/virtual/net/veth1",
                 "SUBSYSTEM=net"}),
       ignored},
      {"memory block hot-plugged",
       Datagram({"add@/devices/system/memory/memory42", "ACTION=add", "DEVPATH=/devices/system/memory/memory42",
                 "SUBSYSTEM=memory"}),
       ignored},
      {"module", Datagram({"add@/module/option", "ACTION=add", "DEVPATH=/module/option", "SUBSYSTEM=module"}), ignored},
      {"no subsystem", Datagram({"add@" + kTtyUsbPath, "ACTION=add", "DEVPATH=" + kTtyUsbPath}), ignored},
      {"action differs from header",
       Datagram({"add@" + kTtyUsbPath, "ACTION=remove", "DEVPATH=" + kTtyUsbPath, "SUBSYSTEM=tty"}), ignored},
      {"no @ in header", Datagram({"add" + kTtyUsbPath, "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=ttyUSB1"}), ignored},
      {"empty action", Datagram({"@" + kTtyUsbPath, "SUBSYSTEM=tty", "DEVNAME=ttyUSB1"}), ignored},
      {"odd device name", Datagram({"add@" + kTtyUsbPath, "SUBSYSTEM=tty", "DEVNAME=../ttyUSB1"}), ignored},
      {"udev re-broadcast", std::string(kLibudev, sizeof kLibudev - 1), ignored},
      {"newline separated", Datagram({"add@" + kTtyUsbPath, "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=ttyUSB1"}, '\n'),
       ignored},
      {"not terminated", TtyEvent("add").substr(0, TtyEvent("add").size() - 1), ignored},
      {"empty", "", ignored},
      {"a lone NUL", std::string(1, '\0'), ignored},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseUevent(c.Datagram), c.Expected) << c.What;
}

TEST(Uevent, EveryCutOfADatagramIsIgnoredOrMeansTheSame) {
  const std::string whole = TtyEvent("add");
  const auto full = ParseUevent(whole, "/dev");
  ASSERT_TRUE(full);
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    // An exact-size heap copy, so that a read past the end is caught.
    auto bytes = std::make_unique<char[]>(cut == 0 ? 1 : cut);
    whole.copy(bytes.get(), cut);
    const auto part = ParseUevent(std::string_view(bytes.get(), cut), "/dev");
    if (part) {
      EXPECT_EQ(*part, *full) << "cut at " << cut;
    }
  }
}
