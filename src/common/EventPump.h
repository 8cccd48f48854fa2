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

  // Any thread: the program is closing. Every wait in progress ends (PumpWhile returns false)
  // and none begun before this will wait again.
  void RequestClose() {
    FClosing.store(true);
    Wake();
  }
  bool Closing() const { return FClosing.load(); }

  // Keeps the events flowing while aBusy holds, looking again at least every aSlice. True when
  // aBusy ended. A wait that began before the program started closing ends with it (false), so
  // that nothing waited for is acted on after the close; one begun while closing (the close's
  // own clean-up, joining threads) runs until aBusy ends.
  bool PumpWhile(const std::function<bool()>& aBusy, std::chrono::milliseconds aSlice) {
    const bool endsWithClose = !Closing();
    for (;;) {
      ProcessMessages();
      if (!aBusy()) return true;
      if (endsWithClose && Closing()) return false;
      Idle(aSlice);
    }
  }

 private:
  std::atomic<bool> FClosing{false};
};
