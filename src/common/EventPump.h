// Keeping the user-interface thread's events flowing while it waits for something.
#pragma once

#include <chrono>

class TEventPump {
 public:
  virtual ~TEventPump() = default;
  // Runs the events queued for the user-interface thread, then returns.
  virtual void ProcessMessages() = 0;
  // Lets the thread rest until an event arrives or the time has passed; a loop of
  // ProcessMessages and Idle is how the user-interface thread waits without freezing.
  virtual void Idle(std::chrono::milliseconds aMax) = 0;
};
