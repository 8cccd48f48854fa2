// A throw-away sysfs and /dev laid out as the kernel lays out serial devices.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "serial/SetupAPI.h"

class TFakeSysfs {
 public:
  TFakeSysfs() {
    char name[] = "/tmp/fake-sysfs-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp");
    FRoot = name;
    std::filesystem::create_directories(Sys() / "class" / "tty");
    std::filesystem::create_directories(Sys() / "devices" / "virtual" / "tty");
    std::filesystem::create_directories(Dev());
  }
  ~TFakeSysfs() {
    std::error_code ec;
    std::filesystem::remove_all(FRoot, ec);
  }
  TFakeSysfs(const TFakeSysfs&) = delete;
  TFakeSysfs& operator=(const TFakeSysfs&) = delete;

  std::filesystem::path Sys() const { return FRoot / "sys"; }
  std::filesystem::path Dev() const { return FRoot / "dev"; }
  // Device nodes keep their real names (the port table numbers /dev/ttyS<k> by k); only a test
  // that opens them needs the fake /dev.
  TDeviceTree Tree() const { return {Sys().string(), "/dev"}; }
  TDeviceTree TreeWithFakeDev() const { return {Sys().string(), Dev().string()}; }
  std::string DevPath(const std::string& aName) const { return "/dev/" + aName; }
  std::string FakeDevPath(const std::string& aName) const { return (Dev() / aName).string(); }

  // A file under sys/, parents created.
  void Write(const std::filesystem::path& aRelative, const std::string& aText) const {
    std::filesystem::create_directories((Sys() / aRelative).parent_path());
    std::ofstream(Sys() / aRelative) << aText;
  }

  // tty aName of the device at sys/devices/aDevice, with the class link and the device link.
  void AddTty(const std::string& aName, const std::string& aDevice, const std::string& aDriver = {}) const {
    const auto device = Sys() / "devices" / aDevice;
    const auto tty = device / "tty" / aName;
    std::filesystem::create_directories(tty);
    std::filesystem::create_symlink("../..", tty / "device");
    std::filesystem::create_symlink("../../devices/" + aDevice + "/tty/" + aName, Sys() / "class" / "tty" / aName);
    if (!aDriver.empty()) {
      std::filesystem::create_directories(Sys() / "bus" / "drivers" / aDriver);
      std::filesystem::create_symlink(Sys() / "bus" / "drivers" / aDriver, device / "driver");
    }
  }

  // A USB device with aPorts serial interfaces, ttyUSB<aFirstTty> and up.
  void AddUsbModem(const std::string& aUsbDevice, const std::string& aProduct, int aPorts, int aFirstTty) const {
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/" + aUsbDevice;
    Write("devices/" + usb + "/idVendor", "1234\n");
    if (!aProduct.empty()) Write("devices/" + usb + "/product", aProduct + "\n");
    for (int i = 0; i < aPorts; ++i) {
      const std::string interface = usb + "/" + aUsbDevice + ":1." + std::to_string(i);
      Write("devices/" + interface + "/bInterfaceNumber", std::string("0").append(std::to_string(i)).append("\n"));
      const std::string name = "ttyUSB" + std::to_string(aFirstTty + i);
      AddTty(name, interface + "/" + name, "option1");
    }
  }

  // A UART of the 8250 driver; type 0 is a placeholder with no hardware behind it.
  void AddLegacyUart(int aIndex, int aType) const {
    const std::string name = "ttyS" + std::to_string(aIndex);
    AddTty(name, "platform/serial8250." + std::to_string(aIndex), "serial8250");
    Write("devices/platform/serial8250." + std::to_string(aIndex) + "/tty/" + name + "/type", std::to_string(aType) + "\n");
  }

  void AddVirtualTty(const std::string& aName) const {
    std::filesystem::create_directories(Sys() / "devices" / "virtual" / "tty" / aName);
    std::filesystem::create_symlink("../../devices/virtual/tty/" + aName, Sys() / "class" / "tty" / aName);
  }

  // What unplugging leaves: no class entry, no tty directory.
  void RemoveTty(const std::string& aName) const {
    const auto link = Sys() / "class" / "tty" / aName;
    const auto tty = std::filesystem::canonical(link);
    std::filesystem::remove(link);
    std::filesystem::remove_all(tty);
  }

 private:
  std::filesystem::path FRoot;
};
