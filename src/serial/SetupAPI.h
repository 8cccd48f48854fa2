// Listing the COM ports a modem may sit on: the serial devices the device manager knows plus the
// extra ports.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/PortTable.h"
#include "serial/SerialDevice.h"
#include "serial/UdevPorts.h"

// A tty name as the kernel gives it, safe to put in a path and in a line of text.
bool IsPlainDeviceName(std::string_view aName);

// Whether a port of this name may be a modem: it begins with "COM" (case-sensitive) and is not
// one of the built-in UARTs "COM1" and "COM2".
bool IsCandidatePortName(std::string_view aName);

// "%:-7s %s": the name padded with spaces to 7 characters, one space, the description.
std::string FormatPortLine(std::string_view aName, std::string_view aDescription);

using TComPortList = std::optional<std::vector<std::string>>;
// The serial devices present now; ScanSerialDevices unless a test or a program wants others.
using TSerialDeviceScan = std::function<std::vector<TSerialDeviceInfo>()>;

// The COM ports present now: the scanned serial devices by COM number, then the extra ports of
// aTable in the order they were registered. One device reached by several paths is one port.
// Ports that are not modem candidates are left out; with TestOpen, so is every port that cannot
// be opened exclusively at this moment. Each line is the port name, or with WithDescription the
// name, padding and description. None (not an empty list) when no port is left. Never throws.
TComPortList EnumerateComPorts(bool TestOpen, bool WithDescription, TPortTable& aTable = TPortTable::Instance(),
                               const TSerialDeviceFactory& aOpenDevice = CreatePosixSerialDevice,
                               const TSerialDeviceScan& aScan = ScanSerialDevices);
