#include <gtest/gtest.h>

#include <random>

#include "common/Crc16.h"
#include "protocol/FrameCodec.h"

namespace {

std::vector<TByteString> SplitAll(TFrameSplitter& aSplitter, TByteView aBytes) {
  TFrameList list;
  aSplitter.Split(aBytes, list);
  std::vector<TByteString> frames;
  for (size_t i = 0; i < list.Count(); ++i) frames.emplace_back(list[i]);
  return frames;
}

// A frame whose CRC is right for its content but whose escaping is written by hand.
TByteString RawFrame(TByteView aWireContent, TByteView aUnescapedContent) {
  const uint16_t crc = crc16x25::Compute(aUnescapedContent.data(), aUnescapedContent.size());
  TByteString bytes(aWireContent);
  bytes.push_back(static_cast<char>(crc & 0xFF));
  bytes.push_back(static_cast<char>(crc >> 8));
  bytes.push_back('\x7E');
  return bytes;
}

}  // namespace

TEST(ComposeCommand, WorkedExamples) {
  EXPECT_EQ(ComposeCommand("0C"), Bytes({0x0C, 0x14, 0x3A, 0x7E}));
  EXPECT_EQ(ComposeCommand("0c"), ComposeCommand("0C"));
  EXPECT_EQ(ComposeCommand(""), Bytes({0x00, 0x00, 0x7E}));
}

TEST(ComposeCommand, MalformedTextsAreRefused) {
  try {
    ComposeCommand("C");
    FAIL() << "odd length accepted";
  } catch (const ECommandFormatError& e) {
    EXPECT_STREQ(e.what(), "Неверный формат комманды (mod 2) > 0");
  }
  for (const char* text : {"0G", "zz", "0 ", "\x7E\x7E"}) EXPECT_THROW(ComposeCommand(text), ECommandFormatError) << text;
}

TEST(ComposeCommand, FlagAndEscapeBytesAreEscapedInContentAndCrc) {
  // Find one-byte commands whose CRC holds 0x7E or 0x7D, so the CRC's own escaping is covered.
  int crcsEscaped = 0;
  for (int b = 0; b < 256; ++b) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", b);
    const TByteString frame = ComposeCommand(text);
    ASSERT_EQ(static_cast<uint8_t>(frame.back()), 0x7E);
    EXPECT_EQ(frame.find('\x7E'), frame.size() - 1) << text;
    TFrameSplitter splitter;
    const auto frames = SplitAll(splitter, frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], Bytes({static_cast<uint8_t>(b)}));
    const uint16_t crc = crc16x25::Compute(frames[0].data(), 1);
    if ((crc & 0xFF) == 0x7E || (crc & 0xFF) == 0x7D || (crc >> 8) == 0x7E || (crc >> 8) == 0x7D) ++crcsEscaped;
  }
  EXPECT_GT(crcsEscaped, 0);
  EXPECT_EQ(ComposeCommand("7E7D").substr(0, 4), Bytes({0x7D, 0x5E, 0x7D, 0x5D}));
}

TEST(FrameSplitter, ReadsSplitIntoCheckedFrames) {
  struct Case {
    const char* Name;
    TByteString Input;
    std::vector<TByteString> Frames;
    uint64_t Bad;
  };
  const TByteString frame0C = Bytes({0x0C, 0x14, 0x3A, 0x7E});
  const Case cases[] = {
      {"two flags give empty frames", Bytes({0x7E, 0x7E}), {"", ""}, 0},
      {"empty frame then a frame", Bytes({0x7E}) + frame0C, {"", Bytes({0x0C})}, 0},
      {"escapes inside a frame", RawFrame(Bytes({0x10, 0x7D, 0x5E, 0x7D, 0x5D}), Bytes({0x10, 0x7E, 0x7D})),
       {Bytes({0x10, 0x7E, 0x7D})}, 0},
      {"decoded pair is not examined again", RawFrame(Bytes({0x7D, 0x5D, 0x5E}), Bytes({0x7D, 0x5E})),
       {Bytes({0x7D, 0x5E})}, 0},
      {"escape before another byte passes", RawFrame(Bytes({0x7D, 0x41, 0x7D, 0x7D, 0x5E}), Bytes({0x7D, 0x41, 0x7D, 0x7E})),
       {Bytes({0x7D, 0x41, 0x7D, 0x7E})}, 0},
      {"content that is only a CRC", Bytes({0x00, 0x00, 0x7E}), {""}, 0},
      {"damaged CRC", Bytes({0x10, 0x12, 0x34, 0x7E}), {}, 1},
      {"one byte cannot carry a CRC", Bytes({0x42, 0x7E}), {}, 1},
      {"damaged frame does not harm the next", Bytes({0x0C, 0x14, 0x3B, 0x7E}) + frame0C, {Bytes({0x0C})}, 1},
      {"no flag yet", Bytes({0x0C, 0x14}), {}, 0},
  };
  for (const Case& c : cases) {
    TFrameSplitter splitter;
    EXPECT_EQ(SplitAll(splitter, c.Input), c.Frames) << c.Name;
    EXPECT_EQ(splitter.BadFrames(), c.Bad) << c.Name;
  }
}

TEST(FrameSplitter, FloodWithoutFlagIsBoundedAndResynchronises) {
  TFrameSplitter splitter;
  const TByteString junk(TFrameSplitter::kMaxFrameBytes * 3, '\x55');
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(SplitAll(splitter, junk).empty());
  EXPECT_LE(splitter.PendingBytes(), TFrameSplitter::kMaxFrameBytes);
  EXPECT_EQ(splitter.BadFrames(), 1u);
  const auto frames = SplitAll(splitter, Bytes({0x7E}) + ComposeCommand("0C"));
  EXPECT_EQ(frames, std::vector<TByteString>{Bytes({0x0C})});
}

// A stream of frames cut anywhere comes out whole, once; damaged frames are dropped and counted.
class FrameStream : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(7);
    for (int i = 0; i < 60; ++i) {
      TByteString content;
      const int length = 1 + static_cast<int>(rng() % 40);
      for (int j = 0; j < length; ++j) content.push_back(static_cast<char>(j % 3 ? rng() : (j % 2 ? 0x7E : 0x7D)));
      TByteString wire = FrameBytes(content);
      if (i % 7 == 3) {
        wire[1] = static_cast<char>(wire[1] ^ 0x01);  // the first content byte is escaped: 7D 5D becomes 7D 5C
        ++FDamaged;
      } else {
        FExpected.push_back(content);
      }
      FStream += wire;
    }
  }

  void Check(const std::vector<size_t>& aCuts) {
    TFrameSplitter splitter;
    TFrameList list;
    std::vector<TByteString> frames;
    size_t from = 0;
    for (size_t cut : aCuts) {
      list.Clear();
      splitter.Split(TByteView(FStream).substr(from, cut - from), list);
      for (size_t i = 0; i < list.Count(); ++i) frames.emplace_back(list[i]);
      from = cut;
    }
    ASSERT_EQ(frames, FExpected);
    ASSERT_EQ(splitter.BadFrames(), FDamaged);
  }

  TByteString FStream;
  std::vector<TByteString> FExpected;
  uint64_t FDamaged = 0;
};

TEST_F(FrameStream, CutAtEveryPosition) {
  for (size_t cut = 0; cut <= FStream.size(); ++cut) {
    SCOPED_TRACE(cut);
    Check({cut, FStream.size()});
  }
}

TEST_F(FrameStream, RandomChunkSizes) {
  std::mt19937 rng(11);
  for (int round = 0; round < 50; ++round) {
    std::vector<size_t> cuts;
    for (size_t at = 0; at < FStream.size();) {
      at = std::min(FStream.size(), at + 1 + rng() % (round % 2 ? 5 : 300));
      cuts.push_back(at);
    }
    Check(cuts);
  }
}
