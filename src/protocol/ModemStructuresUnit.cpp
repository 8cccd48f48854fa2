// The fixed command texts, the rate tables and the numeric helpers of the parsers.
#include "protocol/ModemStructuresUnit.h"

#include <array>
#include <cmath>

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

const float DrcRatesRevA[16] = {0.0f,   38.4f,  76.8f,   153.6f,  307.2f,  307.2f,  614.4f, 614.4f,
                                921.6f, 1228.8f, 1228.8f, 1843.2f, 2457.6f, 1536.0f, 3072.0f, 0.0f};

// Index 0 is a real rate here, unlike the Rev A table.
const float DrcRatesRevB[28] = {38.4f,   38.4f,   76.8f,   153.6f,  307.2f,  307.2f,  614.4f,
                                614.4f,  921.6f,  1228.8f, 1228.8f, 1843.2f, 2457.6f, 1536.0f,
                                3072.0f, 0.0f,    460.8f,  614.4f,  768.0f,  921.6f,  1075.2f,
                                1228.8f, 1843.2f, 2150.4f, 2457.6f, 3686.4f, 4300.8f, 4915.2f};

const uint32_t ReversePacketSizes[12] = {128, 256, 512, 768, 1024, 1536, 2048, 3072, 4096, 6144, 8192, 12288};

namespace {

// 0 -> '1', ..., 8 -> '9', 9 -> '0': the MIN's digits are stored off by one.
char MinDigit(uint32_t x) { return static_cast<char>('0' + (x % 10 + 1) % 10); }

void AppendMinGroup(std::string& aText, uint32_t n) {
  aText += MinDigit(n / 100);
  aText += MinDigit(n / 10);
  aText += MinDigit(n);
}

struct TSinrRow {
  float Key, Base, Step;
};

// Base = 10*log10(s/(1+s)), s = 10^(key/10), to two decimals; step = a tenth of the way to the
// next higher key's base.
constexpr TSinrRow kSinrTable[] = {
    {20, -0.04f, 0.01f},   {15, -0.14f, 0.01f},    {14, -0.17f, 0.003f},   {13, -0.21f, 0.004f},
    {12, -0.27f, 0.006f},  {11, -0.33f, 0.006f},   {10, -0.41f, 0.008f},   {9, -0.51f, 0.01f},
    {8, -0.64f, 0.013f},   {7, -0.79f, 0.015f},    {6, -0.97f, 0.018f},    {5, -1.19f, 0.022f},
    {4, -1.46f, 0.027f},   {3, -1.76f, 0.03f},     {2, -2.12f, 0.036f},    {1, -2.54f, 0.042f},
    {0, -3.01f, 0.047f},   {-1, -3.54f, 0.053f},   {-2, -4.12f, 0.058f},   {-3, -4.76f, 0.064f},
    {-4, -5.46f, 0.07f},   {-6, -6.97f, 0.151f},   {-8, -8.64f, 0.167f},   {-10, -10.41f, 0.177f},
    {-12, -12.27f, 0.186f},
};

}  // namespace

std::string DecodeMin1(uint32_t aValue) {
  std::string text;
  text.reserve(7);
  AppendMinGroup(text, aValue >> 14);
  text += static_cast<char>('0' + ((aValue >> 10) & 0x0F) % 10);
  AppendMinGroup(text, aValue & 0x3FF);
  return text;
}

float SinrToEcIo(float x) {
  // Written so that a NaN also lands here.
  if (!(x <= 20.0f && x >= -12.0f)) return 0;
  const double wide = x;
  const double whole = std::trunc(wide);
  const int n = static_cast<int>(std::trunc((wide - whole) * 10.0));
  for (const TSinrRow& row : kSinrTable) {
    if (row.Key != static_cast<float>(whole)) continue;
    float result = row.Base;
    for (int i = 0; i < n; ++i) result += row.Step;
    return result;
  }
  return 0;
}

float RoundTo2Decimals(double aValue) {
  // nearbyint follows the default rounding mode, which sends halves to the even neighbour.
  return static_cast<float>(std::nearbyint(aValue * 100.0) / 100.0);
}
