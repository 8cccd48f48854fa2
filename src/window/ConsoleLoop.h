// A user-interface loop of our own on poll(): posted messages, timers on the monotonic clock,
// lines typed on an input descriptor, and SIGINT/SIGTERM, all handled on the calling thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "window/QueuedUiLoop.h"

class TConsoleLoop final : public TQueuedUiLoop {
 public:
  TConsoleLoop();
  ~TConsoleLoop() override;

  TTime Now() const override { return std::chrono::steady_clock::now().time_since_epoch(); }

  // Reads aFd (standard input) without ever blocking the loop. Each complete line, without its
  // line end, goes to aOnLine in order with the posted messages; at the end of input the rest of
  // a last unterminated line goes too, then aOnEnd runs once and the descriptor is left alone.
  void WatchInput(int aFd, std::function<void(const std::string&)> aOnLine, std::function<void()> aOnEnd);
  bool WatchingInput() const { return FInputFd >= 0; }
  // SIGINT and SIGTERM become calls of aOnSignal (with the signal number) on this thread. One
  // loop at a time may catch them; the previous dispositions come back with the loop's end.
  void CatchSignals(std::function<void(int)> aOnSignal);

  // Also reads whatever input and signals are already waiting.
  void ProcessMessages() override;
  void Idle(std::chrono::milliseconds aMax) override;

 protected:
  void Notify() override;

 private:
  // One poll of the descriptors; queues what it finds.
  void PollSources(int aTimeoutMs);
  void ReadInput();
  void ReadSignals();
  void EndInput();

  int FWakeFd = -1;  // eventfd, written by posts and wakes from any thread
  int FInputFd = -1;
  std::string FInputBuffer;
  std::function<void(const std::string&)> FOnLine;
  std::function<void()> FOnEnd;
  std::function<void(int)> FOnSignal;
  bool FCatchingSignals = false;
};
