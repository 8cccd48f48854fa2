// The Rev B carrier logs: slot DRC indices, carrier powers, searcher state.
#include <gtest/gtest.h>

#include "LogPacketBuilder.h"

namespace {

using LogsRevB = SessionFixture;

// A slot word whose bits 16..23 hold aIndex; the other bits are noise the parser must drop.
uint32_t SlotWord(uint8_t aIndex, uint8_t aTop = 0) { return static_cast<uint32_t>(aTop) << 24 | aIndex << 16 | 0xBEEF; }

// One 0x1298 packet with aCarriers carriers, each slot j of carrier c holding aIndex(c, j).
template <class F>
TPacket ArqLog(uint8_t aCarriers, F aIndex, uint8_t aAnnounced) {
  TPacket p = TPacket::Log(0x1298, 18 + 70 + 72 * (aCarriers > 1 ? aCarriers - 1 : 0)).U8(16, 2).U8(17, aAnnounced);
  size_t at = 18;
  for (uint8_t c = 0; c < aCarriers; ++c) {
    p.U8(at, static_cast<uint8_t>(0xC0 + c)).U8(at + 1, 0x3A).U8(at + 2, 0xBC).U8(at + 3, 0xDE).U8(at + 4, 0x55);
    const size_t s = at + (c == 0 ? 6 : 8);
    for (uint8_t j = 0; j < 16; ++j) p.U32(s + 4 * j, SlotWord(aIndex(c, j)));
    at = s + 64;
  }
  return p;
}

TPacket PowerLog(uint8_t aCarriers) {
  return TPacket::Log(0x129C, 72).U8(16, 1).U8(17, 2).U8(18, 1).U16(19, 0x1234).U8(21, 0x00).U8(22, 0xF6).U8(23, aCarriers);
}

}  // namespace

TEST_F(LogsRevB, ArqLogReadsEachCarrierDescriptorAndSlotIndices) {
  Receive(ArqLog(3, [](uint8_t c, uint8_t j) { return static_cast<uint8_t>(c * 5 + j % 3); }, 3));
  const ARQData_B d = FModem.EvdoArqDataB();
  EXPECT_EQ(d.Version, 2);
  EXPECT_EQ(d.NumCarriers, 3);
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(c);
    const ArqCarrierB& carrier = d.carrData[c];
    EXPECT_EQ(carrier.CarrierTag, 0xC0 + c);
    EXPECT_EQ(carrier.DescLow, 0x0A);   // bits 0..3 of 0xDEBC3A
    EXPECT_EQ(carrier.DescMid, 0xEBC);  // bits 8..19
    EXPECT_EQ(carrier.DescHigh, 0x0D);  // bits 20..23
    EXPECT_EQ(carrier.DescFlags, 0x55);
    for (int j = 0; j < 16; ++j) EXPECT_EQ(carrier.Slots[j].DRC, c * 5 + j % 3) << j;
    EXPECT_EQ(carrier.Slots[4], (ArqSlotB{{}, static_cast<uint8_t>(c * 5 + 1), {}})) << "only DRC is filled";
  }
  // Best indices 2, 7 and 12 per carrier.
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 76.8f + 614.4f + 2457.6f);
}

TEST_F(LogsRevB, ArqIndicesAbove27ReadAsZero) {
  TPacket p = ArqLog(1, [](uint8_t, uint8_t) { return uint8_t{0}; }, 1);
  p.U32(24, SlotWord(12)).U32(28, SlotWord(27)).U32(32, SlotWord(28)).U32(36, SlotWord(10, 0xFF));
  Receive(p);
  const ARQData_B d = FModem.EvdoArqDataB();
  EXPECT_EQ((std::array{d.carrData[0].Slots[0].DRC, d.carrData[0].Slots[1].DRC, d.carrData[0].Slots[2].DRC,
                        d.carrData[0].Slots[3].DRC, d.carrData[0].Slots[4].DRC}),
            (std::array<uint8_t, 5>{12, 27, 0, 10, 0}));
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 4915.2f);
}

TEST_F(LogsRevB, ArqLogThatEndsEarlyKeepsZerosWhereItDidNotReach) {
  // 40 bytes, one carrier: slot words at 24, 28, 32 and 36 only.
  TPacket p = TPacket::Log(0x1298, 40).U8(17, 1);
  for (size_t at = 24; at < 40; at += 4) p.U32(at, SlotWord(9));
  Receive(p);
  ARQData_B d = FModem.EvdoArqDataB();
  for (int j = 0; j < 16; ++j) EXPECT_EQ(d.carrData[0].Slots[j].DRC, j < 4 ? 9 : 0) << j;

  // A second carrier announced but beyond the end: left zero, the first one read.
  Receive(ArqLog(1, [](uint8_t, uint8_t) { return uint8_t{3}; }, 2));
  d = FModem.EvdoArqDataB();
  EXPECT_EQ(d.NumCarriers, 2);
  EXPECT_EQ(d.carrData[0].Slots[15].DRC, 3);
  EXPECT_EQ(d.carrData[1], ArqCarrierB{});
  // Both counted: the unreached carrier still adds the rate of index 0.
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 153.6f + 38.4f);
}

TEST_F(LogsRevB, ArqLogRejectionAndCarrierCounts) {
  Receive(ArqLog(2, [](uint8_t, uint8_t j) { return static_cast<uint8_t>(j == 0 ? 14 : 0); }, 2));
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 3072.0f * 2);

  // A length field beyond the packet: nothing changes.
  Receive(ArqLog(1, [](uint8_t, uint8_t) { return uint8_t{27}; }, 1).Length(500));
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 3072.0f * 2);

  // No carriers: all zero, no rate.
  Receive(ArqLog(0, [](uint8_t, uint8_t) { return uint8_t{0}; }, 0));
  ARQData_B expected;
  expected.Version = 2;
  EXPECT_EQ(FModem.EvdoArqDataB(), expected);
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 0.0f);

  // One carrier with every slot at index 0 still counts 38.4.
  Receive(ArqLog(1, [](uint8_t, uint8_t) { return uint8_t{0}; }, 1));
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 38.4f);

  // Nine announced: the count is kept as sent, three carriers are read and summed.
  Receive(ArqLog(3, [](uint8_t c, uint8_t) { return static_cast<uint8_t>(c == 2 ? 27 : 14); }, 9));
  EXPECT_EQ(FModem.EvdoArqDataB().NumCarriers, 9);
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 3072.0f + 3072.0f + 4915.2f);

  FModem.ClearDRC();
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 0.0f);
}

TEST_F(LogsRevB, PowerLogFillsTheHeaderAndEachCarrier) {
  TPacket p = PowerLog(2);
  p.U8(24, 0x3A).U8(25, 0xBC).U8(26, 0xDE).U8(27, 0b11);
  p.I16(28, 256).I16(30, -256).I16(32, 512).I16(34, 2560).I16(36, -20480).I16(38, -1);
  p.U8(40 + 3, 0b10).I16(40 + 10, 0).I16(40 + 12, 0);
  Receive(p);
  const CarrierData_RevB d = FModem.CarrDataRevB();
  EXPECT_EQ(d.Version, 1);
  EXPECT_EQ(d.LNAGain, 2);
  EXPECT_EQ(d.TxEnable, 1);
  EXPECT_EQ(d.HsReferCount, 0x1234);
  EXPECT_FLOAT_EQ(d.TotalTxPower, -10.0f);
  EXPECT_EQ(d.numData, 2);
  const CarrierPowerB& c0 = d.carrArray[0];
  EXPECT_EQ(c0.DescLow, 0x0A);
  EXPECT_EQ(c0.DescMid, 0xEBC);
  EXPECT_EQ(c0.DescHigh, 0x0D);
  EXPECT_EQ(c0.FlagBit0, 1);
  EXPECT_EQ(c0.FlagBit1, 1);
  EXPECT_FLOAT_EQ(c0.TxOpen, 1.0f);
  EXPECT_FLOAT_EQ(c0.TxClosed, -1.0f);
  EXPECT_FLOAT_EQ(c0.TxPilot, 2.0f);
  EXPECT_FLOAT_EQ(c0.TxTotal, 10.0f);
  EXPECT_FLOAT_EQ(c0.RxPowerAntenna_0, -80.0f);
  EXPECT_FLOAT_EQ(c0.RxPowerAntenna_1, -1.0f / 256);
  EXPECT_FLOAT_EQ(c0.ci, 10.36f);
  EXPECT_FLOAT_EQ(c0.snr, -0.39f);
  EXPECT_EQ(d.carrArray[1].FlagBit0, 0);
  EXPECT_EQ(d.carrArray[1].FlagBit1, 1);
  EXPECT_FLOAT_EQ(d.carrArray[1].ci, 0.0f);
  EXPECT_FLOAT_EQ(d.carrArray[1].snr, -3.01f) << "SinrToEcIo(0)";
  EXPECT_EQ(d.carrArray[2], CarrierPowerB{});
  EXPECT_EQ(FModem.TXPacketsCount(), 1u);
}

TEST_F(LogsRevB, PowerLogIsClearedEvenWhenRejected) {
  Receive(PowerLog(1).I16(34, 2560));
  ASSERT_FLOAT_EQ(FModem.CarrDataRevB().carrArray[0].TxTotal, 10.0f);
  const TPacket rejected[] = {PowerLog(1).Length(67), PowerLog(1).Length(69)};
  for (const TPacket& p : rejected) {
    Receive(p);
    EXPECT_EQ(FModem.CarrDataRevB(), CarrierData_RevB{});
    EXPECT_EQ(FModem.CarrDataRevB().TimeStr, "");
  }
  Receive(TByteView(PowerLog(1).Bytes()).substr(0, 67));
  EXPECT_EQ(FModem.CarrDataRevB(), CarrierData_RevB{});
  EXPECT_EQ(FModem.TXPacketsCount(), 1u);

  // No carriers announced: accepted and counted, carriers zero.
  Receive(PowerLog(0).I16(34, 2560));
  EXPECT_FLOAT_EQ(FModem.CarrDataRevB().TotalTxPower, -10.0f);
  EXPECT_EQ(FModem.CarrDataRevB().carrArray[0], CarrierPowerB{});
  EXPECT_EQ(FModem.TXPacketsCount(), 2u);

  // More than three announced: the count as sent, three carriers filled.
  Receive(PowerLog(7).I16(24 + 32 + 10, 512));
  EXPECT_EQ(FModem.CarrDataRevB().numData, 7);
  EXPECT_FLOAT_EQ(FModem.CarrDataRevB().carrArray[2].TxTotal, 2.0f);
}

TEST_F(LogsRevB, SearcherStateThreeIsSleep) {
  FModem.SetEvdoType(evtRevB);
  Receive(TPacket::Log(0x12A1, 19).U8(16, 1).U8(17, 4).U8(18, 3));
  EXPECT_EQ(FModem.SearcherState(), 3);
  EXPECT_EQ(FModem.MultiCarrPilotSets().PilotPnIncrement, 4);
  EXPECT_EQ(FModem.GetEvdoType(), "Sleep");
  Receive(TPacket::Log(0x12A1, 19).U8(18, 2));
  EXPECT_EQ(FModem.GetEvdoType(), "Rev.B");
  // Cut before byte 18: the state reads as zero.
  Receive(TByteView(TPacket::Log(0x12A1, 19).U8(18, 3).Bytes()).substr(0, 18));
  EXPECT_EQ(FModem.SearcherState(), 0);
}
