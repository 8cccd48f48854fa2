#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "common/Component.h"
#include "common/MessageTarget.h"
#include "common/ShortString.h"
#include "common/SystemError.h"

TEST(SystemError, TrailingBlanksControlsAndFullStopsAreRemoved) {
  EXPECT_EQ(TrimErrorText("The device is not ready.\r\n"), "The device is not ready");
  EXPECT_EQ(TrimErrorText("Odd. text .. \t"), "Odd. text");
  EXPECT_EQ(TrimErrorText("...\r\n"), "");
  EXPECT_EQ(SysErrorMessage(ENOENT), "No such file or directory");
  EXPECT_FALSE(SysErrorMessage(123456).empty());
}

TEST(MessageQueue, PostsFromThreadsArriveInOrderWithTheirTexts) {
  TMessageQueue queue;
  std::thread sender([&] {
    for (int i = 0; i < 100; ++i) queue.PostMessage({1034, 0, i, "Modem: " + std::to_string(i)});
  });
  for (int i = 0; i < 100; ++i) {
    auto m = queue.WaitTake(std::chrono::seconds(5));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->LParam, i);
    EXPECT_EQ(*m->Text, "Modem: " + std::to_string(i));
  }
  sender.join();
  EXPECT_FALSE(queue.TryTake());
}

TEST(Component, OwnerFreesWhatItOwnsAndForgetsWhatIsFreedFirst) {
  static int destroyed = 0;
  struct Counted : TComponent {
    using TComponent::TComponent;
    ~Counted() override { ++destroyed; }
  };
  auto* owner = new TComponent;
  new Counted(owner);
  auto* early = new Counted(owner);
  delete early;
  EXPECT_EQ(destroyed, 1);
  delete owner;
  EXPECT_EQ(destroyed, 2);
}

TEST(ShortString, LongTextsAreCutToCapacity) {
  TShortString<8> s;
  s.Assign("12:34:56 PM");
  EXPECT_EQ(s.Str(), "12:34:56");
  s.Assign(" ");
  EXPECT_TRUE(s == " ");
}
