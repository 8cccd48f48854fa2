// The posted-message queue.
#include "common/MessageTarget.h"

void TMessageQueue::PostMessage(TWindowMessage aMessage) {
  {
    std::lock_guard lock(FLock);
    FQueue.push_back(std::move(aMessage));
  }
  FPosted.notify_one();
}

std::optional<TWindowMessage> TMessageQueue::TryTake() {
  std::lock_guard lock(FLock);
  if (FQueue.empty()) return std::nullopt;
  TWindowMessage m = std::move(FQueue.front());
  FQueue.pop_front();
  return m;
}

std::optional<TWindowMessage> TMessageQueue::WaitTake(std::chrono::milliseconds aTimeout) {
  std::unique_lock lock(FLock);
  if (!FPosted.wait_for(lock, aTimeout, [this] { return !FQueue.empty(); })) return std::nullopt;
  TWindowMessage m = std::move(FQueue.front());
  FQueue.pop_front();
  return m;
}

size_t TMessageQueue::Size() const {
  std::lock_guard lock(FLock);
  return FQueue.size();
}
