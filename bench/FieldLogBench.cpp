// Cost of the field log: one sample through each writer (row values, format, the write or the
// in-memory append), a GPX/KML rewrite at an hour's size, the window thread's Consume, and the
// size of an hour's log in each format.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "record/FieldRecorder.h"
#include "record/LogWriters.h"

namespace {

constexpr int kHourOfSamples = 2 * 3600;  // one every 500 ms

// A directory of the benchmark's own under $TMPDIR (or /tmp), removed at the end.
class TBenchDir {
 public:
  TBenchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/cdma-fieldlog-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    FPath = pattern;
  }
  ~TBenchDir() { std::filesystem::remove_all(FPath); }
  std::string File(const std::string& aName) { return FPath + "/" + aName + "-" + std::to_string(++FCount); }

 private:
  std::string FPath;
  int FCount = 0;
};

TLogRow SampleRow(int aIndex) {
  TCycleSample s;
  s.Time = TWallClock::time_point(std::chrono::milliseconds(1715679000000LL + aIndex * 500LL));
  s.LinkType = "Rev.A";
  s.EvdoType = evtRevA;
  s.Rx = -75.5f - static_cast<float>(aIndex % 20);
  s.Tx = 2.375f;
  s.Drc = 1228.8f;
  s.Cell = 2276;
  s.Sector = 3;
  s.Pn = 276;
  s.UpKbps = 153;
  s.DownKbps = 921;
  s.Icon = 4;
  s.Present = true;
  s.NoData = false;
  TPosition p;
  p.Mode = TFixMode::Fix3D;
  p.Latitude = 52.52 + aIndex * 0.00005;
  p.Longitude = 13.405 + aIndex * 0.00003;
  p.AltitudeM = 34.5;
  p.HorizontalErrorM = 3.2;
  p.SpeedMps = 11.1;
  p.CourseDeg = 19.6;
  p.FixTime = s.Time;
  return TLogRow{s, p};
}

// A row an hour of driving has every minute: a sector change.
TLogRow SectorRow(int aIndex) {
  TMonitorEvent e;
  e.Kind = TMonitorEventKind::SectorChanged;
  e.Time = SampleRow(aIndex).Time();
  e.From = "2276-3/276";
  e.To = "2290-1/380";
  return TLogRow{e, SampleRow(aIndex).Position};
}

const TLogFormat kFormats[] = {TLogFormat::Csv, TLogFormat::JsonLines, TLogFormat::Gpx, TLogFormat::Kml};
const char* const kFormatNames[] = {"csv", "jsonl", "gpx", "kml"};

// One sample, as the recorder's thread writes it: cleaned, made into the format's bytes and
// written (CSV, JSON Lines) or appended for the next rewrite (GPX, KML). Disk syncs are left out:
// the recorder syncs once a second whatever the rate.
void BM_WriteSample(benchmark::State& aState) {
  const auto format = static_cast<size_t>(aState.range(0));
  TBenchDir dir;
  std::unique_ptr<TLogWriter> writer = CreateLogWriter(CreateFreshFile(dir.File(kFormatNames[format])), kFormats[format]);
  int i = 0;
  for (auto _ : aState) writer->Write(CleanLogRow(SampleRow(i++ % kHourOfSamples)));
  aState.SetLabel(kFormatNames[format]);
}
BENCHMARK(BM_WriteSample)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// A GPX or KML document rewritten at an hour's size: the kernel's copy of the body, the new rows,
// the sync and the rename. Done at most every few seconds.
void BM_RewriteHourDocument(benchmark::State& aState) {
  const auto format = static_cast<size_t>(aState.range(0));
  TBenchDir dir;
  std::unique_ptr<TLogWriter> writer = CreateLogWriter(CreateFreshFile(dir.File(kFormatNames[format])), kFormats[format]);
  for (int i = 0; i < kHourOfSamples; ++i) writer->Write(SampleRow(i));
  writer->Sync(true);
  int i = 0;
  for (auto _ : aState) {
    writer->Write(SampleRow(i++));
    writer->Sync(true);
  }
  struct stat info {};
  stat(writer->Path().c_str(), &info);
  aState.counters["MB"] = static_cast<double>(info.st_size) / 1e6;
  aState.SetLabel(kFormatNames[format]);
}
BENCHMARK(BM_RewriteHourDocument)->DenseRange(2, 3)->Unit(benchmark::kMillisecond);

// What the window's thread pays per sample: the copy, the position and the queue.
void BM_RecorderConsume(benchmark::State& aState) {
  TBenchDir dir;
  TFieldRecorderOptions options;
  options.Paths = {dir.File("consume") + ".csv"};
  TFieldRecorder recorder(std::move(options));
  const TCycleSample sample = std::get<TCycleSample>(SampleRow(0).Entry);
  int queued = 0;
  for (auto _ : aState) {
    recorder.Consume(sample);
    // The writing thread empties the queue now and then, as it does at two samples a second.
    if (++queued == 256) {
      aState.PauseTiming();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      queued = 0;
      aState.ResumeTiming();
    }
  }
}
BENCHMARK(BM_RecorderConsume)->Iterations(25600)->Unit(benchmark::kMicrosecond);

// The size of an hour's log: a sample every 500 ms with a position, a sector change a minute.
void BM_HourOfLog(benchmark::State& aState) {
  const auto format = static_cast<size_t>(aState.range(0));
  TBenchDir dir;
  double bytes = 0;
  for (auto _ : aState) {
    std::unique_ptr<TLogWriter> writer =
        CreateLogWriter(CreateFreshFile(dir.File(kFormatNames[format])), kFormats[format]);
    for (int i = 0; i < kHourOfSamples; ++i) {
      writer->Write(SampleRow(i));
      if (i % 120 == 0) writer->Write(SectorRow(i));
    }
    writer->Close();
    struct stat info {};
    stat(writer->Path().c_str(), &info);
    bytes = static_cast<double>(info.st_size);
  }
  aState.counters["MB_per_hour"] = bytes / 1e6;
  aState.SetLabel(kFormatNames[format]);
}
BENCHMARK(BM_HourOfLog)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
