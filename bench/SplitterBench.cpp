// The receive path's cost: splitting a mixed log stream (unescape, CRC check, dispatch) against a
// bare table-driven CRC pass over the same bytes.
#include <benchmark/benchmark.h>

#include <random>

#include "common/Crc16.h"
#include "protocol/Modem_Unit.h"

namespace {

// About 1 MiB of log packets of the sizes a modem sends, with the flag and escape bytes that
// real payloads contain now and then.
const TByteString& MixedLogStream() {
  static const TByteString stream = [] {
    std::mt19937 rng(1);
    const uint16_t codes[] = {0x1069, 0x108B, 0x108C, 0x1080, 0x106C, 0x1192, 0x127E, 0x1298, 0x129C, 0x12A2};
    TByteString s;
    while (s.size() < (1u << 20)) {
      const uint16_t code = codes[rng() % std::size(codes)];
      TByteString content = Bytes({0x10, 0x00, 0, 0, 0, 0, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
      const size_t length = 40 + rng() % 200;
      while (content.size() < length) content.push_back(static_cast<char>(rng()));
      content[2] = static_cast<char>(length - 4);
      content[3] = static_cast<char>((length - 4) >> 8);
      s += FrameBytes(content);
    }
    return s;
  }();
  return stream;
}

void BM_SplitAndDispatch(benchmark::State& state) {
  const TByteString& stream = MixedLogStream();
  TModem modem(nullptr, 0, br4800, evChar, dbEightBits, stbOneStopBits, false, fcNone, prNoParity);
  // Reads of the size the port hands over.
  const size_t chunk = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += chunk) modem.ProcessReceivedBytes(TByteView(stream).substr(at, chunk));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["frames"] = static_cast<double>(modem.CommonPacketsCount());
  state.counters["bad"] = static_cast<double>(modem.BadFramesCount());
}
BENCHMARK(BM_SplitAndDispatch)->Arg(4096)->Arg(65536);

// The de-framer alone: unescape and CRC check, frames collected but not dispatched.
void BM_SplitOnly(benchmark::State& state) {
  const TByteString& stream = MixedLogStream();
  TFrameSplitter splitter;
  TFrameList frames;
  const size_t chunk = 65536;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += chunk) {
      frames.Clear();
      splitter.Split(TByteView(stream).substr(at, chunk), frames);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_SplitOnly);

void BM_BareCrc(benchmark::State& state) {
  const TByteString& stream = MixedLogStream();
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc16x25::Compute(stream.data(), stream.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_BareCrc);

}  // namespace

BENCHMARK_MAIN();
