// Painting the signal charts: background, series, scale image and the after-draw decorations,
// all from the window logic's chart data and geometry.
#include "gui/SignalChartWidgets.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

// The vertical three-colour scale beside Chart1, top third green, amber, red, each at the
// scale's alpha; drawn once and stretched to the image's rectangle.
QImage MakeScaleImage() {
  constexpr int kThird = 32;
  QImage image(kScaleImageWidth, 3 * kThird, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  for (int i = 0; i < 3; ++i)
    painter.fillRect(QRect(0, i * kThird, kScaleImageWidth, kThird), ToQColor(kScaleColors[i], kScaleAlpha));
  return image;
}

}  // namespace

TSignalChart::TSignalChart(double aAxisMax, QWidget* aParent) : QWidget(aParent), FAxisMax(aAxisMax) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

int TSignalChart::ValueToRow(double aValue) const {
  // Margins 0: the axis spans the whole height, its maximum on the top row.
  const double bottom = height() - 1;
  return static_cast<int>(std::lround(bottom - aValue * bottom / FAxisMax));
}

void TSignalChart::PaintDecorations(QPainter& aPainter, const TChartDecorations& aDecorations) {
  aPainter.setBrush(ToQColor(aDecorations.Brush));
  for (const TChartSegment& segment : aDecorations.Lines) {
    QPen pen(ToQColor(segment.Pen), segment.PenWidth);
    pen.setCapStyle(Qt::RoundCap);
    aPainter.setPen(pen);
    aPainter.drawLine(segment.X1, segment.Y1, segment.X2, segment.Y2);
  }
  const QFontMetrics metrics(font());
  for (const TChartText& text : aDecorations.Texts) {
    aPainter.setPen(ToQColor(text.Color));
    // The position is the text's top-left corner; the background stays transparent.
    aPainter.drawText(text.X, text.Y + metrics.ascent(), QString::fromStdString(text.Text));
  }
}

TRxScaleChart::TRxScaleChart(QWidget* aParent) : TSignalChart(kChart1AxisMax, aParent), FScale(MakeScaleImage()) {}

void TRxScaleChart::SetRxBar(double aValue) {
  if (aValue == FRxBar) return;
  FRxBar = aValue;
  update();
}

QRect TRxScaleChart::ScaleRect() const { return QRect(width() - kScaleImageWidth, 2, kScaleImageWidth, height() - 4); }

void TRxScaleChart::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), FBackground);
  const int right = x() + width();
  FDecorations = Chart1Decorations(height(), right, FRxBar, [this](double aValue) { return ValueToRow(aValue); });
  // The band lines lie under the scale image, the marker beside it.
  TChartDecorations bands = FDecorations;
  bands.Lines.resize(4);
  PaintDecorations(painter, bands);
  painter.drawImage(ScaleRect(), FScale);
  TChartDecorations marker = FDecorations;
  marker.Lines.erase(marker.Lines.begin(), marker.Lines.begin() + 4);
  painter.setRenderHint(QPainter::Antialiasing);
  PaintDecorations(painter, marker);
}

THistoryChart::THistoryChart(QWidget* aParent) : TSignalChart(kChart2AxisMax, aParent) {}

void THistoryChart::SetLines(std::vector<double> aTxLine, std::vector<double> aDrcLine) {
  FTxLine = std::move(aTxLine);
  FDrcLine = std::move(aDrcLine);
  update();
}

void THistoryChart::PaintLine(QPainter& aPainter, const std::vector<double>& aValues, const QColor& aColor) {
  if (aValues.size() < 2) return;
  const double step = static_cast<double>(width() - 1) / static_cast<double>(aValues.size() - 1);
  const double bottom = height() - 1;
  QPainterPath path;
  for (size_t i = 0; i < aValues.size(); ++i) {
    const QPointF point(static_cast<double>(i) * step, bottom - aValues[i] * bottom / FAxisMax);
    if (i == 0)
      path.moveTo(point);
    else
      path.lineTo(point);
  }
  QPen pen(aColor, kLinePenWidth);
  pen.setJoinStyle(Qt::RoundJoin);
  aPainter.setPen(pen);
  aPainter.setBrush(Qt::NoBrush);
  aPainter.drawPath(path);
}

void THistoryChart::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), FBackground);
  painter.setRenderHint(QPainter::Antialiasing);
  PaintLine(painter, FTxLine, ToQColor(kTxLineColor));
  PaintLine(painter, FDrcLine, ToQColor(kDrcLineColor));
  painter.setRenderHint(QPainter::Antialiasing, false);
  FDecorations = Chart2Decorations(height(), x() + width());
  PaintDecorations(painter, FDecorations);
}
