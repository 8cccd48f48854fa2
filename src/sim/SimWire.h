// The simulated modem's side of the diagnostic framing: escaping, CRC, de-framing of commands,
// and the little-endian layout writer every packet is built with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/ByteString.h"

namespace sim {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;

// Content bytes, their CRC-16/X.25 low byte first, both escaped, then the flag. A non-zero
// aCrcDamage is XORed into the CRC, which makes the frame fail every receiver's check.
TByteString EncodeFrame(TByteView aContent, uint16_t aCrcDamage = 0);

// Undoes the escaping of one frame's bytes (without the flag): 7D 5E -> 7E, 7D 5D -> 7D;
// any other byte, a 7D before another byte included, passes unchanged.
TByteString Unescape(TByteView aRaw);

// True when the unescaped bytes end in a CRC that matches the bytes before it.
bool HasGoodCrc(TByteView aUnescaped);

// Splits the byte stream the monitor writes into command frames. Bytes are kept between
// reads; a frame longer than the bound is dropped whole and the search resumes at the next flag.
class TCommandDeframer {
 public:
  static constexpr size_t kMaxFrame = 8192;

  struct TResult {
    std::vector<TByteString> Commands;  // content without CRC (possibly empty), only frames whose CRC held
    uint64_t BadCrc = 0;                // non-empty frames dropped for their CRC (or for having none)
    uint64_t Overlong = 0;              // frames dropped for exceeding the bound
  };

  void Feed(TByteView aBytes, TResult& aResult);

 private:
  TByteString FPending;
  bool FDiscarding = false;
};

// Writes fixed-layout packets. The content has its final size from the start; every write
// names its offset, so the code reads like the layout table it implements. Writes past the
// end are ignored (a layout bug then shows up as a zero field, never as a buffer overrun).
class TLayoutWriter {
 public:
  explicit TLayoutWriter(size_t aSize) : FBytes(aSize, '\0') {}
  // Starts from existing bytes, padded with zeros to at least aMinSize.
  TLayoutWriter(TByteString aBytes, size_t aMinSize) : FBytes(std::move(aBytes)) {
    if (FBytes.size() < aMinSize) FBytes.resize(aMinSize, '\0');
  }

  void U8(size_t aOffset, uint8_t aValue);
  void U16(size_t aOffset, uint16_t aValue);
  void U16BigEndian(size_t aOffset, uint16_t aValue);
  void U24(size_t aOffset, uint32_t aValue);
  void U32(size_t aOffset, uint32_t aValue);
  void U64(size_t aOffset, uint64_t aValue);
  void S16(size_t aOffset, int16_t aValue) { U16(aOffset, static_cast<uint16_t>(aValue)); }

  size_t Size() const { return FBytes.size(); }
  TByteString Take() { return std::move(FBytes); }

 private:
  TByteString FBytes;
};

}  // namespace sim
