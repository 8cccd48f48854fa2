// The metrics page from known cycle samples, session counters and events: names, types, labels
// and values, what is left out in the no-data states, the histograms against the report's bins,
// and promtool's verdict on every page.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "ExpositionSupport.h"
#include "metrics/MetricsExposition.h"
#include "metrics/MetricsSink.h"
#include "stats/Quality.h"

using namespace std::chrono_literals;
using namespace exposition_test;

namespace {

const auto kNow = std::chrono::steady_clock::time_point(100s);

TCycleSample RevASample() {
  TCycleSample s;
  s.LinkType = "Rev.A";
  s.EvdoType = evtRevA;
  s.Rx = -74.8f;
  s.Tx = -1.9f;
  s.Drc = 1843.2f;
  s.Cell = 2276;
  s.Sector = 3;
  s.Pn = 276;
  s.UpKbps = 225;
  s.DownKbps = 600;
  s.Icon = 5;
  s.Present = true;
  s.NoData = false;
  s.Port = "COM3";
  s.Device = "/dev/ttyUSB1";
  return s;
}

TMetricsSnapshot Snapshot(const TCycleSample& aSample) {
  TMetricsSnapshot snapshot;
  snapshot.HaveSample = true;
  snapshot.Sample = aSample;
  snapshot.Session.FramesReceived = 120;
  snapshot.Session.BadFrames = 2;
  snapshot.Session.LogPackets = {{0x1069, 40}, {0x1080, 3}};
  snapshot.Session.OtherLogPackets = 1;
  snapshot.Session.LastLogPacket = kNow - 1500ms;
  snapshot.SectorChanges = 4;
  snapshot.LinkLosses = 1;
  snapshot.ModemLosses = 2;
  snapshot.PingReplies = 7;
  snapshot.PingLosses = 1;
  snapshot.PingRoundTripSeconds = 0.042;
  snapshot.DialupState = "Connected.";
  return snapshot;
}

struct TCase {
  const char* Name;
  TMetricsSnapshot Snapshot;
  // series -> value text, or none where the series must be absent
  std::vector<std::pair<std::string, std::optional<std::string>>> Expected;
};

constexpr const char* kInfo = R"(cdma_modem_info{link_type="Rev.A",port="COM3",device="/dev/ttyUSB1"})";

std::vector<TCase> Cases() {
  std::vector<TCase> cases;

  cases.push_back({"Rev A measured", Snapshot(RevASample()),
                   {{"cdma_modem_present", "1"},
                    {"cdma_link_up", "1"},
                    {kInfo, "1"},
                    {"cdma_rx_power_dbm", "-74.8"},
                    {"cdma_tx_power_dbm", "-1.9"},
                    {"cdma_drc_requested_rate_bps", "1843200"},
                    {"cdma_pilot_strength_db", std::nullopt},
                    {"cdma_forward_link_rate_bps", "600000"},
                    {"cdma_reverse_link_rate_bps", "225000"},
                    {"cdma_serving_cell", "2276"},
                    {"cdma_serving_sector", "3"},
                    {"cdma_serving_pn", "276"},
                    {"cdma_signal_bars", "5"},
                    {"cdma_searcher_sleeping", "0"},
                    {"cdma_last_log_packet_age_seconds", "1.5"},
                    {"cdma_ping_round_trip_seconds", "0.042"},
                    {R"(cdma_dialup_state_info{state="Connected."})", "1"},
                    {"cdma_frames_received_total", "120"},
                    {"cdma_frames_damaged_total", "2"},
                    {R"(cdma_log_packets_total{code="0x1069"})", "40"},
                    {R"(cdma_log_packets_total{code="0x1080"})", "3"},
                    {R"(cdma_log_packets_total{code="other"})", "1"},
                    {"cdma_serving_sector_changes_total", "4"},
                    {"cdma_link_losses_total", "1"},
                    {"cdma_modem_losses_total", "2"},
                    {"cdma_ping_replies_total", "7"},
                    {"cdma_ping_losses_total", "1"}}});

  TCycleSample oneX = RevASample();
  oneX.LinkType = "1x";
  oneX.EvdoType = evtEv1X;
  oneX.Rx = 0;  // the session has no RX figure in 1x
  oneX.Tx = -10.5f;
  oneX.Drc = -7.5f;
  cases.push_back({"1x measured", Snapshot(oneX),
                   {{"cdma_rx_power_dbm", std::nullopt},
                    {"cdma_tx_power_dbm", "-10.5"},
                    {"cdma_pilot_strength_db", "-7.5"},
                    {"cdma_drc_requested_rate_bps", std::nullopt},
                    {"cdma_forward_link_rate_bps", std::nullopt},
                    {"cdma_reverse_link_rate_bps", std::nullopt},
                    {"cdma_link_up", "1"}}});

  TCycleSample noData = RevASample();
  noData.NoData = true;
  noData.Rx = -100;
  noData.Tx = -60.39f;
  noData.Drc = 0;
  noData.Icon = 0;
  cases.push_back({"no-data substitutes", Snapshot(noData),
                   {{"cdma_modem_present", "1"},
                    {"cdma_link_up", "0"},
                    {kInfo, "1"},
                    {"cdma_rx_power_dbm", std::nullopt},
                    {"cdma_tx_power_dbm", std::nullopt},
                    {"cdma_drc_requested_rate_bps", std::nullopt},
                    {"cdma_forward_link_rate_bps", std::nullopt},
                    {"cdma_reverse_link_rate_bps", std::nullopt},
                    {"cdma_serving_cell", "2276"},
                    {"cdma_signal_bars", "0"}}});

  TCycleSample unknownType = RevASample();
  unknownType.LinkType = "undefined";
  unknownType.EvdoType = evtNone;
  cases.push_back({"link type not known", Snapshot(unknownType),
                   {{"cdma_rx_power_dbm", std::nullopt},
                    {"cdma_tx_power_dbm", std::nullopt},
                    {"cdma_drc_requested_rate_bps", std::nullopt},
                    {"cdma_pilot_strength_db", std::nullopt}}});

  TCycleSample sleeping = RevASample();
  sleeping.LinkType = "Sleep";
  sleeping.Sleeping = true;
  sleeping.Icon = 6;
  cases.push_back({"searcher sleeping", Snapshot(sleeping),
                   {{"cdma_searcher_sleeping", "1"}, {"cdma_signal_bars", std::nullopt}}});

  TCycleSample gone;  // what the cycle hands over without a modem
  gone.Icon = 6;
  TMetricsSnapshot noModem = Snapshot(gone);
  noModem.Session.LastLogPacket.reset();
  noModem.PingRoundTripSeconds.reset();
  noModem.DialupState.reset();
  cases.push_back({"no modem", noModem,
                   {{"cdma_modem_present", "0"},
                    {"cdma_link_up", "0"},
                    {kInfo, std::nullopt},
                    {"cdma_rx_power_dbm", std::nullopt},
                    {"cdma_tx_power_dbm", std::nullopt},
                    {"cdma_serving_cell", std::nullopt},
                    {"cdma_serving_sector", std::nullopt},
                    {"cdma_serving_pn", std::nullopt},
                    {"cdma_signal_bars", std::nullopt},
                    {"cdma_searcher_sleeping", std::nullopt},
                    {"cdma_last_log_packet_age_seconds", std::nullopt},
                    {"cdma_ping_round_trip_seconds", std::nullopt},
                    {"cdma_frames_received_total", "120"},
                    {"cdma_modem_losses_total", "2"}}});

  TMetricsSnapshot identity = Snapshot(RevASample());
  identity.ShowIdentity = true;
  identity.Esn = "9F3A05C1";
  identity.Min = " 5551234";
  identity.DialupState = "Error \"7\"\\ at\nnight";
  cases.push_back(
      {"identity and escaping", identity,
       {{kInfo, std::nullopt},
        {R"(cdma_modem_info{link_type="Rev.A",port="COM3",device="/dev/ttyUSB1",esn="9F3A05C1",min="5551234"})", "1"},
        {R"(cdma_dialup_state_info{state="Error \"7\"\\ at\nnight"})", "1"}}});
  return cases;
}

}  // namespace

TEST(MetricsExposition, NamesTypesLabelsAndValuesOfKnownSamples) {
  const bool promtool = HaveProgram("promtool");
  for (const TCase& c : Cases()) {
    const std::string page = FormatExposition(c.Snapshot, kNow);
    const TParsedPage parsed = ParsePage(page);
    for (const auto& [series, value] : c.Expected) {
      const auto found = parsed.Values.find(series);
      if (!value)
        EXPECT_EQ(found, parsed.Values.end()) << c.Name << ": " << series << " must be left out";
      else if (found == parsed.Values.end())
        ADD_FAILURE() << c.Name << ": " << series << " missing in\n" << page;
      else
        EXPECT_EQ(found->second, *value) << c.Name << ": " << series;
    }
    for (const auto& [series, value] : parsed.Values) EXPECT_NE(value, "NaN") << c.Name << ": " << series;
    if (promtool) {
      std::string said;
      EXPECT_EQ(PromtoolCheckMetrics(page, said), 0) << c.Name << ": " << said;
    }
  }
  if (!promtool) GTEST_SKIP() << "promtool is not installed (package prometheus): the pages were not linted";
}

TEST(MetricsExposition, EveryFamilyHasItsType) {
  const TParsedPage parsed = ParsePage(FormatExposition(Snapshot(RevASample()), kNow));
  const std::vector<std::pair<std::string, std::string>> types = {
      {"cdma_modem_present", "gauge"},          {"cdma_link_up", "gauge"},
      {"cdma_modem_info", "gauge"},             {"cdma_rx_power_dbm", "gauge"},
      {"cdma_tx_power_dbm", "gauge"},           {"cdma_drc_requested_rate_bps", "gauge"},
      {"cdma_pilot_strength_db", "gauge"},      {"cdma_forward_link_rate_bps", "gauge"},
      {"cdma_reverse_link_rate_bps", "gauge"},  {"cdma_serving_cell", "gauge"},
      {"cdma_serving_sector", "gauge"},         {"cdma_serving_pn", "gauge"},
      {"cdma_signal_bars", "gauge"},            {"cdma_searcher_sleeping", "gauge"},
      {"cdma_last_log_packet_age_seconds", "gauge"}, {"cdma_ping_round_trip_seconds", "gauge"},
      {"cdma_dialup_state_info", "gauge"},      {"cdma_frames_received_total", "counter"},
      {"cdma_frames_damaged_total", "counter"}, {"cdma_log_packets_total", "counter"},
      {"cdma_serving_sector_changes_total", "counter"}, {"cdma_link_losses_total", "counter"},
      {"cdma_modem_losses_total", "counter"},   {"cdma_ping_replies_total", "counter"},
      {"cdma_ping_losses_total", "counter"},    {"cdma_cycle_rx_power_dbm", "histogram"},
      {"cdma_cycle_tx_power_dbm", "histogram"},
  };
  EXPECT_EQ(parsed.Types.size(), types.size());
  for (const auto& [family, type] : types) EXPECT_EQ(parsed.Types.count(family) ? parsed.Types.at(family) : "", type) << family;
}

// The buckets are the report's bins: between two bucket edges lies exactly what the report counts
// in that bin, for values outside the report's narrow gaps.
TEST(MetricsSink, HistogramsCountWhatTheReportCountsAndLeaveOutNoDataAndSleep) {
  TMetricsSink sink([] { return TSessionReadings{}; }, false);
  TRxQuality rxReport;
  TTxQuality txReport;
  const std::vector<float> rx = {-30.5f, -55, -80.02f, -85, -90.5f, -99, -100.5f, -106.9f, -95.5f};
  const std::vector<float> tx = {24.9f, 9, 0, -4.9f, -19, -30, -64.9f, 20};
  for (size_t i = 0; i < std::max(rx.size(), tx.size()); ++i) {
    TCycleSample s = RevASample();
    s.Rx = rx[i % rx.size()];
    s.Tx = tx[i % tx.size()];
    sink.Consume(s);
    rxReport.AddValue(s.Rx);
    txReport.AddValue(s.Tx);
  }
  // Neither the no-data substitutes nor a sleeping modem's cycles are observed.
  TCycleSample noData = RevASample();
  noData.NoData = true;
  noData.Rx = -100;
  noData.Tx = -60.39f;
  sink.Consume(noData);
  TCycleSample asleep = RevASample();
  asleep.Sleeping = true;
  sink.Consume(asleep);

  const TMetricsSnapshot snapshot = sink.Snapshot();
  const auto check = [](const TMetricsHistogram& aHistogram, const TCustomQuality& aReport, const char* aWhat) {
    // The report's keys in the order of their upper bounds (RX: key 4 is lowest; TX: key 0).
    std::vector<int32_t> count;
    uint64_t previous = 0;
    for (size_t b = 0; b < aHistogram.UpperBounds().size(); ++b) {
      count.push_back(static_cast<int32_t>(aHistogram.CumulativeCount(b) - previous));
      previous = aHistogram.CumulativeCount(b);
    }
    std::vector<int32_t> report;
    for (const auto& [key, n] : aReport.ValuesList()) report.push_back(n);
    if (aWhat == std::string("rx")) std::reverse(report.begin(), report.end());
    EXPECT_EQ(count, report) << aWhat;
    EXPECT_EQ(aHistogram.CumulativeCount(aHistogram.UpperBounds().size()), aHistogram.Count()) << aWhat;
  };
  EXPECT_EQ(snapshot.Rx.Count(), 9u);
  EXPECT_EQ(snapshot.Tx.Count(), 9u);
  check(snapshot.Rx, rxReport, "rx");
  check(snapshot.Tx, txReport, "tx");
  EXPECT_EQ(snapshot.Rx.UpperBounds(), (std::vector<double>{-100.01, -95.01, -90.01, -80.01, -30}));
  EXPECT_EQ(snapshot.Tx.UpperBounds(), (std::vector<double>{-21, -6, 7, 14, 25}));
  const TParsedPage page = ParsePage(sink.Exposition(kNow));
  EXPECT_EQ(page.Values.at(R"(cdma_cycle_rx_power_dbm_bucket{le="-30"})"), "9");
  EXPECT_EQ(page.Values.at(R"(cdma_cycle_rx_power_dbm_bucket{le="+Inf"})"), "9");
  EXPECT_EQ(page.Values.at("cdma_cycle_tx_power_dbm_count"), "9");
}

TEST(MetricsSink, EventsCountAndTheSessionIsReadAtEachCycle) {
  int reads = 0;
  TMetricsSink sink(
      [&] {
        ++reads;
        TSessionReadings readings;
        readings.Counters.FramesReceived = 10u * static_cast<uint64_t>(reads);
        readings.Esn = "9F3A05C1";
        readings.Min = "5551234";
        return readings;
      },
      false);
  const auto event = [&](TMonitorEventKind aKind, std::string aFrom = {}, std::optional<uint32_t> aRtt = {}) {
    TMonitorEvent e;
    e.Kind = aKind;
    e.From = std::move(aFrom);
    e.Text = "Connected.";
    e.RoundTripMs = aRtt;
    sink.Consume(e);
  };
  sink.Consume(RevASample());
  event(TMonitorEventKind::SectorChanged);  // the first serving sector: no change
  event(TMonitorEventKind::SectorChanged, "2276-3/276");
  event(TMonitorEventKind::SignalLost);
  event(TMonitorEventKind::SignalBack);
  event(TMonitorEventKind::ModemLost);
  // No cycle runs without a modem: the loss alone takes the figures away.
  EXPECT_FALSE(sink.Snapshot().Sample.Present);
  EXPECT_EQ(ParsePage(sink.Exposition(kNow)).Values.count("cdma_rx_power_dbm"), 0u);
  event(TMonitorEventKind::PingReply, {}, 35u);
  event(TMonitorEventKind::PingLoss);
  event(TMonitorEventKind::DialupState);
  sink.Consume(RevASample());
  sink.Consume(RevASample());

  const TMetricsSnapshot s = sink.Snapshot();
  EXPECT_EQ(s.SectorChanges, 1u);
  EXPECT_EQ(s.LinkLosses, 1u);
  EXPECT_EQ(s.ModemLosses, 1u);
  EXPECT_EQ(s.PingReplies, 1u);
  EXPECT_EQ(s.PingLosses, 1u);
  EXPECT_EQ(s.PingRoundTripSeconds, 0.035);
  EXPECT_EQ(s.DialupState, "Connected.");
  EXPECT_EQ(reads, 3);
  EXPECT_EQ(s.Session.FramesReceived, 30u);
  // Without --metrics-identity the identity is not even kept.
  EXPECT_TRUE(s.Esn.empty() && s.Min.empty());
}
