// The two signal charts painted with QPainter: Chart1 with the RX marker against its
// three-colour scale, Chart2 with the TX and DRC histories, each with its band decorations.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include "window/SignalCharts.h"

class TSignalChart : public QWidget {
 public:
  // The disabled-panel colour of the active style, taken once at set-up.
  void SetBackground(const QColor& aColor) { FBackground = aColor; }
  QColor Background() const { return FBackground; }
  // The pixel row of a value on the fixed left axis (0 at the bottom, AxisMax at the top).
  int ValueToRow(double aValue) const;
  double AxisMax() const { return FAxisMax; }

  // What the last paint drew over the series, for tests.
  const TChartDecorations& Decorations() const { return FDecorations; }

 protected:
  TSignalChart(double aAxisMax, QWidget* aParent);
  void PaintDecorations(class QPainter& aPainter, const TChartDecorations& aDecorations);

  double FAxisMax;
  QColor FBackground;
  TChartDecorations FDecorations;
};

// Chart1: no series drawn (the bar is inactive), the scale image along the right edge, the band
// lines and the RX marker at the bar's value.
class TRxScaleChart final : public TSignalChart {
 public:
  explicit TRxScaleChart(QWidget* aParent = nullptr);
  void SetRxBar(double aValue);
  double RxBar() const { return FRxBar; }
  // The rectangle of the scale image Image5: 25 wide at the right edge, 2 from top and bottom.
  QRect ScaleRect() const;

 protected:
  void paintEvent(QPaintEvent* aEvent) override;

 private:
  double FRxBar = 1;
  QImage FScale;
};

// Chart2: the TX line (red) and the DRC line (blue), X = point index, then the band lines and
// the captions "Excelent.", "Good." and "Bad.".
class THistoryChart final : public TSignalChart {
 public:
  explicit THistoryChart(QWidget* aParent = nullptr);
  void SetLines(std::vector<double> aTxLine, std::vector<double> aDrcLine);
  const std::vector<double>& TxLine() const { return FTxLine; }
  const std::vector<double>& DrcLine() const { return FDrcLine; }

 protected:
  void paintEvent(QPaintEvent* aEvent) override;

 private:
  void PaintLine(QPainter& aPainter, const std::vector<double>& aValues, const QColor& aColor);

  std::vector<double> FTxLine;
  std::vector<double> FDrcLine;
};

inline QColor ToQColor(const TRgb& aRgb, int aAlpha = 255) { return QColor(aRgb.R, aRgb.G, aRgb.B, aAlpha); }
