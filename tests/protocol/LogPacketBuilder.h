// Building log packets and replies field by field for the parser tests, and a session fixture
// that hands frames straight to the dispatcher.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/ByteString.h"
#include "common/MessageTarget.h"
#include "protocol/Modem_Unit.h"

// A frame's content after de-framing. Log packets start 10 00, carry the log length (size − 4)
// at bytes 2..3 and 4..5, the code at 6..7 and the timestamp at 8..15.
class TPacket {
 public:
  // A reply or any other frame: aSize zero bytes, the first one aFirstByte.
  static TPacket Reply(uint8_t aFirstByte, size_t aSize) {
    TPacket p(aSize);
    p.U8(0, aFirstByte);
    return p;
  }
  static TPacket Log(uint16_t aCode, size_t aSize) {
    TPacket p(aSize < 16 ? 16 : aSize);
    p.U8(0, 0x10).U16(6, aCode).Length(static_cast<uint16_t>(p.FBytes.size() - 4));
    p.U16(4, static_cast<uint16_t>(p.FBytes.size() - 4));
    return p;
  }

  TPacket& U8(size_t aAt, uint8_t aValue) {
    if (aAt >= FBytes.size()) FBytes.resize(aAt + 1, '\0');
    FBytes[aAt] = static_cast<char>(aValue);
    return *this;
  }
  TPacket& U16(size_t aAt, uint16_t aValue) { return U8(aAt, aValue & 0xFF).U8(aAt + 1, aValue >> 8); }
  TPacket& I16(size_t aAt, int16_t aValue) { return U16(aAt, static_cast<uint16_t>(aValue)); }
  TPacket& U16BE(size_t aAt, uint16_t aValue) { return U8(aAt, aValue >> 8).U8(aAt + 1, aValue & 0xFF); }
  TPacket& U32(size_t aAt, uint32_t aValue) { return U16(aAt, aValue & 0xFFFF).U16(aAt + 2, aValue >> 16); }
  TPacket& U64(size_t aAt, uint64_t aValue) { return U32(aAt, static_cast<uint32_t>(aValue)).U32(aAt + 4, aValue >> 32); }
  // The log length field at bytes 2..3.
  TPacket& Length(uint16_t aValue) { return U16(2, aValue); }
  TPacket& Fill(uint8_t aValue, size_t aFrom = 0) {
    for (size_t i = aFrom; i < FBytes.size(); ++i) FBytes[i] = static_cast<char>(aValue);
    return *this;
  }

  const TByteString& Bytes() const { return FBytes; }
  size_t Size() const { return FBytes.size(); }

 private:
  explicit TPacket(size_t aSize) : FBytes(aSize, '\0') {}
  TByteString FBytes;
};

// Hands each frame to the dispatcher from a heap block of exactly its size, so that AddressSanitizer
// sees any read past its end.
class SessionFixture : public ::testing::Test {
 protected:
  SessionFixture() : FModem(&FMessages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity) {}

  void Receive(TByteView aFrame) {
    std::unique_ptr<char[]> exact(new char[aFrame.size()]);
    std::copy(aFrame.begin(), aFrame.end(), exact.get());
    FModem.ParseFrame(TByteView(exact.get(), aFrame.size()));
  }
  void Receive(const TPacket& aPacket) { Receive(TByteView(aPacket.Bytes())); }

  // Messages posted since the last call.
  std::vector<uint32_t> TakeMessages() {
    std::vector<uint32_t> numbers;
    while (auto message = FMessages.TryTake()) numbers.push_back(message->Msg);
    return numbers;
  }

  TMessageQueue FMessages;
  TModem FModem;
};
