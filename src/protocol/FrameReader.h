// The one way to read a field of a received frame: bytes beyond the frame's end read as zero.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/ByteString.h"

static_assert(std::endian::native == std::endian::little, "frame fields are read with memcpy");

class TFrameReader {
 public:
  explicit TFrameReader(TByteView aFrame) : FFrame(aFrame) {}

  size_t Size() const { return FFrame.size(); }
  TByteView View() const { return FFrame; }
  bool Has(size_t aOffset, size_t aWidth = 1) const {
    return aOffset < FFrame.size() && aWidth <= FFrame.size() - aOffset;
  }

  uint8_t U8(size_t aOffset) const { return aOffset < FFrame.size() ? static_cast<uint8_t>(FFrame[aOffset]) : 0; }
  int8_t I8(size_t aOffset) const { return static_cast<int8_t>(U8(aOffset)); }
  uint16_t U16(size_t aOffset) const { return static_cast<uint16_t>(LittleEndian(aOffset, 2)); }
  int16_t I16(size_t aOffset) const { return static_cast<int16_t>(U16(aOffset)); }
  uint32_t U32(size_t aOffset) const { return static_cast<uint32_t>(LittleEndian(aOffset, 4)); }
  int32_t I32(size_t aOffset) const { return static_cast<int32_t>(U32(aOffset)); }
  uint64_t U64(size_t aOffset) const { return LittleEndian(aOffset, 8); }
  uint16_t U16BE(size_t aOffset) const { return static_cast<uint16_t>(U8(aOffset) << 8 | U8(aOffset + 1)); }
  uint32_t U32BE(size_t aOffset) const {
    return static_cast<uint32_t>(U8(aOffset)) << 24 | static_cast<uint32_t>(U8(aOffset + 1)) << 16 |
           static_cast<uint32_t>(U8(aOffset + 2)) << 8 | U8(aOffset + 3);
  }

  // The bytes from aOffset on, at most aCount of them; empty past the end.
  TByteView Bytes(size_t aOffset, size_t aCount = TByteView::npos) const {
    if (aOffset >= FFrame.size()) return {};
    return FFrame.substr(aOffset, aCount);
  }

 private:
  uint64_t LittleEndian(size_t aOffset, size_t aWidth) const {
    uint64_t value = 0;
    if (Has(aOffset, aWidth)) {
      std::memcpy(&value, FFrame.data() + aOffset, aWidth);
      return value;
    }
    for (size_t i = aWidth; i-- > 0;) value = value << 8 | U8(aOffset + i);
    return value;
  }

  TByteView FFrame;
};
