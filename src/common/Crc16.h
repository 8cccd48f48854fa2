// CRC-16/X.25, the frame check sequence of the modem's diagnostic frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc16x25 {

// Table of the reflected polynomial 0x8408.
extern const std::array<uint16_t, 256> kTable;

constexpr uint16_t kInit = 0xFFFF;
// What the running register holds after the data and its own FCS (low byte first) went through.
constexpr uint16_t kGoodResidue = 0xF0B8;

inline uint16_t Update(uint16_t aCrc, const void* aData, size_t aSize) {
  const auto* p = static_cast<const uint8_t*>(aData);
  for (size_t i = 0; i < aSize; ++i) aCrc = kTable[(aCrc ^ p[i]) & 0xFF] ^ (aCrc >> 8);
  return aCrc;
}

inline uint16_t Finish(uint16_t aCrc) { return static_cast<uint16_t>(aCrc ^ 0xFFFF); }

inline uint16_t Compute(const void* aData, size_t aSize) {
  return Finish(Update(kInit, aData, aSize));
}

}  // namespace crc16x25
