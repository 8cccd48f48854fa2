// The alignment mode's logic: every 100 ms it reads the session's figures, smooths the chosen
// one over the last 300 ms, holds its peak (with the time and the cell/sector/PN where it was
// reached), keeps the last 60 s, and tells the tone what to play. Runs on the user-interface
// thread from a timer of the window's loop, so tests drive it in virtual time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "align/AlignFigures.h"
#include "align/ToneSynth.h"
#include "window/CycleSample.h"
#include "window/UiLoop.h"

// One look at the session.
struct TAlignReading {
  bool Present = false;   // a modem plugged in and its port open
  bool NoData = true;     // the polling cycle found no fresh link data (its no-signal values)
  bool Sleeping = false;  // the modem's searcher sleeps
  TEvdoType LinkType = evtNone;
  std::string LinkText;   // "Rev.A", "1x", ...
  // Per figure (indexed by TAlignFigure); none where the link type does not report it.
  std::array<std::optional<float>, kAlignFigureCount> Figures{};
  int Cell = 0, Sector = 0, Pn = 0;
};

// Where readings come from; Read runs on the user-interface thread.
class TAlignSource {
 public:
  virtual ~TAlignSource() = default;
  virtual TAlignReading Read() = 0;
};

enum class TAlignState {
  Signal,       // a measurement: the value is shown and heard
  NoSignal,     // no modem, no link data, a sleeping modem or an unreadable value
  NotReported,  // the link type does not report the chosen figure (RX on 1x)
};

struct TAlignPeak {
  double Value = 0;
  TWallClock::time_point Time{};
  int Cell = 0, Sector = 0, Pn = 0;
  std::string LinkText;
};

// What the views show after a sample.
struct TAlignSnapshot {
  TAlignFigure Figure = TAlignFigure::Rx;
  TAlignState State = TAlignState::NoSignal;
  std::string Reason;  // why there is no number: "no modem", "modem asleep", ...
  TEvdoType LinkType = evtNone;
  std::string LinkText;
  double Value = 0;  // smoothed; a measurement only in State Signal
  TAlignRange Range;
  std::optional<TAlignPeak> Peak;
  bool NearPeak = false;
  TAlignBand Band = TAlignBand::Bad;
  TToneParams Tone;  // what the tone was last told
  bool Muted = false;
  double Volume = 0.5;
  uint64_t Samples = 0;
};

struct TAlignSettings {
  TAlignFigure Figure = TAlignFigure::Rx;
  std::optional<TAlignRange> Range;  // the span of Figure's tone; the other figures keep theirs
  double Volume = 0.5;
  bool Muted = false;
  // The time stamped on peaks; empty: the system clock.
  std::function<TWallClock::time_point()> WallClock;
};

class TAlignUnit {
 public:
  static constexpr std::chrono::milliseconds kSampleInterval{100};
  static constexpr std::chrono::milliseconds kSmoothingSpan{300};
  static constexpr std::chrono::seconds kHistorySpan{60};
  static constexpr size_t kSmoothingSamples = kSmoothingSpan / kSampleInterval;
  static constexpr size_t kHistorySamples = kHistorySpan / kSampleInterval;

  // aLoop and aSource must outlive the unit; aTone (may be null) receives the tone's parameters
  // after every sample and must outlive the unit too. The unit starts stopped.
  TAlignUnit(TUiLoop& aLoop, TAlignSource& aSource, TAlignSettings aSettings, TToneControl* aTone = nullptr);
  ~TAlignUnit();
  TAlignUnit(const TAlignUnit&) = delete;
  TAlignUnit& operator=(const TAlignUnit&) = delete;

  // Sampling every kSampleInterval. Stop also silences the tone.
  void Start();
  void Stop();
  bool Running() const;

  // One sample: what the timer runs.
  void Sample();
  // After every sample, with its snapshot.
  std::function<void(const TAlignSnapshot&)> OnSample;

  // Forgets the peaks of every figure; the next sample sets them afresh.
  void ResetPeak();
  void SetFigure(TAlignFigure aFigure);
  void NextFigure();
  TAlignFigure Figure() const { return FFigure; }
  void SetMuted(bool aMuted);
  bool Muted() const { return FMuted; }
  // 0..1.
  void SetVolume(double aVolume);
  double Volume() const { return FVolume; }

  // The snapshot of the last sample (with the figure, mute and volume as they are now).
  const TAlignSnapshot& Snapshot() const { return FSnapshot; }
  // The shown figure's last 60 s, oldest first, one entry per sample; none where it had no value.
  std::vector<std::optional<float>> History() const;

 private:
  struct TTrack {
    std::deque<float> Recent;  // the raw values of the smoothing span
    std::optional<TAlignPeak> Peak;
    std::deque<std::optional<float>> History;
    std::optional<TAlignRange> Range;  // the user's; none: the figure's default
    TAlignRange Family;                // the default range the track's values were taken under
    TAlignState State = TAlignState::NoSignal;
    std::string Reason;
    double Value = 0;
  };

  void Take(TTrack& aTrack, TAlignFigure aFigure, const TAlignReading& aReading, TWallClock::time_point aNow);
  void Publish();
  TWallClock::time_point WallNow() const;

  TUiLoop& FLoop;
  TAlignSource& FSource;
  TToneControl* FTone;
  std::function<TWallClock::time_point()> FWallClock;
  std::unique_ptr<TUiTimer> FTimer;
  std::array<TTrack, kAlignFigureCount> FTracks;
  TAlignReading FLast;
  TAlignFigure FFigure;
  bool FMuted;
  double FVolume;
  uint64_t FSamples = 0;
  TAlignSnapshot FSnapshot;
};
