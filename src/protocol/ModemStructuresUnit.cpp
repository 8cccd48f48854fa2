// The fixed command texts.
#include "protocol/ModemStructuresUnit.h"

#include <array>

namespace {

// The log codes the session parses; the log-mask command enables exactly these.
constexpr uint16_t kEnabledLogCodes[] = {0x1007, 0x102D, 0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x108C,
                                         0x1192, 0x127E, 0x1281, 0x1298, 0x129C, 0x129F, 0x12A0, 0x12A1, 0x12A2};

constexpr std::string_view kLogMaskHeader = "730000000300000001000000a3020000";
constexpr size_t kLogMaskBytes = 0x2A3;

constexpr auto MakeLogMaskCommand() {
  std::array<char, kLogMaskHeader.size() + 2 * kLogMaskBytes> text{};
  std::array<uint8_t, kLogMaskBytes> mask{};
  for (uint16_t code : kEnabledLogCodes) {
    const unsigned bit = code - 0x1000u;
    mask[bit / 8] = static_cast<uint8_t>(mask[bit / 8] | (1u << (bit % 8)));
  }
  size_t n = 0;
  for (char c : kLogMaskHeader) text[n++] = c;
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (uint8_t b : mask) {
    text[n++] = kDigits[b >> 4];
    text[n++] = kDigits[b & 0x0F];
  }
  return text;
}

template <size_t N>
constexpr auto PadWithZeros(std::string_view aHead) {
  std::array<char, N> text{};
  for (size_t i = 0; i < N; ++i) text[i] = i < aHead.size() ? aHead[i] : '0';
  return text;
}

constexpr auto kLogMaskText = MakeLogMaskCommand();
constexpr auto kLoggingOffText = PadWithZeros<6 + 122>("5DE801");
constexpr auto kNvItem20Text = PadWithZeros<4 + 126>("2620");
constexpr auto kNvItem21Text = PadWithZeros<4 + 126>("2621");

}  // namespace

const std::string_view kLogMaskCommand(kLogMaskText.data(), kLogMaskText.size());
const std::string_view kLogMask1xCommand = "5DD8000300080000070000000000000000000000001000000000000A0000";
const std::string_view kLoggingOffCommand(kLoggingOffText.data(), kLoggingOffText.size());
const std::string_view kStatusRequestCommand = "0C";
const std::string_view kNvItem20Command(kNvItem20Text.data(), kNvItem20Text.size());
const std::string_view kNvItem21Command(kNvItem21Text.data(), kNvItem21Text.size());
