// Tests that every log packet of the simulated modem decodes, by the layouts, to the truth it recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "SimTestSupport.h"
#include "sim/SimLogs.h"
#include "sim/SimScenario.h"
#include "sim/SimTables.h"

namespace {

using namespace sim;
using simtest::TReader;

// Forward counter k: its packet size, or 0 for a closing counter (written out from the layout).
constexpr uint16_t kForwardSize[92] = {
    128, 256, 512, 1024, 0, 128, 256, 512, 1024, 0, 128, 256, 512, 1024, 0, 128, 256, 512, 1024, 0,   // groups 0..3
    128, 256, 512, 1024, 0, 512, 1024, 2048, 0, 128, 256, 512, 1024, 0, 512, 1024, 2048, 0,            // 4..7
    1024, 3072, 0, 512, 1024, 2048, 0, 4096, 0, 1024, 3072, 0, 4096, 0, 5120, 0, 5120, 0,             // 8..14
    1024, 2048, 3072, 0, 1024, 2048, 4096, 0, 1024, 2048, 5120, 0, 2048, 6144, 0, 1024, 7168, 0,       // 15..19
    8192, 0, 2048, 6144, 0, 1024, 7168, 0, 8192, 0, 2048, 6144, 0, 1024, 7168, 0, 8192, 0};            // 20..26
constexpr uint32_t kReverseSize[12] = {128, 256, 512, 768, 1024, 1536, 2048, 3072, 4096, 6144, 8192, 12288};

uint32_t ForwardTotal(const TReader& r, size_t aBase, size_t aCounters, uint32_t& aLastSize) {
  uint32_t total = 0;
  aLastSize = 0;
  for (size_t k = 0; k < aCounters; ++k) {
    const uint32_t n = r.U32(aBase + 4 * k);
    if (kForwardSize[k] == 0) {
      total -= n;
    } else if (n != 0) {
      total += n * kForwardSize[k];
      aLastSize = kForwardSize[k];
    }
  }
  return total;
}

uint32_t ReverseTotal(const TReader& r, size_t aBase, uint32_t& aLargest) {
  uint32_t total = 0;
  aLargest = 0;
  for (size_t b = 0; b < 3; ++b)
    for (size_t row = 0; row < 24; ++row) {
      const uint32_t n = r.U32(aBase + 580 * b + 24 * row);
      total += n * kReverseSize[row % 12];
      aLargest = std::max(aLargest, n);
    }
  return total;
}

float Q8(const TReader& r, size_t o) { return static_cast<float>(r.S16(o)) / 256.0f; }
float PilotDb(int32_t v) { return v > 0 ? static_cast<float>(10.0 * std::log10(v / 512.0)) : 0.0f; }

// What the test tracks across packets, independently of the simulator's truth.
struct TObserved {
  std::map<std::pair<uint16_t, uint16_t>, uint32_t> PreviousTotal;  // (code, channel) -> total
  double MinRx = 0, MaxRx = -200;
  std::set<std::pair<uint16_t, uint8_t>> Sectors;
  int LongForward = 0, ShortForward = 0;
  uint32_t FirstForward = 0, LastForward = 0, LastReverse = 0;
  std::set<int> DrcSeen;
};

uint32_t Carried(TObserved& aSeen, uint16_t aCode, uint16_t aChannel, uint32_t aTotal) {
  const auto key = std::make_pair(aCode, aChannel);
  const auto it = aSeen.PreviousTotal.find(key);
  uint32_t carried = 0;
  if (it != aSeen.PreviousTotal.end() && it->second != 0) carried = aTotal >= it->second ? aTotal - it->second : it->second - aTotal;
  aSeen.PreviousTotal[key] = aTotal;
  return carried;
}

void CheckPowers(const TReader& r, size_t o, const TPowerSet& p) {
  EXPECT_EQ(Q8(r, o), p.TxOpen);
  EXPECT_EQ(Q8(r, o + 2), p.TxClosed);
  EXPECT_EQ(Q8(r, o + 4), p.TxPilot);
  EXPECT_EQ(Q8(r, o + 6), p.TxTotal);
  EXPECT_EQ(Q8(r, o + 8), p.RxPowerAntenna_0);
  EXPECT_EQ(Q8(r, o + 10), p.RxPowerAntenna_1);
  EXPECT_GE(p.RxPowerAntenna_0, -105.0f);
  EXPECT_LE(p.RxPowerAntenna_0, -50.0f);
  EXPECT_LE(p.TxTotal, 23.0f);
}

// Decodes one packet by the layouts and compares it with the truth the encoder left.
void Check(const TByteString& f, const TSimTruth& t, TSimMode aMode, uint32_t aEsn, TObserved& seen) {
  const TReader r{f};
  const uint16_t code = static_cast<uint16_t>(r.U16(6));
  ASSERT_GE(f.size(), 16u);
  EXPECT_EQ(r.U8(0), 0x10u);
  EXPECT_EQ(r.U16(2), f.size() - 4);
  EXPECT_EQ(r.U16(0) >> 8, 0u);
  EXPECT_EQ(r.U16(8), 0u) << "sub-unit bits of the timestamp";
  switch (code) {
    case 0x1007: {
      ASSERT_TRUE(t.Paging);
      EXPECT_EQ(r.U16(2), 46u);
      EXPECT_EQ(r.U8(17), 1u);
      const uint32_t hi = r.U8(33), lo = r.U8(32);
      const uint32_t base = ((hi << 4) | (lo & 0xF0) | (hi & 0x0F)) & 0xFFFF;
      EXPECT_EQ(base, t.Paging->BaseId);
      EXPECT_NE(base, 0u);
      EXPECT_EQ(lo & 0x0F, t.Paging->SectorId);
      break;
    }
    case 0x102D: {
      ASSERT_TRUE(t.PilotSet);
      const auto& p = *t.PilotSet;
      const uint32_t paths = r.U8(37), fingers = r.U8(38);
      EXPECT_LE(paths, 6u);
      EXPECT_LE(fingers, 6u);
      EXPECT_EQ(f.size(), 39 + 4 * paths + 10 * fingers);
      EXPECT_EQ(r.U16(21) & 0x1FF, p.PilotPnOffset);
      EXPECT_EQ(static_cast<float>(r.U8(29)) / 3.0f - 63.248f, p.RxAgc);
      EXPECT_EQ(static_cast<float>(r.U8(30)) / 3.0f - 52.25f, p.TxAgc);
      EXPECT_EQ(r.U8(31) == 0x7F ? 0.0f : -static_cast<float>(r.U8(31)) / 2.0f, p.TxGainAdjust);
      const double gain = 20.0 * std::log10(4.0 * r.U8(19) * 4.0);
      ASSERT_EQ(r.U8(18), 1u);
      ASSERT_EQ(r.U8(20), 0u);
      for (uint32_t i = 0; i < paths; ++i) {
        const uint32_t e = r.U16(39 + 4 * i + 2);
        EXPECT_NEAR(10.0 * std::log10(e) + 78.445 - gain - 60.89, p.Paths[i].Energy, 1e-3);
      }
      for (uint32_t j = 0; j < fingers; ++j) {
        const size_t at = 39 + 4 * paths + 10 * j;
        EXPECT_EQ(r.U16(at), p.Fingers[j].Pilot);
        EXPECT_NEAR(10.0 * std::log10(r.U8(at + 3)) - 24.6, p.Fingers[j].Energy, 1e-4);
        EXPECT_GT(r.U8(at + 3), 0u);
      }
      break;
    }
    case 0x1069:
      ASSERT_TRUE(t.RevAPower);
      EXPECT_EQ(r.U16(2), 38u);
      CheckPowers(r, 17, t.RevAPower->Powers);
      seen.MinRx = std::min<double>(seen.MinRx, t.RevAPower->Powers.RxPowerAntenna_0);
      seen.MaxRx = std::max<double>(seen.MaxRx, t.RevAPower->Powers.RxPowerAntenna_0);
      break;
    case 0x106C:
      ASSERT_TRUE(t.AttemptCounters);
      EXPECT_EQ(r.U16(2), 38u);
      EXPECT_EQ(r.U32(23), t.AttemptCounters->Success);
      EXPECT_EQ(r.U32(27), t.AttemptCounters->Failure);
      EXPECT_EQ(r.U32(31), t.AttemptCounters->Attempts);
      EXPECT_LE(t.AttemptCounters->Success + t.AttemptCounters->Failure, t.AttemptCounters->Attempts);
      EXPECT_EQ(r.U16(35), t.AttemptCounters->Pn);
      EXPECT_EQ(r.U8(37), t.AttemptCounters->Sector);
      EXPECT_EQ(r.U16(38), t.AttemptCounters->Cell);
      break;
    case 0x107C:
      ASSERT_TRUE(t.AccessChannel);
      EXPECT_EQ(r.U16(2), 37u);
      EXPECT_EQ(r.U16(17), t.AccessChannel->ChannelNumber);
      EXPECT_EQ(r.U16(19), t.AccessChannel->PilotPn);
      EXPECT_EQ(r.U16BigEndian(30), t.AccessChannel->BtsID);
      EXPECT_EQ(r.U8(32), t.AccessChannel->SectorID);
      EXPECT_EQ(r.U16(35), t.AccessChannel->AccessSignature);
      break;
    case 0x1080:
      ASSERT_TRUE(t.ServingSector);
      EXPECT_EQ(r.U16(2), 32u);
      EXPECT_EQ(r.U16BigEndian(29), t.ServingSector->Cell);
      EXPECT_EQ(r.U8(31), t.ServingSector->Sector);
      EXPECT_EQ(r.U16(34), t.ServingSector->Pn);
      EXPECT_LT(t.ServingSector->Pn, 512u);
      seen.Sectors.insert({t.ServingSector->Cell, t.ServingSector->Sector});
      break;
    case 0x1088: {
      ASSERT_TRUE(t.IdentityLog);
      std::string hex;
      for (size_t i = 51; i < f.size(); ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02X", r.U8(i));
        hex += two;
      }
      char esn[9];
      std::snprintf(esn, sizeof esn, "%08X", aEsn);
      EXPECT_EQ(hex, esn);
      EXPECT_EQ(t.IdentityLog->EsnHex, esn);
      break;
    }
    case 0x108B: {
      ASSERT_TRUE(t.Neighbors);
      const auto& n = *t.Neighbors;
      const uint32_t c = r.U8(22), m = r.U8(24);
      EXPECT_LE(c, 6u);
      EXPECT_LE(m, 40u);
      EXPECT_GE(f.size(), r.U16(2));
      EXPECT_EQ(f.size(), 37 + 10 * (c + m));
      EXPECT_EQ(r.U16(19) & 0x3FF, n.Channel);
      EXPECT_EQ(static_cast<uint32_t>(r.S16(27)), n.APilotPn);
      EXPECT_EQ(PilotDb(r.S16(29)), n.APilotEng);
      ASSERT_EQ(n.Candidates.size(), c);
      ASSERT_EQ(n.Neighbors.size(), m);
      for (uint32_t i = 0; i < c + m; ++i) {
        const size_t at = 37 + 10 * i;
        const auto& p = i < c ? n.Candidates[i] : n.Neighbors[i - c];
        EXPECT_EQ(r.U16(at) & 0x5FF, p.PilotPn);
        EXPECT_EQ(PilotDb(r.S16(at + 2)), p.PilotEng);
        EXPECT_LE(p.PilotEng, n.APilotEng + 0.01f) << "a neighbour stronger than the serving pilot";
        EXPECT_EQ(static_cast<uint32_t>(r.S16(at + 4)), p.PilotPos);
        EXPECT_LE(p.PilotPos, 580u);
      }
      break;
    }
    case 0x108C: {
      ASSERT_TRUE(t.ArqA);
      EXPECT_EQ(f.size(), 118u);
      float best = 0;
      for (size_t b = 0; b < 2; ++b) {
        for (size_t j = 0; j < 16; ++j) {
          const uint32_t drc = (r.U16(16 + 51 * b + 2 * j) >> 8) & 0x0F;
          EXPECT_EQ(drc, t.ArqA->Drc[b][j]);
          EXPECT_GE(drc, 1u);
          EXPECT_LE(drc, 14u);
          best = std::max(best, kDrcRatesRevA[drc]);
          seen.DrcSeen.insert(static_cast<int>(drc));
        }
        EXPECT_EQ(r.U8(16 + 51 * b + 34), t.ArqA->DrcLockWord[b] >> 8);
      }
      EXPECT_EQ(best, t.ArqA->RateKbps);
      break;
    }
    case 0x1192: {
      ASSERT_TRUE(t.ForwardA);
      EXPECT_EQ(f.size(), 244u);
      uint32_t last = 0;
      const uint32_t total = ForwardTotal(r, 20, 56, last);
      EXPECT_EQ(total, t.ForwardA->Link.Total);
      EXPECT_EQ(last, t.ForwardA->Link.Drc);
      EXPECT_EQ(Carried(seen, code, 0, total), t.ForwardA->Link.Carried);
      EXPECT_EQ(r.U32(16), t.ForwardA->Sequence);
      if (seen.FirstForward == 0) seen.FirstForward = total;
      seen.LastForward = total;
      break;
    }
    case 0x127E: {
      ASSERT_TRUE(t.ReverseA);
      uint32_t largest = 0;
      const uint32_t total = ReverseTotal(r, 17, largest);
      EXPECT_EQ(total, t.ReverseA->Link.Total);
      EXPECT_EQ(largest, t.ReverseA->Link.Drc);
      EXPECT_EQ(Carried(seen, code, 0, total), t.ReverseA->Link.Carried);
      EXPECT_GE(f.size(), 1733u);
      seen.LastReverse = total;
      break;
    }
    case 0x1298: {
      ASSERT_TRUE(t.ArqB);
      const uint32_t carriers = r.U8(17);
      EXPECT_EQ(carriers, t.ArqB->NumCarriers);
      EXPECT_LE(r.U16(2), f.size());
      float sum = 0;
      size_t p = 18;
      for (uint32_t c = 0; c < carriers; ++c) {
        const size_t s = p + (c == 0 ? 6 : 8);
        EXPECT_EQ((r.U32(p + 1) >> 8) & 0xFFF, t.ArqB->Carriers[c].DescMid);
        float best = 0;
        for (size_t j = 0; j < 16; ++j) {
          const uint32_t drc = (r.U32(s + 4 * j) >> 16) & 0xFF;
          EXPECT_EQ(drc, t.ArqB->Carriers[c].Drc[j]);
          EXPECT_LE(drc, 27u);
          EXPECT_NE(drc, 15u);
          EXPECT_NE(drc, 0u);
          best = std::max(best, kDrcRatesRevB[drc]);
          seen.DrcSeen.insert(static_cast<int>(drc));
        }
        sum += best;
        p = s + 64;
      }
      EXPECT_EQ(p, f.size());
      EXPECT_FLOAT_EQ(sum, t.ArqB->RateKbps);
      break;
    }
    case 0x129C: {
      ASSERT_TRUE(t.RevBPower);
      EXPECT_EQ(r.U16(2), 68u);
      EXPECT_EQ(f.size(), 72u);
      EXPECT_EQ(Q8(r, 21), t.RevBPower->TotalTxPower);
      EXPECT_EQ(r.U8(23), t.RevBPower->NumData);
      for (size_t c = 0; c < t.RevBPower->Carriers.size(); ++c) {
        const size_t q = 24 + 16 * c;
        EXPECT_EQ((r.U32(q) >> 8) & 0xFFF, t.RevBPower->Carriers[c].DescMid);
        CheckPowers(r, q + 4, t.RevBPower->Carriers[c].Powers);
      }
      break;
    }
    case 0x129F:
    case 0x12A2: {
      const auto& link = code == 0x12A2 ? t.ForwardB : t.ReverseB;
      ASSERT_TRUE(link);
      const uint16_t channel = r.U16(23) & 0x7FF;
      const TCarrierLinkTruth* entry = link->ForChannel(channel);
      ASSERT_NE(entry, nullptr);
      EXPECT_EQ(link->LastChannel, channel);
      EXPECT_EQ(entry->CarrierTag, r.U8(22));
      EXPECT_EQ(entry->ChannelHighBits, (r.U16(23) & 0xF800) >> 8);
      EXPECT_EQ(link->Sequence, r.U32(17));
      EXPECT_EQ(link->NumbCarr, r.U8(21));
      uint32_t total = 0, drc = 0;
      if (code == 0x12A2) {
        // Groups 15..26 count only in packets longer than 250 bytes.
        const bool longForm = f.size() > 250;
        EXPECT_TRUE(f.size() == 249 || f.size() == 393) << f.size();
        total = ForwardTotal(r, 25, longForm ? 92 : 56, drc);
        EXPECT_EQ(entry->LongForm, longForm);
        (longForm ? seen.LongForward : seen.ShortForward)++;
      } else {
        total = ReverseTotal(r, 45, drc);
        EXPECT_GE(f.size(), 1761u);
      }
      EXPECT_EQ(total, entry->Link.Total);
      EXPECT_EQ(drc, entry->Link.Drc);
      EXPECT_EQ(Carried(seen, code, channel, total), entry->Link.Carried);
      break;
    }
    case 0x12A1:
      ASSERT_TRUE(t.PilotSetsB);
      EXPECT_EQ(r.U8(18), t.PilotSetsB->SearcherState);
      EXPECT_EQ(r.U8(18) == 3, aMode == TSimMode::Sleep);
      break;
    case 0x1281:
    case 0x12A0:
      EXPECT_GE(f.size(), 16u);
      break;
    default:
      ADD_FAILURE() << "unexpected code " << code;
  }
}

struct TModeCase {
  const char* Name;
  TSimMode Mode;
  std::vector<uint16_t> Channels;
  std::vector<uint16_t> Codes;
  std::vector<uint16_t> PerCarrier;
};

TEST(SimLogLayouts, EveryPacketDecodesToWhatTheDeviceMeant) {
  const uint32_t esn = 0x80ABCDEF;
  const TModeCase cases[] = {
      {"1x", TSimMode::Ev1x, {283}, {0x1007, 0x102D, 0x1088}, {}},
      {"Rev A", TSimMode::RevA, {283}, {0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x108C, 0x1192, 0x127E, 0x1281}, {}},
      {"Rev B, 3 carriers", TSimMode::RevB, {283, 384, 425}, {0x1069, 0x106C, 0x1080, 0x108B, 0x1298, 0x129C, 0x12A0, 0x12A1}, {0x129F, 0x12A2}},
      {"Rev B, 1 carrier", TSimMode::RevB, {500}, {0x1298, 0x129C, 0x12A1}, {0x129F, 0x12A2}},
      {"sleep", TSimMode::Sleep, {283, 384}, {0x12A1, 0x12A0, 0x108B, 0x1080}, {}},
  };
  for (const TModeCase& m : cases) {
    SCOPED_TRACE(m.Name);
    TSimScenario scenario(7, m.Channels);
    scenario.SetLinkType(m.Mode);
    TSimLogEncoder encoder(7, esn);
    TSimTruth truth;
    TObserved seen;
    seen.MinRx = 0;
    // Ten minutes of scenario time, a round of packets every half second.
    for (double ms = 0; ms < 10 * 60 * 1000 && !HasFailure(); ms += 500) {
      scenario.AdvanceTo(ms);
      auto one = [&](uint16_t code, int carrier) {
        TEncodedLog log = encoder.Encode(code, scenario, carrier, LogTimestamp(1700000000000));
        ASSERT_EQ(log.Code, code);
        if (log.Commit) log.Commit(truth);
        SCOPED_TRACE(::testing::Message() << "code " << std::hex << code << " at " << std::dec << ms << " ms");
        Check(log.Content, truth, m.Mode, esn, seen);
      };
      for (uint16_t code : m.Codes) one(code, 0);
      for (uint16_t code : m.PerCarrier)
        for (int c = 0; c < static_cast<int>(m.Channels.size()); ++c) one(code, c);
    }
    if (m.Mode == TSimMode::RevA) {
      // The signal wanders, the serving sector changes, traffic flows both ways.
      EXPECT_LT(seen.MinRx, -75.0);
      EXPECT_GT(seen.MaxRx, -70.0);
      EXPECT_GE(seen.Sectors.size(), 3u);
      EXPECT_GT(seen.LastForward - seen.FirstForward, 0u);
      EXPECT_GT(seen.LastReverse, 0u);
      EXPECT_GE(seen.DrcSeen.size(), 4u);
    }
    if (m.Mode == TSimMode::RevB && m.Channels.size() == 3) {
      EXPECT_GT(seen.ShortForward, 0);
      EXPECT_GT(seen.LongForward, 0) << "no carrier ever used a Rev B format";
      ASSERT_TRUE(truth.ForwardB);
      ASSERT_EQ(truth.ForwardB->Carriers.size(), 3u);
      for (const auto& c : truth.ForwardB->Carriers) EXPECT_GT(c.Link.Total, 0u) << c.Channel;
    }
  }
}

TEST(SimLogLayouts, TimestampCountsQuarterMillisecondsSinceTheGpsEpoch) {
  // 1980-01-06 00:00:01.250 UTC is 1000 units of 1.25 ms.
  EXPECT_EQ(LogTimestamp(315964801250LL), uint64_t{1000} << 16);
  EXPECT_EQ(LogTimestamp(0), 0u);
}

TEST(SimScenario, SameSeedSameStory) {
  TSimScenario a(42, {283, 384}), b(42, {283, 384}), c(43, {283, 384});
  for (auto* s : {&a, &b, &c}) {
    s->SetLinkType(TSimMode::RevB);
    s->AdvanceTo(60000);
  }
  EXPECT_EQ(a.RxDbm(1), b.RxDbm(1));
  EXPECT_EQ(a.ForwardB(0), b.ForwardB(0));
  EXPECT_EQ(a.Serving().Pn, b.Serving().Pn);
  EXPECT_NE(a.RxDbm(0), c.RxDbm(0));
}

TEST(SimScenario, WeakSignalKeepsRxBelowMinus100WhileItStillFades) {
  TSimScenario scenario(3, {283});
  scenario.SetWeakSignal(true);
  double lowest = 0, highest = -200;
  for (double ms = 0; ms <= 600000; ms += 500) {
    scenario.AdvanceTo(ms);
    const double rx = scenario.RxDbm(0);
    ASSERT_LT(rx, -100.0) << "at " << ms << " ms";
    ASSERT_GE(rx, -105.0) << "at " << ms << " ms";
    lowest = std::min(lowest, rx);
    highest = std::max(highest, rx);
  }
  EXPECT_GT(highest - lowest, 1.0);
}

TEST(SimScenario, HeldRxLevelStaysPutOnEveryCarrierUntilReleased) {
  TSimScenario s(5, {283, 384, 425});
  s.SetLinkType(TSimMode::RevB);
  s.SetRxLevel(-87.5);
  for (double t = 1000; t <= 5000; t += 1000) {
    s.AdvanceTo(t);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(s.RxDbm(c), -87.5) << "carrier " << c << " at " << t;
  }
  // The 0x1069 packet carries it exactly (1/256 dB steps).
  TSimLogEncoder encoder(9, 0x1234);
  const TEncodedLog log = encoder.Encode(logcode::kRevAPower, s, 0, 0);
  TSimTruth truth;
  log.Commit(truth);
  ASSERT_TRUE(truth.RevAPower);
  EXPECT_EQ(truth.RevAPower->Powers.RxPowerAntenna_0, -87.5f);

  s.SetRxLevel(-300);  // clamped
  EXPECT_EQ(s.RxDbm(0), -120.0);
  s.SetRxLevel(std::nullopt);
  s.AdvanceTo(60000);
  EXPECT_NE(s.RxDbm(0), -120.0);
}

}  // namespace
