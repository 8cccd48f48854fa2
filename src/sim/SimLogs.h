// Layout code of the simulated modem: builds each log packet's bytes from the scenario and,
// beside them, the values a receiver will decode from those bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "common/ByteString.h"
#include "sim/SimRandom.h"
#include "sim/SimScenario.h"
#include "sim/SimTruth.h"

namespace sim {

struct TEncodedLog {
  uint16_t Code = 0;
  TByteString Content;  // frame content without CRC: 0x10, length, code, timestamp, data
  // Records in the truth what this packet says; run once the packet has been written whole
  // and undamaged, so that the truth follows what a receiver can have seen.
  std::function<void(TSimTruth&)> Commit;
};

// The 8-byte log timestamp for a moment: 1.25 ms units since 1980-01-06 00:00 UTC in
// bits 16..63, nothing below.
uint64_t LogTimestamp(int64_t aUnixMilliseconds);
uint64_t LogTimestampNow();

class TSimLogEncoder {
 public:
  TSimLogEncoder(uint64_t aSeed, uint32_t aEsn) : FSeed(aSeed), FEsn(aEsn) {}

  // aCarrier selects the carrier of the per-carrier Rev B link packets (0x12A2, 0x129F).
  TEncodedLog Encode(uint16_t aCode, const TSimScenario& aScenario, int aCarrier, uint64_t aTimestamp);

 private:
  TEncodedLog PagingChannel(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog PilotSet(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog RevAPower(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog AttemptCounters(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog AccessChannel(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog ServingSector(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog Identity(TRandom& r, uint64_t ts);
  TEncodedLog Neighbors(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog ArqA(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog ForwardA(const TSimScenario& s, uint64_t ts);
  TEncodedLog ReverseA(const TSimScenario& s, uint64_t ts);
  TEncodedLog Marker(uint16_t aCode, const TSimScenario& s, uint64_t ts);
  TEncodedLog ArqB(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog RevBPower(const TSimScenario& s, TRandom& r, uint64_t ts);
  TEncodedLog ReverseB(const TSimScenario& s, int aCarrier, uint64_t ts);
  TEncodedLog PilotSetsB(const TSimScenario& s, uint64_t ts);
  TEncodedLog ForwardB(const TSimScenario& s, int aCarrier, uint64_t ts);

  uint32_t NextSequence(uint16_t aCode) { return FSequence[aCode]++; }

  uint64_t FSeed;
  uint32_t FEsn;
  std::map<uint16_t, uint32_t> FSequence;
  std::map<uint16_t, uint64_t> FPackets;  // per code, for each packet's own random stream
  uint16_t FHsReferCount = 0;
};

}  // namespace sim
