// The metrics endpoint as the program uses it: the server, listening from construction, and the
// sink that the main window feeds.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "metrics/MetricsServer.h"
#include "metrics/MetricsSink.h"

class TMainFm;

class TMetricsEndpoint {
 public:
  // Listens at once, so that an address that cannot be bound is known before anything starts.
  // Throws EMetricsServerError.
  TMetricsEndpoint(const TMetricsAddress& aAddress, bool aShowIdentity);
  // Stops the server first: no scrape outlives the sink. Detach before the form goes.
  ~TMetricsEndpoint();
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  // For a program's main: none when aAddress cannot be bound (the reason written to aErrors), a
  // null endpoint when no address is given.
  static std::optional<std::unique_ptr<TMetricsEndpoint>> Create(const std::optional<TMetricsAddress>& aAddress,
                                                                 bool aShowIdentity, std::ostream& aErrors);

  // Fed by aForm's cycles and events, with its session's counters; aForm must stay until Detach.
  void Attach(TMainFm& aForm);
  void Detach();

  std::string Url() const { return FServer->Url(); }
  const TMetricsSink& Sink() const { return *FSink; }

 private:
  std::unique_ptr<TMetricsSink> FSink;
  std::unique_ptr<TMetricsServer> FServer;
  TMainFm* FForm = nullptr;
};
