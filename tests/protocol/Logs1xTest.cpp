// The 1x logs: paging channel (base station, sector) and pilot set (powers, paths, fingers).
#include <gtest/gtest.h>

#include <cmath>

#include "LogPacketBuilder.h"

namespace {

using Logs1x = SessionFixture;

TPacket PagingLog(uint16_t aWord) { return TPacket::Log(0x1007, 50).U8(17, 1).U16(32, aWord); }

// A pilot set log with the given path and finger counts and room for all of them.
TPacket PilotSetLog(uint8_t aPaths, uint8_t aFingers) {
  return TPacket::Log(0x102D, 39 + 4 * aPaths + 10 * aFingers).U8(37, aPaths).U8(38, aFingers);
}

}  // namespace

TEST_F(Logs1x, PagingChannelSplitsTheWordIntoBaseAndSector) {
  struct Case {
    const char* Name;
    TPacket Packet;
    uint16_t Base;
    uint8_t Sector;
  } cases[] = {
      {"0x1234", PagingLog(0x1234), 0x132, 4},
      {"zero base keeps the last", PagingLog(0x0000), 0x132, 4},
      {"0xABCD: the nibbles overlap", PagingLog(0xABCD), 0xAFB, 0xD},
      {"length 45", PagingLog(0x1111).Length(45), 0xAFB, 0xD},
      {"byte 17 not 1", PagingLog(0x1111).U8(17, 2), 0xAFB, 0xD},
      {"sector only: base from the low nibble's high half", PagingLog(0x00F3), 0x0F0, 3},
  };
  FModem.SetEvdoType(evtEv1X);
  for (const Case& c : cases) {
    Receive(c.Packet);
    EXPECT_EQ(FModem.PagingChannelMessage().base_id, c.Base) << c.Name;
    EXPECT_EQ(FModem.PagingChannelMessage().sector_id, c.Sector) << c.Name;
    EXPECT_EQ(FModem.BaseID(), c.Base) << c.Name;
    EXPECT_EQ(FModem.SectorID(), c.Sector) << c.Name;
  }
}

TEST_F(Logs1x, PilotSetScalarsComeFromTheirBytesAndBits) {
  const TPacket packet = PilotSetLog(0, 0)
                             .U8(16, 0b101)
                             .U8(17, 7)
                             .U8(18, 1)
                             .U8(19, 64)
                             .U8(20, 3)
                             .U16(21, 0xA000 | 0x1FF | 0x200)  // PN 511, bits 9, 13, 15
                             .U32(23, 0x89ABCDEF)
                             .U16(27, 0x1234)
                             .U8(29, 0xFF)
                             .U8(30, 30)
                             .U8(31, 0x10)
                             .U8(32, 3)
                             .U8(33, 5)
                             .U16(34, 0x4321)
                             .U8(36, 0b1011010);
  Receive(packet);
  const PilotSet_Data d = FModem.PilotSetData();
  EXPECT_EQ(d.TransmitPilot, 1);
  EXPECT_EQ(d.TransmitEnabled, 0);
  EXPECT_EQ(d.PilotType, 1);
  EXPECT_EQ(d.BandClass, 7);
  EXPECT_EQ(d.PilotPnOffset, 511);
  EXPECT_EQ(d.PilotInCandidateFrequencySearchSet, 1);
  EXPECT_EQ(d.PilotNotTheReferencePilot, 0);
  EXPECT_EQ(d.PilotInPrecandidateSet, 0);
  EXPECT_EQ(d.PilotInRemainingSet, 0);
  EXPECT_EQ(d.PilotInNeighborSet, 1);
  EXPECT_EQ(d.PilotInCandidateSet, 0);
  EXPECT_EQ(d.PilotInActiveSet, 1);
  EXPECT_EQ(d.WindowPosition, 0x89ABCDEFu);
  EXPECT_EQ(d.WindowSize, 0x1234);
  EXPECT_FLOAT_EQ(d.RX_AGC, 21.752f);
  EXPECT_FLOAT_EQ(d.TX_AGC, -42.25f);
  EXPECT_FLOAT_EQ(d.TX_Gain_Adjust, -8.0f);
  EXPECT_FLOAT_EQ(d.TX_Power_Limit, -51.33f);
  EXPECT_EQ(d.SearcherState, 5);
  EXPECT_EQ(d.RadioConfig_FCH, 1);
  EXPECT_EQ(d.RadioConfig_SCH0, 2);
  EXPECT_EQ(d.RadioConfig_SCH1, 3);
  EXPECT_EQ(d.RadioConfig_DCCH, 4);
  EXPECT_EQ(d.ChanelMask_FCH, 0);
  EXPECT_EQ(d.ChanelMask_SCH0, 1);
  EXPECT_EQ(d.ChanelMask_SCH1, 0);
  EXPECT_EQ(d.ChanelMask_DCCH, 1);
  EXPECT_EQ(d.ChanelMask_ScchCount, 5);
  EXPECT_EQ(FModem.RXPacketsCount(), 1u);

  Receive(PilotSetLog(0, 0).U8(29, 0).U8(31, 0x7F));
  EXPECT_FLOAT_EQ(FModem.PilotSetData().RX_AGC, -63.248f);
  EXPECT_FLOAT_EQ(FModem.PilotSetData().TX_Gain_Adjust, 0.0f);
  EXPECT_EQ(FModem.PilotSetData().WindowSize, 0) << "a later log replaces the whole record";
}

TEST_F(Logs1x, PathEnergySubtractsTheSearcherGain) {
  struct Case {
    uint8_t Pregain, Integration, NonCoherent;
    uint16_t E;
    float Energy;
  } cases[] = {
      {1, 64, 0, 1000, static_cast<float>(30 + 78.445 - static_cast<float>(20 * std::log10(1024.0)) - 60.89)},
      {0, 1, 4, 100, static_cast<float>(20 + 78.445 - static_cast<float>(20 * std::log10(8.0) + 10 * std::log10(4.0)) - 60.89)},
      {3, 255, 1, 65535, static_cast<float>(10 * std::log10(65535.0) + 78.445 - static_cast<float>(20 * std::log10(16 * 255 * 4.0)) - 60.89)},
      {1, 64, 0, 0, 0},    // no energy
      {4, 64, 0, 1000, 0},  // a pregain without a factor: the gain would be log(0)
      {1, 0, 0, 1000, 0},   // no integration: the same
  };
  for (const Case& c : cases) {
    Receive(PilotSetLog(1, 0).U8(18, c.Pregain).U8(19, c.Integration).U8(20, c.NonCoherent).U16(39, 77).U16(41, c.E));
    const PilotSet_Data d = FModem.PilotSetData();
    EXPECT_EQ(d.pathArray[0].Position, 77);
    EXPECT_FLOAT_EQ(d.pathArray[0].Energy, c.Energy) << +c.Pregain << " " << +c.Integration << " " << c.E;
  }
  Receive(PilotSetLog(1, 0).U8(18, 1).U8(19, 64).U16(41, 1000));
  EXPECT_NEAR(FModem.PilotSetData().pathArray[0].Energy, -12.651f, 0.001f);
}

TEST_F(Logs1x, FingersFollowThePathsTheirEnergyIsMinus40WhenZero) {
  TPacket packet = PilotSetLog(2, 2);
  packet.U16(39 + 8, 0x0102).U8(39 + 8 + 2, 9).U8(39 + 8 + 3, 100).U32(39 + 8 + 4, 0xDEADBEEF).U16(39 + 8 + 8, 0b110);
  packet.U8(39 + 18 + 3, 0).U16(39 + 18 + 8, 0b010);
  Receive(packet);
  PilotSet_Data d = FModem.PilotSetData();
  EXPECT_EQ(d.fingerArray[0].Pilot, 0x0102);
  EXPECT_EQ(d.fingerArray[0].Tag, 9);
  EXPECT_FLOAT_EQ(d.fingerArray[0].Energy, 20.0f - 24.6f);
  EXPECT_EQ(d.fingerArray[0].Position, 0xDEADBEEFu);
  EXPECT_EQ(d.fingerArray[0].Flag0, 0);
  EXPECT_EQ(d.fingerArray[0].Flag1, 1);
  EXPECT_EQ(d.fingerArray[0].Flag2, 1);
  EXPECT_FLOAT_EQ(d.fingerArray[1].Energy, -40.0f);
  EXPECT_EQ(d.fingerArray[1].Flag1, 1);
  EXPECT_EQ(d.fingerArray[1].Flag2, 0);
  EXPECT_FLOAT_EQ(FModem.MaxStrengthPilot(), 20.0f - 24.6f);

  // No paths: the fingers start at byte 39.
  Receive(PilotSetLog(0, 2).U8(39 + 3, 10));
  EXPECT_FLOAT_EQ(FModem.PilotSetData().fingerArray[0].Energy, 10.0f - 24.6f);
  Receive(PilotSetLog(0, 0));
  EXPECT_FLOAT_EQ(FModem.MaxStrengthPilot(), 0.0f);
}

TEST_F(Logs1x, CountsAboveSixAreStoredAsSentAndOnlySixEntriesFilled) {
  // Nine paths in the packet: the fingers sit after all nine, not after the six kept.
  TPacket packet = PilotSetLog(9, 8).U8(18, 1).U8(19, 64);
  for (int i = 0; i < 9; ++i) packet.U16(39 + 4 * i, static_cast<uint16_t>(100 + i)).U16(41 + 4 * i, 1000);
  for (int j = 0; j < 8; ++j) packet.U16(39 + 36 + 10 * j, static_cast<uint16_t>(200 + j)).U8(39 + 36 + 10 * j + 3, 1);
  Receive(packet);
  const PilotSet_Data d = FModem.PilotSetData();
  EXPECT_EQ(d.NumberOfPaths, 9);
  EXPECT_EQ(d.NumberOfFingers, 8);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(d.pathArray[i].Position, 100 + i);
  for (int j = 0; j < 6; ++j) EXPECT_EQ(d.fingerArray[j].Pilot, 200 + j);
}
