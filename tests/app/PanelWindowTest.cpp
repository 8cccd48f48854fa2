// The window's connection panel on the offscreen platform against the in-process dial-up
// service: the list drops down at the first activation with the service's entries, a pick and
// the button dial, the caption and the status line follow the connection up and down, and the
// user's drop-down asks the service again.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include "QtTestEnvironment.h"
#include "dialup/DemoDialupService.h"
#include "gui/MonitorWindow.h"

namespace {

constexpr int kWaitMs = 30000;

class PanelWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMainFmOptions options;
    options.EnumerateComPorts = [] { return TPortEntries(); };
    options.StarterDelay = std::nullopt;
    options.DialupService = &FService;
    FMonitor = std::make_unique<TMonitorWindow>(std::move(options));
    Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Window(), kWaitMs));
  }
  void TearDown() override {
    Window().close();
    FMonitor.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  TMainWindow& Window() { return FMonitor->Window(); }
  QString Status() { return Window().Label(TMainLabel::Label1)->text(); }

  TDemoDialupService FService{std::chrono::milliseconds(5)};
  std::unique_ptr<TMonitorWindow> FMonitor;  // last: goes before the service
};

}  // namespace

TEST_F(PanelWindowTest, TheListOpensWithTheEntriesAndAPickAndTheButtonDialAndHangUp) {
  QComboBox* list = Window().Connections();
  QPushButton* button = Window().ConnectButton();
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->view()->isVisible(); }, kWaitMs)) << "dropped down at activation";
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->itemText(0), QString::fromLatin1(TDemoDialupService::kEntryName));
  EXPECT_EQ(list->currentIndex(), -1);

  // Any message box is a failure here; it is answered so that the test goes on.
  QStringList boxes;
  QTimer* answering = AnswerMessageBoxes(boxes);
  const auto stopAnswering = qScopeGuard([answering] { delete answering; });

  // The user picks the entry in the open list.
  QAbstractItemView* popup = list->view();
  QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, popup->visualRect(popup->model()->index(0, 0)).center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !popup->isVisible(); }, kWaitMs));
  EXPECT_EQ(list->currentIndex(), 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return FMonitor->Logic().XuRAS1().EntryName() == TDemoDialupService::kEntryName; },
                              kWaitMs))
      << "taken over at close-up";

  QTest::mouseClick(button, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status() == QStringLiteral("Connected."); }, kWaitMs)) << Status().toStdString();
  EXPECT_EQ(button->text(), QStringLiteral("Disconnect"));

  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(Status(), QStringLiteral("Disconnecting..."));
  ASSERT_TRUE(QTest::qWaitFor([&] { return button->text() == QStringLiteral("Connect"); }, kWaitMs));
  EXPECT_TRUE(Status().isEmpty());
  EXPECT_FALSE(FMonitor->Logic().XuRAS1().Connected());
  EXPECT_TRUE(boxes.isEmpty()) << boxes.join(QStringLiteral(" | ")).toStdString();

  // The user's own drop-down refills the list from the service, here one that has gone away.
  FService.FailEveryCall(RAS_ERR_SERVICE_UNAVAILABLE);
  QTest::mouseClick(list, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.isEmpty(); }, kWaitMs));
  EXPECT_EQ(boxes.front(), QStringLiteral("*** The network connection service cannot be reached"));
  EXPECT_EQ(list->count(), 0);
}
