// Posting a message to a window: the sender never waits, and an attached text belongs to the receiver.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

struct TWindowMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  std::optional<std::string> Text;
};

class TMessageTarget {
 public:
  virtual ~TMessageTarget() = default;
  // Called from any thread; must return without waiting for the receiver.
  virtual void PostMessage(TWindowMessage aMessage) = 0;
};

// A thread-safe queue of posted messages, drained by whoever plays the window's message loop.
class TMessageQueue final : public TMessageTarget {
 public:
  void PostMessage(TWindowMessage aMessage) override;
  std::optional<TWindowMessage> TryTake();
  std::optional<TWindowMessage> WaitTake(std::chrono::milliseconds aTimeout);
  size_t Size() const;

 private:
  mutable std::mutex FLock;
  std::condition_variable FPosted;
  std::deque<TWindowMessage> FQueue;
};
