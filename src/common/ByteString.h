// Byte strings: 8-bit strings in which every byte value, 0x00 included, may occur.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

using TByteString = std::string;
using TByteView = std::string_view;

// Builds a byte string from literal byte values; tests and the simulator write frames this way.
inline TByteString Bytes(std::initializer_list<uint8_t> aBytes) {
  TByteString s;
  s.reserve(aBytes.size());
  for (uint8_t b : aBytes) s.push_back(static_cast<char>(b));
  return s;
}

inline uint8_t ByteAt(TByteView aBytes, size_t aIndex) {
  return static_cast<uint8_t>(aBytes[aIndex]);
}

// "0C 14 3A 7E": for diagnostics and test failure messages.
std::string HexDump(TByteView aBytes);
