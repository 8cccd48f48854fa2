// The window against the simulated modem in-process, as --demo runs it: the search, the start,
// the polling cycle shown in the widgets exactly as the logic computed it, the report window,
// and screenshots of both windows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QToolButton>

#include <set>

#include "QtTestEnvironment.h"
#include "app/DemoModem.h"
#include "gui/MonitorWindow.h"
#include "gui/ReportWindow.h"
#include "gui/SignalChartWidgets.h"
#include "serial/SetupAPI.h"

namespace {

constexpr int kStartTimeoutMs = 120000;
constexpr int kCycleTimeoutMs = 30000;

class DemoWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDemo = std::make_unique<TDemoModem>(FTable, "reva");
    TMainFmOptions options;
    options.PortTable = &FTable;
    // No serial device is listed: the simulated modem is the only port there is.
    options.EnumerateComPorts = RegisteredPortsOnly(FTable);
    FMonitor = std::make_unique<TMonitorWindow>(std::move(options));
    Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window(), 30000));
  }
  void TearDown() override {
    if (FMonitor) Window().close();
    FMonitor.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    FDemo.reset();
  }

  TMainWindow& Window() { return FMonitor->Window(); }
  TMainFm& Logic() { return FMonitor->Logic(); }
  std::string ViewText(TMainLabel aLabel) { return Window().Label(aLabel)->text().toStdString(); }

  // Waits for the next polling cycle to end: the last step of a cycle hands the charts their
  // new histories, and the TX history moves every cycle.
  bool WaitForCycle() {
    const std::vector<double> before = Window().Chart2()->TxLine();
    const int cyclesBefore = FCycles;
    const bool moved = QTest::qWaitFor([&] { return Window().Chart2()->TxLine() != before; }, kCycleTimeoutMs);
    if (moved) FCycles = cyclesBefore + 1;
    return moved;
  }

  // Between two cycles the widgets show exactly what the logic computed in the last one.
  void ExpectViewMatchesLogic(const char* aWhen) {
    for (int i = 0; i < kMainLabelCount; ++i) {
      const auto label = static_cast<TMainLabel>(i);
      EXPECT_EQ(ViewText(label), Logic().LabelText(label)) << aWhen << ", " << MainLabelName(label);
    }
    EXPECT_EQ(Window().SignalIconIndex(), Logic().SignalIcon()) << aWhen;
    EXPECT_EQ(Window().SignalImage()->pixmap().cacheKey(), Window().SignalIcon(Logic().SignalIcon()).cacheKey()) << aWhen;
    EXPECT_EQ(Window().StatusPanel(1)->text().toStdString(), Logic().StatusText()) << aWhen;
    const TSignalChartData charts = Logic().ChartData();
    EXPECT_EQ(Window().Chart2()->TxLine(), charts.TxLine) << aWhen;
    EXPECT_EQ(Window().Chart2()->DrcLine(), charts.DrcLine) << aWhen;
    EXPECT_EQ(Window().Chart1()->RxBar(), charts.RxBar) << aWhen;
  }

  bool WaitForRunning() {
    return QTest::qWaitFor([&] { return Logic().ModemTimerEnabled() && ViewText(TMainLabel::Label5) != "RX: n/a"; },
                           kStartTimeoutMs);
  }

  TPortTable FTable;
  std::unique_ptr<TDemoModem> FDemo;
  std::unique_ptr<TMonitorWindow> FMonitor;
  int FCycles = 0;
};

int CountSum(const TReportWindow& aWindow, int aFirstLabel) {
  int sum = 0;
  for (int l = aFirstLabel; l < aFirstLabel + 5; ++l) sum += aWindow.Label(l)->text().toInt();
  return sum;
}

}  // namespace

TEST_F(DemoWindowTest, FindsTheSimulatedModemAndShowsEveryCycleAsTheLogicComputedIt) {
  ASSERT_TRUE(WaitForRunning()) << "status: " << Window().StatusPanel(1)->text().toStdString();
  EXPECT_NE(Window().StatusPanel(1)->text().toStdString().find("COM"), std::string::npos)
      << "the status panel names the port: " << Window().StatusPanel(1)->text().toStdString();
  EXPECT_FALSE(Window().BusyImage()->isVisible());

  std::set<std::string> rx, tx, cells, up, down;
  std::set<int> icons;
  for (int cycle = 0; cycle < 6; ++cycle) {
    ASSERT_TRUE(WaitForCycle()) << "cycle " << cycle;
    ExpectViewMatchesLogic(("cycle " + std::to_string(cycle)).c_str());
    rx.insert(ViewText(TMainLabel::Label5));
    tx.insert(ViewText(TMainLabel::Label7));
    cells.insert(ViewText(TMainLabel::Label6));
    up.insert(ViewText(TMainLabel::Label3));
    down.insert(ViewText(TMainLabel::Label4));
    icons.insert(Window().SignalIconIndex());
  }
  // The form's texts are gone, replaced by the cycle's.
  EXPECT_EQ(rx.count("RX: n/a"), 0u);
  EXPECT_EQ(tx.count("     TX: n/a"), 0u);
  EXPECT_EQ(cells.count("Cell:     Sect:   Pn:"), 0u);
  // The speeds are written once the link type is known, with the rate's own format.
  EXPECT_NE(ViewText(TMainLabel::Label3), "0 Kbps");
  EXPECT_NE(ViewText(TMainLabel::Label4), "0 Kbps");
  EXPECT_EQ(ViewText(TMainLabel::Label3).front(), ' ');
  EXPECT_EQ(ViewText(TMainLabel::Label8).rfind("    DRC: ", 0), 0u) << ViewText(TMainLabel::Label8);
  EXPECT_NE(ViewText(TMainLabel::Label2), "n/a");
  EXPECT_EQ(icons.count(kNoDeviceIcon), 0u) << "a running modem with signal has bars, not the cross";
  // The figures move with the simulated radio.
  EXPECT_GT(rx.size() + tx.size(), 2u);

  // A screenshot of the running window, for the record (the test asserts on texts only).
  EXPECT_TRUE(Window().grab().save(QString::fromStdString(ArtefactPath("main-window.png"))));
}

TEST_F(DemoWindowTest, ReportOpensOneWindowWithTheCountsRefreshedEveryCycleAndFreedWhenClosed) {
  ASSERT_TRUE(WaitForRunning());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WaitForCycle());

  // The main part of the Report button runs the action; the arrow would open its menu.
  QTest::mouseClick(Window().ToolButton(3), Qt::LeftButton, {}, QPoint(12, 24));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window().ReportWindow() && Window().ReportWindow()->isVisible(); }, 30000));
  QPointer<TReportWindow> report = Window().ReportWindow();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(report.data(), 30000));
  EXPECT_EQ(report->windowTitle(), QStringLiteral("Report"));
  EXPECT_EQ(report->size(), QSize(314, 310));
  ASSERT_NE(Logic().ReportFm(), nullptr);

  const auto expectReportMatchesHistograms = [&](const char* aWhen) {
    for (int label = 1; label <= kReportLabelCount; ++label)
      EXPECT_EQ(report->Label(label)->text().toStdString(), Logic().ReportFm()->LabelText(label)) << aWhen << ", Label" << label;
    for (const auto& [key, count] : Logic().RxQuality().ValuesList()) {
      if (key < 0 || key >= 5) continue;
      EXPECT_EQ(report->Label(6 + key)->text().toInt(), count) << aWhen << ", RX key " << key;
    }
    for (const auto& [key, count] : Logic().TxQuality().ValuesList()) {
      if (key < 0 || key >= 5) continue;
      EXPECT_EQ(report->Label(16 + key)->text().toInt(), count) << aWhen << ", TX key " << key;
    }
    const std::vector<std::string> drc = DrcReportLines(Logic().DrcQuality().ValuesList());
    const std::vector<std::string> cells = CellFaceReportLines(Logic().CellFaceQuality().ValuesList());
    QListWidget* drcList = report->List(TReportList::ListBox1);
    QListWidget* cellList = report->List(TReportList::ListBox2);
    if (!drc.empty()) {
      ASSERT_EQ(drcList->count(), static_cast<int>(drc.size())) << aWhen;
      for (int i = 0; i < drcList->count(); ++i) EXPECT_EQ(drcList->item(i)->text().toStdString(), drc[static_cast<size_t>(i)]) << aWhen;
    }
    if (!cells.empty()) {
      ASSERT_EQ(cellList->count(), static_cast<int>(cells.size())) << aWhen;
      for (int i = 0; i < cellList->count(); ++i)
        EXPECT_EQ(cellList->item(i)->text().toStdString(), cells[static_cast<size_t>(i)]) << aWhen;
    }
  };
  expectReportMatchesHistograms("opened");
  EXPECT_EQ(report->Label(1)->text(), QStringLiteral("-30..-80  :"));
  EXPECT_EQ(report->Label(11)->text(), QStringLiteral("-65..-21:"));
  const int txCounted = CountSum(*report, 16);
  EXPECT_GT(txCounted, 0) << "every counted cycle lands in one TX bin";

  // The next counting cycles refresh the open window.
  ASSERT_TRUE(QTest::qWaitFor([&] { return CountSum(*report, 16) > txCounted; }, kCycleTimeoutMs));
  ASSERT_TRUE(WaitForCycle());
  expectReportMatchesHistograms("refreshed");
  EXPECT_GT(report->List(TReportList::ListBox2)->count(), 0) << "the serving sector is counted";

  EXPECT_TRUE(report->grab().save(QString::fromStdString(ArtefactPath("report-window.png"))));

  // "Report" again keeps the one window.
  QTest::mouseClick(Window().ToolButton(3), Qt::LeftButton, {}, QPoint(12, 24));
  QCoreApplication::processEvents();
  EXPECT_EQ(Window().ReportWindow(), report.data());

  // Closing frees it; the next "Report" makes a new one.
  report->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(report.isNull());
  EXPECT_EQ(Logic().ReportFm(), nullptr);
  ASSERT_TRUE(WaitForCycle()) << "the cycle runs on without the window";
  QTest::mouseClick(Window().ToolButton(3), Qt::LeftButton, {}, QPoint(12, 24));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window().ReportWindow() != nullptr; }, 30000));
  EXPECT_NE(Logic().ReportFm(), nullptr);
}
