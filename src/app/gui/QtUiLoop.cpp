// Posted messages, tasks, wakes and timers of the window program, carried by Qt's event loop.
#include "gui/QtUiLoop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kTaskEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TMessageEvent final : public QEvent {
 public:
  explicit TMessageEvent(TWindowMessage aMessage) : QEvent(kMessageEvent), Message(std::move(aMessage)) {}
  TWindowMessage Message;
};

class TTaskEvent final : public QEvent {
 public:
  explicit TTaskEvent(std::function<void()> aTask) : QEvent(kTaskEvent), Task(std::move(aTask)) {}
  std::function<void()> Task;
};

// A QTimer that never runs inside its own handler: a handler that pumps events skips the ticks
// that fall due meanwhile (QTimer itself never queues missed ticks up).
class TQtTimer final : public TUiTimer {
 public:
  TQtTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer)
      : FInterval(aInterval), FOnTimer(std::move(aOnTimer)), FAlive(std::make_shared<bool>(true)) {
    FTimer.setInterval(FInterval);
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Fire(); });
  }
  ~TQtTimer() override { *FAlive = false; }

  void SetEnabled(bool aEnabled) override {
    if (aEnabled && !FTimer.isActive()) FTimer.start();
    if (!aEnabled) FTimer.stop();
  }
  bool Enabled() const override { return FTimer.isActive(); }
  std::chrono::milliseconds Interval() const override { return FInterval; }

 private:
  void Fire() {
    if (FRunning) return;
    FRunning = true;
    // The handler may destroy its own timer (a window closing from inside a tick).
    const std::shared_ptr<bool> alive = FAlive;
    if (FOnTimer) FOnTimer();
    if (*alive) FRunning = false;
  }

  const std::chrono::milliseconds FInterval;
  const std::function<void()> FOnTimer;
  std::shared_ptr<bool> FAlive;
  QTimer FTimer;
  bool FRunning = false;
};

}  // namespace

TQtUiLoop::TQtUiLoop() = default;

TQtUiLoop::~TQtUiLoop() { FHandler = nullptr; }

void TQtUiLoop::TTarget::PostMessage(TWindowMessage aMessage) {
  QCoreApplication::postEvent(&FLoop, new TMessageEvent(std::move(aMessage)));
}

void TQtUiLoop::Post(std::function<void()> aTask) {
  QCoreApplication::postEvent(this, new TTaskEvent(std::move(aTask)));
}

void TQtUiLoop::Wake() {
  FWoken = true;
  // Posting is what wakes a dispatcher that blocks in Idle, from any thread.
  QCoreApplication::postEvent(this, new QEvent(kWakeEvent));
}

std::unique_ptr<TUiTimer> TQtUiLoop::CreateTimer(std::chrono::milliseconds aInterval, std::function<void()> aOnTimer) {
  return std::make_unique<TQtTimer>(aInterval, std::move(aOnTimer));
}

void TQtUiLoop::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TQtUiLoop::Idle(std::chrono::milliseconds aMax) {
  if (FWoken.exchange(false)) return;
  if (aMax.count() <= 0) {
    ProcessMessages();
    return;
  }
  // The limit is a timer of our own, so that the dispatcher's blocking wait ends by then.
  FIdleLimit.start(static_cast<int>(aMax.count()), Qt::PreciseTimer, this);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  FIdleLimit.stop();
  FWoken = false;
}

bool TQtUiLoop::event(QEvent* aEvent) {
  if (aEvent->type() == kMessageEvent) {
    auto* message = static_cast<TMessageEvent*>(aEvent);
    if (FHandler) FHandler(message->Message);
    return true;
  }
  if (aEvent->type() == kTaskEvent) {
    auto* task = static_cast<TTaskEvent*>(aEvent);
    if (task->Task) task->Task();
    return true;
  }
  if (aEvent->type() == kWakeEvent) return true;
  return QObject::event(aEvent);
}

void TQtUiLoop::timerEvent(QTimerEvent* aEvent) {
  // The idle limit only has to end the dispatcher's wait; it fires once per Idle.
  if (aEvent->timerId() == FIdleLimit.timerId()) {
    FIdleLimit.stop();
    return;
  }
  QObject::timerEvent(aEvent);
}
