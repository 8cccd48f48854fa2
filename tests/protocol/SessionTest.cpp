#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/WindowMessages.h"
#include "protocol/Modem_Unit.h"
#include "protocol/ModemStructuresUnit.h"

namespace {

// A log packet's content: first byte 0x10, the log length at 2..3, the code at 6..7, a
// timestamp at 8..15 and the given data from byte 16.
TByteString LogPacket(uint16_t aCode, TByteView aData = {}) {
  TByteString p = Bytes({0x10, 0x00, 0, 0, 0, 0, static_cast<uint8_t>(aCode & 0xFF), static_cast<uint8_t>(aCode >> 8)});
  p.append(8, '\0');
  p.append(aData);
  const size_t length = p.size() - 4;
  p[2] = static_cast<char>(length & 0xFF);
  p[3] = static_cast<char>(length >> 8);
  return p;
}

class RecordingBoxes : public TMessageBoxes {
 public:
  void ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) override {
    Shown.push_back({aCaption, aText, aKind});
  }
  struct Box {
    std::string Caption, Text;
    TMessageBoxKind Kind;
  };
  std::vector<Box> Shown;
};

class Session : public ::testing::Test {
 protected:
  Session() : FModem(&FMessages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity) {
    FModem.SetMessageBoxes(&FBoxes);
  }
  void Receive(TByteView aContent) { FModem.ProcessReceivedBytes(FrameBytes(aContent)); }

  TMessageQueue FMessages;
  RecordingBoxes FBoxes;
  TModem FModem;
};

}  // namespace

TEST_F(Session, StartsWithBlankIdentityAndNoLinkType) {
  for (const std::string& id : {FModem.modemESN(), FModem.modemMIN(), FModem.modemDN(), FModem.modemLAC(), FModem.modemIMSI()})
    EXPECT_EQ(id, " ");
  EXPECT_EQ(FModem.EvdoType(), evtNone);
  EXPECT_EQ(FModem.GetEvdoType(), "undefined");
  EXPECT_FLOAT_EQ(FModem.TotalTXPower(), -60.39f);
  EXPECT_EQ(FModem.BaseID(), 0);
  EXPECT_EQ(FModem.SectorID(), 0);
  EXPECT_FALSE(FModem.PortActive());
  EXPECT_EQ(FModem.ComPort()->EvtChar(), '\n');
  EXPECT_EQ(FModem.ComPort()->Options(), TXuComOptions({coIgnoreXOff}));
  EXPECT_EQ(FModem.Options(), TXuComOptions());
}

TEST_F(Session, LogCodesCountOnlyDuringTheProbeAndSetTheLinkType) {
  struct Case {
    uint16_t Code;
    bool Counted;
    TEvdoType TypeWhileCounting;
  } cases[] = {
      {0x1007, true, evtEv1X},  {0x102D, true, evtEv1X},  {0x1069, true, evtRevA}, {0x106C, true, evtNone},
      {0x107C, true, evtNone},  {0x1080, true, evtNone},  {0x1088, false, evtNone}, {0x108B, true, evtNone},
      {0x108C, true, evtRevA},  {0x1192, true, evtRevA},  {0x127E, true, evtRevA}, {0x1298, true, evtRevB},
      {0x129C, true, evtRevB},  {0x129F, true, evtRevB},  {0x12A1, true, evtRevB}, {0x12A2, true, evtRevB},
      {0x1234, false, evtNone}, {0x0069, false, evtNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Code);
    FModem.SetEvdoType(evtNone);
    FModem.SetPacketsCount(0);
    FModem.SetInitState(false);
    Receive(LogPacket(c.Code));
    EXPECT_EQ(FModem.PacketsCount(), 0);
    EXPECT_EQ(FModem.EvdoType(), evtNone);
    FModem.SetInitState(true);
    Receive(LogPacket(c.Code));
    EXPECT_EQ(FModem.PacketsCount(), c.Counted ? 1 : 0);
    EXPECT_EQ(FModem.EvdoType(), c.TypeWhileCounting);
  }
}

TEST_F(Session, TwoCodesSetTheLinkTypeWhateverTheProbeStateAndNeverCount) {
  for (bool init : {false, true}) {
    FModem.SetInitState(init);
    FModem.SetPacketsCount(0);
    Receive(LogPacket(0x1281));
    EXPECT_EQ(FModem.EvdoType(), evtRevA);
    Receive(LogPacket(0x12A0));
    EXPECT_EQ(FModem.EvdoType(), evtRevB);
    EXPECT_EQ(FModem.GetEvdoType(), "Rev.B");
    EXPECT_EQ(FModem.PacketsCount(), 0);
  }
}

TEST_F(Session, LogCodeComesFromBytesSixAndSevenOrByteSixAlone) {
  FModem.SetInitState(true);
  Receive(Bytes({0x10, 0, 0, 0, 0, 0, 0x69}));  // 7 bytes: code 0x0069, not a log we know
  EXPECT_EQ(FModem.PacketsCount(), 0);
  Receive(Bytes({0x10, 0, 0, 0, 0, 0, 0x69, 0x10}));  // 8 bytes: code 0x1069
  EXPECT_EQ(FModem.PacketsCount(), 1);
  Receive(Bytes({0x10, 0, 0}));
  EXPECT_EQ(FModem.PacketsCount(), 1);
  EXPECT_EQ(FModem.CommonPacketsCount(), 3);
}

TEST_F(Session, EveryNonEmptyFrameIsCommonEmptyOnesAreSkipped) {
  FModem.ProcessReceivedBytes(Bytes({0x7E, 0x7E, 0x00, 0x00, 0x7E}));  // two empty frames, one CRC-only frame
  EXPECT_EQ(FModem.CommonPacketsCount(), 0);
  Receive(Bytes({0x42}));
  EXPECT_EQ(FModem.CommonPacketsCount(), 1);
  EXPECT_EQ(FModem.BadFramesCount(), 0u);
}

TEST_F(Session, DamagedFramesAreCountedAndNeverDispatched) {
  FModem.SetInitState(true);
  TByteString damaged = FrameBytes(LogPacket(0x1069));
  damaged[3] = static_cast<char>(damaged[3] ^ 0x40);
  FModem.ProcessReceivedBytes(damaged + FrameBytes(LogPacket(0x1069)));
  EXPECT_EQ(FModem.BadFramesCount(), 1u);
  EXPECT_EQ(FModem.CommonPacketsCount(), 1);
  EXPECT_EQ(FModem.PacketsCount(), 1);
}

TEST_F(Session, CountersTellFramesDamageAndLogCodesAndNeverGoBack) {
  EXPECT_FALSE(FModem.Counters().LastLogPacket);
  TByteString damaged = FrameBytes(LogPacket(0x1069));
  damaged[3] = static_cast<char>(damaged[3] ^ 0x40);
  const auto before = std::chrono::steady_clock::now();
  // Two routed codes, one in the routed range without a route, one beyond it, a reply, a damaged frame.
  FModem.ProcessReceivedBytes(FrameBytes(LogPacket(0x1069)) + FrameBytes(LogPacket(0x1069)) +
                              FrameBytes(LogPacket(0x1080)) + FrameBytes(LogPacket(0x1001)) +
                              FrameBytes(LogPacket(0x7777)) + FrameBytes(Bytes({0x0C, 0x00})) + damaged);
  // The window's own counters are reset by the window; these are not.
  FModem.SetCommonPacketsCount(0);
  const TSessionCounters counters = FModem.Counters();
  EXPECT_EQ(counters.FramesReceived, 6u);
  EXPECT_EQ(counters.BadFrames, 1u);
  const std::vector<std::pair<uint16_t, uint64_t>> expected = {{0x1069, 2}, {0x1080, 1}};
  EXPECT_EQ(counters.LogPackets, expected);
  EXPECT_EQ(counters.OtherLogPackets, 2u);
  ASSERT_TRUE(counters.LastLogPacket);
  EXPECT_GE(*counters.LastLogPacket, before);
}

TEST_F(Session, PortErrorsArePostedWithTheirTextAndClearedBySendCommand) {
  FModem.ComPort()->OnError(FModem.ComPort(), "Input/output error");
  EXPECT_TRUE(FModem.PortError());
  EXPECT_EQ(FModem.PortErrorText(), "Input/output error");
  auto message = FMessages.TryTake();
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Msg, WM_MODEM_ERROR);
  EXPECT_EQ(message->Text, "Modem: Input/output error");
  FModem.SendCommand("0C");  // the port is closed: the write fails quietly
  EXPECT_FALSE(FModem.PortError());
  EXPECT_EQ(FModem.PortErrorText(), "");
  EXPECT_THROW(FModem.SendCommand("0"), ECommandFormatError);
}

TEST_F(Session, ReadingAClosedPortIsRefused) {
  try {
    FModem.ReadString();
    FAIL();
  } catch (const EModemError& e) {
    EXPECT_STREQ(e.what(), "Ошибка чтения данных: устройство не активно!");
  }
}

TEST_F(Session, PortSwitchToTheSameNumberDoesNothingAFailedSwitchKeepsTheOldNumber) {
  FModem.SetComPortNumber(0);
  EXPECT_TRUE(FBoxes.Shown.empty());
  FModem.SetComPortNumber(9999);
  EXPECT_EQ(FModem.ComPortNumber(), 0);
  EXPECT_EQ(FModem.ComPort()->PortNumber(), 0);
  EXPECT_FALSE(FModem.PortActive());
  ASSERT_EQ(FBoxes.Shown.size(), 1u);
  EXPECT_EQ(FBoxes.Shown[0].Caption, "TModem");
  EXPECT_EQ(FBoxes.Shown[0].Text, "Не удалсоь установить порт: COM9999");
  EXPECT_EQ(FBoxes.Shown[0].Kind, TMessageBoxKind::Error);
}

TEST_F(Session, SettingsAreStoredAndForwardedToThePort) {
  FModem.SetBaudRate(br115200);
  FModem.SetParityCheck(true);
  FModem.SetXOnLimit(17);
  EXPECT_EQ(FModem.ComPort()->BaudRate(), br115200);
  EXPECT_TRUE(FModem.ComPort()->Options().Contains(coParityCheck));
  EXPECT_TRUE(FModem.ComPort()->Options().Contains(coIgnoreXOff));
  EXPECT_EQ(FModem.ComPort()->XOnLimit(), 17);
  FModem.SetParityCheck(false);
  EXPECT_EQ(FModem.ComPort()->Options(), TXuComOptions({coIgnoreXOff}));
}

TEST(LogTime, StampCountsQuarterMillisecondTicksFromTheGpsEpochInLocalStandardTime) {
  const uint64_t oneDay = 86400ull * 1000 * 4 / 5;  // ticks of 1.25 ms
  const uint64_t stamp = (oneDay + oneDay / 2) << 16 | 0xFFFF;  // the low 16 bits are not time
  const auto stampTime = [&] { return LogTimeToDateTime(static_cast<uint32_t>(stamp), static_cast<uint32_t>(stamp >> 32)); };
  // Whatever the machine's zone: UTC, then the local time of a zone west and one east of it.
  EXPECT_DOUBLE_EQ(stampTime() + TimeZoneBiasMinutes() / 1440.0, 29227.5);
  const char* saved = std::getenv("TZ");
  const std::string restore = saved ? saved : "";
  for (const auto& [zone, hours] : {std::pair{"UTC0", 0}, {"EST5EDT", -5}, {"CET-1CEST", 1}}) {
    setenv("TZ", zone, 1);
    EXPECT_DOUBLE_EQ(stampTime(), 29227.5 + hours / 24.0) << zone;
  }
  if (saved)
    setenv("TZ", restore.c_str(), 1);
  else
    unsetenv("TZ");
}

TEST(Commands, TextsDecodeToTheirTabledBytes) {
  EXPECT_EQ(ComposeCommand(kStatusRequestCommand), Bytes({0x0C, 0x14, 0x3A, 0x7E}));
  EXPECT_EQ(kLogMaskCommand.size(), 691u * 2);
  EXPECT_EQ(kLogMask1xCommand.size(), 30u * 2);
  EXPECT_EQ(kLoggingOffCommand.size(), 64u * 2);
  EXPECT_EQ(kNvItem20Command.size(), 65u * 2);
  EXPECT_EQ(kNvItem21Command.substr(0, 4), "2621");
  EXPECT_NO_THROW(ComposeCommand(kLogMaskCommand));
}
