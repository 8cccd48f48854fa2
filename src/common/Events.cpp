// Auto-reset and manual-reset events on a condition variable.
#include "common/Events.h"

void TEvent::Set() {
  {
    std::lock_guard lock(FLock);
    FSignalled = true;
  }
  if (FAutoReset)
    FChanged.notify_one();
  else
    FChanged.notify_all();
}

void TEvent::Reset() {
  std::lock_guard lock(FLock);
  FSignalled = false;
}

bool TEvent::WaitFor(std::chrono::milliseconds aTimeout) {
  std::unique_lock lock(FLock);
  if (!FChanged.wait_for(lock, aTimeout, [this] { return FSignalled; })) return false;
  if (FAutoReset) FSignalled = false;
  return true;
}

void TEvent::Wait() {
  std::unique_lock lock(FLock);
  FChanged.wait(lock, [this] { return FSignalled; });
  if (FAutoReset) FSignalled = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(FLock);
  return FSignalled;
}
