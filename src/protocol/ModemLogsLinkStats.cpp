// EV-DO link statistics logs: forward and reverse packet counters of Rev A and Rev B, turned into
// the bits carried between two packets.
#include <array>
#include <initializer_list>

#include "protocol/Modem_Unit.h"

namespace {

// Forward counters: groups of size counters, each group closed by a counter that is subtracted
// as it stands. Groups 0..14 follow the Rev A DRC indices 0..14, groups 15..26 the Rev B
// indices 16..27.
constexpr std::initializer_list<uint16_t> kForwardGroups[] = {
    {128, 256, 512, 1024}, {128, 256, 512, 1024}, {128, 256, 512, 1024}, {128, 256, 512, 1024},
    {128, 256, 512, 1024}, {512, 1024, 2048},     {128, 256, 512, 1024}, {512, 1024, 2048},
    {1024, 3072},          {512, 1024, 2048},     {4096},                {1024, 3072},
    {4096},                {5120},                {5120},                {1024, 2048, 3072},
    {1024, 2048, 4096},    {1024, 2048, 5120},    {2048, 6144},          {1024, 7168},
    {8192},                {2048, 6144},          {1024, 7168},          {8192},
    {2048, 6144},          {1024, 7168},          {8192},
};
constexpr size_t kRevAForwardGroups = 15;

constexpr size_t CountersOf(size_t aGroups) {
  size_t n = 0;
  for (size_t g = 0; g < aGroups; ++g) n += kForwardGroups[g].size() + 1;
  return n;
}
constexpr size_t kRevAForwardCounters = CountersOf(kRevAForwardGroups);
constexpr size_t kForwardCounters = CountersOf(std::size(kForwardGroups));
static_assert(kRevAForwardCounters == 56 && kForwardCounters == 92);

// Packet size of forward counter k; 0 for a closing counter.
constexpr auto kForwardSizes = [] {
  std::array<uint16_t, kForwardCounters> sizes{};
  size_t k = 0;
  for (const auto& group : kForwardGroups) {
    for (uint16_t size : group) sizes[k++] = size;
    sizes[k++] = 0;
  }
  return sizes;
}();

constexpr size_t kRevAForwardBase = 20;
constexpr size_t kRevBForwardBase = 25;
// A Rev B forward packet this short carries the Rev A groups only.
constexpr size_t kRevBShortForwardPacket = 250;

constexpr size_t kReverseBlocks = 3;
constexpr size_t kReverseRows = 24;
constexpr size_t kReverseRowBytes = 24;
constexpr size_t kReverseBlockBytes = 580;
constexpr size_t kRevAReverseBase = 17;
constexpr size_t kRevBReverseBase = 45;

struct TForwardTotal {
  uint32_t Total = 0;
  uint32_t LastSize = 0;  // size of the last non-zero size counter
};

struct TReverseTotal {
  uint32_t Total = 0;
  uint32_t Largest = 0;  // the largest single counter
};

// Bits carried since the previous packet; a first packet, or one after a zero total, only
// sets the reference.
void DifferenceStep(uint32_t& aPredTotal, uint32_t& aTotal, uint32_t aNewTotal) {
  if (aPredTotal == 0) {
    aPredTotal = aNewTotal;
    aTotal = 0;
    return;
  }
  aTotal = aNewTotal >= aPredTotal ? aNewTotal - aPredTotal : aPredTotal - aNewTotal;
  aPredTotal = aNewTotal;
}

// The entry for the packet's channel: the first that holds it or is free; entry 0 when all three
// hold other channels.
CarrierLinkStat& ChooseCarrier(CarrierLinkStat (&aCarriers)[3], const TFrameReader& aFrame) {
  const uint16_t word = aFrame.U16(23);
  const uint16_t channel = word & 0x07FF;
  CarrierLinkStat* chosen = &aCarriers[0];
  for (CarrierLinkStat& carrier : aCarriers) {
    if (carrier.Channel == 0 || carrier.Channel == channel) {
      chosen = &carrier;
      break;
    }
  }
  chosen->CarrierTag = aFrame.U8(22);
  chosen->Channel = channel;
  chosen->ChannelHighBits = static_cast<uint8_t>((word & 0xF800) >> 8);
  return *chosen;
}

// Walks forward counters 0..aCounters-1; sums and products wrap as 32-bit values.
template <class FAdd>
TForwardTotal WalkForwardCounters(const TFrameReader& aFrame, size_t aBase, size_t aCounters, FAdd aAdd) {
  TForwardTotal result;
  for (size_t k = 0; k < aCounters; ++k) {
    const uint32_t n = aFrame.U32(aBase + 4 * k);
    const uint32_t size = kForwardSizes[k];
    if (size == 0) {
      result.Total -= n;
    } else if (n != 0) {
      result.Total += n * size;
      aAdd(size, n);
      result.LastSize = size;
    }
  }
  return result;
}

template <class FAdd>
TReverseTotal WalkReverseCounters(const TFrameReader& aFrame, size_t aBase, FAdd aAdd) {
  TReverseTotal result;
  for (size_t b = 0; b < kReverseBlocks; ++b) {
    for (size_t r = 0; r < kReverseRows; ++r) {
      const uint32_t n = aFrame.U32(aBase + kReverseBlockBytes * b + kReverseRowBytes * r);
      if (n == 0) continue;
      const uint32_t size = ReversePacketSizes[r % std::size(ReversePacketSizes)];
      aAdd(size, n);
      result.Total += size * n;
      if (n > result.Largest) result.Largest = n;
    }
  }
  return result;
}

}  // namespace

bool TModem::ParseEvdoAForwardLog(const TFrameReader& aFrame) {
  TEvdoAForward& d = FDataEvdoAForward;
  StampHeader(d, aFrame);
  d.Sequence = aFrame.U32(16);
  const TForwardTotal total = WalkForwardCounters(aFrame, kRevAForwardBase, kRevAForwardCounters,
                                                  [this](uint32_t aSize, uint32_t aCount) { AddForwardDRC(aSize, aCount); });
  DifferenceStep(d.PredTotalBytes, d.TotalBytes, total.Total);
  ++FRXPacketsCount;
  return true;
}

bool TModem::ParseEvdoAReverseLog(const TFrameReader& aFrame) {
  TEvdoAReverse& d = FDataEvdoAReverse;
  StampHeader(d, aFrame);
  d.aVersion = aFrame.U8(16);
  const TReverseTotal total = WalkReverseCounters(
      aFrame, kRevAReverseBase, [this](uint32_t aSize, uint32_t aCount) { AddReverseDRC(aSize, aCount); });
  d.DRC = total.Largest;
  DifferenceStep(d.PredTotalBytes, d.TotalBytes, total.Total);
  ++FTXPacketsCount;
  return true;
}

bool TModem::ParseMultiCarrierForwardLog(const TFrameReader& aFrame) {
  ::EvdoMultiCarrierSingleForward& d = FDataEvdoMultiCarrierSingleForward;
  StampHeader(d, aFrame);
  d.Version = aFrame.U8(16);
  d.Sequence = aFrame.U32(17);
  d.NumbCarr = aFrame.U8(21);
  CarrierLinkStat& carrier = ChooseCarrier(d.CarrData, aFrame);
  const size_t counters = aFrame.Size() > kRevBShortForwardPacket ? kForwardCounters : kRevAForwardCounters;
  const TForwardTotal total = WalkForwardCounters(aFrame, kRevBForwardBase, counters,
                                                  [this](uint32_t aSize, uint32_t aCount) { AddForwardDRC(aSize, aCount); });
  carrier.DRC = total.LastSize;
  DifferenceStep(carrier.PredTotalBytes, carrier.TotalBytes, total.Total);
  ++FRXPacketsCount;
  return true;
}

bool TModem::ParseMultiCarrierReverseLog(const TFrameReader& aFrame) {
  ::EvdoMultiCarrierSingleReverse& d = FDataEvdoMultiCarrierSingleReverse;
  StampHeader(d, aFrame);
  d.Version = aFrame.U8(16);
  d.Sequence = aFrame.U32(17);
  d.NumbCarr = aFrame.U8(21);
  CarrierLinkStat& carrier = ChooseCarrier(d.CarrData, aFrame);
  const TReverseTotal total = WalkReverseCounters(
      aFrame, kRevBReverseBase, [this](uint32_t aSize, uint32_t aCount) { AddReverseDRC(aSize, aCount); });
  carrier.DRC = total.Largest;
  DifferenceStep(carrier.PredTotalBytes, carrier.TotalBytes, total.Total);
  ++FTXPacketsCount;
  return true;
}
