// End-to-end receive over a pseudo-terminal: the simulated modem writes log packets as fast as
// the pseudo-terminal takes them; the modem session reads them through its serial component's
// reader thread and splits, checks, dispatches and parses them. Reported: MB/s of log traffic
// taken, and the reader thread's CPU time as a share of one core (and the rest of the process's,
// mostly the simulated modem's own thread).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "protocol/Modem_Unit.h"
#include "serial/PortTable.h"
#include "sim/SimulatedModem.h"

namespace {

using namespace std::chrono_literals;

// CPU seconds of the whole process: the reader, the simulated modem's thread and the rest.
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The session with a look at the thread its data events run on.
class TMeasuredModem final : public TModem {
 public:
  TMeasuredModem() : TModem(nullptr, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity) {}
  ~TMeasuredModem() override { ReleasePort(); }

  // CPU seconds the reader thread has used; 0 before its first data event.
  double ReaderCpuSeconds() const {
    if (!FClockKnown.load(std::memory_order_acquire)) return 0;
    timespec t{};
    clock_gettime(FReaderClock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }

 protected:
  void ComPortData(TCustomXuComPort* aSender, uint32_t aLen) override {
    if (!FClockKnown.load(std::memory_order_relaxed)) {
      pthread_getcpuclockid(pthread_self(), &FReaderClock);
      FClockKnown.store(true, std::memory_order_release);
    }
    TModem::ComPortData(aSender, aLen);
  }

 private:
  clockid_t FReaderClock{};
  std::atomic<bool> FClockKnown{false};
};

void BM_EndToEndPty(benchmark::State& state, sim::TSimMode aMode) {
  sim::TSimConfig config;
  config.Mode = aMode;
  config.MaxRate = true;
  sim::TSimulatedModem device(config);
  device.Start();
  const std::string path = device.SlavePath();
  TMeasuredModem modem;
  modem.SetComPortNumber(TPortTable::Instance().RegisterExtraPort(path, "bench"));
  if (!modem.PortActive()) {
    state.SkipWithError("the pseudo-terminal did not open");
    return;
  }
  modem.ComPort()->StartRead();
  modem.StartRead();  // the log mask: the stream begins
  const auto flowing = [&](uint64_t aBytes) {
    return device.WaitUntil([&](const sim::TSimCounters& c) { return c.LogBytesWritten >= aBytes; }, 30s);
  };
  if (!flowing(1 << 20)) {
    state.SkipWithError("no stream");
    return;
  }

  constexpr uint64_t kStep = 8 << 20;  // log bytes per iteration
  const sim::TSimCounters first = device.Counters();
  const double cpuFirst = modem.ReaderCpuSeconds();
  const double processFirst = ProcessCpuSeconds();
  const intptr_t framesFirst = modem.CommonPacketsCount();
  const uint64_t badFirst = modem.BadFramesCount();
  const auto wallFirst = std::chrono::steady_clock::now();
  uint64_t target = first.LogBytesWritten;
  for (auto _ : state) {
    target += kStep;
    if (!flowing(target)) {
      state.SkipWithError("the stream stopped");
      break;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallFirst).count();
  const sim::TSimCounters last = device.Counters();
  const double cpu = modem.ReaderCpuSeconds() - cpuFirst;
  const double process = ProcessCpuSeconds() - processFirst;
  const uint64_t bytes = last.LogBytesWritten - first.LogBytesWritten;
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["MB/s"] = static_cast<double>(bytes) / 1e6 / wall;
  state.counters["reader_core"] = cpu / wall;
  // Mostly the simulated modem making and writing the packets.
  state.counters["others_core"] = (process - cpu) / wall;
  state.counters["reader_cpu_s_per_MB"] = cpu / (static_cast<double>(bytes) / 1e6);
  state.counters["packets/s"] = static_cast<double>(modem.CommonPacketsCount() - framesFirst) / wall;
  state.counters["bad"] = static_cast<double>(modem.BadFramesCount() - badFirst);
  modem.StopRead();
  modem.CloseComPort();
  TPortTable::Instance().UnregisterExtraPort(path);
  device.Stop();
}
BENCHMARK_CAPTURE(BM_EndToEndPty, RevA, sim::TSimMode::RevA)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(5);
BENCHMARK_CAPTURE(BM_EndToEndPty, RevB, sim::TSimMode::RevB)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(5);

}  // namespace

BENCHMARK_MAIN();
