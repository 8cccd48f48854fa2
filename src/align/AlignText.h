// The alignment mode as text: the console's line per sample, the bar, the peak's place, and the
// console's commands.
#pragma once

#include <optional>
#include <string>

#include "align/AlignUnit.h"

// A figure's value with one decimal and a full stop: "-74.8", "1843.2".
std::string AlignValueText(double aValue);
// Where a peak was reached: "2276-3/276" (cell-sector/PN).
std::string AlignPeakPlace(const TAlignPeak& aPeak);
// aWidth characters: '#' up to aPosition (0..1), '-' beyond, and '|' at the peak's position.
std::string AlignBar(double aPosition, std::optional<double> aPeakPosition, int aWidth = 30);
// "align: rx -74.8 peak -71.2 [2276-3/276] ##########---|-----", or "align: no signal" (with the
// reason in brackets when the link type does not report the figure).
std::string AlignConsoleLine(const TAlignSnapshot& aSnapshot);

// The console's commands: "peak" (reset), "figure rx|drc|ecio", "mute", "unmute", "volume 0..100".
// None when aLine is not one of them; otherwise the line that answers it.
std::optional<std::string> RunAlignCommand(TAlignUnit& aUnit, const std::string& aLine);
// Whether aLine is one of those commands (for saying they need --align).
bool IsAlignCommand(const std::string& aLine);
