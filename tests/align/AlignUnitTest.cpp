// The alignment unit in virtual time: sampling every 100 ms, smoothing, peak hold and reset, the
// no-signal states, the figure switch, the pitch map and the beeps near the peak, the history,
// and the console's lines and commands.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "align/AlignText.h"
#include "align/AlignUnit.h"
#include "window/VirtualUiLoop.h"

using namespace std::chrono_literals;

namespace {

// Every read returns what the test last put in Next.
class TScriptedSource final : public TAlignSource {
 public:
  TAlignReading Read() override {
    ++Reads;
    return Next;
  }
  TAlignReading Next;
  int Reads = 0;
};

TAlignReading RevA(float aRx, float aDrc = 614.4f, float aEcIo = -3.0f, int aCell = 2276, int aSector = 3, int aPn = 276) {
  TAlignReading r;
  r.Present = true;
  r.NoData = false;
  r.LinkType = evtRevA;
  r.LinkText = "Rev.A";
  r.Figures = {aRx, aDrc, aEcIo};
  r.Cell = aCell;
  r.Sector = aSector;
  r.Pn = aPn;
  return r;
}

class AlignUnitTest : public ::testing::Test {
 protected:
  explicit AlignUnitTest(TAlignSettings aSettings = {}) {
    aSettings.WallClock = [this] { return TWallClock::time_point(std::chrono::duration_cast<TWallClock::duration>(FLoop.Elapsed())); };
    FUnit = std::make_unique<TAlignUnit>(FLoop, FSource, std::move(aSettings), &FTone);
    FUnit->OnSample = [this](const TAlignSnapshot& s) { Lines.push_back(AlignConsoleLine(s)); };
    FUnit->Start();
  }
  // One 100 ms sample of aReading.
  const TAlignSnapshot& Step(const TAlignReading& aReading) {
    FSource.Next = aReading;
    FLoop.AdvanceBy(100ms);
    return FUnit->Snapshot();
  }
  const TAlignSnapshot& Hold(const TAlignReading& aReading, int aSamples) {
    for (int i = 0; i < aSamples; ++i) Step(aReading);
    return FUnit->Snapshot();
  }
  TAlignUnit& Unit() { return *FUnit; }

  TVirtualUiLoop FLoop;
  TScriptedSource FSource;
  TToneControl FTone;
  std::unique_ptr<TAlignUnit> FUnit;
  std::vector<std::string> Lines;
};

}  // namespace

TEST_F(AlignUnitTest, SamplesEvery100MillisecondsAndSmoothsOverTheLast300) {
  FSource.Next = RevA(-80);
  FLoop.AdvanceBy(1000ms);
  EXPECT_EQ(FSource.Reads, 10);
  EXPECT_EQ(Lines.size(), 10u);
  EXPECT_DOUBLE_EQ(Unit().Snapshot().Value, -80);

  // A 30 dB jump shows a third at a time: the mean of the last three samples.
  EXPECT_DOUBLE_EQ(Step(RevA(-50)).Value, -70);
  EXPECT_DOUBLE_EQ(Step(RevA(-50)).Value, -60);
  EXPECT_DOUBLE_EQ(Step(RevA(-50)).Value, -50);

  Unit().Stop();
  FLoop.AdvanceBy(1000ms);
  EXPECT_EQ(FSource.Reads, 13);
  EXPECT_FALSE(FTone.Get().Audible) << "stopping silences the tone";
}

TEST_F(AlignUnitTest, HoldsThePeakWithItsTimeAndPlaceUntilReset) {
  Hold(RevA(-90, 614.4f, -3, 100, 1, 4), 3);
  Hold(RevA(-70, 614.4f, -3, 2276, 3, 276), 3);  // reached at 600 ms
  const TAlignSnapshot& after = Hold(RevA(-85, 614.4f, -3, 300, 2, 8), 5);
  ASSERT_TRUE(after.Peak);
  EXPECT_DOUBLE_EQ(after.Peak->Value, -70);
  EXPECT_EQ(after.Peak->Time.time_since_epoch(), 600ms);
  EXPECT_EQ(AlignPeakPlace(*after.Peak), "2276-3/276");
  EXPECT_EQ(after.Peak->LinkText, "Rev.A");
  EXPECT_DOUBLE_EQ(after.Value, -85);

  Unit().ResetPeak();
  EXPECT_FALSE(Unit().Snapshot().Peak);
  const TAlignSnapshot& fresh = Step(RevA(-85, 614.4f, -3, 300, 2, 8));
  ASSERT_TRUE(fresh.Peak);
  EXPECT_DOUBLE_EQ(fresh.Peak->Value, -85);
  EXPECT_EQ(AlignPeakPlace(*fresh.Peak), "300-2/8");
  // A reset clears every figure's peak, not only the one shown.
  Unit().SetFigure(TAlignFigure::EcIo);
  ASSERT_TRUE(Unit().Snapshot().Peak);
  EXPECT_EQ(Unit().Snapshot().Peak->Time.time_since_epoch(), 1200ms);
}

TEST_F(AlignUnitTest, NoSignalIsAStateOfItsOwnNeverANumber) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  struct TCase {
    const char* Name;
    TAlignReading Reading;
    TAlignState State;
    const char* Reason;
  };
  TAlignReading gone;
  TAlignReading asleep = RevA(-70);
  asleep.Sleeping = true;
  TAlignReading stale = RevA(-100);
  stale.NoData = true;
  TAlignReading oneX = RevA(0);
  oneX.LinkType = evtEv1X;
  oneX.LinkText = "1x";
  oneX.Figures[0] = std::nullopt;
  const TCase cases[] = {
      {"no modem", gone, TAlignState::NoSignal, "no modem"},
      {"sleeping", asleep, TAlignState::NoSignal, "modem asleep"},
      {"cycle's no data", stale, TAlignState::NoSignal, "no link data"},
      {"NaN", RevA(kNan), TAlignState::NoSignal, "unreadable value"},
      {"infinite", RevA(std::numeric_limits<float>::infinity()), TAlignState::NoSignal, "unreadable value"},
      {"absurd", RevA(1e9f), TAlignState::NoSignal, "unreadable value"},
      {"not on 1x", oneX, TAlignState::NotReported, "rx not reported on 1x"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Hold(RevA(-60), 3);
    ASSERT_TRUE(FTone.Get().Audible);
    const TAlignSnapshot& s = Step(c.Reading);
    EXPECT_EQ(s.State, c.State);
    EXPECT_EQ(s.Reason, c.Reason);
    EXPECT_FALSE(FTone.Get().Audible);
    EXPECT_FALSE(FTone.Get().Pulse);
    EXPECT_TRUE(std::isfinite(FTone.Get().FrequencyHz));
    EXPECT_FALSE(Unit().History().back().has_value());
    EXPECT_EQ(Lines.back(), c.State == TAlignState::NotReported ? "align: no signal (rx not reported on 1x)" : "align: no signal");
    // After the gap the smoothing starts afresh: nothing from before it is averaged in.
    EXPECT_DOUBLE_EQ(Step(RevA(-90)).Value, -90);
    EXPECT_TRUE(FTone.Get().Audible);
  }
}

TEST_F(AlignUnitTest, FigureSwitchShowsEachFigureWithItsRangeAndKeepsTheirHistories) {
  Hold(RevA(-80, 1228.8f, -4.5f), 5);
  struct TCase {
    TAlignFigure Figure;
    double Value;
    TAlignRange Range;
    const char* Unit;
    const char* Line;
  };
  const TCase cases[] = {
      {TAlignFigure::Drc, 1228.8, {0, 3072}, "kbit/s", "align: drc 1228.8 peak 1228.8 [2276-3/276] ############|-----------------"},
      {TAlignFigure::EcIo, -4.5, {-20, 0}, "dB", "align: ecio -4.5 peak -4.5 [2276-3/276] #######################|------"},
      {TAlignFigure::Rx, -80, {-110, -50}, "dBm", "align: rx -80.0 peak -80.0 [2276-3/276] ###############|--------------"},
  };
  size_t samples = 5;
  for (const TCase& c : cases) {
    Unit().NextFigure();
    const TAlignSnapshot& s = Step(RevA(-80, 1228.8f, -4.5f));
    EXPECT_EQ(s.Figure, c.Figure);
    EXPECT_NEAR(s.Value, c.Value, 1e-4);
    EXPECT_EQ(s.Range, c.Range);
    EXPECT_EQ(AlignFigureUnit(s.Figure, s.LinkType), c.Unit);
    EXPECT_EQ(Lines.back(), c.Line);
    EXPECT_EQ(Unit().History().size(), ++samples) << "each figure was kept while another was shown";
  }

  // On 1x the DRC figure is a pilot strength: the rate's peak and history do not carry over.
  Unit().SetFigure(TAlignFigure::Drc);
  TAlignReading oneX = RevA(0, -6.0f, -6.0f);
  oneX.LinkType = evtEv1X;
  oneX.Figures[0] = std::nullopt;
  const TAlignSnapshot& s = Step(oneX);
  ASSERT_TRUE(s.Peak);
  EXPECT_DOUBLE_EQ(s.Peak->Value, -6.0);
  EXPECT_EQ(s.Range, (TAlignRange{-20, 0}));
  const auto history = Unit().History();
  EXPECT_EQ(std::count_if(history.begin(), history.end(), [](const auto& v) { return v.has_value(); }), 1);
}

TEST_F(AlignUnitTest, PitchMapsTheRangeLinearlyAndClampsBeyondItsEnds) {
  struct TCase {
    float Rx;
    double Hz;
  };
  const TCase cases[] = {{-110, 300}, {-50, 1800}, {-80, 1050}, {-95, 675}, {-140, 300}, {-30, 1800}, {-109.5f, 312.5}};
  for (const TCase& c : cases) {
    Hold(RevA(c.Rx), 3);
    EXPECT_NEAR(FTone.Get().FrequencyHz, c.Hz, 1e-9) << c.Rx;
    EXPECT_TRUE(FTone.Get().Audible);
  }
}

class AlignUnitRangeTest : public AlignUnitTest {
 protected:
  AlignUnitRangeTest() : AlignUnitTest(RangeSettings()) {}
  static TAlignSettings RangeSettings() {
    TAlignSettings settings;
    settings.Figure = TAlignFigure::EcIo;
    settings.Range = TAlignRange{-10, -2};
    return settings;
  }
};

TEST_F(AlignUnitRangeTest, AGivenRangeAppliesToTheChosenFigureOnly) {
  Hold(RevA(-80, 614.4f, -6), 3);
  EXPECT_DOUBLE_EQ(FTone.Get().FrequencyHz, 1050);
  Hold(RevA(-80, 614.4f, -1), 3);
  EXPECT_DOUBLE_EQ(FTone.Get().FrequencyHz, 1800);
  Unit().SetFigure(TAlignFigure::Rx);
  EXPECT_EQ(Unit().Snapshot().Range, (TAlignRange{-110, -50}));
  EXPECT_DOUBLE_EQ(FTone.Get().FrequencyHz, 1050);
}

TEST_F(AlignUnitTest, BeepsWithin1DbOfThePeakAndMuteSilences) {
  Hold(RevA(-70), 3);
  EXPECT_TRUE(FTone.Get().Pulse) << "the first value is the best so far";
  struct TCase {
    float Rx;
    bool Pulse;
  };
  for (const TCase& c : {TCase{-70.9f, true}, TCase{-71.1f, false}, TCase{-75, false}, TCase{-69, true}}) {
    Hold(RevA(c.Rx), 3);
    EXPECT_EQ(FTone.Get().Pulse, c.Pulse) << c.Rx;
    EXPECT_EQ(Unit().Snapshot().NearPeak, c.Pulse) << c.Rx;
  }

  // Rates: within 1 dB as a power ratio of the peak.
  Unit().SetFigure(TAlignFigure::Drc);
  Hold(RevA(-69, 1228.8f), 3);
  Hold(RevA(-69, 1000), 3);
  EXPECT_TRUE(FTone.Get().Pulse);
  Hold(RevA(-69, 921.6f), 3);
  EXPECT_FALSE(FTone.Get().Pulse);

  Unit().SetMuted(true);
  EXPECT_FALSE(FTone.Get().Audible);
  Hold(RevA(-69, 1228.8f), 3);
  EXPECT_FALSE(FTone.Get().Audible);
  EXPECT_FALSE(FTone.Get().Pulse);
  EXPECT_EQ(Lines.back().rfind("align: drc 1228.8", 0), 0u) << "muted, the figure is still shown";
  Unit().SetMuted(false);
  Unit().SetVolume(0.25);
  EXPECT_TRUE(FTone.Get().Audible);
  EXPECT_DOUBLE_EQ(FTone.Get().Volume, 0.25);
}

TEST_F(AlignUnitTest, HistoryHoldsTheLastMinute) {
  Hold(RevA(-90), 10);
  Hold(TAlignReading{}, 5);
  Hold(RevA(-60), 600 - 15 + 20);
  const auto history = Unit().History();
  ASSERT_EQ(history.size(), 600u);
  EXPECT_TRUE(history.front().has_value()) << "the oldest samples are gone";
  EXPECT_DOUBLE_EQ(*history.back(), -60);
}

TEST_F(AlignUnitTest, ConsoleCommands) {
  Hold(RevA(-70, 614.4f, -3), 3);
  Hold(RevA(-80, 614.4f, -3), 3);
  struct TCase {
    const char* Line;
    std::optional<std::string> Answer;
  };
  const TCase cases[] = {
      {"peak", "align: peak reset"},
      {"figure drc", "align: figure drc"},
      {"figure loud", "align: figure: rx, drc or ecio, not \"loud\""},
      {"figure", "align: figure: rx, drc or ecio, not \"\""},
      {"mute", "align: muted"},
      {"unmute", "align: unmuted"},
      {"volume 40", "align: volume 40.0"},
      {"volume 140", "align: volume: a number from 0 to 100, not \"140\""},
      {"volume nan", "align: volume: a number from 0 to 100, not \"nan\""},
      {"report", std::nullopt},
      {"peaks", std::nullopt},
  };
  for (const TCase& c : cases) EXPECT_EQ(RunAlignCommand(Unit(), c.Line), c.Answer) << c.Line;
  EXPECT_EQ(Unit().Figure(), TAlignFigure::Drc);
  EXPECT_DOUBLE_EQ(Unit().Volume(), 0.4);
  Step(RevA(-80, 614.4f, -3));
  EXPECT_EQ(Lines.back(), "align: drc 614.4 peak 614.4 [2276-3/276] ######|-----------------------");
}

TEST(AlignFigures, BandsFollowTheChartsThirds) {
  struct TCase {
    TAlignFigure Figure;
    TEvdoType Link;
    double Value;
    TAlignBand Band;
  };
  const TCase cases[] = {
      {TAlignFigure::Rx, evtRevA, -60, TAlignBand::Excellent},  {TAlignFigure::Rx, evtRevA, -85.4, TAlignBand::Excellent},
      {TAlignFigure::Rx, evtRevA, -88, TAlignBand::Good},       {TAlignFigure::Rx, evtRevA, -97, TAlignBand::Bad},
      {TAlignFigure::Rx, evtRevA, -20, TAlignBand::Excellent},  {TAlignFigure::Rx, evtRevA, -120, TAlignBand::Bad},
      {TAlignFigure::Drc, evtRevA, 2457.6, TAlignBand::Excellent}, {TAlignFigure::Drc, evtRevA, 1000, TAlignBand::Good},
      {TAlignFigure::Drc, evtRevA, 153.6, TAlignBand::Bad},     {TAlignFigure::Drc, evtRevB, 9000, TAlignBand::Excellent},
      {TAlignFigure::Drc, evtEv1X, -4, TAlignBand::Excellent},  {TAlignFigure::EcIo, evtRevA, -12, TAlignBand::Good},
      {TAlignFigure::EcIo, evtRevB, -19, TAlignBand::Bad},
  };
  for (const TCase& c : cases)
    EXPECT_EQ(AlignBandOf(c.Figure, c.Link, c.Value), c.Band) << AlignFigureName(c.Figure) << " " << c.Value;
  EXPECT_EQ(AlignBandCaption(TAlignBand::Excellent), "Excelent.");
  EXPECT_EQ(AlignBandColor(TAlignBand::Good), (TRgb{255, 216, 0}));
}
