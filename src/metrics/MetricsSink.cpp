// The metrics sink: samples, session counters and events into one snapshot.
#include "metrics/MetricsSink.h"

#include <utility>

TMetricsSink::TMetricsSink(std::function<TSessionReadings()> aSession, bool aShowIdentity)
    : FSession(std::move(aSession)) {
  FSnapshot.ShowIdentity = aShowIdentity;
}

void TMetricsSink::Consume(const TCycleSample& aSample) {
  // Read outside the sink's lock: a scrape waits for nothing but copies.
  TSessionReadings readings = FSession ? FSession() : TSessionReadings{};
  // The report leaves out the cycles of a sleeping modem; the no-data substitutes are no
  // measurements at all.
  const bool counted = !aSample.Sleeping;
  std::lock_guard lock(FLock);
  FSnapshot.HaveSample = true;
  FSnapshot.Sample = aSample;
  FSnapshot.Session = std::move(readings.Counters);
  if (FSnapshot.ShowIdentity) {
    FSnapshot.Esn = std::move(readings.Esn);
    FSnapshot.Min = std::move(readings.Min);
  }
  if (counted && SampleHasRx(aSample)) FSnapshot.Rx.Observe(aSample.Rx);
  if (counted && SampleHasTx(aSample)) FSnapshot.Tx.Observe(aSample.Tx);
}

void TMetricsSink::Consume(const TMonitorEvent& aEvent) {
  std::lock_guard lock(FLock);
  switch (aEvent.Kind) {
    case TMonitorEventKind::SectorChanged:
      // The first serving sector after a start is no change.
      if (!aEvent.From.empty()) ++FSnapshot.SectorChanges;
      break;
    case TMonitorEventKind::SignalLost:
      ++FSnapshot.LinkLosses;
      break;
    case TMonitorEventKind::ModemLost: {
      // The polling cycle stops with the modem: no later sample would say it has gone.
      ++FSnapshot.ModemLosses;
      TCycleSample gone;
      gone.Time = aEvent.Time;
      gone.Icon = 6;
      FSnapshot.Sample = gone;
      break;
    }
    case TMonitorEventKind::PingReply:
      ++FSnapshot.PingReplies;
      if (aEvent.RoundTripMs) FSnapshot.PingRoundTripSeconds = *aEvent.RoundTripMs / 1000.0;
      break;
    case TMonitorEventKind::PingLoss:
      ++FSnapshot.PingLosses;
      break;
    case TMonitorEventKind::DialupState:
      FSnapshot.DialupState = aEvent.Text;
      break;
    default:
      break;
  }
}

TMetricsSnapshot TMetricsSink::Snapshot() const {
  std::lock_guard lock(FLock);
  return FSnapshot;
}

std::string TMetricsSink::Exposition(std::chrono::steady_clock::time_point aNow) const {
  return FormatExposition(Snapshot(), aNow);
}
