// The window on the offscreen platform, polling the simulated modem, with NetworkManager played by
// python-dbusmock on a private bus: stopping the stand-in while the window is shown holds neither
// the polling cycle nor the connection panel.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTest>

#include <chrono>
#include <cstdio>

#include "NmMock.h"
#include "QtTestEnvironment.h"
#include "app/DemoModem.h"
#include "dialup/NmDialupService.h"
#include "gui/MonitorWindow.h"
#include "serial/SetupAPI.h"

using namespace std::chrono_literals;
using namespace nm_test;

namespace {

using TClock = std::chrono::steady_clock;
constexpr int kWaitMs = 120000;

// When each polling cycle ended, as the window's thread hands the samples out.
class TCycleTimes final : public TCycleSink {
 public:
  void Consume(const TCycleSample&) override { Times.push_back(TClock::now()); }
  void Consume(const TMonitorEvent&) override {}
  std::vector<TClock::time_point> Times;
};

class NmWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FMock = std::make_unique<TNmMock>();
    FMock->AddProfile(kCdmaProfile);
    FMock->AddProfile(kVpnProfile);
    TNmServiceOptions service;
    service.BusAddress = FMock->Address();
    FService = std::make_unique<TNmDialupService>(service);

    FDemo = std::make_unique<TDemoModem>(FTable, "reva");
    TMainFmOptions options;
    options.PortTable = &FTable;
    // No serial device is listed: the simulated modem is the only port there is.
    options.EnumerateComPorts = RegisteredPortsOnly(FTable);
    options.DialupService = FService.get();
    FMonitor = std::make_unique<TMonitorWindow>(std::move(options));
    Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Window(), kWaitMs));
  }
  void TearDown() override {
    if (FMock) FMock->Resume();
    if (FMonitor) Window().close();
    FMonitor.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    FDemo.reset();
    FService.reset();
    FMock.reset();
  }

  TMainWindow& Window() { return FMonitor->Window(); }
  TMainFm& Logic() { return FMonitor->Logic(); }
  QString Status() { return Window().Label(TMainLabel::Label1)->text(); }

  std::unique_ptr<TNmMock> FMock;
  std::unique_ptr<TNmDialupService> FService;
  TPortTable FTable;
  std::unique_ptr<TDemoModem> FDemo;
  std::unique_ptr<TMonitorWindow> FMonitor;
};

}  // namespace

TEST_F(NmWindowTest, TheStandInStoppedHoldsNeitherTheCyclesNorThePanel) {
  // Stopped for longer than any gap allowed below, so that a call waiting for it would show.
  constexpr auto kStopped = 8s;
  constexpr auto kAllowedGap = 4s;  // the cycle is 500 ms; a call waiting for the service, 25 s
  QComboBox* list = Window().Connections();
  QPushButton* button = Window().ConnectButton();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Logic().ModemTimerEnabled(); }, kWaitMs)) << "the modem was not started";
  // The list, learnt in the background, drops down once it is known.
  ASSERT_TRUE(QTest::qWaitFor([&] { return list->count() == 2 && list->view()->isVisible(); }, kWaitMs));
  list->hidePopup();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !list->view()->isVisible(); }, kWaitMs));

  QStringList boxes;
  QTimer* answering = AnswerMessageBoxes(boxes);
  const auto stopAnswering = qScopeGuard([answering] { delete answering; });
  TCycleTimes cycles;
  Logic().AddSink(cycles);
  const auto removeSink = qScopeGuard([&] { Logic().RemoveSink(cycles); });

  FMock->Pause();
  const auto stopped = TClock::now();
  QTest::qWait(1000);
  // The user drops the list down, picks the entry and presses Connect.
  QTest::mouseClick(list, Qt::LeftButton);
  QAbstractItemView* popup = list->view();
  ASSERT_TRUE(QTest::qWaitFor([&] { return popup->isVisible(); }, kWaitMs));
  EXPECT_EQ(list->count(), 2) << "answered from what was learnt";
  list->setCurrentIndex(0);
  list->hidePopup();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Logic().XuRAS1().EntryName() == "Carrier CDMA"; }, kWaitMs));
  QTest::mouseClick(button, Qt::LeftButton);
  while (TClock::now() - stopped < kStopped) QTest::qWait(50);

  TClock::duration longest{};
  auto last = stopped;
  for (const auto& t : cycles.Times) {
    if (t < stopped) continue;
    longest = std::max(longest, t - last);
    last = t;
  }
  longest = std::max(longest, TClock::now() - last);
  std::printf("[ figures  ] window, NetworkManager stopped for 8 s: longest gap between cycles %.0f ms (%zu cycles)\n",
              std::chrono::duration<double, std::milli>(longest).count(), cycles.Times.size());
  EXPECT_LT(longest, kAllowedGap);
  EXPECT_NE(Status(), QStringLiteral("Connected.")) << "the dial waits for the service";

  FMock->Resume();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status() == QStringLiteral("Connected."); }, kWaitMs)) << Status().toStdString();
  EXPECT_EQ(button->text(), QStringLiteral("Disconnect"));
  EXPECT_TRUE(boxes.isEmpty()) << boxes.join(QStringLiteral(" | ")).toStdString();
}
