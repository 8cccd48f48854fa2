// The main window on the offscreen platform without a modem: its initial texts and layout, the
// charts painted from the logic's data, "Select modem", the message boxes, the actions and the
// key preview.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMovie>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <filesystem>

#include "QtTestEnvironment.h"
#include "common/WindowMessages.h"
#include "gui/AuricStyle.h"
#include "gui/ModemSelectDialog.h"
#include "gui/MonitorWindow.h"
#include "gui/ReportWindow.h"
#include "gui/SignalChartWidgets.h"

namespace {

TMainFmOptions NoModem() {
  TMainFmOptions options;
  options.EnumerateComPorts = [] { return TPortEntries(); };
  options.StarterDelay = std::nullopt;  // the test posts the search itself
  return options;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FMonitor = std::make_unique<TMonitorWindow>(NoModem());
    Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window(), 30000));
  }
  void TearDown() override {
    Window().close();
    FMonitor.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  TMainWindow& Window() { return FMonitor->Window(); }
  TMainFm& Logic() { return FMonitor->Logic(); }

  std::unique_ptr<TMonitorWindow> FMonitor;
};

struct TSeenBox {
  QString Title, Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  Qt::WindowModality Modality = Qt::NonModal;
  QMessageBox::StandardButtons Buttons;
};

// Answers the next message box with OK and tells what it showed.
QTimer* AnswerBox(TSeenBox& aSeen, bool& aAnswered) {
  return AnswerModal([&aSeen, &aAnswered](QWidget* aModal) {
    auto* box = qobject_cast<QMessageBox*>(aModal);
    if (!box) return false;
    aSeen = {box->windowTitle(), box->text(), box->icon(), box->windowModality(), box->standardButtons()};
    aAnswered = true;
    box->button(QMessageBox::Ok)->click();
    return true;
  });
}

}  // namespace

TEST_F(MainWindowTest, OpensWithTheFormsInitialTexts) {
  TMainWindow& w = Window();
  EXPECT_EQ(w.windowTitle(), QStringLiteral("CDMA signal quality"));
  EXPECT_EQ(w.size(), QSize(413, 300));
  EXPECT_GE(w.minimumSize().height(), 300);
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowSystemMenuHint);

  for (int i = 0; i < kMainLabelCount; ++i) {
    const auto label = static_cast<TMainLabel>(i);
    EXPECT_EQ(w.Label(label)->text().toStdString(), kMainLabelInitialTexts[static_cast<size_t>(i)]) << MainLabelName(label);
    EXPECT_EQ(w.Label(label)->text().toStdString(), Logic().LabelText(label)) << MainLabelName(label);
  }
  EXPECT_EQ(w.SignalIconIndex(), kNoDeviceIcon);
  EXPECT_EQ(w.SignalImage()->pixmap().cacheKey(), w.SignalIcon(kNoDeviceIcon).cacheKey());
  for (int i = 0; i < kSignalIconCount; ++i) EXPECT_EQ(w.SignalIcon(i).size(), QSize(48, 48)) << i;
  EXPECT_FALSE(w.BusyImage()->isVisible());
  EXPECT_TRUE(w.BusyMovie()->isValid());
  EXPECT_GT(w.BusyMovie()->frameCount(), 1) << "the busy indicator is an animation";
  EXPECT_TRUE(w.StatusPanel(0)->text().isEmpty());
  EXPECT_TRUE(w.StatusPanel(1)->text().isEmpty());

  // The top band: the tool bar, the connection controls.
  EXPECT_TRUE(w.ToolButton(1)->text().isEmpty());
  EXPECT_FALSE(w.ToolButton(1)->icon().isNull());
  EXPECT_EQ(w.ToolButton(2)->text(), QStringLiteral("Ping"));
  EXPECT_EQ(w.ToolButton(2)->toolTip(), QStringLiteral("Ping"));
  EXPECT_EQ(w.ToolButton(3)->text(), QStringLiteral("Report"));
  EXPECT_EQ(w.ToolButton(3)->toolTip(), QStringLiteral("Report"));
  EXPECT_EQ(w.ToolButton(3)->popupMode(), QToolButton::MenuButtonPopup);
  ASSERT_EQ(w.ToolButton(3)->menu(), w.ShowReportPopupMenu());
  ASSERT_EQ(w.ShowReportPopupMenu()->actions().size(), 1);
  EXPECT_EQ(w.ShowReportPopupMenu()->actions().front()->text(), QStringLiteral("Send report"));
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(w.ToolButton(i)->size(), QSize(52, 48)) << i;
  EXPECT_FALSE(w.Connections()->isEditable());
  EXPECT_EQ(w.Connections()->geometry(), QRect(176, 3, 145, 21));
  EXPECT_EQ(w.ConnectButton()->text(), QStringLiteral("Connect"));
  EXPECT_EQ(w.ConnectButton()->geometry(), QRect(327, 3, 75, 21));

  // The middle: Chart1 65 wide, Chart2 the rest, both on the style's disabled-panel colour;
  // the histories hold half of Chart2's width.
  EXPECT_EQ(w.Chart1()->size(), QSize(65, 156));
  EXPECT_EQ(w.Chart2()->size(), QSize(348, 156));
  EXPECT_EQ(Logic().MaxChartXPoints(), 174);
  EXPECT_EQ(w.Chart1()->Background(), DisabledPanelColor());
  EXPECT_EQ(w.Chart2()->Background(), DisabledPanelColor());

  QWidget* shape1 = w.findChild<QWidget*>(QStringLiteral("Shape1"));
  QWidget* shape2 = w.findChild<QWidget*>(QStringLiteral("Shape2"));
  ASSERT_TRUE(shape1 && shape2);
  EXPECT_EQ(shape1->size(), QSize(13, 13));
  EXPECT_LT(shape1->x(), w.Label(TMainLabel::Label7)->x());
  EXPECT_LT(shape2->x(), w.Label(TMainLabel::Label8)->x());
  EXPECT_TRUE(w.Label(TMainLabel::Label2)->font().bold());
  EXPECT_TRUE(w.Label(TMainLabel::Label3)->font().bold());
  EXPECT_EQ(w.Label(TMainLabel::Label5)->font().pixelSize(), 12);
  EXPECT_EQ(w.font().pixelSize(), 11);
}

TEST_F(MainWindowTest, EveryLinkTypeTextFitsItsLabelBetweenTheIconAndTheSeparator) {
  QLabel* label = Window().Label(TMainLabel::Label2);
  QWidget* separator = Window().findChild<QWidget*>(QStringLiteral("Separator1"));
  ASSERT_TRUE(separator);
  EXPECT_GE(label->x(), Window().SignalImage()->geometry().right() + 1);
  EXPECT_LE(label->geometry().right(), separator->x());
  for (const char* text : {"undefined", "1x", "Rev.0", "Rev.A", "Rev.B", "Rev.B+", "Sleep", "n/a"}) {
    const int needed = label->fontMetrics().horizontalAdvance(QString::fromUtf8(text));
    EXPECT_LE(needed, label->contentsRect().width()) << text;
  }
}

TEST_F(MainWindowTest, ASearchWithoutAnyPortEndsInDeviceNotFound) {
  FMonitor->Loop().Target().PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
  ASSERT_TRUE(QTest::qWaitFor([&] { return Window().StatusPanel(1)->text() == QStringLiteral("device not found."); }, 30000));
  EXPECT_FALSE(Window().BusyImage()->isVisible());
  EXPECT_EQ(Window().SignalIconIndex(), kNoDeviceIcon);
  EXPECT_EQ(Window().StatusPanel(1)->text().toStdString(), Logic().StatusText());
}

TEST_F(MainWindowTest, ChartsPaintTheLogicsHistoriesAndDecorations) {
  TMainFm& logic = Logic();
  for (float tx : {-50.0f, 8.0f, 24.6f}) logic.FeedTxLine(tx);
  logic.FeedDrcLineRevA(614.4f);
  logic.FeedRxScale(-85.4f);
  Window().ChartsChanged(logic.ChartData());
  // Grabbing paints both charts.
  const QPixmap shot = Window().grab();
  ASSERT_FALSE(shot.isNull());

  TRxScaleChart* chart1 = Window().Chart1();
  THistoryChart* chart2 = Window().Chart2();
  EXPECT_EQ(chart2->TxLine(), logic.ChartData().TxLine);
  EXPECT_EQ(chart2->DrcLine(), logic.ChartData().DrcLine);
  EXPECT_DOUBLE_EQ(chart1->RxBar(), logic.ChartData().RxBar);

  // The fixed axes: 0 at the bottom row, the maximum at the top.
  EXPECT_EQ(chart1->ValueToRow(20), 0);
  EXPECT_EQ(chart1->ValueToRow(0), 155);
  EXPECT_EQ(chart2->ValueToRow(22), 0);
  EXPECT_EQ(chart2->ValueToRow(0), 155);

  // What was drawn over each chart is the logic's geometry, with each chart's right edge in
  // its parent's coordinates.
  const TChartDecorations expected1 = Chart1Decorations(156, 65, chart1->RxBar(), [&](double v) { return chart1->ValueToRow(v); });
  EXPECT_EQ(chart1->Decorations().Lines, expected1.Lines);
  const TChartDecorations expected2 = Chart2Decorations(156, 413);
  EXPECT_EQ(chart2->Decorations().Lines, expected2.Lines);
  ASSERT_EQ(chart2->Decorations().Texts.size(), 3u);
  EXPECT_EQ(chart2->Decorations().Texts, expected2.Texts);
  EXPECT_EQ(chart2->Decorations().Texts[0].Text, "Excelent.");
  EXPECT_EQ(chart1->ScaleRect(), QRect(40, 2, 25, 152));
}

TEST_F(MainWindowTest, SelectModemCancelsOnEscapeEnterAndCancelAndGivesTheMarkedLine) {
  const std::vector<std::string> lines = {"Modem #1 COM5    A", "Modem #2 COM12   B"};
  struct TCase {
    const char* Name;
    std::function<void(TModemSelectDialog*)> Act;
    std::optional<size_t> Expected;
  };
  const TCase cases[] = {
      {"Escape", [](TModemSelectDialog* d) { QTest::keyClick(d->ListView1(), Qt::Key_Escape); }, std::nullopt},
      {"Enter", [](TModemSelectDialog* d) { QTest::keyClick(d->ListView1(), Qt::Key_Return); }, std::nullopt},
      {"Cancel", [](TModemSelectDialog* d) { d->CancelButton()->click(); }, std::nullopt},
      {"OK on the first line", [](TModemSelectDialog* d) { d->OkButton()->click(); }, 0},
      {"OK on the second line",
       [](TModemSelectDialog* d) {
         d->ListView1()->setCurrentItem(d->ListView1()->topLevelItem(1));
         d->OkButton()->click();
       },
       1},
  };
  for (const TCase& c : cases) {
    bool asked = false;
    QString title;
    QStringList shown;
    bool cancelIsDefault = false;
    AnswerModal([&](QWidget* aModal) {
      auto* dialog = dynamic_cast<TModemSelectDialog*>(aModal);
      if (!dialog) return false;
      asked = true;
      title = dialog->windowTitle();
      for (int i = 0; i < dialog->ListView1()->topLevelItemCount(); ++i) shown << dialog->ListView1()->topLevelItem(i)->text(0);
      cancelIsDefault = dialog->CancelButton()->isDefault() && !dialog->OkButton()->isDefault();
      c.Act(dialog);
      return true;
    });
    const std::optional<size_t> choice = Window().SelectModem(lines);
    EXPECT_TRUE(asked) << c.Name;
    EXPECT_EQ(choice, c.Expected) << c.Name;
    EXPECT_EQ(title, QStringLiteral("Select modem")) << c.Name;
    EXPECT_EQ(shown, (QStringList{QString::fromStdString(lines[0]), QString::fromStdString(lines[1])})) << c.Name;
    EXPECT_TRUE(cancelIsDefault) << c.Name;
  }
}

TEST_F(MainWindowTest, MessageBoxesAreCaptionedAndIconedByKindAndModal) {
  const std::pair<TMessageBoxKind, QMessageBox::Icon> kinds[] = {
      {TMessageBoxKind::Information, QMessageBox::Information},
      {TMessageBoxKind::Warning, QMessageBox::Warning},
      {TMessageBoxKind::Error, QMessageBox::Critical},
  };
  for (const auto& [kind, icon] : kinds) {
    TSeenBox seen;
    bool answered = false;
    AnswerBox(seen, answered);
    Window().ShowMessageBox("telvo", "a <b>text</b>", kind);
    ASSERT_TRUE(answered);
    EXPECT_EQ(seen.Title, QStringLiteral("telvo"));
    EXPECT_EQ(seen.Text, QStringLiteral("a <b>text</b>"));
    EXPECT_EQ(seen.Icon, icon);
    EXPECT_EQ(seen.Modality, Qt::ApplicationModal);
    EXPECT_EQ(seen.Buttons, QMessageBox::Ok);
  }
}

TEST_F(MainWindowTest, PingAndSendReportAnswerWithTheirBoxes) {
  TSeenBox seen;
  bool answered = false;
  AnswerBox(seen, answered);
  QTest::mouseClick(Window().ToolButton(2), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 30000));
  EXPECT_EQ(seen.Title, QStringLiteral("telvo"));
  EXPECT_EQ(seen.Icon, QMessageBox::Information);

  // "Send report" from the Report button's menu, to a server that is not there.
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("gui-send-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  Logic().ReportSender().SetTempDirectory(dir.string());
  Logic().ReportSender().SetReportUrl("http://127.0.0.1:1/upload.php");
  answered = false;
  AnswerBox(seen, answered);
  Window().ShowReportPopupMenu()->actions().front()->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 60000));
  EXPECT_EQ(seen.Title, QStringLiteral("telvo"));
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_FALSE(seen.Text.isEmpty());
  EXPECT_TRUE(std::filesystem::is_empty(dir)) << "the report file goes whatever the outcome";
  std::filesystem::remove_all(dir);
}

TEST(MainWindowEvents, KeysForTheWindowReachTheLogicFirstAndCloseComesBeforeTheWindowGoes) {
  TMainWindow window;
  std::vector<int> keys;
  int closes = 0;
  int reportClosed = 0;
  TMainWindowEvents events;
  events.OnKeyDown = [&](uint16_t aKey) { keys.push_back(aKey); };
  events.OnClose = [&] { ++closes; };
  events.OnReportClosed = [&] { ++reportClosed; };
  window.SetEvents(std::move(events));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window, 30000));

  QTest::keyClick(window.Connections(), Qt::Key_A);
  ASSERT_FALSE(keys.empty()) << "the combo box's key is seen by the window";
  EXPECT_EQ(keys.front(), Qt::Key_A);

  // The report window is a window of its own: its keys are not the main window's.
  std::unique_ptr<TReportView> report = window.CreateReportView();
  report->Show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.ReportWindow(), 30000));
  keys.clear();
  QTest::keyClick(window.ReportWindow(), Qt::Key_B);
  EXPECT_TRUE(keys.empty());

  window.close();
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(reportClosed, 1) << "closing the main window closes the report window";
  report.reset();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(Fonts, TheDesignedFamiliesOrTheirClosestInstalledKin) {
  // Whatever is installed, the window font is a proportional sans-serif and the report's column
  // font a fixed-pitch one, at the designed pixel heights.
  const QFontInfo window(WindowFont(11));
  const QFontInfo column(ColumnFont(11));
  EXPECT_EQ(window.pixelSize(), 11) << window.family().toStdString();
  EXPECT_FALSE(window.fixedPitch()) << window.family().toStdString();
  EXPECT_TRUE(column.fixedPitch()) << column.family().toStdString();
  std::printf("window font: %s, column font: %s\n", qPrintable(window.family()), qPrintable(column.family()));
}
