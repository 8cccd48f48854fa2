// The Alignment window on the offscreen platform: its texts and the digits' colour by band, the
// peak and its reset, the figure switch, mute, full screen and the size of the digits, from a
// scripted source; and opened by the key A on the main window against the simulated modem, with
// a screenshot.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QTest>


#include "QtTestEnvironment.h"
#include "app/DemoModem.h"
#include "gui/AlignmentWindow.h"
#include "gui/MonitorWindow.h"
#include "serial/SetupAPI.h"

namespace {

class TScriptedSource final : public TAlignSource {
 public:
  TAlignReading Read() override { return Next; }
  TAlignReading Next;
};

TAlignReading RevA(float aRx, float aDrc = 614.4f) {
  TAlignReading r;
  r.Present = true;
  r.NoData = false;
  r.LinkType = evtRevA;
  r.LinkText = "Rev.A";
  r.Figures = {aRx, aDrc, -3.5f};
  r.Cell = 2276;
  r.Sector = 3;
  r.Pn = 276;
  return r;
}

class AlignmentWindowTest : public ::testing::Test {
 protected:
  AlignmentWindowTest() : FUnit(FLoop, FSource, {}), FWindow(FUnit) {
    FUnit.OnSample = [this](const TAlignSnapshot& s) { FWindow.ShowSnapshot(s); };
    FWindow.show();
  }
  // Three samples of aReading: the smoothing has settled on it.
  void Hold(const TAlignReading& aReading) {
    FSource.Next = aReading;
    for (int i = 0; i < 3; ++i) FUnit.Sample();
  }
  QString Text(QLabel* aLabel) { return aLabel->text(); }
  QColor ValueColor() { return FWindow.ValueLabel()->palette().color(QPalette::WindowText); }

  TQtUiLoop FLoop;
  TScriptedSource FSource;
  TAlignUnit FUnit;
  TAlignmentWindow FWindow;
};

}  // namespace

TEST_F(AlignmentWindowTest, ShowsTheFigureInItsBandsColourWithThePeakAndTheLinkType) {
  EXPECT_EQ(FWindow.windowTitle(), QStringLiteral("Alignment"));
  struct TCase {
    float Rx;
    const char* Text;
    const char* Band;
    QColor Color;
  };
  const TCase cases[] = {
      {-60, "-60.0", "Excelent.", QColor(0, 255, 0)},
      {-88, "-88.0", "Good.", QColor(255, 216, 0)},
      {-97.5f, "-97.5", "Bad.", QColor(255, 0, 0)},
  };
  for (const TCase& c : cases) {
    Hold(RevA(c.Rx));
    EXPECT_EQ(Text(FWindow.ValueLabel()), QString::fromLatin1(c.Text));
    EXPECT_EQ(Text(FWindow.BandLabel()), QString::fromLatin1(c.Band));
    EXPECT_EQ(ValueColor(), c.Color) << c.Text;
  }
  EXPECT_EQ(Text(FWindow.FigureLabel()), QStringLiteral("RX (dBm)"));
  EXPECT_EQ(Text(FWindow.LinkLabel()), QStringLiteral("Rev.A"));
  EXPECT_TRUE(Text(FWindow.PeakLabel()).startsWith(QStringLiteral("Peak -60.0 dBm at "))) << Text(FWindow.PeakLabel()).toStdString();
  EXPECT_TRUE(Text(FWindow.PeakLabel()).endsWith(QStringLiteral(", cell 2276 sector 3 PN 276")));
  ASSERT_TRUE(FWindow.Bar()->Value() && FWindow.Bar()->Peak());
  EXPECT_NEAR(*FWindow.Bar()->Value(), 12.5 / 60, 1e-9);
  EXPECT_NEAR(*FWindow.Bar()->Peak(), 50.0 / 60, 1e-9);
  EXPECT_EQ(FWindow.History()->Values().size(), 9u);

  Hold(TAlignReading{});
  EXPECT_EQ(Text(FWindow.ValueLabel()), QStringLiteral("no signal"));
  EXPECT_EQ(Text(FWindow.BandLabel()), QStringLiteral("no modem"));
  EXPECT_FALSE(FWindow.Bar()->Value());
  EXPECT_EQ(Text(FWindow.LinkLabel()), QStringLiteral("no link"));
}

TEST_F(AlignmentWindowTest, KeysAndButtonsResetThePeakSwitchTheFigureAndMute) {
  Hold(RevA(-60));
  Hold(RevA(-80));
  QTest::keyClick(&FWindow, Qt::Key_R);
  EXPECT_EQ(Text(FWindow.PeakLabel()), QStringLiteral("Peak: none yet"));
  FUnit.Sample();
  EXPECT_TRUE(Text(FWindow.PeakLabel()).startsWith(QStringLiteral("Peak -80.0 dBm")));

  QTest::keyClick(&FWindow, Qt::Key_F);
  EXPECT_EQ(Text(FWindow.FigureLabel()), QStringLiteral("DRC (kbit/s)"));
  EXPECT_EQ(Text(FWindow.ValueLabel()), QStringLiteral("614.4"));
  FWindow.FigureButton()->click();
  EXPECT_EQ(Text(FWindow.FigureLabel()), QStringLiteral("Ec/Io (dB)"));
  EXPECT_EQ(Text(FWindow.ValueLabel()), QStringLiteral("-3.5"));
  EXPECT_EQ(ValueColor(), QColor(0, 255, 0));

  QTest::keyClick(&FWindow, Qt::Key_M);
  EXPECT_TRUE(FUnit.Muted());
  EXPECT_EQ(FWindow.MuteButton()->text(), QStringLiteral("Unmute (M)"));
  FWindow.MuteButton()->click();
  EXPECT_FALSE(FUnit.Muted());
  FWindow.ResetButton()->click();
  EXPECT_EQ(Text(FWindow.PeakLabel()), QStringLiteral("Peak: none yet"));

  QTest::keyClick(&FWindow, Qt::Key_F11);
  EXPECT_TRUE(FWindow.windowState() & Qt::WindowFullScreen);
  QTest::keyClick(&FWindow, Qt::Key_Escape);
  EXPECT_FALSE(FWindow.windowState() & Qt::WindowFullScreen);
}

TEST_F(AlignmentWindowTest, DigitsAreAtLeast96PixelsAndGrowWithTheWindow) {
  Hold(RevA(-100.5f));
  for (const QSize size : {QSize(480, 400), QSize(640, 520), QSize(1280, 960)}) {
    FWindow.resize(size);
    QCoreApplication::processEvents();
    const int pixels = FWindow.ValueLabel()->font().pixelSize();
    EXPECT_GE(pixels, 96) << size.width();
    EXPECT_EQ(pixels, FWindow.DigitPixels());
    // The figure fits its label at every size.
    EXPECT_LE(FWindow.ValueLabel()->fontMetrics().horizontalAdvance(Text(FWindow.ValueLabel())), FWindow.ValueLabel()->width())
        << size.width();
  }
  EXPECT_GE(FWindow.ValueLabel()->font().pixelSize(), 200);
}

namespace {

// The window program as --demo runs it.
class AlignmentDemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDemo = std::make_unique<TDemoModem>(FTable, "reva");
    TMainFmOptions options;
    options.PortTable = &FTable;
    // No serial device is listed: the simulated modem is the only port there is.
    options.EnumerateComPorts = RegisteredPortsOnly(FTable);
    FMonitor = std::make_unique<TMonitorWindow>(std::move(options));
    FMonitor->Alignment().SetSettings({}, false);  // no sound server is asked for here
    FMonitor->Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&FMonitor->Window(), 30000));
  }
  void TearDown() override {
    if (FMonitor) FMonitor->Window().close();
    FMonitor.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    FDemo.reset();
  }

  TPortTable FTable;
  std::unique_ptr<TDemoModem> FDemo;
  std::unique_ptr<TMonitorWindow> FMonitor;
};

}  // namespace

TEST_F(AlignmentDemoTest, KeyAOpensItWithLiveFiguresAndClosingEndsTheMode) {
  EXPECT_EQ(FMonitor->Window().AlignmentAction()->text(), QStringLiteral("Alignment\tA"));
  EXPECT_EQ(FMonitor->Window().contextMenuPolicy(), Qt::ActionsContextMenu);
  ASSERT_TRUE(FMonitor->Window().actions().contains(FMonitor->Window().AlignmentAction()));

  QTest::keyClick(&FMonitor->Window(), Qt::Key_A);
  TAlignmentWindow* window = FMonitor->Alignment().Window();
  ASSERT_TRUE(window);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window, 30000));
  // The modem is found and its figures arrive every 100 ms.
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->ValueLabel()->text().startsWith(QLatin1Char('-')); }, 120000));
  const uint64_t samples = FMonitor->Alignment().Mode()->Unit().Snapshot().Samples;
  QTest::qWait(1000);
  EXPECT_GE(FMonitor->Alignment().Mode()->Unit().Snapshot().Samples, samples + 5);
  EXPECT_EQ(window->LinkLabel()->text(), QStringLiteral("Rev.A"));
  EXPECT_TRUE(window->PeakLabel()->text().contains(QStringLiteral(", cell ")));

  // A minute of history would be the full width; a few seconds show the line begin.
  QTest::qWait(5000);
  EXPECT_TRUE(window->grab().save(QString::fromStdString(ArtefactPath("alignment-window.png"))));

  // The A key again raises the same window; closing it ends the mode.
  QTest::keyClick(&FMonitor->Window(), Qt::Key_A);
  EXPECT_EQ(FMonitor->Alignment().Window(), window);
  window->close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return FMonitor->Alignment().Window() == nullptr; }, 10000));
  EXPECT_EQ(FMonitor->Alignment().Mode(), nullptr);
}
