// The user-interface loops: message and task delivery, timers that do not re-enter themselves,
// virtual time that waits for the real world, the console loop's input and signals, and the
// starter thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "common/WindowMessages.h"
#include "window/ConsoleLoop.h"
#include "window/StarterThread_Unit.h"
#include "window/VirtualUiLoop.h"

using namespace std::chrono_literals;

TEST(VirtualUiLoop, DeliversMessagesAndTasksInPostingOrder) {
  TVirtualUiLoop loop;
  std::vector<std::string> seen;
  loop.SetMessageHandler([&](TWindowMessage& m) { seen.push_back("msg " + std::to_string(m.Msg) + m.Text.value_or("")); });
  loop.Target().PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
  loop.Post([&] { seen.push_back("task"); });
  loop.Target().PostMessage({WM_MODEM_ERROR, 0, 0, "Modem: x"});
  loop.ProcessMessages();
  EXPECT_EQ(seen, (std::vector<std::string>{"msg 1105", "task", "msg 1034Modem: x"}));
}

TEST(VirtualUiLoop, AHandlerPostingToItselfDoesNotHoldProcessMessages) {
  TVirtualUiLoop loop;
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    loop.Post(again);
  };
  loop.Post(again);
  loop.ProcessMessages();
  EXPECT_EQ(runs, 1);
  loop.ProcessMessages();
  EXPECT_EQ(runs, 2);
}

TEST(VirtualUiLoop, TimersFireInVirtualTimeAndNotInsideTheirOwnHandler) {
  TVirtualUiLoop loop;
  std::vector<int64_t> ticks;
  std::unique_ptr<TUiTimer> slow;
  int nested = 0;
  slow = loop.CreateTimer(500ms, [&] {
    ticks.push_back(loop.Elapsed().count());
    // A handler that pumps for longer than its interval does not see itself again.
    if (ticks.size() == 1) {
      loop.AdvanceBy(1200ms);
      nested = static_cast<int>(ticks.size());
    }
  });
  EXPECT_FALSE(slow->Enabled());
  loop.AdvanceBy(1000ms);
  EXPECT_TRUE(ticks.empty()) << "created disabled";
  slow->SetEnabled(true);
  loop.AdvanceBy(400ms);
  EXPECT_TRUE(ticks.empty());
  loop.AdvanceBy(100ms);
  EXPECT_EQ(nested, 1);
  // The ticks that fell due during the long handler come as one, right after it.
  EXPECT_EQ(ticks, (std::vector<int64_t>{1500, 2700}));
  loop.AdvanceBy(500ms);
  EXPECT_EQ(ticks, (std::vector<int64_t>{1500, 2700, 3200}));
  slow->SetEnabled(false);
  loop.AdvanceBy(5000ms);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST(VirtualUiLoop, IdleAdvancesOnlyAfterAQuietPeriodAndThenToTheNextTimer) {
  TVirtualUiLoop loop(50ms);
  int fired = 0;
  auto timer = loop.CreateTimer(2000ms, [&] { ++fired; });
  timer->SetEnabled(true);
  // Nothing happens in the real world: one quiet period later the clock is at the time-out.
  const bool done = loop.RunUntil([&] { return fired > 0; }, 30s);
  EXPECT_TRUE(done);
  EXPECT_EQ(loop.Elapsed(), 2000ms);
}

TEST(VirtualUiLoop, RealActivityKeepsVirtualTimeStill) {
  // A device answering in real time, slower than the quiet period would allow if the clock did
  // not wait: a thread that wakes the loop every few milliseconds for a while, then answers.
  TVirtualUiLoop loop(200ms);
  auto timeout = loop.CreateTimer(2000ms, [] {});
  timeout->SetEnabled(true);
  std::atomic<bool> answered{false};
  std::thread device([&] {
    for (int i = 0; i < 20; ++i) {
      std::this_thread::sleep_for(10ms);
      loop.Wake();
    }
    answered = true;
    loop.Wake();
  });
  ASSERT_TRUE(loop.RunUntil([&] { return answered.load(); }, 60s));
  device.join();
  EXPECT_EQ(loop.Elapsed(), 0ms);
}

TEST(ConsoleLoop, PostsFromAnotherThreadEndIdle) {
  TConsoleLoop loop;
  std::atomic<bool> delivered{false};
  loop.SetMessageHandler([&](TWindowMessage&) { delivered = true; });
  std::thread poster([&] { loop.Target().PostMessage({WM_MODEM_SECTOR, 0, 0, std::nullopt}); });
  for (int i = 0; i < 600 && !delivered; ++i) {
    loop.Idle(100ms);
    loop.ProcessMessages();
  }
  poster.join();
  EXPECT_TRUE(delivered);
}

TEST(ConsoleLoop, TimersRunOnTheRealClock) {
  TConsoleLoop loop;
  int fired = 0;
  auto timer = loop.CreateTimer(20ms, [&] { ++fired; });
  timer->SetEnabled(true);
  for (int i = 0; i < 1000 && fired < 3; ++i) {
    loop.ProcessMessages();
    loop.Idle(1s);
  }
  EXPECT_GE(fired, 3);
}

TEST(ConsoleLoop, ReadsLinesWithoutBlockingAndTellsTheEnd) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  TConsoleLoop loop;
  std::vector<std::string> lines;
  bool ended = false;
  loop.WatchInput(fds[0], [&](const std::string& l) { lines.push_back(l); }, [&] { ended = true; });
  // Nothing typed yet: the loop runs on.
  loop.ProcessMessages();
  loop.Idle(10ms);
  EXPECT_TRUE(lines.empty());
  const std::string typed = "report\r\nse";
  ASSERT_EQ(write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  for (int i = 0; i < 100 && lines.empty(); ++i) {
    loop.Idle(100ms);
    loop.ProcessMessages();
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"report"}));
  ASSERT_EQ(write(fds[1], "nd\nquit", 7), 7);
  close(fds[1]);
  for (int i = 0; i < 100 && !ended; ++i) {
    loop.Idle(100ms);
    loop.ProcessMessages();
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(lines, (std::vector<std::string>{"report", "send", "quit"}));
  EXPECT_FALSE(loop.WatchingInput());
  close(fds[0]);
}

TEST(ConsoleLoop, TermSignalArrivesOnTheLoopThread) {
  TConsoleLoop loop;
  int caught = 0;
  const auto thread = std::this_thread::get_id();
  bool onLoopThread = false;
  loop.CatchSignals([&](int aSignal) {
    caught = aSignal;
    onLoopThread = std::this_thread::get_id() == thread;
  });
  std::raise(SIGTERM);
  for (int i = 0; i < 100 && !caught; ++i) {
    loop.Idle(100ms);
    loop.ProcessMessages();
  }
  EXPECT_EQ(caught, SIGTERM);
  EXPECT_TRUE(onLoopThread);
}

TEST(StarterThread, ClampsItsDelay) {
  EXPECT_EQ(TStarterThread::ClampTimeWait(10), 50u);
  EXPECT_EQ(TStarterThread::ClampTimeWait(500), 500u);
  EXPECT_EQ(TStarterThread::ClampTimeWait(9000), 5000u);
}

TEST(StarterThread, PostsFindModemOnceAfterItsDelay) {
  TMessageQueue queue;
  {
    TStarterThread starter(queue, 10);
    const auto message = queue.WaitTake(30s);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Msg, WM_FIND_MODEM);
    EXPECT_EQ(message->WParam, 0u);
    EXPECT_EQ(message->LParam, 0);
  }
  EXPECT_EQ(queue.Size(), 0u);
}

TEST(StarterThread, DestroyedDuringItsDelayPostsNothing) {
  TMessageQueue queue;
  { TStarterThread starter(queue, 5000); }
  EXPECT_EQ(queue.Size(), 0u);
}
