// Bin rules of the quality histograms.
#include "stats/Quality.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// One bin: counted when Low < x < High. The bounds stay double, as the float argument is
// widened before the comparison, so -80.005f falls into the gap below -80 and not into key 1.
struct TBin {
  int32_t Key;
  const char* Caption;
  double Low;
  double High;
};

// Tested in this order; the first bin that holds the value takes it.
constexpr TBin kRxBins[] = {
    {0, "-30..-80", -80.0, -30.0},
    {1, "-81..-90", -90.0, -80.01},
    {2, "-91..-95", -95.0, -90.01},
    {3, "-96..-100", -100.0, -95.01},
    {4, "-101..-107", -107.0, -100.01},
};

constexpr TBin kTxBins[] = {
    {4, "+15..+25", 15.0, 25.0},
    {3, "+8..+14", 8.0, 14.0},
    {2, "-5..+7", -5.0, 7.0},
    {1, "-20..-6", -20.0, -6.0},
    {0, "-65..-21", -65.0, -21.0},
};

template <size_t N>
void AddBins(const TBin (&aBins)[N], TQualityValues& aValues, TQualityHeaders& aHeaders) {
  for (const TBin& bin : aBins) {
    aValues[bin.Key] = 0;
    aHeaders[bin.Key] = bin.Caption;
  }
}

template <size_t N>
void CountInBins(const TBin (&aBins)[N], float aValue, TQualityValues& aValues) {
  const double x = aValue;
  for (const TBin& bin : aBins) {
    if (bin.Low < x && x < bin.High) {
      ++aValues[bin.Key];
      return;
    }
  }
}

// Only the keys the constructor made are reset, so a stray key could never be created here.
void ZeroKeys(TQualityValues& aValues, int32_t aCount) {
  for (int32_t key = 0; key < aCount; ++key) {
    const auto it = aValues.find(key);
    if (it != aValues.end()) it->second = 0;
  }
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

template <size_t N>
std::vector<double> UpperBounds(const TBin (&aBins)[N]) {
  std::vector<double> bounds;
  for (const TBin& bin : aBins) bounds.push_back(bin.High);
  std::sort(bounds.begin(), bounds.end());
  return bounds;
}

}  // namespace

std::vector<double> RxBinUpperBounds() { return UpperBounds(kRxBins); }
std::vector<double> TxBinUpperBounds() { return UpperBounds(kTxBins); }

TRxQuality::TRxQuality() { AddBins(kRxBins, FValuesList, FHeadersList); }

void TRxQuality::AddValue(float AValue) { CountInBins(kRxBins, AValue, FValuesList); }

void TRxQuality::ClearValues() { ZeroKeys(FValuesList, 5); }

TTxQuality::TTxQuality() { AddBins(kTxBins, FValuesList, FHeadersList); }

void TTxQuality::AddValue(float AValue) { CountInBins(kTxBins, AValue, FValuesList); }

void TTxQuality::ClearValues() { ZeroKeys(FValuesList, static_cast<int32_t>(FValuesList.size())); }

void TDrcQuality::AddValue(float AValue) {
  if (AValue == 0) return;
  // A value with no 32-bit whole part (NaN, infinities, out of range) has no key to count under.
  const double whole = std::trunc(static_cast<double>(AValue));
  if (!(whole >= std::numeric_limits<int32_t>::min() && whole <= std::numeric_limits<int32_t>::max())) return;
  ++FValuesList[static_cast<int32_t>(whole)];
}

void TDrcQuality::ClearValues() { FValuesList.clear(); }

void TDrcQuality::Sort(int32_t ShrinkTo) {
  if (FValuesList.empty()) return;
  std::vector<std::pair<int32_t, int32_t>> pairs(FValuesList.begin(), FValuesList.end());
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  if (ShrinkTo > 0 && pairs.size() > static_cast<size_t>(ShrinkTo)) pairs.resize(static_cast<size_t>(ShrinkTo));
  FValuesList.clear();
  FValuesList.insert(pairs.begin(), pairs.end());
}

void TCellFaceQuality::AddValue(const std::string& AValue) {
  const auto it = FIndex.find(AValue);
  if (it != FIndex.end()) {
    ++FValuesList[it->second].second;
    return;
  }
  // "0-0" is what the session reports before it knows the serving sector.
  if (SameTextIgnoringCase(AValue, "0-0")) return;
  FIndex.emplace(AValue, FValuesList.size());
  FValuesList.emplace_back(AValue, 1);
}
