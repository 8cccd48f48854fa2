// What recording costs the reader thread: one wait and one read of the port through a recording
// device, against the same through the bare device. The device underneath answers at once from
// memory, so the difference is the recording's own work (the copy into the recorder's queue, the
// bookkeeping of the reader's state); the file is written on the recorder's thread.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "capture/CaptureRecorder.h"
#include "capture/RecordingDevice.h"

namespace {

class TMemoryDevice final : public TSerialDevice {
 public:
  class TNeverStop final : public TDeviceStopSignal {
   public:
    void Set() override {}
    void Reset() override {}
    bool IsSet() const override { return false; }
  };

  int Open(const std::string&) override {
    FOpen = true;
    return 0;
  }
  bool IsOpen() const override { return FOpen; }
  void Close() override { FOpen = false; }
  intptr_t NativeHandle() const override { return FOpen ? 1 : -1; }
  int GetState(TDeviceControlBlock&) override { return 0; }
  int SetState(const TDeviceControlBlock&) override { return 0; }
  int EscapeFunction(uint32_t) override { return 0; }
  int Purge(uint32_t) override { return 0; }
  int Flush() override { return 0; }
  int SetWaitMask(uint32_t) override { return 0; }
  std::unique_ptr<TDeviceStopSignal> CreateStopSignal() override { return std::make_unique<TNeverStop>(); }
  TDeviceWaitResult WaitEvent(const TDeviceStopSignal&, int&) override { return TDeviceWaitResult::Event; }
  int QueuedBytes(uint32_t& aCount) override {
    aCount = 4096;
    return 0;
  }
  int Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal*) override {
    static const std::string kBytes(65536, '\x42');
    aRead = std::min<uint32_t>(aSize, static_cast<uint32_t>(kBytes.size()));
    std::memcpy(aData, kBytes.data(), aRead);
    return 0;
  }
  int Write(const void*, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal*) override {
    aWritten = aSize;
    return 0;
  }

 private:
  bool FOpen = false;
};

void OneRead(TSerialDevice& aDevice, const TDeviceStopSignal& aStop, std::string& aBuffer) {
  int error = 0;
  benchmark::DoNotOptimize(aDevice.WaitEvent(aStop, error));
  uint32_t read = 0;
  aDevice.Read(aBuffer.data(), static_cast<uint32_t>(aBuffer.size()), read, &aStop);
  benchmark::DoNotOptimize(read);
}

void BM_BareRead(benchmark::State& aState) {
  TMemoryDevice device;
  device.Open("mem");
  const auto stop = device.CreateStopSignal();
  std::string buffer(static_cast<size_t>(aState.range(0)), '\0');
  for (auto _ : aState) OneRead(device, *stop, buffer);
  aState.SetBytesProcessed(aState.iterations() * aState.range(0));
}

void BM_RecordedRead(benchmark::State& aState) {
  char dir[] = "/tmp/cdma-capture-bench-XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  {
    // Written out often, so that the queue stays as short as a real port keeps it.
    TCaptureRecorder recorder(TCaptureWriter::Create(std::string(dir) + "/bench.pcap"), {}, std::chrono::milliseconds(5));
    TCaptureTap tap(recorder);
    std::unique_ptr<TSerialDevice> device =
        tap.SessionDevices([] { return std::make_unique<TMemoryDevice>(); })();
    device->Open("mem");
    device->SetWaitMask(kEvRxChar);
    const auto stop = device->CreateStopSignal();
    std::string buffer(static_cast<size_t>(aState.range(0)), '\0');
    for (auto _ : aState) OneRead(*device, *stop, buffer);
    aState.SetBytesProcessed(aState.iterations() * aState.range(0));
    device->Close();
    recorder.Close();
  }
  std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace

// Reads of a short packet, of a burst, and of a full pseudo-terminal buffer.
BENCHMARK(BM_BareRead)->Arg(64)->Arg(512)->Arg(4096);
// A fixed count keeps the file the recorder writes to some tens of megabytes.
BENCHMARK(BM_RecordedRead)->Arg(64)->Arg(512)->Arg(4096)->Iterations(20000);

BENCHMARK_MAIN();
