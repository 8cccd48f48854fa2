// The simulated modem's answers to the monitor's commands: status, NV item reads, the two
// log-mask commands, and "bad command" for everything else. Pure functions of the request.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/ByteString.h"

namespace sim {

// Log codes 0x1000..0x1FFF a mask command has switched on.
class TLogMask {
 public:
  static constexpr uint16_t kFirstCode = 0x1000;
  static constexpr size_t kCodes = 0x1000;

  bool Enabled(uint16_t aCode) const {
    const size_t bit = static_cast<size_t>(aCode) - kFirstCode;
    return aCode >= kFirstCode && bit < kCodes && FBits.test(bit);
  }
  void Enable(uint16_t aCode) {
    const size_t bit = static_cast<size_t>(aCode) - kFirstCode;
    if (aCode >= kFirstCode && bit < kCodes) FBits.set(bit);
  }
  bool Any() const { return FBits.any(); }
  bool operator==(const TLogMask& aOther) const { return FBits == aOther.FBits; }

 private:
  std::bitset<kCodes> FBits;
};

// The identity the device answers with, already in its wire encodings.
struct TDeviceIdentity {
  uint32_t Esn = 0;
  uint32_t Min1 = 0;   // the seven-digit MIN
  uint16_t Min2 = 0;   // the area code of a ten-digit MIN (0 when none was given)
  uint32_t Dn1 = 0;    // directory number, NV item 0x20
  uint16_t LacWord = 0;  // NV item 0x21
};

// Seven digits to the 24-bit MIN1 field: the first three and the last three digits are 10-bit
// groups in which digit d is sent as d - 1 (0 as 9), the middle digit as a plain 4-bit value.
// Throws std::invalid_argument unless given exactly seven decimal digits.
uint32_t EncodeMin1(std::string_view aDigits);
// Three digits to the 10-bit group of the area code.
uint16_t EncodeMin2(std::string_view aDigits);
// Three digits to the 16-bit NV 0x21 word: a receiver adds 111, and a four-digit result
// starting with "10" stands for its last three digits (how a leading zero is carried).
uint16_t EncodeLacWord(std::string_view aDigits);

struct TCommandOutcome {
  TByteString Reply;                // empty: no reply
  std::optional<TLogMask> NewMask;  // set when the command replaced the log mask
  bool BadCommand = false;
};

// aModeWord goes to bytes 8..9 of the status reply (2 or 5: a Rev B modem).
TCommandOutcome HandleCommand(TByteView aCommand, const TDeviceIdentity& aIdentity, uint16_t aModeWord);

}  // namespace sim
