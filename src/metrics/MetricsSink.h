// The metrics endpoint's sink: keeps what a scrape shows, copied at each polling cycle and event
// under its own lock, so that a scrape never reads the session or waits for the UI thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>

#include "metrics/MetricsExposition.h"
#include "window/CycleSample.h"

// What the sink reads from the session at each cycle: one copy each, under the session's lock.
struct TSessionReadings {
  TSessionCounters Counters;
  std::string Esn;
  std::string Min;
};

class TMetricsSink final : public TCycleSink {
 public:
  // aSession runs on the UI thread, in Consume; aShowIdentity: --metrics-identity.
  TMetricsSink(std::function<TSessionReadings()> aSession, bool aShowIdentity);

  void Consume(const TCycleSample& aSample) override;
  void Consume(const TMonitorEvent& aEvent) override;

  // Any thread.
  TMetricsSnapshot Snapshot() const;
  std::string Exposition(std::chrono::steady_clock::time_point aNow = std::chrono::steady_clock::now()) const;

 private:
  std::function<TSessionReadings()> FSession;
  mutable std::mutex FLock;
  TMetricsSnapshot FSnapshot;
};
