// Posted messages, tasks and timers of a user-interface loop.
#include "window/QueuedUiLoop.h"

#include <algorithm>
#include <utility>

class TQueuedUiLoop::TTimer final : public TUiTimer {
 public:
  TTimer(TQueuedUiLoop& aLoop, std::chrono::milliseconds aInterval, std::function<void()> aOnTimer)
      : FLoop(aLoop), FInterval(aInterval), FOnTimer(std::move(aOnTimer)) {
    FLoop.FTimers.push_back(this);
  }
  ~TTimer() override { std::erase(FLoop.FTimers, this); }

  void SetEnabled(bool aEnabled) override {
    const bool starting = aEnabled && !FEnabled;
    if (starting) FDue = FLoop.Now() + FInterval;
    FEnabled = aEnabled;
    if (starting) FLoop.TimerStarted();
  }
  bool Enabled() const override { return FEnabled; }
  std::chrono::milliseconds Interval() const override { return FInterval; }

  bool Ready() const { return FEnabled && !FRunning; }
  TTime Due() const { return FDue; }

  void Fire() {
    // The next tick counts from now: ticks missed while the thread was busy are not made up.
    FDue = FLoop.Now() + FInterval;
    FRunning = true;
    struct TDone {
      TTimer* Timer;
      ~TDone() {
        if (Timer->FLoop.IsRegistered(Timer)) Timer->FRunning = false;
      }
    } done{this};
    if (FOnTimer) FOnTimer();
  }

 private:
  TQueuedUiLoop& FLoop;
  const std::chrono::milliseconds FInterval;
  const std::function<void()> FOnTimer;
  bool FEnabled = false;
  bool FRunning = false;
  TTime FDue{};
};

TQueuedUiLoop::TQueuedUiLoop() = default;
TQueuedUiLoop::~TQueuedUiLoop() = default;

void TQueuedUiLoop::TPostTarget::PostMessage(TWindowMessage aMessage) {
  FLoop.Enqueue(TItem{std::move(aMessage), {}});
}

void TQueuedUiLoop::Post(std::function<void()> aTask) { Enqueue(TItem{std::nullopt, std::move(aTask)}); }

void TQueuedUiLoop::Enqueue(TItem aItem) {
  {
    std::lock_guard lock(FLock);
    FQueue.push_back(std::move(aItem));
  }
  FActivity.notify_all();
  Notify();
}

void TQueuedUiLoop::Wake() {
  {
    std::lock_guard lock(FLock);
    FWoken = true;
  }
  FActivity.notify_all();
  Notify();
}

std::unique_ptr<TUiTimer> TQueuedUiLoop::CreateTimer(std::chrono::milliseconds aInterval,
                                                     std::function<void()> aOnTimer) {
  return std::make_unique<TTimer>(*this, aInterval, std::move(aOnTimer));
}

bool TQueuedUiLoop::HasQueued() const {
  std::lock_guard lock(FLock);
  return !FQueue.empty();
}

bool TQueuedUiLoop::TakeWoken() {
  std::lock_guard lock(FLock);
  return std::exchange(FWoken, false);
}

bool TQueuedUiLoop::WaitForActivity(std::chrono::nanoseconds aTimeout) {
  std::unique_lock lock(FLock);
  const bool active = FActivity.wait_for(lock, aTimeout, [this] { return FWoken || !FQueue.empty(); });
  FWoken = false;
  return active;
}

void TQueuedUiLoop::ProcessMessages() {
  // Only what was queued when we started: a handler that posts to itself cannot keep us here.
  size_t count;
  {
    std::lock_guard lock(FLock);
    count = FQueue.size();
  }
  for (; count > 0; --count) {
    TItem item;
    {
      std::lock_guard lock(FLock);
      if (FQueue.empty()) break;
      item = std::move(FQueue.front());
      FQueue.pop_front();
    }
    if (item.Message) {
      if (FHandler) FHandler(*item.Message);
    } else if (item.Task) {
      item.Task();
    }
  }
  RunDueTimers();
}

bool TQueuedUiLoop::IsRegistered(const TTimer* aTimer) const {
  return std::find(FTimers.begin(), FTimers.end(), aTimer) != FTimers.end();
}

std::optional<TQueuedUiLoop::TTime> TQueuedUiLoop::NextDue() const {
  std::optional<TTime> next;
  for (const TTimer* timer : FTimers)
    if (timer->Ready() && (!next || timer->Due() < *next)) next = timer->Due();
  return next;
}

void TQueuedUiLoop::RunDueTimers() {
  // A handler may enable, disable or destroy timers; look each one up again before firing it.
  const std::vector<TTimer*> timers = FTimers;
  for (TTimer* timer : timers) {
    if (!IsRegistered(timer) || !timer->Ready() || timer->Due() > Now()) continue;
    timer->Fire();
  }
}
