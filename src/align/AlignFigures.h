// The figures an antenna can be aimed by: their names and units, the range the tone spans, the
// band ("Excelent.", "Good.", "Bad.") a value falls in, what counts as "as good as the peak",
// and the pitch a value is heard at.
#pragma once

#include <optional>
#include <string_view>

#include "protocol/ModemStructuresUnit.h"
#include "window/SignalCharts.h"

enum class TAlignFigure { Rx, Drc, EcIo };
inline constexpr int kAlignFigureCount = 3;

// "rx", "drc", "ecio": the names on the command line and the console.
std::string_view AlignFigureName(TAlignFigure aFigure);
std::optional<TAlignFigure> AlignFigureFromName(std::string_view aName);
// "RX", "DRC", "Ec/Io": the captions in the window.
std::string_view AlignFigureCaption(TAlignFigure aFigure);
// The figure after aFigure, round the three.
TAlignFigure NextAlignFigure(TAlignFigure aFigure);
// "dBm", "dB" or "kbit/s"; the DRC figure is the pilot strength on 1x and a rate on EV-DO.
std::string_view AlignFigureUnit(TAlignFigure aFigure, TEvdoType aLinkType);
// Whether the DRC figure means a rate (EV-DO) rather than a pilot strength in dB.
bool AlignFigureIsRate(TAlignFigure aFigure, TEvdoType aLinkType);

struct TAlignRange {
  double Low = 0;
  double High = 1;
  bool operator==(const TAlignRange&) const = default;
};

// The span the tone covers by default: RX -110..-50 dBm, Ec/Io -20..0 dB, the DRC figure
// -20..0 dB on 1x, 0..3072 kbit/s on Rev 0/A, 0..14745 kbit/s on Rev B.
TAlignRange DefaultAlignRange(TAlignFigure aFigure, TEvdoType aLinkType);
// Whether a reading can be a measurement at all; anything else is no signal, never a number.
bool PlausibleAlignValue(TAlignFigure aFigure, double aValue);

// The tone's pitch: the range mapped linearly onto kLowPitchHz..kHighPitchHz, clamped at both
// ends. aValue must be finite.
inline constexpr double kLowPitchHz = 300;
inline constexpr double kHighPitchHz = 1800;
double PitchOf(double aValue, const TAlignRange& aRange);
// Where aValue lies in the range, 0..1, clamped.
double RangePosition(double aValue, const TAlignRange& aRange);

// Within 1 dB of the peak: dB figures directly, rates as a power ratio (at least 10^-0.1 of it).
bool NearAlignPeak(TAlignFigure aFigure, TEvdoType aLinkType, double aValue, double aPeak);

// The band a value falls in on the main window's charts: the upper, middle and lower third of
// the chart's axis (RX on the RX scale; the DRC figure on the DRC line of its link type; Ec/Io
// on the 1x pilot-strength line).
enum class TAlignBand { Excellent, Good, Bad };
TAlignBand AlignBandOf(TAlignFigure aFigure, TEvdoType aLinkType, double aValue);
// "Excelent.", "Good.", "Bad." as the charts write them.
std::string_view AlignBandCaption(TAlignBand aBand);
// The colours of the RX chart's scale: green, amber, red.
TRgb AlignBandColor(TAlignBand aBand);
