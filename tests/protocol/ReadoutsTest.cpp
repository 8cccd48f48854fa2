// The session's read-outs for each link type, and the record header stamp.
#include <gtest/gtest.h>

#include "LogPacketBuilder.h"
#include "common/DateTime.h"

namespace {

class Readouts : public SessionFixture {
 protected:
  // One packet of each family the read-outs look at.
  void FillEveryRecord(uint8_t aSearcherState) {
    Receive(TPacket::Log(0x1007, 50).U8(17, 1).U16(32, 0x1234));                 // base 0x132, sector 4
    Receive(TPacket::Log(0x102D, 49).U8(30, 30).U8(38, 1).U8(39 + 3, 100));      // TX -42.25, finger -4.6
    Receive(TPacket::Log(0x107C, 41).U16BE(30, 0x1234).U8(32, 12));              // EV-DO base and sector
    Receive(TPacket::Log(0x1069, 42).I16(23, 2560).I16(25, -20480));             // TX 10, RX -80
    Receive(TPacket::Log(0x12A1, 19).U8(18, aSearcherState));
  }
};

}  // namespace

TEST_F(Readouts, EachLinkTypeReadsItsOwnRecords) {
  FillEveryRecord(2);
  struct Case {
    TEvdoType Type;
    float TX, RX;
    uint16_t Base;
    uint8_t Sector;
    const char* Text;
  } cases[] = {
      {evtNone, -60.39f, 0, 0, 0, "undefined"},
      {evtEv1X, -42.25f, 0, 0x132, 4, "1x"},
      {evtRev0, 10, -80, 0x1234, 12, "Rev.0"},
      {evtRevA, 10, -80, 0x1234, 12, "Rev.A"},
      {evtRevB, 10, -80, 0x1234, 12, "Rev.B"},
      {evtRevBplus, 10, -80, 0x1234, 12, "Rev.B+"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    FModem.SetEvdoType(c.Type);
    EXPECT_FLOAT_EQ(FModem.TotalTXPower(), c.TX);
    EXPECT_FLOAT_EQ(FModem.RXValue(), c.RX);
    EXPECT_EQ(FModem.BaseID(), c.Base);
    EXPECT_EQ(FModem.SectorID(), c.Sector);
    EXPECT_FLOAT_EQ(FModem.MaxStrengthPilot(), 20.0f - 24.6f);
    EXPECT_EQ(FModem.SearcherState(), 2);
    EXPECT_EQ(FModem.GetEvdoType(), c.Text);
  }
}

TEST_F(Readouts, SearcherStateThreeIsSleepWhateverTheType) {
  FillEveryRecord(3);
  for (TEvdoType type : {evtNone, evtEv1X, evtRev0, evtRevA, evtRevB, evtRevBplus}) {
    FModem.SetEvdoType(type);
    EXPECT_EQ(FModem.GetEvdoType(), "Sleep") << +type;
    EXPECT_EQ(FModem.SearcherState(), 3);
  }
}

TEST_F(Readouts, RecordsStartZeroWithEmptyHeaders) {
  EXPECT_EQ(FModem.SignalingAccessChannel(), SignalingAccessChannel{});
  EXPECT_EQ(FModem.SignalingAccessChannel().TimeStr.Length, 0);
  EXPECT_EQ(FModem.EvdoAForward(), TEvdoAForward{});
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleReverse(), EvdoMultiCarrierSingleReverse{});
  EXPECT_EQ(FModem.CarrDataRevB(), CarrierData_RevB{});
  EXPECT_FLOAT_EQ(FModem.MaxStrengthPilot(), 0.0f);
  EXPECT_FLOAT_EQ(FModem.ARQDataA(), 0.0f);
  EXPECT_FLOAT_EQ(FModem.ARQDataB(), 0.0f);
  EXPECT_EQ(FModem.DRC_Forward(), 0u);
}

TEST_F(Readouts, HeaderStampsThePacketDateAndTheTimeOfParsing) {
  const uint64_t stamp = uint64_t{1'000'000'000'000} << 16;
  Receive(TPacket::Log(0x1069, 42).U64(8, stamp));
  const CarrierDataRevA_ d = FModem.CarrDataRevA();
  const std::string date = FormatShortDate(LogTimeToDateTime(static_cast<uint32_t>(stamp), static_cast<uint32_t>(stamp >> 32)));
  EXPECT_EQ(d.DateStr.Str(), date.substr(0, 10));
  EXPECT_GT(d.TimeStr.Length, 0);
  EXPECT_LE(d.TimeStr.Length, 8);
}

TEST(RecordZeroInit, EachRecordClearsWhatItsRulesSay) {
  PilotSet_Data pilot;
  pilot.TimeStr.Assign("12:00:00");
  pilot.TX_AGC = 3;
  pilot.fingerArray[5].Energy = 1;
  pilot.ZeroInit();
  EXPECT_EQ(pilot.TimeStr, "12:00:00") << "the header stays";
  EXPECT_FLOAT_EQ(pilot.TX_AGC, 0);
  EXPECT_FLOAT_EQ(pilot.fingerArray[5].Energy, 0);

  CarrierDataRevA_ revA;
  revA.SetBlank();
  revA.TxTotal = 1;
  revA.ci = 2;
  revA.snr = 3;
  revA.ZeroInit();
  EXPECT_EQ(revA.TimeStr, "");
  EXPECT_FLOAT_EQ(revA.TxTotal, 0);
  EXPECT_FLOAT_EQ(revA.ci, 2) << "ci and snr stay";
  EXPECT_FLOAT_EQ(revA.snr, 3);

  ARQData_B arqB;
  arqB.NumCarriers = 3;
  arqB.carrData[2].Slots[15].DRC = 7;
  arqB.LongTermDRC = 1.5f;
  arqB.ZeroInit();
  EXPECT_EQ(arqB.NumCarriers, 0);
  EXPECT_EQ(arqB.carrData[2].Slots[15].DRC, 0);
  EXPECT_FLOAT_EQ(arqB.LongTermDRC, 1.5f) << "the long-term figures stay";

  EvdoMultiCarrierSingleForward forward;
  forward.CarrData[2].Channel = 5;
  forward.ZeroInit();
  EXPECT_EQ(forward.TimeStr, " ");
  EXPECT_EQ(forward.DateStr, " ");
  EXPECT_EQ(forward.CarrData[2].Channel, 0);

  for (auto check : {+[] { SignalingAccessChannel r; r.ZeroInit(); return r.TimeStr == " "; },
                     +[] { TEvdoAReverse r; r.ZeroInit(); return r.DateStr == " "; },
                     +[] { NeighborData r; r.SetBlank(); r.ZeroInit(); return r.TimeStr == ""; },
                     +[] { CarrierData_RevB r; r.SetBlank(); r.ZeroInit(); return r.DateStr == ""; }})
    EXPECT_TRUE(check());
}
