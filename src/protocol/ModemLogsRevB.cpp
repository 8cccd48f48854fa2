// Rev B logs: slot DRC data, carrier powers, searcher state.
#include <algorithm>

#include "protocol/Modem_Unit.h"
#include "protocol/ModemPowers.h"

namespace {

constexpr size_t kFirstArqCarrier = 18;
constexpr size_t kArqSlots = 16;
constexpr uint8_t kLargestDrcIndex = 27;
constexpr uint16_t kCarrierDataRevBLogLength = 68;
constexpr size_t kFirstPowerCarrier = 24;
constexpr size_t kPowerCarrierBytes = 16;

// The 24-bit descriptor at the head of a carrier: bits 0..3, 8..19 and 20..23.
struct TCarrierDescriptor {
  uint8_t Low;
  uint16_t Mid;
  uint8_t High;
};

TCarrierDescriptor ReadDescriptor(const TFrameReader& aFrame, size_t aAt) {
  const uint32_t d = aFrame.U8(aAt) | aFrame.U8(aAt + 1) << 8 | static_cast<uint32_t>(aFrame.U8(aAt + 2)) << 16;
  return {static_cast<uint8_t>(d & 0x0F), static_cast<uint16_t>(d >> 8 & 0xFFF), static_cast<uint8_t>(d >> 20 & 0x0F)};
}

}  // namespace

bool TModem::ParseArqDataBLog(const TFrameReader& aFrame) {
  if (aFrame.U16(2) > aFrame.Size()) return false;
  ARQData_B& d = FARQDataB;
  d.ZeroInit();
  d.Version = aFrame.U8(16);
  d.NumCarriers = aFrame.U8(17);
  const size_t end = aFrame.Size();
  const int carriers = std::min<int>(d.NumCarriers, ARQData_B::kMaxCarriers);
  size_t p = kFirstArqCarrier;
  for (int c = 0; c < carriers; ++c) {
    ArqCarrierB& carrier = d.carrData[c];
    carrier.CarrierTag = aFrame.U8(p);
    const TCarrierDescriptor descriptor = ReadDescriptor(aFrame, p + 1);
    carrier.DescLow = descriptor.Low;
    carrier.DescMid = descriptor.Mid;
    carrier.DescHigh = descriptor.High;
    carrier.DescFlags = aFrame.U8(p + 4);
    // The first carrier has one unread byte before its slots, the others three.
    const size_t s = p + (c == 0 ? 6 : 8);
    if (s >= end) break;
    bool reachedEnd = false;
    for (size_t j = 0; j < kArqSlots; ++j) {
      const uint8_t drc = static_cast<uint8_t>(aFrame.U32(s + 4 * j) >> 16);
      carrier.Slots[j].DRC = drc <= kLargestDrcIndex ? drc : 0;
      if (s + 4 * (j + 1) >= end) {
        reachedEnd = true;
        break;
      }
    }
    if (reachedEnd) break;
    p = s + 4 * kArqSlots;
  }
  return true;
}

bool TModem::ParseCarrierDataRevBLog(const TFrameReader& aFrame) {
  CarrierData_RevB& d = FDataRevB;
  d.ZeroInit();
  if (aFrame.U16(2) != kCarrierDataRevBLogLength || aFrame.Size() < kCarrierDataRevBLogLength) return false;
  StampHeader(d, aFrame);
  d.Version = aFrame.U8(16);
  d.LNAGain = aFrame.U8(17);
  d.TxEnable = aFrame.U8(18);
  d.HsReferCount = aFrame.U16(19);
  d.TotalTxPower = PowerDb(aFrame.I16(21));
  d.numData = aFrame.U8(23);
  const int carriers = std::min<int>(d.numData, CarrierData_RevB::kMaxCarriers);
  for (int c = 0; c < carriers; ++c) {
    const size_t q = kFirstPowerCarrier + kPowerCarrierBytes * c;
    CarrierPowerB& carrier = d.carrArray[c];
    const TCarrierDescriptor descriptor = ReadDescriptor(aFrame, q);
    carrier.DescLow = descriptor.Low;
    carrier.DescMid = descriptor.Mid;
    carrier.DescHigh = descriptor.High;
    const uint8_t flags = aFrame.U8(q + 3);
    carrier.FlagBit0 = flags & 1;
    carrier.FlagBit1 = flags >> 1 & 1;
    if (q + 4 >= aFrame.Size()) break;
    carrier.TxOpen = PowerDb(aFrame.I16(q + 4));
    carrier.TxClosed = PowerDb(aFrame.I16(q + 6));
    carrier.TxPilot = PowerDb(aFrame.I16(q + 8));
    carrier.TxTotal = PowerDb(aFrame.I16(q + 10));
    carrier.RxPowerAntenna_0 = PowerDb(aFrame.I16(q + 12));
    carrier.ci = CarrierToInterference(aFrame.I16(q + 10), aFrame.I16(q + 12));
    carrier.snr = RoundTo2Decimals(SinrToEcIo(carrier.ci));
    carrier.RxPowerAntenna_1 = PowerDb(aFrame.I16(q + 14));
  }
  ++FTXPacketsCount;
  return true;
}

bool TModem::ParseMultiCarrPilotSetsLog(const TFrameReader& aFrame) {
  FMultiCarrPilotSets.Version = aFrame.U8(16);
  FMultiCarrPilotSets.PilotPnIncrement = aFrame.U8(17);
  FMultiCarrPilotSets.SearcherState = aFrame.U8(18);
  return true;
}
