// The virtual-time loop.
#include "window/VirtualUiLoop.h"

#include <algorithm>

namespace {

// How often an idle caller gets to look at what it waits for.
constexpr std::chrono::milliseconds kRealLook{5};

}  // namespace

TVirtualUiLoop::TVirtualUiLoop(std::chrono::milliseconds aQuietPeriod) : FQuietPeriod(aQuietPeriod) {}

void TVirtualUiLoop::Idle(std::chrono::milliseconds aMax) {
  if (HasQueued() || TakeWoken()) {
    FQuietSoFar = {};
    return;
  }
  if (const auto due = NextDue(); due && *due <= FNow) return;

  const auto start = std::chrono::steady_clock::now();
  const std::chrono::nanoseconds left = FQuietPeriod - FQuietSoFar;
  if (WaitForActivity(std::clamp<std::chrono::nanoseconds>(left, {}, kRealLook))) {
    FQuietSoFar = {};
    return;
  }
  FQuietSoFar += std::chrono::steady_clock::now() - start;
  if (FQuietSoFar < FQuietPeriod) return;

  FQuietSoFar = {};
  const auto due = NextDue();
  FNow = due ? std::max(FNow, *due) : FNow + aMax;
}

void TVirtualUiLoop::AdvanceBy(std::chrono::milliseconds aSpan) {
  const TTime target = FNow + aSpan;
  ProcessMessages();
  for (;;) {
    const auto due = NextDue();
    if (!due || *due > target) break;
    FNow = std::max(FNow, *due);
    ProcessMessages();
  }
  FNow = std::max(FNow, target);
  ProcessMessages();
}

bool TVirtualUiLoop::RunUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aRealLimit) {
  const auto deadline = std::chrono::steady_clock::now() + aRealLimit;
  for (;;) {
    ProcessMessages();
    if (aDone()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    Idle(std::chrono::milliseconds(100));
  }
}
