// Every log code and reply cut at every length, and content that is plainly wrong: nothing is
// read past a frame, missing bytes count as zero, no record gets a NaN or an infinity, and the
// session stays usable.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

#include "LogPacketBuilder.h"

namespace {

// Everything a window or report can read from the session, the time of day left out (it is the
// computer's, not the packet's).
struct TState {
  PagingChannelMessage Paging;
  PilotSet_Data PilotSet;
  CarrierDataRevA_ RevA;
  NeighborData Neighbors;
  ARQData_A ArqA;
  SignalingAccessChannel Access;
  TEvdoAForward ForwardA;
  TEvdoAReverse ReverseA;
  EvdoMultiCarrierSingleForward ForwardB;
  EvdoMultiCarrierSingleReverse ReverseB;
  ARQData_B ArqB;
  CarrierData_RevB RevB;
  TEvdoMultiCarrPilotSets PilotSets;
  std::string Esn, Min, Dn, Lac, Imsi;
  int32_t Cell, Face, Pn;
  uint32_t Success, Failure, Attempts;
  TEvdoType Type;
  uintptr_t Rx, Tx;
  intptr_t Counted, Common;
  std::vector<std::tuple<uint32_t, uint64_t, uint64_t>> ForwardStats, ReverseStats;
  std::vector<uint32_t> Messages;
};

std::vector<std::tuple<uint32_t, uint64_t, uint64_t>> Flatten(const TDRCStatList& aList) {
  std::vector<std::tuple<uint32_t, uint64_t, uint64_t>> rows;
  for (const auto& [key, data] : aList) rows.emplace_back(key, data.drcBytes(), data.drcCount());
  return rows;
}

template <class T>
T WithoutTime(T aRecord) {
  aRecord.TimeStr.Assign("");
  return aRecord;
}

// A session that takes frames from exact-size heap blocks.
class TProbe {
 public:
  TProbe() : FModem(&FMessages, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity) {
    FModem.SetInitState(true);
  }
  void Feed(TByteView aFrame) {
    std::unique_ptr<char[]> exact(new char[aFrame.size()]);
    std::copy(aFrame.begin(), aFrame.end(), exact.get());
    FModem.ParseFrame(TByteView(exact.get(), aFrame.size()));
  }
  TModem& Modem() { return FModem; }
  TState State() {
    TState s{};
    s.Paging = FModem.PagingChannelMessage();
    s.PilotSet = WithoutTime(FModem.PilotSetData());
    s.RevA = WithoutTime(FModem.CarrDataRevA());
    s.Neighbors = WithoutTime(FModem.NeighborData());
    s.ArqA = FModem.EvdoArqDataA();
    s.Access = WithoutTime(FModem.SignalingAccessChannel());
    s.ForwardA = WithoutTime(FModem.EvdoAForward());
    s.ReverseA = WithoutTime(FModem.EvdoAReverse());
    s.ForwardB = WithoutTime(FModem.EvdoMultiCarrierSingleForward());
    s.ReverseB = WithoutTime(FModem.EvdoMultiCarrierSingleReverse());
    s.ArqB = FModem.EvdoArqDataB();
    s.RevB = WithoutTime(FModem.CarrDataRevB());
    s.PilotSets = FModem.MultiCarrPilotSets();
    s.Esn = FModem.modemESN();
    s.Min = FModem.modemMIN();
    s.Dn = FModem.modemDN();
    s.Lac = FModem.modemLAC();
    s.Imsi = FModem.modemIMSI();
    s.Cell = FModem.CellNumber();
    s.Face = FModem.FaceNumber();
    s.Pn = FModem.PnNumber();
    s.Success = FModem.SuccessCount();
    s.Failure = FModem.FailureCount();
    s.Attempts = FModem.AttemptsCount();
    s.Type = FModem.EvdoType();
    s.Rx = FModem.RXPacketsCount();
    s.Tx = FModem.TXPacketsCount();
    s.Counted = FModem.PacketsCount();
    s.Common = FModem.CommonPacketsCount();
    s.ForwardStats = Flatten(FModem.DRCForwardStatList());
    s.ReverseStats = Flatten(FModem.DRCReverseStatList());
    while (auto message = FMessages.TryTake()) s.Messages.push_back(message->Msg);
    return s;
  }

 private:
  TMessageQueue FMessages;
  TModem FModem;
};

// Names the first part of two states that differs.
std::string FirstDifference(const TState& a, const TState& b) {
#define CHECK_PART(part) \
  if (!(a.part == b.part)) return #part;
  CHECK_PART(Paging) CHECK_PART(PilotSet) CHECK_PART(RevA) CHECK_PART(Neighbors) CHECK_PART(ArqA) CHECK_PART(Access)
  CHECK_PART(ForwardA) CHECK_PART(ReverseA) CHECK_PART(ForwardB) CHECK_PART(ReverseB) CHECK_PART(ArqB) CHECK_PART(RevB)
  CHECK_PART(PilotSets) CHECK_PART(Esn) CHECK_PART(Min) CHECK_PART(Dn) CHECK_PART(Lac) CHECK_PART(Imsi) CHECK_PART(Cell)
  CHECK_PART(Face) CHECK_PART(Pn) CHECK_PART(Success) CHECK_PART(Failure) CHECK_PART(Attempts) CHECK_PART(Type)
  CHECK_PART(Rx) CHECK_PART(Tx) CHECK_PART(Counted) CHECK_PART(Common) CHECK_PART(ForwardStats)
  CHECK_PART(ReverseStats) CHECK_PART(Messages)
#undef CHECK_PART
  return "";
}

// Names the first float of the state that is a NaN or an infinity.
std::string FirstNonFinite(const TState& s) {
  std::vector<std::pair<std::string, float>> floats = {
      {"RX_AGC", s.PilotSet.RX_AGC},         {"TX_AGC", s.PilotSet.TX_AGC},
      {"TX_Gain_Adjust", s.PilotSet.TX_Gain_Adjust}, {"TX_Power_Limit", s.PilotSet.TX_Power_Limit},
      {"RevA.TxOpen", s.RevA.TxOpen},       {"RevA.TxClosed", s.RevA.TxClosed},
      {"RevA.TxPilot", s.RevA.TxPilot},     {"RevA.TxTotal", s.RevA.TxTotal},
      {"RevA.Rx0", s.RevA.RxPowerAntenna_0}, {"RevA.Rx1", s.RevA.RxPowerAntenna_1},
      {"RevA.ci", s.RevA.ci},               {"RevA.snr", s.RevA.snr},
      {"APilotEng", s.Neighbors.APilotEng}, {"RevB.TotalTxPower", s.RevB.TotalTxPower},
      {"LongTermDRC", s.ArqB.LongTermDRC},  {"PredLongTermDRC", s.ArqB.PredLongTermDRC},
  };
  for (const auto& p : s.PilotSet.pathArray) floats.emplace_back("path", p.Energy);
  for (const auto& f : s.PilotSet.fingerArray) floats.emplace_back("finger", f.Energy);
  for (const auto& c : s.Neighbors.CandidatArr) floats.emplace_back("candidate", c.PilotEng);
  for (const auto& n : s.Neighbors.NeighborArr) floats.emplace_back("neighbour", n.PilotEng);
  for (const auto& c : s.RevB.carrArray)
    for (float f : {c.TxOpen, c.TxClosed, c.TxPilot, c.TxTotal, c.RxPowerAntenna_0, c.RxPowerAntenna_1, c.ci, c.snr})
      floats.emplace_back("RevB carrier", f);
  for (const auto& [name, value] : floats)
    if (!std::isfinite(value)) return name;
  return "";
}

TByteString ZeroPadded(TByteView aCut, size_t aSize) {
  TByteString padded(aCut);
  padded.resize(aSize, '\0');
  return padded;
}

// What a cut frame must be equivalent to: its zero-padded full form, or, when the parser refuses
// the cut, the padded form with a length field that it refuses the same way.
// A Rev B forward packet of at most 250 bytes is read for its Rev A groups only: its model
// carries no byte of counter 56 (from byte 249) on.
enum class TCutRule { ZeroPadded, LogLengthRefused, ReplyIgnored, AsIs, RevAGroupsOnly };
constexpr size_t kFirstRevBForwardByte = 25 + 4 * 56;

struct TSweepCase {
  std::string Name;
  TByteString Full;
  std::function<TCutRule(size_t aCut)> Rule;
  std::function<void(TModem&, TByteView aCut)> Extra;  // checks beyond the equivalence
};

std::string UpperHex(TByteView aBytes) {
  std::string text;
  char digits[3];
  for (char c : aBytes) {
    std::snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(c));
    text += digits;
  }
  return text;
}

// Realistic packets with every byte set, so that a misplaced offset shows.
std::vector<TSweepCase> SweepCases() {
  std::mt19937 rng(7);
  auto noisy = [&](uint16_t aCode, size_t aSize) {
    TPacket p = TPacket::Log(aCode, aSize);
    for (size_t i = 16; i < aSize; ++i) p.U8(i, static_cast<uint8_t>(rng()));
    p.U64(8, uint64_t{0x0000123456780000});
    return p;
  };
  auto padded = [](size_t) { return TCutRule::ZeroPadded; };
  auto from = [](size_t aAccepted) {
    return [aAccepted](size_t aCut) { return aCut >= aAccepted ? TCutRule::ZeroPadded : TCutRule::LogLengthRefused; };
  };
  auto replyFrom = [](size_t aAccepted) {
    return [aAccepted](size_t aCut) { return aCut >= aAccepted ? TCutRule::ZeroPadded : TCutRule::ReplyIgnored; };
  };

  std::vector<TSweepCase> cases;
  cases.push_back({"0x1007", noisy(0x1007, 50).U8(17, 1).Bytes(), padded, {}});
  cases.push_back({"0x102D", noisy(0x102D, 39 + 4 * 3 + 10 * 4).U8(18, 1).U8(19, 64).U8(20, 2).U8(37, 3).U8(38, 4).Bytes(),
                   padded, {}});
  cases.push_back({"0x1069", noisy(0x1069, 42).Bytes(), from(38), {}});
  cases.push_back({"0x106C", noisy(0x106C, 42).Bytes(), padded, {}});
  cases.push_back({"0x107C", noisy(0x107C, 41).Bytes(), padded, {}});
  cases.push_back({"0x1080", noisy(0x1080, 36).Bytes(), padded, {}});
  cases.push_back({"0x1088", noisy(0x1088, 60).Bytes(), [](size_t) { return TCutRule::AsIs; },
                   [](TModem& aModem, TByteView aCut) {
                     if (aCut.size() >= 8) {
                       EXPECT_EQ(aModem.modemESN(), UpperHex(aCut.substr(std::min<size_t>(51, aCut.size()))));
                     }
                   }});
  cases.push_back({"0x108B", noisy(0x108B, 37 + 10 * 7).U8(22, 2).U8(24, 5).Bytes(), from(37 + 10 * 7 - 4), {}});
  cases.push_back({"0x108C", noisy(0x108C, 118).Bytes(), from(114), {}});
  cases.push_back({"0x1192", noisy(0x1192, 244).Bytes(), padded, {}});
  cases.push_back({"0x127E", noisy(0x127E, 1733).Bytes(), padded, {}});
  cases.push_back({"0x1281", noisy(0x1281, 20).Bytes(), padded, {}});
  cases.push_back({"0x1298", noisy(0x1298, 232).U8(17, 3).Bytes(), from(228), {}});
  cases.push_back({"0x129C", noisy(0x129C, 72).U8(23, 3).Bytes(), from(68), {}});
  cases.push_back({"0x129F", noisy(0x129F, 1761).Bytes(), padded, {}});
  cases.push_back({"0x12A0", noisy(0x12A0, 20).Bytes(), padded, {}});
  cases.push_back({"0x12A1", noisy(0x12A1, 19).Bytes(), padded, {}});
  cases.push_back({"0x12A2", noisy(0x12A2, 393).Bytes(),
                   [](size_t aCut) { return aCut <= 250 ? TCutRule::RevAGroupsOnly : TCutRule::ZeroPadded; }, {}});
  cases.push_back({"version reply", TPacket::Reply(0x00, 50).Fill(0x5A, 1).Bytes(), padded, {}});
  cases.push_back({"ESN reply", TPacket::Reply(0x01, 9).Fill(0xC3, 1).Bytes(), [](size_t) { return TCutRule::AsIs; },
                   [](TModem& aModem, TByteView aCut) { EXPECT_EQ(aModem.modemESN(), "0x" + UpperHex(aCut)); }});
  cases.push_back({"status reply", TPacket::Reply(0x0C, 20).U32(4, 0x89ABCDEF).U16(8, 5).U32(10, 0x6F047B).U8(19, 1).Bytes(),
                   replyFrom(14), {}});
  cases.push_back({"NV item 0x20", TPacket::Reply(0x26, 65).U8(1, 0x20).U32(4, 0x6F047B).Bytes(), replyFrom(8), {}});
  cases.push_back({"NV item 0x21", TPacket::Reply(0x26, 65).U8(1, 0x21).U16(4, 984).Bytes(), replyFrom(6), {}});
  return cases;
}

}  // namespace

TEST(Truncation, EveryCutReadsMissingBytesAsZeroAndNothingPastTheFrame) {
  for (const TSweepCase& c : SweepCases()) {
    SCOPED_TRACE(c.Name);
    int failures = 0;
    for (size_t cut = 1; cut <= c.Full.size() && failures < 3; ++cut) {
      const TByteView piece = TByteView(c.Full).substr(0, cut);
      TProbe actual, expected;
      // A first, whole packet, so that a refused cut has something to leave alone.
      actual.Feed(c.Full);
      expected.Feed(c.Full);
      actual.State();
      expected.State();

      actual.Feed(piece);
      switch (c.Rule(cut)) {
        case TCutRule::ZeroPadded:
          expected.Feed(ZeroPadded(piece, c.Full.size()));
          break;
        case TCutRule::LogLengthRefused: {
          TByteString refused = ZeroPadded(piece, c.Full.size());
          refused[2] = refused[3] = '\xFF';
          expected.Feed(refused);
          break;
        }
        case TCutRule::ReplyIgnored:
          expected.Feed(Bytes({0x42}));
          break;
        case TCutRule::AsIs:
          expected.Feed(piece);
          break;
        case TCutRule::RevAGroupsOnly:
          expected.Feed(ZeroPadded(piece.substr(0, kFirstRevBForwardByte), c.Full.size()));
          break;
      }
      const TState got = actual.State();
      const TState want = expected.State();
      const std::string difference = FirstDifference(got, want);
      const std::string nonFinite = FirstNonFinite(got);
      if (!difference.empty() || !nonFinite.empty()) ++failures;
      EXPECT_EQ(difference, "") << "cut at " << cut;
      EXPECT_EQ(nonFinite, "") << "cut at " << cut;
      if (c.Extra) c.Extra(actual.Modem(), piece);
    }
  }
}

TEST(BadInput, AnyContentLeavesTheSessionConsistent) {
  const uint16_t codes[] = {0x1007, 0x102D, 0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x108C,
                            0x1192, 0x127E, 0x1281, 0x1298, 0x129C, 0x129F, 0x12A0, 0x12A1, 0x12A2};
  const size_t sizes[] = {8, 16, 17, 19, 30, 38, 42, 72, 118, 250, 251, 393, 1761, 4000};
  std::vector<TByteString> frames;
  for (uint16_t code : codes) {
    for (size_t size : sizes) {
      // All 0xFF: counts of 255, length fields of 0xFFFF, the most negative powers.
      frames.push_back(TPacket::Log(code, size).Fill(0xFF, 8).Bytes());
      // The same with a length field that matches, so the length checks let it through.
      frames.push_back(TPacket::Log(code, size).Fill(0xFF, 8).Length(static_cast<uint16_t>(size - 4)).Bytes());
      frames.push_back(TPacket::Log(code, size).Fill(0x80, 8).Length(static_cast<uint16_t>(size - 4)).Bytes());
    }
  }
  for (uint8_t first : {0x00, 0x01, 0x0C, 0x26})
    for (size_t size : {1, 2, 5, 13, 14, 65, 70000}) frames.push_back(TPacket::Reply(first, size).Fill(0xFF, 1).Bytes());
  std::mt19937 rng(3);
  for (int i = 0; i < 3000; ++i) {
    TByteString frame(rng() % 2000, '\0');
    for (char& b : frame) b = static_cast<char>(rng());
    if (frame.size() >= 8) {
      const uint16_t code = codes[rng() % std::size(codes)];
      frame[0] = 0x10;
      frame[6] = static_cast<char>(code & 0xFF);
      frame[7] = static_cast<char>(code >> 8);
    }
    frames.push_back(frame);
  }

  TProbe probe;
  for (const TByteString& frame : frames) {
    probe.Feed(frame);
    const TState state = probe.State();
    ASSERT_EQ(FirstNonFinite(state), "") << HexDump(TByteView(frame).substr(0, 40));
    probe.Modem().ComposeDRC();
    EXPECT_TRUE(std::isfinite(probe.Modem().ARQDataA()));
    EXPECT_TRUE(std::isfinite(probe.Modem().ARQDataB()));
    EXPECT_TRUE(std::isfinite(probe.Modem().TotalTXPower()));
    EXPECT_TRUE(std::isfinite(probe.Modem().MaxStrengthPilot()));
  }
  // Still a working session: a good packet after all that is read as usual.
  probe.Feed(TPacket::Log(0x1080, 36).U16BE(29, 300).U8(31, 2).U16(34, 300).Bytes());
  EXPECT_EQ(probe.Modem().CellNumber(), 300);
  probe.Modem().ClearDRC();
  EXPECT_EQ(probe.Modem().CommonPacketsCount(), static_cast<intptr_t>(frames.size() - std::count(frames.begin(), frames.end(), TByteString()) + 1));
}
