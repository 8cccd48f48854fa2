// The modem session against the simulated modem over a real pseudo-terminal: two independent
// pieces of code, one writing the packets and one reading them, must agree on every value.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

#include "common/MessageTarget.h"
#include "common/WindowMessages.h"
#include "protocol/Modem_Unit.h"
#include "serial/PortTable.h"
#include "sim/SimulatedModem.h"

namespace {

using namespace sim;
using namespace std::chrono_literals;

constexpr auto kLong = 60s;

// Polls a session read-out; the session offers no event to wait on.
template <class Predicate>
bool Eventually(Predicate aDone, std::chrono::milliseconds aTimeout = kLong) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// As the window shows powers.
std::string Shown(float aValue) {
  char text[32];
  std::snprintf(text, sizeof text, "%6.1f", static_cast<double>(aValue));
  return text;
}

uint64_t Sent(const TSimCounters& c, uint16_t aCode) {
  const auto it = c.LogsSent.find(aCode);
  return it == c.LogsSent.end() ? 0 : it->second;
}

struct TModeCase {
  TSimMode Mode;
  std::vector<uint16_t> Channels;
  std::set<uint16_t> Codes;  // what the link type streams
  TEvdoType Type;            // what the session must end up believing
};

class SessionAgainstSimulator : public ::testing::TestWithParam<TModeCase> {
 protected:
  void TearDown() override {
    if (FModem) FModem->ComPort()->StopRead();
    FModem.reset();
    if (FSim) {
      TPortTable::Instance().UnregisterExtraPort(FPath);
      FSim->Stop();
    }
  }

  void Connect(const TModeCase& aCase, uint64_t aSeed) {
    TSimConfig config;
    config.Esn = 0x80C0FFEE;
    config.Min = "2125550123";
    config.DirectoryNumber = "9175550142";
    config.Lac = "012";
    config.Mode = aCase.Mode;
    config.Channels = aCase.Channels;
    config.Seed = aSeed;
    config.Rate = 20;
    FSim = std::make_unique<TSimulatedModem>(config);
    FSim->Start();
    FPath = FSim->SlavePath();
    const uint16_t number = TPortTable::Instance().RegisterExtraPort(FPath, "simulated modem");
    FModem = std::make_unique<TModem>(&FMessages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
    FModem->SetComPortNumber(number);
    ASSERT_TRUE(FModem->PortActive());
    FModem->ComPort()->StartRead();
  }

  // The reader purges the port when its thread starts, which may take the first replies with
  // it. NV item 0x20 is asked for until its reply shows, so that nothing later can be lost.
  void WaitForReader() {
    for (int attempt = 0; attempt < 20 && FModem->modemDN() == " "; ++attempt) {
      FModem->SendCommand(kNvItem20Command);
      ++FCommands;
      Eventually([&] { return FModem->modemDN() != " "; }, 3s);
    }
    ASSERT_NE(FModem->modemDN(), " ") << "the session never read a reply";
  }

  // The window's start-up as far as the session sees it: the first probe stage finds counted
  // packets and decides Rev B, the final log mask goes out, the identity is asked for. Counts
  // are compared from a quiet point after the probe on.
  void StartUp() {
    ASSERT_NO_FATAL_FAILURE(WaitForReader());
    FModem->SetInitState(true);
    FModem->SetPacketsCount(0);
    Send(kLogMaskCommand);
    ASSERT_TRUE(Eventually([&] { return FModem->PacketsCount() > 0; })) << "no counted packet during the probe";
    FModem->SetEvdoType(evtRevB);
    FModem->SetInitState(false);
    ASSERT_NO_FATAL_FAILURE(Quiesce());
    FBase = Snapshot();
    Send(kLogMaskCommand);
    FModem->GetESNandMIN();
    FCommands += 4;
    FIdentityReplies += 3;  // status and NV item 0x21 twice post the identity message
    ASSERT_TRUE(Eventually([&] { return FModem->modemIMSI() != " " && FModem->modemMIN() != " "; })) << "no identity";
  }

  void Send(std::string_view aCommand) {
    FModem->SendCommand(aCommand);
    ++FCommands;
  }

  // Switches logging off and waits until the session has dispatched everything the device
  // wrote. The device is quiet once it has answered every command; the session is done when
  // it has posted one identity message for each identity log and reply the device wrote (the
  // last frame of all is the reply to an NV item 0x21 read).
  void Quiesce() {
    Send(kLoggingOffCommand);
    Send(kNvItem21Command);
    ++FIdentityReplies;
    ASSERT_TRUE(FSim->WaitUntil([&](const TSimCounters& c) { return c.RepliesSent == FCommands; }, kLong))
        << "the device did not answer every command";
    const uint64_t expected = Sent(FSim->Counters(), 0x1088) + FIdentityReplies;
    while (FIdentityMessages < expected) {
      const auto message = FMessages.WaitTake(kLong);
      ASSERT_TRUE(message) << FIdentityMessages << " of " << expected << " identity messages";
      if (message->Msg == WM_MODEM_IDENTITY) ++FIdentityMessages;
    }
    EXPECT_EQ(FIdentityMessages, expected);
  }

  struct TSnapshot {
    TSimCounters Sim;
    uint64_t SimFrames = 0;  // undamaged frames the device wrote
    uint64_t Dispatched = 0, Bad = 0, Rx = 0, Tx = 0;
  };

  TSnapshot Snapshot() const {
    TSnapshot s;
    s.Sim = FSim->Counters();
    uint64_t damagedLogs = 0;
    for (const auto& [code, n] : s.Sim.LogsDamaged) damagedLogs += n;
    s.SimFrames = s.Sim.TotalLogsSent() + s.Sim.RepliesSent - (s.Sim.DamagedFrames - damagedLogs);
    s.Dispatched = static_cast<uint64_t>(FModem->CommonPacketsCount());
    s.Bad = FModem->BadFramesCount();
    s.Rx = FModem->RXPacketsCount();
    s.Tx = FModem->TXPacketsCount();
    return s;
  }

  uint64_t SentSinceBase(uint16_t aCode) const { return Sent(FEnd.Sim, aCode) - Sent(FBase.Sim, aCode); }

  // Lets every code of the link type arrive a few more times, then quiesces.
  void RunAndSettle(const std::set<uint16_t>& aCodes, uint64_t aMore) {
    const TSimCounters before = FSim->Counters();
    ASSERT_TRUE(FSim->WaitUntil(
        [&](const TSimCounters& c) {
          for (uint16_t code : aCodes)
            if (Sent(c, code) < Sent(before, code) + aMore) return false;
          return true;
        },
        kLong))
        << "the stream did not bring every code";
    ASSERT_NO_FATAL_FAILURE(Quiesce());
    FEnd = Snapshot();
    FCounters = FEnd.Sim;
    FTruth = FSim->Truth();
  }

  void CheckIdentity() {
    EXPECT_EQ(FModem->modemESN(), "80C0FFEE");
    EXPECT_EQ(FModem->modemESN(), FTruth.Identity.Esn);
    EXPECT_EQ(FModem->modemMIN(), FTruth.Identity.Min);
    EXPECT_EQ(FModem->modemMIN(), "5550123");
    EXPECT_EQ(FModem->modemDN(), FTruth.Identity.Dn);
    EXPECT_EQ(FModem->modemLAC(), FTruth.Identity.Lac);
    EXPECT_EQ(FModem->modemIMSI(), FTruth.Identity.Imsi);
    EXPECT_EQ(FModem->modemIMSI(), "38360012" "5550142");
  }

  void CheckSector() {
    ASSERT_TRUE(FTruth.LastSector);
    EXPECT_EQ(FModem->CellNumber(), FTruth.LastSector->Cell);
    EXPECT_EQ(FModem->FaceNumber(), FTruth.LastSector->Sector);
    EXPECT_EQ(FModem->PnNumber(), FTruth.LastSector->Pn);
    if (FTruth.AttemptCounters) {
      EXPECT_EQ(FModem->SuccessCount(), FTruth.AttemptCounters->Success);
      EXPECT_EQ(FModem->FailureCount(), FTruth.AttemptCounters->Failure);
      EXPECT_EQ(FModem->AttemptsCount(), FTruth.AttemptCounters->Attempts);
    }
    if (FTruth.AccessChannel) {
      const ::SignalingAccessChannel a = FModem->SignalingAccessChannel();
      const TAccessChannelTruth& t = *FTruth.AccessChannel;
      EXPECT_EQ(a.BtsID, t.BtsID);
      EXPECT_EQ(a.SectorID, t.SectorID);
      EXPECT_EQ(a.PilotPn, t.PilotPn);
      EXPECT_EQ(a.ChannelNumber, t.ChannelNumber);
      EXPECT_EQ(a.ColorCode, t.ColorCode);
      EXPECT_EQ(a.SeqNo, t.SeqNo);
      EXPECT_EQ(a.SectorSignature, t.SectorSignature);
      EXPECT_EQ(a.AccessSignature, t.AccessSignature);
      EXPECT_EQ(FModem->BaseID(), t.BtsID);
      EXPECT_EQ(FModem->SectorID(), t.SectorID);
    }
    ASSERT_TRUE(FTruth.Neighbors);
    const ::NeighborData n = FModem->NeighborData();
    const TNeighborTruth& t = *FTruth.Neighbors;
    EXPECT_EQ(n.Channel, t.Channel);
    EXPECT_EQ(n.APilotPn, t.APilotPn);
    EXPECT_NEAR(n.APilotEng, t.APilotEng, 1e-4);
    ASSERT_EQ(n.CCount, t.Candidates.size());
    ASSERT_EQ(n.NCount, t.Neighbors.size());
    for (size_t i = 0; i < t.Candidates.size(); ++i) {
      EXPECT_EQ(n.CandidatArr[i].PilotPn, t.Candidates[i].PilotPn);
      EXPECT_NEAR(n.CandidatArr[i].PilotEng, t.Candidates[i].PilotEng, 1e-4);
      EXPECT_EQ(n.CandidatArr[i].PilotPos, t.Candidates[i].PilotPos);
    }
    for (size_t i = 0; i < t.Neighbors.size(); ++i) {
      EXPECT_EQ(n.NeighborArr[i].PilotPn, t.Neighbors[i].PilotPn);
      EXPECT_NEAR(n.NeighborArr[i].PilotEng, t.Neighbors[i].PilotEng, 1e-4);
    }
  }

  void CheckOneX() {
    ASSERT_TRUE(FTruth.Paging && FTruth.PilotSet);
    EXPECT_EQ(FModem->PagingChannelMessage().base_id, FTruth.Paging->BaseId);
    EXPECT_EQ(FModem->PagingChannelMessage().sector_id, FTruth.Paging->SectorId);
    EXPECT_EQ(FModem->BaseID(), FTruth.Paging->BaseId);
    EXPECT_EQ(FModem->SectorID(), FTruth.Paging->SectorId);
    const ::PilotSet_Data p = FModem->PilotSetData();
    const TPilotSetTruth& t = *FTruth.PilotSet;
    EXPECT_EQ(p.PilotPnOffset, t.PilotPnOffset);
    EXPECT_EQ(p.PilotInActiveSet, t.PilotInActiveSet);
    EXPECT_NEAR(p.RX_AGC, t.RxAgc, 1e-4);
    EXPECT_NEAR(p.TX_AGC, t.TxAgc, 1e-4);
    EXPECT_NEAR(p.TX_Gain_Adjust, t.TxGainAdjust, 1e-4);
    EXPECT_NEAR(p.TX_Power_Limit, t.TxPowerLimit, 1e-4);
    EXPECT_EQ(p.RadioConfig_FCH, t.RadioConfigFch);
    ASSERT_EQ(p.NumberOfPaths, t.NumberOfPaths);
    ASSERT_EQ(p.NumberOfFingers, t.NumberOfFingers);
    for (int i = 0; i < t.NumberOfPaths; ++i) {
      EXPECT_EQ(p.pathArray[i].Position, t.Paths[i].Position);
      EXPECT_NEAR(p.pathArray[i].Energy, t.Paths[i].Energy, 1e-3);
    }
    for (int i = 0; i < t.NumberOfFingers; ++i) {
      EXPECT_EQ(p.fingerArray[i].Pilot, t.Fingers[i].Pilot);
      EXPECT_NEAR(p.fingerArray[i].Energy, t.Fingers[i].Energy, 1e-4);
      EXPECT_EQ(p.fingerArray[i].Position, t.Fingers[i].Position);
    }
    EXPECT_NEAR(FModem->MaxStrengthPilot(), t.Fingers[0].Energy, 1e-4);
    EXPECT_EQ(Shown(FModem->TotalTXPower()), Shown(t.TxAgc));
    EXPECT_EQ(FModem->RXValue(), 0.0f);
    EXPECT_EQ(FEnd.Rx - FBase.Rx, SentSinceBase(0x102D));
  }

  void CheckRevAPowers() {
    ASSERT_TRUE(FTruth.RevAPower);
    const ::CarrierDataRevA_ a = FModem->CarrDataRevA();
    const TPowerSet& t = FTruth.RevAPower->Powers;
    EXPECT_EQ(a.Version, FTruth.RevAPower->Version);
    EXPECT_EQ(a.TxOpen, t.TxOpen);
    EXPECT_EQ(a.TxClosed, t.TxClosed);
    EXPECT_EQ(a.TxPilot, t.TxPilot);
    EXPECT_EQ(a.TxTotal, t.TxTotal);
    EXPECT_EQ(a.RxPowerAntenna_0, t.RxPowerAntenna_0);
    EXPECT_EQ(a.RxPowerAntenna_1, t.RxPowerAntenna_1);
    EXPECT_EQ(Shown(FModem->TotalTXPower()), Shown(t.TxTotal));
    EXPECT_EQ(Shown(FModem->RXValue()), Shown(t.RxPowerAntenna_0));
    EXPECT_GE(FModem->RXValue(), -105.0f);
    EXPECT_LE(FModem->RXValue(), -50.0f);
  }

  void CheckRevA() {
    CheckRevAPowers();
    ASSERT_TRUE(FTruth.ArqA && FTruth.ForwardA && FTruth.ReverseA);
    const ::ARQData_A arq = FModem->EvdoArqDataA();
    for (int j = 0; j < 16; ++j) {
      EXPECT_EQ(arq.SlotDataArray_0[j].Drc, FTruth.ArqA->Drc[0][j]);
      EXPECT_EQ(arq.SlotDataArray_1[j].Drc, FTruth.ArqA->Drc[1][j]);
    }
    EXPECT_EQ(arq.DrcLockCount_0, FTruth.ArqA->DrcLockWord[0] >> 8);
    EXPECT_EQ(FModem->ARQDataA(), FTruth.ArqA->RateKbps);

    const ::TEvdoAForward forward = FModem->EvdoAForward();
    EXPECT_EQ(forward.Sequence, FTruth.ForwardA->Sequence);
    EXPECT_EQ(forward.PredTotalBytes, FTruth.ForwardA->Link.Total);
    EXPECT_EQ(forward.TotalBytes, FTruth.ForwardA->Link.Carried);
    const ::TEvdoAReverse reverse = FModem->EvdoAReverse();
    EXPECT_EQ(reverse.aVersion, FTruth.ReverseA->Version);
    EXPECT_EQ(reverse.PredTotalBytes, FTruth.ReverseA->Link.Total);
    EXPECT_EQ(reverse.TotalBytes, FTruth.ReverseA->Link.Carried);
    EXPECT_EQ(FModem->DRC_Reverse(), FTruth.ReverseA->Link.Drc);

    EXPECT_EQ(FEnd.Rx - FBase.Rx, SentSinceBase(0x1192));
    EXPECT_EQ(FEnd.Tx - FBase.Tx, SentSinceBase(0x1069) + SentSinceBase(0x127E));
  }

  template <class Record>
  void CheckCarrierLinks(const Record& aRecord, const std::optional<TMultiCarrierLinkTruth>& aTruth) {
    ASSERT_TRUE(aTruth);
    EXPECT_EQ(aRecord.Version, aTruth->Version);
    EXPECT_EQ(aRecord.Sequence, aTruth->Sequence);
    EXPECT_EQ(aRecord.NumbCarr, aTruth->NumbCarr);
    std::set<uint16_t> channels;
    for (const CarrierLinkStat& entry : aRecord.CarrData) {
      if (entry.Channel == 0) continue;
      channels.insert(entry.Channel);
      const TCarrierLinkTruth* t = aTruth->ForChannel(entry.Channel);
      ASSERT_NE(t, nullptr) << entry.Channel;
      EXPECT_EQ(entry.CarrierTag, t->CarrierTag);
      EXPECT_EQ(entry.ChannelHighBits, t->ChannelHighBits);
      EXPECT_EQ(entry.PredTotalBytes, t->Link.Total) << entry.Channel;
      EXPECT_EQ(entry.TotalBytes, t->Link.Carried) << entry.Channel;
      EXPECT_EQ(entry.DRC, t->Link.Drc) << entry.Channel;
    }
    EXPECT_EQ(channels, std::set<uint16_t>(FTruth.Channels.begin(), FTruth.Channels.end()));
  }

  void CheckRevB() {
    CheckRevAPowers();
    ASSERT_TRUE(FTruth.RevBPower && FTruth.ArqB && FTruth.PilotSetsB);
    const ::CarrierData_RevB b = FModem->CarrDataRevB();
    EXPECT_EQ(b.TotalTxPower, FTruth.RevBPower->TotalTxPower);
    EXPECT_EQ(b.HsReferCount, FTruth.RevBPower->HsReferCount);
    ASSERT_EQ(b.numData, FTruth.RevBPower->Carriers.size());
    for (size_t c = 0; c < FTruth.RevBPower->Carriers.size(); ++c) {
      const auto& t = FTruth.RevBPower->Carriers[c];
      EXPECT_EQ(b.carrArray[c].DescMid, t.DescMid);
      EXPECT_EQ(b.carrArray[c].FlagBit1, t.FlagBit1);
      EXPECT_EQ(b.carrArray[c].TxTotal, t.Powers.TxTotal);
      EXPECT_EQ(b.carrArray[c].RxPowerAntenna_0, t.Powers.RxPowerAntenna_0);
      EXPECT_EQ(b.carrArray[c].RxPowerAntenna_1, t.Powers.RxPowerAntenna_1);
    }
    const ::ARQData_B arq = FModem->EvdoArqDataB();
    ASSERT_EQ(arq.NumCarriers, FTruth.ArqB->NumCarriers);
    for (size_t c = 0; c < FTruth.ArqB->Carriers.size(); ++c) {
      EXPECT_EQ(arq.carrData[c].DescMid, FTruth.ArqB->Carriers[c].DescMid);
      for (int j = 0; j < 16; ++j) EXPECT_EQ(arq.carrData[c].Slots[j].DRC, FTruth.ArqB->Carriers[c].Drc[j]);
    }
    EXPECT_EQ(FModem->ARQDataB(), FTruth.ArqB->RateKbps);
    EXPECT_EQ(FModem->MultiCarrPilotSets().SearcherState, FTruth.PilotSetsB->SearcherState);
    CheckCarrierLinks(FModem->EvdoMultiCarrierSingleForward(), FTruth.ForwardB);
    CheckCarrierLinks(FModem->EvdoMultiCarrierSingleReverse(), FTruth.ReverseB);
    EXPECT_EQ(FEnd.Rx - FBase.Rx, SentSinceBase(0x12A2));
    EXPECT_EQ(FEnd.Tx - FBase.Tx, SentSinceBase(0x1069) + SentSinceBase(0x129C) + SentSinceBase(0x129F));
  }

  // Every undamaged frame written since the quiet point was dispatched, every damaged one dropped.
  void CheckFrameCounts() {
    EXPECT_EQ(FEnd.Dispatched - FBase.Dispatched, FEnd.SimFrames - FBase.SimFrames);
    EXPECT_EQ(FEnd.Bad - FBase.Bad, (FEnd.Sim.DamagedFrames + FEnd.Sim.GarbageFrames) -
                                        (FBase.Sim.DamagedFrames + FBase.Sim.GarbageFrames));
  }

  TMessageQueue FMessages;
  std::unique_ptr<TSimulatedModem> FSim;
  std::unique_ptr<TModem> FModem;
  std::string FPath;
  TSimCounters FCounters;
  TSimTruth FTruth;
  TSnapshot FBase, FEnd;
  uint64_t FCommands = 0;          // commands sent to the device
  uint64_t FIdentityReplies = 0;   // of them, the ones whose reply posts the identity message
  uint64_t FIdentityMessages = 0;  // identity messages taken from the queue
};

TEST_P(SessionAgainstSimulator, RecordsAndReadOutsEqualTheTruth) {
  const TModeCase& m = GetParam();
  Connect(m, 21);
  ASSERT_NO_FATAL_FAILURE(StartUp());
  ASSERT_NO_FATAL_FAILURE(RunAndSettle(m.Codes, 4));

  CheckFrameCounts();
  EXPECT_EQ(FCounters.DamagedFrames, 0u);
  CheckIdentity();
  EXPECT_EQ(FModem->EvdoType(), m.Type);
  switch (m.Mode) {
    case TSimMode::Ev1x:
      EXPECT_EQ(FModem->GetEvdoType(), "1x");
      CheckOneX();
      break;
    case TSimMode::RevA:
      EXPECT_EQ(FModem->GetEvdoType(), "Rev.A");
      CheckSector();
      CheckRevA();
      break;
    case TSimMode::RevB:
      EXPECT_EQ(FModem->GetEvdoType(), "Rev.B");
      CheckSector();
      CheckRevB();
      break;
    case TSimMode::Sleep:
      EXPECT_EQ(FModem->GetEvdoType(), "Sleep");
      EXPECT_EQ(FModem->SearcherState(), 3);
      CheckSector();
      break;
    case TSimMode::Cycle:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    LinkTypes, SessionAgainstSimulator,
    ::testing::Values(
        TModeCase{TSimMode::Ev1x, {283}, {0x1007, 0x102D, 0x1088}, evtEv1X},
        TModeCase{TSimMode::RevA, {283}, {0x1069, 0x106C, 0x107C, 0x1080, 0x108B, 0x108C, 0x1192, 0x127E, 0x1281}, evtRevA},
        TModeCase{TSimMode::RevB, {283, 384, 425}, {0x1069, 0x106C, 0x107C, 0x1080, 0x108B, 0x1298, 0x129C, 0x129F, 0x12A0, 0x12A1, 0x12A2}, evtRevB},
        TModeCase{TSimMode::RevB, {500}, {0x1069, 0x1298, 0x129C, 0x129F, 0x12A0, 0x12A1, 0x12A2}, evtRevB},
        TModeCase{TSimMode::Sleep, {283, 384}, {0x1080, 0x108B, 0x12A0, 0x12A1}, evtRevB}),
    [](const ::testing::TestParamInfo<TModeCase>& aInfo) {
      return std::string(ModeName(aInfo.param.Mode)) + "_" + std::to_string(aInfo.param.Channels.size()) + "carriers";
    });

class SessionAgainstFaultySimulator : public SessionAgainstSimulator {};

TEST_F(SessionAgainstFaultySimulator, UndamagedPacketsAgreeAndDamagedOnesAreCounted) {
  const TModeCase m{TSimMode::RevB, {283, 384}, {0x1069, 0x106C, 0x1080, 0x108B, 0x1298, 0x129C, 0x129F, 0x12A1, 0x12A2}, evtRevB};
  Connect(m, 33);
  ASSERT_NO_FATAL_FAILURE(StartUp());
  FSim->SetFaultRates({.DamageCrc = 0.05, .Split = 0.3, .Garbage = 0.03, .GarbageBytes = 64});
  FSim->DamageNextCrcs(5);
  FSim->InjectGarbage(300);
  ASSERT_NO_FATAL_FAILURE(RunAndSettle(m.Codes, 25));

  EXPECT_GE(FCounters.DamagedFrames, 5u);
  EXPECT_GT(FCounters.GarbageFrames, 0u);
  EXPECT_GT(FCounters.SplitFrames, 0u);
  CheckFrameCounts();
  CheckIdentity();
  CheckSector();
  CheckRevB();
}

// A cable pulled in the middle of a frame leaves its first half with the session; the port the
// modem comes back on must not take it for the beginning of its own first frame.
TEST_F(SessionAgainstFaultySimulator, AFrameCutOffByAnUnplugIsNotJoinedToTheNextDevice) {
  Connect({TSimMode::RevA, {283}, {}, evtRevA}, 9);
  ASSERT_NO_FATAL_FAILURE(WaitForReader());
  Send(kLogMaskCommand);
  ASSERT_TRUE(FSim->WaitUntil([](const TSimCounters& c) { return c.TotalLogsSent() > 20; }, kLong));
  FSim->UnplugMidFrame();
  ASSERT_TRUE(FSim->WaitUntil([](const TSimCounters& c) { return c.Unplugs == 1; }, kLong));
  ASSERT_EQ(FSim->Counters().CutFrames, 1u);
  // The reader sees the hang-up and ends; the port is closed, as the window's removal does.
  ASSERT_TRUE(Eventually([&] { return FModem->ComPort()->ReadDone(); }));
  FModem->CloseComPort();
  const uint64_t bad = FModem->BadFramesCount();
  const intptr_t dispatched = FModem->CommonPacketsCount();

  TPortTable::Instance().UnregisterExtraPort(FPath);
  FPath = FSim->Replug();
  // As the window adopts a port: the number may be the old one (a pseudo-terminal's name comes
  // round again), and then only the open follows.
  FModem->SetComPortNumber(TPortTable::Instance().RegisterExtraPort(FPath, "simulated modem"));
  if (!FModem->PortActive()) FModem->OpenComPort();
  ASSERT_TRUE(FModem->PortActive());
  FModem->ComPort()->StartRead();
  // The modem came back with logging off: the reply to this one request is all it sends.
  const uint64_t replies = FSim->Counters().RepliesSent;
  Send(kStatusRequestCommand);
  ASSERT_TRUE(FSim->WaitUntil([&](const TSimCounters& c) { return c.RepliesSent > replies; }, kLong));
  EXPECT_TRUE(Eventually([&] { return FModem->CommonPacketsCount() == dispatched + 1; }, 10s))
      << "the status reply was not dispatched";
  EXPECT_EQ(FModem->BadFramesCount(), bad);
}

}  // namespace
