// COM port discovery over sysfs: which ttys are real serial devices, what to call them, and the list lines.
#include "serial/SetupAPI.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

// sysfs attributes are at most a page; anything longer is not an attribute.
constexpr size_t kMaxAttribute = 4096;
// From the tty's device up to the USB device: port, interface, device.
constexpr int kDescriptionLevels = 3;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The text of one attribute file with control characters blanked and outer blanks trimmed;
// none when it is missing, not a plain file, unreadable or blank. Opened non-blocking so that a
// fifo planted in a tree cannot stall the scan.
std::optional<std::string> ReadAttribute(const fs::path& aPath) {
  const int fd = ::open(aPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  while (ok && text.size() < kMaxAttribute) {
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, kMaxAttribute - text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::nullopt;
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool Exists(const fs::path& aPath) {
  std::error_code ec;
  return fs::exists(aPath, ec);
}

// Both paths canonical.
bool IsUnder(const fs::path& aPath, const fs::path& aDirectory) {
  auto [dirEnd, pathIt] = std::mismatch(aDirectory.begin(), aDirectory.end(), aPath.begin(), aPath.end());
  return dirEnd == aDirectory.end() && pathIt != aPath.end();
}

bool IsLegacyUartName(std::string_view aName) {
  constexpr std::string_view kPrefix = "ttyS";
  if (aName.size() <= kPrefix.size() || aName.substr(0, kPrefix.size()) != kPrefix) return false;
  return std::all_of(aName.begin() + kPrefix.size(), aName.end(), IsDigit);
}

// What a person recognises the device by: the USB product, else the USB interface's name, else
// the driver bound to the device.
std::string DescribeDevice(const fs::path& aDevice, const fs::path& aDevicesRoot) {
  std::optional<std::string> product;
  std::optional<std::string> interfaceName;
  fs::path dir = aDevice;
  // The walk stops at the first USB device: above it sit hubs and host controllers, whose
  // product names say nothing about the port.
  for (int level = 0; level < kDescriptionLevels && IsUnder(dir, aDevicesRoot); ++level, dir = dir.parent_path()) {
    if (Exists(dir / "idVendor")) {
      product = ReadAttribute(dir / "product");
      break;
    }
    if (!interfaceName && Exists(dir / "bInterfaceNumber")) interfaceName = ReadAttribute(dir / "interface");
  }
  if (product) return *product;
  if (interfaceName) return *interfaceName;
  std::error_code ec;
  const std::string driver = fs::read_symlink(aDevice / "driver", ec).filename().string();
  if (!ec && IsPlainDeviceName(driver)) return driver;
  return "Serial port";
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

std::optional<TSerialDeviceInfo> ProbeSerialDevice(const TDeviceTree& aTree, std::string_view aName) {
  if (!IsPlainDeviceName(aName)) return std::nullopt;
  std::error_code ec;
  const fs::path root = fs::canonical(aTree.Sysfs, ec);
  if (ec) return std::nullopt;
  const fs::path entry = root / "class" / "tty" / aName;
  const fs::path ttyDir = fs::canonical(entry, ec);
  if (ec || IsUnder(ttyDir, root / "devices" / "virtual")) return std::nullopt;
  const fs::path device = fs::canonical(entry / "device", ec);
  if (ec) return std::nullopt;
  // The 8250 driver registers placeholders for UARTs that may not exist; type 0 says none is there.
  if (IsLegacyUartName(aName))
    if (auto type = ReadAttribute(entry / "type"); type && *type == "0") return std::nullopt;
  TSerialDeviceInfo info;
  info.Path = aTree.Dev + "/" + std::string(aName);
  info.Description = DescribeDevice(device, root / "devices") + " (" + info.Path + ")";
  return info;
}

std::vector<TSerialDeviceInfo> ScanSerialDevices(const TDeviceTree& aTree) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(fs::path(aTree.Sysfs) / "class" / "tty", ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  std::sort(names.begin(), names.end(), NaturalLess);
  std::vector<TSerialDeviceInfo> devices;
  for (const std::string& name : names)
    if (auto info = ProbeSerialDevice(aTree, name)) devices.push_back(std::move(*info));
  return devices;
}

TComPortList EnumerateComPorts(bool TestOpen, bool WithDescription, const TDeviceTree& aTree, TPortTable& aTable,
                               const TSerialDeviceFactory& aOpenDevice) {
  try {
    struct TPort {
      uint16_t Number;
      std::string Path;
      std::string Description;
    };
    std::vector<TPort> ports;
    // Numbers are handed out in name order, so a first run numbers a modem's ports in sequence.
    for (TSerialDeviceInfo& device : ScanSerialDevices(aTree))
      ports.push_back({aTable.NumberFor(device.Path), std::move(device.Path), std::move(device.Description)});
    std::stable_sort(ports.begin(), ports.end(), [](const TPort& a, const TPort& b) { return a.Number < b.Number; });
    for (TPortTable::TExtraPort& extra : aTable.ExtraPorts())
      ports.push_back({extra.Number, std::move(extra.Path), std::move(extra.Description)});

    std::set<std::string> seen;
    std::vector<std::string> lines;
    for (const TPort& port : ports) {
      // A device named on the command line may also be found in sysfs; it is one port.
      if (!seen.insert(port.Path).second) continue;
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
