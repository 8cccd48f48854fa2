// Names, ranges, bands and the pitch map of the alignment figures.
#include "align/AlignFigures.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

struct TFigureName {
  TAlignFigure Figure;
  std::string_view Name;
  std::string_view Caption;
  double PlausibleLow, PlausibleHigh;
};

// Beyond these no modem reports a real value: such a reading is a damaged or missing one.
constexpr std::array<TFigureName, kAlignFigureCount> kFigures = {{
    {TAlignFigure::Rx, "rx", "RX", -150, 30},
    {TAlignFigure::Drc, "drc", "DRC", -60, 20000},
    {TAlignFigure::EcIo, "ecio", "Ec/Io", -60, 20},
}};

const TFigureName& Entry(TAlignFigure aFigure) { return kFigures[static_cast<size_t>(aFigure)]; }

bool IsEvdo(TEvdoType aLinkType) {
  return aLinkType == evtRev0 || aLinkType == evtRevA || aLinkType == evtRevB || aLinkType == evtRevBplus;
}

bool IsRevB(TEvdoType aLinkType) { return aLinkType == evtRevB || aLinkType == evtRevBplus; }

// 1 dB as a power ratio.
const double kOneDbRatio = std::pow(10.0, -0.1);

// The Rev A rates the DRC line knows, each with the level it draws; between two of them a value
// takes the lower one's (the line itself only knows the exact rates).
struct TRateLevel {
  double Rate;
  int Level;
};
constexpr std::array<TRateLevel, 11> kRevARates = {{
    {38, 2}, {76, 3}, {153, 5}, {307, 7}, {614, 9}, {921, 11}, {1228, 13}, {1536, 14}, {1843, 15}, {2457, 18}, {3072, 20},
}};

// Chart value of a figure on the line it belongs to, with values beyond the line's table taken
// at its nearest end (a stronger signal than the table knows is no worse than its best row).
double ChartValueOf(TAlignFigure aFigure, TEvdoType aLinkType, double aValue) {
  if (aFigure == TAlignFigure::Rx)
    return ChartPoint(TChartFeed::RxScale, static_cast<float>(std::clamp(aValue, -100.0, -30.0))).Value;
  if (AlignFigureIsRate(aFigure, aLinkType)) {
    if (IsRevB(aLinkType))
      return ChartPoint(TChartFeed::DrcLineRevB, static_cast<float>(std::clamp(aValue, 0.0, 14745.0))).Value;
    int level = 0;
    for (const TRateLevel& row : kRevARates)
      if (std::trunc(aValue) >= row.Rate) level = row.Level;
    return level;
  }
  return ChartPoint(TChartFeed::DrcLine1x, static_cast<float>(std::clamp(aValue, -20.4, 10.0))).Value;
}

}  // namespace

std::string_view AlignFigureName(TAlignFigure aFigure) { return Entry(aFigure).Name; }

std::optional<TAlignFigure> AlignFigureFromName(std::string_view aName) {
  for (const TFigureName& entry : kFigures)
    if (entry.Name == aName) return entry.Figure;
  return std::nullopt;
}

std::string_view AlignFigureCaption(TAlignFigure aFigure) { return Entry(aFigure).Caption; }

TAlignFigure NextAlignFigure(TAlignFigure aFigure) {
  return static_cast<TAlignFigure>((static_cast<int>(aFigure) + 1) % kAlignFigureCount);
}

bool AlignFigureIsRate(TAlignFigure aFigure, TEvdoType aLinkType) {
  return aFigure == TAlignFigure::Drc && IsEvdo(aLinkType);
}

std::string_view AlignFigureUnit(TAlignFigure aFigure, TEvdoType aLinkType) {
  if (aFigure == TAlignFigure::Rx) return "dBm";
  return AlignFigureIsRate(aFigure, aLinkType) ? "kbit/s" : "dB";
}

TAlignRange DefaultAlignRange(TAlignFigure aFigure, TEvdoType aLinkType) {
  if (aFigure == TAlignFigure::Rx) return {-110, -50};
  if (AlignFigureIsRate(aFigure, aLinkType)) return IsRevB(aLinkType) ? TAlignRange{0, 14745} : TAlignRange{0, 3072};
  return {-20, 0};
}

bool PlausibleAlignValue(TAlignFigure aFigure, double aValue) {
  const TFigureName& entry = Entry(aFigure);
  return std::isfinite(aValue) && aValue >= entry.PlausibleLow && aValue <= entry.PlausibleHigh;
}

double RangePosition(double aValue, const TAlignRange& aRange) {
  const double span = aRange.High - aRange.Low;
  if (!(span > 0) || !std::isfinite(aValue)) return 0;
  return std::clamp((aValue - aRange.Low) / span, 0.0, 1.0);
}

double PitchOf(double aValue, const TAlignRange& aRange) {
  return kLowPitchHz + RangePosition(aValue, aRange) * (kHighPitchHz - kLowPitchHz);
}

bool NearAlignPeak(TAlignFigure aFigure, TEvdoType aLinkType, double aValue, double aPeak) {
  if (aValue >= aPeak) return true;
  if (AlignFigureIsRate(aFigure, aLinkType)) return aPeak > 0 && aValue >= aPeak * kOneDbRatio;
  return aValue >= aPeak - 1.0;
}

TAlignBand AlignBandOf(TAlignFigure aFigure, TEvdoType aLinkType, double aValue) {
  const double axis = aFigure == TAlignFigure::Rx ? kChart1AxisMax : kChart2AxisMax;
  const double value = ChartValueOf(aFigure, aLinkType, aValue);
  if (value >= axis * 2 / 3) return TAlignBand::Excellent;
  if (value >= axis / 3) return TAlignBand::Good;
  return TAlignBand::Bad;
}

std::string_view AlignBandCaption(TAlignBand aBand) {
  constexpr std::array<std::string_view, 3> kCaptions = {"Excelent.", "Good.", "Bad."};
  return kCaptions[static_cast<size_t>(aBand)];
}

TRgb AlignBandColor(TAlignBand aBand) { return kScaleColors[static_cast<size_t>(aBand)]; }
