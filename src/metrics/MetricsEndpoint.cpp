// The metrics endpoint: the sink reads the window's session, the server reads the sink.
#include "metrics/MetricsEndpoint.h"

#include "window/MainUnit.h"

TMetricsEndpoint::TMetricsEndpoint(const TMetricsAddress& aAddress, bool aShowIdentity) {
  FSink = std::make_unique<TMetricsSink>(
      [this, aShowIdentity]() -> TSessionReadings {
        if (!FForm) return {};
        const TModem& session = FForm->Modem();
        TSessionReadings readings;
        readings.Counters = session.Counters();
        if (aShowIdentity) {
          readings.Esn = session.modemESN();
          readings.Min = session.modemMIN();
        }
        return readings;
      },
      aShowIdentity);
  const TMetricsSink* sink = FSink.get();
  FServer = std::make_unique<TMetricsServer>(aAddress, [sink] { return sink->Exposition(); });
}

std::optional<std::unique_ptr<TMetricsEndpoint>> TMetricsEndpoint::Create(
    const std::optional<TMetricsAddress>& aAddress, bool aShowIdentity, std::ostream& aErrors) {
  if (!aAddress) return std::unique_ptr<TMetricsEndpoint>();
  try {
    return std::make_unique<TMetricsEndpoint>(*aAddress, aShowIdentity);
  } catch (const EMetricsServerError& e) {
    aErrors << "cdma-monitor: " << e.what() << '\n';
    return std::nullopt;
  }
}

TMetricsEndpoint::~TMetricsEndpoint() { FServer.reset(); }

void TMetricsEndpoint::Attach(TMainFm& aForm) {
  Detach();
  FForm = &aForm;
  aForm.AddSink(*FSink);
}

void TMetricsEndpoint::Detach() {
  if (FForm) FForm->RemoveSink(*FSink);
  FForm = nullptr;
}
