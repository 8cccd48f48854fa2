// The seeded radio scenario behind the simulated modem: fading receive power, transmit power
// following it, signal quality and DRC requests, serving-sector changes, and link counters
// that grow with bursts of traffic. Time is the simulator's virtual time in milliseconds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/SimRandom.h"
#include "sim/SimTables.h"
#include "sim/SimTruth.h"

namespace sim {

struct TSectorInfo {
  uint16_t Cell = 0;
  uint8_t Sector = 0;
  uint16_t Pn = 0;
  uint8_t ColorCode = 0;
  uint16_t SectorSignature = 0;
  uint16_t AccessSignature = 0;
};

struct TNeighborPilot {
  TSectorInfo Sector;
  double OffsetDb = 0;  // Ec/Io below the serving pilot; wanders
};

// Link counters are cumulative and wrap at 32 bits, as a modem's do.
using TForwardCounters = std::array<uint32_t, kForwardCountersB>;
using TReverseCounters = std::array<uint32_t, kReverseCounters>;

class TSimScenario {
 public:
  static constexpr double kTickMs = 100.0;
  static constexpr int kMaxCarriers = 3;

  TSimScenario(uint64_t aSeed, std::vector<uint16_t> aChannels);

  // Which counters grow and how the DRC is requested depends on the link type.
  void SetLinkType(TSimMode aMode) { FLinkType = aMode; }
  TSimMode LinkType() const { return FLinkType; }
  void SetChannels(std::vector<uint16_t> aChannels);
  // A modem at the edge of coverage: RX stays between -105 and -100.5 dBm.
  void SetWeakSignal(bool aWeak) { FWeakSignal = aWeak; }
  const std::vector<uint16_t>& Channels() const { return FChannels; }
  int CarrierCount() const { return static_cast<int>(FChannels.size()); }

  // Holds the receive power of every carrier at aDbm (no fading), as an antenna pointed and left
  // alone would see it; none: the seeded fading again.
  void SetRxLevel(std::optional<double> aDbm) { FRxLevel = aDbm; }
  std::optional<double> RxLevel() const { return FRxLevel; }

  // Runs the scenario's 100 ms steps up to aVirtualMs (never backwards).
  void AdvanceTo(double aVirtualMs);
  double Now() const { return FNowMs; }

  // Radio figures of a carrier (carrier 0 is the 1x / Rev A carrier).
  double RxDbm(int aCarrier) const;
  double RxDiversityDbm(int aCarrier) const;
  double TxDbm(int aCarrier) const;      // total transmit power
  double TxOpenLoopDbm(int aCarrier) const;
  double TxClosedLoopDb() const { return FClosedLoopDb; }
  double TxPilotDbm(int aCarrier) const { return TxDbm(aCarrier) - 9.0; }
  double SinrDb(int aCarrier) const;
  double EcIoDb(int aCarrier) const;
  bool Transmitting() const { return FLinkType != TSimMode::Sleep; }

  // DRC index the modem requests now on a carrier (Rev A indices 1..14, Rev B also 25..27),
  // and one slot's request scattered around it.
  int DrcIndex(int aCarrier) const { return FDrc[Clamp(aCarrier)]; }
  int SlotDrc(int aCarrier, TRandom& aRnd) const;

  const TSectorInfo& Serving() const { return FServing; }
  const std::vector<TNeighborPilot>& Neighbors() const { return FNeighbors; }
  int CandidateCount() const;  // neighbours strong enough to be candidates (they come first)
  uint64_t SectorEpoch() const { return FSectorEpoch; }  // grows with every serving-sector change

  uint32_t Successes() const { return FSuccess; }
  uint32_t Failures() const { return FFailure; }
  uint32_t Attempts() const { return FAttempts; }

  const TForwardCounters& ForwardA() const { return FForwardA; }
  const TReverseCounters& ReverseA() const { return FReverseA; }
  const TForwardCounters& ForwardB(int aCarrier) const { return FForwardB[Clamp(aCarrier)]; }
  const TReverseCounters& ReverseB(int aCarrier) const { return FReverseB[Clamp(aCarrier)]; }

 private:
  int Clamp(int aCarrier) const;
  void Tick();
  void TickTraffic();
  void ChangeSector();
  void BuildNeighbors();
  int DrcForSinr(double aSinr, bool aRevB) const;
  void AddForward(TForwardCounters& aCounters, int aDrc, double aBits, bool aRevB);
  void AddReverse(TReverseCounters& aCounters, double aBits, double aRateKbps);

  TRandom FRnd;
  TSimMode FLinkType = TSimMode::RevA;
  std::vector<uint16_t> FChannels;
  double FNowMs = 0;
  uint64_t FTicks = 0;

  bool FWeakSignal = false;
  std::optional<double> FRxLevel;
  double FSlowDbm = -75.0;
  double FTargetDbm = -75.0;
  double FFadePhase1 = 0, FFadePhase2 = 0, FFadeFreq1 = 0.1, FFadeFreq2 = 0.7;
  double FFastDb = 0;
  double FClosedLoopDb = 0;
  std::array<double, kMaxCarriers> FCarrierOffsetDb{};
  std::array<double, kMaxCarriers> FDiversityDb{};
  std::array<double, kMaxCarriers> FSinrNoiseDb{};
  std::array<int, kMaxCarriers> FDrc{};

  std::vector<TSectorInfo> FNetwork;
  TSectorInfo FServing;
  std::vector<TNeighborPilot> FNeighbors;
  uint64_t FSectorEpoch = 0;

  bool FForwardBurst = false, FReverseBurst = false;
  int FForwardLeft = 0, FReverseLeft = 0;
  double FForwardLoad = 0, FReverseRateKbps = 0;
  uint32_t FSuccess = 0, FFailure = 0, FAttempts = 0;

  TForwardCounters FForwardA{};
  TReverseCounters FReverseA{};
  std::array<TForwardCounters, kMaxCarriers> FForwardB{};
  std::array<TReverseCounters, kMaxCarriers> FReverseB{};
};

// Cell numbers the 1x paging channel log can carry exactly: its base-station field rebuilds
// bits 0..3 by OR-ing them into bits 4..7, so those must already hold them.
bool IsPagingEncodableCell(uint16_t aCell);

}  // namespace sim
