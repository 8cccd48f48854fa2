// The Rev A power, pilot and slot logs, SinrToEcIo, and the sector and access logs.
#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <limits>

#include "LogPacketBuilder.h"
#include "common/WindowMessages.h"

namespace {

using LogsRevA = SessionFixture;
using LogsSector = SessionFixture;

TPacket PowerLog(int16_t aTxTotal, int16_t aRx0) {
  return TPacket::Log(0x1069, 42).U8(16, 3).I16(17, 256).I16(19, -512).I16(21, 128).I16(23, aTxTotal).I16(25, aRx0).I16(27, -32768);
}

TPacket NeighborLog(uint8_t aCandidates, uint8_t aNeighbors) {
  return TPacket::Log(0x108B, 37 + 10 * (aCandidates + aNeighbors)).U8(22, aCandidates).U8(24, aNeighbors);
}

}  // namespace

TEST(SinrToEcIo, TableRowsStepsAndGaps) {
  const std::pair<float, double> cases[] = {
      {20.0f, -0.04},        {20.1f, 0},     {15.5f, -0.14 + 5 * 0.01}, {17.3f, 0},  // no row for 16..19
      {10.36f, -0.386},      {10.7f, -0.41 + 6 * 0.008},                             // 10.7 is 10.6999998: n = 6
      {-0.5f, -3.01},        {-5.5f, 0},     {-12.0f, -12.27},          {-12.5f, 0},
      {-3.9f, -4.76},        {0.0f, -3.01},  {14.99f, -0.17 + 9 * 0.003},
      {std::numeric_limits<float>::quiet_NaN(), 0},
  };
  for (auto [x, expected] : cases) EXPECT_NEAR(SinrToEcIo(x), expected, 1e-5) << x;
}

TEST(RoundTo2Decimals, HalvesGoToTheEvenNeighbour) {
  const std::pair<double, float> cases[] = {
      {0.125, 0.12f}, {0.375, 0.38f}, {-0.125, -0.12f}, {-0.375, -0.38f}, {10.3616, 10.36f}, {-0.386, -0.39f}, {0.0, 0.0f},
  };
  for (auto [value, rounded] : cases) EXPECT_FLOAT_EQ(RoundTo2Decimals(value), rounded) << value;
}

TEST_F(LogsRevA, PowerLogFillsPowersAndDerivesCiAndSnr) {
  FModem.SetEvdoType(evtRevA);
  Receive(PowerLog(2560, -20480));
  const CarrierDataRevA_ d = FModem.CarrDataRevA();
  EXPECT_EQ(d.Version, 3);
  EXPECT_FLOAT_EQ(d.TxOpen, 1.0f);
  EXPECT_FLOAT_EQ(d.TxClosed, -2.0f);
  EXPECT_FLOAT_EQ(d.TxPilot, 0.5f);
  EXPECT_FLOAT_EQ(d.TxTotal, 10.0f);
  EXPECT_FLOAT_EQ(d.RxPowerAntenna_0, -80.0f);
  EXPECT_FLOAT_EQ(d.RxPowerAntenna_1, -128.0f);
  EXPECT_FLOAT_EQ(d.ci, 10.36f);
  EXPECT_FLOAT_EQ(d.snr, -0.39f);
  EXPECT_NE(d.TimeStr.Length, 0);
  EXPECT_FLOAT_EQ(FModem.TotalTXPower(), 10.0f);
  EXPECT_FLOAT_EQ(FModem.RXValue(), -80.0f);
  EXPECT_EQ(FModem.TXPacketsCount(), 1u);

  // Rejected: powers and header cleared, ci and snr kept from the last good packet.
  for (TPacket bad : {PowerLog(100, 100).Length(37), PowerLog(100, 100).Length(39)}) {
    Receive(bad);
    const CarrierDataRevA_ r = FModem.CarrDataRevA();
    EXPECT_FLOAT_EQ(r.TxTotal, 0.0f);
    EXPECT_EQ(r.Version, 0);
    EXPECT_EQ(r.TimeStr.Length, 0);
    EXPECT_EQ(r.DateStr.Length, 0);
    EXPECT_FLOAT_EQ(r.ci, 10.36f);
    EXPECT_FLOAT_EQ(r.snr, -0.39f);
  }
  // A frame cut before byte 38 is refused although its length field is right.
  Receive(TByteView(PowerLog(100, 100).Bytes()).substr(0, 37));
  EXPECT_FLOAT_EQ(FModem.CarrDataRevA().TxTotal, 0.0f);
  EXPECT_EQ(FModem.TXPacketsCount(), 1u);
}

TEST_F(LogsRevA, NeighborLogReadsTheActivePilotAndItsEntries) {
  TPacket packet = NeighborLog(2, 1)
                       .U8(16, 1)
                       .U8(17, 2)
                       .U8(18, 3)
                       .U16(19, 0xFC83)  // channel 0x083
                       .U8(23, 5)
                       .U8(25, 6)
                       .I16(27, 580)
                       .I16(29, 256);
  packet.U16(37, 0xFFFF).I16(39, 512).I16(41, 600);
  packet.U16(47, 0x0123).I16(49, 0).I16(51, -1);
  packet.U16(57, 0x0042).I16(59, -7).I16(61, 580);
  Receive(packet);
  const NeighborData d = FModem.NeighborData();
  EXPECT_EQ(d.Pilot, 1);
  EXPECT_EQ(d.ACount, 2);
  EXPECT_EQ(d.AWindow, 3);
  EXPECT_EQ(d.Channel, 0x083);
  EXPECT_EQ(d.CCount, 2);
  EXPECT_EQ(d.CWindow, 5);
  EXPECT_EQ(d.NCount, 1);
  EXPECT_EQ(d.RWindow, 6);
  EXPECT_EQ(d.APilotPn, 580);
  EXPECT_NEAR(d.APilotEng, -3.0103f, 1e-4);
  EXPECT_EQ(d.CandidatArr[0].PilotPn, 0x5FF);
  EXPECT_FLOAT_EQ(d.CandidatArr[0].PilotEng, 0.0f);
  EXPECT_EQ(d.CandidatArr[0].PilotPos, 0) << "600 is out of range";
  EXPECT_EQ(d.CandidatArr[1].PilotPn, 0x123);
  EXPECT_FLOAT_EQ(d.CandidatArr[1].PilotEng, 0.0f);
  EXPECT_EQ(d.CandidatArr[1].PilotPos, 0) << "negative";
  EXPECT_EQ(d.NeighborArr[0].PilotPn, 0x42);
  EXPECT_FLOAT_EQ(d.NeighborArr[0].PilotEng, 0.0f) << "a negative energy has no logarithm";
  EXPECT_EQ(d.NeighborArr[0].PilotPos, 580);

  Receive(NeighborLog(0, 1).U16(37, 0x0077).I16(27, 581));
  EXPECT_EQ(FModem.NeighborData().NeighborArr[0].PilotPn, 0x77) << "no candidates: the neighbours start at 37";
  EXPECT_EQ(FModem.NeighborData().APilotPn, 0);
}

TEST_F(LogsRevA, NeighborCountsAboveTheArraysAreStoredAsSent) {
  TPacket packet = NeighborLog(8, 45);
  for (int i = 0; i < 8; ++i) packet.U16(37 + 10 * i, static_cast<uint16_t>(i + 1));
  for (int j = 0; j < 45; ++j) packet.U16(37 + 80 + 10 * j, static_cast<uint16_t>(100 + j));
  Receive(packet);
  const NeighborData d = FModem.NeighborData();
  EXPECT_EQ(d.CCount, 8);
  EXPECT_EQ(d.NCount, 45);
  EXPECT_EQ(d.CandidatArr[5].PilotPn, 6);
  EXPECT_EQ(d.NeighborArr[0].PilotPn, 100);
  EXPECT_EQ(d.NeighborArr[39].PilotPn, 139);
}

TEST_F(LogsRevA, NeighborLogShorterThanItsLengthOnlyResets) {
  Receive(NeighborLog(0, 0).U8(16, 9));
  ASSERT_EQ(FModem.NeighborData().Pilot, 9);
  Receive(NeighborLog(0, 0).U8(16, 9).Length(40));
  const NeighborData d = FModem.NeighborData();
  EXPECT_EQ(d.Pilot, 0);
  EXPECT_EQ(d.TimeStr, " ");
  EXPECT_EQ(d.DateStr, " ");
}

TEST_F(LogsRevA, SlotLogSplitsWordsLockFlagsAndBestAsp) {
  TPacket packet = TPacket::Log(0x108C, 118);
  packet.U16(16, 0xFFFF).U16(18, 0x4000).U16(20, 0x0C00).U8(48, 16).U16(49, 0xA5F0).U8(51, 0b11101010);
  packet.U16(67 + 30, 0x0E00).U8(67 + 32, 7).U16(67 + 33, 0x0FFF).U8(67 + 50, 0xFF);
  Receive(packet);
  const ARQData_A d = FModem.EvdoArqDataA();
  const ArqSlotA all = d.SlotDataArray_0[0];
  EXPECT_EQ((std::array{all.SlotLow, all.SlotMid, all.Drc, all.SlotBit12, all.SlotBit13, all.SlotBit15}),
            (std::array<uint8_t, 6>{7, 31, 15, 1, 1, 2}));
  EXPECT_EQ(d.SlotDataArray_0[1], ArqSlotA{}) << "bit 14 is not kept";
  EXPECT_EQ(d.SlotDataArray_0[2].Drc, 12);
  EXPECT_EQ(d.SlotCount_0, 16);
  uint8_t flags[12];
  for (int i = 0; i < 6; ++i) {
    flags[2 * i] = d.DrcLockArray_0[i].Lock0;
    flags[2 * i + 1] = d.DrcLockArray_0[i].Lock1;
  }
  EXPECT_EQ(std::vector<uint8_t>(flags, flags + 12), (std::vector<uint8_t>{0, 0, 0, 0, 1, 1, 1, 1, 1, 0, 1, 0}));
  EXPECT_EQ(d.Reserved3_0, 10);
  EXPECT_EQ(d.DrcLockCount_0, 0xA5);
  EXPECT_EQ(d.BestAspArray_0[0].AspLow, 2);
  EXPECT_EQ(d.BestAspArray_0[0].AspMid, 5);
  EXPECT_EQ(d.BestAspArray_0[0].AspHigh, 3);
  EXPECT_EQ(d.SlotDataArray_1[15].Drc, 14);
  EXPECT_EQ(d.SlotCount_1, 7);
  EXPECT_EQ(d.Reserved3_1, 0);
  EXPECT_EQ(d.DrcLockCount_1, 0x0F);
  EXPECT_EQ(d.DrcLockArray_1[5].Lock1, 1);
  EXPECT_EQ(d.BestAspArray_1[15].AspHigh, 3);

  // Rates: block 0 holds indices 15 (no rate) and 12, block 1 index 14.
  EXPECT_FLOAT_EQ(FModem.ARQDataA(), 3072.0f);

  // Shorter than its length field: ignored, the last packet stays.
  Receive(TPacket::Log(0x108C, 118).Length(200));
  EXPECT_EQ(FModem.EvdoArqDataA().SlotCount_0, 16);
}

TEST_F(LogsRevA, ArqRateIsTheLargestSlotRateOfEitherBlock) {
  struct Case {
    uint8_t Index0, Index1;
    float Rate;
  } cases[] = {{0, 0, 0.0f}, {12, 0, 2457.6f}, {15, 0, 0.0f}, {1, 3, 153.6f}, {13, 11, 1843.2f}};
  for (const Case& c : cases) {
    Receive(TPacket::Log(0x108C, 118).U16(16 + 2 * 5, static_cast<uint16_t>(c.Index0 << 8)).U16(67, static_cast<uint16_t>(c.Index1 << 8)));
    EXPECT_FLOAT_EQ(FModem.ARQDataA(), c.Rate) << +c.Index0 << " " << +c.Index1;
  }
  FModem.ClearDRC();
  EXPECT_FLOAT_EQ(FModem.ARQDataA(), 0.0f);
  EXPECT_EQ(FModem.EvdoArqDataA(), ARQData_A{});
}

TEST_F(LogsSector, ServingSectorAndAttemptCountersSetCellFacePn) {
  struct Case {
    const char* Name;
    TPacket Packet;
    bool Taken;
    int32_t Cell, Face, Pn;
  } cases[] = {
      {"0x1080", TPacket::Log(0x1080, 36).U16BE(29, 300).U8(31, 2).U16(34, 300), true, 300, 2, 300},
      {"0x1080 length 33", TPacket::Log(0x1080, 37).U16BE(29, 1).U8(31, 1).U16(34, 1), false, 300, 2, 300},
      {"0x106C", TPacket::Log(0x106C, 42).U32(23, 11).U32(27, 22).U32(31, 0xFFFFFFFF).U16(35, 511).U8(37, 5).U16(38, 0xFFFF),
       true, 0xFFFF, 5, 511},
      {"0x106C length 37", TPacket::Log(0x106C, 41).U16(38, 7), false, 0xFFFF, 5, 511},
      {"0x1080 cell is big-endian", TPacket::Log(0x1080, 36).U8(29, 0x01).U8(30, 0x2C), true, 300, 0, 0},
      {"0x106C cell is little-endian", TPacket::Log(0x106C, 42).U8(38, 0x2C).U8(39, 0x01), true, 300, 0, 0},
  };
  for (const Case& c : cases) {
    Receive(c.Packet);
    EXPECT_EQ(FModem.CellNumber(), c.Cell) << c.Name;
    EXPECT_EQ(FModem.FaceNumber(), c.Face) << c.Name;
    EXPECT_EQ(FModem.PnNumber(), c.Pn) << c.Name;
    EXPECT_EQ(TakeMessages(), c.Taken ? std::vector<uint32_t>{WM_MODEM_SECTOR} : std::vector<uint32_t>{}) << c.Name;
  }
  EXPECT_EQ(FModem.SuccessCount(), 0u);  // the last 0x106C carried zeros
  Receive(TPacket::Log(0x106C, 42).U32(23, 11).U32(27, 22).U32(31, 0xFFFFFFFF));
  EXPECT_EQ(FModem.SuccessCount(), 11u);
  EXPECT_EQ(FModem.FailureCount(), 22u);
  EXPECT_EQ(FModem.AttemptsCount(), 0xFFFFFFFFu);
}

TEST_F(LogsSector, AccessChannelFillsTheSectorIdentity) {
  const TPacket packet = TPacket::Log(0x107C, 41)
                             .U8(16, 1)
                             .U16(17, 283)
                             .U16(19, 0x0102)
                             .U16(21, 0x0304)
                             .U8(23, 5).U8(24, 6).U8(25, 7).U8(26, 8).U8(27, 9).U8(28, 10).U8(29, 11)
                             .U8(30, 0x12).U8(31, 0x34)
                             .U8(32, 12)
                             .U16(33, 0xBEEF)
                             .U16(35, 0xCAFE);
  Receive(packet);
  const SignalingAccessChannel d = FModem.SignalingAccessChannel();
  EXPECT_EQ(d.BandClass, 1);
  EXPECT_EQ(d.ChannelNumber, 283);
  EXPECT_EQ(d.PilotPn, 0x0102);
  EXPECT_EQ(d.HSTR, 0x0304);
  EXPECT_EQ((std::array{d.SomeData, d.SeqNo, d.AckSeqNo, d.SyncCCFlag, d.MSG, d.MessageID, d.ColorCode}),
            (std::array<uint8_t, 7>{5, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(d.BtsID, 0x1234);
  EXPECT_EQ(d.SectorID, 12);
  EXPECT_EQ(d.SectorSignature, 0xBEEF);
  EXPECT_EQ(d.AccessSignature, 0xCAFE);
  EXPECT_NE(d.DateStr.Length, 0);
  EXPECT_TRUE(TakeMessages().empty());

  Receive(TPacket::Log(0x107C, 40).U8(30, 0x77));
  EXPECT_EQ(FModem.SignalingAccessChannel().BtsID, 0x1234) << "length 36 is ignored";
}
