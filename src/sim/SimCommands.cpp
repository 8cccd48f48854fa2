// Command replies of the simulated modem.
#include "sim/SimCommands.h"

#include <algorithm>
#include <stdexcept>

#include "sim/SimWire.h"

namespace sim {
namespace {

constexpr uint8_t kStatus = 0x0C;
constexpr uint8_t kBadCommand = 0x13;
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kLegacyLogMask = 0x5D;
constexpr uint8_t kLogMask = 0x73;
constexpr uint32_t kSetMaskOperation = 3;
constexpr uint32_t kEquipmentCdma = 1;

void RequireDigits(std::string_view aDigits, size_t aCount) {
  if (aDigits.size() != aCount || !std::all_of(aDigits.begin(), aDigits.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw std::invalid_argument("expected " + std::to_string(aCount) + " decimal digits, got \"" + std::string(aDigits) + "\"");
}

// A digit as the groups carry it: 1..9 as 0..8, 0 as 9.
unsigned GroupDigit(char aDigit) { return (static_cast<unsigned>(aDigit - '0') + 9) % 10; }

uint16_t Group(std::string_view aThree) {
  return static_cast<uint16_t>(100 * GroupDigit(aThree[0]) + 10 * GroupDigit(aThree[1]) + GroupDigit(aThree[2]));
}

uint32_t U32At(TByteView aBytes, size_t aOffset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i)
    if (aOffset + i < aBytes.size()) v |= static_cast<uint32_t>(ByteAt(aBytes, aOffset + i)) << (8 * i);
  return v;
}

uint16_t U16At(TByteView aBytes, size_t aOffset) {
  uint16_t v = 0;
  for (size_t i = 0; i < 2; ++i)
    if (aOffset + i < aBytes.size()) v = static_cast<uint16_t>(v | ByteAt(aBytes, aOffset + i) << (8 * i));
  return v;
}

TByteString StatusReply(const TDeviceIdentity& aId, uint16_t aModeWord) {
  TLayoutWriter w(47);
  w.U8(0, kStatus);
  w.U32(4, aId.Esn);
  w.U16(8, aModeWord);
  w.U32(10, aId.Min1);  // NAM 1
  w.U32(14, aId.Min1);  // NAM 2
  w.U16(18, aId.Min2);
  w.U16(20, aId.Min2);
  w.U8(22, 1);          // receiver state: traffic
  w.U8(23, 1);          // good frames
  w.U16(32, 283);       // current channel
  w.U16(37, 0x102B);    // SID
  w.U16(39, 1);         // NID
  return w.Take();
}

TByteString NvReply(TByteView aRequest, uint16_t aItem, const TDeviceIdentity& aId) {
  // The reply is the request with the item's data filled in.
  TLayoutWriter w{TByteString(aRequest), 12};
  w.U8(3, 0);  // NAM index
  if (aItem == 0x20) {
    w.U32(4, aId.Dn1);
    w.U32(8, aId.Dn1);
  } else {
    w.U16(4, aId.LacWord);
    w.U16(6, aId.LacWord);
  }
  return w.Take();
}

TByteString BadCommand(TByteView aRequest) {
  TByteString reply;
  reply.reserve(aRequest.size() + 1);
  reply.push_back(static_cast<char>(kBadCommand));
  reply.append(aRequest);
  return reply;
}

}  // namespace

uint32_t EncodeMin1(std::string_view aDigits) {
  RequireDigits(aDigits, 7);
  const uint32_t middle = static_cast<uint32_t>(aDigits[3] - '0');
  return (static_cast<uint32_t>(Group(aDigits.substr(0, 3))) << 14) | (middle << 10) | Group(aDigits.substr(4, 3));
}

uint16_t EncodeMin2(std::string_view aDigits) {
  RequireDigits(aDigits, 3);
  return Group(aDigits);
}

uint16_t EncodeLacWord(std::string_view aDigits) {
  RequireDigits(aDigits, 3);
  const unsigned value = static_cast<unsigned>(std::stoi(std::string(aDigits)));
  // A leading zero only survives as the tail of "10xy".
  const unsigned shown = aDigits[0] == '0' ? 1000 + value : value;
  return static_cast<uint16_t>(shown - 111);
}

TCommandOutcome HandleCommand(TByteView aCommand, const TDeviceIdentity& aIdentity, uint16_t aModeWord) {
  TCommandOutcome out;
  if (aCommand.empty()) return out;
  const uint8_t code = ByteAt(aCommand, 0);

  if (code == kStatus) {
    out.Reply = StatusReply(aIdentity, aModeWord);
    return out;
  }
  if (code == kNvRead && aCommand.size() >= 3) {
    const uint16_t item = U16At(aCommand, 1);
    if (item == 0x20 || item == 0x21) {
      out.Reply = NvReply(aCommand, item, aIdentity);
      return out;
    }
  }
  if (code == kLogMask && aCommand.size() >= 16 && U32At(aCommand, 4) == kSetMaskOperation) {
    const uint32_t equipment = U32At(aCommand, 8);
    const uint32_t bits = U32At(aCommand, 12);
    const TByteView mask = aCommand.substr(16);
    TLayoutWriter w(20 + mask.size());
    w.U8(0, kLogMask);
    w.U32(4, kSetMaskOperation);
    w.U32(8, 0);  // status: done
    w.U32(12, equipment);
    w.U32(16, bits);
    out.Reply = w.Take();
    out.Reply.replace(20, mask.size(), mask);
    if (equipment == kEquipmentCdma) {
      TLogMask m;
      const size_t usable = std::min<size_t>({bits, mask.size() * 8, TLogMask::kCodes});
      for (size_t n = 0; n < usable; ++n)
        if (ByteAt(mask, n / 8) & (1u << (n % 8))) m.Enable(static_cast<uint16_t>(TLogMask::kFirstCode + n));
      out.NewMask = m;
    }
    return out;
  }
  if (code == kLegacyLogMask && aCommand.size() >= 3) {
    // The older mask command counts its bits from the most significant bit of each byte.
    const uint16_t bits = U16At(aCommand, 1);
    const TByteView mask = aCommand.substr(3);
    TLogMask m;
    const size_t usable = std::min<size_t>({bits, mask.size() * 8, TLogMask::kCodes});
    for (size_t n = 0; n < usable; ++n)
      if (ByteAt(mask, n / 8) & (0x80u >> (n % 8))) m.Enable(static_cast<uint16_t>(TLogMask::kFirstCode + n));
    out.NewMask = m;
    out.Reply = TByteString(aCommand);
    return out;
  }
  out.Reply = BadCommand(aCommand);
  out.BadCommand = true;
  return out;
}

}  // namespace sim
