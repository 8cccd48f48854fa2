// The EV-DO link statistics logs (bit totals, the difference step, the carrier choice) and the
// packet-size statistics they feed.
#include <gtest/gtest.h>

#include <array>
#include <map>

#include "LogPacketBuilder.h"

namespace {

using LinkStats = SessionFixture;

// Forward counter k -> packet size in bits, 0 for a group's closing counter; written out flat so
// that it checks the parser's grouped table.
constexpr uint16_t kForwardSizes[92] = {
    128, 256, 512, 1024, 0, 128, 256, 512, 1024, 0, 128, 256, 512, 1024, 0,  // groups 0..2
    128, 256, 512, 1024, 0, 128, 256, 512, 1024, 0,                          // 3, 4
    512, 1024, 2048, 0, 128, 256, 512, 1024, 0, 512, 1024, 2048, 0,          // 5, 6, 7
    1024, 3072, 0, 512, 1024, 2048, 0, 4096, 0, 1024, 3072, 0,               // 8..11
    4096, 0, 5120, 0, 5120, 0,                                               // 12..14
    1024, 2048, 3072, 0, 1024, 2048, 4096, 0, 1024, 2048, 5120, 0,           // 15..17
    2048, 6144, 0, 1024, 7168, 0, 8192, 0, 2048, 6144, 0, 1024, 7168, 0,     // 18..22
    8192, 0, 2048, 6144, 0, 1024, 7168, 0, 8192, 0,                          // 23..26
};

TPacket RevAForward(std::initializer_list<std::pair<size_t, uint32_t>> aCounters, uint32_t aSequence = 0) {
  TPacket p = TPacket::Log(0x1192, 244).U32(16, aSequence);
  for (auto [k, n] : aCounters) p.U32(20 + 4 * k, n);
  return p;
}

TPacket RevBForward(uint16_t aCarrierWord, std::initializer_list<std::pair<size_t, uint32_t>> aCounters, size_t aSize = 393) {
  TPacket p = TPacket::Log(0x12A2, aSize).U8(16, 1).U32(17, 77).U8(21, 3).U8(22, 0x5A).U16(23, aCarrierWord);
  for (auto [k, n] : aCounters) p.U32(25 + 4 * k, n);
  return p;
}

struct TRow {
  size_t Block, Row;
  uint32_t Count;
};

TPacket RevAReverse(std::initializer_list<TRow> aRows) {
  TPacket p = TPacket::Log(0x127E, 1733).U8(16, 4);
  for (const TRow& r : aRows) p.U32(17 + 580 * r.Block + 24 * r.Row, r.Count);
  return p;
}

TPacket RevBReverse(uint16_t aCarrierWord, std::initializer_list<TRow> aRows, size_t aSize = 1761) {
  TPacket p = TPacket::Log(0x129F, aSize).U8(16, 2).U32(17, 99).U8(21, 2).U8(22, 0xA5).U16(23, aCarrierWord);
  for (const TRow& r : aRows) p.U32(45 + 580 * r.Block + 24 * r.Row, r.Count);
  return p;
}

// Key -> (sum, contributions) of a statistics map.
std::map<uint32_t, std::pair<uint64_t, uint64_t>> Sums(const TDRCStatList& aList) {
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> sums;
  for (const auto& [key, data] : aList) sums[key] = {data.drcBytes(), data.drcCount()};
  return sums;
}

}  // namespace

TEST_F(LinkStats, RevAForwardTotalsAndTheDifferenceStep) {
  struct Step {
    TPacket Packet;
    uint32_t Pred, Total;
  } steps[] = {
      {RevAForward({{3, 10}, {4, 2}}, 41), 10238, 0},       // first packet: only the reference
      {RevAForward({{3, 12}, {4, 2}}), 12286, 2048},
      {RevAForward({{3, 12}, {4, 288}}), 12000, 286},       // a smaller total: the distance
      {RevAForward({}), 0, 12000},                          // zero total: the next is a first again
      {RevAForward({{0, 1}}), 128, 0},
      {RevAForward({{4, 1}}), 0xFFFFFFFF, 0xFFFFFF7F},      // wraps as 32-bit
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    Receive(steps[i].Packet);
    const TEvdoAForward d = FModem.EvdoAForward();
    EXPECT_EQ(d.PredTotalBytes, steps[i].Pred) << i;
    EXPECT_EQ(d.TotalBytes, steps[i].Total) << i;
  }
  EXPECT_EQ(FModem.RXPacketsCount(), std::size(steps));
  EXPECT_EQ(Sums(FModem.DRCForwardStatList()),
            (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{{128, {1, 1}}, {1024, {34, 3}}}));
  Receive(RevAForward({}, 0xCAFEF00D));
  EXPECT_EQ(FModem.EvdoAForward().Sequence, 0xCAFEF00Du);
}

TEST(ForwardLayout, EveryCounterHasItsPacketSize) {
  TMessageQueue messages;
  for (size_t k = 0; k < std::size(kForwardSizes); ++k) {
    SCOPED_TRACE(k);
    TModem modem(&messages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
    modem.ParseFrame(RevBForward(283, {{k, 3}}).Bytes());
    const CarrierLinkStat c = modem.EvdoMultiCarrierSingleForward().CarrData[0];
    const uint32_t size = kForwardSizes[k];
    EXPECT_EQ(c.PredTotalBytes, size ? 3 * size : uint32_t(-3));
    EXPECT_EQ(c.DRC, size);
    EXPECT_EQ(Sums(modem.DRCForwardStatList()),
              size ? (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{{size, {3, 1}}})
                   : (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{}));
    if (k < 56) {
      modem.ParseFrame(RevAForward({{k, 3}}).Bytes());
      EXPECT_EQ(modem.EvdoAForward().PredTotalBytes, size ? 3 * size : uint32_t(-3));
    }
  }
}

TEST_F(LinkStats, RevBForwardReadsTheRevBGroupsOnlyFromPacketsLongerThan250Bytes) {
  // Counter 56 starts at byte 249: inside a 250-byte packet, yet not read.
  Receive(RevBForward(283, {{55, 0}}, 250).U8(249, 1).U8(25, 1));
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[0].PredTotalBytes, 128u);
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[0].DRC, 128u);
  Receive(RevBForward(384, {}, 251).U8(249, 1).U8(25, 1));
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[1].PredTotalBytes, 128u + 1024u);
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[1].DRC, 1024u);

  Receive(RevBForward(500, {{74, 1}, {30, 2}}));
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[2].DRC, 8192u) << "the last non-zero size counter";
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[2].PredTotalBytes, 8192u + 512u);
}

TEST_F(LinkStats, RevBForwardSumsGroupEighteen) {
  Receive(RevBForward(283, {{68, 1}, {69, 1}}));
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[0].PredTotalBytes, 8192u);
  EXPECT_EQ(Sums(FModem.DRCForwardStatList()),
            (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{{2048, {1, 1}}, {6144, {1, 1}}}));
}

TEST_F(LinkStats, ReverseTotalsLargestCounterAndStatistics) {
  Receive(RevAReverse({{0, 0, 3}, {2, 23, 5}}));
  TEvdoAReverse d = FModem.EvdoAReverse();
  EXPECT_EQ(d.aVersion, 4);
  EXPECT_EQ(d.PredTotalBytes, 3u * 128 + 5u * 12288);
  EXPECT_EQ(d.PredTotalBytes, 61824u);
  EXPECT_EQ(d.TotalBytes, 0u);
  EXPECT_EQ(d.DRC, 5u);
  EXPECT_EQ(Sums(FModem.DRCReverseStatList()),
            (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{{128, {3, 1}}, {12288, {5, 1}}}));
  EXPECT_EQ(FModem.TXPacketsCount(), 1u);

  // Rows 12..23 run through the sizes again; the other bytes of a row are not counters.
  TPacket p = RevAReverse({{1, 12, 7}, {1, 3, 1}});
  p.U32(17 + 580 + 24 * 3 + 4, 1000).U32(17 + 24 * 24, 1000);  // rest of a row, tail of a block
  Receive(p);
  d = FModem.EvdoAReverse();
  EXPECT_EQ(d.PredTotalBytes, 7u * 128 + 768u);
  EXPECT_EQ(d.TotalBytes, 61824u - (7u * 128 + 768u));
  EXPECT_EQ(d.DRC, 7u);
  EXPECT_EQ(Sums(FModem.DRCReverseStatList()),
            (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{{128, {10, 2}}, {768, {1, 1}}, {12288, {5, 1}}}));
}

TEST_F(LinkStats, CarrierChoiceFollowsTheChannels) {
  struct Step {
    uint16_t Word;
    uint32_t Count;  // row 0 of block 0: 128 bits each
    int Entry;
    uint32_t Pred, Total;
  } steps[] = {
      {283, 1, 0, 128, 0},
      {384, 2, 1, 256, 0},
      {283, 3, 0, 384, 256},
      {500, 4, 2, 512, 0},
      {600, 10, 0, 1280, 1280 - 384},  // all taken: entry 0 is overwritten and keeps 283's reference
      {600, 11, 0, 1408, 128},
      {384, 1, 1, 128, 128},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.Word);
    Receive(RevBReverse(s.Word, {{0, 0, s.Count}}));
    const EvdoMultiCarrierSingleReverse d = FModem.EvdoMultiCarrierSingleReverse();
    const CarrierLinkStat& c = d.CarrData[s.Entry];
    EXPECT_EQ(c.Channel, s.Word);
    EXPECT_EQ(c.CarrierTag, 0xA5);
    EXPECT_EQ(c.PredTotalBytes, s.Pred);
    EXPECT_EQ(c.TotalBytes, s.Total);
    EXPECT_EQ(c.DRC, s.Count);
  }
  const EvdoMultiCarrierSingleReverse d = FModem.EvdoMultiCarrierSingleReverse();
  EXPECT_EQ((std::array{d.CarrData[0].Channel, d.CarrData[1].Channel, d.CarrData[2].Channel}),
            (std::array<uint16_t, 3>{600, 384, 500}));
  EXPECT_EQ(d.Version, 2);
  EXPECT_EQ(d.Sequence, 99u);
  EXPECT_EQ(d.NumbCarr, 2);
  EXPECT_EQ(FModem.TXPacketsCount(), std::size(steps));
}

TEST_F(LinkStats, CarrierWordHighBitsAndFreeEntries) {
  Receive(RevBForward(static_cast<uint16_t>(17 << 11 | 283), {{0, 1}}));
  CarrierLinkStat c = FModem.EvdoMultiCarrierSingleForward().CarrData[0];
  EXPECT_EQ(c.Channel, 283);
  EXPECT_EQ(c.ChannelHighBits, 136);
  EXPECT_EQ(c.CarrierTag, 0x5A);

  // Channel 0 leaves its entry free: the next new channel takes it over, reference and all.
  Receive(RevBForward(0, {{0, 2}}));
  EXPECT_EQ(FModem.EvdoMultiCarrierSingleForward().CarrData[1].PredTotalBytes, 256u);
  Receive(RevBForward(700, {{0, 5}}));
  c = FModem.EvdoMultiCarrierSingleForward().CarrData[1];
  EXPECT_EQ(c.Channel, 700);
  EXPECT_EQ(c.TotalBytes, 640u - 256u);
  EXPECT_EQ(FModem.RXPacketsCount(), 3u);
}

TEST_F(LinkStats, ShortReversePacketCountsAsAZeroTotal) {
  Receive(RevBReverse(283, {{0, 1, 2}}));
  ASSERT_EQ(FModem.EvdoMultiCarrierSingleReverse().CarrData[0].PredTotalBytes, 512u);
  Receive(RevBReverse(283, {}, 30));
  const CarrierLinkStat c = FModem.EvdoMultiCarrierSingleReverse().CarrData[0];
  EXPECT_EQ(c.TotalBytes, 512u);
  EXPECT_EQ(c.PredTotalBytes, 0u);
}

TEST(DRCData, AddsAndComposesRates) {
  TDRCData d(1024, 5);
  EXPECT_EQ(d.drcValue(), 1024u);
  EXPECT_EQ(d.drcBytes(), 5u);
  EXPECT_EQ(d.drcCount(), 1u);
  d.AddBytes(3);
  EXPECT_EQ(d.drcBytes(), 8u);
  EXPECT_EQ(d.drcCount(), 2u);

  struct Step {
    uint64_t Add;
    uint64_t Pred, Total;
    uint32_t Rate;
  } steps[] = {{0, 8, 0, 8}, {4, 12, 4, 4}, {0, 12, 0, 12}, {0x100000000, 0x10000000C, 0x100000000, 12}};
  for (const Step& s : steps) {
    if (s.Add) d.AddBytes(s.Add);
    d.ComposeRate();
    EXPECT_EQ(d.PredBytes(), s.Pred);
    EXPECT_EQ(d.TotalBytes(), s.Total);
    EXPECT_EQ(d.DataRate(), s.Rate) << "the low 32 bits; when they are 0, those of the sum";
  }
  d.ZeroInit();
  EXPECT_EQ(d.DataRate(), 0u);
  EXPECT_EQ(d.drcBytes(), 0x10000000Cu);
  TDRCData empty;
  EXPECT_EQ(empty.drcValue(), 0u);
  EXPECT_EQ(empty.drcCount(), 1u);
}

TEST_F(LinkStats, ComposeDrcGivesEachIntervalsSumAndClearDrcResetsTheRates) {
  FModem.SetEvdoType(evtRevA);
  Receive(RevAForward({}));
  EXPECT_TRUE(FModem.DRCForwardStatList().empty()) << "zero counters create no entry";
  Receive(RevAForward({{3, 5}}));
  Receive(RevAForward({{3, 3}}));
  EXPECT_EQ(Sums(FModem.DRCForwardStatList()), (std::map<uint32_t, std::pair<uint64_t, uint64_t>>{{1024, {8, 2}}}));

  const uint32_t rates[] = {8, 4, 12};  // the whole sum, the interval's 4, nothing new: the sum again
  for (uint32_t rate : rates) {
    if (rate == 4) Receive(RevAForward({{3, 4}}));
    FModem.ComposeDRC();
    EXPECT_EQ(FModem.DRCForwardStatList().at(1024).DataRate(), rate);
  }
  EXPECT_EQ(FModem.DRC_Forward(), 1024u);
  FModem.ClearDRC();
  EXPECT_EQ(FModem.DRC_Forward(), 0u);
  EXPECT_EQ(FModem.DRCForwardStatList().at(1024).drcBytes(), 12u) << "sums stay";
}

TEST_F(LinkStats, DrcForwardAndReverseDependOnTheLinkType) {
  Receive(RevAForward({{0, 9}, {3, 5}, {13, 9}}));  // 128: 9; 1024: 5 + 9
  Receive(RevAReverse({{0, 0, 40}, {0, 11, 2}}));   // 128: 40; 12288: 2
  Receive(RevAReverse({{0, 11, 5}}));               // 12288: 7; the last packet's largest counter is 5
  FModem.ComposeDRC();
  struct Case {
    TEvdoType Type;
    uint32_t Forward, Reverse;
  } cases[] = {
      {evtNone, 0, 0},      {evtEv1X, 0, 0},
      {evtRev0, 1024, 5},   {evtRevA, 1024, 5},       // the reverse record, not the map
      {evtRevB, 1024, 128}, {evtRevBplus, 1024, 128},  // the reverse size with the largest sum
  };
  for (const Case& c : cases) {
    FModem.SetEvdoType(c.Type);
    EXPECT_EQ(FModem.DRC_Forward(), c.Forward) << +c.Type;
    EXPECT_EQ(FModem.DRC_Reverse(), c.Reverse) << +c.Type;
  }
  FModem.ClearDRC();
  EXPECT_EQ(FModem.DRC_Reverse(), 128u) << "sums survive a clear";
}

TEST_F(LinkStats, DrcForwardTieGoesToTheFirstEntryMet) {
  FModem.SetEvdoType(evtRevB);
  Receive(RevAForward({{1, 7}, {13, 7}}));  // 256: 7 and 1024: 7
  FModem.ComposeDRC();
  EXPECT_EQ(FModem.DRC_Forward(), 256u);
}
