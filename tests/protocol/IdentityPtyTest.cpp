// The identity requests and their replies over a real port: the order the requests go out in,
// and the identity the replies leave in the session.
#include <gtest/gtest.h>

#include "LogPacketBuilder.h"
#include "PtyModem.h"
#include "common/WindowMessages.h"
#include "protocol/FrameCodec.h"
#include "serial/PortTable.h"

using namespace std::chrono_literals;

TEST(IdentityOverPty, RequestsGoOutInOrderAndRepliesFillTheIdentity) {
  PtyModem pty;
  TMessageQueue messages;
  TModem modem(&messages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
  modem.SetComPortNumber(TPortTable::Instance().RegisterExtraPort(pty.Path(), "identity modem"));
  ASSERT_TRUE(modem.PortActive());
  modem.ComPort()->StartRead();

  modem.GetESNandMIN();
  const TByteString expected = ComposeCommand(kNvItem20Command) + ComposeCommand(kStatusRequestCommand) +
                               ComposeCommand(kNvItem21Command) + ComposeCommand(kNvItem21Command);
  TByteString written;
  while (written.size() < expected.size()) {
    const TByteString more = pty.Read(10s);
    if (more.empty()) break;
    written += more;
  }
  EXPECT_EQ(written, expected);

  pty.Write(FrameBytes(TPacket::Reply(0x26, 133).U8(1, 0x20).U32(4, 0x6F047B).Bytes()) +
            FrameBytes(TPacket::Reply(0x0C, 60).U32(4, 0x0BADCAFE).U16(8, 2).U32(10, 0x6F047B).Bytes()) +
            FrameBytes(TPacket::Reply(0x26, 133).U8(1, 0x21).U16(4, 984).Bytes()));
  for (int i = 0; i < 2; ++i) {
    const auto message = messages.WaitTake(20s);
    ASSERT_TRUE(message) << i;
    EXPECT_EQ(message->Msg, WM_MODEM_IDENTITY);
  }
  EXPECT_EQ(modem.modemESN(), "0BADCAFE");
  EXPECT_EQ(modem.modemMIN(), "5551234");
  EXPECT_EQ(modem.modemDN(), "5551234");
  EXPECT_EQ(modem.modemLAC(), "095");
  EXPECT_EQ(modem.modemIMSI(), "383600955551234");
  EXPECT_EQ(modem.EvdoType(), evtRevB);
}
