#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "PtyModem.h"
#include "common/WindowMessages.h"
#include "protocol/Modem_Unit.h"
#include "serial/PortTable.h"

using namespace std::chrono_literals;

namespace {

TByteString LogPacket(uint16_t aCode, TByteView aData) {
  TByteString p = Bytes({0x10, 0x00, 0, 0, 0, 0, static_cast<uint8_t>(aCode & 0xFF), static_cast<uint8_t>(aCode >> 8)});
  p.append(8, '\0');
  p.append(aData);
  p[2] = static_cast<char>((p.size() - 4) & 0xFF);
  p[3] = static_cast<char>((p.size() - 4) >> 8);
  return p;
}

template <class Predicate>
bool WaitUntil(Predicate aDone, std::chrono::milliseconds aTimeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class SessionOverPty : public ::testing::Test {
 protected:
  SessionOverPty() : FModem(&FMessages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity) {
    const uint16_t number = TPortTable::Instance().RegisterExtraPort(FPty.Path(), "test modem");
    FModem.SetComPortNumber(number);
  }

  PtyModem FPty;
  TMessageQueue FMessages;
  TModem FModem;
};

}  // namespace

TEST_F(SessionOverPty, CommandsReachTheModemFramed) {
  ASSERT_TRUE(FModem.PortActive());
  FModem.SendCommand(kStatusRequestCommand);
  EXPECT_EQ(FPty.Read(5s), Bytes({0x0C, 0x14, 0x3A, 0x7E}));
}

TEST_F(SessionOverPty, EveryFrameWrittenInRandomPiecesIsDispatchedOnce) {
  ASSERT_TRUE(FModem.PortActive());
  FModem.SetInitState(true);
  FModem.ComPort()->StartRead();

  constexpr int kFrames = 3000;
  const uint16_t codes[] = {0x1069, 0x108B, 0x1080, 0x12A1, 0x1088};  // 0x1088 is not counted
  int counted = 0;
  TByteString stream;
  std::mt19937 rng(3);
  for (int i = 0; i < kFrames; ++i) {
    TByteString data;
    for (int j = 0; j < 40; ++j) data.push_back(static_cast<char>(j % 9 == 0 ? 0x7E : j % 11 == 0 ? 0x7D : rng()));
    const uint16_t code = codes[i % std::size(codes)];
    counted += code != 0x1088;
    stream += FrameBytes(LogPacket(code, data));
  }

  std::thread device([&] {
    std::mt19937 chunks(5);
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(stream.size() - at, 1 + chunks() % 700);
      FPty.Write(TByteView(stream).substr(at, n));
      at += n;
    }
  });
  // The window's side reads while the reader parses.
  bool all = WaitUntil([&] {
    (void)FModem.CarrDataRevA();
    (void)FModem.GetEvdoType();
    return FModem.CommonPacketsCount() == kFrames;
  });
  device.join();
  EXPECT_TRUE(all) << FModem.CommonPacketsCount();
  EXPECT_EQ(FModem.BadFramesCount(), 0u);
  EXPECT_EQ(FModem.PacketsCount(), counted);
}

TEST_F(SessionOverPty, ModemGoneIsReportedOnceAndTheReaderEnds) {
  FModem.ComPort()->StartRead();
  FPty.CloseMaster();
  auto message = FMessages.WaitTake(10s);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->Msg, WM_MODEM_ERROR);
  EXPECT_EQ(message->Text->rfind("Modem: ", 0), 0u);
  EXPECT_TRUE(WaitUntil([&] { return FModem.ComPort()->ReadDone(); }));
  EXPECT_FALSE(FMessages.WaitTake(200ms));
}
