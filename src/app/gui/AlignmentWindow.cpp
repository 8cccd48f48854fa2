// The Alignment window and the controller that gives it its mode.
#include "gui/AlignmentWindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

#include "align/AlignText.h"
#include "gui/AuricStyle.h"

namespace {

constexpr int kDesignWidth = 640;
constexpr int kDesignHeight = 560;
constexpr int kLeastDigitPixels = 96;
// Black ground, white text, and the buttons drawn plainly: what stays legible in sunlight.
constexpr char kStyleSheet[] =
    "#AlignmentFm { background-color: #000000; }"
    "#AlignmentFm QLabel { color: #ffffff; background: transparent; }"
    "#AlignmentFm QPushButton { color: #ffffff; background-color: #202020; border: 2px solid #ffffff;"
    " padding: 6px 8px; font-weight: bold; }"
    "#AlignmentFm QPushButton:pressed { background-color: #ffffff; color: #000000; }"
    "#AlignNotice { color: #ffd800; }";
const QColor kNoSignalColor(0xd0, 0xd0, 0xd0);
const QColor kTrackColor(0x30, 0x30, 0x30);
const QColor kPeakColor(0xff, 0xff, 0xff);

QColor ColorOf(TAlignBand aBand) {
  const TRgb c = AlignBandColor(aBand);
  return QColor(c.R, c.G, c.B);
}

QLabel* MakeLabel(QWidget* aParent, const char* aName, int aPixels, bool aBold) {
  auto* label = new QLabel(aParent);
  label->setObjectName(QString::fromLatin1(aName));
  label->setTextFormat(Qt::PlainText);
  label->setFont(WindowFont(aPixels, aBold));
  return label;
}

void SetTextColor(QLabel* aLabel, const QColor& aColor) {
  QPalette palette = aLabel->palette();
  palette.setColor(QPalette::WindowText, aColor);
  aLabel->setPalette(palette);
  aLabel->setStyleSheet(QStringLiteral("color: %1;").arg(aColor.name()));
}

}  // namespace

// --- the bar ------------------------------------------------------------------------------------

TAlignBar::TAlignBar(QWidget* aParent) : QWidget(aParent) {
  setObjectName(QStringLiteral("AlignBar"));
  setMinimumHeight(36);
}

void TAlignBar::SetValues(std::optional<double> aValue, std::optional<double> aPeak, const QColor& aColor) {
  FValue = aValue;
  FPeak = aPeak;
  FColor = aColor;
  update();
}

void TAlignBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect track = rect().adjusted(0, 4, -1, -5);
  painter.fillRect(track, kTrackColor);
  if (FValue) painter.fillRect(QRect(track.left(), track.top(), static_cast<int>(std::lround(*FValue * track.width())), track.height()), FColor);
  if (FPeak) {
    const int x = track.left() + static_cast<int>(std::lround(*FPeak * track.width()));
    painter.fillRect(QRect(x - 2, 0, 5, height()), kPeakColor);
  }
}

// --- the history --------------------------------------------------------------------------------

TAlignHistory::TAlignHistory(QWidget* aParent) : QWidget(aParent) {
  setObjectName(QStringLiteral("AlignHistory"));
  setMinimumHeight(90);
}

void TAlignHistory::SetHistory(std::vector<std::optional<float>> aValues, const TAlignRange& aRange, std::optional<double> aPeak) {
  FValues = std::move(aValues);
  FRange = aRange;
  FPeak = aPeak;
  update();
}

void TAlignHistory::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillRect(rect(), QColor(0x10, 0x10, 0x10));
  // The charts' three bands as faint lines.
  painter.setPen(QPen(QColor(0x40, 0x40, 0x40), 1));
  for (int i = 1; i < 3; ++i) painter.drawLine(0, height() * i / 3, width(), height() * i / 3);
  const auto rowOf = [this](double aValue) { return (height() - 3) * (1.0 - RangePosition(aValue, FRange)) + 1; };
  if (FPeak) {
    painter.setPen(QPen(kPeakColor, 1, Qt::DashLine));
    painter.drawLine(QPointF(0, rowOf(*FPeak)), QPointF(width(), rowOf(*FPeak)));
  }
  // Sixty seconds span the width; the newest sample sits at the right edge.
  const double step = static_cast<double>(width()) / static_cast<double>(TAlignUnit::kHistorySamples - 1);
  const double first = width() - step * static_cast<double>(FValues.size() > 0 ? FValues.size() - 1 : 0);
  QPainterPath path;
  bool drawing = false;
  for (size_t i = 0; i < FValues.size(); ++i) {
    if (!FValues[i]) {
      drawing = false;
      continue;
    }
    const QPointF point(first + step * static_cast<double>(i), rowOf(*FValues[i]));
    if (drawing) path.lineTo(point);
    else path.moveTo(point);
    drawing = true;
  }
  painter.setPen(QPen(QColor(0, 255, 0), 2));
  painter.drawPath(path);
}

// --- the window ---------------------------------------------------------------------------------

TAlignmentWindow::TAlignmentWindow(TAlignUnit& aUnit, QWidget* aParent) : QWidget(aParent, Qt::Window), FUnit(aUnit) {
  setObjectName(QStringLiteral("AlignmentFm"));
  setWindowTitle(QStringLiteral("Alignment"));
  setWindowIcon(QIcon(QStringLiteral(":/images/cdma-monitor-256.png")));
  setAttribute(Qt::WA_StyledBackground);
  setStyleSheet(QString::fromLatin1(kStyleSheet));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 12, 16, 12);
  layout->setSpacing(8);

  auto* top = new QHBoxLayout;
  FFigure = MakeLabel(this, "AlignFigure", 26, true);
  FLink = MakeLabel(this, "AlignLink", 26, true);
  top->addWidget(FFigure, 1);
  top->addWidget(FLink, 0, Qt::AlignRight);
  layout->addLayout(top);

  FValue = MakeLabel(this, "AlignValue", kLeastDigitPixels, true);
  FValue->setAlignment(Qt::AlignCenter);
  layout->addWidget(FValue, 1);
  FBand = MakeLabel(this, "AlignBand", 22, true);
  FBand->setAlignment(Qt::AlignCenter);
  layout->addWidget(FBand);

  FPeak = MakeLabel(this, "AlignPeak", 20, false);
  FPeak->setWordWrap(true);
  layout->addWidget(FPeak);
  FBar = new TAlignBar(this);
  layout->addWidget(FBar);
  FHistory = new TAlignHistory(this);
  layout->addWidget(FHistory);

  auto* buttons = new QHBoxLayout;
  const auto button = [this, buttons](const char* aName, const QString& aText, void (TAlignmentWindow::*aAction)()) {
    auto* b = new QPushButton(aText, this);
    b->setObjectName(QString::fromLatin1(aName));
    b->setFont(WindowFont(15, true));
    b->setMinimumWidth(b->sizeHint().width());
    b->setFocusPolicy(Qt::NoFocus);  // the keys belong to the window
    connect(b, &QPushButton::clicked, this, aAction);
    buttons->addWidget(b);
    return b;
  };
  FReset = button("AlignReset", QStringLiteral("Reset peak (R)"), &TAlignmentWindow::ResetPeak);
  FFigureButton = button("AlignFigureButton", QStringLiteral("Figure (F)"), &TAlignmentWindow::NextFigure);
  FMute = button("AlignMute", QStringLiteral("Mute (M)"), &TAlignmentWindow::ToggleMute);
  FFullScreen = button("AlignFullScreen", QStringLiteral("Full screen (F11)"), &TAlignmentWindow::ToggleFullScreen);
  layout->addLayout(buttons);

  auto* volumeRow = new QHBoxLayout;
  auto* volumeCaption = MakeLabel(this, "AlignVolumeCaption", 16, true);
  volumeCaption->setText(QStringLiteral("Volume"));
  volumeRow->addWidget(volumeCaption);
  FVolume = new QSlider(Qt::Horizontal, this);
  FVolume->setObjectName(QStringLiteral("AlignVolume"));
  FVolume->setRange(0, 100);
  FVolume->setValue(static_cast<int>(std::lround(FUnit.Volume() * 100)));
  FVolume->setFocusPolicy(Qt::NoFocus);
  FVolume->setMinimumWidth(160);
  connect(FVolume, &QSlider::valueChanged, this, [this](int aValue) { FUnit.SetVolume(aValue / 100.0); });
  volumeRow->addWidget(FVolume);
  volumeRow->addStretch(1);
  layout->addLayout(volumeRow);

  FNotice = MakeLabel(this, "AlignNotice", 16, true);
  FNotice->setWordWrap(true);
  FNotice->hide();
  layout->addWidget(FNotice);

  resize(kDesignWidth, kDesignHeight);
  setMinimumSize(480, 400);
  Refresh();
}

int TAlignmentWindow::DigitPixels() const { return std::max(kLeastDigitPixels, std::min(height() / 4, width() / 6)); }

void TAlignmentWindow::Refresh() { ShowSnapshot(FUnit.Snapshot()); }

void TAlignmentWindow::ShowSnapshot(const TAlignSnapshot& s) {
  const std::string unit(AlignFigureUnit(s.Figure, s.LinkType));
  FFigure->setText(QStringLiteral("%1 (%2)").arg(QString::fromStdString(std::string(AlignFigureCaption(s.Figure))),
                                                 QString::fromStdString(unit)));
  FLink->setText(QString::fromStdString(s.LinkText.empty() ? std::string("no link") : s.LinkText));
  FMute->setText(s.Muted ? QStringLiteral("Unmute (M)") : QStringLiteral("Mute (M)"));

  const bool signal = s.State == TAlignState::Signal;
  const QColor color = signal ? ColorOf(s.Band) : kNoSignalColor;
  FValue->setText(signal ? QString::fromStdString(AlignValueText(s.Value)) : QStringLiteral("no signal"));
  SetTextColor(FValue, color);
  FBand->setText(QString::fromStdString(signal ? std::string(AlignBandCaption(s.Band)) : s.Reason));
  SetTextColor(FBand, color);

  if (s.Peak) {
    const QString when = QDateTime::fromMSecsSinceEpoch(
                             std::chrono::duration_cast<std::chrono::milliseconds>(s.Peak->Time.time_since_epoch()).count())
                             .toString(QStringLiteral("HH:mm:ss"));
    FPeak->setText(QStringLiteral("Peak %1 %2 at %3, cell %4 sector %5 PN %6")
                       .arg(QString::fromStdString(AlignValueText(s.Peak->Value)), QString::fromStdString(unit), when)
                       .arg(s.Peak->Cell)
                       .arg(s.Peak->Sector)
                       .arg(s.Peak->Pn));
  } else {
    FPeak->setText(QStringLiteral("Peak: none yet"));
  }
  const std::optional<double> peakAt = s.Peak ? std::optional(RangePosition(s.Peak->Value, s.Range)) : std::nullopt;
  FBar->SetValues(signal ? std::optional(RangePosition(s.Value, s.Range)) : std::nullopt, peakAt, color);
  FHistory->SetHistory(FUnit.History(), s.Range, s.Peak ? std::optional(s.Peak->Value) : std::nullopt);
}

void TAlignmentWindow::ShowNotice(const std::string& aText) {
  FNotice->setText(QStringLiteral("Tone: %1").arg(QString::fromStdString(aText)));
  FNotice->show();
}

void TAlignmentWindow::ResetPeak() {
  FUnit.ResetPeak();
  Refresh();
}

void TAlignmentWindow::NextFigure() {
  FUnit.NextFigure();
  Refresh();
}

void TAlignmentWindow::ToggleMute() {
  FUnit.SetMuted(!FUnit.Muted());
  Refresh();
}

void TAlignmentWindow::ToggleFullScreen() {
  if (isFullScreen()) showNormal();
  else showFullScreen();
}

void TAlignmentWindow::keyPressEvent(QKeyEvent* aEvent) {
  if (aEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
    QWidget::keyPressEvent(aEvent);
    return;
  }
  switch (aEvent->key()) {
    case Qt::Key_R: ResetPeak(); break;
    case Qt::Key_F: NextFigure(); break;
    case Qt::Key_M: ToggleMute(); break;
    case Qt::Key_F11: ToggleFullScreen(); break;
    case Qt::Key_Escape:
      if (isFullScreen()) showNormal();
      break;
    default: QWidget::keyPressEvent(aEvent); return;
  }
  aEvent->accept();
}

void TAlignmentWindow::resizeEvent(QResizeEvent* aEvent) {
  FValue->setFont(WindowFont(DigitPixels(), true));
  QWidget::resizeEvent(aEvent);
}

void TAlignmentWindow::closeEvent(QCloseEvent* aEvent) {
  aEvent->accept();
  if (OnClosed) OnClosed();
}

// --- the controller ----------------------------------------------------------------------------

TAlignmentController::~TAlignmentController() {
  *FAlive = false;
  Close();
}

void TAlignmentController::SetSettings(TAlignSettings aSettings, bool aTone) {
  FSettings = std::move(aSettings);
  FTone = aTone;
}

void TAlignmentController::Open() {
  if (!FWindow) {
    FMode = std::make_unique<TAlignMode>(FLogic, FLoop, FSettings, FTone);
    FWindow = std::make_unique<TAlignmentWindow>(FMode->Unit());
    TAlignmentWindow* window = FWindow.get();
    FMode->Unit().OnSample = [window](const TAlignSnapshot& aSnapshot) { window->ShowSnapshot(aSnapshot); };
    FMode->OnNotice = [window](const std::string& aText) { window->ShowNotice(aText); };
    // Closed by the user: the mode ends once the close has been handled.
    FWindow->OnClosed = [this, alive = FAlive] {
      FLoop.Post([this, alive] {
        if (*alive) Close();
      });
    };
  }
  FWindow->show();
  FWindow->raise();
  FWindow->activateWindow();
}

void TAlignmentController::Close() {
  if (!FWindow) return;
  // Never from inside the window's own handlers: a close by the user comes here posted.
  FWindow->OnClosed = nullptr;
  FWindow->hide();
  FMode.reset();
  FWindow.reset();
}
