// Command texts, the identity replies and the identity log.
#include <gtest/gtest.h>

#include <set>

#include "LogPacketBuilder.h"
#include "common/WindowMessages.h"
#include "protocol/FrameCodec.h"

namespace {

// The bytes a command text decodes to: the framed form without its CRC and flag.
TByteString CommandBytes(std::string_view aText) {
  const TByteString frame = ComposeCommand(aText);
  EXPECT_EQ(frame.find('\x7D'), TByteString::npos) << "no command needs escaping";
  return frame.substr(0, frame.size() - 3);
}

using Identity = SessionFixture;

}  // namespace

TEST(Commands, LogMaskEnablesExactlyTheCodesTheDispatcherHandles) {
  const TByteString bytes = CommandBytes(kLogMaskCommand);
  ASSERT_EQ(bytes.size(), 691u);
  EXPECT_EQ(bytes.substr(0, 16), Bytes({0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0xA3, 0x02, 0, 0}));
  const TByteView mask = TByteView(bytes).substr(16);
  ASSERT_EQ(mask.size(), 675u);

  std::set<uint16_t> enabled;
  for (size_t bit = 0; bit < mask.size() * 8; ++bit)
    if (ByteAt(mask, bit / 8) >> (bit % 8) & 1) enabled.insert(static_cast<uint16_t>(0x1000 + bit));
  std::set<uint16_t> handled;
  for (uint32_t code = 0; code <= 0xFFFF; ++code)
    if (TModem::HandlesLogCode(static_cast<uint16_t>(code))) handled.insert(static_cast<uint16_t>(code));
  EXPECT_EQ(enabled.size(), 18u);
  EXPECT_EQ(enabled, handled);

  const std::pair<size_t, uint8_t> nonZero[] = {{0, 0x80},  {5, 0x20},  {13, 0x12}, {15, 0x10}, {16, 0x01}, {17, 0x19},
                                                {50, 0x04}, {79, 0x40}, {80, 0x02}, {83, 0x91}, {84, 0x07}};
  TByteString expected(675, '\0');
  for (auto [at, value] : nonZero) expected[at] = static_cast<char>(value);
  EXPECT_EQ(mask, expected);
}

TEST(Commands, OtherTextsDecodeToTheirTabledBytes) {
  EXPECT_EQ(CommandBytes(kLogMask1xCommand),
            Bytes({0x5D, 0xD8, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00}));
  TByteString off = Bytes({0x5D, 0xE8, 0x01});
  off.resize(64, '\0');
  EXPECT_EQ(CommandBytes(kLoggingOffCommand), off);
  EXPECT_EQ(CommandBytes(kStatusRequestCommand), Bytes({0x0C}));
  for (auto [text, item] : {std::pair{kNvItem20Command, uint8_t{0x20}}, std::pair{kNvItem21Command, uint8_t{0x21}}}) {
    TByteString nv = Bytes({0x26, item, 0x00});
    nv.resize(65, '\0');
    EXPECT_EQ(CommandBytes(text), nv);
  }
}

TEST(DecodeMin, DigitsAreStoredOffByOne) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0x6F047B, "5551234"},                 // 444, 1, 123
      {0, "1110111"},                        // every stored 0 is the digit 1
      {(999u << 14) | (9u << 10) | 999, "0009000"},
      {(10u << 14) | (15u << 10) | 0x3FF, "1215134"},  // a 4-bit 15 keeps only its last digit
  };
  for (auto [value, text] : cases) EXPECT_EQ(DecodeMin1(value), text) << std::hex << value;
}

TEST_F(Identity, StatusReplySetsEsnMinAndTheLinkType) {
  struct Case {
    uint16_t Mode;
    TEvdoType Type;
  } cases[] = {{2, evtRevB}, {5, evtRevB}, {1, evtEv1X}, {0, evtEv1X}, {0x0205, evtEv1X}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Mode);
    FModem.SetEvdoType(evtRevA);
    Receive(TPacket::Reply(0x0C, 14).U32(4, 0x12345678).U16(8, c.Mode).U32(10, 0x6F047B));
    EXPECT_EQ(FModem.EvdoType(), c.Type);
    EXPECT_EQ(FModem.modemESN(), "12345678");
    EXPECT_EQ(FModem.modemMIN(), "5551234");
    EXPECT_EQ(TakeMessages(), std::vector<uint32_t>{WM_MODEM_IDENTITY});
  }
  Receive(TPacket::Reply(0x0C, 14).U32(4, 0xAB));
  EXPECT_EQ(FModem.modemESN(), "000000AB");
}

TEST_F(Identity, LacKeepsItsLastThreeDigitsWhenTheSumHasFourStartingWithTen) {
  const std::pair<uint16_t, const char*> cases[] = {{984, "095"}, {0, "111"}, {889, "000"}, {888, "999"},
                                                    {1889, "2000"}, {0xFFFF, "110"}};
  for (auto [stored, lac] : cases) {
    Receive(TPacket::Reply(0x26, 6).U8(1, 0x21).U16(4, stored));
    EXPECT_EQ(FModem.modemLAC(), lac) << stored;
  }
}

TEST_F(Identity, ImsiJoinsCountryNetworkLacAndDirectoryNumber) {
  // Before the directory number arrives, its blank goes in.
  Receive(TPacket::Reply(0x26, 6).U8(1, 0x21).U16(4, 984));
  EXPECT_EQ(FModem.modemIMSI(), "38360095 ");
  EXPECT_EQ(TakeMessages(), std::vector<uint32_t>{WM_MODEM_IDENTITY});

  Receive(TPacket::Reply(0x26, 8).U8(1, 0x20).U8(2, 0x77).U32(4, 0x6F047B));
  EXPECT_EQ(FModem.modemDN(), "5551234");
  EXPECT_TRUE(TakeMessages().empty()) << "the directory number alone posts nothing";
  EXPECT_EQ(FModem.modemIMSI(), "38360095 ") << "rebuilt only by the next LAC reply";

  Receive(TPacket::Reply(0x26, 65).U8(1, 0x21).U16(4, 984));
  EXPECT_EQ(FModem.modemIMSI(), "383600955551234");

  Receive(TPacket::Reply(0x26, 65).U8(1, 0x22).U32(4, 0x6F047B));
  EXPECT_EQ(FModem.modemDN(), "5551234");
  EXPECT_EQ(FModem.modemLAC(), "095");
  EXPECT_TRUE(TakeMessages().size() == 1);
}

TEST_F(Identity, RepliesTooShortForTheirFieldsAreIgnored) {
  const TPacket status = TPacket::Reply(0x0C, 14).U32(4, 0x12345678).U16(8, 5).U32(10, 0x6F047B);
  const TPacket dn = TPacket::Reply(0x26, 8).U8(1, 0x20).U32(4, 0x6F047B);
  const TPacket lac = TPacket::Reply(0x26, 6).U8(1, 0x21).U16(4, 984);
  for (const TPacket* reply : {&status, &dn, &lac}) {
    for (size_t cut = 1; cut < reply->Size(); ++cut) Receive(TByteView(reply->Bytes()).substr(0, cut));
  }
  for (const std::string& id : {FModem.modemESN(), FModem.modemMIN(), FModem.modemDN(), FModem.modemLAC(), FModem.modemIMSI()})
    EXPECT_EQ(id, " ");
  EXPECT_EQ(FModem.EvdoType(), evtNone);
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(Identity, EsnReplyAndIdentityLogWriteTheEsnAsHex) {
  Receive(Bytes({0x01, 0xAB, 0x0F}));
  EXPECT_EQ(FModem.modemESN(), "0x01AB0F");
  Receive(Bytes({0x00, 0x99}));  // the version reply changes nothing
  EXPECT_EQ(FModem.modemESN(), "0x01AB0F");
  EXPECT_TRUE(TakeMessages().empty());

  FModem.SetInitState(true);
  Receive(TPacket::Log(0x1088, 54).U8(51, 0xAB).U8(52, 0xCD).U8(53, 0xEF));
  EXPECT_EQ(FModem.modemESN(), "ABCDEF");
  EXPECT_EQ(TakeMessages(), std::vector<uint32_t>{WM_MODEM_IDENTITY});
  EXPECT_EQ(FModem.PacketsCount(), 0) << "the identity log is never counted";
  Receive(TPacket::Log(0x1088, 51));
  EXPECT_EQ(FModem.modemESN(), "");
}
