// Hex rendering of byte strings.
#include "common/ByteString.h"

std::string HexDump(TByteView aBytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(aBytes.size() * 3);
  for (size_t i = 0; i < aBytes.size(); ++i) {
    if (i) out.push_back(' ');
    const uint8_t b = ByteAt(aBytes, i);
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}
