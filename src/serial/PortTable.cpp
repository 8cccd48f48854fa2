// The COM number table.
#include "serial/PortTable.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <string_view>

namespace {

// k of "/dev/ttyS<k>", when the path names a legacy UART.
std::optional<unsigned> LegacyUartIndex(std::string_view aPath) {
  constexpr std::string_view kPrefix = "/dev/ttyS";
  if (aPath.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view digits = aPath.substr(kPrefix.size());
  if (digits.empty() || digits.size() > 4) return std::nullopt;
  unsigned k = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), k);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return k;
}

}  // namespace

std::optional<dev_t> CharDeviceNumberOf(const std::string& aPath) {
  struct stat st {};
  if (::stat(aPath.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev == 0) return std::nullopt;
  return st.st_rdev;
}

TPortTable& TPortTable::Instance() {
  static TPortTable table;
  return table;
}

void TPortTable::BindDeviceLocked(uint16_t aNumber, dev_t aDeviceNumber) {
  if (auto it = FDeviceByNumber.find(aNumber); it != FDeviceByNumber.end()) FNumberByDevice.erase(it->second);
  FDeviceByNumber[aNumber] = aDeviceNumber;
  FNumberByDevice[aDeviceNumber] = aNumber;
}

uint16_t TPortTable::AssignLocked(const std::string& aDevicePath, std::optional<dev_t> aDeviceNumber) {
  // The device first: a second name for a device already numbered gets its number.
  if (aDeviceNumber)
    if (auto it = FNumberByDevice.find(*aDeviceNumber); it != FNumberByDevice.end()) {
      FNumberByPath[aDevicePath] = it->second;
      FPathByNumber[it->second] = aDevicePath;
      return it->second;
    }
  if (auto it = FNumberByPath.find(aDevicePath); it != FNumberByPath.end()) {
    if (aDeviceNumber) BindDeviceLocked(it->second, *aDeviceNumber);
    FPathByNumber[it->second] = aDevicePath;
    return it->second;
  }
  uint16_t number = 0;
  if (auto k = LegacyUartIndex(aDevicePath); k && *k + 1 <= 0xFFFF && !FPathByNumber.count(static_cast<uint16_t>(*k + 1)))
    number = static_cast<uint16_t>(*k + 1);
  else {
    number = 3;
    while (FPathByNumber.count(number)) ++number;
  }
  FPathByNumber[number] = aDevicePath;
  FNumberByPath[aDevicePath] = number;
  if (aDeviceNumber) BindDeviceLocked(number, *aDeviceNumber);
  return number;
}

uint16_t TPortTable::NumberFor(const std::string& aDevicePath, std::optional<dev_t> aDeviceNumber) {
  std::lock_guard lock(FLock);
  return AssignLocked(aDevicePath, aDeviceNumber);
}

std::optional<uint16_t> TPortTable::FindNumber(const std::string& aDevicePath) const {
  std::lock_guard lock(FLock);
  if (auto it = FNumberByPath.find(aDevicePath); it != FNumberByPath.end()) return it->second;
  return std::nullopt;
}

std::optional<std::string> TPortTable::PathOf(uint16_t aNumber) const {
  std::lock_guard lock(FLock);
  if (auto it = FPathByNumber.find(aNumber); it != FPathByNumber.end()) return it->second;
  return std::nullopt;
}

uint16_t TPortTable::RegisterExtraPort(const std::string& aDevicePath, const std::string& aDescription) {
  const std::optional<dev_t> device = CharDeviceNumberOf(aDevicePath);
  std::lock_guard lock(FLock);
  const uint16_t number = AssignLocked(aDevicePath, device);
  auto it = std::find_if(FExtras.begin(), FExtras.end(), [&](const TExtraPort& p) { return p.Path == aDevicePath; });
  if (it == FExtras.end())
    FExtras.push_back({number, aDevicePath, aDescription});
  else {
    it->Number = number;
    it->Description = aDescription;
  }
  return number;
}

void TPortTable::UnregisterExtraPort(const std::string& aDevicePath) {
  std::lock_guard lock(FLock);
  std::erase_if(FExtras, [&](const TExtraPort& p) { return p.Path == aDevicePath; });
}

std::vector<TPortTable::TExtraPort> TPortTable::ExtraPorts() const {
  std::lock_guard lock(FLock);
  return FExtras;
}
