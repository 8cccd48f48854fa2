// Cost of one 500 ms polling cycle of the main window: reading the session, the labels with
// their formats, the chart feeds and histories, the icon, the link speeds and the histograms.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "common/ByteString.h"
#include "window/MainUnit.h"
#include "window/VirtualUiLoop.h"

namespace {

// A view that takes everything and shows nothing.
class TNullView final : public TMainView {
 public:
  void SetLabelText(TMainLabel, const std::string& aText) override { benchmark::DoNotOptimize(aText.data()); }
  void ShowSignalIcon(int) override {}
  void SetStatusText(const std::string&) override {}
  void SetBusyVisible(bool) override {}
  void ShowMessageBox(const std::string&, const std::string&, TMessageBoxKind) override {}
  std::optional<size_t> SelectModem(const std::vector<std::string>&) override { return std::nullopt; }
  std::unique_ptr<TReportView> CreateReportView() override { return nullptr; }
  int Chart2Width() const override { return kDesignChart2Width; }
  void ChartsChanged(const TSignalChartData& aData) override { benchmark::DoNotOptimize(aData.TxLine.data()); }
  void SetConnectionItems(const std::vector<std::string>&) override {}
  void SelectConnection(int) override {}
  int SelectedConnection() const override { return -1; }
  void DropDownConnections() override {}
  void RepaintConnections() override {}
  void SetButton1Caption(const std::string&) override {}
  void ShowPingReply(const std::string&) override {}
};

TByteString Log(uint16_t aCode, size_t aSize) {
  TByteString p(aSize, '\0');
  p[0] = 0x10;
  p[2] = p[4] = static_cast<char>((aSize - 4) & 0xFF);
  p[3] = p[5] = static_cast<char>((aSize - 4) >> 8);
  p[6] = static_cast<char>(aCode & 0xFF);
  p[7] = static_cast<char>(aCode >> 8);
  return p;
}

struct TSetup {
  TSetup() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) std::abort();
    char name[128] = {};
    if (ptsname_r(master, name, sizeof name) != 0) std::abort();
    TMainFmOptions options;
    options.PortTable = &table;
    options.StarterDelay = std::nullopt;
    fm = std::make_unique<TMainFm>(view, loop, std::move(options));
    fm->Modem().SetComPortNumber(table.RegisterExtraPort(name, "bench"));
    fm->Modem().SetDevicePlugged(true);
    fm->Modem().SetEvdoType(evtRevA);
    power = Log(0x1069, 42);
    power[23] = 0x00, power[24] = 0x0A;  // TX 10 dBm
    power[25] = static_cast<char>(0x80), power[26] = static_cast<char>(0xB0);  // RX -79.5 dBm
    arq = Log(0x108C, 118);
    arq[17] = 12;  // 2457.6 kbit/s
  }
  ~TSetup() {
    fm.reset();
    close(master);
  }
  int master = -1;
  TPortTable table;
  TVirtualUiLoop loop;
  TNullView view;
  std::unique_ptr<TMainFm> fm;
  TByteString power, arq;
};

// A fresh cycle every time: five new power packets and the slot log, then the cycle.
void BM_PollingCycleFresh(benchmark::State& state) {
  TSetup s;
  for (auto _ : state) {
    state.PauseTiming();
    for (int i = 0; i < 5; ++i) s.fm->Modem().ParseFrame(s.power);
    s.fm->Modem().ParseFrame(s.arq);
    state.ResumeTiming();
    s.fm->ModemTimerTimer();
  }
}
BENCHMARK(BM_PollingCycleFresh);

// No new packets: the idle and stale cycles.
void BM_PollingCycleIdle(benchmark::State& state) {
  TSetup s;
  for (auto _ : state) s.fm->ModemTimerTimer();
}
BENCHMARK(BM_PollingCycleIdle);

}  // namespace

BENCHMARK_MAIN();
