// The polling cycle against a real session: log packets go through the session's parsers, the
// session's port is open on a pseudo-terminal, and each cycle is one tick of ModemTimer.
#include <gtest/gtest.h>

#include "../protocol/LogPacketBuilder.h"
#include "WindowTestSupport.h"
#include "common/WindowMessages.h"
#include "window/MainUnit.h"
#include "window/VirtualUiLoop.h"

namespace {

using enum TMainLabel;

// TX and RX in 1/256 dBm, as log 0x1069 carries them.
TPacket RevAPower(int16_t aTxRaw, int16_t aRxRaw) { return TPacket::Log(0x1069, 42).I16(23, aTxRaw).I16(25, aRxRaw); }
// Slot DRC index 12 in the first block: a requested rate of 2457.6 kbit/s.
TPacket RevAArq(uint8_t aIndex = 12) { return TPacket::Log(0x108C, 118).U16(16, static_cast<uint16_t>(aIndex << 8)); }
TPacket SearcherState(uint8_t aState) { return TPacket::Log(0x12A1, 19).U8(18, aState); }
// One finger; energy byte 0 gives -40 dB.
TPacket PilotSet1x(uint8_t aTxAgcByte, uint8_t aFingerByte) {
  return TPacket::Log(0x102D, 49).U8(30, aTxAgcByte).U8(38, 1).U8(42, aFingerByte);
}
TPacket RevAForward(uint32_t aCount128) { return TPacket::Log(0x1192, 244).U32(20, aCount128); }
TPacket RevBForward(uint16_t aChannel, uint32_t aCount128) {
  return TPacket::Log(0x12A2, 393).U8(16, 1).U8(21, 3).U16(23, aChannel).U32(25, aCount128);
}

class PollingCycle : public ::testing::Test {
 protected:
  void SetUp() override {
    const uint16_t number = FTable.RegisterExtraPort(FPty.Path, "test port");
    TMainFmOptions options;
    options.PortTable = &FTable;
    options.StarterDelay = std::nullopt;
    FFm = std::make_unique<TMainFm>(FView, FLoop, std::move(options));
    FFm->SetDecimalSeparator(".");
    Modem().SetComPortNumber(number);
    ASSERT_TRUE(Modem().PortActive());
    Modem().SetDevicePlugged(true);
  }

  TModem& Modem() { return FFm->Modem(); }
  void Receive(const TPacket& aPacket, int aTimes = 1) {
    for (int i = 0; i < aTimes; ++i) Modem().ParseFrame(aPacket.Bytes());
  }
  void Cycle() { FFm->ModemTimerTimer(); }
  const std::string& Label(TMainLabel aLabel) { return FView.Label(aLabel); }
  int32_t TxBin(int32_t aKey) { return FFm->TxQuality().ValuesList().at(aKey); }
  int32_t RxBin(int32_t aKey) { return FFm->RxQuality().ValuesList().at(aKey); }
  int32_t RxTotal() {
    int32_t n = 0;
    for (const auto& [key, count] : FFm->RxQuality().ValuesList()) n += count;
    return n;
  }

  TTestPty FPty;
  TPortTable FTable;
  TVirtualUiLoop FLoop;
  TRecordingView FView;
  std::unique_ptr<TMainFm> FFm;
};

TEST_F(PollingCycle, ReverseLinkWatchThinFreshIdleStale) {
  Modem().SetEvdoType(evtRevA);
  struct Step {
    int Packets;  // 0x1069 packets received before the cycle
    bool SendArq;
    const char* Tx;
    const char* Rx;
    const char* Drc;
    uintptr_t Zeroes;
    uintptr_t CountAfter;  // the session's TXPacketsCount after the cycle
  } steps[] = {
      {3, true, "     TX:  -60.4", "RX: -100.0", "    DRC:    0.0", 0, 3},    // thin: grew, below 5
      {2, true, "     TX:   10.0", "RX:  -79.5", "    DRC: 2457.6", 0, 5},    // fresh
      {0, false, "     TX:   10.0", "RX:  -79.5", "    DRC: 2457.6", 1, 5},   // idle
      {0, false, "     TX:   10.0", "RX:  -79.5", "    DRC: 2457.6", 2, 5},
      {0, false, "     TX:   10.0", "RX:  -79.5", "    DRC: 2457.6", 3, 5},
      {0, false, "     TX:   10.0", "RX:  -79.5", "    DRC: 2457.6", 4, 5},
      {0, false, "     TX:  -60.4", "RX: -100.0", "    DRC:    0.0", 5, 0},   // stale: counter reset
      {0, true, "     TX:  -60.4", "RX: -100.0", "    DRC:    0.0", 5, 0},    // and again
      {1, true, "     TX:  -60.4", "RX: -100.0", "    DRC:    0.0", 5, 1},    // thin after stale
      {4, true, "     TX:   10.0", "RX:  -79.5", "    DRC: 2457.6", 0, 5},    // fresh again
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    const Step& s = steps[i];
    Receive(RevAPower(2560, -20352), s.Packets);
    if (s.SendArq) Receive(RevAArq());
    Cycle();
    EXPECT_EQ(Label(Label7), s.Tx);
    EXPECT_EQ(Label(Label5), s.Rx);
    EXPECT_EQ(Label(Label8), s.Drc);
    EXPECT_EQ(FFm->TXZeroes(), s.Zeroes);
    EXPECT_EQ(Modem().TXPacketsCount(), s.CountAfter);
    EXPECT_EQ(Label(Label2), "Rev.A");
  }
  // The substitutes were counted: -60.39 in the lowest TX bin, -100 in no RX bin.
  EXPECT_EQ(TxBin(0), 4);
  EXPECT_EQ(TxBin(3), 6);  // 10.0 dBm
  EXPECT_EQ(RxBin(0), 6);  // -79.5
  EXPECT_EQ(RxTotal(), 6);
}

TEST_F(PollingCycle, CounterAboveTheLimitStartsAgainFromZero) {
  Modem().SetEvdoType(evtRevA);
  Modem().SetTXPacketsCount(4294967200u);
  Cycle();
  EXPECT_EQ(Modem().TXPacketsCount(), 4294967200u) << "the limit itself is kept";
  EXPECT_EQ(FFm->TXPackets(), 4294967200u);
  Modem().SetTXPacketsCount(4294967201u);
  Cycle();
  EXPECT_EQ(Modem().TXPacketsCount(), 0u);
  EXPECT_EQ(FFm->TXPackets(), 0u);
  EXPECT_EQ(FFm->TXZeroes(), 1u) << "no growth after the reset";
}

TEST_F(PollingCycle, TxAtOrBelowMinus60Point3ClearsTheDrcStatistics) {
  Modem().SetEvdoType(evtRevA);
  const struct {
    int16_t Raw;
    const char* Tx;
    const char* Drc;
  } cases[] = {
      {-15434, "     TX:  -60.3", "    DRC: 2457.6"},  // -60.289: kept
      {-15437, "     TX:  -60.3", "    DRC:    0.0"},  // -60.301: cleared before the DRC is read
  };
  for (const auto& c : cases) {
    Receive(RevAPower(c.Raw, -20480), 5);
    Receive(RevAArq());
    Cycle();
    EXPECT_EQ(Label(Label7), c.Tx) << c.Raw;
    EXPECT_EQ(Label(Label8), c.Drc) << c.Raw;
  }
}

TEST_F(PollingCycle, OneXDrcIsAnAverageWithTheLastFigure) {
  Modem().SetEvdoType(evtEv1X);
  // TX_AGC byte 150: 150 / 3 - 52.25 = -2.25 dBm; finger energy byte 0: -40 dB.
  Receive(PilotSet1x(150, 0));
  const char* drc[] = {"    DRC:  -20.0", "    DRC:  -30.0", "    DRC:  -35.0"};
  const double chart[] = {1, 0, 0};  // -20 is level 1; -30 and -35 are below the table
  for (int i = 0; i < 3; ++i) {
    Cycle();
    EXPECT_EQ(Label(Label8), drc[i]);
    EXPECT_DOUBLE_EQ(FView.Charts.DrcLine.back(), chart[i]);
  }
  EXPECT_FLOAT_EQ(FFm->PredDRC(), -35.0f);
  EXPECT_EQ(Label(Label7), "     TX:   -2.2");
  EXPECT_EQ(Label(Label5), "RX:    0.0") << "1x has no RX figure";
  EXPECT_EQ(Label(Label2), "1x");
  EXPECT_EQ(Label(Label3), "0 Kbps") << "no link speeds in 1x";
  EXPECT_EQ(FFm->DrcQuality().ValuesList(), (TQualityValues{{-20, 1}, {-30, 1}, {-35, 1}}));
}

TEST_F(PollingCycle, LinkSpeedsAreCappedPerLink) {
  Modem().SetEvdoType(evtRevA);
  // Forward totals in 128-bit units: 46882 * 128 = 6 000 896 bits (6000 kbit), one more is 6001.
  Receive(RevAForward(1));
  Receive(RevAForward(1 + 46882));
  Cycle();
  EXPECT_EQ(Label(Label4), "  6.0 Mbps");
  EXPECT_EQ(Label(Label3), " 0 kbps");
  Receive(RevAForward(1 + 46882 + 46883));
  Cycle();
  EXPECT_EQ(Label(Label4), " 0 kbps");

  // Rev B adds its carriers, each capped on its own.
  Modem().SetEvdoType(evtRevB);
  const uint16_t channels[] = {283, 384, 425};
  const uint32_t totals[] = {15625, 15625, 11719};  // 2000, 2000 and 1500 kbit
  for (int i = 0; i < 3; ++i) {
    Receive(RevBForward(channels[i], 1));
    Receive(RevBForward(channels[i], 1 + totals[i]));
  }
  Cycle();
  EXPECT_EQ(Label(Label4), "  5.5 Mbps");
  Receive(RevBForward(384, 1 + 15625 + 46883));
  Cycle();
  EXPECT_EQ(Label(Label4), "  3.5 Mbps") << "the carrier above 6000 counts 0";
}

TEST_F(PollingCycle, SignalIconRules) {
  Modem().SetEvdoType(evtRevA);
  const float rx[] = {-29.5f, -96, -85.4f, -60};  // classes 0..3
  const float tx[] = {-40, 24.6f, 8, 0};
  const float drc[] = {600, 38, 614, 3072};
  const struct {
    int R, T, A, Icon;
  } cases[] = {
      {0, 0, 0, 0}, {1, 1, 1, 1}, {1, 2, 2, 1}, {1, 3, 1, 0}, {2, 2, 2, 2}, {2, 3, 2, 3}, {2, 2, 3, 3},
      {2, 1, 2, 0}, {3, 3, 3, 5}, {3, 2, 3, 4}, {3, 3, 2, 4}, {3, 3, 1, 4}, {3, 1, 3, 0}, {0, 1, 1, 0},
  };
  for (const auto& c : cases) {
    FFm->FeedRxScale(rx[c.R]);
    FFm->FeedTxLine(tx[c.T]);
    FFm->FeedDrcLineRevA(drc[c.A]);
    ASSERT_EQ(FFm->RXPosition(), c.R);
    ASSERT_EQ(FFm->TXPosition(), c.T);
    ASSERT_EQ(FFm->ARQPosition(), c.A);
    FFm->ShowSignalIcon();
    EXPECT_EQ(FView.Icon, c.Icon) << c.R << c.T << c.A;
  }
  Receive(SearcherState(3));
  FFm->ShowSignalIcon();
  EXPECT_EQ(FView.Icon, kNoDeviceIcon);
  EXPECT_EQ(Label(Label2), "Sleep");
  Receive(SearcherState(2));
  Modem().SetDevicePlugged(false);
  FFm->ShowSignalIcon();
  EXPECT_EQ(FView.Icon, kNoDeviceIcon);
}

TEST_F(PollingCycle, SleepingModemShowsSleepAndCountsNothing) {
  Modem().SetEvdoType(evtRevA);
  Receive(SearcherState(3));
  Receive(RevAPower(2560, -20480), 5);
  Receive(RevAArq());
  Cycle();
  EXPECT_EQ(FView.Icon, kNoDeviceIcon);
  EXPECT_EQ(Label(Label2), "Sleep");
  EXPECT_EQ(Label(Label7), "     TX:   10.0") << "the labels still follow the figures";
  EXPECT_EQ(RxTotal(), 0);
  EXPECT_EQ(TxBin(3), 0);
  EXPECT_TRUE(FFm->DrcQuality().ValuesList().empty());
  EXPECT_EQ(FView.Repaints, 1);
}

TEST_F(PollingCycle, UnknownLinkTypeKeepsTheDrcLabelAndCountsNoDrc) {
  Cycle();
  EXPECT_EQ(Label(Label8), "    RX: n/a");
  EXPECT_EQ(Label(Label2), "undefined");
  EXPECT_EQ(Label(Label7), "     TX:  -60.4");
  EXPECT_EQ(Label(Label6), "Cell:    0 Sect: 0 Pn:    0");
  EXPECT_TRUE(FFm->DrcQuality().ValuesList().empty());
  EXPECT_EQ(TxBin(0), 1);
  // The histories scrolled by one; the DRC line did not move.
  ASSERT_EQ(FView.Charts.TxLine.size(), 174u);
  EXPECT_NEAR(FView.Charts.TxLine.back(), -0.39, 1e-5);
  EXPECT_EQ(FView.Charts.DrcLine, std::vector<double>(174, 0.0));
}

TEST_F(PollingCycle, ChartsScrollByOnePointACycle) {
  Modem().SetEvdoType(evtRevA);
  Receive(RevAPower(2048, -21862), 5);  // TX 8 (level 9), RX -85.4 (13.6)
  Receive(RevAArq(9));                  // 1228.8 kbit/s: level 13
  Cycle();
  EXPECT_DOUBLE_EQ(FView.Charts.TxLine[173], 9);
  EXPECT_NEAR(FView.Charts.DrcLine[173], 13.8, 1e-4);
  EXPECT_NEAR(FView.Charts.RxBar, 13.6, 1e-2);
  Receive(RevAPower(6400, -21862), 5);  // TX 25 (level 1)
  Cycle();
  EXPECT_DOUBLE_EQ(FView.Charts.TxLine[172], 9);
  EXPECT_DOUBLE_EQ(FView.Charts.TxLine[173], 1);
  EXPECT_DOUBLE_EQ(FView.Charts.TxLine[171], 0);
}

TEST_F(PollingCycle, WithoutAnOpenPortOnlyTheIconChanges) {
  Modem().SetEvdoType(evtRevA);
  Modem().CloseComPort();
  Receive(RevAPower(2560, -20480), 5);
  FView.Icon = 0;
  Cycle();
  EXPECT_EQ(FView.Icon, kNoDeviceIcon);
  EXPECT_EQ(Label(Label7), "     TX: n/a");
  EXPECT_EQ(FView.Repaints, 0);
}

TEST_F(PollingCycle, CellLineSectorCountsAndTheDecimalSeparator) {
  Modem().SetEvdoType(evtRevA);
  Receive(TPacket::Log(0x1080, 36).U16BE(29, 300).U8(31, 2).U16(34, 7));
  FLoop.ProcessMessages();  // the session posted WM_MODEM_SECTOR
  Receive(RevAPower(2560, -20480), 5);
  FFm->SetDecimalSeparator(",");
  Cycle();
  EXPECT_EQ(Label(Label6), "Cell:  300 Sect: 2 Pn:    7");
  EXPECT_EQ(Label(Label7), "     TX:   10,0");
  EXPECT_EQ(Label(Label5), "RX:  -80,0");
  EXPECT_EQ(FFm->CellFaceQuality().ValuesList(), (TCellFaceQuality::TValues{{"300-2", 1}}));
}

TEST_F(PollingCycle, AnOpenReportWindowIsRefreshedByCountingCycles) {
  Modem().SetEvdoType(evtRevA);
  FFm->ReportActionExecute();
  ASSERT_TRUE(FView.ReportAlive);
  EXPECT_EQ(FView.Report->Shows, 1);
  EXPECT_EQ(FView.Report->Labels[5], "0");
  Receive(RevAPower(2560, -20352), 5);
  Receive(RevAArq());
  Cycle();
  EXPECT_EQ(FView.Report->Labels[5], "1") << "RX -79.5 in the first bin";
  EXPECT_EQ(FView.Report->Labels[18], "1") << "TX 10 in key 3";
  EXPECT_EQ(FView.Report->Lists[0], (std::vector<std::string>{"  2457: 1"}));
  // Closed: the next cycle refreshes nothing, the next "Report" makes a new window.
  FFm->ReportFormClose();
  EXPECT_FALSE(FView.ReportAlive);
  Cycle();
  EXPECT_EQ(FView.ReportViewsMade, 1);
  FFm->ReportActionExecute();
  EXPECT_EQ(FView.ReportViewsMade, 2);
  EXPECT_EQ(FView.Report->Labels[5], "2");
}

}  // namespace

// Samples and events as the sinks see them.
class TRecordingSink final : public TCycleSink {
 public:
  void Consume(const TCycleSample& aSample) override { Samples.push_back(aSample); }
  void Consume(const TMonitorEvent& aEvent) override {
    std::string line(MonitorEventName(aEvent.Kind));
    if (!aEvent.From.empty() || !aEvent.To.empty()) line += " " + aEvent.From + " -> " + aEvent.To;
    if (!aEvent.Text.empty()) line += " " + aEvent.Text;
    if (aEvent.RoundTripMs) line += " rtt " + std::to_string(*aEvent.RoundTripMs);
    Events.push_back(line);
  }
  std::vector<TCycleSample> Samples;
  std::vector<std::string> Events;
};

TEST_F(PollingCycle, SamplesCarryWhatTheLabelsShowAndEventsMarkChanges) {
  TRecordingSink sink;
  FFm->AddSink(sink);
  FFm->AddSink(sink);  // once only
  Modem().SetEvdoType(evtRevA);
  const auto sector = [](int aCell, int aFace, int aPn) {
    return TPacket::Log(0x1080, 36).U16BE(29, static_cast<uint16_t>(aCell)).U8(31, static_cast<uint8_t>(aFace)).U16(34, static_cast<uint16_t>(aPn));
  };

  Cycle();  // no packet yet: the records' zeroes are no measurement
  Receive(sector(300, 2, 300));
  FLoop.ProcessMessages();
  Receive(RevAPower(2560, -20352), 5);
  Receive(RevAArq());
  Cycle();
  Receive(sector(300, 2, 300));  // the same sector again: no event
  Receive(sector(301, 1, 12));
  FLoop.ProcessMessages();
  Modem().SetEvdoType(evtRevB);
  Cycle();
  for (int i = 0; i < 5; ++i) Cycle();  // stale: no data again

  ASSERT_EQ(sink.Samples.size(), 8u);
  const TCycleSample& first = sink.Samples[0];
  EXPECT_TRUE(first.Present);
  EXPECT_TRUE(first.NoData);
  const TCycleSample& fresh = sink.Samples[1];
  EXPECT_FALSE(fresh.NoData);
  EXPECT_EQ(fresh.LinkType, "Rev.A");
  EXPECT_FLOAT_EQ(fresh.Tx, 10.0f);
  EXPECT_FLOAT_EQ(fresh.Rx, -79.5f);
  EXPECT_FLOAT_EQ(fresh.Drc, 2457.6f);
  EXPECT_EQ(std::tie(fresh.Cell, fresh.Sector, fresh.Pn), std::make_tuple(300, 2, 300));
  EXPECT_EQ(fresh.Port, "COM" + std::to_string(Modem().ComPortNumber()));
  EXPECT_EQ(fresh.Device, FPty.Path);
  EXPECT_EQ(sink.Samples.back().Tx, -60.39f);
  EXPECT_TRUE(sink.Samples.back().NoData);

  EXPECT_EQ(sink.Events, (std::vector<std::string>{
                             "sector_changed  -> 300-2/300",
                             "signal_back",
                             "sector_changed 300-2/300 -> 301-1/12",
                             "link_type_changed Rev.A -> Rev.B",
                             "signal_lost",
                         }));

  FFm->RemoveSink(sink);
  Cycle();
  EXPECT_EQ(sink.Samples.size(), 8u);
}

TEST_F(PollingCycle, PingLinesBecomeReplyAndLossEvents) {
  TRecordingSink sink;
  FFm->AddSink(sink);
  const struct {
    intptr_t Outcome;
    const char* Line;
  } lines[] = {{12, "Reply from 10.0.0.1: bytes=32 time=12ms TTL=64"},
               {kPingEchoLost, "*** ping error: 110 - Connection timed out"},
               {kPingEchoNotSent, "*** Eror:1 - Operation not permitted"}};
  for (const auto& l : lines) {
    TWindowMessage message;
    message.Msg = WM_PING_REPLY;
    message.LParam = l.Outcome;
    message.Text = l.Line;
    FFm->WndProc(message);
  }
  EXPECT_EQ(sink.Events, (std::vector<std::string>{"ping_reply Reply from 10.0.0.1: bytes=32 time=12ms TTL=64 rtt 12",
                                                   "ping_loss *** ping error: 110 - Connection timed out"}));
  EXPECT_EQ(FView.PingLines.size(), 3u);
}
