// The alignment tone as samples: a sine whose pitch glides to each new target without a break
// in phase, that fades in and out instead of clicking, and that beeps while the figure is as
// good as its peak. No audio interface here: the output hands blocks of samples to one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

// What the tone should be now.
struct TToneParams {
  bool Audible = false;  // a figure to hear: signal, and not muted
  double FrequencyHz = 300;
  bool Pulse = false;    // near the peak: beeps instead of a steady tone
  double Volume = 0.5;   // 0..1
  bool operator==(const TToneParams&) const = default;
};

// Where the user-interface thread leaves the tone's parameters and the audio thread takes them;
// neither waits longer than one copy.
class TToneControl {
 public:
  void Set(const TToneParams& aParams);
  TToneParams Get() const;

 private:
  mutable std::mutex FLock;
  TToneParams FParams;
};

class TToneSynth {
 public:
  static constexpr int kPulsePeriodMs = 200;
  static constexpr int kPulseOnMs = 120;
  // Full-scale fraction at volume 1, leaving headroom for the sound server's mixing.
  static constexpr double kFullScale = 0.8;

  explicit TToneSynth(int aSampleRate);

  // The next samples (mono, signed 16-bit) following aParams. A frequency that is not finite is
  // not heard; one outside the pitch map's ends is taken at the nearest end.
  void Render(const TToneParams& aParams, std::span<int16_t> aOut);

  int SampleRate() const { return FSampleRate; }
  double Frequency() const { return FFrequency; }
  double Amplitude() const { return FAmplitude; }

 private:
  int FSampleRate;
  double FGlide;  // per-sample share of the way to the target pitch
  double FRamp;   // per-sample share of the way to the target loudness
  double FPhase = 0;
  double FFrequency = 300;
  double FAmplitude = 0;
  uint64_t FPulseSample = 0;
  bool FPulsing = false;
};
