// CRC-16/X.25 table, built at compile time.
#include "common/Crc16.h"

namespace crc16x25 {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : static_cast<uint16_t>(crc >> 1);
    table[i] = crc;
  }
  return table;
}

}  // namespace

const std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace crc16x25
