// The Qt loop behind the window logic: posted messages and tasks in order from any thread, wakes
// that end a wait, and timers that never run inside their own handler.
#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <thread>

#include "common/WindowMessages.h"
#include "gui/QtUiLoop.h"

using namespace std::chrono_literals;

TEST(QtUiLoop, MessagesAndTasksFromAnotherThreadArriveInOrderOnTheLoopThread) {
  TQtUiLoop loop;
  std::vector<std::string> seen;
  bool allOnLoopThread = true;
  QThread* const loopThread = QThread::currentThread();
  loop.SetMessageHandler([&](TWindowMessage& m) {
    allOnLoopThread = allOnLoopThread && QThread::currentThread() == loopThread;
    seen.push_back(std::to_string(m.Msg) + m.Text.value_or(""));
  });
  std::thread poster([&] {
    loop.Target().PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
    loop.Post([&] {
      allOnLoopThread = allOnLoopThread && QThread::currentThread() == loopThread;
      seen.push_back("task");
    });
    loop.Target().PostMessage({WM_MODEM_ERROR, 0, 0, "Modem: gone"});
  });
  poster.join();
  for (int i = 0; i < 1000 && seen.size() < 3; ++i) {
    loop.ProcessMessages();
    loop.Idle(50ms);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1105", "task", "1034Modem: gone"}));
  EXPECT_TRUE(allOnLoopThread);
}

TEST(QtUiLoop, WakeFromAnotherThreadEndsALongIdle) {
  TQtUiLoop loop;
  std::atomic<bool> started{false};
  std::thread waker([&] {
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    loop.Wake();
  });
  started = true;
  // Were the wake lost, this would outlast the test's time-out.
  loop.Idle(std::chrono::hours(1));
  waker.join();
  // A wake that comes before the wait ends the next one at once.
  loop.Wake();
  loop.Idle(std::chrono::hours(1));
  SUCCEED();
}

TEST(QtUiLoop, IdleReturnsByItsLimitWhenNothingHappens) {
  TQtUiLoop loop;
  for (int i = 0; i < 3; ++i) loop.Idle(30ms);
  loop.Idle(0ms);
  SUCCEED();
}

TEST(QtUiLoop, ATimerDoesNotRunInsideItsOwnHandlerAndStopsWhenDisabled) {
  TQtUiLoop loop;
  int ticks = 0;
  int nestedTicks = 0;
  bool inHandler = false;
  std::unique_ptr<TUiTimer> timer;
  timer = loop.CreateTimer(20ms, [&] {
    if (inHandler) ++nestedTicks;
    ++ticks;
    if (ticks == 1) {
      // Pump for several intervals, as a waiting handler does.
      inHandler = true;
      const auto until = std::chrono::steady_clock::now() + 150ms;
      while (std::chrono::steady_clock::now() < until) {
        loop.ProcessMessages();
        loop.Idle(10ms);
      }
      inHandler = false;
    }
  });
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(timer->Interval(), 20ms);
  timer->SetEnabled(true);
  EXPECT_TRUE(timer->Enabled());
  for (int i = 0; i < 2000 && ticks < 3; ++i) {
    loop.ProcessMessages();
    loop.Idle(50ms);
  }
  EXPECT_GE(ticks, 3);
  EXPECT_EQ(nestedTicks, 0);

  timer->SetEnabled(false);
  const int stoppedAt = ticks;
  for (int i = 0; i < 5; ++i) {
    loop.ProcessMessages();
    loop.Idle(30ms);
  }
  EXPECT_EQ(ticks, stoppedAt);
}

TEST(QtUiLoop, ATimerMayBeDestroyedByItsOwnHandler) {
  TQtUiLoop loop;
  std::unique_ptr<TUiTimer> timer;
  bool fired = false;
  timer = loop.CreateTimer(10ms, [&] {
    fired = true;
    timer.reset();
  });
  timer->SetEnabled(true);
  for (int i = 0; i < 2000 && !fired; ++i) {
    loop.ProcessMessages();
    loop.Idle(50ms);
  }
  EXPECT_TRUE(fired);
  EXPECT_EQ(timer, nullptr);
  loop.ProcessMessages();
}
