// The alignment unit: sampling, smoothing, peak hold, history and the tone's parameters.
#include "align/AlignUnit.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

std::string NotReportedReason(TAlignFigure aFigure, const std::string& aLinkText) {
  return std::string(AlignFigureName(aFigure)) + " not reported on " + (aLinkText.empty() ? "this link" : aLinkText);
}

}  // namespace

TAlignUnit::TAlignUnit(TUiLoop& aLoop, TAlignSource& aSource, TAlignSettings aSettings, TToneControl* aTone)
    : FLoop(aLoop),
      FSource(aSource),
      FTone(aTone),
      FWallClock(std::move(aSettings.WallClock)),
      FFigure(aSettings.Figure),
      FMuted(aSettings.Muted),
      FVolume(std::clamp(aSettings.Volume, 0.0, 1.0)) {
  FTracks[static_cast<size_t>(FFigure)].Range = aSettings.Range;
  FTimer = FLoop.CreateTimer(kSampleInterval, [this] { Sample(); });
  FSnapshot.Reason = "no modem";
  Publish();
}

TAlignUnit::~TAlignUnit() { Stop(); }

void TAlignUnit::Start() { FTimer->SetEnabled(true); }

void TAlignUnit::Stop() {
  FTimer->SetEnabled(false);
  if (FTone) FTone->Set(TToneParams{.Audible = false, .FrequencyHz = FSnapshot.Tone.FrequencyHz, .Volume = FVolume});
}

bool TAlignUnit::Running() const { return FTimer->Enabled(); }

TWallClock::time_point TAlignUnit::WallNow() const { return FWallClock ? FWallClock() : TWallClock::now(); }

void TAlignUnit::Sample() {
  FLast = FSource.Read();
  ++FSamples;
  const TWallClock::time_point now = WallNow();
  for (int f = 0; f < kAlignFigureCount; ++f) Take(FTracks[static_cast<size_t>(f)], static_cast<TAlignFigure>(f), FLast, now);
  Publish();
  if (OnSample) OnSample(FSnapshot);
}

void TAlignUnit::Take(TTrack& aTrack, TAlignFigure aFigure, const TAlignReading& aReading, TWallClock::time_point aNow) {
  const std::optional<float>& reading = aReading.Figures[static_cast<size_t>(aFigure)];
  aTrack.Reason.clear();
  if (!aReading.Present)
    aTrack.Reason = "no modem";
  else if (aReading.Sleeping)
    aTrack.Reason = "modem asleep";
  else if (aReading.NoData)
    aTrack.Reason = "no link data";
  else if (!reading)
    aTrack.Reason = NotReportedReason(aFigure, aReading.LinkText);
  else if (!PlausibleAlignValue(aFigure, *reading))
    aTrack.Reason = "unreadable value";

  if (!aTrack.Reason.empty()) {
    aTrack.State = aReading.Present && !aReading.Sleeping && !aReading.NoData && !reading ? TAlignState::NotReported
                                                                                          : TAlignState::NoSignal;
    aTrack.Recent.clear();
    aTrack.History.push_back(std::nullopt);
  } else {
    // The DRC figure is a pilot strength on 1x and a rate on EV-DO: values of one are no peak
    // and no history for the other.
    const TAlignRange family = DefaultAlignRange(aFigure, aReading.LinkType);
    if (family != aTrack.Family) {
      aTrack.Family = family;
      aTrack.Recent.clear();
      aTrack.Peak.reset();
      std::fill(aTrack.History.begin(), aTrack.History.end(), std::nullopt);
    }
    aTrack.State = TAlignState::Signal;
    aTrack.Recent.push_back(*reading);
    while (aTrack.Recent.size() > kSmoothingSamples) aTrack.Recent.pop_front();
    aTrack.Value = std::accumulate(aTrack.Recent.begin(), aTrack.Recent.end(), 0.0) / static_cast<double>(aTrack.Recent.size());
    if (!aTrack.Peak || aTrack.Value > aTrack.Peak->Value)
      aTrack.Peak = TAlignPeak{aTrack.Value, aNow, aReading.Cell, aReading.Sector, aReading.Pn, aReading.LinkText};
    aTrack.History.push_back(static_cast<float>(aTrack.Value));
  }
  while (aTrack.History.size() > kHistorySamples) aTrack.History.pop_front();
}

void TAlignUnit::Publish() {
  const TTrack& track = FTracks[static_cast<size_t>(FFigure)];
  TAlignSnapshot& s = FSnapshot;
  s.Figure = FFigure;
  s.State = track.State;
  s.Reason = track.State == TAlignState::Signal ? std::string() : (track.Reason.empty() ? "no modem" : track.Reason);
  s.LinkType = FLast.LinkType;
  s.LinkText = FLast.LinkText;
  s.Value = track.State == TAlignState::Signal ? track.Value : 0;
  s.Range = track.Range.value_or(DefaultAlignRange(FFigure, FLast.LinkType));
  s.Peak = track.Peak;
  s.NearPeak = track.State == TAlignState::Signal && track.Peak && NearAlignPeak(FFigure, FLast.LinkType, track.Value, track.Peak->Value);
  s.Band = AlignBandOf(FFigure, FLast.LinkType, s.Value);
  s.Muted = FMuted;
  s.Volume = FVolume;
  s.Samples = FSamples;

  TToneParams tone;
  tone.Audible = track.State == TAlignState::Signal && !FMuted;
  tone.FrequencyHz = tone.Audible ? PitchOf(track.Value, s.Range) : s.Tone.FrequencyHz;
  tone.Pulse = tone.Audible && s.NearPeak;
  tone.Volume = FVolume;
  s.Tone = tone;
  if (FTone) FTone->Set(tone);
}

void TAlignUnit::ResetPeak() {
  for (TTrack& track : FTracks) track.Peak.reset();
  Publish();
}

void TAlignUnit::SetFigure(TAlignFigure aFigure) {
  FFigure = aFigure;
  Publish();
}

void TAlignUnit::NextFigure() { SetFigure(NextAlignFigure(FFigure)); }

void TAlignUnit::SetMuted(bool aMuted) {
  FMuted = aMuted;
  Publish();
}

void TAlignUnit::SetVolume(double aVolume) {
  FVolume = std::isfinite(aVolume) ? std::clamp(aVolume, 0.0, 1.0) : FVolume;
  Publish();
}

std::vector<std::optional<float>> TAlignUnit::History() const {
  const TTrack& track = FTracks[static_cast<size_t>(FFigure)];
  return {track.History.begin(), track.History.end()};
}
