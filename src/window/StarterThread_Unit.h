// The delayed start: a thread that waits a moment after the window appears, then asks the window
// to look for the modem.
#pragma once

#include <cstdint>
#include <thread>

#include "common/Events.h"
#include "common/MessageTarget.h"

class TStarterThread {
 public:
  // Starts at once. aFormHandle must outlive the thread object.
  TStarterThread(TMessageTarget& aFormHandle, uint32_t aTimeWait);
  // Wakes the thread and joins it; WM_FIND_MODEM is not posted once destruction has begun.
  ~TStarterThread();
  TStarterThread(const TStarterThread&) = delete;
  TStarterThread& operator=(const TStarterThread&) = delete;

  // The delay actually waited: at least 50, at most 5000 milliseconds.
  static uint32_t ClampTimeWait(uint32_t aTimeWait);
  // True once the body has ended (posted or stopped).
  bool Finished() const { return FFinished.IsSet(); }

 private:
  void Execute(std::stop_token aStop);

  TMessageTarget& FFormHandle;
  const uint32_t FTimeWait;
  TAutoResetEvent FWaitEvent;
  TManualResetEvent FFinished;
  std::jthread FThread;  // last: started when everything else exists
};
