// Not a Google Benchmark: how long a USB modem's arrival, as umockdev tells it through libudev,
// takes to start the window's search and to start the modem. Each run plugs the simulated modem
// in a fresh test bed with the window on a real-time loop; prints the median and the worst.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "UmockdevBed.h"
#include "UmockdevPreload.h"
#include "serial/PortNotifications.h"
#include "sim/SimulatedModem.h"
#include "window/ConsoleLoop.h"
#include "window/MainUnit.h"

namespace {

using TClock = std::chrono::steady_clock;

// A view that notes when the search shows itself; everything else is dropped.
class TTimingView final : public TMainView {
 public:
  void SetLabelText(TMainLabel, const std::string&) override {}
  void ShowSignalIcon(int) override {}
  void SetStatusText(const std::string& aText) override {
    if (aText == kFindModemStatus && !SearchShown) SearchShown = TClock::now();
  }
  void SetBusyVisible(bool) override {}
  void ShowMessageBox(const std::string&, const std::string&, TMessageBoxKind) override { ++Boxes; }
  std::optional<size_t> SelectModem(const std::vector<std::string>&) override { return std::nullopt; }
  std::unique_ptr<TReportView> CreateReportView() override { return nullptr; }
  int Chart2Width() const override { return kDesignChart2Width; }
  void ChartsChanged(const TSignalChartData&) override {}
  void SetConnectionItems(const std::vector<std::string>&) override {}
  void SelectConnection(int) override {}
  int SelectedConnection() const override { return -1; }
  void DropDownConnections() override {}
  void RepaintConnections() override {}
  void SetButton1Caption(const std::string&) override {}
  void ShowPingReply(const std::string&) override {}

  std::optional<TClock::time_point> SearchShown;
  int Boxes = 0;
};

class TStartedSink final : public TCycleSink {
 public:
  void Consume(const TCycleSample&) override {}
  void Consume(const TMonitorEvent& aEvent) override {
    if (aEvent.Kind == TMonitorEventKind::ModemFound && !Started) Started = TClock::now();
  }
  std::optional<TClock::time_point> Started;
};

double Ms(TClock::duration aSpan) { return std::chrono::duration<double, std::milli>(aSpan).count(); }

struct TRun {
  double ToSearch = 0, ToStart = 0;
};

std::optional<TRun> RunOnce(TPortEventSourceChoice aSource) {
  TUmockdevBed bed;
  TPortTable table;
  sim::TSimulatedModem modem(sim::TSimConfig{});
  modem.Start();
  TConsoleLoop loop;
  TTimingView view;
  TStartedSink sink;
  TDeviceNotifications notifications(loop.Target(), table, {aSource, std::chrono::milliseconds(2000)});
  TMainFmOptions options;
  options.PortTable = &table;
  options.StarterDelay = std::nullopt;
  options.EnumerateComPorts = [&table] { return EnumerateComPorts(false, true, table); };
  TMainFm fm(view, loop, std::move(options));
  fm.AddSink(sink);
  notifications.Start();
  const TClock::time_point plugged = TClock::now();
  bed.AddUsbSerial("1-2", "Mobile Broadband Modem", {{"ttyUSB0", "Diagnostics", {}, true, {}, modem.SlavePath()}});
  const TClock::time_point deadline = plugged + std::chrono::seconds(30);
  while (!sink.Started && TClock::now() < deadline) {
    loop.ProcessMessages();
    loop.Idle(std::chrono::milliseconds(50));
  }
  fm.FormClose();
  fm.RemoveSink(sink);
  notifications.Stop();
  if (!sink.Started || !view.SearchShown || view.Boxes) return std::nullopt;
  return TRun{Ms(*view.SearchShown - plugged), Ms(*sink.Started - plugged)};
}

}  // namespace

int main(int, char** argv) {
  if (!EnsureUmockdevPreload(argv)) return 1;
  constexpr int kRuns = 15;
  for (const auto& [source, name] : {std::pair{TPortEventSourceChoice::Udev, "udev"},
                                     std::pair{TPortEventSourceChoice::Kernel, "kernel"}}) {
    std::vector<double> toSearch, toStart;
    for (int i = 0; i < kRuns; ++i) {
      const std::optional<TRun> run = RunOnce(source);
      if (!run) {
        std::fprintf(stderr, "%s run %d: the modem was not started\n", name, i);
        return 1;
      }
      toSearch.push_back(run->ToSearch);
      toStart.push_back(run->ToStart);
    }
    for (auto* v : {&toSearch, &toStart}) std::sort(v->begin(), v->end());
    std::printf("%-6s arrival -> search starts: median %6.2f ms, worst %6.2f ms; -> modem started: median %7.1f ms, worst %7.1f ms (%d runs)\n",
                name, toSearch[kRuns / 2], toSearch.back(), toStart[kRuns / 2], toStart.back(), kRuns);
  }
  return 0;
}
