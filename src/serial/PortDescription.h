// What a person recognises a serial port by, made from what the device manager and sysfs say
// about it. Every text here comes from a device or a database and is trusted for nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct TPortFacts {
  std::optional<std::string> DatabaseVendor;  // ID_VENDOR_FROM_DATABASE
  std::optional<std::string> DatabaseModel;   // ID_MODEL_FROM_DATABASE
  std::optional<std::string> InterfaceName;   // the USB interface's own name
  std::optional<std::string> Product;         // the USB device's product attribute
  std::optional<std::string> Driver;          // the driver bound to the port's device
};

// One line of text: control characters blanked, outer blanks trimmed, at most kMaxDeviceText
// bytes (never cutting a UTF-8 sequence); none when nothing is left.
inline constexpr size_t kMaxDeviceText = 96;
std::optional<std::string> CleanDeviceText(std::string_view aText);

// "Vendor Model, Interface (/dev/ttyUSB1)": the database's model (with its vendor unless the
// model already names it), else the product; the USB interface's name after it; else the driver;
// else "Serial port". The device path always ends it.
std::string DescribeSerialPort(const TPortFacts& aFacts, std::string_view aDevicePath);
