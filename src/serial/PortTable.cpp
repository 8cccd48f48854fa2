// The COM number table.
#include "serial/PortTable.h"

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

TPortTable& TPortTable::Instance() {
  static TPortTable table;
  return table;
}

uint16_t TPortTable::AssignLocked(const std::string& aDevicePath) {
  if (auto it = FNumberByPath.find(aDevicePath); it != FNumberByPath.end()) return it->second;
  uint16_t number = 0;
  if (auto k = LegacyUartIndex(aDevicePath); k && *k + 1 <= 0xFFFF && !FPathByNumber.count(static_cast<uint16_t>(*k + 1)))
    number = static_cast<uint16_t>(*k + 1);
  else {
    number = 3;
    while (FPathByNumber.count(number)) ++number;
  }
  FPathByNumber[number] = aDevicePath;
  FNumberByPath[aDevicePath] = number;
  return number;
}

uint16_t TPortTable::NumberFor(const std::string& aDevicePath) {
  std::lock_guard lock(FLock);
  return AssignLocked(aDevicePath);
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
  std::lock_guard lock(FLock);
  const uint16_t number = AssignLocked(aDevicePath);
  auto it = std::find_if(FExtras.begin(), FExtras.end(), [&](const TExtraPort& p) { return p.Path == aDevicePath; });
  if (it == FExtras.end())
    FExtras.push_back({number, aDevicePath, aDescription});
  else
    it->Description = aDescription;
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
