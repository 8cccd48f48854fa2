// The user-interface loop of the window program on Qt's event loop: posted window messages and
// tasks become posted events, the window's timers are QTimers, and waiting pumps Qt's events.
#pragma once

#include <QBasicTimer>
#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "window/UiLoop.h"

// Lives on the thread that runs QApplication; every call but Target(), Post and Wake belongs to
// that thread. Messages posted before a handler is set, or after the loop is gone, are dropped.
class TQtUiLoop final : public QObject, public TUiLoop {
 public:
  TQtUiLoop();
  ~TQtUiLoop() override;
  TQtUiLoop(const TQtUiLoop&) = delete;
  TQtUiLoop& operator=(const TQtUiLoop&) = delete;

  TMessageTarget& Target() override { return FTarget; }
  void SetMessageHandler(TMessageHandler aHandler) override { FHandler = std::move(aHandler); }
  void Post(std::function<void()> aTask) override;
  void Wake() override;
  std::unique_ptr<TUiTimer> CreateTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer) override;

  // Qt's events posted so far, timers that are due and input, then back.
  void ProcessMessages() override;
  // One blocking pass of Qt's event dispatcher, bounded by aMax: returns after the first batch
  // of events (a posted message, a wake, a timer, input) or when aMax has passed.
  void Idle(std::chrono::milliseconds aMax) override;

 protected:
  bool event(QEvent* aEvent) override;
  void timerEvent(QTimerEvent* aEvent) override;

 private:
  class TTarget final : public TMessageTarget {
   public:
    explicit TTarget(TQtUiLoop& aLoop) : FLoop(aLoop) {}
    void PostMessage(TWindowMessage aMessage) override;

   private:
    TQtUiLoop& FLoop;
  };

  TTarget FTarget{*this};
  TMessageHandler FHandler;
  std::atomic<bool> FWoken{false};
  QBasicTimer FIdleLimit;
};
