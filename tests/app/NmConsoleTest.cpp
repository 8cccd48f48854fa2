// cdma-monitor --console with NetworkManager played by python-dbusmock on a private bus (given to
// the program as its system bus) and a simulated modem of the test's own: the stand-in stopped
// holds neither the polling cycle nor the connection list, and the stand-in killed while
// connected drops the connection, after which a dial works once it is back.
#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <chrono>
#include <cstdio>
#include <string>

#include "ConsoleProgramSupport.h"
#include "NmMock.h"
#include "sim/SimulatedModem.h"

using namespace std::chrono_literals;
using namespace console_test;
using namespace nm_test;

namespace {

using TClock = std::chrono::steady_clock;

bool IsCycle(const std::string& aLine) { return StartsWith(aLine, "RX: "); }
bool IsPanelLine(const std::string& aLine) {
  return StartsWith(aLine, "dialup: ") || StartsWith(aLine, "button: ") || StartsWith(aLine, "message: ");
}

class NmConsole : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "nm-console-tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  }

  void SetUp() override {
    Mock = std::make_unique<TNmMock>();
    Mock->AddProfile(kCdmaProfile);
    Mock->AddProfile(kVpnProfile);
    sim::TSimConfig config;
    config.Mode = sim::TSimMode::RevA;
    Sim = std::make_unique<sim::TSimulatedModem>(config);
    Sim->Start();
    Program = std::make_unique<TProgram>(std::vector<std::string>{"--console", "--port", Sim->SlavePath()},
                                         std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + Mock->Address()});
    // The list, learnt in the background, drops down once it is known.
    ASSERT_TRUE(Program->ReadUntil([](const std::string& l) { return l == "entries: 2"; }));
    EXPECT_EQ(Program->ReadLine(), "entry: Carrier CDMA");
    EXPECT_EQ(Program->ReadLine(), "entry: Office VPN");
    ASSERT_TRUE(Program->ReadUntil(IsCycle)) << "the modem was not started";
  }

  void TearDown() override {
    if (Program) {
      Program->Write("quit");
      EXPECT_EQ(Program->Wait(), 0);
    }
    Program.reset();
    Sim.reset();
    Mock.reset();
  }

  std::string NextPanelLine() { return Program->ReadUntil(IsPanelLine).value_or("<no more output>"); }

  std::unique_ptr<TNmMock> Mock;
  std::unique_ptr<sim::TSimulatedModem> Sim;
  std::unique_ptr<TProgram> Program;
};

}  // namespace

TEST_F(NmConsole, TheStandInStoppedHoldsNeitherTheCyclesNorTheListNorTheDial) {
  // Stopped for longer than any gap allowed below, so that a call waiting for it would show.
  constexpr auto kStopped = 8s;
  constexpr auto kAllowedGap = 4s;  // the cycle is 500 ms; a call waiting for the service, 25 s
  Mock->Pause();
  const auto stopped = TClock::now();
  auto lastCycle = stopped;
  TClock::duration longest{};
  bool listed = false, asked = false, dialled = false;
  std::vector<std::string> panel;
  while (TClock::now() - stopped < kStopped) {
    const auto line = Program->ReadLine(1s);
    const auto now = TClock::now();
    if (line && IsCycle(*line)) {
      longest = std::max(longest, now - lastCycle);
      lastCycle = now;
    }
    if (line && *line == "entries: 2") listed = true;
    if (line && IsPanelLine(*line)) panel.push_back(*line);
    if (!asked && now - stopped > 1s) {
      Program->Write("entries");
      asked = true;
    }
    if (!dialled && now - stopped > 2s) {
      Program->Write("select Carrier CDMA");
      Program->Write("connect");
      dialled = true;
    }
  }
  longest = std::max(longest, TClock::now() - lastCycle);
  const double longestMs = std::chrono::duration<double, std::milli>(longest).count();
  std::printf("[ figures  ] console, NetworkManager stopped for 8 s: longest gap between cycle lines %.0f ms\n", longestMs);
  EXPECT_LT(longest, kAllowedGap);
  EXPECT_TRUE(listed) << "entries answered from what was learnt";
  EXPECT_TRUE(panel.empty()) << panel.front();

  Mock->Resume();
  std::string line;
  while ((line = NextPanelLine()) != "dialup: Connected.") ASSERT_FALSE(StartsWith(line, "message: ")) << line;
}

TEST_F(NmConsole, TheStandInKilledWhileConnectedDropsTheConnectionAndALaterDialWorks) {
  Program->Write("select Carrier CDMA");
  Program->Write("connect");
  ASSERT_TRUE(Program->ReadUntil([](const std::string& l) { return l == "dialup: Connected."; }));

  Mock->Kill();
  EXPECT_EQ(NextPanelLine(), "button: Connect");
  EXPECT_EQ(NextPanelLine(), "dialup: ");
  ASSERT_TRUE(Program->ReadUntil(IsCycle)) << "the cycles go on";

  // Back (empty, as a service that has just started), then given its profile again.
  Mock->StartService();
  Mock->AddProfile(kCdmaProfile);
  bool listed = false;
  for (const auto deadline = TClock::now() + 60s; !listed && TClock::now() < deadline;) {
    Program->Write("entries");
    const auto count = Program->ReadUntil([](const std::string& l) { return StartsWith(l, "entries: "); });
    ASSERT_TRUE(count);
    listed = *count == "entries: 1";
  }
  ASSERT_TRUE(listed);
  Program->Write("select Carrier CDMA");
  Program->Write("connect");
  std::string line;
  while ((line = NextPanelLine()) != "dialup: Connected.") ASSERT_FALSE(StartsWith(line, "message: ")) << line;
}
