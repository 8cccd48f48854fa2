// Measuring a tone from its samples: loudness and the frequency from its zero crossings.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tone_measure {

inline double Rms(std::span<const int16_t> aSamples) {
  if (aSamples.empty()) return 0;
  double sum = 0;
  for (int16_t s : aSamples) sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(aSamples.size()));
}

// From the rising zero crossings, each placed between its two samples by interpolation; none
// when the stretch is quieter than aMinRms or holds fewer than three crossings.
inline std::optional<double> Frequency(std::span<const int16_t> aSamples, int aRate, double aMinRms = 300) {
  if (Rms(aSamples) < aMinRms) return std::nullopt;
  std::vector<double> crossings;
  for (size_t i = 1; i < aSamples.size(); ++i) {
    const double a = aSamples[i - 1], b = aSamples[i];
    if (a < 0 && b >= 0) crossings.push_back(static_cast<double>(i - 1) + a / (a - b));
  }
  if (crossings.size() < 3) return std::nullopt;
  return static_cast<double>(crossings.size() - 1) * aRate / (crossings.back() - crossings.front());
}

}  // namespace tone_measure
