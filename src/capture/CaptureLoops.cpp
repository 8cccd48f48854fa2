// The loops around a capture and a replay.
#include "capture/CaptureLoops.h"

#include <algorithm>

namespace {

// How long the replay's loop rests in the program's loop when it cannot step; a reader that
// becomes idle or a command that arrives wakes it sooner.
constexpr std::chrono::milliseconds kReplayRest{10};
// How long the replay may stand still before the timers run by virtual time again even where the
// capture's marks say when they ran: a run that has gone another way must not wait for ever (a
// probe for its time-out, say).
constexpr std::chrono::seconds kStandstill{5};

}  // namespace

// ---------------------------------------------------------------------------------------------
// TRecordingUiLoop

std::unique_ptr<TUiTimer> TRecordingUiLoop::CreateTimer(std::chrono::milliseconds aInterval,
                                                         std::function<void()> aOnTimer) {
  const uint8_t number = FTimers++;
  return FInner.CreateTimer(aInterval, [this, number, onTimer = std::move(aOnTimer)] {
    struct TTick {
      TCaptureTap& Tap;
      ~TTick() { Tap.TickEnds(); }
    } tick{FTap};
    FTap.TickBegins(number);
    if (onTimer) onTimer();
  });
}

// ---------------------------------------------------------------------------------------------
// TReplayUiLoop

class TReplayUiLoop::TTimer final : public TUiTimer {
 public:
  TTimer(TReplayUiLoop& aLoop, uint8_t aNumber, std::chrono::milliseconds aInterval, std::function<void()> aOnTimer)
      : FLoop(aLoop), FNumber(aNumber), FInterval(aInterval), FOnTimer(std::move(aOnTimer)) {}
  ~TTimer() override {
    *FAlive = false;
    FLoop.FTimers[FNumber] = nullptr;
  }

  void SetEnabled(bool aEnabled) override {
    if (aEnabled && !FEnabled) FDue = FLoop.Now() + FInterval;
    FEnabled = aEnabled;
  }
  bool Enabled() const override { return FEnabled; }
  std::chrono::milliseconds Interval() const override { return FInterval; }

  bool Ready() const { return FEnabled && !FRunning; }
  std::chrono::nanoseconds Due() const { return FDue; }

  // False when it may not run now (disabled, or in its own handler).
  bool Fire() {
    if (!Ready()) return false;
    FDue = FLoop.Now() + FInterval;
    FRunning = true;
    // The handler may destroy its own timer.
    const std::shared_ptr<bool> alive = FAlive;
    if (FOnTimer) FOnTimer();
    if (*alive) FRunning = false;
    return true;
  }

 private:
  TReplayUiLoop& FLoop;
  const uint8_t FNumber;
  const std::chrono::milliseconds FInterval;
  const std::function<void()> FOnTimer;
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
  bool FEnabled = false;
  bool FRunning = false;
  std::chrono::nanoseconds FDue{0};
};

TReplayUiLoop::TReplayUiLoop(TUiLoop& aInner, TReplaySource& aSource) : FInner(aInner), FSource(aSource) {
  FSource.SetOnProgress([this] { FInner.Wake(); });
}

TReplayUiLoop::~TReplayUiLoop() { FSource.SetOnProgress({}); }

std::unique_ptr<TUiTimer> TReplayUiLoop::CreateTimer(std::chrono::milliseconds aInterval,
                                                      std::function<void()> aOnTimer) {
  const auto number = static_cast<uint8_t>(FTimers.size());
  auto timer = std::make_unique<TTimer>(*this, number, aInterval, std::move(aOnTimer));
  FTimers.push_back(timer.get());
  return timer;
}

TReplayUiLoop::TTimer* TReplayUiLoop::TimerNumbered(uint8_t aNumber) const {
  return aNumber < FTimers.size() ? FTimers[aNumber] : nullptr;
}

std::optional<std::chrono::nanoseconds> TReplayUiLoop::NextDue() const {
  std::optional<std::chrono::nanoseconds> next;
  for (const TTimer* timer : FTimers)
    if (timer && timer->Ready() && (!next || timer->Due() < *next)) next = timer->Due();
  return next;
}

bool TReplayUiLoop::RunDueTimers() {
  bool ran = false;
  const std::chrono::nanoseconds now = Now();
  // A handler may make or destroy timers: each is looked up again by its number.
  for (size_t number = 0; number < FTimers.size(); ++number) {
    TTimer* timer = FTimers[number];
    if (timer && timer->Ready() && timer->Due() <= now) ran = timer->Fire() || ran;
  }
  return ran;
}

void TReplayUiLoop::ProcessMessages() {
  FInner.ProcessMessages();
  if (!FSource.TimersFollowMarks()) RunDueTimers();
}

bool TReplayUiLoop::Advance() {
  if (!FSource.TimersFollowMarks() && RunDueTimers()) return Moved();
  const TReplaySource::TStep step = FSource.Step(NextDue());
  using enum TReplaySource::TStep::TKind;
  switch (step.Kind) {
    case FireTimer:
      // A timer the capture's monitor ran that this one has not enabled is passed by.
      if (TTimer* timer = TimerNumbered(step.Timer)) timer->Fire();
      return Moved();
    case Advanced:
      RunDueTimers();
      return Moved();
    case Released:
    case Ended:
      return Moved();
    case Busy:
    case Blocked:
      break;
  }
  const auto due = NextDue();
  if (!due || std::chrono::steady_clock::now() - FLastMove < kStandstill) return false;
  FSource.AdvanceTo(*due);
  RunDueTimers();
  return Moved();
}

bool TReplayUiLoop::Moved() {
  FLastMove = std::chrono::steady_clock::now();
  return true;
}

void TReplayUiLoop::Idle(std::chrono::milliseconds aMax) {
  if (Advance()) return;
  FInner.Idle(std::min(aMax, kReplayRest));
}
