// The monitor's figures as Prometheus text (exposition format 0.0.4): a plain snapshot in, the
// page out, with no clock, lock or toolkit of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/Modem_Unit.h"
#include "stats/Quality.h"
#include "window/CycleSample.h"

inline constexpr char kExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// A cumulative histogram over fixed upper bounds (lowest first), with the +Inf bucket implied.
class TMetricsHistogram {
 public:
  TMetricsHistogram() = default;
  explicit TMetricsHistogram(std::vector<double> aUpperBounds);

  void Observe(double aValue);
  const std::vector<double>& UpperBounds() const { return FUpperBounds; }
  // Observations at or below UpperBounds()[i]; i == UpperBounds().size() is the +Inf bucket.
  uint64_t CumulativeCount(size_t aBucket) const;
  uint64_t Count() const { return FCount; }
  double Sum() const { return FSum; }

 private:
  std::vector<double> FUpperBounds;
  std::vector<uint64_t> FCounts;  // per bucket, not cumulative; one more than the bounds
  uint64_t FCount = 0;
  double FSum = 0;
};

// Everything a scrape shows, copied at the last polling cycle and at each event.
struct TMetricsSnapshot {
  bool HaveSample = false;  // no cycle has run yet
  TCycleSample Sample;
  TSessionCounters Session;
  bool ShowIdentity = false;  // --metrics-identity: ESN and MIN on the info metric
  std::string Esn;
  std::string Min;
  uint64_t SectorChanges = 0;
  uint64_t LinkLosses = 0;   // cycles that switched to the no-data values
  uint64_t ModemLosses = 0;  // modems unplugged or their port gone
  uint64_t PingReplies = 0;
  uint64_t PingLosses = 0;
  std::optional<double> PingRoundTripSeconds;  // of the last reply
  std::optional<std::string> DialupState;      // the connection panel's last status line
  // Over the report's bins; fed by the cycles the report counts that carry measurements.
  TMetricsHistogram Rx{RxBinUpperBounds()};
  TMetricsHistogram Tx{TxBinUpperBounds()};
};

// Whether the sample's RX, TX and DRC figures are measurements of its link type.
bool SampleHasRx(const TCycleSample& aSample);
bool SampleHasTx(const TCycleSample& aSample);

// The page for GET /metrics. aNow is the steady clock's time of the scrape (for the age of the
// last log packet).
std::string FormatExposition(const TMetricsSnapshot& aSnapshot, std::chrono::steady_clock::time_point aNow);
