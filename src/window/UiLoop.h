// The user-interface thread's loop as the window logic sees it: posted messages, timers, and
// the pumping that keeps both flowing while the window waits for something.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "common/EventPump.h"
#include "common/MessageTarget.h"

// A timer of the loop. While enabled it calls its OnTimer on the user-interface thread every
// interval. A tick never runs inside its own OnTimer (a handler that pumps events does not see
// its timer again), and ticks missed meanwhile are not queued up.
class TUiTimer {
 public:
  virtual ~TUiTimer() = default;
  // Enabling an idle timer starts its interval from now; enabling a running one changes nothing.
  virtual void SetEnabled(bool aEnabled) = 0;
  virtual bool Enabled() const = 0;
  virtual std::chrono::milliseconds Interval() const = 0;
};

// Every call but Target(), Post, Wake and RequestClose belongs to the user-interface thread.
class TUiLoop : public TEventPump {
 public:
  using TMessageHandler = std::function<void(TWindowMessage& aMessage)>;

  // Where other threads post the window's messages; ProcessMessages hands each one, in the
  // order posted, to the message handler.
  virtual TMessageTarget& Target() = 0;
  virtual void SetMessageHandler(TMessageHandler aHandler) = 0;
  // Any thread: runs aTask on the user-interface thread, in order with the posted messages.
  virtual void Post(std::function<void()> aTask) = 0;
  // The timer starts disabled. It must not outlive the loop.
  virtual std::unique_ptr<TUiTimer> CreateTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer) = 0;

  // TEventPump: ProcessMessages delivers the posted messages and tasks queued so far and runs
  // the timers that are due; Idle rests until something is posted, Wake is called, a timer
  // falls due or aMax has passed.
};
