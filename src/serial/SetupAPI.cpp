// COM port listing: names, lines, and one port per device.
#include "serial/SetupAPI.h"

#include <algorithm>
#include <set>
#include <utility>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool CanOpenExclusively(const std::string& aPath, const TSerialDeviceFactory& aOpenDevice) {
  try {
    std::unique_ptr<TSerialDevice> device = aOpenDevice ? aOpenDevice() : nullptr;
    if (!device || device->Open(aPath) != 0) return false;
    device->Close();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

bool IsPlainDeviceName(std::string_view aName) {
  if (aName.empty() || aName.size() > 64) return false;
  const auto alnum = [](char c) { return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!alnum(aName.front())) return false;
  return std::all_of(aName.begin(), aName.end(), [&](char c) {
    return alnum(c) || c == '_' || c == '-' || c == '.' || c == ':' || c == '+';
  });
}

bool IsCandidatePortName(std::string_view aName) {
  return aName.substr(0, 3) == "COM" && aName != "COM1" && aName != "COM2";
}

std::string FormatPortLine(std::string_view aName, std::string_view aDescription) {
  std::string line(aName);
  if (line.size() < 7) line.append(7 - line.size(), ' ');
  line += ' ';
  line += aDescription;
  return line;
}

TComPortList EnumerateComPorts(bool TestOpen, bool WithDescription, TPortTable& aTable,
                               const TSerialDeviceFactory& aOpenDevice, const TSerialDeviceScan& aScan) {
  try {
    struct TPort {
      uint16_t Number;
      std::string Path;
      std::string Description;
    };
    std::vector<TPort> ports;
    // Numbers are handed out in name order, so a first run numbers a modem's ports in sequence.
    for (TSerialDeviceInfo& device : aScan ? aScan() : std::vector<TSerialDeviceInfo>{})
      ports.push_back({aTable.NumberFor(device.Path, device.DeviceNumber), std::move(device.Path),
                       std::move(device.Description)});
    std::stable_sort(ports.begin(), ports.end(), [](const TPort& a, const TPort& b) { return a.Number < b.Number; });
    for (TPortTable::TExtraPort& extra : aTable.ExtraPorts())
      ports.push_back({extra.Number, std::move(extra.Path), std::move(extra.Description)});

    // The table gives one device one number, whatever path it was reached by.
    std::set<uint16_t> seen;
    std::vector<std::string> lines;
    for (const TPort& port : ports) {
      if (!seen.insert(port.Number).second) continue;
      const std::string name = "COM" + std::to_string(port.Number);
      if (!IsCandidatePortName(name)) continue;
      if (TestOpen && !CanOpenExclusively(port.Path, aOpenDevice)) continue;
      lines.push_back(WithDescription ? FormatPortLine(name, port.Description) : name);
    }
    if (lines.empty()) return std::nullopt;
    return lines;
  } catch (...) {
    return std::nullopt;
  }
}
