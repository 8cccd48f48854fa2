// Bin boundaries, gaps, truncation and shrinking of the quality histograms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <set>

#include "stats/Quality.h"

namespace {

struct TBinCase {
  float Value;
  std::optional<int32_t> Key;  // nullopt: not counted
};

// Every key keeps existing; only the expected one went up by one.
void ExpectCountedOnce(const TCustomQuality& aQuality, const TBinCase& aCase) {
  ASSERT_EQ(aQuality.ValuesList().size(), 5u);
  for (const auto& [key, count] : aQuality.ValuesList())
    EXPECT_EQ(count, aCase.Key == key ? 1 : 0) << "value " << aCase.Value << ", key " << key;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(RxQuality, EachBoundAndGap) {
  const TBinCase cases[] = {
      {-29.9f, {}},  {-30.0f, {}},  {-30.5f, 0},     {-79.99f, 0},    {-80.0f, {}},   {-80.005f, {}}, {-80.02f, 1},
      {-89.99f, 1},  {-90.0f, {}},  {-90.005f, {}},  {-90.02f, 2},    {-95.0f, {}},   {-95.005f, {}}, {-95.02f, 3},
      {-100.0f, {}}, {-100.005f, {}}, {-100.02f, 4}, {-106.9f, 4},    {-107.0f, {}},  {-120.0f, {}},  {0.0f, {}},
      {kNaN, {}},    {-kInf, {}},
  };
  for (const TBinCase& c : cases) {
    TRxQuality rx;
    rx.AddValue(c.Value);
    ExpectCountedOnce(rx, c);
  }
}

TEST(TxQuality, EachBoundAndGap) {
  const TBinCase cases[] = {
      {25.0f, {}},   {24.9f, 4},   {15.0f, {}},    {15.1f, 4},   {14.5f, {}},  {14.0f, {}},  {13.9f, 3},
      {8.0f, {}},    {8.1f, 3},    {7.5f, {}},     {7.0f, {}},   {6.9f, 2},    {0.0f, 2},    {-4.9f, 2},
      {-5.0f, {}},   {-5.5f, {}},  {-6.0f, {}},    {-6.1f, 1},   {-19.9f, 1},  {-20.0f, {}}, {-20.5f, {}},
      {-21.0f, {}},  {-21.1f, 0},  {-60.39f, 0},   {-64.9f, 0},  {-65.0f, {}}, {-80.0f, {}}, {kNaN, {}},
      {kInf, {}},
  };
  for (const TBinCase& c : cases) {
    TTxQuality tx;
    tx.AddValue(c.Value);
    ExpectCountedOnce(tx, c);
  }
}

TEST(RxTxQuality, CaptionsByKeyAndClearingKeepsThem) {
  TRxQuality rx;
  TTxQuality tx;
  const TQualityHeaders rxCaptions{{0, "-30..-80"}, {1, "-81..-90"}, {2, "-91..-95"}, {3, "-96..-100"}, {4, "-101..-107"}};
  const TQualityHeaders txCaptions{{0, "-65..-21"}, {1, "-20..-6"}, {2, "-5..+7"}, {3, "+8..+14"}, {4, "+15..+25"}};
  for (float v : {-50.0f, -85.0f, -106.0f}) rx.AddValue(v);
  for (float v : {-30.0f, 0.0f, 20.0f}) tx.AddValue(v);
  EXPECT_EQ(rx.ValuesList(), (TQualityValues{{0, 1}, {1, 1}, {2, 0}, {3, 0}, {4, 1}}));
  EXPECT_EQ(tx.ValuesList(), (TQualityValues{{0, 1}, {1, 0}, {2, 1}, {3, 0}, {4, 1}}));

  rx.ClearValues();
  tx.ClearValues();
  const TQualityValues zeroes{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}};
  EXPECT_EQ(rx.ValuesList(), zeroes);
  EXPECT_EQ(tx.ValuesList(), zeroes);
  EXPECT_EQ(rx.HeadersList(), rxCaptions);
  EXPECT_EQ(tx.HeadersList(), txCaptions);
}

TEST(DrcQuality, KeysAreTheWholePartAndZeroIsIgnored) {
  TDrcQuality drc;
  for (float v : {0.0f, -0.0f, 0.4f, -0.4f, -7.9f, -7.1f, 614.4f, 614.9f, 1228.8f, kNaN, kInf, -kInf, 3e9f, -3e9f})
    drc.AddValue(v);
  // 0.4 and -0.4 truncate to key 0 and are counted; only an exact zero is left out.
  EXPECT_EQ(drc.ValuesList(), (TQualityValues{{-7, 2}, {0, 2}, {614, 2}, {1228, 1}}));
  EXPECT_TRUE(drc.HeadersList().empty());
  drc.ClearValues();
  EXPECT_TRUE(drc.ValuesList().empty());
}

TEST(DrcQuality, SortKeepsTheMostFrequentKeys) {
  TDrcQuality drc;
  drc.Sort(10);  // empty: nothing to do
  EXPECT_TRUE(drc.ValuesList().empty());

  // Key k seen k times, k = 1..12: the ten most frequent are 3..12, with their counts.
  for (int k = 1; k <= 12; ++k)
    for (int i = 0; i < k; ++i) drc.AddValue(static_cast<float>(k));
  TDrcQuality all;
  for (const auto& [key, count] : drc.ValuesList())
    for (int i = 0; i < count; ++i) all.AddValue(static_cast<float>(key));
  all.Sort(0);
  EXPECT_EQ(all.ValuesList(), drc.ValuesList());
  all.Sort(-1);
  EXPECT_EQ(all.ValuesList(), drc.ValuesList());

  drc.Sort(10);
  TQualityValues expected;
  for (int k = 3; k <= 12; ++k) expected[k] = k;
  EXPECT_EQ(drc.ValuesList(), expected);

  // Fed as the polling cycle feeds it: a newcomer enters with 1 and leaves with the same Sort.
  drc.AddValue(99.5f);
  EXPECT_EQ(drc.ValuesList().size(), 11u);
  drc.Sort(10);
  EXPECT_EQ(drc.ValuesList(), expected);
}

TEST(DrcQuality, ElevenValuesSeenOnceLeaveTenOfThem) {
  TDrcQuality drc;
  std::set<int32_t> fed;
  for (int k = 0; k < 11; ++k) {
    drc.AddValue(static_cast<float>(100 + k));
    fed.insert(100 + k);
  }
  drc.Sort(10);
  ASSERT_EQ(drc.ValuesList().size(), 10u);
  for (const auto& [key, count] : drc.ValuesList()) {
    EXPECT_TRUE(fed.count(key)) << key;
    EXPECT_EQ(count, 1);
  }
  drc.Sort(20);
  EXPECT_EQ(drc.ValuesList().size(), 10u);
}

TEST(CellFaceQuality, ZeroZeroIsNeverAddedOthersCountInOrderOfArrival) {
  TCellFaceQuality cells;
  for (const char* s : {"0-0", "12-0", "0-3", "0-0", "12-0", "120-0", "0-00", "12-0"}) cells.AddValue(s);
  const TCellFaceQuality::TValues expected{{"12-0", 3}, {"0-3", 1}, {"120-0", 1}, {"0-00", 1}};
  EXPECT_EQ(cells.ValuesList(), expected);
}
