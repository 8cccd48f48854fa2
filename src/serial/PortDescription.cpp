// Port descriptions from untrusted device texts.
#include "serial/PortDescription.h"

#include <algorithm>

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::optional<std::string> Clean(const std::optional<std::string>& aText) {
  return aText ? CleanDeviceText(*aText) : std::nullopt;
}

}  // namespace

std::optional<std::string> CleanDeviceText(std::string_view aText) {
  std::string text;
  text.reserve(std::min(aText.size(), kMaxDeviceText + 4));
  for (char c : aText) {
    const auto byte = static_cast<unsigned char>(c);
    const bool blank = byte < 0x20 || byte == 0x7F;
    // Runs of blanks become one, so that padding in a database entry cannot push the path away.
    if (blank || c == ' ') {
      if (!text.empty() && text.back() != ' ') text += ' ';
    } else {
      text += c;
    }
    if (text.size() > kMaxDeviceText) break;
  }
  if (text.size() > kMaxDeviceText) {
    size_t cut = kMaxDeviceText;
    while (cut > 0 && IsContinuationByte(text[cut])) --cut;
    text.resize(cut);
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

std::string DescribeSerialPort(const TPortFacts& aFacts, std::string_view aDevicePath) {
  std::optional<std::string> name = Clean(aFacts.DatabaseModel);
  if (name) {
    if (const auto vendor = Clean(aFacts.DatabaseVendor); vendor && name->rfind(*vendor, 0) != 0)
      name = *vendor + " " + *name;
  } else {
    name = Clean(aFacts.Product);
  }
  if (const auto interfaceName = Clean(aFacts.InterfaceName); interfaceName && interfaceName != name)
    name = name ? *name + ", " + *interfaceName : *interfaceName;
  if (!name) name = Clean(aFacts.Driver);
  return name.value_or("Serial port") + " (" + std::string(aDevicePath) + ")";
}
