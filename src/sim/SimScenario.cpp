// The simulated modem's radio scenario.
#include "sim/SimScenario.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

constexpr double kPi = 3.141592653589793;

// DRC indices in the order of the rate they request, with the SINR (dB) each needs.
struct TDrcStep {
  int Index;
  double MinSinr;
};
constexpr std::array<TDrcStep, 17> kDrcLadder = {{
    {1, -99.0}, {2, -9.2}, {3, -6.5}, {4, -3.5}, {5, -3.0}, {6, -0.6}, {7, -0.2}, {8, 1.8}, {9, 3.9},
    {10, 4.2}, {13, 6.0}, {11, 7.6}, {12, 9.7}, {14, 11.5},
    // Rev B only: the 64-QAM formats.
    {25, 12.0}, {26, 13.0}, {27, 14.5},
}};
constexpr int kRevALadder = 14;

int LadderPosition(int aDrc) {
  for (size_t i = 0; i < kDrcLadder.size(); ++i)
    if (kDrcLadder[i].Index == aDrc) return static_cast<int>(i);
  return 0;
}

}  // namespace

bool IsPagingEncodableCell(uint16_t aCell) {
  const unsigned low = aCell & 0x0F;
  const unsigned mid = (aCell >> 4) & 0x0F;
  return aCell != 0 && aCell <= 0x0FFF && (low & ~mid) == 0;
}

TSimScenario::TSimScenario(uint64_t aSeed, std::vector<uint16_t> aChannels) : FRnd(aSeed) {
  SetChannels(std::move(aChannels));
  FSlowDbm = FRnd.Uniform(-90, -65);
  FTargetDbm = FSlowDbm;
  FFadePhase1 = FRnd.Uniform(0, 2 * kPi);
  FFadePhase2 = FRnd.Uniform(0, 2 * kPi);
  FFadeFreq1 = FRnd.Uniform(0.05, 0.25);
  FFadeFreq2 = FRnd.Uniform(0.4, 1.2);
  for (auto& o : FCarrierOffsetDb) o = FRnd.Uniform(-2, 2);

  // A small network around the modem: 12 cells of 3 sectors, each sector with its own PN.
  std::vector<uint16_t> pns;
  for (uint16_t pn = 0; pn < 512; pn += 4) pns.push_back(pn);
  for (size_t i = pns.size() - 1; i > 0; --i) std::swap(pns[i], pns[static_cast<size_t>(FRnd.Int(0, static_cast<int64_t>(i)))]);
  std::vector<uint16_t> cells;
  while (cells.size() < 12) {
    const auto cell = static_cast<uint16_t>(FRnd.Int(0x100, 0xFFF));
    if (IsPagingEncodableCell(cell) && std::find(cells.begin(), cells.end(), cell) == cells.end()) cells.push_back(cell);
  }
  size_t next = 0;
  for (uint16_t cell : cells) {
    const auto color = static_cast<uint8_t>(FRnd.Int(1, 255));
    for (uint8_t sector = 1; sector <= 3; ++sector) {
      TSectorInfo s;
      s.Cell = cell;
      s.Sector = sector;
      s.Pn = pns[next++];
      s.ColorCode = color;
      s.SectorSignature = static_cast<uint16_t>(FRnd.Next());
      s.AccessSignature = static_cast<uint16_t>(FRnd.Next());
      FNetwork.push_back(s);
    }
  }
  FServing = FNetwork[static_cast<size_t>(FRnd.Int(0, static_cast<int64_t>(FNetwork.size()) - 1))];
  BuildNeighbors();
  Tick();
}

void TSimScenario::SetChannels(std::vector<uint16_t> aChannels) {
  if (aChannels.empty()) aChannels.push_back(283);
  if (aChannels.size() > kMaxCarriers) aChannels.resize(kMaxCarriers);
  FChannels = std::move(aChannels);
}

int TSimScenario::Clamp(int aCarrier) const {
  return std::clamp(aCarrier, 0, kMaxCarriers - 1);
}

void TSimScenario::AdvanceTo(double aVirtualMs) {
  while (FNowMs + kTickMs <= aVirtualMs) {
    FNowMs += kTickMs;
    Tick();
  }
}

double TSimScenario::RxDbm(int aCarrier) const {
  if (FRxLevel) return std::clamp(*FRxLevel, -120.0, -25.0);
  const double rx = FSlowDbm + FFastDb + FCarrierOffsetDb[Clamp(aCarrier)];
  // The usual fading, squeezed into a few dB below -100.
  if (FWeakSignal) return std::clamp(-102.75 + 0.1 * (rx + 75.0), -105.0, -100.5);
  return std::clamp(rx, -105.0, -50.0);
}

double TSimScenario::RxDiversityDbm(int aCarrier) const {
  return std::clamp(RxDbm(aCarrier) + FDiversityDb[Clamp(aCarrier)], -110.0, -45.0);
}

double TSimScenario::TxOpenLoopDbm(int aCarrier) const {
  // Open-loop estimate: the weaker the downlink, the harder the modem transmits.
  const double constant = FLinkType == TSimMode::Ev1x ? -73.0 : -76.0;
  return constant - RxDbm(aCarrier);
}

double TSimScenario::TxDbm(int aCarrier) const {
  const double burst = FReverseBurst ? 2.0 : 0.0;
  return std::clamp(TxOpenLoopDbm(aCarrier) + FClosedLoopDb + burst, -55.0, 23.0);
}

double TSimScenario::SinrDb(int aCarrier) const {
  const int c = Clamp(aCarrier);
  return std::clamp(-8.0 + (RxDbm(c) + 105.0) * 24.0 / 55.0 + FSinrNoiseDb[c], -12.0, 20.0);
}

double TSimScenario::EcIoDb(int aCarrier) const {
  const double s = std::pow(10.0, SinrDb(aCarrier) / 10.0);
  return std::clamp(10.0 * std::log10(s / (1.0 + s)) - 1.0, -24.0, -0.5);
}

int TSimScenario::DrcForSinr(double aSinr, bool aRevB) const {
  const int top = aRevB ? static_cast<int>(kDrcLadder.size()) : kRevALadder;
  int pos = 0;
  for (int i = 0; i < top; ++i)
    if (aSinr >= kDrcLadder[static_cast<size_t>(i)].MinSinr) pos = i;
  return kDrcLadder[static_cast<size_t>(pos)].Index;
}

int TSimScenario::SlotDrc(int aCarrier, TRandom& aRnd) const {
  const int drc = DrcIndex(aCarrier);
  const int top = (FLinkType == TSimMode::RevB ? static_cast<int>(kDrcLadder.size()) : kRevALadder) - 1;
  int pos = LadderPosition(drc);
  const double u = aRnd.Uniform();
  if (u < 0.2) pos -= 1;
  else if (u < 0.35) pos += 1;
  return kDrcLadder[static_cast<size_t>(std::clamp(pos, 0, top))].Index;
}

int TSimScenario::CandidateCount() const {
  int n = 0;
  for (const auto& nb : FNeighbors) {
    if (nb.OffsetDb >= 3.0 || n >= 2) break;
    ++n;
  }
  return n;
}

void TSimScenario::BuildNeighbors() {
  FNeighbors.clear();
  // The other sectors of the serving cell, then the sectors of three other cells.
  for (const auto& s : FNetwork)
    if (s.Cell == FServing.Cell && s.Sector != FServing.Sector) FNeighbors.push_back({s, FRnd.Uniform(2, 12)});
  std::vector<uint16_t> others;
  while (others.size() < 2) {
    const auto& s = FNetwork[static_cast<size_t>(FRnd.Int(0, static_cast<int64_t>(FNetwork.size()) - 1))];
    if (s.Cell != FServing.Cell && std::find(others.begin(), others.end(), s.Cell) == others.end()) others.push_back(s.Cell);
  }
  for (const auto& s : FNetwork)
    if (std::find(others.begin(), others.end(), s.Cell) != others.end()) FNeighbors.push_back({s, FRnd.Uniform(3, 18)});
  std::sort(FNeighbors.begin(), FNeighbors.end(),
            [](const TNeighborPilot& a, const TNeighborPilot& b) { return a.OffsetDb < b.OffsetDb; });
}

void TSimScenario::ChangeSector() {
  // Hand off to the strongest neighbour; now and then the network moves the modem elsewhere.
  if (!FNeighbors.empty() && FRnd.Chance(0.8)) FServing = FNeighbors.front().Sector;
  else FServing = FNetwork[static_cast<size_t>(FRnd.Int(0, static_cast<int64_t>(FNetwork.size()) - 1))];
  BuildNeighbors();
  ++FSectorEpoch;
}

void TSimScenario::Tick() {
  ++FTicks;
  const double dt = kTickMs / 1000.0;

  // Slow shadowing drifts towards a target that moves every 20 s or so; fast fading on top.
  if (FRnd.Chance(0.005)) FTargetDbm = FRnd.Uniform(-98, -58);
  FSlowDbm = std::clamp(FSlowDbm + 0.03 * (FTargetDbm - FSlowDbm) + 0.5 * FRnd.Normal(), -101.0, -54.0);
  FFadePhase1 += 2 * kPi * FFadeFreq1 * dt;
  FFadePhase2 += 2 * kPi * FFadeFreq2 * dt;
  FFastDb = 3.5 * std::sin(FFadePhase1) + 1.5 * std::sin(FFadePhase2) + 0.8 * FRnd.Normal();
  for (int c = 0; c < kMaxCarriers; ++c) {
    FCarrierOffsetDb[c] = std::clamp(FCarrierOffsetDb[c] + 0.3 * FRnd.Normal(), -3.0, 3.0);
    FDiversityDb[c] = std::clamp(FDiversityDb[c] + 0.5 * FRnd.Normal(), -6.0, 6.0);
    FSinrNoiseDb[c] = FRnd.Normal();
  }
  FClosedLoopDb = std::clamp(FClosedLoopDb + 0.4 * FRnd.Normal(), -4.0, 4.0);
  const bool revB = FLinkType == TSimMode::RevB;
  for (int c = 0; c < kMaxCarriers; ++c) FDrc[c] = DrcForSinr(SinrDb(c), revB);

  for (auto& nb : FNeighbors) nb.OffsetDb = std::clamp(nb.OffsetDb + 0.5 * FRnd.Normal(), 0.3, 20.0);
  std::sort(FNeighbors.begin(), FNeighbors.end(),
            [](const TNeighborPilot& a, const TNeighborPilot& b) { return a.OffsetDb < b.OffsetDb; });
  const bool strongCandidate = !FNeighbors.empty() && FNeighbors.front().OffsetDb < 1.0;
  if (FRnd.Chance(strongCandidate ? 0.05 : 1.0 / 400.0)) ChangeSector();

  if (FLinkType == TSimMode::RevA || FLinkType == TSimMode::RevB) TickTraffic();
  else FForwardBurst = FReverseBurst = false;
}

void TSimScenario::TickTraffic() {
  const bool revB = FLinkType == TSimMode::RevB;
  const int carriers = revB ? CarrierCount() : 1;

  if (!FForwardBurst && FRnd.Chance(0.05)) {
    ++FAttempts;
    if (FRnd.Chance(0.93)) {
      ++FSuccess;
      FForwardBurst = true;
      FForwardLeft = static_cast<int>(FRnd.Int(10, 80));
      FForwardLoad = FRnd.Uniform(0.3, 0.95);
    } else {
      ++FFailure;
    }
  }
  if (FForwardBurst) {
    for (int c = 0; c < carriers; ++c) {
      const int drc = FDrc[c];
      const double rate = revB ? kDrcRatesRevB[static_cast<size_t>(drc)] : kDrcRatesRevA[static_cast<size_t>(drc)];
      const double bits = FForwardLoad * rate * kTickMs * FRnd.Uniform(0.8, 1.0);
      AddForward(revB ? FForwardB[c] : FForwardA, drc, bits, revB);
    }
    if (--FForwardLeft <= 0) FForwardBurst = false;
  }

  if (!FReverseBurst && FRnd.Chance(FForwardBurst ? 0.08 : 0.02)) {
    FReverseBurst = true;
    FReverseLeft = static_cast<int>(FRnd.Int(5, 60));
    FReverseRateKbps = FRnd.Uniform(9.6, 1800.0);
  }
  if (FReverseBurst) {
    for (int c = 0; c < carriers; ++c) {
      // The transmitter's headroom limits the rate.
      const double headroom = std::clamp((23.0 - TxDbm(c)) / 20.0, 0.05, 1.0);
      const double rate = FReverseRateKbps * headroom / carriers;
      const double bits = rate * kTickMs * FRnd.Uniform(0.7, 1.0);
      AddReverse(revB ? FReverseB[c] : FReverseA, bits, rate);
    }
    if (--FReverseLeft <= 0) FReverseBurst = false;
  }
}

void TSimScenario::AddForward(TForwardCounters& aCounters, int aDrc, double aBits, bool aRevB) {
  int group = ForwardGroupOfDrc(aDrc);
  if (!aRevB) group = std::min(group, kForwardGroupsA - 1);
  const TForwardGroup& g = kForwardGroups[static_cast<size_t>(group)];
  // Mostly the group's largest packet; the smaller formats carry the tails of the bursts.
  const int pick = FRnd.Chance(0.8) ? g.SizeCount - 1 : static_cast<int>(FRnd.Int(0, g.SizeCount - 1));
  const double size = g.Sizes[static_cast<size_t>(pick)];
  const auto packets = static_cast<uint32_t>(std::max(1.0, std::round(aBits / size)));
  aCounters[static_cast<size_t>(g.First + pick)] += packets;
  // The closing counter grows slowly beside the traffic.
  aCounters[g.Closing()] += packets / 200 + (FRnd.Chance(0.2) ? 1u : 0u);
}

void TSimScenario::AddReverse(TReverseCounters& aCounters, double aBits, double aRateKbps) {
  // Packet size for one 6.67 ms sub-frame at this rate.
  const double perSubframe = aRateKbps * 6.67;
  size_t row = 0;
  for (size_t i = 0; i < kReversePacketSizes.size(); ++i)
    if (kReversePacketSizes[i] <= perSubframe) row = i;
  const auto packets = static_cast<uint32_t>(std::max(1.0, std::round(aBits / kReversePacketSizes[row])));
  const uint32_t late = packets / 10;       // terminated late: second half of the block
  const uint32_t retried = packets / 20;    // retransmitted: next block
  aCounters[row] += packets - late - retried;
  aCounters[row + 12] += late;
  aCounters[kReverseRows + row] += retried;
}

}  // namespace sim
