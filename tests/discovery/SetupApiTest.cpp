// COM port listing against fake sysfs trees: filtering, line format, order, numbering, the open test.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "FakeSysfs.h"
#include "serial/SetupAPI.h"

namespace {

using TLines = std::vector<std::string>;

// The program's one notion of an exclusive open.
const TSerialDeviceFactory kOpenDevice = CreatePosixSerialDevice;

// A pseudo-terminal whose slave stands in for a serial device node.
class TPty {
 public:
  TPty() {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0) throw std::runtime_error("pty");
    FSlave = ::ptsname(FMaster);
  }
  ~TPty() { ::close(FMaster); }
  const std::string& Slave() const { return FSlave; }

 private:
  int FMaster = -1;
  std::string FSlave;
};

class ComPortsTest : public ::testing::Test {
 protected:
  TComPortList List(bool aTestOpen, bool aWithDescription) {
    return EnumerateComPorts(aTestOpen, aWithDescription, FTree, FTable, kOpenDevice);
  }
  std::string Line(const std::string& aName, const std::string& aDescription, const std::string& aTty) {
    return FormatPortLine(aName, aDescription + " (" + FSys.DevPath(aTty) + ")");
  }

  TFakeSysfs FSys;
  TDeviceTree FTree = FSys.Tree();
  TPortTable FTable;
};

}  // namespace

TEST(ComPortLines, FormatPadsTheNameToSevenAndFilterIsExactAndCaseSensitive) {
  const struct {
    const char* Name;
    const char* Line;
  } lines[] = {
      {"COM3", "COM3    D"}, {"COM12", "COM12   D"}, {"COM1234", "COM1234 D"}, {"COM12345", "COM12345 D"}};
  for (const auto& c : lines) EXPECT_EQ(FormatPortLine(c.Name, "D"), c.Line) << c.Name;

  const struct {
    const char* Name;
    bool Kept;
  } names[] = {{"COM1", false}, {"COM2", false}, {"com3", false}, {"Com3", false}, {"LPT1", false},
               {"COM3", true},  {"COM10", true}, {"COM11", true}, {"COM12", true}, {"COM21", true}};
  for (const auto& c : names) EXPECT_EQ(IsCandidatePortName(c.Name), c.Kept) << c.Name;
}

TEST_F(ComPortsTest, BuiltInUartsAloneGiveNoneAndPlaceholdersAreSkipped) {
  FSys.AddLegacyUart(0, 4);
  FSys.AddLegacyUart(1, 4);
  for (int k = 2; k < 6; ++k) FSys.AddLegacyUart(k, 0);
  FSys.AddVirtualTty("tty1");
  FSys.AddVirtualTty("console");
  EXPECT_EQ(List(false, true), std::nullopt);
  EXPECT_EQ(List(false, false), std::nullopt);
  EXPECT_EQ(FTable.FindNumber(FSys.DevPath("ttyS0")), 1);
  EXPECT_EQ(FTable.FindNumber(FSys.DevPath("ttyS1")), 2);

  // A UART that is really there is a candidate under its fixed number.
  FSys.AddLegacyUart(6, 4);
  EXPECT_EQ(List(false, true), TLines{Line("COM7", "serial8250", "ttyS6")});
}

TEST_F(ComPortsTest, UsbModemGivesOneLinePerInterfaceInOrder) {
  FSys.AddUsbModem("1-2", "Mobile Broadband Modem", 3, 0);
  EXPECT_EQ(List(false, true), (TLines{"COM3    Mobile Broadband Modem (" + FSys.DevPath("ttyUSB0") + ")",
                                       "COM4    Mobile Broadband Modem (" + FSys.DevPath("ttyUSB1") + ")",
                                       "COM5    Mobile Broadband Modem (" + FSys.DevPath("ttyUSB2") + ")"}));
  EXPECT_EQ(List(false, false), (TLines{"COM3", "COM4", "COM5"}));
}

TEST_F(ComPortsTest, TwoDigitNumbersGetThreeSpacesAndNamesSortNaturally) {
  for (int i = 0; i < 7; ++i) FTable.NumberFor("/dev/gone" + std::to_string(i));  // holds COM3..COM9
  FSys.AddUsbModem("1-2", "Mobile Broadband Modem", 3, 9);                     // ttyUSB9, 10, 11
  EXPECT_EQ(List(false, true), (TLines{Line("COM10", "Mobile Broadband Modem", "ttyUSB9"),
                                       Line("COM11", "Mobile Broadband Modem", "ttyUSB10"),
                                       Line("COM12", "Mobile Broadband Modem", "ttyUSB11")}));
  EXPECT_EQ(List(false, true)->back().substr(0, 9), "COM12   M");
}

TEST_F(ComPortsTest, DescriptionIsProductElseInterfaceElseDriver) {
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/";
  FSys.AddUsbModem("1-1", "Mobile Broadband Modem", 1, 0);
  FSys.AddUsbModem("1-2", "", 1, 1);
  FSys.Write(usb + "1-2/1-2:1.0/interface", "Diagnostics Interface\n");
  // The hub above a device without a product name says nothing about the port.
  FSys.Write("devices/pci0000:00/0000:00:14.0/usb1/idVendor", "1d6b\n");
  FSys.Write("devices/pci0000:00/0000:00:14.0/usb1/product", "xHCI Host Controller\n");
  FSys.Write(usb + "1-4/idVendor", "1234\n");
  FSys.AddTty("ttyACM0", "pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0", "cdc_acm");
  FSys.AddTty("ttyAMA0", "platform/fe201000.serial", "uart-pl011");
  FSys.AddTty("ttyX0", "platform/x0");
  EXPECT_EQ(List(false, true), (TLines{Line("COM3", "cdc_acm", "ttyACM0"), Line("COM4", "uart-pl011", "ttyAMA0"),
                                       Line("COM5", "Mobile Broadband Modem", "ttyUSB0"),
                                       Line("COM6", "Diagnostics Interface", "ttyUSB1"),
                                       Line("COM7", "Serial port", "ttyX0")}));
}

TEST_F(ComPortsTest, BadAttributesAndOddNamesAreSkippedQuietly) {
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb1/";
  // A product that is a directory, one that is blank, one with control characters, a fifo.
  FSys.AddUsbModem("1-1", "", 1, 0);
  std::filesystem::create_directories(FSys.Sys() / usb / "1-1/product");
  FSys.AddUsbModem("1-2", " \t", 1, 1);
  FSys.AddUsbModem("1-3", "Modem\x01\tOne", 1, 2);
  FSys.AddUsbModem("1-4", "", 1, 3);
  ASSERT_EQ(::mkfifo((FSys.Sys() / usb / "1-4/product").c_str(), 0600), 0);
  // An unreadable type keeps the UART: nothing says it is a placeholder.
  FSys.AddLegacyUart(4, 0);
  const auto type = FSys.Sys() / "devices/platform/serial8250.4/tty/ttyS4/type";
  std::filesystem::remove(type);
  std::filesystem::create_directories(type);
  // Entries that are no serial device: odd names, no device link, a dangling one, a plain file.
  FSys.AddTty("bad name", "platform/odd1");
  FSys.AddTty("-x", "platform/odd2");
  FSys.AddTty("tty\nX", "platform/odd3");
  std::filesystem::create_directories(FSys.Sys() / "devices/platform/nodev/tty/ttyN0");
  std::filesystem::create_symlink("../../devices/platform/nodev/tty/ttyN0", FSys.Sys() / "class/tty/ttyN0");
  FSys.AddTty("ttyD0", "platform/dangling");
  std::filesystem::remove(FSys.Sys() / "devices/platform/dangling/tty/ttyD0/device");
  std::filesystem::create_symlink("../../missing", FSys.Sys() / "devices/platform/dangling/tty/ttyD0/device");
  FSys.Write("class/tty/ttyF0", "not a link\n");

  EXPECT_EQ(List(false, true), (TLines{Line("COM3", "option1", "ttyUSB0"), Line("COM4", "option1", "ttyUSB1"),
                                       Line("COM5", "serial8250", "ttyS4"), Line("COM6", "Modem  One", "ttyUSB2"),
                                       Line("COM7", "option1", "ttyUSB3")}));
}

TEST_F(ComPortsTest, MissingTreeGivesNone) {
  EXPECT_EQ(EnumerateComPorts(false, true, {"/nonexistent/sys", "/dev"}, FTable, kOpenDevice), std::nullopt);
}

TEST_F(ComPortsTest, TestOpenLeavesOutPortsHeldElsewhereOrAbsent) {
  FSys.AddUsbModem("1-2", "Mobile Broadband Modem", 2, 0);
  TPty first, second;
  FTree = FSys.TreeWithFakeDev();
  std::filesystem::create_symlink(first.Slave(), FSys.Dev() / "ttyUSB0");
  std::filesystem::create_symlink(second.Slave(), FSys.Dev() / "ttyUSB1");
  FTable.RegisterExtraPort(FSys.FakeDevPath("ttyGone"), "Command line port");

  auto holder = CreatePosixSerialDevice();
  ASSERT_EQ(holder->Open(FSys.FakeDevPath("ttyUSB0")), 0);
  // The extra port was registered first and holds COM3.
  EXPECT_EQ(List(false, false), (TLines{"COM4", "COM5", "COM3"}));
  EXPECT_EQ(List(true, false), TLines{"COM5"});
  holder->Close();
  EXPECT_EQ(List(true, false), (TLines{"COM4", "COM5"}));
}

TEST_F(ComPortsTest, NumbersSurviveUnplugAndNewDevicesNeverTakeAHeldOne) {
  FSys.AddUsbModem("1-2", "Mobile Broadband Modem", 3, 0);
  EXPECT_EQ(List(false, false), (TLines{"COM3", "COM4", "COM5"}));
  FSys.RemoveTty("ttyUSB1");
  EXPECT_EQ(List(false, false), (TLines{"COM3", "COM5"}));
  FSys.AddTty("ttyACM0", "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0", "cdc_acm");
  EXPECT_EQ(List(false, false), (TLines{"COM3", "COM5", "COM6"}));
  FSys.AddTty("ttyUSB1", "pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/ttyUSB1");
  EXPECT_EQ(List(false, false), (TLines{"COM3", "COM4", "COM5", "COM6"}));
}

TEST_F(ComPortsTest, ExtraPortsFollowTheSysfsOnesAndAreNeverListedTwice) {
  FTable.RegisterExtraPort("/dev/pts/77", "Simulated modem (/dev/pts/77)");  // takes COM3
  FSys.AddUsbModem("1-2", "Mobile Broadband Modem", 2, 0);
  FTable.RegisterExtraPort(FSys.DevPath("ttyUSB1"), "Named on the command line");
  // Listed by number: ttyUSB1 took COM4 when it was registered, before any listing.
  EXPECT_EQ(List(false, true), (TLines{Line("COM4", "Mobile Broadband Modem", "ttyUSB1"),
                                       Line("COM5", "Mobile Broadband Modem", "ttyUSB0"),
                                       "COM3    Simulated modem (/dev/pts/77)"}));
}
