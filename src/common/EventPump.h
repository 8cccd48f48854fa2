// Keeping the user-interface thread's events flowing while it waits for something, and the one
// waiting loop every wait of that thread is built on.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

class TEventPump {
 public:
  virtual ~TEventPump() = default;
  // Runs the events queued for the user-interface thread, then returns.
  virtual void ProcessMessages() = 0;
  // Lets the thread rest until an event arrives, Wake is called or the time has passed.
  virtual void Idle(std::chrono::milliseconds aMax) = 0;
  // Any thread: the Idle in progress, or the next one, returns at once.
  virtual void Wake() = 0;

  // Any thread: the program is closing. Every wait for an answer ends (PumpWhile returns
  // false), whether in progress or begun later; clean-up waits run on.
  // A pump that wraps another hands both on to it.
  virtual void RequestClose() {
    FClosing.store(true);
    Wake();
  }
  virtual bool Closing() const { return FClosing.load(); }

  // What ends a wait besides its condition.
  enum class TWaitEnd {
    Close,  // the program's close too: waits for an answer, a user, a time-out
    Done,   // its condition only: clean-up (a thread ending) that must finish whatever comes
  };

  // Keeps the events flowing while aBusy holds, looking again at least every aSlice. True when
  // aBusy ended; false when a TWaitEnd::Close wait ended because the program is closing (or
  // was already when it began), so that nothing it waited for is acted on after the close.
  bool PumpWhile(const std::function<bool()>& aBusy, std::chrono::milliseconds aSlice,
                 TWaitEnd aEnd = TWaitEnd::Close) {
    for (;;) {
      ProcessMessages();
      if (!aBusy()) return true;
      if (aEnd == TWaitEnd::Close && Closing()) return false;
      Idle(aSlice);
    }
  }

 private:
  std::atomic<bool> FClosing{false};
};
