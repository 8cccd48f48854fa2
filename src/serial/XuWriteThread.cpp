// The writer thread: one write of the caller's buffer, its report, and the purge that ends it.
#include <cerrno>

#include "common/SystemError.h"
#include "serial/XuComPort.h"

TXuWriteThread::TXuWriteThread(TCustomXuComPort* aXuComPort, std::shared_ptr<TSerialDevice> aDevice,
                               const void* aData, int aSize)
    : FCustomComPort(aXuComPort), FDevice(std::move(aDevice)), FData(aData), FSize(aSize),
      FStopEvent(FDevice->CreateStopSignal()) {}

TXuWriteThread::~TXuWriteThread() {
  StopThread();
  if (FThread.joinable()) FThread.join();
}

void TXuWriteThread::Start() { FThread = std::thread([this] { Execute(); }); }

void TXuWriteThread::StopThread() {
  FStopEvent->Set();
  FTerminated = true;
}

int TXuWriteThread::ThreadError() const {
  std::lock_guard lock(FLock);
  return FThreadError;
}

std::string TXuWriteThread::ThreadErrorText() const {
  std::lock_guard lock(FLock);
  return sThreadError;
}

void TXuWriteThread::Fail(int aCode, const std::string& aText) {
  {
    std::lock_guard lock(FLock);
    FThreadError = aCode;
    sThreadError = aText;
  }
  FCustomComPort->DoError(aText);
}

void TXuWriteThread::Execute() {
  uint32_t written = 0;
  const int error = FSize < 0 || (!FData && FSize > 0)
                        ? EINVAL
                        : FDevice->Write(FData, static_cast<uint32_t>(FSize), written, FStopEvent.get());
  if (error == 0)
    FCustomComPort->DoDataWrite(written, true);
  else if (error == ECANCELED)
    FTerminated = true;  // given up through StopThread or Close: nothing to report
  else
    Fail(error, SysErrorMessage(error));
  // Every write ends with a purge of both queues, received bytes included.
  FDevice->Purge(kPurgeAll);
  FCustomComPort->WriteThreadDone(this);
}
