// Test fixtures for the serial layer: a pseudo-terminal pair standing in for a modem port, an
// event recorder for the component, and a device wrapper that counts and injects failures.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/XuComPort.h"

using namespace std::chrono_literals;

// The master side plays the modem; the slave is the port the component opens. A second
// descriptor of the slave lets tests read the line settings the component made.
class TPty {
 public:
  TPty() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) std::abort();
    char name[128] = {};
    if (ptsname_r(FMaster, name, sizeof name) != 0) std::abort();
    Path = name;
    FSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FSlave < 0) std::abort();
  }
  ~TPty() {
    CloseMaster();
    close(FSlave);
  }
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  void CloseMaster() {
    if (FMaster >= 0) close(FMaster);
    FMaster = -1;
  }

  void Send(const TByteString& aBytes) const {
    size_t done = 0;
    while (done < aBytes.size()) {
      const ssize_t n = write(FMaster, aBytes.data() + done, aBytes.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }

  // What the port wrote, up to aCount bytes, waiting at most aLimit.
  TByteString Receive(size_t aCount, std::chrono::milliseconds aLimit = 10s) const {
    TByteString got;
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (got.size() < aCount) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{FMaster, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(FMaster, buffer, std::min(sizeof buffer, aCount - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  termios SlaveSettings() const {
    termios t{};
    tcgetattr(FSlave, &t);
    return t;
  }
  int Slave() const { return FSlave; }

  std::string Path;

 private:
  int FMaster = -1;
  int FSlave = -1;
};

// Collects what the component reports, from whichever thread reports it.
class TRecorder {
 public:
  // With aReadInHandler the data handler takes the announced bytes, as the modem session does.
  void Bind(TCustomXuComPort& aPort, bool aReadInHandler = true) {
    aPort.OnData = [this, aReadInHandler](TCustomXuComPort* Sender, uint32_t len) {
      const TByteString bytes = aReadInHandler ? Sender->ReadString() : TByteString();
      const bool onReader = Sender->ReadThread() && Sender->ReadThread()->IsCurrentThread();
      if (BeforeData) BeforeData();
      std::lock_guard lock(FLock);
      DataLens.push_back(len);
      Received += bytes;
      if (aReadInHandler && bytes.size() != len) ++ShortReads;
      if (!onReader) ++OffReaderEvents;
      FChanged.notify_all();
    };
    aPort.OnDataWrite = [this](TCustomXuComPort*, uint32_t len, bool success) {
      std::lock_guard lock(FLock);
      Writes.emplace_back(len, success);
      FChanged.notify_all();
    };
    aPort.OnError = [this](TCustomXuComPort*, const std::string& aText) {
      std::lock_guard lock(FLock);
      Errors.push_back(aText);
      FChanged.notify_all();
    };
  }

  template <class P>
  bool WaitFor(P aPredicate, std::chrono::milliseconds aLimit = 10s) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, aLimit, [&] { return aPredicate(); });
  }

  template <class F>
  auto Read(F aReader) {
    std::lock_guard lock(FLock);
    return aReader();
  }

  // Called on the reader thread at each data event before it is recorded; set before StartRead.
  std::function<void()> BeforeData;

  // Guarded by the recorder's lock: use WaitFor or Read.
  std::vector<uint32_t> DataLens;
  TByteString Received;
  std::vector<std::string> Errors;
  std::vector<std::pair<uint32_t, bool>> Writes;
  int ShortReads = 0;
  int OffReaderEvents = 0;

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
};

// Shared between a test and the devices its factory makes.
struct TProbe {
  std::atomic<int> SetStateCalls{0};
  std::atomic<int> WaitEventCalls{0};
  std::atomic<int> PurgeError{0};
  std::atomic<int> WaitMaskError{0};
  std::atomic<bool> HookArmed{false};
  std::function<void()> PurgeHook;  // runs on purges while HookArmed
  std::mutex Lock;
  TDeviceControlBlock LastSet{};
  std::vector<uint32_t> LineCommands;  // under Lock
};

// The real POSIX device with counters and injected failures around it.
class TProbeDevice : public TSerialDevice {
 public:
  explicit TProbeDevice(std::shared_ptr<TProbe> aProbe) : FProbe(std::move(aProbe)), FInner(CreatePosixSerialDevice()) {}

  int Open(const std::string& aPath) override { return FInner->Open(aPath); }
  bool IsOpen() const override { return FInner->IsOpen(); }
  void Close() override { FInner->Close(); }
  intptr_t NativeHandle() const override { return FInner->NativeHandle(); }
  int GetState(TDeviceControlBlock& aDcb) override { return FInner->GetState(aDcb); }
  int SetState(const TDeviceControlBlock& aDcb) override {
    ++FProbe->SetStateCalls;
    {
      std::lock_guard lock(FProbe->Lock);
      FProbe->LastSet = aDcb;
    }
    return FInner->SetState(aDcb);
  }
  int EscapeFunction(uint32_t aCommand) override {
    {
      std::lock_guard lock(FProbe->Lock);
      FProbe->LineCommands.push_back(aCommand);
    }
    return FInner->EscapeFunction(aCommand);
  }
  int Purge(uint32_t aFlags) override {
    if (FProbe->HookArmed.exchange(false) && FProbe->PurgeHook) FProbe->PurgeHook();
    if (const int error = FProbe->PurgeError.load()) return error;
    return FInner->Purge(aFlags);
  }
  int Flush() override { return FInner->Flush(); }
  int SetWaitMask(uint32_t aMask) override {
    if (const int error = FProbe->WaitMaskError.load()) return error;
    return FInner->SetWaitMask(aMask);
  }
  std::unique_ptr<TDeviceStopSignal> CreateStopSignal() override { return FInner->CreateStopSignal(); }
  TDeviceWaitResult WaitEvent(const TDeviceStopSignal& aStop, int& aError) override {
    ++FProbe->WaitEventCalls;
    return FInner->WaitEvent(aStop, aError);
  }
  int QueuedBytes(uint32_t& aCount) override { return FInner->QueuedBytes(aCount); }
  int Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop) override {
    return FInner->Read(aData, aSize, aRead, aStop);
  }
  int Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal* aStop) override {
    return FInner->Write(aData, aSize, aWritten, aStop);
  }

 private:
  std::shared_ptr<TProbe> FProbe;
  std::unique_ptr<TSerialDevice> FInner;
};

// Polls a condition that has no event of its own (ReadDone, WriteDone).
template <class P>
bool Eventually(P aPredicate, std::chrono::milliseconds aLimit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (!aPredicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A port on a fresh pty, with its own table, probe and recorder.
struct TBench {
  explicit TBench(bool aReadInHandler = true) {
    Number = Table.RegisterExtraPort(Pty.Path, "test pty");
    Port.SetPortTable(&Table);
    Port.SetPortNumber(Number);
    Port.SetDeviceFactory([probe = Probe] { return std::make_unique<TProbeDevice>(probe); });
    Recorder.Bind(Port, aReadInHandler);
  }

  // Starts the reader and returns once it waits for data: bytes sent earlier would fall to its
  // start-up purge.
  bool StartReader() {
    const int before = Probe->WaitEventCalls;
    Port.StartRead();
    return Eventually([&] { return Probe->WaitEventCalls > before; });
  }

  TPty Pty;
  TPortTable Table;
  uint16_t Number = 0;
  std::shared_ptr<TProbe> Probe = std::make_shared<TProbe>();
  TRecorder Recorder;
  TXuComPort Port;  // last: its threads end before anything they call into goes
};
