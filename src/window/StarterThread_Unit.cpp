// The starter thread.
#include "window/StarterThread_Unit.h"

#include <algorithm>
#include <chrono>

#include "common/WindowMessages.h"

TStarterThread::TStarterThread(TMessageTarget& aFormHandle, uint32_t aTimeWait)
    : FFormHandle(aFormHandle), FTimeWait(aTimeWait), FThread([this](std::stop_token aStop) { Execute(aStop); }) {}

TStarterThread::~TStarterThread() {
  FThread.request_stop();
  FWaitEvent.Set();
  if (FThread.joinable()) FThread.join();
}

uint32_t TStarterThread::ClampTimeWait(uint32_t aTimeWait) { return std::clamp<uint32_t>(aTimeWait, 50, 5000); }

void TStarterThread::Execute(std::stop_token aStop) {
  // Only our own destructor signals the event, to end the delay early.
  FWaitEvent.WaitFor(std::chrono::milliseconds(ClampTimeWait(FTimeWait)));
  if (!aStop.stop_requested()) FFormHandle.PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
  FFinished.Set();
}
