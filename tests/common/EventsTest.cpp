#include <gtest/gtest.h>

#include <thread>

#include "common/Events.h"

using namespace std::chrono_literals;

TEST(Events, AutoResetIsConsumedByOneWaitManualResetStays) {
  TAutoResetEvent autoEvent;
  TManualResetEvent manualEvent;
  EXPECT_FALSE(autoEvent.WaitFor(1ms));
  autoEvent.Set();
  manualEvent.Set();
  EXPECT_TRUE(autoEvent.WaitFor(0ms));
  EXPECT_FALSE(autoEvent.WaitFor(0ms));
  EXPECT_TRUE(manualEvent.WaitFor(0ms));
  EXPECT_TRUE(manualEvent.WaitFor(0ms));
  manualEvent.Reset();
  EXPECT_FALSE(manualEvent.IsSet());
}

TEST(Events, SetFromAnotherThreadWakesTheWaiter) {
  TAutoResetEvent event;
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    event.Set();
  });
  EXPECT_TRUE(event.WaitFor(5s));
  setter.join();
}
