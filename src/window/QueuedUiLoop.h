// The part of a user-interface loop that does not depend on how it waits: the queue of posted
// messages and tasks, the timers, and their delivery.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "window/UiLoop.h"

class TQueuedUiLoop : public TUiLoop {
 public:
  using TTime = std::chrono::steady_clock::duration;

  TQueuedUiLoop();
  ~TQueuedUiLoop() override;
  TQueuedUiLoop(const TQueuedUiLoop&) = delete;
  TQueuedUiLoop& operator=(const TQueuedUiLoop&) = delete;

  TMessageTarget& Target() override { return FTarget; }
  void SetMessageHandler(TMessageHandler aHandler) override { FHandler = std::move(aHandler); }
  void Post(std::function<void()> aTask) override;
  void Wake() override;
  std::unique_ptr<TUiTimer> CreateTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer) override;
  void ProcessMessages() override;

  // The loop's clock: real or virtual.
  virtual TTime Now() const = 0;

 protected:
  // Called on the posting thread, outside the queue's lock, after a post or a wake.
  virtual void Notify() {}
  // A timer went from disabled to enabled (user-interface thread): a new wait begins.
  virtual void TimerStarted() {}

  bool HasQueued() const;
  // Whether Wake was called since the last look; the look clears it.
  bool TakeWoken();
  // Waits at most aTimeout of real time for a post or a wake; true when one came (the wake is
  // taken).
  bool WaitForActivity(std::chrono::nanoseconds aTimeout);
  // The earliest time at which an enabled timer that is not in its own handler falls due.
  std::optional<TTime> NextDue() const;
  void RunDueTimers();

 private:
  class TTimer;
  class TPostTarget final : public TMessageTarget {
   public:
    explicit TPostTarget(TQueuedUiLoop& aLoop) : FLoop(aLoop) {}
    void PostMessage(TWindowMessage aMessage) override;

   private:
    TQueuedUiLoop& FLoop;
  };
  struct TItem {
    std::optional<TWindowMessage> Message;
    std::function<void()> Task;
  };

  void Enqueue(TItem aItem);
  bool IsRegistered(const TTimer* aTimer) const;

  TPostTarget FTarget{*this};
  TMessageHandler FHandler;

  mutable std::mutex FLock;  // the queue and the wake flag: the only state other threads touch
  std::condition_variable FActivity;
  std::deque<TItem> FQueue;
  bool FWoken = false;

  std::vector<TTimer*> FTimers;  // user-interface thread only
};
