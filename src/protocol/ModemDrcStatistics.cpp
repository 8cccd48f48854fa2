// The DRC statistics of the session: adding counters, composing rates, the rate read-outs.
#include "protocol/ModemDrcStatistics.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

#include "protocol/Modem_Unit.h"

namespace {

constexpr uint32_t kLargestPacketSize = 12288;

void AddToStatList(TDRCStatList& aList, uint32_t aSize, uint32_t aCount) {
  if (aSize == 0 || aSize > kLargestPacketSize) return;
  if (auto it = aList.find(aSize); it != aList.end())
    it->second.AddBytes(aCount);
  else
    aList.emplace(aSize, TDRCData(aSize, aCount));
}

// The key of the first entry with the strictly largest figure; 0 when none is above 0.
template <class F>
uint32_t DominantSize(const TDRCStatList& aList, F aFigure) {
  std::invoke_result_t<F, const TDRCData&> best = 0;
  uint32_t result = 0;
  for (const auto& [size, data] : aList) {
    if (aFigure(data) > best) {
      best = aFigure(data);
      result = data.drcValue();
    }
  }
  return result;
}

bool IsEvdo(TEvdoType aType) { return aType >= evtRev0 && aType <= evtRevBplus; }

}  // namespace

void TDRCData::ComposeRate() {
  if (FPredBytes == 0) {
    FPredBytes = FBytes;
    FTotalBytes = 0;
  } else {
    FTotalBytes = FBytes >= FPredBytes ? FBytes - FPredBytes : FPredBytes - FBytes;
    FPredBytes = FBytes;
  }
  FDataRate = static_cast<uint32_t>(FTotalBytes);
  if (FDataRate == 0) FDataRate = static_cast<uint32_t>(FPredBytes);
}

// Called by the link statistics parsers, with the state lock held.
void TModem::AddForwardDRC(uint32_t aSize, uint32_t aCount) { AddToStatList(FForwardDRCStatList, aSize, aCount); }
void TModem::AddReverseDRC(uint32_t aSize, uint32_t aCount) { AddToStatList(FReverseDRCStatList, aSize, aCount); }

void TModem::ComposeDRC() {
  Locked([&] {
    for (auto& [size, data] : FForwardDRCStatList) data.ComposeRate();
    for (auto& [size, data] : FReverseDRCStatList) data.ComposeRate();
  });
}

void TModem::ClearDRC() {
  Locked([&] {
    for (auto& [size, data] : FForwardDRCStatList) data.ZeroInit();
    for (auto& [size, data] : FReverseDRCStatList) data.ZeroInit();
    FArqDataA.ZeroInit();
    FARQDataB.ZeroInit();
  });
}

uint32_t TModem::DRC_Forward() const {
  return Locked([&]() -> uint32_t {
    if (!IsEvdo(FEvdoType)) return 0;
    return DominantSize(FForwardDRCStatList, [](const TDRCData& d) { return d.DataRate(); });
  });
}

uint32_t TModem::DRC_Reverse() const {
  return Locked([&]() -> uint32_t {
    switch (FEvdoType) {
      case evtRev0:
      case evtRevA:
        return FDataEvdoAReverse.DRC;
      case evtRevB:
      case evtRevBplus:
        return DominantSize(FReverseDRCStatList, [](const TDRCData& d) { return d.drcBytes(); });
      default:
        return 0;
    }
  });
}

float TModem::ARQDataA() const {
  return Locked([&] {
    auto best = [](const ArqSlotA (&aSlots)[16]) {
      float m = 0;
      for (const ArqSlotA& slot : aSlots) {
        const float r = DrcRatesRevA[slot.Drc & 0x0F];
        if (r > m) m = r;
      }
      return m;
    };
    const float m0 = best(FArqDataA.SlotDataArray_0);
    const float m1 = best(FArqDataA.SlotDataArray_1);
    return m1 > m0 ? m1 : m0;
  });
}

float TModem::ARQDataB() const {
  return Locked([&] {
    float sum = 0;
    const int carriers = std::min<int>(FARQDataB.NumCarriers, ARQData_B::kMaxCarriers);
    for (int c = 0; c < carriers; ++c) {
      float best = 0;
      for (const ArqSlotB& slot : FARQDataB.carrData[c].Slots) {
        const float r = slot.DRC < std::size(DrcRatesRevB) ? DrcRatesRevB[slot.DRC] : 0.0f;
        if (r > best) best = r;
      }
      sum += best;
    }
    return sum;
  });
}

TDRCStatList TModem::DRCForwardStatList() const { return Locked([&] { return FForwardDRCStatList; }); }
TDRCStatList TModem::DRCReverseStatList() const { return Locked([&] { return FReverseDRCStatList; }); }
