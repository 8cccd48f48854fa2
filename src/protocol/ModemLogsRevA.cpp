// Rev A logs: carrier powers, pilot sets, slot and DRC data.
#include <algorithm>
#include <cmath>

#include "protocol/Modem_Unit.h"
#include "protocol/ModemPowers.h"

namespace {

constexpr uint16_t kCarrierDataRevALogLength = 38;
constexpr size_t kFirstPilotEntry = 37;
constexpr size_t kPilotEntryBytes = 10;
constexpr size_t kArqBlock0 = 16;
constexpr size_t kArqBlock1 = 67;
constexpr int16_t kLargestPilotOffset = 580;

// Raw energies are in 1/512 units; nothing at or below zero gets a logarithm.
float PilotEnergy(int16_t aRaw) { return aRaw > 0 ? static_cast<float>(10.0 * std::log10(aRaw / 512.0)) : 0.0f; }

uint16_t PilotOffset(int16_t aRaw) {
  return aRaw >= 0 && aRaw <= kLargestPilotOffset ? static_cast<uint16_t>(aRaw) : 0;
}

template <class TEntry>
void ReadPilotEntry(const TFrameReader& aFrame, size_t aAt, TEntry& aEntry) {
  aEntry.PilotPn = aFrame.U16(aAt) & 0x5FF;
  aEntry.PilotEng = PilotEnergy(aFrame.I16(aAt + 2));
  aEntry.PilotPos = PilotOffset(aFrame.I16(aAt + 4));
}

void ReadArqBlock(const TFrameReader& aFrame, size_t aAt, ArqSlotA (&aSlots)[16], uint8_t& aSlotCount,
                  DrcLockPair (&aLocks)[6], uint8_t& aReserved, uint8_t& aLockCount, BestAspEntry (&aAsp)[16]) {
  for (size_t i = 0; i < 16; ++i) {
    const uint16_t w = aFrame.U16(aAt + 2 * i);
    ArqSlotA& slot = aSlots[i];
    slot.SlotLow = w & 0x07;
    slot.SlotMid = w >> 3 & 0x1F;
    slot.Drc = w >> 8 & 0x0F;
    slot.SlotBit12 = w >> 12 & 1;
    slot.SlotBit13 = w >> 13 & 1;
    slot.SlotBit15 = static_cast<uint8_t>((w >> 15 & 1) * 2);
  }
  aSlotCount = aFrame.U8(aAt + 32);
  const uint16_t lock = aFrame.U16(aAt + 33);
  for (size_t i = 0; i < 6; ++i) {
    aLocks[i].Lock0 = lock >> (2 * i) & 1;
    aLocks[i].Lock1 = lock >> (2 * i + 1) & 1;
  }
  aReserved = static_cast<uint8_t>(lock >> 12);
  aLockCount = aFrame.U8(aAt + 34);  // the lock word's high byte, read again
  for (size_t i = 0; i < 16; ++i) {
    const uint8_t b = aFrame.U8(aAt + 35 + i);
    aAsp[i].AspLow = b & 0x07;
    aAsp[i].AspMid = b >> 3 & 0x07;
    aAsp[i].AspHigh = b >> 6;
  }
}

}  // namespace

bool TModem::ParseCarrierDataRevALog(const TFrameReader& aFrame) {
  CarrierDataRevA_& d = FDataRevA;
  d.ZeroInit();
  if (aFrame.U16(2) != kCarrierDataRevALogLength || aFrame.Size() < kCarrierDataRevALogLength) return true;
  StampHeader(d, aFrame);
  d.Version = aFrame.U8(16);
  d.TxOpen = PowerDb(aFrame.I16(17));
  d.TxClosed = PowerDb(aFrame.I16(19));
  d.TxPilot = PowerDb(aFrame.I16(21));
  d.TxTotal = PowerDb(aFrame.I16(23));
  d.RxPowerAntenna_0 = PowerDb(aFrame.I16(25));
  d.ci = CarrierToInterference(aFrame.I16(23), aFrame.I16(25));
  d.snr = RoundTo2Decimals(SinrToEcIo(d.ci));
  d.RxPowerAntenna_1 = PowerDb(aFrame.I16(27));
  ++FTXPacketsCount;
  return true;
}

bool TModem::ParseNeighborDataLog(const TFrameReader& aFrame) {
  ::NeighborData& d = FDataNeighbor;
  d = ::NeighborData{};
  d.SetBlank();
  if (aFrame.Size() < aFrame.U16(2)) return true;
  StampHeader(d, aFrame);
  d.Pilot = aFrame.U8(16);
  d.ACount = aFrame.U8(17);
  d.AWindow = aFrame.U8(18);
  d.Channel = aFrame.U16(19) & 0x3FF;
  d.CCount = aFrame.U8(22);
  d.CWindow = aFrame.U8(23);
  d.NCount = aFrame.U8(24);
  d.RWindow = aFrame.U8(25);
  d.APilotPn = PilotOffset(aFrame.I16(27));
  d.APilotEng = PilotEnergy(aFrame.I16(29));

  const int candidates = std::min<int>(d.CCount, ::NeighborData::kMaxCandidates);
  for (int i = 0; i < candidates; ++i) ReadPilotEntry(aFrame, kFirstPilotEntry + kPilotEntryBytes * i, d.CandidatArr[i]);
  // The neighbours follow every candidate the packet holds, kept or not.
  const size_t firstNeighbor = kFirstPilotEntry + kPilotEntryBytes * d.CCount;
  const int neighbors = std::min<int>(d.NCount, ::NeighborData::kMaxNeighbors);
  for (int j = 0; j < neighbors; ++j) ReadPilotEntry(aFrame, firstNeighbor + kPilotEntryBytes * j, d.NeighborArr[j]);
  return true;
}

bool TModem::ParseArqDataALog(const TFrameReader& aFrame) {
  if (aFrame.Size() < aFrame.U16(2)) return true;
  ARQData_A& d = FArqDataA;
  d.ZeroInit();
  ReadArqBlock(aFrame, kArqBlock0, d.SlotDataArray_0, d.SlotCount_0, d.DrcLockArray_0, d.Reserved3_0, d.DrcLockCount_0,
               d.BestAspArray_0);
  ReadArqBlock(aFrame, kArqBlock1, d.SlotDataArray_1, d.SlotCount_1, d.DrcLockArray_1, d.Reserved3_1, d.DrcLockCount_1,
               d.BestAspArray_1);
  return true;
}
