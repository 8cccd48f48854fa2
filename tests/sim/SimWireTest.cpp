// Tests of the simulated modem's framing, identity encodings and command replies.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "sim/SimCommands.h"
#include "sim/SimWire.h"

namespace {

using namespace sim;

TEST(SimFraming, EscapesContentAndCrcAndEndsWithTheFlag) {
  struct TCase {
    TByteString Content;
    TByteString Wire;
  };
  const TCase cases[] = {
      {Bytes({0x0C}), Bytes({0x0C, 0x14, 0x3A, 0x7E})},
      {Bytes({}), Bytes({0x00, 0x00, 0x7E})},
      // 7E and 7D in the content; CRC F1 CD.
      {Bytes({0x7E, 0x7D}), Bytes({0x7D, 0x5E, 0x7D, 0x5D, 0xF1, 0xCD, 0x7E})},
      // CRC 0xA37E: its low byte is escaped.
      {Bytes({0x10, 0x01, 0x1E}), Bytes({0x10, 0x01, 0x1E, 0x7D, 0x5E, 0xA3, 0x7E})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HexDump(EncodeFrame(c.Content)), HexDump(c.Wire));
    std::deque<simtest::TFrame> frames;
    simtest::TDeframer().Feed(EncodeFrame(c.Content, 0x0100), frames);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].CrcOk) << "a damaged CRC must not pass";
  }
}

TEST(SimFraming, CommandDeframerKeepsPartialFramesAndDropsBadOnes) {
  const TByteString status = simtest::Frame(Bytes({0x0C}));
  const TByteString nv = simtest::Frame(simtest::NvRequest(0x20));
  TByteString damaged = status;
  damaged[1] = static_cast<char>(damaged[1] ^ 0x01);

  TCommandDeframer deframer;
  TCommandDeframer::TResult result;
  // A command cut in three, flags on their own, a damaged one, then one more.
  deframer.Feed(nv.substr(0, 10), result);
  deframer.Feed(nv.substr(10, 30), result);
  EXPECT_TRUE(result.Commands.empty());
  deframer.Feed(nv.substr(40) + "\x7E\x7E", result);
  deframer.Feed(damaged + status, result);
  ASSERT_EQ(result.Commands.size(), 2u);
  EXPECT_EQ(result.Commands[0], simtest::NvRequest(0x20));
  EXPECT_EQ(result.Commands[1], Bytes({0x0C}));
  EXPECT_EQ(result.BadCrc, 1u);

  // Past its bound a frame is thrown away whole; the next flag starts afresh.
  TCommandDeframer::TResult overlong;
  deframer.Feed(TByteString(TCommandDeframer::kMaxFrame + 100, '\x11') + status, overlong);
  EXPECT_EQ(overlong.Overlong, 1u);
  EXPECT_TRUE(overlong.Commands.empty());
  deframer.Feed(status, overlong);
  ASSERT_EQ(overlong.Commands.size(), 1u);
}

// The monitor's decoding of the MIN field: digit x shows as (x mod 10 + 1) mod 10.
std::string DecodeMin1(uint32_t aValue) {
  auto d = [](uint32_t x) { return static_cast<char>('0' + (x % 10 + 1) % 10); };
  auto group = [&](uint32_t n) { return std::string{d(n / 100), d(n / 10), d(n)}; };
  return group(aValue >> 14) + static_cast<char>('0' + ((aValue >> 10) & 0x0F) % 10) + group(aValue & 0x3FF);
}

std::string DecodeLac(uint16_t aWord) {
  std::string text = std::to_string(static_cast<uint16_t>(aWord + 111));
  if (text.size() == 4 && text.compare(0, 2, "10") == 0) text = text.substr(1);
  return text;
}

TEST(SimIdentity, NumbersDecodeToTheConfiguredDigits) {
  EXPECT_EQ(EncodeMin1("5551234"), 0x6F047Bu);
  for (const char* digits : {"5551234", "0000000", "9999999", "1234567", "5550188", "0909090"})
    EXPECT_EQ(DecodeMin1(EncodeMin1(digits)), digits);
  struct TLac {
    const char* Digits;
    uint16_t Word;
  };
  for (const TLac& c : {TLac{"095", 984}, TLac{"111", 0}, TLac{"000", 889}, TLac{"100", 65525}, TLac{"999", 888}}) {
    EXPECT_EQ(EncodeLacWord(c.Digits), c.Word) << c.Digits;
    EXPECT_EQ(DecodeLac(EncodeLacWord(c.Digits)), c.Digits);
  }
  EXPECT_THROW(EncodeMin1("555123"), std::invalid_argument);
  EXPECT_THROW(EncodeMin1("555-234"), std::invalid_argument);
  EXPECT_THROW(EncodeLacWord("95"), std::invalid_argument);
}

TEST(SimCommands, RepliesAsTheLayoutsSay) {
  TDeviceIdentity id;
  id.Esn = 0x12345678;
  id.Min1 = EncodeMin1("5551234");
  id.Dn1 = EncodeMin1("5550188");
  id.LacWord = EncodeLacWord("095");

  // Status: ESN at 4..7, mode word at 8..9, MIN at 10..13.
  const TByteString status = HandleCommand(Bytes({0x0C}), id, 5).Reply;
  ASSERT_GE(status.size(), 14u);
  EXPECT_EQ(HexDump(status.substr(0, 14)), "0C 00 00 00 78 56 34 12 05 00 7B 04 6F 00");
  // NV 0x20: 555 -> group 444, 0, 188 -> group 077: 0x6F004D at 4..7. NV 0x21: 984 at 4..5.
  const TByteString dn = HandleCommand(simtest::NvRequest(0x20), id, 5).Reply;
  ASSERT_GE(dn.size(), 8u);
  EXPECT_EQ(HexDump(dn.substr(0, 8)), "26 20 00 00 4D 00 6F 00");
  const TByteString lac = HandleCommand(simtest::NvRequest(0x21), id, 5).Reply;
  ASSERT_GE(lac.size(), 6u);
  EXPECT_EQ(HexDump(lac.substr(0, 6)), "26 21 00 00 D8 03");

  // Anything else: 0x13 and the request.
  for (const TByteString& request : {Bytes({0x4B, 0x01}), simtest::NvRequest(0x22), Bytes({0x26}),
                                     Bytes({0x73, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), Bytes({0x73, 0, 0})}) {
    const TCommandOutcome out = HandleCommand(request, id, 5);
    EXPECT_TRUE(out.BadCommand) << HexDump(request);
    EXPECT_EQ(out.Reply, Bytes({0x13}) + request);
    EXPECT_FALSE(out.NewMask);
  }
  EXPECT_TRUE(HandleCommand(Bytes({}), id, 5).Reply.empty());
}

TEST(SimCommands, LogMasksSwitchExactlyTheirCodes) {
  const TDeviceIdentity id;
  const TCommandOutcome full = HandleCommand(simtest::LogMaskCommand(), id, 5);
  ASSERT_TRUE(full.NewMask);
  EXPECT_EQ(static_cast<uint8_t>(full.Reply[0]), 0x73);
  int on = 0;
  for (uint32_t code = 0x1000; code < 0x2000; ++code) on += full.NewMask->Enabled(static_cast<uint16_t>(code));
  EXPECT_EQ(on, 18);
  for (uint16_t code : {0x1007, 0x102D, 0x1069, 0x1088, 0x1281, 0x12A0, 0x12A2}) EXPECT_TRUE(full.NewMask->Enabled(code));

  const TCommandOutcome oneX = HandleCommand(simtest::OneXLogMaskCommand(), id, 5);
  ASSERT_TRUE(oneX.NewMask);
  EXPECT_EQ(oneX.Reply, simtest::OneXLogMaskCommand());
  EXPECT_TRUE(oneX.NewMask->Enabled(0x1007));
  EXPECT_TRUE(oneX.NewMask->Enabled(0x102D));
  for (uint16_t code : {0x1069, 0x108C, 0x1088, 0x12A1}) EXPECT_FALSE(oneX.NewMask->Enabled(code));

  const TCommandOutcome off = HandleCommand(simtest::LoggingOffCommand(), id, 5);
  ASSERT_TRUE(off.NewMask);
  EXPECT_FALSE(off.NewMask->Any());

  // A mask cut short enables only the bits that arrived.
  const TCommandOutcome cut = HandleCommand(simtest::LogMaskCommand().substr(0, 17), id, 5);
  ASSERT_TRUE(cut.NewMask);
  EXPECT_TRUE(cut.NewMask->Enabled(0x1007));
  EXPECT_FALSE(cut.NewMask->Enabled(0x102D));
}

}  // namespace
