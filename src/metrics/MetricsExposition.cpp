// Writing the snapshot as Prometheus text: families with their help and type, samples with
// escaped labels, numbers in their shortest exact form.
#include "metrics/MetricsExposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

using TLabels = std::vector<std::pair<std::string, std::string>>;

enum class TFamilyType { Gauge, Counter, Histogram };

constexpr const char* kTypeNames[] = {"gauge", "counter", "histogram"};

// Shortest text that reads back as the same float: -74.8f is "-74.8", not "-74.80000305".
template <class T>
std::string NumberText(T aValue) {
  if (std::isnan(aValue)) return "NaN";
  if (std::isinf(aValue)) return aValue > 0 ? "+Inf" : "-Inf";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, aValue);
  return std::string(buffer, result.ptr);
}

std::string NumberText(uint64_t aValue) { return std::to_string(aValue); }

std::string EscapedLabelValue(const std::string& aValue) {
  std::string escaped;
  escaped.reserve(aValue.size());
  for (const char c : aValue) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '"')
      escaped += "\\\"";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

class TExpositionWriter {
 public:
  void Family(const char* aName, TFamilyType aType, const char* aHelp) {
    FText.append("# HELP ").append(aName).append(" ").append(aHelp).append("\n");
    FText.append("# TYPE ").append(aName).append(" ").append(kTypeNames[static_cast<int>(aType)]).append("\n");
  }
  template <class T>
  void Sample(const std::string& aName, T aValue, const TLabels& aLabels = {}) {
    FText.append(aName);
    if (!aLabels.empty()) {
      FText.push_back('{');
      for (size_t i = 0; i < aLabels.size(); ++i) {
        if (i) FText.push_back(',');
        FText.append(aLabels[i].first).append("=\"").append(EscapedLabelValue(aLabels[i].second)).append("\"");
      }
      FText.push_back('}');
    }
    FText.append(" ").append(NumberText(aValue)).append("\n");
  }
  // A family with one unlabelled sample, or with none when the value is absent.
  template <class T>
  void Single(const char* aName, TFamilyType aType, const char* aHelp, std::optional<T> aValue) {
    Family(aName, aType, aHelp);
    if (aValue) Sample(aName, *aValue);
  }
  void Histogram(const char* aName, const char* aHelp, const TMetricsHistogram& aHistogram) {
    Family(aName, TFamilyType::Histogram, aHelp);
    const std::string name = aName;
    const std::vector<double>& bounds = aHistogram.UpperBounds();
    for (size_t i = 0; i <= bounds.size(); ++i) {
      const std::string le = i < bounds.size() ? NumberText(bounds[i]) : "+Inf";
      Sample(name + "_bucket", aHistogram.CumulativeCount(i), {{"le", le}});
    }
    Sample(name + "_sum", aHistogram.Sum());
    Sample(name + "_count", aHistogram.Count());
  }
  std::string Take() { return std::move(FText); }

 private:
  std::string FText;
};

bool IsEvdo(TEvdoType aType) { return aType >= evtRev0 && aType <= evtRevBplus; }

std::string LogCodeText(uint16_t aCode) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", aCode);
  return text;
}

// The identity strings read " " until the modem has answered.
std::string Trimmed(const std::string& aText) {
  const size_t first = aText.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return aText.substr(first, aText.find_last_not_of(' ') - first + 1);
}

template <class T>
std::optional<T> When(bool aCondition, T aValue) {
  return aCondition ? std::optional<T>(aValue) : std::nullopt;
}

}  // namespace

TMetricsHistogram::TMetricsHistogram(std::vector<double> aUpperBounds)
    : FUpperBounds(std::move(aUpperBounds)), FCounts(FUpperBounds.size() + 1, 0) {}

void TMetricsHistogram::Observe(double aValue) {
  if (std::isnan(aValue)) return;
  const auto bucket = std::lower_bound(FUpperBounds.begin(), FUpperBounds.end(), aValue) - FUpperBounds.begin();
  ++FCounts[static_cast<size_t>(bucket)];
  ++FCount;
  FSum += aValue;
}

uint64_t TMetricsHistogram::CumulativeCount(size_t aBucket) const {
  uint64_t total = 0;
  for (size_t i = 0; i <= aBucket && i < FCounts.size(); ++i) total += FCounts[i];
  return total;
}

bool SampleHasRx(const TCycleSample& aSample) {
  // Outside EV-DO the session has no RX figure and the cycle shows 0.
  return aSample.Present && !aSample.NoData && IsEvdo(aSample.EvdoType);
}

bool SampleHasTx(const TCycleSample& aSample) {
  return aSample.Present && !aSample.NoData && aSample.EvdoType != evtNone;
}

std::string FormatExposition(const TMetricsSnapshot& aSnapshot, std::chrono::steady_clock::time_point aNow) {
  const TCycleSample& s = aSnapshot.Sample;
  const bool present = s.Present;
  const bool measured = present && !s.NoData;
  const bool evdo = measured && IsEvdo(s.EvdoType);
  const bool oneX = measured && s.EvdoType == evtEv1X;
  TExpositionWriter out;

  out.Single("cdma_modem_present", TFamilyType::Gauge, "1 while a modem is plugged in and its port open and polled.",
             std::optional<uint64_t>(present ? 1 : 0));
  out.Single("cdma_link_up", TFamilyType::Gauge,
             "1 while the modem is present and the last polling cycle found fresh link data.",
             std::optional<uint64_t>(measured ? 1 : 0));

  out.Family("cdma_modem_info", TFamilyType::Gauge, "The modem in use: its link type and port.");
  if (present) {
    TLabels labels = {{"link_type", s.LinkType}, {"port", s.Port}, {"device", s.Device}};
    if (aSnapshot.ShowIdentity) {
      labels.emplace_back("esn", Trimmed(aSnapshot.Esn));
      labels.emplace_back("min", Trimmed(aSnapshot.Min));
    }
    out.Sample("cdma_modem_info", uint64_t{1}, labels);
  }

  out.Single("cdma_rx_power_dbm", TFamilyType::Gauge, "Received power at the antenna, in dBm (EV-DO).",
             When(SampleHasRx(s), s.Rx));
  out.Single("cdma_tx_power_dbm", TFamilyType::Gauge, "Total transmit power, in dBm.", When(SampleHasTx(s), s.Tx));
  out.Single("cdma_drc_requested_rate_bps", TFamilyType::Gauge,
             "The forward rate the modem requests (DRC), in bits per second (EV-DO).",
             When(evdo, static_cast<uint64_t>(std::max(0L, std::lround(static_cast<double>(s.Drc) * 1000.0)))));
  out.Single("cdma_pilot_strength_db", TFamilyType::Gauge,
             "The strongest pilot's energy, averaged over the polling cycles, in dB (1x).", When(oneX, s.Drc));
  out.Single("cdma_forward_link_rate_bps", TFamilyType::Gauge,
             "Bits carried on the forward link (download) between two link statistics packets, per second (EV-DO).",
             When(evdo, uint64_t{s.DownKbps} * 1000));
  out.Single("cdma_reverse_link_rate_bps", TFamilyType::Gauge,
             "Bits carried on the reverse link (upload) between two link statistics packets, per second (EV-DO).",
             When(evdo, uint64_t{s.UpKbps} * 1000));
  out.Single("cdma_serving_cell", TFamilyType::Gauge, "The serving cell (base station) number.",
             When(present, static_cast<double>(s.Cell)));
  out.Single("cdma_serving_sector", TFamilyType::Gauge, "The serving sector number.",
             When(present, static_cast<double>(s.Sector)));
  out.Single("cdma_serving_pn", TFamilyType::Gauge, "The serving sector's pilot PN offset.",
             When(present, static_cast<double>(s.Pn)));
  out.Single("cdma_signal_bars", TFamilyType::Gauge, "The signal icon's bars, 0 to 5 (absent when crossed out).",
             When(present && s.Icon >= 0 && s.Icon <= 5, static_cast<uint64_t>(std::max(s.Icon, 0))));
  out.Single("cdma_searcher_sleeping", TFamilyType::Gauge, "1 while the modem's searcher sleeps.",
             When(present, uint64_t{s.Sleeping ? 1u : 0u}));
  std::optional<double> age;
  if (aSnapshot.Session.LastLogPacket)
    age = std::max(0.0, std::chrono::duration<double>(aNow - *aSnapshot.Session.LastLogPacket).count());
  out.Single("cdma_last_log_packet_age_seconds", TFamilyType::Gauge,
             "Seconds since the session last received a log packet.", age);
  out.Single("cdma_ping_round_trip_seconds", TFamilyType::Gauge, "The last ping reply's round-trip time, in seconds.",
             aSnapshot.PingRoundTripSeconds);
  out.Family("cdma_dialup_state_info", TFamilyType::Gauge, "The connection panel's last status line.");
  if (aSnapshot.DialupState) out.Sample("cdma_dialup_state_info", uint64_t{1}, {{"state", *aSnapshot.DialupState}});

  const TSessionCounters& counters = aSnapshot.Session;
  out.Single("cdma_frames_received_total", TFamilyType::Counter, "Frames received from the modem with a good CRC.",
             std::optional<uint64_t>(counters.FramesReceived));
  out.Single("cdma_frames_damaged_total", TFamilyType::Counter,
             "Frames dropped because their CRC failed or they ran too long.", std::optional<uint64_t>(counters.BadFrames));
  out.Family("cdma_log_packets_total", TFamilyType::Counter,
             "Log packets received, by log code (codes the monitor does not read count as \"other\").");
  for (const auto& [code, count] : counters.LogPackets) out.Sample("cdma_log_packets_total", count, {{"code", LogCodeText(code)}});
  if (counters.OtherLogPackets) out.Sample("cdma_log_packets_total", counters.OtherLogPackets, {{"code", "other"}});
  out.Single("cdma_serving_sector_changes_total", TFamilyType::Counter, "Changes of the serving cell, sector or PN.",
             std::optional<uint64_t>(aSnapshot.SectorChanges));
  out.Single("cdma_link_losses_total", TFamilyType::Counter, "Polling cycles that found the link data gone.",
             std::optional<uint64_t>(aSnapshot.LinkLosses));
  out.Single("cdma_modem_losses_total", TFamilyType::Counter, "Modems unplugged or lost while in use.",
             std::optional<uint64_t>(aSnapshot.ModemLosses));
  out.Single("cdma_ping_replies_total", TFamilyType::Counter, "Ping echoes answered.",
             std::optional<uint64_t>(aSnapshot.PingReplies));
  out.Single("cdma_ping_losses_total", TFamilyType::Counter, "Ping echoes without a reply.",
             std::optional<uint64_t>(aSnapshot.PingLosses));

  out.Histogram("cdma_cycle_rx_power_dbm", "RX power per polling cycle, in dBm, over the report's RX bins.",
                aSnapshot.Rx);
  out.Histogram("cdma_cycle_tx_power_dbm", "TX power per polling cycle, in dBm, over the report's TX bins.",
                aSnapshot.Tx);
  return out.Take();
}
