// Packet-size statistics of the EV-DO links: per packet size, the packet counters the link
// statistics logs report, and the rate figure of the last compose interval.
#pragma once

#include <cstdint>
#include <map>

class TDRCData {
 public:
  TDRCData() : TDRCData(0, 0) {}
  TDRCData(uint32_t aDRC, uint32_t aBytes) : FValue(aDRC), FBytes(aBytes) {}

  uint32_t drcValue() const { return FValue; }
  void SetdrcValue(uint32_t aValue) { FValue = aValue; }
  uint64_t drcCount() const { return FCount; }
  uint64_t drcBytes() const { return FBytes; }
  uint32_t DataRate() const { return FDataRate; }
  uint64_t PredBytes() const { return FPredBytes; }
  uint64_t TotalBytes() const { return FTotalBytes; }

  void AddBytes(uint64_t aBytes) {
    FBytes += aBytes;
    ++FCount;
  }
  void ZeroInit() { FDataRate = 0; }
  // The sum contributed since the previous compose; with nothing new, the whole sum again.
  void ComposeRate();

 private:
  uint32_t FValue = 0;
  uint64_t FCount = 1;
  uint64_t FPredBytes = 0;
  uint64_t FTotalBytes = 0;
  uint64_t FBytes = 0;
  uint32_t FDataRate = 0;
};

// Packet size in bits -> its statistics; walked in ascending size order.
using TDRCStatList = std::map<uint32_t, TDRCData>;
