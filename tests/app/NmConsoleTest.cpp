// cdma-monitor --console with NetworkManager played by python-dbusmock on a private bus (given to
// the program as its system bus) and a simulated modem of the test's own: the stand-in stopped
// holds neither the polling cycle nor the connection list, and the stand-in killed while
// connected drops the connection, after which a dial works once it is back.
#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
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
    ASSERT_TRUE(AwaitLine("entries: 2"));
    EXPECT_EQ(Program->ReadLine(), "entry: Carrier CDMA");
    EXPECT_EQ(Program->ReadLine(), "entry: Office VPN");
    ASSERT_TRUE(Await(IsCycle)) << "the modem was not started";
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

  // The first line that satisfies aWanted within aLimit, or none; cycle lines keep coming, so a
  // plain ReadUntil would never give up.
  std::optional<std::string> Await(const std::function<bool(const std::string&)>& aWanted,
                                   std::chrono::milliseconds aLimit = 60s) {
    const auto deadline = TClock::now() + aLimit;
    while (TClock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
      const auto line = Program->ReadLine(std::max(left, std::chrono::milliseconds(1)));
      if (line && aWanted(*line)) return line;
    }
    return std::nullopt;
  }
  bool AwaitLine(const std::string& aLine) { return Await([&](const std::string& l) { return l == aLine; }).has_value(); }
  std::string NextPanelLine() { return Await(IsPanelLine).value_or("<none within a minute>"); }
  // The panel's lines of the last minute, for a failure's message.
  std::string RecentPanel() const {
    std::string text;
    for (const std::string& l : Program->Seen)
      if (!IsCycle(l)) text += l + " / ";
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
  }

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
  const auto connected = Await([](const std::string& l) { return l == "dialup: Connected." || StartsWith(l, "message: "); });
  EXPECT_EQ(connected, "dialup: Connected.") << RecentPanel();
}

TEST_F(NmConsole, TheStandInKilledWhileConnectedDropsTheConnectionAndALaterDialWorks) {
  Program->Write("select Carrier CDMA");
  Program->Write("connect");
  ASSERT_TRUE(AwaitLine("dialup: Connected.")) << RecentPanel();

  Mock->Kill();
  EXPECT_EQ(NextPanelLine(), "button: Connect") << RecentPanel();
  EXPECT_EQ(NextPanelLine(), "dialup: ") << RecentPanel();
  ASSERT_TRUE(Await(IsCycle)) << "the cycles go on";

  // Back (empty, as a service that has just started), then given its profile again.
  Mock->StartService();
  Mock->AddProfile(kCdmaProfile);
  bool listed = false;
  for (const auto deadline = TClock::now() + 60s; !listed && TClock::now() < deadline;) {
    Program->Write("entries");
    const auto count = Await([](const std::string& l) { return StartsWith(l, "entries: "); });
    ASSERT_TRUE(count) << RecentPanel();
    listed = *count == "entries: 1";
  }
  ASSERT_TRUE(listed);
  Program->Write("select Carrier CDMA");
  Program->Write("connect");
  const auto connected = Await([](const std::string& l) { return l == "dialup: Connected." || StartsWith(l, "message: "); });
  EXPECT_EQ(connected, "dialup: Connected.") << RecentPanel();
}
