// The window logic's loop around a capture: one that marks where the timers ran while a capture
// is made, and one whose timers run on the replay's virtual clock while a capture is played back
// at the maximum speed. Both hand everything else to the program's own loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "capture/RecordingDevice.h"
#include "capture/ReplaySource.h"
#include "window/UiLoop.h"

// Timers are numbered in the order they are made, the same in every run of the same program:
// the number a capture holds names the same timer in its replay.
class TRecordingUiLoop final : public TUiLoop {
 public:
  TRecordingUiLoop(TUiLoop& aInner, TCaptureTap& aTap) : FInner(aInner), FTap(aTap) {}

  TMessageTarget& Target() override { return FInner.Target(); }
  void SetMessageHandler(TMessageHandler aHandler) override { FInner.SetMessageHandler(std::move(aHandler)); }
  void Post(std::function<void()> aTask) override { FInner.Post(std::move(aTask)); }
  void Wake() override { FInner.Wake(); }
  void RequestClose() override { FInner.RequestClose(); }
  bool Closing() const override { return FInner.Closing(); }
  std::unique_ptr<TUiTimer> CreateTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer) override;
  void ProcessMessages() override { FInner.ProcessMessages(); }
  void Idle(std::chrono::milliseconds aMax) override { FInner.Idle(aMax); }

 private:
  TUiLoop& FInner;
  TCaptureTap& FTap;
  uint8_t FTimers = 0;
};

// Messages, tasks and waiting are the program's loop's; time and timers are the replay's.
class TReplayUiLoop final : public TUiLoop {
 public:
  TReplayUiLoop(TUiLoop& aInner, TReplaySource& aSource);
  ~TReplayUiLoop() override;

  TMessageTarget& Target() override { return FInner.Target(); }
  void SetMessageHandler(TMessageHandler aHandler) override { FInner.SetMessageHandler(std::move(aHandler)); }
  void Post(std::function<void()> aTask) override { FInner.Post(std::move(aTask)); }
  void Wake() override { FInner.Wake(); }
  void RequestClose() override { FInner.RequestClose(); }
  bool Closing() const override { return FInner.Closing(); }
  std::unique_ptr<TUiTimer> CreateTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer) override;
  void ProcessMessages() override;
  // One step of the replay when it can make one; otherwise a short rest in the program's loop.
  void Idle(std::chrono::milliseconds aMax) override;

  // One step without resting: true when something happened (a timer ran, bytes went to the
  // reader, time moved). For a program whose own loop does the resting (Qt's).
  bool Advance();
  std::chrono::nanoseconds Now() const { return FSource.VirtualNow(); }

 private:
  class TTimer;
  std::optional<std::chrono::nanoseconds> NextDue() const;
  bool RunDueTimers();
  TTimer* TimerNumbered(uint8_t aNumber) const;
  bool Moved();

  TUiLoop& FInner;
  TReplaySource& FSource;
  std::vector<TTimer*> FTimers;  // by number; a destroyed timer leaves a null
  std::chrono::steady_clock::time_point FLastMove = std::chrono::steady_clock::now();
};
