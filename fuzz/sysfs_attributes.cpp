// Fuzz target: what the kernel's sysfs files may hold, through port discovery. A small device
// tree (a USB modem port, a port known only by its driver, a legacy UART) is laid out once in a
// temporary directory; each input rewrites its attribute files and the driver link, then the tree
// is scanned and listed, and a tty name taken from the input is probed.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "serial/PortTable.h"
#include "serial/SetupAPI.h"

namespace fs = std::filesystem;

namespace {

// Shallower than a real tree: each path component costs the scan a system call.
const std::string kUsb = "devices/usb1/1-2";
const std::string kInterface = kUsb + "/1-2:1.0";
const std::string kUsbPort = kInterface + "/ttyUSB0";
const std::string kAcmPort = "devices/acm.0";
const std::string kUart = "devices/serial8250.0";

class TTree {
 public:
  TTree() {
    const char* shm = "/dev/shm";
    std::string base = access(shm, W_OK) == 0 ? shm : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string pattern = base + "/fuzz-sysfs-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    FRoot = pattern;
    fs::create_directories(Sys() / "class" / "tty");
    fs::create_directories(Sys() / "devices" / "virtual" / "tty");
    fs::create_directories(Sys() / "bus" / "drivers");
    AddTty("ttyUSB0", kUsbPort);
    AddTty("ttyACM0", kAcmPort);
    AddTty("ttyS0", kUart);
    fs::create_directories(Sys() / "devices" / "virtual" / "tty" / "tty1");
    fs::create_symlink("../../devices/virtual/tty/tty1", Sys() / "class" / "tty" / "tty1");
  }
  ~TTree() {
    std::error_code ec;
    fs::remove_all(FRoot, ec);
  }

  fs::path Sys() const { return FRoot / "sys"; }
  TDeviceTree Tree() const { return {Sys().string(), "/dev"}; }

  // An attribute file with exactly these bytes, or none.
  void SetAttribute(const std::string& aRelative, bool aPresent, std::string_view aBytes) const {
    const fs::path path = Sys() / aRelative;
    if (!aPresent) {
      ::unlink(path.c_str());
      return;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, aBytes.data(), aBytes.size()) == static_cast<ssize_t>(aBytes.size()));
    ::close(fd);
  }

  // The device's driver link, pointing wherever the text says (the scan only reads its name).
  void SetDriverLink(const std::string& aDevice, bool aPresent, const std::string& aTarget) const {
    const fs::path link = Sys() / aDevice / "driver";
    ::unlink(link.c_str());
    if (aPresent && !aTarget.empty()) FUZZ_CHECK(::symlink(aTarget.c_str(), link.c_str()) == 0);
  }

 private:
  void AddTty(const std::string& aName, const std::string& aDevice) const {
    const fs::path tty = Sys() / aDevice / "tty" / aName;
    fs::create_directories(tty);
    fs::create_symlink("../..", tty / "device");
    fs::create_symlink("../../" + aDevice + "/tty/" + aName, Sys() / "class" / "tty" / aName);
  }

  fs::path FRoot;
};

bool Printable(std::string_view aText) {
  return std::none_of(aText.begin(), aText.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// A path is found as a name from the tree's class directory, never elsewhere.
bool IsTreeTty(std::string_view aPath) {
  return aPath == "/dev/ttyUSB0" || aPath == "/dev/ttyACM0" || aPath == "/dev/ttyS0";
}

void CheckDevice(const TSerialDeviceInfo& aDevice) {
  FUZZ_CHECK(IsTreeTty(aDevice.Path));
  FUZZ_CHECK(Printable(aDevice.Description));
  const std::string tail = " (" + aDevice.Path + ")";
  FUZZ_CHECK(aDevice.Description.size() > tail.size() && aDevice.Description.ends_with(tail));
  // A description comes from one attribute (at most a page) or a driver's name.
  FUZZ_CHECK(aDevice.Description.size() - tail.size() <= 4096);
  FUZZ_CHECK(aDevice.Description.front() != ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  static const TTree tree;
  FuzzedDataProvider input(aData, aSize);
  const uint8_t present = input.ConsumeIntegral<uint8_t>();
  const std::string product = input.ConsumeRandomLengthString(5000);
  const std::string interface = input.ConsumeRandomLengthString(512);
  const std::string uartType = input.ConsumeRandomLengthString(16);
  const std::string usbDriver = input.ConsumeRandomLengthString(96);
  const std::string acmDriver = input.ConsumeRandomLengthString(96);
  const std::string probeName = input.ConsumeRemainingBytesAsString();

  tree.SetAttribute(kUsb + "/idVendor", present & 1, "1234\n");
  tree.SetAttribute(kUsb + "/product", present & 2, product);
  tree.SetAttribute(kInterface + "/bInterfaceNumber", present & 4, "00\n");
  tree.SetAttribute(kInterface + "/interface", present & 8, interface);
  tree.SetAttribute(kUart + "/tty/ttyS0/type", present & 16, uartType);
  tree.SetDriverLink(kUsbPort, present & 32, usbDriver.substr(0, usbDriver.find('\0')));
  tree.SetDriverLink(kAcmPort, present & 64, acmDriver.substr(0, acmDriver.find('\0')));

  const std::vector<TSerialDeviceInfo> devices = ScanSerialDevices(tree.Tree());
  FUZZ_CHECK(devices.size() >= 2 && devices.size() <= 3);
  for (const TSerialDeviceInfo& device : devices) CheckDevice(device);

  // The listing scans again; one input in two is enough for its line formatting.
  if (present & 128) {
    TPortTable table;
    const TComPortList lines = EnumerateComPorts(false, true, tree.Tree(), table);
    FUZZ_CHECK(lines && lines->size() == devices.size() - (table.FindNumber("/dev/ttyS0") ? 1 : 0));
    for (const std::string& line : *lines) FUZZ_CHECK(line.starts_with("COM") && Printable(line));
  }

  if (const auto probed = ProbeSerialDevice(tree.Tree(), probeName)) {
    FUZZ_CHECK(IsPlainDeviceName(probeName));
    CheckDevice(*probed);
    FUZZ_CHECK(probed->Path == "/dev/" + probeName);
  }
  return 0;
}
