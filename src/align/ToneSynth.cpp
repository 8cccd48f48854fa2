// The alignment tone's synthesis.
#include "align/ToneSynth.h"

#include <algorithm>
#include <cmath>

#include "align/AlignFigures.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Time constants: the pitch settles within a few tens of milliseconds, well inside one 100 ms
// sample; the loudness moves fast enough for crisp beeps and slowly enough not to click.
constexpr double kGlideSeconds = 0.010;
constexpr double kRampSeconds = 0.0025;
// Below this the tone is inaudible: a new pitch is taken at once instead of glided to.
constexpr double kSilentAmplitude = 1e-4;

double ShareOf(double aSeconds, int aRate) { return 1.0 - std::exp(-1.0 / (aSeconds * aRate)); }

}  // namespace

void TToneControl::Set(const TToneParams& aParams) {
  std::lock_guard lock(FLock);
  FParams = aParams;
}

TToneParams TToneControl::Get() const {
  std::lock_guard lock(FLock);
  return FParams;
}

TToneSynth::TToneSynth(int aSampleRate)
    : FSampleRate(std::max(aSampleRate, 8000)),
      FGlide(ShareOf(kGlideSeconds, FSampleRate)),
      FRamp(ShareOf(kRampSeconds, FSampleRate)) {}

void TToneSynth::Render(const TToneParams& aParams, std::span<int16_t> aOut) {
  const bool audible = aParams.Audible && std::isfinite(aParams.FrequencyHz);
  const double target = audible ? std::clamp(aParams.FrequencyHz, kLowPitchHz, kHighPitchHz) : FFrequency;
  const double volume = std::isfinite(aParams.Volume) ? std::clamp(aParams.Volume, 0.0, 1.0) : 0.0;
  const bool pulse = audible && aParams.Pulse;
  if (pulse && !FPulsing) FPulseSample = 0;  // a beep starts with its sounding part
  FPulsing = pulse;
  const uint64_t period = static_cast<uint64_t>(FSampleRate) * kPulsePeriodMs / 1000;
  const uint64_t on = static_cast<uint64_t>(FSampleRate) * kPulseOnMs / 1000;

  for (int16_t& sample : aOut) {
    if (FAmplitude < kSilentAmplitude) FFrequency = target;
    FFrequency += (target - FFrequency) * FGlide;
    FPhase += kTwoPi * FFrequency / FSampleRate;
    if (FPhase >= kTwoPi) FPhase -= kTwoPi;

    double gate = 1;
    if (pulse) gate = (FPulseSample++ % period) < on ? 1.0 : 0.0;
    const double loudness = audible ? volume * gate : 0.0;
    FAmplitude += (loudness - FAmplitude) * FRamp;
    sample = static_cast<int16_t>(std::lround(FAmplitude * kFullScale * 32767.0 * std::sin(FPhase)));
  }
}
