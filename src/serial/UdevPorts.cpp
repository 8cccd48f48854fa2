// Listing serial ports through libudev, and describing them from the device manager's properties.
#include "serial/UdevPorts.h"

#include <libudev.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "serial/PortDescription.h"
#include "serial/SetupAPI.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<std::string> Text(const char* aValue) {
  if (!aValue) return std::nullopt;
  return std::string(aValue);
}

bool IsLegacyUartName(std::string_view aName) {
  constexpr std::string_view kPrefix = "ttyS";
  if (aName.size() <= kPrefix.size() || aName.substr(0, kPrefix.size()) != kPrefix) return false;
  return std::all_of(aName.begin() + kPrefix.size(), aName.end(), IsDigit);
}

std::pair<std::string_view, std::string_view> SplitTrailingNumber(std::string_view aName) {
  size_t i = aName.size();
  while (i > 0 && IsDigit(aName[i - 1])) --i;
  return {aName.substr(0, i), aName.substr(i)};
}

bool NaturalLess(std::string_view a, std::string_view b) {
  auto [stemA, digitsA] = SplitTrailingNumber(a);
  auto [stemB, digitsB] = SplitTrailingNumber(b);
  if (stemA != stemB) return stemA < stemB;
  const auto significant = [](std::string_view d) { return d.substr(std::min(d.find_first_not_of('0'), d.size())); };
  const std::string_view numA = significant(digitsA);
  const std::string_view numB = significant(digitsB);
  if (numA.size() != numB.size()) return numA.size() < numB.size();
  if (numA != numB) return numA < numB;
  return a < b;
}

// The device manager puts the hardware database's names on the tty itself; the USB interface's
// and device's own names sit on the parents.
TPortFacts FactsOf(udev_device* aTty, udev_device* aParent) {
  TPortFacts facts;
  facts.DatabaseVendor = Text(udev_device_get_property_value(aTty, "ID_VENDOR_FROM_DATABASE"));
  facts.DatabaseModel = Text(udev_device_get_property_value(aTty, "ID_MODEL_FROM_DATABASE"));
  if (udev_device* interface = udev_device_get_parent_with_subsystem_devtype(aTty, "usb", "usb_interface"))
    facts.InterfaceName = Text(udev_device_get_sysattr_value(interface, "interface"));
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(aTty, "usb", "usb_device"))
    facts.Product = Text(udev_device_get_sysattr_value(usb, "product"));
  facts.Driver = Text(udev_device_get_driver(aParent));
  if (facts.Driver && !IsPlainDeviceName(*facts.Driver)) facts.Driver.reset();
  return facts;
}

}  // namespace

void TUdevDeleter::operator()(udev* aUdev) const { udev_unref(aUdev); }
void TUdevDeleter::operator()(udev_device* aDevice) const { udev_device_unref(aDevice); }

std::mutex& LibudevLock() {
  static std::mutex lock;
  return lock;
}

TUdevPtr NewUdev() { return TUdevPtr(udev_new()); }

std::optional<TSerialDeviceInfo> SerialPortOf(udev_device* aDevice) {
  if (!aDevice) return std::nullopt;
  const char* subsystem = udev_device_get_subsystem(aDevice);
  const char* node = udev_device_get_devnode(aDevice);
  const char* name = udev_device_get_sysname(aDevice);
  if (!subsystem || std::string_view(subsystem) != "tty" || !node || !name) return std::nullopt;
  const std::string_view path(node);
  constexpr std::string_view kDev = "/dev/";
  if (path.substr(0, kDev.size()) != kDev || !IsPlainDeviceName(path.substr(kDev.size()))) return std::nullopt;
  // Virtual consoles and pseudo-terminals hang from no bus device.
  udev_device* parent = udev_device_get_parent(aDevice);
  if (!parent || !udev_device_get_subsystem(parent)) return std::nullopt;
  if (IsLegacyUartName(name))
    if (const char* type = udev_device_get_sysattr_value(aDevice, "type"); type && std::string_view(type) == "0")
      return std::nullopt;
  TSerialDeviceInfo info;
  info.Path = std::string(path);
  info.Description = DescribeSerialPort(FactsOf(aDevice, parent), info.Path);
  if (const dev_t number = udev_device_get_devnum(aDevice); number != 0) info.DeviceNumber = number;
  return info;
}

std::vector<TSerialDeviceInfo> ScanSerialDevices() {
  std::vector<TSerialDeviceInfo> devices;
  std::unique_lock lock(LibudevLock());
  TUdevPtr context = NewUdev();
  if (!context) return devices;
  udev_enumerate* enumerate = udev_enumerate_new(context.get());
  if (!enumerate) return devices;
  if (udev_enumerate_add_match_subsystem(enumerate, "tty") >= 0 && udev_enumerate_scan_devices(enumerate) >= 0) {
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
      // A device may go between the listing and this look; it is then left out.
      TUdevDevicePtr device(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
      if (auto info = SerialPortOf(device.get())) devices.push_back(std::move(*info));
    }
  }
  udev_enumerate_unref(enumerate);
  context.reset();
  lock.unlock();
  std::sort(devices.begin(), devices.end(), [](const TSerialDeviceInfo& a, const TSerialDeviceInfo& b) {
    return NaturalLess(a.Path, b.Path);
  });
  return devices;
}
