// Parse cost per log packet, for each of the eighteen log codes: a de-framed packet of typical
// size and content handed to the dispatcher.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>

#include "protocol/Modem_Unit.h"

namespace {

struct TBenchPacket {
  uint16_t Code;
  size_t Size;
};

// The sizes the modem sends; counts inside are kept to what the records hold.
constexpr TBenchPacket kPackets[] = {
    {0x1007, 50},  {0x102D, 39 + 4 * 4 + 10 * 4}, {0x1069, 42},  {0x106C, 42},   {0x107C, 41},  {0x1080, 36},
    {0x1088, 60},  {0x108B, 37 + 10 * 12},         {0x108C, 118}, {0x1192, 244},  {0x127E, 1733}, {0x1281, 20},
    {0x1298, 232}, {0x129C, 72},                   {0x129F, 1761}, {0x12A0, 20},  {0x12A1, 19},  {0x12A2, 393},
};

TByteString Packet(const TBenchPacket& aPacket) {
  std::mt19937 rng(aPacket.Code);
  TByteString p(aPacket.Size, '\0');
  for (size_t i = 16; i < p.size(); ++i) p[i] = static_cast<char>(rng());
  auto put16 = [&](size_t at, uint16_t v) {
    p[at] = static_cast<char>(v & 0xFF);
    p[at + 1] = static_cast<char>(v >> 8);
  };
  p[0] = 0x10;
  put16(2, static_cast<uint16_t>(aPacket.Size - 4));
  put16(4, static_cast<uint16_t>(aPacket.Size - 4));
  put16(6, aPacket.Code);
  put16(14, 0x0123);  // a timestamp around now
  switch (aPacket.Code) {
    case 0x1007: p[17] = 1; break;
    case 0x102D: p[18] = 1; p[19] = 64; p[37] = 4; p[38] = 4; break;
    case 0x108B: p[22] = 4; p[24] = 8; break;
    case 0x1298: p[17] = 3; break;
    case 0x129C: p[23] = 3; break;
    case 0x12A2:
    case 0x129F: put16(23, 283); break;
    default: break;
  }
  return p;
}

void BM_ParseLog(benchmark::State& state) {
  const TBenchPacket& kind = kPackets[state.range(0)];
  const TByteString packet = Packet(kind);
  TModem modem(nullptr, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
  for (auto _ : state) modem.ParseFrame(packet);
  char label[32];
  std::snprintf(label, sizeof label, "0x%04X, %zu bytes", static_cast<unsigned>(kind.Code), kind.Size);
  state.SetLabel(label);
  // One packet per iteration: the time column is the cost per packet.
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseLog)->DenseRange(0, std::size(kPackets) - 1);

}  // namespace

BENCHMARK_MAIN();
