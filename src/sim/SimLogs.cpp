// Log packet layouts of the simulated modem. Each function writes one layout field by field;
// powers and energies are quantised to the packet's units first and the truth is computed
// from the quantised value, so it is exactly what the bytes say.
#include "sim/SimLogs.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "sim/SimTables.h"
#include "sim/SimWire.h"

namespace sim {
namespace {

constexpr int64_t kGpsEpochUnixMs = 315964800000LL;  // 1980-01-06 00:00 UTC
constexpr uint8_t kBandClass = 1;
constexpr uint16_t kChannelBandBits = static_cast<uint16_t>(kBandClass) << 11;

TLayoutWriter StartLog(uint16_t aCode, size_t aSize, uint64_t aTimestamp) {
  TLayoutWriter w(aSize);
  w.U8(0, 0x10);
  w.U8(1, 0x00);
  w.U16(2, static_cast<uint16_t>(aSize - 4));  // length of everything after the first four bytes
  w.U16(4, static_cast<uint16_t>(aSize - 4));
  w.U16(6, aCode);
  w.U64(8, aTimestamp);
  return w;
}

TEncodedLog Finish(uint16_t aCode, TLayoutWriter& aWriter, std::function<void(TSimTruth&)> aCommit) {
  TEncodedLog log;
  log.Code = aCode;
  log.Content = aWriter.Take();
  log.Commit = std::move(aCommit);
  return log;
}

// Signed 1/256 dB units.
int16_t Q8(double aDb) {
  return static_cast<int16_t>(std::clamp(std::lround(aDb * 256.0), -32768L, 32767L));
}
float FromQ8(int16_t aRaw) { return static_cast<float>(aRaw) / 256.0f; }

// A pilot energy as a linear value over 512: 512 is 0 dB.
int16_t PilotRaw(double aEcIoDb) {
  return static_cast<int16_t>(std::clamp(std::lround(512.0 * std::pow(10.0, aEcIoDb / 10.0)), 1L, 32767L));
}
float FromPilotRaw(int16_t aRaw) {
  return aRaw > 0 ? static_cast<float>(10.0 * std::log10(static_cast<double>(aRaw) / 512.0)) : 0.0f;
}

uint8_t U8Clamped(long aValue) { return static_cast<uint8_t>(std::clamp(aValue, 0L, 255L)); }

TPowerSet MakePowers(double aTxOpen, double aTxClosed, double aTxPilot, double aTxTotal, double aRx0, double aRx1,
                     std::array<int16_t, 6>& aRaw) {
  aRaw = {Q8(aTxOpen), Q8(aTxClosed), Q8(aTxPilot), Q8(aTxTotal), Q8(aRx0), Q8(aRx1)};
  TPowerSet p;
  p.TxOpen = FromQ8(aRaw[0]);
  p.TxClosed = FromQ8(aRaw[1]);
  p.TxPilot = FromQ8(aRaw[2]);
  p.TxTotal = FromQ8(aRaw[3]);
  p.RxPowerAntenna_0 = FromQ8(aRaw[4]);
  p.RxPowerAntenna_1 = FromQ8(aRaw[5]);
  return p;
}

double RevBTotalTx(const TSimScenario& s) {
  double sumMw = 0;
  for (int c = 0; c < s.CarrierCount(); ++c) sumMw += std::pow(10.0, (s.TxDbm(c) - 10.0 * std::log10(s.CarrierCount())) / 10.0);
  return std::min(23.0, 10.0 * std::log10(sumMw));
}

// Follows a link's totals from the previous undamaged packet to this one.
TLinkTotals FollowLink(const TLinkTotals* aPrevious, uint32_t aTotal, uint32_t aDrc) {
  TLinkTotals link;
  link.Total = aTotal;
  link.Drc = aDrc;
  link.HasPrevious = aPrevious != nullptr;
  link.PreviousTotal = aPrevious ? aPrevious->Total : 0;
  if (aPrevious && aPrevious->Total != 0) link.Carried = aTotal >= aPrevious->Total ? aTotal - aPrevious->Total : aPrevious->Total - aTotal;
  return link;
}

// Bit total of forward counters 0..aCount-1: size counters add count x size, closing
// counters take their own value off. Also the size of the last non-zero size counter.
void ForwardTotal(const TForwardCounters& aCounters, int aGroups, uint32_t& aTotal, uint32_t& aLastSize) {
  aTotal = 0;
  aLastSize = 0;
  for (int g = 0; g < aGroups; ++g) {
    const TForwardGroup& group = kForwardGroups[static_cast<size_t>(g)];
    for (int i = 0; i < group.SizeCount; ++i) {
      const uint32_t n = aCounters[static_cast<size_t>(group.First + i)];
      if (n != 0) {
        aTotal += n * group.Sizes[static_cast<size_t>(i)];
        aLastSize = group.Sizes[static_cast<size_t>(i)];
      }
    }
    aTotal -= aCounters[group.Closing()];
  }
}

void ReverseTotal(const TReverseCounters& aCounters, uint32_t& aTotal, uint32_t& aLargest) {
  aTotal = 0;
  aLargest = 0;
  for (int i = 0; i < kReverseCounters; ++i) {
    const uint32_t n = aCounters[static_cast<size_t>(i)];
    aTotal += n * kReversePacketSizes[static_cast<size_t>(i % kReverseRows % 12)];
    aLargest = std::max(aLargest, n);
  }
}

void WriteReverseCounters(TLayoutWriter& w, size_t aBase, const TReverseCounters& aCounters) {
  for (int b = 0; b < kReverseBlocks; ++b)
    for (int r = 0; r < kReverseRows; ++r) {
      const size_t row = aBase + 580 * static_cast<size_t>(b) + 24 * static_cast<size_t>(r);
      const uint32_t n = aCounters[static_cast<size_t>(b * kReverseRows + r)];
      w.U32(row, n);
      // The rest of the row: first-half terminations and the bits they carried.
      w.U32(row + 4, n / 2);
      w.U32(row + 8, n / 2 * kReversePacketSizes[static_cast<size_t>(r % 12)]);
    }
}

void UpdateCarrierLink(TMultiCarrierLinkTruth& aTruth, uint8_t aTag, uint16_t aWord, uint32_t aTotal, uint32_t aDrc,
                       bool aLongForm) {
  const uint16_t channel = aWord & 0x07FF;
  TCarrierLinkTruth* entry = nullptr;
  for (auto& c : aTruth.Carriers)
    if (c.Channel == channel) entry = &c;
  const TLinkTotals* previous = entry ? &entry->Link : nullptr;
  TCarrierLinkTruth next;
  next.CarrierTag = aTag;
  next.Channel = channel;
  next.ChannelHighBits = static_cast<uint8_t>((aWord & 0xF800) >> 8);
  next.Link = FollowLink(previous, aTotal, aDrc);
  next.LongForm = aLongForm;
  if (entry) *entry = next;
  else aTruth.Carriers.push_back(next);
  aTruth.LastChannel = channel;
}

}  // namespace

uint64_t LogTimestamp(int64_t aUnixMilliseconds) {
  const int64_t ms = std::max<int64_t>(0, aUnixMilliseconds - kGpsEpochUnixMs);
  const auto units = static_cast<uint64_t>(ms) * 4 / 5;  // 1.25 ms each
  return units << 16;
}

uint64_t LogTimestampNow() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return LogTimestamp(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

TEncodedLog TSimLogEncoder::Encode(uint16_t aCode, const TSimScenario& aScenario, int aCarrier, uint64_t aTimestamp) {
  TRandom r = TRandom::Derived(FSeed, aCode, FPackets[aCode]++);
  switch (aCode) {
    case logcode::kPagingChannel: return PagingChannel(aScenario, r, aTimestamp);
    case logcode::kPilotSet: return PilotSet(aScenario, r, aTimestamp);
    case logcode::kRevAPower: return RevAPower(aScenario, r, aTimestamp);
    case logcode::kAttemptCounters: return AttemptCounters(aScenario, r, aTimestamp);
    case logcode::kAccessChannel: return AccessChannel(aScenario, r, aTimestamp);
    case logcode::kServingSector: return ServingSector(aScenario, r, aTimestamp);
    case logcode::kIdentity: return Identity(r, aTimestamp);
    case logcode::kNeighbors: return Neighbors(aScenario, r, aTimestamp);
    case logcode::kArqA: return ArqA(aScenario, r, aTimestamp);
    case logcode::kForwardA: return ForwardA(aScenario, aTimestamp);
    case logcode::kReverseA: return ReverseA(aScenario, aTimestamp);
    case logcode::kRevAMarker:
    case logcode::kRevBMarker: return Marker(aCode, aScenario, aTimestamp);
    case logcode::kArqB: return ArqB(aScenario, r, aTimestamp);
    case logcode::kRevBPower: return RevBPower(aScenario, r, aTimestamp);
    case logcode::kReverseB: return ReverseB(aScenario, aCarrier, aTimestamp);
    case logcode::kPilotSetsB: return PilotSetsB(aScenario, aTimestamp);
    case logcode::kForwardB: return ForwardB(aScenario, aCarrier, aTimestamp);
    default: break;
  }
  // Not a code this device knows: an empty log of that code.
  TLayoutWriter w = StartLog(aCode, 16, aTimestamp);
  return Finish(aCode, w, nullptr);
}

// 0x1007, 50 bytes: the paging channel's system parameters. The base station and sector share
// bytes 32..33: high byte = base bits 8..11 (upper nibble) and bits 0..3, low byte = base
// bits 4..7 and the sector.
TEncodedLog TSimLogEncoder::PagingChannel(const TSimScenario& s, TRandom& r, uint64_t ts) {
  const TSectorInfo& sector = s.Serving();
  const uint16_t base = sector.Cell;
  TLayoutWriter w = StartLog(logcode::kPagingChannel, 50, ts);
  w.U8(16, 0x01);                       // message type: system parameters
  w.U8(17, 1);                          // paging channel on
  w.U16(18, 0x102B);                    // SID
  w.U16(20, 1);                         // NID
  w.U16(22, sector.Pn);
  w.U16(24, s.Channels().front());
  w.U8(26, static_cast<uint8_t>(r.Int(0, 7)));  // registration period
  const auto high = static_cast<uint8_t>((((base >> 8) & 0x0F) << 4) | (base & 0x0F));
  const auto low = static_cast<uint8_t>((base & 0xF0) | (sector.Sector & 0x0F));
  w.U8(32, low);
  w.U8(33, high);
  TPagingTruth truth{base, static_cast<uint8_t>(sector.Sector & 0x0F)};
  return Finish(logcode::kPagingChannel, w, [truth](TSimTruth& t) { t.Paging = truth; });
}

// 0x102D: the 1x searcher's pilot, powers, radio configuration, paths and fingers.
TEncodedLog TSimLogEncoder::PilotSet(const TSimScenario& s, TRandom& r, uint64_t ts) {
  constexpr uint8_t kPregain = 1, kIntegration = 64, kNonCoherent = 0;
  // Searcher gain for these settings: 20 log10(4 x 64 x 4).
  const auto gain = static_cast<float>(20.0 * std::log10(4.0 * kIntegration * 4.0));
  const int paths = static_cast<int>(r.Int(2, 4));
  const int fingers = static_cast<int>(r.Int(1, 3));
  const size_t size = 39 + 4 * static_cast<size_t>(paths) + 10 * static_cast<size_t>(fingers);
  const TSectorInfo& serving = s.Serving();
  const double ecio = s.EcIoDb(0);

  TPilotSetTruth truth;
  TLayoutWriter w = StartLog(logcode::kPilotSet, size, ts);
  w.U8(16, 0x03);  // transmitting on the pilot, transmitter enabled
  w.U8(17, kBandClass);
  w.U8(18, kPregain);
  w.U8(19, kIntegration);
  w.U8(20, kNonCoherent);
  w.U16(21, static_cast<uint16_t>(serving.Pn | 0x8000));  // in the active set
  w.U32(23, static_cast<uint32_t>(r.Int(0, 0x7FFF)));
  w.U16(27, 60);
  const uint8_t rxRaw = U8Clamped(std::lround((s.RxDbm(0) + 51.75 + 63.248) * 3.0));
  const uint8_t txRaw = U8Clamped(std::lround((s.TxDbm(0) + 52.25) * 3.0));
  const double closed = s.TxClosedLoopDb();
  const uint8_t adjustRaw = closed >= 0 ? 0x7F : U8Clamped(std::lround(-closed * 2.0));
  const uint8_t limitRaw = U8Clamped(std::lround((23.0 + 52.33) * 3.0));
  w.U8(29, rxRaw);
  w.U8(30, txRaw);
  w.U8(31, adjustRaw);
  w.U8(32, limitRaw);
  w.U8(33, 4);           // searcher state: traffic
  w.U16(34, 0x0033);     // fundamental and first supplemental channel in radio configuration 3
  w.U8(36, 0x01);        // fundamental channel assigned
  w.U8(37, static_cast<uint8_t>(paths));
  w.U8(38, static_cast<uint8_t>(fingers));

  truth.BandClass = kBandClass;
  truth.PilotPnOffset = serving.Pn;
  truth.PilotInActiveSet = 1;
  truth.RxAgc = static_cast<float>(rxRaw) / 3.0f - 63.248f;
  truth.TxAgc = static_cast<float>(txRaw) / 3.0f - 52.25f;
  truth.TxGainAdjust = adjustRaw == 0x7F ? 0.0f : -static_cast<float>(adjustRaw) / 2.0f;
  truth.TxPowerLimit = static_cast<float>(limitRaw) / 3.0f - 52.33f;
  truth.SearcherState = 4;
  truth.RadioConfigFch = 3;
  truth.NumberOfPaths = static_cast<uint8_t>(paths);
  truth.NumberOfFingers = static_cast<uint8_t>(fingers);

  for (int i = 0; i < paths; ++i) {
    const size_t at = 39 + 4 * static_cast<size_t>(i);
    const auto position = static_cast<uint16_t>(r.Int(0, 0xFFFF));
    const double energy = ecio - (i == 0 ? 0.0 : r.Uniform(3, 12));
    // Energy = 10 log10(e) + 78.445 - gain - 60.89, solved for e.
    const auto e = static_cast<uint16_t>(
        std::clamp(std::lround(std::pow(10.0, (energy - 78.445 + gain + 60.89) / 10.0)), 1L, 65535L));
    w.U16(at, position);
    w.U16(at + 2, e);
    truth.Paths[static_cast<size_t>(i)] = {position,
                                           static_cast<float>(10.0 * std::log10(static_cast<double>(e)) + 78.445 - gain - 60.89)};
  }
  for (int j = 0; j < fingers; ++j) {
    const size_t at = 39 + 4 * static_cast<size_t>(paths) + 10 * static_cast<size_t>(j);
    const bool own = j == 0 || s.Neighbors().empty();
    const uint16_t pilot = own ? serving.Pn : s.Neighbors()[static_cast<size_t>(j - 1) % s.Neighbors().size()].Sector.Pn;
    const double energy = j == 0 ? ecio : ecio - r.Uniform(2, 10);
    // Energy = 10 log10(b) - 24.6, solved for the byte b.
    const uint8_t b = static_cast<uint8_t>(std::clamp(std::lround(std::pow(10.0, (energy + 24.6) / 10.0)), 1L, 255L));
    const auto position = static_cast<uint32_t>(r.Int(0, 0xFFFFF));
    w.U16(at, pilot);
    w.U8(at + 2, static_cast<uint8_t>(j));
    w.U8(at + 3, b);
    w.U32(at + 4, position);
    w.U16(at + 8, 0x0006);  // locked and combining
    truth.Fingers[static_cast<size_t>(j)] = {pilot, static_cast<uint8_t>(j),
                                             static_cast<float>(10.0 * std::log10(static_cast<double>(b)) - 24.6), position};
  }
  return Finish(logcode::kPilotSet, w, [truth](TSimTruth& t) { t.PilotSet = truth; });
}

// 0x1069, 42 bytes: the EV-DO transmit and receive powers in 1/256 dB.
TEncodedLog TSimLogEncoder::RevAPower(const TSimScenario& s, TRandom& r, uint64_t ts) {
  (void)r;
  const double total = s.LinkType() == TSimMode::RevB ? RevBTotalTx(s) : s.TxDbm(0);
  std::array<int16_t, 6> raw{};
  TRevAPowerTruth truth;
  truth.Version = 2;
  truth.Powers = MakePowers(s.TxOpenLoopDbm(0), s.TxClosedLoopDb(), total - 9.0, total, s.RxDbm(0), s.RxDiversityDbm(0), raw);
  TLayoutWriter w = StartLog(logcode::kRevAPower, 42, ts);
  w.U8(16, truth.Version);
  for (size_t i = 0; i < raw.size(); ++i) w.S16(17 + 2 * i, raw[i]);
  w.U16(29, static_cast<uint16_t>(s.Channels().front()));
  return Finish(logcode::kRevAPower, w, [truth](TSimTruth& t) { t.RevAPower = truth; });
}

// 0x106C, 42 bytes: connection attempt counters and the serving sector.
TEncodedLog TSimLogEncoder::AttemptCounters(const TSimScenario& s, TRandom& r, uint64_t ts) {
  (void)r;
  const TSectorInfo& sector = s.Serving();
  TAttemptCountersTruth truth{sector.Cell, sector.Sector, sector.Pn, s.Successes(), s.Failures(), s.Attempts()};
  TLayoutWriter w = StartLog(logcode::kAttemptCounters, 42, ts);
  w.U8(16, 1);  // version
  w.U16(17, s.Channels().front());
  w.U8(19, sector.ColorCode);
  w.U32(23, truth.Success);
  w.U32(27, truth.Failure);
  w.U32(31, truth.Attempts);
  w.U16(35, truth.Pn);
  w.U8(37, truth.Sector);
  w.U16(38, truth.Cell);
  return Finish(logcode::kAttemptCounters, w, [truth](TSimTruth& t) {
    t.AttemptCounters = truth;
    t.LastSector = TServingSectorTruth{truth.Cell, truth.Sector, truth.Pn};
  });
}

// 0x107C, 41 bytes: the access channel's view of the sector.
TEncodedLog TSimLogEncoder::AccessChannel(const TSimScenario& s, TRandom& r, uint64_t ts) {
  const TSectorInfo& sector = s.Serving();
  TAccessChannelTruth truth;
  truth.BandClass = kBandClass;
  truth.ChannelNumber = s.Channels().front();
  truth.PilotPn = sector.Pn;
  truth.HSTR = static_cast<uint16_t>(r.Int(0, 0xFFFF));
  truth.SomeData = static_cast<uint8_t>(r.Int(0, 3));
  truth.SeqNo = static_cast<uint8_t>(NextSequence(0x7C00));
  truth.AckSeqNo = static_cast<uint8_t>(truth.SeqNo - 1);
  truth.SyncCCFlag = static_cast<uint8_t>(r.Int(0, 1));
  truth.MSG = 0x01;
  truth.MessageID = static_cast<uint8_t>(r.Int(0, 0x0F));
  truth.ColorCode = sector.ColorCode;
  truth.BtsID = sector.Cell;
  truth.SectorID = sector.Sector;
  truth.SectorSignature = sector.SectorSignature;
  truth.AccessSignature = sector.AccessSignature;
  TLayoutWriter w = StartLog(logcode::kAccessChannel, 41, ts);
  w.U8(16, truth.BandClass);
  w.U16(17, truth.ChannelNumber);
  w.U16(19, truth.PilotPn);
  w.U16(21, truth.HSTR);
  w.U8(23, truth.SomeData);
  w.U8(24, truth.SeqNo);
  w.U8(25, truth.AckSeqNo);
  w.U8(26, truth.SyncCCFlag);
  w.U8(27, truth.MSG);
  w.U8(28, truth.MessageID);
  w.U8(29, truth.ColorCode);
  w.U16BigEndian(30, truth.BtsID);
  w.U8(32, truth.SectorID);
  w.U16(33, truth.SectorSignature);
  w.U16(35, truth.AccessSignature);
  return Finish(logcode::kAccessChannel, w, [truth](TSimTruth& t) { t.AccessChannel = truth; });
}

// 0x1080, 36 bytes: the serving sector; the cell number is big-endian here.
TEncodedLog TSimLogEncoder::ServingSector(const TSimScenario& s, TRandom& r, uint64_t ts) {
  const TSectorInfo& sector = s.Serving();
  TServingSectorTruth truth{sector.Cell, sector.Sector, sector.Pn};
  TLayoutWriter w = StartLog(logcode::kServingSector, 36, ts);
  w.U8(16, kBandClass);
  w.U16(17, s.Channels().front());
  w.U8(19, sector.ColorCode);
  w.U16(20, sector.SectorSignature);
  w.U8(22, static_cast<uint8_t>(r.Int(0, 255)));  // sector load
  w.U16BigEndian(29, truth.Cell);
  w.U8(31, truth.Sector);
  w.U16(34, truth.Pn);
  return Finish(logcode::kServingSector, w, [truth](TSimTruth& t) {
    t.ServingSector = truth;
    t.LastSector = truth;
  });
}

// 0x1088, 55 bytes: identity record; the ESN closes it, most significant byte first.
TEncodedLog TSimLogEncoder::Identity(TRandom& r, uint64_t ts) {
  TLayoutWriter w = StartLog(logcode::kIdentity, 55, ts);
  w.U8(16, 1);
  for (size_t i = 17; i < 51; ++i) w.U8(i, static_cast<uint8_t>(r.Int(0x20, 0x7A)));  // model and build strings
  w.U8(51, static_cast<uint8_t>(FEsn >> 24));
  w.U8(52, static_cast<uint8_t>(FEsn >> 16));
  w.U8(53, static_cast<uint8_t>(FEsn >> 8));
  w.U8(54, static_cast<uint8_t>(FEsn));
  char text[9];
  std::snprintf(text, sizeof text, "%08X", FEsn);
  TIdentityLogTruth truth{text};
  return Finish(logcode::kIdentity, w, [truth](TSimTruth& t) { t.IdentityLog = truth; });
}

// 0x108B: active pilot, candidates, then neighbours, ten bytes per pilot.
TEncodedLog TSimLogEncoder::Neighbors(const TSimScenario& s, TRandom& r, uint64_t ts) {
  const TSectorInfo& serving = s.Serving();
  const double ecio = s.EcIoDb(0);
  const int candidates = s.CandidateCount();
  const int neighbors = std::min(static_cast<int>(s.Neighbors().size()) - candidates, 40);
  const size_t size = 37 + 10 * static_cast<size_t>(candidates + neighbors);

  TNeighborTruth truth;
  truth.Pilot = 4;
  truth.ACount = 1;
  truth.AWindow = 9;
  truth.Channel = s.Channels().front();
  truth.CCount = static_cast<uint8_t>(candidates);
  truth.CWindow = 9;
  truth.NCount = static_cast<uint8_t>(neighbors);
  truth.RWindow = 7;
  truth.APilotPn = serving.Pn;
  const int16_t activeRaw = PilotRaw(ecio);
  truth.APilotEng = FromPilotRaw(activeRaw);

  TLayoutWriter w = StartLog(logcode::kNeighbors, size, ts);
  w.U8(16, truth.Pilot);
  w.U8(17, truth.ACount);
  w.U8(18, truth.AWindow);
  w.U16(19, static_cast<uint16_t>(truth.Channel | kChannelBandBits));
  w.U8(22, truth.CCount);
  w.U8(23, truth.CWindow);
  w.U8(24, truth.NCount);
  w.U8(25, truth.RWindow);
  w.S16(27, static_cast<int16_t>(truth.APilotPn));
  w.S16(29, activeRaw);
  w.U16(31, static_cast<uint16_t>(r.Int(0, 580)));  // active pilot position

  for (int i = 0; i < candidates + neighbors; ++i) {
    const TNeighborPilot& nb = s.Neighbors()[static_cast<size_t>(i)];
    const size_t at = 37 + 10 * static_cast<size_t>(i);
    const int16_t raw = PilotRaw(ecio - nb.OffsetDb);
    const auto position = static_cast<uint16_t>(r.Int(0, 580));
    // Bit 11 flags a pilot from the neighbour list message; receivers mask it away.
    w.U16(at, static_cast<uint16_t>(nb.Sector.Pn | (r.Chance(0.5) ? 0x0800 : 0)));
    w.S16(at + 2, raw);
    w.S16(at + 4, static_cast<int16_t>(position));
    w.U16(at + 6, static_cast<uint16_t>(r.Int(0, 0xFFFF)));  // age and search window
    TNeighborTruth::TPilot pilot{nb.Sector.Pn, FromPilotRaw(raw), position};
    (i < candidates ? truth.Candidates : truth.Neighbors).push_back(pilot);
  }
  return Finish(logcode::kNeighbors, w, [truth](TSimTruth& t) { t.Neighbors = truth; });
}

// 0x108C, 118 bytes: two blocks of 16 slot words with the DRC index in bits 8..11.
TEncodedLog TSimLogEncoder::ArqA(const TSimScenario& s, TRandom& r, uint64_t ts) {
  TArqATruth truth;
  TLayoutWriter w = StartLog(logcode::kArqA, 118, ts);
  float best = 0;
  for (size_t b = 0; b < 2; ++b) {
    const size_t base = 16 + 51 * b;
    for (size_t j = 0; j < 16; ++j) {
      const int drc = s.SlotDrc(0, r);
      uint16_t word = static_cast<uint16_t>(r.Int(0, 7));                 // slot within the frame
      word |= static_cast<uint16_t>(r.Int(0, 31) << 3);                  // MAC index
      word |= static_cast<uint16_t>((drc & 0x0F) << 8);
      if (r.Chance(0.9)) word |= 0x1000;                                  // DRC received
      if (r.Chance(0.5)) word |= 0x2000;                                  // served
      if (r.Chance(0.3)) word |= 0x4000;
      if (r.Chance(0.1)) word |= 0x8000;
      w.U16(base + 2 * j, word);
      truth.Drc[b][j] = static_cast<uint8_t>(drc);
      best = std::max(best, kDrcRatesRevA[static_cast<size_t>(drc & 0x0F)]);
    }
    const auto locked = static_cast<uint8_t>(r.Int(1, 6));
    const auto lockWord = static_cast<uint16_t>((locked << 8) | 0x3F);
    w.U8(base + 32, 16);
    w.U16(base + 33, lockWord);  // its high byte doubles as the lock count
    for (size_t j = 0; j < 16; ++j) w.U8(base + 35 + j, static_cast<uint8_t>(r.Int(0, 255)));
    truth.SlotCount[b] = 16;
    truth.DrcLockWord[b] = lockWord;
  }
  truth.RateKbps = best;
  return Finish(logcode::kArqA, w, [truth](TSimTruth& t) { t.ArqA = truth; });
}

// 0x1192, 244 bytes: sequence number and the 56 cumulative forward counters of Rev A.
TEncodedLog TSimLogEncoder::ForwardA(const TSimScenario& s, uint64_t ts) {
  const TForwardCounters& counters = s.ForwardA();
  const uint32_t sequence = NextSequence(logcode::kForwardA);
  TLayoutWriter w = StartLog(logcode::kForwardA, 244, ts);
  w.U32(16, sequence);
  for (size_t k = 0; k < kForwardCountersA; ++k) w.U32(20 + 4 * k, counters[k]);
  uint32_t total = 0, lastSize = 0;
  ForwardTotal(counters, kForwardGroupsA, total, lastSize);
  return Finish(logcode::kForwardA, w, [sequence, total, lastSize](TSimTruth& t) {
    TForwardATruth next;
    next.Sequence = sequence;
    next.Link = FollowLink(t.ForwardA ? &t.ForwardA->Link : nullptr, total, lastSize);
    t.ForwardA = next;
  });
}

// 0x127E, 1757 bytes: version and three blocks of 24 reverse rows of 24 bytes, 4 spare
// bytes after each block.
TEncodedLog TSimLogEncoder::ReverseA(const TSimScenario& s, uint64_t ts) {
  const TReverseCounters& counters = s.ReverseA();
  TLayoutWriter w = StartLog(logcode::kReverseA, 17 + 580 * kReverseBlocks, ts);
  const uint8_t version = 1;
  w.U8(16, version);
  WriteReverseCounters(w, 17, counters);
  uint32_t total = 0, largest = 0;
  ReverseTotal(counters, total, largest);
  return Finish(logcode::kReverseA, w, [version, total, largest](TSimTruth& t) {
    TReverseATruth next;
    next.Version = version;
    next.Link = FollowLink(t.ReverseA ? &t.ReverseA->Link : nullptr, total, largest);
    t.ReverseA = next;
  });
}

// 0x1281 and 0x12A0: link-type reports the monitor only notes the arrival of.
TEncodedLog TSimLogEncoder::Marker(uint16_t aCode, const TSimScenario& s, uint64_t ts) {
  TLayoutWriter w = StartLog(aCode, 28, ts);
  w.U8(16, 1);
  w.U8(17, static_cast<uint8_t>(s.CarrierCount()));
  w.U16(18, s.Serving().Pn);
  w.U8(20, static_cast<uint8_t>(s.DrcIndex(0)));
  w.U16(21, s.Channels().front());
  w.U32(23, NextSequence(aCode));
  return Finish(aCode, w, nullptr);
}

// 0x1298: per carrier a tag, a 24-bit descriptor (band class in bits 0..3, channel in bits
// 8..19), a flags byte, then 16 slot words with the DRC index in bits 16..23. Carrier 0's
// slots start 6 bytes after its tag, the others' 8.
TEncodedLog TSimLogEncoder::ArqB(const TSimScenario& s, TRandom& r, uint64_t ts) {
  const int carriers = s.CarrierCount();
  const size_t size = carriers == 0 ? 18 : 18 + 70 + 72 * static_cast<size_t>(carriers - 1);
  TArqBTruth truth;
  truth.Version = 1;
  truth.NumCarriers = static_cast<uint8_t>(carriers);
  TLayoutWriter w = StartLog(logcode::kArqB, size, ts);
  w.U8(16, truth.Version);
  w.U8(17, truth.NumCarriers);
  size_t p = 18;
  float sum = 0;
  for (int c = 0; c < carriers; ++c) {
    TArqBTruth::TCarrier carrier;
    carrier.CarrierTag = static_cast<uint8_t>(c);
    carrier.DescLow = kBandClass;
    carrier.DescMid = s.Channels()[static_cast<size_t>(c)];
    carrier.DescHigh = 0;
    carrier.DescFlags = 0x01;
    w.U8(p, carrier.CarrierTag);
    w.U24(p + 1, static_cast<uint32_t>(carrier.DescLow) | (static_cast<uint32_t>(carrier.DescMid) << 8) |
                     (static_cast<uint32_t>(carrier.DescHigh) << 20));
    w.U8(p + 4, carrier.DescFlags);
    const size_t slots = p + (c == 0 ? 6 : 8);
    float best = 0;
    for (size_t j = 0; j < 16; ++j) {
      const int drc = s.SlotDrc(c, r);
      const uint32_t word = static_cast<uint32_t>(r.Int(0, 0xFFFF)) | (static_cast<uint32_t>(drc) << 16) |
                            (static_cast<uint32_t>(r.Int(0, 255)) << 24);
      w.U32(slots + 4 * j, word);
      carrier.Drc[j] = static_cast<uint8_t>(drc);
      best = std::max(best, kDrcRatesRevB[static_cast<size_t>(drc)]);
    }
    sum += best;
    truth.Carriers.push_back(carrier);
    p = slots + 64;
  }
  truth.RateKbps = sum;
  return Finish(logcode::kArqB, w, [truth](TSimTruth& t) { t.ArqB = truth; });
}

// 0x129C, 72 bytes whatever the carrier count: header, total power, then 16 bytes per carrier.
TEncodedLog TSimLogEncoder::RevBPower(const TSimScenario& s, TRandom& r, uint64_t ts) {
  (void)r;
  const int carriers = s.CarrierCount();
  const double total = RevBTotalTx(s);
  TRevBPowerTruth truth;
  truth.Version = 1;
  truth.LNAGain = static_cast<uint8_t>(s.RxDbm(0) > -65 ? 0 : s.RxDbm(0) > -85 ? 1 : 2);
  truth.TxEnable = 1;
  truth.HsReferCount = FHsReferCount++;
  const int16_t totalRaw = Q8(total);
  truth.TotalTxPower = FromQ8(totalRaw);
  truth.NumData = static_cast<uint8_t>(carriers);
  TLayoutWriter w = StartLog(logcode::kRevBPower, 72, ts);
  w.U8(16, truth.Version);
  w.U8(17, truth.LNAGain);
  w.U8(18, truth.TxEnable);
  w.U16(19, truth.HsReferCount);
  w.S16(21, totalRaw);
  w.U8(23, truth.NumData);
  const double split = 10.0 * std::log10(carriers);
  for (int c = 0; c < carriers; ++c) {
    const size_t q = 24 + 16 * static_cast<size_t>(c);
    TRevBPowerTruth::TCarrier carrier;
    carrier.DescLow = kBandClass;
    carrier.DescMid = s.Channels()[static_cast<size_t>(c)];
    carrier.DescHigh = 0;
    carrier.FlagBit0 = 1;                      // carrier active
    carrier.FlagBit1 = c == 0 ? 1 : 0;         // the carrier the others are timed from
    std::array<int16_t, 6> raw{};
    const double tx = s.TxDbm(c) - split;
    carrier.Powers = MakePowers(s.TxOpenLoopDbm(c) - split, s.TxClosedLoopDb(), tx - 9.0, tx, s.RxDbm(c), s.RxDiversityDbm(c), raw);
    w.U24(q, static_cast<uint32_t>(carrier.DescLow) | (static_cast<uint32_t>(carrier.DescMid) << 8));
    w.U8(q + 3, static_cast<uint8_t>(carrier.FlagBit0 | (carrier.FlagBit1 << 1)));
    for (size_t i = 0; i < raw.size(); ++i) w.S16(q + 4 + 2 * i, raw[i]);
    truth.Carriers.push_back(carrier);
  }
  return Finish(logcode::kRevBPower, w, [truth](TSimTruth& t) { t.RevBPower = truth; });
}

// 0x129F, 1785 bytes: header, carrier tag and word, 20 spare bytes, the reverse rows of one carrier.
TEncodedLog TSimLogEncoder::ReverseB(const TSimScenario& s, int aCarrier, uint64_t ts) {
  const int c = std::clamp(aCarrier, 0, s.CarrierCount() - 1);
  const TReverseCounters& counters = s.ReverseB(c);
  const uint32_t sequence = NextSequence(logcode::kReverseB);
  const uint8_t version = 1;
  const auto carriers = static_cast<uint8_t>(s.CarrierCount());
  const auto tag = static_cast<uint8_t>(c);
  const auto word = static_cast<uint16_t>(s.Channels()[static_cast<size_t>(c)] | kChannelBandBits);
  TLayoutWriter w = StartLog(logcode::kReverseB, 45 + 580 * kReverseBlocks, ts);
  w.U8(16, version);
  w.U32(17, sequence);
  w.U8(21, carriers);
  w.U8(22, tag);
  w.U16(23, word);
  w.S16(25, Q8(23.0 - s.TxDbm(c)));  // transmit headroom
  WriteReverseCounters(w, 45, counters);
  uint32_t total = 0, largest = 0;
  ReverseTotal(counters, total, largest);
  return Finish(logcode::kReverseB, w, [=](TSimTruth& t) {
    if (!t.ReverseB) t.ReverseB.emplace();
    t.ReverseB->Version = version;
    t.ReverseB->Sequence = sequence;
    t.ReverseB->NumbCarr = carriers;
    UpdateCarrierLink(*t.ReverseB, tag, word, total, largest, false);
  });
}

// 0x12A1, 20 bytes: the multi-carrier searcher; state 3 is sleep, 5 tracking Rev B carriers,
// 0 idle (the modem is on another link type).
TEncodedLog TSimLogEncoder::PilotSetsB(const TSimScenario& s, uint64_t ts) {
  const TSimMode mode = s.LinkType();
  const uint8_t state = mode == TSimMode::Sleep ? 3 : mode == TSimMode::RevB ? 5 : 0;
  TPilotSetsBTruth truth{1, 4, state};
  TLayoutWriter w = StartLog(logcode::kPilotSetsB, 20, ts);
  w.U8(16, truth.Version);
  w.U8(17, truth.PilotPnIncrement);
  w.U8(18, truth.SearcherState);
  w.U8(19, static_cast<uint8_t>(s.CarrierCount()));
  return Finish(logcode::kPilotSetsB, w, [truth](TSimTruth& t) { t.PilotSetsB = truth; });
}

// 0x12A2: header, carrier tag and word, then the forward counters of one carrier: groups
// 0..14 only (249 bytes) until the carrier has used a Rev B format, all 27 groups (393 bytes)
// from then on.
TEncodedLog TSimLogEncoder::ForwardB(const TSimScenario& s, int aCarrier, uint64_t ts) {
  const int c = std::clamp(aCarrier, 0, s.CarrierCount() - 1);
  const TForwardCounters& counters = s.ForwardB(c);
  bool longForm = false;
  for (size_t k = kForwardCountersA; k < kForwardCountersB; ++k) longForm = longForm || counters[k] != 0;
  const int counterCount = longForm ? kForwardCountersB : kForwardCountersA;
  const uint32_t sequence = NextSequence(logcode::kForwardB);
  const uint8_t version = 1;
  const auto carriers = static_cast<uint8_t>(s.CarrierCount());
  const auto tag = static_cast<uint8_t>(c);
  const auto word = static_cast<uint16_t>(s.Channels()[static_cast<size_t>(c)] | kChannelBandBits);
  TLayoutWriter w = StartLog(logcode::kForwardB, 25 + 4 * static_cast<size_t>(counterCount), ts);
  w.U8(16, version);
  w.U32(17, sequence);
  w.U8(21, carriers);
  w.U8(22, tag);
  w.U16(23, word);
  for (size_t k = 0; k < static_cast<size_t>(counterCount); ++k) w.U32(25 + 4 * k, counters[k]);
  uint32_t total = 0, lastSize = 0;
  ForwardTotal(counters, longForm ? kForwardGroupsB : kForwardGroupsA, total, lastSize);
  return Finish(logcode::kForwardB, w, [=](TSimTruth& t) {
    if (!t.ForwardB) t.ForwardB.emplace();
    t.ForwardB->Version = version;
    t.ForwardB->Sequence = sequence;
    t.ForwardB->NumbCarr = carriers;
    UpdateCarrierLink(*t.ForwardB, tag, word, total, lastSize, longForm);
  });
}

}  // namespace sim
