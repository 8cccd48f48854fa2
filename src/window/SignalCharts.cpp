// Level tables of the chart feeds, the histories and the chart decorations.
#include "window/SignalCharts.h"

#include <cfenv>
#include <cmath>
#include <iterator>
#include <optional>

namespace {

// One row of a level table over x: the first row whose interval holds x gives the level.
struct TLevelRow {
  double Low, High;
  bool LowIncluded, HighIncluded;
  int Level;
};

constexpr TLevelRow kRxRows[] = {
    {-40, -30, true, true, 20},  {-50, -40, true, false, 19}, {-60, -50, true, false, 18},
    {-70, -60, true, false, 17}, {-80, -70, true, false, 16}, {-83, -80, true, false, 15},
    {-86, -83, true, false, 14}, {-90, -86, true, false, 12}, {-93, -90, true, false, 10},
    {-95, -93, true, false, 6},  {-96, -95, true, false, 5},  {-97, -96, true, false, 3},
    {-98, -97, true, false, 2},  {-99, -98, true, false, 1},
};

// -40 itself is in neither of the first two rows and gets level 0.
constexpr TLevelRow kTxRows[] = {
    {-60, -40, true, false, 21}, {-40, -30, false, true, 20}, {-30, -20, false, true, 19},
    {-20, -10, false, true, 18}, {-10, 0, false, true, 17},   {0, 2, false, true, 16},
    {2, 5, false, true, 15},     {5, 5.5, false, true, 14},   {5.5, 6, false, true, 13},
    {6, 6.5, false, true, 12},   {6.5, 7, false, true, 11},   {7, 7.5, false, true, 10},
    {7.5, 9, false, true, 9},    {9, 10, false, true, 8},     {10, 11, false, true, 7},
    {11, 12, false, true, 6},    {12, 13, false, true, 5},    {13, 15, false, true, 4},
    {15, 20, false, true, 3},    {20, 23, false, true, 2},    {23, 25, false, true, 1},
};

// Over the rounded 1x figure.
constexpr TLevelRow k1xRows[] = {
    {-20, -19, true, true, 1},  {-18, -17, true, true, 5},  {-16, -15, true, true, 10},
    {-14, -13, true, true, 11}, {-12, -11, true, true, 13}, {-10, -9, true, true, 15},
    {-8, -7, true, true, 17},   {-6, -5, true, true, 18},   {-4, -3, true, true, 19},
    {-2, 10, true, true, 21},
};

// Rev A requested rates, matched exactly on the whole kbit/s.
constexpr TLevelRow kRevARows[] = {
    {38, 38, true, true, 2},      {76, 76, true, true, 3},      {153, 153, true, true, 5},
    {307, 307, true, true, 7},    {614, 614, true, true, 9},    {921, 921, true, true, 11},
    {1228, 1228, true, true, 13}, {1536, 1536, true, true, 14}, {1843, 1843, true, true, 15},
    {2457, 2457, true, true, 18}, {3072, 3072, true, true, 20},
};

// Rev B summed rates on the whole kbit/s.
constexpr TLevelRow kRevBRows[] = {
    {1, 114, true, true, 1},         {115, 228, true, true, 2},       {229, 459, true, true, 3},
    {460, 921, true, true, 5},       {922, 1380, true, true, 7},      {1381, 1842, true, true, 8},
    {1843, 2304, true, true, 9},     {2305, 2763, true, true, 10},    {2764, 3225, true, true, 12},
    {3226, 3684, true, true, 13},    {3685, 4608, true, true, 14},    {4609, 5529, true, true, 15},
    {5530, 6450, true, true, 16},    {6451, 7371, true, true, 17},    {7372, 9216, true, true, 18},
    {9217, 11058, true, true, 19},   {11059, 12900, true, true, 20},  {12901, 14745, true, true, 21},
};

template <size_t N>
int LevelOf(const TLevelRow (&aRows)[N], double x) {
  for (const TLevelRow& row : aRows) {
    const bool aboveLow = row.LowIncluded ? x >= row.Low : x > row.Low;
    const bool belowHigh = row.HighIncluded ? x <= row.High : x < row.High;
    if (aboveLow && belowHigh) return row.Level;
  }
  return 0;
}

struct TFeedRule {
  int ClassStarts[3];                     // first level of classes 1, 2 and 3
  std::optional<double> RangeLow, RangeHigh;  // bounds of Trunc(x); none: every x is in range
};

const TFeedRule& RuleOf(TChartFeed aFeed) {
  static const TFeedRule kRules[] = {
      {{1, 6, 16}, -100, 25},                      // RxScale
      {{1, 8, 15}, -60, 25},                       // TxLine
      {{1, 11, 18}, -100, 100},                    // DrcLine1x
      {{1, 6, 15}, std::nullopt, std::nullopt},    // DrcLineRevA
      {{1, 11, 18}, std::nullopt, std::nullopt},   // DrcLineRevB
  };
  return kRules[static_cast<int>(aFeed)];
}

// Halves go to the even neighbour, whatever rounding mode the thread was left in.
double RoundHalfEven(double x) {
  const int previous = std::fegetround();
  std::fesetround(FE_TONEAREST);
  const double rounded = std::nearbyint(x);
  std::fesetround(previous);
  return rounded;
}

}  // namespace

int PositionClass(TChartFeed aFeed, int aLevel) {
  const TFeedRule& rule = RuleOf(aFeed);
  int positionClass = 0;
  for (int start : rule.ClassStarts)
    if (aLevel >= start) ++positionClass;
  return positionClass;
}

TChartPoint ChartPoint(TChartFeed aFeed, float aX) {
  const double x = aX;
  TChartPoint point;
  if (!std::isfinite(x)) return point;
  switch (aFeed) {
    case TChartFeed::RxScale: point.Level = LevelOf(kRxRows, x); break;
    case TChartFeed::TxLine: point.Level = LevelOf(kTxRows, x); break;
    case TChartFeed::DrcLine1x: point.Level = LevelOf(k1xRows, RoundHalfEven(x)); break;
    case TChartFeed::DrcLineRevA: point.Level = LevelOf(kRevARows, std::trunc(x)); break;
    case TChartFeed::DrcLineRevB: point.Level = LevelOf(kRevBRows, std::trunc(x)); break;
  }
  point.PositionClass = PositionClass(aFeed, point.Level);
  const TFeedRule& rule = RuleOf(aFeed);
  const double whole = std::trunc(x);
  const bool inRange = (!rule.RangeLow || whole >= *rule.RangeLow) && (!rule.RangeHigh || whole <= *rule.RangeHigh);
  point.Value = inRange ? point.Level + (x - whole) : 0.0;
  return point;
}

void TChartHistory::Append(double aValue) {
  if (FValues.empty()) return;
  std::move(std::next(FValues.begin()), FValues.end(), FValues.begin());
  FValues.back() = aValue;
}

TChartDecorations Chart1Decorations(int aHeight, int aRight, double aRxBar,
                                    const std::function<int(double)>& aValueToRow) {
  const int third = aHeight / 3;
  const int m = (aRxBar > kChart1AxisMax || aRxBar < 0 || !aValueToRow) ? 0 : aValueToRow(aRxBar);
  TChartDecorations d;
  d.Brush = kChart1BrushColor;
  for (int y : {1, third, 2 * third, 3 * third - 1}) d.Lines.push_back({0, y, aRight, y, kBandLineColor, 1});
  d.Lines.push_back({32, m, 8, m - 8, kRxMarkerColor, 3});
  d.Lines.push_back({8, m - 8, 8, m + 8, kRxMarkerColor, 3});
  d.Lines.push_back({8, m + 8, 32, m, kRxMarkerColor, 3});
  return d;
}

TChartDecorations Chart2Decorations(int aHeight, int aRight) {
  const int third = aHeight / 3;
  const int half = third / 2;
  TChartDecorations d;
  d.Brush = kChart2TextColor;
  for (int y : {1, third, 2 * third, 3 * third - 1}) d.Lines.push_back({0, y, aRight, y, kBandLineColor, 1});
  d.Texts.push_back({8, half - 4, "Excelent.", kChart2TextColor});
  d.Texts.push_back({8, third + half - 4, "Good.", kChart2TextColor});
  d.Texts.push_back({8, 2 * third + half - 4, "Bad.", kChart2TextColor});
  return d;
}
