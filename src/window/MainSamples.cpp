// The main window's samples and events for its sinks: made from what the cycle has just shown,
// never from a second reading of the session.
#include <algorithm>
#include <array>
#include <utility>

#include "window/MainUnit.h"

namespace {

constexpr uint8_t kSearcherSleeping = 3;

struct TEventName {
  TMonitorEventKind Kind;
  std::string_view Name;
};

constexpr std::array<TEventName, 9> kEventNames = {{
    {TMonitorEventKind::SectorChanged, "sector_changed"},
    {TMonitorEventKind::LinkTypeChanged, "link_type_changed"},
    {TMonitorEventKind::SignalLost, "signal_lost"},
    {TMonitorEventKind::SignalBack, "signal_back"},
    {TMonitorEventKind::ModemLost, "modem_lost"},
    {TMonitorEventKind::ModemFound, "modem_found"},
    {TMonitorEventKind::DialupState, "dialup_state"},
    {TMonitorEventKind::PingReply, "ping_reply"},
    {TMonitorEventKind::PingLoss, "ping_loss"},
}};

}  // namespace

std::string_view MonitorEventName(TMonitorEventKind aKind) {
  for (const TEventName& entry : kEventNames)
    if (entry.Kind == aKind) return entry.Name;
  return "unknown";
}

void TMainFm::AddSink(TCycleSink& aSink) {
  if (std::find(FSinks.begin(), FSinks.end(), &aSink) == FSinks.end()) FSinks.push_back(&aSink);
}

void TMainFm::RemoveSink(TCycleSink& aSink) { std::erase(FSinks, &aSink); }

TWallClock::time_point TMainFm::WallNow() const {
  return FOptions.WallClock ? FOptions.WallClock() : TWallClock::now();
}

void TMainFm::PublishSample(float aRx, float aTx, float aDrc, bool aNoData) {
  TCycleSample sample;
  sample.Time = WallNow();
  sample.Present = FModem && FModem->DevicePlugged() && FModem->PortActive();
  sample.Icon = FSignalIcon;
  if (sample.Present) {
    sample.LinkType = LabelText(TMainLabel::Label2);
    sample.EvdoType = FModem->EvdoType();
    sample.Rx = aRx;
    sample.Tx = aTx;
    sample.Drc = aDrc;
    sample.NoData = aNoData;
    sample.Cell = FModem->CellNumber();
    sample.Sector = FModem->FaceNumber();
    sample.Pn = FModem->PnNumber();
    sample.UpKbps = FUpKbps;
    sample.DownKbps = FDownKbps;
    sample.Sleeping = FModem->SearcherState() == kSearcherSleeping;
    const uint16_t port = FModem->ComPortNumber();
    sample.Port = "COM" + std::to_string(port);
    sample.Device = FPortTable.PathOf(port).value_or(std::string());
  }

  const TCycleSample previous = std::exchange(FLastSample, sample);
  if (previous.Present && sample.Present) {
    if (previous.LinkType != sample.LinkType)
      PublishEvent(TMonitorEventKind::LinkTypeChanged, {}, previous.LinkType, sample.LinkType);
    if (previous.NoData != sample.NoData)
      PublishEvent(sample.NoData ? TMonitorEventKind::SignalLost : TMonitorEventKind::SignalBack, {});
  }
  const std::vector<TCycleSink*> sinks = FSinks;
  for (TCycleSink* sink : sinks) sink->Consume(FLastSample);
}

void TMainFm::PublishEvent(TMonitorEventKind aKind, std::string aText, std::string aFrom, std::string aTo,
                           std::optional<uint32_t> aRoundTripMs) {
  if (FSinks.empty()) return;
  TMonitorEvent event;
  event.Kind = aKind;
  event.Time = WallNow();
  event.Text = std::move(aText);
  event.From = std::move(aFrom);
  event.To = std::move(aTo);
  event.RoundTripMs = aRoundTripMs;
  const std::vector<TCycleSink*> sinks = FSinks;
  for (TCycleSink* sink : sinks) sink->Consume(event);
}
