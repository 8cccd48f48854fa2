// The two signal charts as data: measurement to level, position class and chart value, the
// scrolling histories, and the geometry and colours of what is drawn over each chart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum class TChartFeed { RxScale, TxLine, DrcLine1x, DrcLineRevA, DrcLineRevB };

// One measurement on the common quality scale: level 0..21, position class 0..3 (what the
// signal icon combines), and the value the chart draws (level plus the measurement's signed
// fraction, or 0 for a measurement outside the feed's value range).
struct TChartPoint {
  int Level = 0;
  int PositionClass = 0;
  double Value = 0;
  bool operator==(const TChartPoint&) const = default;
};

TChartPoint ChartPoint(TChartFeed aFeed, float x);
// The class a level falls in for a feed.
int PositionClass(TChartFeed aFeed, int aLevel);

// The history of a line series: aPoints values at X = 0..N-1, oldest on the left. Append moves
// every value one point to the left and puts the new one at the right edge.
class TChartHistory {
 public:
  explicit TChartHistory(size_t aPoints) : FValues(aPoints, 0.0) {}
  void Append(double aValue);
  const std::vector<double>& Values() const { return FValues; }

 private:
  std::vector<double> FValues;
};

// What the view paints: the two lines of Chart2 (X = index) and the Y of Chart1's one bar
// point, which places the RX marker.
struct TSignalChartData {
  std::vector<double> TxLine;
  std::vector<double> DrcLine;
  double RxBar = 1;
};

struct TRgb {
  uint8_t R = 0, G = 0, B = 0;
  bool operator==(const TRgb&) const = default;
};

// Series and scale of the charts.
inline constexpr TRgb kTxLineColor{255, 0, 0};
inline constexpr TRgb kDrcLineColor{0, 0, 255};
inline constexpr int kLinePenWidth = 3;
inline constexpr TRgb kRxBarPenColor{128, 128, 0};
inline constexpr double kChart1AxisMax = 20;  // both left axes start at 0
inline constexpr double kChart2AxisMax = 22;
// The vertical scale image beside Chart1, top to bottom, each drawn with this alpha.
inline constexpr TRgb kScaleColors[3] = {{0, 255, 0}, {255, 216, 0}, {255, 0, 0}};
inline constexpr uint8_t kScaleAlpha = 200;
inline constexpr int kScaleImageWidth = 25;
// Chart2's history holds its width / 2 points.
inline constexpr int kDesignChart2Width = 348;
inline constexpr int kDesignChartHeight = 156;

// Colours of the after-draw decorations.
inline constexpr TRgb kBandLineColor{16, 151, 222};
inline constexpr TRgb kChart1BrushColor{241, 212, 152};
inline constexpr TRgb kChart2TextColor{104, 204, 224};
inline constexpr TRgb kRxMarkerColor{128, 128, 0};

struct TChartSegment {
  int X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
  TRgb Pen;
  int PenWidth = 1;
  bool operator==(const TChartSegment&) const = default;
};

struct TChartText {
  int X = 0, Y = 0;
  std::string Text;
  TRgb Color;
  bool operator==(const TChartText&) const = default;
};

// Drawn after each repaint, in this order: the lines, then the texts, with Brush as the brush.
struct TChartDecorations {
  TRgb Brush;
  std::vector<TChartSegment> Lines;
  std::vector<TChartText> Texts;
};

// Chart1: band lines across the three thirds of aHeight and the RX marker, a triangle pointing
// right at the row of aRxBar (the top edge when aRxBar is off the 0..20 axis). aRight is the
// chart's right edge in its parent's coordinates; aValueToRow is the toolkit's pixel row of a
// value on the left axis.
TChartDecorations Chart1Decorations(int aHeight, int aRight, double aRxBar,
                                    const std::function<int(double)>& aValueToRow);
// Chart2: band lines and the captions "Excelent.", "Good." and "Bad.".
TChartDecorations Chart2Decorations(int aHeight, int aRight);
