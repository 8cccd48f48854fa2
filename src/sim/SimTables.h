// Constant tables the simulated modem builds its packets and traffic from: log codes,
// the forward counter groups, the reverse packet sizes and the DRC rates.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

namespace logcode {
constexpr uint16_t kPagingChannel = 0x1007;
constexpr uint16_t kPilotSet = 0x102D;
constexpr uint16_t kRevAPower = 0x1069;
constexpr uint16_t kAttemptCounters = 0x106C;
constexpr uint16_t kAccessChannel = 0x107C;
constexpr uint16_t kServingSector = 0x1080;
constexpr uint16_t kIdentity = 0x1088;
constexpr uint16_t kNeighbors = 0x108B;
constexpr uint16_t kArqA = 0x108C;
constexpr uint16_t kForwardA = 0x1192;
constexpr uint16_t kReverseA = 0x127E;
constexpr uint16_t kRevAMarker = 0x1281;
constexpr uint16_t kArqB = 0x1298;
constexpr uint16_t kRevBPower = 0x129C;
constexpr uint16_t kReverseB = 0x129F;
constexpr uint16_t kRevBMarker = 0x12A0;
constexpr uint16_t kPilotSetsB = 0x12A1;
constexpr uint16_t kForwardB = 0x12A2;
}  // namespace logcode

// One group of forward counters: its size counters (counter number, packet size in bits)
// and the counter that closes it. Group g serves the Rev A DRC index g (g < 15) or the
// Rev B index g + 1 (g >= 15).
struct TForwardGroup {
  uint8_t First;       // counter number of the first size counter
  uint8_t SizeCount;   // size counters that follow from First; the closing counter comes next
  std::array<uint16_t, 4> Sizes;
  uint8_t Closing() const { return static_cast<uint8_t>(First + SizeCount); }
};

constexpr int kForwardGroupsA = 15;
constexpr int kForwardGroupsB = 27;
constexpr int kForwardCountersA = 56;
constexpr int kForwardCountersB = 92;

constexpr std::array<TForwardGroup, kForwardGroupsB> kForwardGroups = {{
    {0, 4, {128, 256, 512, 1024}},  {5, 4, {128, 256, 512, 1024}},  {10, 4, {128, 256, 512, 1024}},
    {15, 4, {128, 256, 512, 1024}}, {20, 4, {128, 256, 512, 1024}}, {25, 3, {512, 1024, 2048, 0}},
    {29, 4, {128, 256, 512, 1024}}, {34, 3, {512, 1024, 2048, 0}},  {38, 2, {1024, 3072, 0, 0}},
    {41, 3, {512, 1024, 2048, 0}},  {45, 1, {4096, 0, 0, 0}},       {47, 2, {1024, 3072, 0, 0}},
    {50, 1, {4096, 0, 0, 0}},       {52, 1, {5120, 0, 0, 0}},       {54, 1, {5120, 0, 0, 0}},
    {56, 3, {1024, 2048, 3072, 0}}, {60, 3, {1024, 2048, 4096, 0}}, {64, 3, {1024, 2048, 5120, 0}},
    {68, 2, {2048, 6144, 0, 0}},    {71, 2, {1024, 7168, 0, 0}},    {74, 1, {8192, 0, 0, 0}},
    {76, 2, {2048, 6144, 0, 0}},    {79, 2, {1024, 7168, 0, 0}},    {82, 1, {8192, 0, 0, 0}},
    {84, 2, {2048, 6144, 0, 0}},    {87, 2, {1024, 7168, 0, 0}},    {90, 1, {8192, 0, 0, 0}},
}};

// Reverse counters: 3 blocks of 24 rows; row r stands for kReversePacketSizes[r % 12].
constexpr int kReverseBlocks = 3;
constexpr int kReverseRows = 24;
constexpr int kReverseCounters = kReverseBlocks * kReverseRows;
constexpr std::array<uint32_t, 12> kReversePacketSizes = {128,  256,  512,  768,  1024, 1536,
                                                          2048, 3072, 4096, 6144, 8192, 12288};

// Requested forward rate in kbit/s per DRC index.
constexpr std::array<float, 16> kDrcRatesRevA = {0.0f,    38.4f,   76.8f,   153.6f,  307.2f,  307.2f,
                                                 614.4f,  614.4f,  921.6f,  1228.8f, 1228.8f, 1843.2f,
                                                 2457.6f, 1536.0f, 3072.0f, 0.0f};
constexpr std::array<float, 28> kDrcRatesRevB = {
    38.4f,  38.4f,   76.8f,   153.6f,  307.2f,  307.2f,  614.4f,  614.4f,  921.6f,  1228.8f,
    1228.8f, 1843.2f, 2457.6f, 1536.0f, 3072.0f, 0.0f,    460.8f,  614.4f,  768.0f,  921.6f,
    1075.2f, 1228.8f, 1843.2f, 2150.4f, 2457.6f, 3686.4f, 4300.8f, 4915.2f};

// Forward counter group that carries traffic sent at a DRC index.
constexpr int ForwardGroupOfDrc(int aDrc) { return aDrc < 15 ? aDrc : aDrc - 1; }

}  // namespace sim
