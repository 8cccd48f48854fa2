// Listing the COM ports a modem may sit on: serial devices found in sysfs plus the extra ports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/PortTable.h"
#include "serial/SerialDevice.h"

// Where the device tree lives; tests point both at a fake tree.
struct TDeviceTree {
  std::string Sysfs = "/sys";
  std::string Dev = "/dev";
};

struct TSerialDeviceInfo {
  std::string Path;         // the device node, e.g. /dev/ttyUSB1
  std::string Description;  // e.g. "Mobile Broadband Modem (/dev/ttyUSB1)"
};

// A tty name as the kernel gives it, safe to put in a path and in a line of text.
bool IsPlainDeviceName(std::string_view aName);

// Whether a port of this name may be a modem: it begins with "COM" (case-sensitive) and is not
// one of the built-in UARTs "COM1" and "COM2".
bool IsCandidatePortName(std::string_view aName);

// "%:-7s %s": the name padded with spaces to 7 characters, one space, the description.
std::string FormatPortLine(std::string_view aName, std::string_view aDescription);

// The serial device behind tty aName, when it is one: a tty with a device link, not a virtual
// console, not a legacy UART placeholder without hardware.
std::optional<TSerialDeviceInfo> ProbeSerialDevice(const TDeviceTree& aTree, std::string_view aName);

// Every serial device of the tree, in natural name order (ttyUSB2 before ttyUSB10).
std::vector<TSerialDeviceInfo> ScanSerialDevices(const TDeviceTree& aTree = {});

using TComPortList = std::optional<std::vector<std::string>>;

// The COM ports present now: the serial devices of the tree by COM number, then the extra ports
// of aTable in the order they were registered. Ports that are not modem candidates are left out;
// with TestOpen, so is every port that cannot be opened exclusively at this moment.
// Each line is the port name, or with WithDescription the name, padding and description.
// None (not an empty list) when no port is left. Never throws.
TComPortList EnumerateComPorts(bool TestOpen, bool WithDescription, const TDeviceTree& aTree = {},
                               TPortTable& aTable = TPortTable::Instance(),
                               const TSerialDeviceFactory& aOpenDevice = CreatePosixSerialDevice);
