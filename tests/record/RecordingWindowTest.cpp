// The window's recording controls against the simulated modem: the context menu's two entries,
// "REC" and the count in the first status panel, a name in use told in a box, and the file.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTest>

#include <filesystem>

#include "../stats/TestSupport.h"
#include "QtTestEnvironment.h"
#include "app/DemoModem.h"
#include "gui/MonitorWindow.h"
#include "gui/RecordingControls.h"
#include "serial/SetupAPI.h"

namespace {

constexpr int kLongMs = 60000;

TEST(RecordingWindow, RecordAndStopFromTheMenuWithTheCountInTheStatusPanel) {
  TScratchDir dir;
  TPortTable table;
  TDemoModem demo(table, "reva");
  TMainFmOptions options;
  options.PortTable = &table;
  // No serial device is listed: the simulated modem is the only port there is.
  options.EnumerateComPorts = RegisteredPortsOnly(table);
  TMonitorOptions command;
  command.Gps = "127.0.0.1:" + std::to_string(FreeLocalPort());  // nobody there
  TRecordingControls recording(command);
  {
    TMonitorWindow monitor(std::move(options));
    recording.Attach(monitor);
    monitor.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&monitor.Window(), kLongMs));
    QLabel* panel = monitor.Window().StatusPanel(0);
    const int designWidth = panel->width();
    EXPECT_TRUE(monitor.Window().actions().contains(recording.RecordAction()));
    EXPECT_TRUE(monitor.Window().actions().contains(recording.StopAction()));
    EXPECT_EQ(recording.RecordAction()->text(), QStringLiteral("Record…"));
    EXPECT_TRUE(recording.RecordAction()->isEnabled());
    EXPECT_FALSE(recording.StopAction()->isEnabled());
    EXPECT_TRUE(panel->text().isEmpty());

    // A name in use: a numbered one is taken and said in a box that does not stop the window.
    WriteFileBytes(dir.Path() + "/drive.csv", "earlier\n");
    recording.StartRecording(QString::fromStdString(dir.Path() + "/drive.csv"));
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (box = monitor.Window().findChild<QMessageBox*>("RecordingMessageBox")); }, kLongMs));
    EXPECT_EQ(box->text().toStdString(),
              "log: " + dir.Path() + "/drive.csv exists (a file); writing " + dir.Path() + "/drive-1.csv");
    box->close();
    EXPECT_FALSE(recording.RecordAction()->isEnabled());
    EXPECT_TRUE(recording.StopAction()->isEnabled());

    const QRegularExpression shown(QStringLiteral("^REC ([0-9]+) no gpsd$"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
      const QRegularExpressionMatch match = shown.match(panel->text());
      return match.hasMatch() && match.captured(1).toInt() >= 3;
    }, kLongMs)) << panel->text().toStdString();
    // The longest it says in a long drive still fits the panel.
    EXPECT_LE(panel->fontMetrics().horizontalAdvance(panel->text()), panel->contentsRect().width()) << "the text fits";
    EXPECT_TRUE(panel->toolTip().startsWith(QString::fromStdString("log: recording to " + dir.Path() + "/drive-1.csv: ")));
    recording.StopAction()->trigger();
    EXPECT_TRUE(panel->text().isEmpty());
    EXPECT_EQ(panel->width(), designWidth) << "the panel as designed when nothing is recorded";
    EXPECT_TRUE(recording.RecordAction()->isEnabled());
    recording.Stop();
    monitor.Window().close();
  }
  EXPECT_EQ(ReadFileBytes(dir.Path() + "/drive.csv"), "earlier\n");
  const std::string log = ReadFileBytes(dir.Path() + "/drive-1.csv");
  EXPECT_EQ(log.rfind("time,kind,", 0), 0u);
  size_t samples = 0;
  for (size_t at = 0; (at = log.find(",sample,", at)) != std::string::npos; ++at) ++samples;
  EXPECT_GE(samples, 3u);
}

}  // namespace
