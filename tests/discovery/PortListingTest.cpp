// COM port listing through libudev against umockdev test beds: which ttys are ports, what they are
// called, their order and numbers, one port per device, the open test; and the descriptions made
// from untrusted texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "UmockdevBed.h"
#include "serial/PortDescription.h"
#include "serial/SetupAPI.h"

namespace {

using TLines = std::vector<std::string>;
using TPort = TUmockdevBed::TPort;

class PortListing : public ::testing::Test {
 protected:
  TComPortList List(bool aTestOpen, bool aWithDescription) {
    return EnumerateComPorts(aTestOpen, aWithDescription, FTable, CreatePosixSerialDevice);
  }
  // A UART of the 8250 driver; type 0 is a placeholder with no hardware behind it.
  void AddLegacyUart(int aIndex, int aType) {
    const std::string name = "ttyS" + std::to_string(aIndex);
    if (!FUartParent)
      FBed.Add("P: /devices/platform/serial8250\nE: SUBSYSTEM=platform\nE: DRIVER=serial8250\n"
               "L: driver=../../bus/platform/drivers/serial8250\n");
    FUartParent = true;
    FBed.AddTty("/devices/platform/serial8250/tty/" + name,
                TPort{name, {}, {}, true, {"type=" + std::to_string(aType)}});
  }
  bool FUartParent = false;

  TUmockdevBed FBed;
  TPortTable FTable;
};

}  // namespace

TEST(PortLines, FormatPadsTheNameToSevenAndFilterIsExactAndCaseSensitive) {
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

TEST(PortDescriptions, DatabaseNamesFirstThenProductInterfaceDriver) {
  const std::string path = "/dev/ttyUSB1";
  const struct {
    const char* What;
    TPortFacts Facts;
    std::string Expected;
  } cases[] = {
      {"database model and vendor", {"Acme Corp.", "Mobile Broadband Modem", {}, "MBM", "option1"},
       "Acme Corp. Mobile Broadband Modem"},
      {"model that names its vendor", {"Acme", "Acme Modem", {}, {}, {}}, "Acme Modem"},
      {"model without vendor", {{}, "Modem", {}, {}, {}}, "Modem"},
      {"vendor alone is no name", {"Acme", {}, {}, {}, "option1"}, "option1"},
      {"product", {{}, {}, {}, "Mobile Broadband Modem", "option1"}, "Mobile Broadband Modem"},
      {"with the interface", {{}, "Modem", "Diagnostics Interface", "x", {}}, "Modem, Diagnostics Interface"},
      {"interface alone", {{}, {}, "Diagnostics Interface", {}, "option1"}, "Diagnostics Interface"},
      {"interface named as the product", {{}, {}, "Modem", "Modem", {}}, "Modem"},
      {"driver", {{}, {}, {}, {}, "cdc_acm"}, "cdc_acm"},
      {"nothing", {}, "Serial port"},
      {"blank texts", {" ", "\t \n", " \x01 ", "", "\x7f"}, "Serial port"},
      {"control characters and runs of blanks", {{}, "Modem\x01\tOne  \r\n Two ", {}, {}, {}}, "Modem One Two"},
  };
  for (const auto& c : cases) EXPECT_EQ(DescribeSerialPort(c.Facts, path), c.Expected + " (" + path + ")") << c.What;
}

TEST(PortDescriptions, LongTextsAreCutOnACharacterBoundary) {
  // 47 two-byte characters and one more byte: the cut at 96 bytes falls inside the 48th.
  std::string text = "x";
  for (int i = 0; i < 60; ++i) text += "\xc3\xa9";
  const auto clean = CleanDeviceText(text);
  ASSERT_TRUE(clean);
  EXPECT_EQ(clean->size(), 95u);
  EXPECT_EQ(clean->substr(93), "\xc3\xa9");
  EXPECT_EQ(CleanDeviceText(std::string(500, 'M'))->size(), kMaxDeviceText);
}

TEST_F(PortListing, UsbModemGivesOneLinePerInterfaceDescribedByTheDeviceManager) {
  const std::vector<std::string> database = {"ID_VENDOR_FROM_DATABASE=Acme", "ID_MODEL_FROM_DATABASE=CDMA Modem"};
  FBed.AddUsbSerial("1-2", "Mobile Broadband Modem",
                    {{"ttyUSB0", "Diagnostics", database},
                     {"ttyUSB1", "", database},
                     {"ttyUSB2"}});
  EXPECT_EQ(List(false, true), (TLines{"COM3    Acme CDMA Modem, Diagnostics (/dev/ttyUSB0)",
                                       "COM4    Acme CDMA Modem (/dev/ttyUSB1)",
                                       "COM5    Mobile Broadband Modem (/dev/ttyUSB2)"}));
  EXPECT_EQ(List(false, false), (TLines{"COM3", "COM4", "COM5"}));
}

TEST_F(PortListing, OnlyTtysOnABusAreListedAndUartPlaceholdersAreSkipped) {
  for (int k = 0; k < 2; ++k) AddLegacyUart(k, 4);
  for (int k = 2; k < 4; ++k) AddLegacyUart(k, 0);
  // Virtual consoles and a tty without parent, node or with an odd node name are no ports.
  FBed.AddTty("/devices/virtual/tty/tty5", TPort{"tty5"});
  FBed.AddTty("/devices/virtual/tty/console", TPort{"console"});
  FBed.Add("P: /devices/platform/odd\nE: SUBSYSTEM=platform\n");
  FBed.AddTty("/devices/platform/odd/tty/ttyN0", TPort{"ttyN0", {}, {}, false});
  FBed.Add("P: /devices/platform/odd/tty/ttyX0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/../etc/passwd\n");
  FBed.Add("P: /devices/platform/odd/tty/ttyX1\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/bad name\n");
  EXPECT_EQ(List(false, true), std::nullopt) << "COM1 and COM2 alone";
  EXPECT_EQ(FTable.FindNumber("/dev/ttyS0"), 1);
  EXPECT_EQ(FTable.FindNumber("/dev/ttyS1"), 2);

  // A UART that is really there is a candidate under its fixed number.
  AddLegacyUart(6, 4);
  EXPECT_EQ(List(false, true), TLines{"COM7    serial8250 (/dev/ttyS6)"});
}

TEST_F(PortListing, NamesSortNaturallyAndNumbersSurviveUnplug) {
  for (int i = 0; i < 7; ++i) FTable.NumberFor("/dev/gone" + std::to_string(i));  // holds COM3..COM9
  const auto modem = FBed.AddUsbSerial("1-2", "M", {{"ttyUSB9"}, {"ttyUSB10"}, {"ttyUSB11"}});
  EXPECT_EQ(List(false, false), (TLines{"COM10", "COM11", "COM12"}));
  EXPECT_EQ(List(false, true)->back(), "COM12   M (/dev/ttyUSB11)");
  FBed.Remove(modem.Ttys[1]);
  FBed.AddUsbSerial("1-3", "N", {{"ttyACM0"}});
  EXPECT_EQ(List(false, false), (TLines{"COM10", "COM12", "COM13"}));
}

TEST_F(PortListing, OneDeviceReachedByThreePathsIsOnePort) {
  const auto modem = FBed.AddUsbSerial("1-2", "Mobile Broadband Modem", {{"ttyUSB0"}});
  const std::string slave = FBed.NodeTarget("/dev/ttyUSB0");
  // A by-id link and the pty's own name, both named on the command line before any listing.
  const auto dir = std::filesystem::temp_directory_path() / ("by-id-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string alias = (dir / "usb-Modem-if00").string();
  std::filesystem::create_symlink(slave, alias);
  const uint16_t number = FTable.RegisterExtraPort(alias, "Serial device (" + alias + ")");
  EXPECT_EQ(FTable.RegisterExtraPort(slave, "Serial device (" + slave + ")"), number);
  EXPECT_EQ(List(false, true), TLines{FormatPortLine("COM" + std::to_string(number), "Mobile Broadband Modem (/dev/ttyUSB0)")});
  // Gone from the bed and its node unlinked: the command-line names remain, still one port.
  FBed.Remove(modem.Usb);
  EXPECT_EQ(List(false, false), TLines{"COM" + std::to_string(number)});
  std::filesystem::remove_all(dir);
}

TEST_F(PortListing, TestOpenLeavesOutPortsHeldElsewhere) {
  FBed.AddUsbSerial("1-2", "Mobile Broadband Modem", {{"ttyUSB0"}, {"ttyUSB1"}});
  FTable.RegisterExtraPort("/nonexistent/ttyGone", "Command line port");
  auto holder = CreatePosixSerialDevice();
  ASSERT_EQ(holder->Open("/dev/ttyUSB0"), 0);
  // The extra port was registered first and holds COM3.
  EXPECT_EQ(List(false, false), (TLines{"COM4", "COM5", "COM3"}));
  EXPECT_EQ(List(true, false), TLines{"COM5"});
  holder->Close();
  EXPECT_EQ(List(true, false), (TLines{"COM4", "COM5"}));
}
