// The chart feeds' level tables, value ranges and position classes, the histories, the chart
// decorations, and the number texts of the window.
#include <gtest/gtest.h>

#include <cfenv>

#include "window/DisplayFormat.h"
#include "window/SignalCharts.h"

namespace {

struct TFeedCase {
  float X;
  int Level;
  int Class;
  double Value;
};

void CheckFeed(TChartFeed aFeed, std::initializer_list<TFeedCase> aCases) {
  for (const TFeedCase& c : aCases) {
    SCOPED_TRACE(testing::Message() << "x = " << c.X);
    const TChartPoint p = ChartPoint(aFeed, c.X);
    EXPECT_EQ(p.Level, c.Level);
    EXPECT_EQ(p.PositionClass, c.Class);
    EXPECT_NEAR(p.Value, c.Value, 1e-3);
  }
}

}  // namespace

TEST(ChartFeeds, RxScale) {
  CheckFeed(TChartFeed::RxScale, {
      {-29.5f, 0, 0, -0.5},  // no row, but Trunc -29 is in range: 0 + Frac
      {-30, 20, 3, 20},      {-40, 20, 3, 20},      {-40.5f, 19, 3, 18.5},  {-50, 19, 3, 19},
      {-50.5f, 18, 3, 17.5}, {-60, 18, 3, 18},      {-60.25f, 17, 3, 16.75}, {-70, 17, 3, 17},
      {-70.5f, 16, 3, 15.5}, {-80, 16, 3, 16},      {-80.5f, 15, 2, 14.5},  {-83, 15, 2, 15},
      {-83.5f, 14, 2, 13.5}, {-85.4f, 14, 2, 13.6}, {-86, 14, 2, 14},       {-86.5f, 12, 2, 11.5},
      {-90, 12, 2, 12},      {-90.5f, 10, 2, 9.5},  {-93, 10, 2, 10},       {-93.5f, 6, 2, 5.5},
      {-95, 6, 2, 6},        {-95.5f, 5, 1, 4.5},   {-96, 5, 1, 5},         {-96.5f, 3, 1, 2.5},
      {-97, 3, 1, 3},        {-97.5f, 2, 1, 1.5},   {-98, 2, 1, 2},         {-98.5f, 1, 1, 0.5},
      {-99, 1, 1, 1},        {-99.5f, 0, 0, -0.5},  {-100, 0, 0, 0},        {-100.5f, 0, 0, -0.5},
      {-101.2f, 0, 0, 0},    // Trunc -101: outside the value range
      {25.9f, 0, 0, 0.9},    {26, 0, 0, 0},         {-20, 0, 0, 0},
  });
}

TEST(ChartFeeds, TxLine) {
  CheckFeed(TChartFeed::TxLine, {
      {-61, 0, 0, 0},         {-60.39f, 0, 0, -0.39}, {-60, 21, 3, 21},       {-40.5f, 21, 3, 20.5},
      {-40, 0, 0, 0},         // between the first two rows
      {-39.5f, 20, 3, 19.5},  {-30, 20, 3, 20},       {-29.5f, 19, 3, 18.5},  {-20, 19, 3, 19},
      {-19.5f, 18, 3, 17.5},  {-10, 18, 3, 18},       {-9.5f, 17, 3, 16.5},   {0, 17, 3, 17},
      {0.5f, 16, 3, 16.5},    {2, 16, 3, 16},         {2.5f, 15, 3, 15.5},    {5, 15, 3, 15},
      {5.25f, 14, 2, 14.25},  {5.5f, 14, 2, 14.5},    {5.75f, 13, 2, 13.75},  {6, 13, 2, 13},
      {6.2f, 12, 2, 12.2},    {6.5f, 12, 2, 12.5},    {6.75f, 11, 2, 11.75},  {7, 11, 2, 11},
      {7.4f, 10, 2, 10.4},    {7.5f, 10, 2, 10.5},    {8, 9, 2, 9},           {9, 9, 2, 9},
      {9.5f, 8, 2, 8.5},      {10, 8, 2, 8},          {10.5f, 7, 1, 7.5},     {11, 7, 1, 7},
      {11.5f, 6, 1, 6.5},     {12, 6, 1, 6},          {12.5f, 5, 1, 5.5},     {13, 5, 1, 5},
      {14, 4, 1, 4},          {15, 4, 1, 4},          {16, 3, 1, 3},          {20, 3, 1, 3},
      {21, 2, 1, 2},          {23, 2, 1, 2},          {24.6f, 1, 1, 1.6},     {25, 1, 1, 1},
      {25.5f, 0, 0, 0.5},     {26, 0, 0, 0},
  });
}

TEST(ChartFeeds, DrcLine1xRoundsHalvesToEven) {
  CheckFeed(TChartFeed::DrcLine1x, {
      {-21, 0, 0, 0},          {-20.6f, 0, 0, -0.6},   {-20.5f, 1, 1, 0.5},  // -20.5 rounds to -20
      {-19, 1, 1, 1},          {-18.5f, 5, 1, 4.5},    {-17, 5, 1, 5},       {-16.5f, 10, 1, 9.5},
      {-15, 10, 1, 10},        {-14.5f, 11, 2, 10.5},  {-13, 11, 2, 11},     {-12.5f, 13, 2, 12.5},
      {-11, 13, 2, 13},        {-10, 15, 2, 15},       {-9, 15, 2, 15},      {-8.75f, 15, 2, 14.25},
      {-8, 17, 2, 17},         {-7.5f, 17, 2, 16.5},   {-7, 17, 2, 17},      {-6, 18, 3, 18},
      {-5, 18, 3, 18},         {-4, 19, 3, 19},        {-3.5f, 19, 3, 18.5}, {-3, 19, 3, 19},
      {-2.5f, 21, 3, 20.5},    {-2, 21, 3, 21},        {10, 21, 3, 21},      {10.5f, 21, 3, 21.5},
      {10.6f, 0, 0, 0.6},      {11, 0, 0, 0},          {-100.5f, 0, 0, -0.5}, {-101, 0, 0, 0},
      {100.5f, 0, 0, 0.5},     {101, 0, 0, 0},
  });
}

TEST(ChartFeeds, DrcLine1xIgnoresTheThreadsRoundingMode) {
  const int previous = std::fegetround();
  std::fesetround(FE_DOWNWARD);
  const TChartPoint p = ChartPoint(TChartFeed::DrcLine1x, -2.5f);
  std::fesetround(previous);
  EXPECT_EQ(p.Level, 21);
}

TEST(ChartFeeds, DrcLineRevAMatchesExactRates) {
  CheckFeed(TChartFeed::DrcLineRevA, {
      {0, 0, 0, 0},           {37.9f, 0, 0, 0.9},     {38, 2, 1, 2},          {38.9f, 2, 1, 2.9},
      {76, 3, 1, 3},          {153, 5, 1, 5},         {307, 7, 2, 7},         {600, 0, 0, 0},
      {614, 9, 2, 9},         {614.4f, 9, 2, 9.4},    {921, 11, 2, 11},       {1228, 13, 2, 13},
      {1536, 14, 2, 14},      {1843, 15, 3, 15},      {2457, 18, 3, 18},      {3072, 20, 3, 20},
      {3072.5f, 20, 3, 20.5}, {-38.5f, 0, 0, -0.5},   {1e9f, 0, 0, 0},
  });
}

TEST(ChartFeeds, DrcLineRevBRanges) {
  CheckFeed(TChartFeed::DrcLineRevB, {
      {-5, 0, 0, 0},           {0, 0, 0, 0},           {0.5f, 0, 0, 0.5},      {1, 1, 1, 1},
      {114, 1, 1, 1},          {115, 2, 1, 2},         {228, 2, 1, 2},         {229, 3, 1, 3},
      {459, 3, 1, 3},          {460, 5, 1, 5},         {921, 5, 1, 5},         {922, 7, 1, 7},
      {1380, 7, 1, 7},         {1381, 8, 1, 8},        {1842, 8, 1, 8},        {1843, 9, 1, 9},
      {2304, 9, 1, 9},         {2305, 10, 1, 10},      {2763, 10, 1, 10},      {2764, 12, 2, 12},
      {3225, 12, 2, 12},       {3226, 13, 2, 13},      {3684, 13, 2, 13},      {3685, 14, 2, 14},
      {4608, 14, 2, 14},       {4609, 15, 2, 15},      {5529, 15, 2, 15},      {5530, 16, 2, 16},
      {6450, 16, 2, 16},       {6451, 17, 2, 17},      {7371, 17, 2, 17},      {7372, 18, 3, 18},
      {9216, 18, 3, 18},       {9217, 19, 3, 19},      {11058, 19, 3, 19},     {11059, 20, 3, 20},
      {12900, 20, 3, 20},      {12901, 21, 3, 21},     {14745, 21, 3, 21},     {14745.9f, 21, 3, 21.9},
      {14746, 0, 0, 0},
  });
}

TEST(ChartFeeds, NotANumberIsLevelZeroValueZero) {
  for (TChartFeed feed : {TChartFeed::RxScale, TChartFeed::TxLine, TChartFeed::DrcLine1x, TChartFeed::DrcLineRevA,
                          TChartFeed::DrcLineRevB})
    EXPECT_EQ(ChartPoint(feed, std::numeric_limits<float>::quiet_NaN()), TChartPoint{});
}

TEST(ChartHistory, AppendScrollsLeftAndKeepsItsLength) {
  TChartHistory history(4);
  EXPECT_EQ(history.Values(), (std::vector<double>{0, 0, 0, 0}));
  history.Append(1.5);
  EXPECT_EQ(history.Values(), (std::vector<double>{0, 0, 0, 1.5}));
  for (double v : {2.0, 3.0, 4.0, 5.0}) history.Append(v);
  EXPECT_EQ(history.Values(), (std::vector<double>{2, 3, 4, 5}));
  TChartHistory none(0);
  none.Append(1);
  EXPECT_TRUE(none.Values().empty());
}

TEST(ChartDecorations, Chart1BandsAndMarker) {
  // A toolkit whose axis maps 0..20 onto rows 156..0.
  const auto row = [](double v) { return static_cast<int>(156 - v * 156 / 20); };
  const TChartDecorations d = Chart1Decorations(156, 65, 10, row);
  EXPECT_EQ(d.Brush, kChart1BrushColor);
  ASSERT_EQ(d.Lines.size(), 7u);
  const int bands[] = {1, 52, 104, 155};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d.Lines[i], (TChartSegment{0, bands[i], 65, bands[i], kBandLineColor, 1}));
  EXPECT_EQ(d.Lines[4], (TChartSegment{32, 78, 8, 70, kRxMarkerColor, 3}));
  EXPECT_EQ(d.Lines[5], (TChartSegment{8, 70, 8, 86, kRxMarkerColor, 3}));
  EXPECT_EQ(d.Lines[6], (TChartSegment{8, 86, 32, 78, kRxMarkerColor, 3}));
  // Off the axis, the marker goes to the top edge.
  for (double off : {20.5, -0.5}) {
    const TChartDecorations top = Chart1Decorations(156, 65, off, row);
    EXPECT_EQ(top.Lines[4], (TChartSegment{32, 0, 8, -8, kRxMarkerColor, 3})) << off;
  }
  EXPECT_EQ(Chart1Decorations(156, 65, 0, row).Lines[4].Y1, 156);
}

TEST(ChartDecorations, Chart2BandsAndCaptions) {
  const TChartDecorations d = Chart2Decorations(156, 413);
  EXPECT_EQ(d.Brush, kChart2TextColor);
  ASSERT_EQ(d.Lines.size(), 4u);
  EXPECT_EQ(d.Lines[3], (TChartSegment{0, 155, 413, 155, kBandLineColor, 1}));
  ASSERT_EQ(d.Texts.size(), 3u);
  EXPECT_EQ(d.Texts[0], (TChartText{8, 22, "Excelent.", kChart2TextColor}));
  EXPECT_EQ(d.Texts[1], (TChartText{8, 74, "Good.", kChart2TextColor}));
  EXPECT_EQ(d.Texts[2], (TChartText{8, 126, "Bad.", kChart2TextColor}));
}

TEST(DisplayFormat, FormatRateByRange) {
  const struct {
    uint32_t Kbps;
    const char* Text;
  } cases[] = {
      {0, " 0 kbps"},           {499, " 499 kbps"},        {500, "  0.5 Mbps"},       {6000, "  6.0 Mbps"},
      {18000, " 18.0 Mbps"},    {99999, " 100.0 Mbps"},    {100000, " 100000.0 err"}, {4294967295u, " 4294967295.0 err"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatRate(c.Kbps, "."), c.Text) << c.Kbps;
  EXPECT_EQ(FormatRate(1500, ","), "  1,5 Mbps");  // " %4.1f": the number is padded to 4
}

TEST(DisplayFormat, FloatsTakeTheGivenSeparator) {
  EXPECT_EQ(FormatFloat("RX: %6.1f", -85.44, "."), "RX:  -85.4");
  EXPECT_EQ(FormatFloat("RX: %6.1f", -85.44, ","), "RX:  -85,4");
  EXPECT_EQ(FormatFloat("     TX: %6.1f", -60.39f, "."), "     TX:  -60.4");
  EXPECT_EQ(FormatFloat("    DRC: %6.1f", 1228.8, "."), "    DRC: 1228.8");
  EXPECT_EQ(FormatFloat("%6.1f", 12345678.25, "."), "12345678.2");  // wider than 6: not cut
}
