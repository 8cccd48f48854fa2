// The reader thread: waits for received characters and fires the component's OnData with the
// number of bytes queued at the device.
#include <pthread.h>
#include <sched.h>

#include <chrono>

#include "common/SystemError.h"
#include "serial/XuComPort.h"

namespace {

using namespace std::chrono_literals;

// How long the reader waits before it looks again at bytes a data handler left unread.
constexpr auto kUnreadRecheck = 20ms;
constexpr auto kStopGrace = 100ms;

}  // namespace

TXuReadThread::TXuReadThread(TCustomXuComPort* aXuComPort, std::shared_ptr<TSerialDevice> aDevice,
                             uint32_t aEventMask)
    : FCustomComPort(aXuComPort), FDevice(std::move(aDevice)), FEventMask(aEventMask),
      FStopEvent(FDevice->CreateStopSignal()) {}

TXuReadThread::~TXuReadThread() {
  RequestStop();
  if (FThread.joinable()) FThread.join();
}

void TXuReadThread::Start(uint32_t aProcNumber) {
  FThread = std::thread([this] { Execute(); });
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(aProcNumber % 32, &cpus);
  // A processor the machine does not have leaves the thread where the scheduler puts it.
  pthread_setaffinity_np(FThread.native_handle(), sizeof cpus, &cpus);
}

void TXuReadThread::RequestStop() {
  FTerminated = true;
  FStopEvent->Set();
  { std::lock_guard lock(FLock); }
  FStateChanged.notify_all();
}

void TXuReadThread::StopThread() {
  RequestStop();
  std::this_thread::sleep_for(kStopGrace);
}

void TXuReadThread::Suspend() {
  std::unique_lock lock(FLock);
  FSuspended = true;
  // From inside a data handler there is nothing to wait for: the handler is the caller.
  if (!IsCurrentThread()) FStateChanged.wait(lock, [this] { return !FInDataEvent; });
}

void TXuReadThread::Resume() {
  {
    std::lock_guard lock(FLock);
    FSuspended = false;
  }
  FStateChanged.notify_all();
}

bool TXuReadThread::Suspended() const {
  std::lock_guard lock(FLock);
  return FSuspended;
}

bool TXuReadThread::IsCurrentThread() const { return FThreadId.load() == std::this_thread::get_id(); }

int TXuReadThread::ThreadError() const {
  std::lock_guard lock(FLock);
  return FThreadError;
}

std::string TXuReadThread::ThreadErrorText() const {
  std::lock_guard lock(FLock);
  return sThreadError;
}

uint32_t TXuReadThread::ReadData(void* Data, uint32_t Size) {
  uint32_t read = 0;
  const int error = FDevice->Read(Data, Size, read, FStopEvent.get());
  FBytesRead += read;
  return error ? 0 : read;
}

void TXuReadThread::Fail(int aCode, const std::string& aText) {
  {
    std::lock_guard lock(FLock);
    FThreadError = aCode;
    sThreadError = aText;
  }
  FCustomComPort->DoError(aText);
}

bool TXuReadThread::WaitWhilePaused() {
  std::unique_lock lock(FLock);
  FStateChanged.wait(lock, [this] { return !FSuspended || Stopping(); });
  return !Stopping();
}

bool TXuReadThread::IdleUnlessStopping() {
  std::unique_lock lock(FLock);
  FStateChanged.wait_for(lock, kUnreadRecheck, [this] { return Stopping(); });
  return !Stopping();
}

void TXuReadThread::Execute() {
  FThreadId = std::this_thread::get_id();
  if (const int error = FDevice->Purge(kPurgeAll)) {
    Fail(3, "*** Error cleaning Com-port:\r\n" + SysErrorMessage(error));
  } else if (const int error2 = FDevice->SetWaitMask(FEventMask)) {
    Fail(4, "*** Failed to set the event mask Com-port:\r\n" + SysErrorMessage(error2));
  } else {
    RunLoop();
    // After a Close these answer EBADF and touch nothing.
    FDevice->SetWaitMask(0);
    FDevice->Purge(kPurgeAll);
    FDevice->Flush();
  }
  FCustomComPort->ReadThreadDone(this);
}

void TXuReadThread::RunLoop() {
  // The wait is level-triggered: bytes a handler left unread would wake it again at once. As a
  // character event would, the next data event waits for bytes beyond those.
  uint32_t unread = 0;
  for (;;) {
    if (!WaitWhilePaused()) return;
    int error = 0;
    if (FDevice->WaitEvent(*FStopEvent, error) != TDeviceWaitResult::Event) return;
    uint32_t queued = 0;
    if (const int queryError = FDevice->QueuedBytes(queued)) {
      Fail(queryError, SysErrorMessage(queryError));
      return;
    }
    FCustomComPort->FDataSize = queued;
    if (queued <= unread || queued == 0) {
      unread = queued;
      if (!IdleUnlessStopping()) return;
      continue;
    }
    {
      std::lock_guard lock(FLock);
      if (FSuspended) continue;  // paused during the wait: the bytes wait for ResumeRead
      FInDataEvent = true;
    }
    const uint64_t readBefore = FBytesRead;
    FCustomComPort->DoData(queued);
    const uint64_t taken = FBytesRead - readBefore;
    {
      std::lock_guard lock(FLock);
      FInDataEvent = false;
    }
    FStateChanged.notify_all();
    unread = taken >= queued ? 0 : queued - static_cast<uint32_t>(taken);
    if (Stopping()) return;
  }
}
