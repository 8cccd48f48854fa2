// Serial ports as the device manager's library sees them: the listing and what an event means.
#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct udev;
struct udev_device;

struct TSerialDeviceInfo {
  std::string Path;         // the device node, e.g. /dev/ttyUSB1
  std::string Description;  // e.g. "Mobile Broadband Modem (/dev/ttyUSB1)"
  std::optional<dev_t> DeviceNumber;
};

struct TUdevDeleter {
  void operator()(udev* aUdev) const;
  void operator()(udev_device* aDevice) const;
};
using TUdevPtr = std::unique_ptr<udev, TUdevDeleter>;
using TUdevDevicePtr = std::unique_ptr<udev_device, TUdevDeleter>;

// libudev keeps process-wide state (the random keys of its hash tables) that it writes without a
// lock; every call into it, on any thread and with any context, is made under this one.
std::mutex& LibudevLock();

// A library context; none when the library cannot make one.
TUdevPtr NewUdev();

// The serial port behind a tty device, when it is one: a device node in /dev with a plain name,
// a parent device on a bus (no virtual console, no pseudo-terminal), and not a placeholder the
// 8250 driver keeps for a UART that is not there. A device gone from sysfs has no parent and is
// none. The caller holds LibudevLock.
std::optional<TSerialDeviceInfo> SerialPortOf(udev_device* aDevice);

// Every serial port present, in natural name order (ttyUSB2 before ttyUSB10). Empty when the
// library fails. Takes LibudevLock.
std::vector<TSerialDeviceInfo> ScanSerialDevices();
