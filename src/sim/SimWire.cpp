// Framing and layout writing for the simulated modem.
#include "sim/SimWire.h"

#include "common/Crc16.h"

namespace sim {
namespace {

void PutEscaped(TByteString& aOut, uint8_t aByte) {
  if (aByte == kFlag || aByte == kEscape) {
    aOut.push_back(static_cast<char>(kEscape));
    aOut.push_back(static_cast<char>(aByte ^ 0x20));
  } else {
    aOut.push_back(static_cast<char>(aByte));
  }
}

}  // namespace

TByteString EncodeFrame(TByteView aContent, uint16_t aCrcDamage) {
  const uint16_t crc = static_cast<uint16_t>(crc16x25::Compute(aContent.data(), aContent.size()) ^ aCrcDamage);
  TByteString out;
  out.reserve(aContent.size() + aContent.size() / 16 + 8);
  for (char c : aContent) PutEscaped(out, static_cast<uint8_t>(c));
  PutEscaped(out, static_cast<uint8_t>(crc & 0xFF));
  PutEscaped(out, static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<char>(kFlag));
  return out;
}

TByteString Unescape(TByteView aRaw) {
  TByteString out;
  out.reserve(aRaw.size());
  for (size_t i = 0; i < aRaw.size(); ++i) {
    const uint8_t b = ByteAt(aRaw, i);
    if (b == kEscape && i + 1 < aRaw.size()) {
      const uint8_t next = ByteAt(aRaw, i + 1);
      if (next == 0x5E || next == 0x5D) {
        out.push_back(static_cast<char>(next ^ 0x20));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<char>(b));
  }
  return out;
}

bool HasGoodCrc(TByteView aUnescaped) {
  return aUnescaped.size() >= 2 &&
         crc16x25::Update(crc16x25::kInit, aUnescaped.data(), aUnescaped.size()) == crc16x25::kGoodResidue;
}

void TCommandDeframer::Feed(TByteView aBytes, TResult& aResult) {
  for (char c : aBytes) {
    if (static_cast<uint8_t>(c) != kFlag) {
      if (FDiscarding) continue;
      if (FPending.size() >= kMaxFrame) {
        FPending.clear();
        FDiscarding = true;
        ++aResult.Overlong;
        continue;
      }
      FPending.push_back(c);
      continue;
    }
    if (FDiscarding) {
      FDiscarding = false;
      continue;
    }
    if (FPending.empty()) continue;  // back-to-back flags carry nothing
    TByteString frame = Unescape(FPending);
    FPending.clear();
    if (!HasGoodCrc(frame)) {
      ++aResult.BadCrc;
      continue;
    }
    frame.resize(frame.size() - 2);
    aResult.Commands.push_back(std::move(frame));
  }
}

void TLayoutWriter::U8(size_t aOffset, uint8_t aValue) {
  if (aOffset < FBytes.size()) FBytes[aOffset] = static_cast<char>(aValue);
}

void TLayoutWriter::U16(size_t aOffset, uint16_t aValue) {
  U8(aOffset, static_cast<uint8_t>(aValue));
  U8(aOffset + 1, static_cast<uint8_t>(aValue >> 8));
}

void TLayoutWriter::U16BigEndian(size_t aOffset, uint16_t aValue) {
  U8(aOffset, static_cast<uint8_t>(aValue >> 8));
  U8(aOffset + 1, static_cast<uint8_t>(aValue));
}

void TLayoutWriter::U24(size_t aOffset, uint32_t aValue) {
  U16(aOffset, static_cast<uint16_t>(aValue));
  U8(aOffset + 2, static_cast<uint8_t>(aValue >> 16));
}

void TLayoutWriter::U32(size_t aOffset, uint32_t aValue) {
  U16(aOffset, static_cast<uint16_t>(aValue));
  U16(aOffset + 2, static_cast<uint16_t>(aValue >> 16));
}

void TLayoutWriter::U64(size_t aOffset, uint64_t aValue) {
  U32(aOffset, static_cast<uint32_t>(aValue));
  U32(aOffset + 4, static_cast<uint32_t>(aValue >> 32));
}

}  // namespace sim
