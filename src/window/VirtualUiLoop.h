// A user-interface loop whose timers run on a virtual clock, so that time-outs, ticks and the
// polling cycle can be driven in tests without waiting real seconds.
#pragma once

#include <chrono>
#include <functional>

#include "window/QueuedUiLoop.h"

// Real devices (a pseudo-terminal, a reader thread) may be on the other side of a wait, and they
// answer in real time. So Idle never lets virtual time pass while the real world is still
// moving: it returns every few real milliseconds for the caller to look again, and advances the
// virtual clock only after a whole quiet period of real time without a post or a wake. The
// quiet period should comfortably exceed the slowest real answer a test expects (sanitizers and
// a loaded machine included); a test that waits for a time-out it means pays one quiet period
// per time-out. The quiet period counts from the last post, wake or timer start, so a wait
// that begins by starting its time-out never inherits quiet time from an earlier wait. When the
// clock does advance, it jumps to the next timer due (or by aMax when none is enabled): nothing
// else can happen in between.
class TVirtualUiLoop final : public TQueuedUiLoop {
 public:
  explicit TVirtualUiLoop(std::chrono::milliseconds aQuietPeriod = std::chrono::seconds(5));

  void SetQuietPeriod(std::chrono::milliseconds aQuietPeriod) { FQuietPeriod = aQuietPeriod; }
  std::chrono::milliseconds QuietPeriod() const { return FQuietPeriod; }

  TTime Now() const override { return FNow; }
  // Virtual milliseconds since the loop was made.
  std::chrono::milliseconds Elapsed() const { return std::chrono::duration_cast<std::chrono::milliseconds>(FNow); }

  void Idle(std::chrono::milliseconds aMax) override;

  // Moves the virtual clock forward by aSpan, stopping at every timer that falls due on the way
  // and delivering what is queued at each step.
  void AdvanceBy(std::chrono::milliseconds aSpan);
  // Pumps (ProcessMessages, then Idle) until aDone holds; false when aRealLimit of real time ran
  // out first.
  bool RunUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aRealLimit = std::chrono::seconds(60));

 private:
  void TimerStarted() override { FQuietSoFar = {}; }

  TTime FNow{};
  std::chrono::milliseconds FQuietPeriod;
  std::chrono::steady_clock::duration FQuietSoFar{};
};
