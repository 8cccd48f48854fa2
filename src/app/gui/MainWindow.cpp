// The main window's widgets at their designed places: the tool bar and connection controls, the
// value row, the two charts, the signal and speed band and the status bar.
#include "gui/MainWindow.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMovie>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

#include "gui/AuricStyle.h"
#include "gui/ModemSelectDialog.h"
#include "gui/ReportWindow.h"
#include "gui/SignalChartWidgets.h"

namespace {

constexpr int kClientWidth = 413;
constexpr int kClientHeight = 300;
// The smallest outer size of 416 x 338, less a sizeable frame and the caption.
constexpr int kMinClientWidth = 400;
constexpr int kMinClientHeight = 300;
constexpr int kBandHeight = 52;
constexpr int kValueRowHeight = 21;
constexpr int kChart1Width = 65;
constexpr int kStatusBarHeight = 19;
constexpr int kStatusPanelWidth = 96;

// A legend square of the value row: filled, with a black edge, never changing.
class TLegendSquare final : public QWidget {
 public:
  TLegendSquare(const QColor& aColor, QWidget* aParent) : QWidget(aParent), FColor(aColor) { setFixedSize(13, 13); }
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(Qt::black);
    painter.setBrush(FColor);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }

 private:
  QColor FColor;
};

// cbConnections: a pick-only list that tells when it opens and when it closes again.
class TConnectionsCombo final : public QComboBox {
 public:
  TConnectionsCombo(QWidget* aParent, const TMainWindowEvents& aEvents) : QComboBox(aParent), FEvents(aEvents) {}

  void showPopup() override {
    if (!FQuietDropDown && FEvents.OnConnectionsDropDown) FEvents.OnConnectionsDropDown();
    QComboBox::showPopup();
    FDropped = view()->isVisible();
  }
  // Opens the list for the logic, which has just filled it: no second refill.
  void DropDownQuietly() {
    FQuietDropDown = true;
    showPopup();
    FQuietDropDown = false;
  }
  void hidePopup() override {
    QComboBox::hidePopup();
    // Qt may hide an already hidden list (a focus change); only a real close-up counts.
    if (!std::exchange(FDropped, false)) return;
    // Qt hides the list before it makes a clicked item current: the close-up is reported once
    // the pick has been made.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (FEvents.OnConnectionsCloseUp) FEvents.OnConnectionsCloseUp();
        },
        Qt::QueuedConnection);
  }

 private:
  const TMainWindowEvents& FEvents;
  bool FDropped = false;
  bool FQuietDropDown = false;
};

QLabel* MakeLabel(QWidget* aParent, const char* aName, const QString& aText, const QFont& aFont) {
  auto* label = new QLabel(aText, aParent);
  label->setObjectName(QString::fromLatin1(aName));
  label->setTextFormat(Qt::PlainText);
  label->setFont(aFont);
  return label;
}

QMessageBox::Icon IconOf(TMessageBoxKind aKind) {
  switch (aKind) {
    case TMessageBoxKind::Information: return QMessageBox::Information;
    case TMessageBoxKind::Warning: return QMessageBox::Warning;
    case TMessageBoxKind::Error: return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

TMainWindow::TMainWindow()
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("MainFm"));
  setWindowTitle(QString::fromUtf8(kMainCaption));
  setWindowIcon(QIcon(QStringLiteral(":/images/cdma-monitor-256.png")));
  setFont(WindowFont(11));

  // LoadSignalIcons: index 0..5 show that many bars, 6 the crossed-out ones.
  for (int i = 0; i < kSignalIconCount; ++i)
    FSignalIcons[static_cast<size_t>(i)] = QPixmap(QStringLiteral(":/images/signal%1.png").arg(i));

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("Client"));
  auto* layout = new QVBoxLayout(client);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(BuildTopBand());
  layout->addWidget(BuildValueRow());
  layout->addWidget(BuildCharts(), 1);
  layout->addWidget(BuildBottomBand());
  setCentralWidget(client);
  BuildStatusBar();

  // The alignment mode from the window's context menu (and the key A, in the key preview).
  FAlignmentAction = new QAction(QStringLiteral("Alignment\tA"), this);
  FAlignmentAction->setObjectName(QStringLiteral("AlignmentAction"));
  connect(FAlignmentAction, &QAction::triggered, this, [this] {
    if (FEvents.OnAlignment) FEvents.OnAlignment();
  });
  addAction(FAlignmentAction);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  setMinimumSize(kMinClientWidth, kMinClientHeight);
  resize(kClientWidth, kClientHeight);
  // Chart2's width is asked for before the first show: lay the form out now, level by level.
  if (QLayout* frame = QMainWindow::layout()) frame->setGeometry(rect());
  layout->setGeometry(client->rect());
  FChart2->parentWidget()->layout()->setGeometry(FChart2->parentWidget()->rect());

  qApp->installEventFilter(this);
}

TMainWindow::~TMainWindow() { qApp->removeEventFilter(this); }

QWidget* TMainWindow::BuildTopBand() {
  auto* panel = new QFrame;
  panel->setObjectName(QStringLiteral("Panel1"));
  panel->setFixedHeight(kBandHeight);

  auto* toolBar = new QToolBar(panel);
  toolBar->setObjectName(QStringLiteral("ToolBar1"));
  toolBar->setMovable(false);
  toolBar->setFloatable(false);
  toolBar->setIconSize(QSize(32, 32));
  toolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  toolBar->setContentsMargins(0, 0, 0, 0);
  toolBar->layout()->setContentsMargins(0, 0, 0, 0);
  toolBar->setGeometry(0, 2, 3 * 52, 48);

  auto* pingAction = new QAction(QIcon(QStringLiteral(":/images/toolbar2.png")), QStringLiteral("Ping"), this);
  pingAction->setObjectName(QStringLiteral("PingAction"));
  pingAction->setToolTip(QStringLiteral("Ping"));
  connect(pingAction, &QAction::triggered, this, [this] {
    if (FEvents.OnPing) FEvents.OnPing();
  });
  auto* reportAction = new QAction(QIcon(QStringLiteral(":/images/toolbar1.png")), QStringLiteral("Report"), this);
  reportAction->setObjectName(QStringLiteral("ReportAction"));
  reportAction->setToolTip(QStringLiteral("Report"));
  connect(reportAction, &QAction::triggered, this, [this] {
    if (FEvents.OnReport) FEvents.OnReport();
  });
  auto* sendReportAction = new QAction(QStringLiteral("Send report"), this);
  sendReportAction->setObjectName(QStringLiteral("SendReportAction"));
  sendReportAction->setToolTip(QStringLiteral("Send report"));
  connect(sendReportAction, &QAction::triggered, this, [this] {
    if (FEvents.OnSendReport) FEvents.OnSendReport();
  });
  FReportMenu = new QMenu(this);
  FReportMenu->setObjectName(QStringLiteral("ShowReportPopupMenu"));
  FReportMenu->setToolTipsVisible(true);
  FReportMenu->addAction(sendReportAction);

  for (int i = 0; i < 3; ++i) {
    auto* button = new QToolButton(toolBar);
    button->setObjectName(QStringLiteral("ToolButton%1").arg(i + 1));
    button->setFixedSize(52, 48);
    button->setIconSize(QSize(32, 32));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolBar->addWidget(button);
    FToolButtons[static_cast<size_t>(i)] = button;
  }
  // ToolButton1 carries image 0 and nothing else.
  FToolButtons[0]->setIcon(QIcon(QStringLiteral(":/images/toolbar0.png")));
  FToolButtons[0]->setToolButtonStyle(Qt::ToolButtonIconOnly);
  FToolButtons[1]->setDefaultAction(pingAction);
  FToolButtons[2]->setDefaultAction(reportAction);
  FToolButtons[2]->setMenu(FReportMenu);
  FToolButtons[2]->setPopupMode(QToolButton::MenuButtonPopup);

  FConnections = new TConnectionsCombo(panel, FEvents);
  FConnections->setObjectName(QStringLiteral("cbConnections"));
  FConnections->setEditable(false);
  FConnections->setGeometry(176, 3, 145, 21);

  FConnect = new QPushButton(QStringLiteral("Connect"), panel);
  FConnect->setObjectName(QStringLiteral("Button1"));
  FConnect->setGeometry(327, 3, 75, 21);
  connect(FConnect, &QPushButton::clicked, this, [this] {
    if (FEvents.OnButton1Click) FEvents.OnButton1Click();
  });

  QLabel* label1 = MakeLabel(panel, "Label1", QString::fromUtf8(kMainLabelInitialTexts[0]), WindowFont(11));
  label1->setGeometry(176, 30, 145, 14);
  FLabels[static_cast<size_t>(TMainLabel::Label1)] = label1;

  // LoadBusyAnimation: the animated GIF, looping; hidden until a search or probe runs.
  FImage1 = new QLabel(panel);
  FImage1->setObjectName(QStringLiteral("Image1"));
  FImage1->setGeometry(319, 30, 84, 9);
  FImage1->setAttribute(Qt::WA_TranslucentBackground);
  FBusyMovie = new QMovie(QStringLiteral(":/images/busy.gif"), QByteArray(), this);
  FBusyMovie->setCacheMode(QMovie::CacheAll);
  FImage1->setMovie(FBusyMovie);
  FImage1->hide();
  return panel;
}

QWidget* TMainWindow::BuildValueRow() {
  auto* panel = new QFrame;
  panel->setObjectName(QStringLiteral("Panel3"));
  panel->setFixedHeight(kValueRowHeight);
  const QFont font = WindowFont(12);
  struct TPlace {
    TMainLabel Label;
    const char* Name;
    int X, Width;
  };
  const TPlace places[] = {
      {TMainLabel::Label5, "Label5", 0, 60},
      {TMainLabel::Label6, "Label6", 60, 145},
      {TMainLabel::Label7, "Label7", 218, 92},
      {TMainLabel::Label8, "Label8", 323, 93},
  };
  for (const TPlace& place : places) {
    QLabel* label = MakeLabel(panel, place.Name, QString::fromUtf8(kMainLabelInitialTexts[static_cast<size_t>(place.Label)]), font);
    label->setGeometry(place.X, 0, place.Width, kValueRowHeight);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    FLabels[static_cast<size_t>(place.Label)] = label;
  }
  auto* shape1 = new TLegendSquare(ToQColor(kTxLineColor), panel);
  shape1->setObjectName(QStringLiteral("Shape1"));
  shape1->move(205, 4);
  auto* shape2 = new TLegendSquare(ToQColor(kDrcLineColor), panel);
  shape2->setObjectName(QStringLiteral("Shape2"));
  shape2->move(310, 4);
  return panel;
}

QWidget* TMainWindow::BuildCharts() {
  auto* row = new QWidget;
  row->setObjectName(QStringLiteral("ChartRow"));
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  FChart1 = new TRxScaleChart(row);
  FChart1->setObjectName(QStringLiteral("Chart1"));
  FChart1->setFixedWidth(kChart1Width);
  FChart2 = new THistoryChart(row);
  FChart2->setObjectName(QStringLiteral("Chart2"));
  // SetupCharts: both take the style's disabled-panel colour.
  FChart1->SetBackground(DisabledPanelColor());
  FChart2->SetBackground(DisabledPanelColor());
  layout->addWidget(FChart1);
  layout->addWidget(FChart2, 1);
  return row;
}

QWidget* TMainWindow::BuildBottomBand() {
  auto* panel = new QFrame;
  panel->setObjectName(QStringLiteral("Panel2"));
  panel->setFixedHeight(kBandHeight);

  FImage2 = new QLabel(panel);
  FImage2->setObjectName(QStringLiteral("Image2"));
  FImage2->setGeometry(0, 0, 48, 48);
  FImage2->setPixmap(FSignalIcons[kNoDeviceIcon]);

  const QFont bold = WindowFont(11, true);
  QLabel* label2 = MakeLabel(panel, "Label2", QString::fromUtf8(kMainLabelInitialTexts[1]), bold);
  // From just right of the icon to the separator: "undefined", the longest link type, needs 56 px.
  label2->setGeometry(50, 16, 58, 16);
  FLabels[static_cast<size_t>(TMainLabel::Label2)] = label2;

  auto* separator = new QFrame(panel);
  separator->setObjectName(QStringLiteral("Separator1"));
  separator->setFrameShape(QFrame::VLine);
  separator->setGeometry(108, 2, 2, kBandHeight - 4);

  auto* image3 = new QLabel(panel);
  image3->setObjectName(QStringLiteral("Image3"));
  image3->setGeometry(117, 8, 32, 32);
  image3->setPixmap(QPixmap(QStringLiteral(":/images/arrow_up.png")));
  QLabel* label3 = MakeLabel(panel, "Label3", QString::fromUtf8(kMainLabelInitialTexts[2]), bold);
  label3->setGeometry(152, 16, 70, 16);
  FLabels[static_cast<size_t>(TMainLabel::Label3)] = label3;

  auto* image4 = new QLabel(panel);
  image4->setObjectName(QStringLiteral("Image4"));
  image4->setGeometry(224, 8, 32, 32);
  image4->setPixmap(QPixmap(QStringLiteral(":/images/arrow_down.png")));
  QLabel* label4 = MakeLabel(panel, "Label4", QString::fromUtf8(kMainLabelInitialTexts[3]), bold);
  label4->setGeometry(259, 16, 150, 16);
  FLabels[static_cast<size_t>(TMainLabel::Label4)] = label4;
  return panel;
}

void TMainWindow::BuildStatusBar() {
  auto* bar = new QStatusBar(this);
  bar->setObjectName(QStringLiteral("StatusBar1"));
  bar->setFixedHeight(kStatusBarHeight);
  bar->setSizeGripEnabled(false);
  for (int i = 0; i < 2; ++i) {
    auto* panel = new QLabel(bar);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setTextFormat(Qt::PlainText);
    panel->setMinimumWidth(kStatusPanelWidth);
    if (i == 0) panel->setFixedWidth(kStatusPanelWidth);
    // The second panel also takes what is left of the bar, as the last panel does.
    bar->addWidget(panel, i);
    FStatusPanels[static_cast<size_t>(i)] = panel;
  }
  setStatusBar(bar);
}

// --- TMainView --------------------------------------------------------------------------------

void TMainWindow::SetLabelText(TMainLabel aLabel, const std::string& aText) {
  Label(aLabel)->setText(QString::fromStdString(aText));
}

void TMainWindow::ShowSignalIcon(int aIndex) {
  if (aIndex < 0 || aIndex >= kSignalIconCount || aIndex == FSignalIcon) return;
  FSignalIcon = aIndex;
  FImage2->setPixmap(FSignalIcons[static_cast<size_t>(aIndex)]);
}

void TMainWindow::SetStatusText(const std::string& aText) { FStatusPanels[1]->setText(QString::fromStdString(aText)); }

void TMainWindow::SetBusyVisible(bool aVisible) {
  // The animation only runs while it can be seen.
  if (aVisible) {
    FImage1->show();
    FBusyMovie->start();
  } else {
    FBusyMovie->stop();
    FImage1->hide();
  }
}

std::optional<size_t> TMainWindow::SelectModem(const std::vector<std::string>& aLines) {
  TModemSelectDialog dialog(aLines, this);
  dialog.exec();
  return dialog.Choice();
}

std::unique_ptr<TReportView> TMainWindow::CreateReportView() {
  auto* window = new TReportWindow(this, [this] {
    if (FEvents.OnReportClosed) FEvents.OnReportClosed();
  });
  FReportWindow = window;
  return std::make_unique<TQtReportView>(window);
}

TReportWindow* TMainWindow::ReportWindow() const { return FReportWindow.data(); }

int TMainWindow::Chart2Width() const { return FChart2->width(); }

void TMainWindow::ChartsChanged(const TSignalChartData& aData) {
  FChart1->SetRxBar(aData.RxBar);
  FChart2->SetLines(aData.TxLine, aData.DrcLine);
}

void TMainWindow::ShowMessageBox(const std::string& aCaption, const std::string& aText, TMessageBoxKind aKind) {
  QMessageBox box(IconOf(aKind), QString::fromStdString(aCaption), QString::fromStdString(aText), QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

void TMainWindow::SetConnectionItems(const std::vector<std::string>& aItems) {
  const QSignalBlocker quiet(FConnections);
  FConnections->clear();
  for (const std::string& item : aItems) FConnections->addItem(QString::fromStdString(item));
  FConnections->setCurrentIndex(-1);
}

void TMainWindow::SelectConnection(int aIndex) {
  FConnections->setCurrentIndex(aIndex >= 0 && aIndex < FConnections->count() ? aIndex : -1);
}

int TMainWindow::SelectedConnection() const { return FConnections->currentIndex(); }

void TMainWindow::DropDownConnections() { static_cast<TConnectionsCombo*>(FConnections)->DropDownQuietly(); }

void TMainWindow::RepaintConnections() { FConnections->repaint(); }

void TMainWindow::SetButton1Caption(const std::string& aCaption) { FConnect->setText(QString::fromStdString(aCaption)); }

// --- window events ----------------------------------------------------------------------------

bool TMainWindow::eventFilter(QObject* aWatched, QEvent* aEvent) {
  // Key preview: every key meant for this window reaches the logic before the focused control.
  if (aEvent->type() == QEvent::KeyPress && aWatched->isWidgetType() &&
      static_cast<QWidget*>(aWatched)->window() == this && FEvents.OnKeyDown) {
    FEvents.OnKeyDown(static_cast<uint16_t>(static_cast<QKeyEvent*>(aEvent)->key() & 0xFFFF));
    const auto* key = static_cast<QKeyEvent*>(aEvent);
    if (key->key() == Qt::Key_A && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && FEvents.OnAlignment) {
      FEvents.OnAlignment();
      return true;
    }
  }
  return QMainWindow::eventFilter(aWatched, aEvent);
}

bool TMainWindow::event(QEvent* aEvent) {
  if (aEvent->type() == QEvent::WindowActivate && FEvents.OnActivate) FEvents.OnActivate();
  return QMainWindow::event(aEvent);
}

void TMainWindow::showEvent(QShowEvent* aEvent) {
  if (!FPlaced) {
    FPlaced = true;
    if (const QScreen* screen = this->screen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  QMainWindow::showEvent(aEvent);
}

void TMainWindow::closeEvent(QCloseEvent* aEvent) {
  if (FEvents.OnClose) FEvents.OnClose();
  if (FReportWindow) FReportWindow->close();
  // A close that comes while "Select modem" or a message box waits (a signal, the window
  // manager) answers it as Cancel would: nothing waits for a user who has gone.
  for (QDialog* dialog : findChildren<QDialog*>())
    if (dialog->isVisible()) dialog->reject();
  aEvent->accept();
}
