// Auto-reset and manual-reset events, the waitable flags the port threads hand each other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class TEvent {
 public:
  void Set();
  void Reset();
  // True when the event was signalled before the time ran out. An auto-reset event is
  // consumed by the wait that sees it.
  bool WaitFor(std::chrono::milliseconds aTimeout);
  void Wait();
  bool IsSet() const;

 protected:
  explicit TEvent(bool aAutoReset, bool aInitiallySet) : FAutoReset(aAutoReset), FSignalled(aInitiallySet) {}

 private:
  const bool FAutoReset;
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  bool FSignalled;
};

class TAutoResetEvent : public TEvent {
 public:
  explicit TAutoResetEvent(bool aInitiallySet = false) : TEvent(true, aInitiallySet) {}
};

class TManualResetEvent : public TEvent {
 public:
  explicit TManualResetEvent(bool aInitiallySet = false) : TEvent(false, aInitiallySet) {}
};
