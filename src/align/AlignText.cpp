// The alignment mode's console text.
#include "align/AlignText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kFigureCommand[] = "figure ";
constexpr char kVolumeCommand[] = "volume ";

bool StartsWith(const std::string& aLine, const char* aPrefix) { return aLine.rfind(aPrefix, 0) == 0; }

}  // namespace

std::string AlignValueText(double aValue) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", aValue);
  return text;
}

std::string AlignPeakPlace(const TAlignPeak& aPeak) {
  return std::to_string(aPeak.Cell) + "-" + std::to_string(aPeak.Sector) + "/" + std::to_string(aPeak.Pn);
}

std::string AlignBar(double aPosition, std::optional<double> aPeakPosition, int aWidth) {
  if (aWidth <= 0) return {};
  const auto cell = [aWidth](double aAt) {
    return static_cast<int>(std::lround(std::clamp(std::isfinite(aAt) ? aAt : 0.0, 0.0, 1.0) * aWidth));
  };
  const int filled = cell(aPosition);
  std::string bar(static_cast<size_t>(aWidth), '-');
  for (int i = 0; i < filled; ++i) bar[static_cast<size_t>(i)] = '#';
  if (aPeakPosition) bar[static_cast<size_t>(std::min(cell(*aPeakPosition), aWidth - 1))] = '|';
  return bar;
}

std::string AlignConsoleLine(const TAlignSnapshot& aSnapshot) {
  if (aSnapshot.State == TAlignState::NotReported) return "align: no signal (" + aSnapshot.Reason + ")";
  if (aSnapshot.State != TAlignState::Signal) return "align: no signal";
  std::string line = "align: " + std::string(AlignFigureName(aSnapshot.Figure)) + " " + AlignValueText(aSnapshot.Value);
  std::optional<double> peakAt;
  if (aSnapshot.Peak) {
    line += " peak " + AlignValueText(aSnapshot.Peak->Value) + " [" + AlignPeakPlace(*aSnapshot.Peak) + "]";
    peakAt = RangePosition(aSnapshot.Peak->Value, aSnapshot.Range);
  }
  return line + " " + AlignBar(RangePosition(aSnapshot.Value, aSnapshot.Range), peakAt);
}

bool IsAlignCommand(const std::string& aLine) {
  return aLine == "peak" || aLine == "mute" || aLine == "unmute" || aLine == "figure" || StartsWith(aLine, kFigureCommand) ||
         StartsWith(aLine, kVolumeCommand);
}

std::optional<std::string> RunAlignCommand(TAlignUnit& aUnit, const std::string& aLine) {
  if (!IsAlignCommand(aLine)) return std::nullopt;
  if (aLine == "peak") {
    aUnit.ResetPeak();
    return "align: peak reset";
  }
  if (aLine == "mute" || aLine == "unmute") {
    aUnit.SetMuted(aLine == "mute");
    return aLine == "mute" ? "align: muted" : "align: unmuted";
  }
  if (StartsWith(aLine, kVolumeCommand)) {
    const std::string text = aLine.substr(sizeof kVolumeCommand - 1);
    char* end = nullptr;
    const double percent = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(percent >= 0 && percent <= 100))
      return "align: volume: a number from 0 to 100, not \"" + text + "\"";
    aUnit.SetVolume(percent / 100);
    return "align: volume " + AlignValueText(percent);
  }
  const std::string name = aLine.size() > sizeof kFigureCommand - 1 ? aLine.substr(sizeof kFigureCommand - 1) : std::string();
  const std::optional<TAlignFigure> figure = AlignFigureFromName(name);
  if (!figure) return "align: figure: rx, drc or ecio, not \"" + name + "\"";
  aUnit.SetFigure(*figure);
  return "align: figure " + name;
}
