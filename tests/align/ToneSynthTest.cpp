// The tone's samples: the pitch the map asks for within 1 %, no break in phase when the pitch
// changes, no click where the tone starts, stops or beeps, and nothing audible from a value
// that is not a number.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "ToneMeasure.h"
#include "align/AlignFigures.h"
#include "align/ToneSynth.h"

namespace {

constexpr int kRate = 48000;

std::vector<int16_t> Render(TToneSynth& aSynth, const TToneParams& aParams, double aSeconds) {
  std::vector<int16_t> out(static_cast<size_t>(aSeconds * kRate));
  // In blocks of 10 ms, as the sound server asks for them.
  for (size_t at = 0; at < out.size(); at += kRate / 100)
    aSynth.Render(aParams, std::span(out).subspan(at, std::min<size_t>(kRate / 100, out.size() - at)));
  return out;
}

// The largest step between neighbouring samples a sine of aHz at full volume can take, with a
// little room for the loudness ramps; a break in phase or a click steps far further.
double SmoothStep(double aHz) {
  return TToneSynth::kFullScale * 32767 * (2 * 3.141592653589793 * aHz / kRate) * 1.05 + 300;
}

double LargestStep(const std::vector<int16_t>& aSamples) {
  double largest = 0;
  for (size_t i = 1; i < aSamples.size(); ++i)
    largest = std::max(largest, std::abs(static_cast<double>(aSamples[i]) - aSamples[i - 1]));
  return largest;
}

}  // namespace

TEST(ToneSynth, PlaysThePitchTheMapGivesWithin1Percent) {
  const TAlignRange rx{-110, -50};
  for (double dbm : {-110.0, -95.0, -80.0, -63.3, -50.0, -20.0}) {
    TToneSynth synth(kRate);
    const double hz = PitchOf(dbm, rx);
    const std::vector<int16_t> samples = Render(synth, {.Audible = true, .FrequencyHz = hz}, 1.0);
    // Past the fade-in, a quarter-second stretch.
    const auto measured = tone_measure::Frequency(std::span(samples).subspan(kRate / 2, kRate / 4), kRate);
    ASSERT_TRUE(measured) << dbm;
    EXPECT_NEAR(*measured, hz, hz * 0.01) << dbm << " dBm";
  }
}

TEST(ToneSynth, GlidesToANewPitchWithoutABreakInPhase) {
  TToneSynth synth(kRate);
  std::vector<int16_t> all = Render(synth, {.Audible = true, .FrequencyHz = 300}, 0.3);
  for (double hz : {1800.0, 550.0, 1550.0, 300.0}) {
    const std::vector<int16_t> next = Render(synth, {.Audible = true, .FrequencyHz = hz}, 0.3);
    // The step across the change is as small as the sine's own: the phase runs on.
    EXPECT_LE(std::abs(static_cast<double>(next.front()) - all.back()), SmoothStep(1800)) << hz;
    const auto settled = tone_measure::Frequency(std::span(next).subspan(kRate / 10, kRate / 10), kRate);
    ASSERT_TRUE(settled);
    EXPECT_NEAR(*settled, hz, hz * 0.01) << "settled within 100 ms";
    all.insert(all.end(), next.begin(), next.end());
  }
  EXPECT_LE(LargestStep(all), SmoothStep(1800));
}

TEST(ToneSynth, StartsStopsAndBeepsWithoutClicks) {
  TToneSynth synth(kRate);
  std::vector<int16_t> all;
  const auto add = [&](const TToneParams& aParams, double aSeconds) {
    const std::vector<int16_t> part = Render(synth, aParams, aSeconds);
    all.insert(all.end(), part.begin(), part.end());
    return part;
  };
  add({.Audible = false, .FrequencyHz = 1800}, 0.1);
  add({.Audible = true, .FrequencyHz = 1800, .Volume = 1}, 0.2);
  const std::vector<int16_t> beeps = add({.Audible = true, .FrequencyHz = 1800, .Pulse = true, .Volume = 1}, 1.0);
  add({.Audible = true, .FrequencyHz = 1800, .Volume = 0}, 0.1);
  add({.Audible = false, .FrequencyHz = 1800, .Volume = 1}, 0.1);
  EXPECT_LE(LargestStep(all), SmoothStep(1800));
  EXPECT_EQ(all.back(), 0) << "silent at the end";

  // Beeps: 120 ms sounding, 80 ms quiet, five a second.
  int sounding = 0, quiet = 0;
  for (size_t at = 0; at + kRate / 100 <= beeps.size(); at += kRate / 100) {
    const double rms = tone_measure::Rms(std::span(beeps).subspan(at, kRate / 100));
    (rms > 1000 ? sounding : quiet)++;
  }
  EXPECT_NEAR(sounding, 60, 6);
  EXPECT_NEAR(quiet, 40, 6);
}

TEST(ToneSynth, ANonNumberIsNeverHeard) {
  TToneSynth synth(kRate);
  Render(synth, {.Audible = true, .FrequencyHz = 1000}, 0.2);
  const std::vector<int16_t> after =
      Render(synth, {.Audible = true, .FrequencyHz = std::numeric_limits<double>::quiet_NaN(), .Volume = 1}, 0.2);
  EXPECT_LT(tone_measure::Rms(std::span(after).subspan(after.size() / 2)), 1.0);
  EXPECT_TRUE(std::isfinite(synth.Frequency()));
  const std::vector<int16_t> loud =
      Render(synth, {.Audible = true, .FrequencyHz = 1e12, .Volume = std::numeric_limits<double>::infinity()}, 0.2);
  EXPECT_LT(tone_measure::Rms(loud), 1.0) << "a volume that is not a number is silence";
  const std::vector<int16_t> high = Render(synth, {.Audible = true, .FrequencyHz = 1e12, .Volume = 1}, 0.5);
  const auto measured = tone_measure::Frequency(std::span(high).subspan(kRate / 4), kRate);
  ASSERT_TRUE(measured);
  EXPECT_NEAR(*measured, kHighPitchHz, kHighPitchHz * 0.01);
}

TEST(ToneControl, TheAudioThreadTakesWhatTheUiThreadLeaves) {
  TToneControl control;
  std::atomic<bool> done{false};
  std::jthread audio([&] {
    TToneSynth synth(kRate);
    std::vector<int16_t> block(kRate / 100);
    while (!done) synth.Render(control.Get(), block);
  });
  for (int i = 0; i < 2000; ++i) control.Set({.Audible = true, .FrequencyHz = 300.0 + i % 1500});
  done = true;
  audio.join();
  EXPECT_DOUBLE_EQ(control.Get().FrequencyHz, 300.0 + 1999 % 1500);
}
