// The alignment unit's readings from a real session: the window logic running the simulated
// modem on a pseudo-terminal (ticks in virtual time, the device in real time), each figure
// compared with what the device sent, per link type, asleep and unplugged.
#include <gtest/gtest.h>

#include <thread>

#include "../window/WindowTestSupport.h"
#include "align/AlignText.h"
#include "align/SessionAlignSource.h"
#include "serial/SetupAPI.h"
#include "sim/SimulatedModem.h"
#include "window/MainUnit.h"
#include "window/VirtualUiLoop.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kLong = 60s;  // never reached when things work
constexpr float kHeldRx = -77.5f;

class SessionAlignSource : public ::testing::Test {
 protected:
  ~SessionAlignSource() override {
    if (FFm) FFm->FormClose();
  }

  void Start(sim::TSimMode aMode) {
    sim::TSimConfig config;
    config.Mode = aMode;
    config.Seed = 11;
    FSim = std::make_unique<sim::TSimulatedModem>(config);
    FSim->SetRxLevel(kHeldRx);
    FSim->Start();
    const uint16_t number = FTable.RegisterExtraPort(FSim->SlavePath(), "Simulated modem");
    TMainFmOptions options;
    options.PortTable = &FTable;
    options.StarterDelay = 10;
    options.EnumerateComPorts = [number]() -> TPortEntries {
      return std::vector<std::string>{FormatPortLine("COM" + std::to_string(number), "Simulated modem")};
    };
    FFm = std::make_unique<TMainFm>(FView, FLoop, std::move(options));
    FSource = std::make_unique<TSessionAlignSource>(*FFm);
    ASSERT_TRUE(FLoop.RunUntil([&] { return FFm->ModemTimerEnabled(); }, kLong));
  }

  // Lets real and virtual time run side by side, 100 ms at a time, until aDone holds.
  bool RunUntil(const std::function<bool()>& aDone) {
    const auto deadline = std::chrono::steady_clock::now() + kLong;
    while (!aDone()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(25ms);
      FLoop.AdvanceBy(100ms);
    }
    return true;
  }
  std::optional<float> Figure(const TAlignReading& aReading, TAlignFigure aFigure) {
    return aReading.Figures[static_cast<size_t>(aFigure)];
  }

  TPortTable FTable;
  TVirtualUiLoop FLoop;
  TRecordingView FView;
  std::unique_ptr<sim::TSimulatedModem> FSim;
  std::unique_ptr<TMainFm> FFm;
  std::unique_ptr<TSessionAlignSource> FSource;
};

}  // namespace

TEST_F(SessionAlignSource, RevAReportsEveryFigureAsTheDeviceSentIt) {
  Start(sim::TSimMode::RevA);
  TAlignReading r;
  ASSERT_TRUE(RunUntil([&] {
    r = FSource->Read();
    const sim::TSimTruth truth = FSim->Truth();
    return !r.NoData && truth.ArqA && truth.Neighbors && truth.LastSector &&
           Figure(r, TAlignFigure::Drc) == truth.ArqA->RateKbps && Figure(r, TAlignFigure::EcIo) == truth.Neighbors->APilotEng &&
           r.Cell == truth.LastSector->Cell && r.Pn == truth.LastSector->Pn;
  })) << "drc " << Figure(r, TAlignFigure::Drc).value_or(-1) << " ecio " << Figure(r, TAlignFigure::EcIo).value_or(-1);
  EXPECT_TRUE(r.Present);
  EXPECT_FALSE(r.Sleeping);
  EXPECT_EQ(r.LinkType, evtRevA);
  EXPECT_EQ(r.LinkText, "Rev.A");
  EXPECT_EQ(Figure(r, TAlignFigure::Rx), kHeldRx);

  // The unit on the same loop samples it every 100 ms and shows the held level as its peak.
  TAlignUnit unit(FLoop, *FSource, {});
  std::vector<std::string> lines;
  unit.OnSample = [&](const TAlignSnapshot& s) { lines.push_back(AlignConsoleLine(s)); };
  unit.Start();
  ASSERT_TRUE(RunUntil([&] { return lines.size() >= 5; }));
  EXPECT_EQ(lines.back().rfind("align: rx -77.5 peak -77.5 [", 0), 0u) << lines.back();

  // Pulled out (no port notifications here): the cycle soon finds no link data.
  FSim->Unplug();
  ASSERT_TRUE(RunUntil([&] { return lines.back() == "align: no signal"; }));
  EXPECT_EQ(unit.Snapshot().Reason, "no link data");
}

TEST_F(SessionAlignSource, OneXHasNoRxAndTakesThePilotForDrcAndEcIo) {
  Start(sim::TSimMode::Ev1x);
  TAlignReading r;
  ASSERT_TRUE(RunUntil([&] {
    r = FSource->Read();
    const sim::TSimTruth truth = FSim->Truth();
    return !r.NoData && r.LinkType == evtEv1X && truth.PilotSet && truth.PilotSet->NumberOfFingers > 0 &&
           Figure(r, TAlignFigure::EcIo) == truth.PilotSet->Fingers[0].Energy;
  }));
  EXPECT_FALSE(Figure(r, TAlignFigure::Rx));
  EXPECT_EQ(Figure(r, TAlignFigure::Drc), Figure(r, TAlignFigure::EcIo));

  // Stalled: 2.5 s without a pilot log is no data.
  FSim->Stall(true);
  ASSERT_TRUE(RunUntil([&] { return FSource->Read().NoData; }));
}

TEST_F(SessionAlignSource, ASleepingModemIsNoSignal) {
  Start(sim::TSimMode::Sleep);
  ASSERT_TRUE(RunUntil([&] { return FSource->Read().Sleeping; }));
  TAlignUnit unit(FLoop, *FSource, {});
  unit.Sample();
  EXPECT_EQ(unit.Snapshot().State, TAlignState::NoSignal);
  EXPECT_EQ(unit.Snapshot().Reason, "modem asleep");
}
