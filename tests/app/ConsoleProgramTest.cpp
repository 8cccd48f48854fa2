// cdma-monitor --console run as a program: its live lines against the simulated modem, its
// commands on standard input, the "Select modem" question, plug and unplug, and a clean exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleProgramSupport.h"
#include "dialup/PingThread_Unit.h"
#include "sim/SimulatedModem.h"

using namespace std::chrono_literals;
using namespace console_test;

TEST(ConsoleProgram, DemoPrintsLiveLinesAnswersCommandsAndQuitsCleanly) {
  TProgram program({"--console", "--demo", "--report-url", "http://127.0.0.1:9/upload.php"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "status: COM"); }));
  // A few cycles, each one line in the window's formats; the modem is soon known as Rev A.
  int cycles = 0;
  while (cycles < 4) {
    const auto line = program.ReadLine();
    ASSERT_TRUE(line) << "no more output";
    if (!StartsWith(*line, "RX: ")) continue;
    EXPECT_TRUE(IsCycleLine(*line)) << *line;
    if (line->find("| Rev.A |") != std::string::npos) ++cycles;
  }

  program.Write("report");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "report: RX Values"; }));
  std::vector<std::string> report;
  while (report.size() < 11) report.push_back(*program.ReadLine());
  EXPECT_TRUE(StartsWith(report[0], "-30..-80  : ")) << report[0];
  EXPECT_TRUE(StartsWith(report[4], "-101..-107: ")) << report[4];
  EXPECT_EQ(report[5], "report: TX Values");
  EXPECT_TRUE(StartsWith(report[6], "-65..-21: ")) << report[6];
  EXPECT_TRUE(StartsWith(report[10], "+15..+25: ")) << report[10];
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "report: DRC Values"; }));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "report: Cell / Sector Values"; }));

  program.Write("ping");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "message: "); }));
  EXPECT_EQ(program.Seen.back(), "message: telvo: Please select modem's connection.");

  // Nobody listens at the report URL: the upload fails with the client's error text.
  program.Write("send");
  const auto sent = program.ReadUntil([](const std::string& l) { return StartsWith(l, "message: "); });
  ASSERT_TRUE(sent);
  EXPECT_TRUE(StartsWith(*sent, "message: telvo: ")) << *sent;
  EXPECT_EQ(sent->find("successfully"), std::string::npos) << *sent;
  // The cycles go on during and after the upload.
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));

  program.Write("quit");
  EXPECT_EQ(program.Wait(), 0);
}

TEST(ConsoleProgram, UnplugAndPlugReachTheWindowThroughThePortNotifications) {
  TProgram program({"--console", "--demo"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  program.Write("unplug");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "status: device not found."; }));
  program.Write("plug");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "status: COM"); }));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  program.Signal(SIGINT);
  EXPECT_EQ(program.Wait(), 0);
}

TEST(ConsoleProgram, DemoReceivePowerHeldAtALevelShowsInTheRxLabel) {
  TProgram program({"--console", "--demo"});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  program.Write("rx -72.5");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX:  -72.5 |"); }));
  program.Write("rx loud");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "rx: "); }));
  EXPECT_EQ(program.Seen.back(), "rx: give a level in dBm (rx -75) or rx auto, not \"loud\"");
  program.Write("quit");
  EXPECT_EQ(program.Wait(), 0);
}

TEST(ConsoleProgram, TwoModemsAskOnStandardInputAndTheEndOfInputOnlyEndsTheCommands) {
  sim::TSimConfig config;
  config.Mode = sim::TSimMode::RevB;
  sim::TSimulatedModem second(config);
  second.Start();
  TProgram program({"--console", "--demo", "--port", second.SlavePath()});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "Select modem"; }));
  const auto first = program.ReadLine();
  const auto other = program.ReadLine();
  ASSERT_TRUE(first && other);
  const std::regex kEntry(R"(Modem #([12]) (COM[0-9]+) +(.*))");
  std::smatch m1, m2;
  ASSERT_TRUE(std::regex_match(*first, m1, kEntry)) << *first;
  ASSERT_TRUE(std::regex_match(*other, m2, kEntry)) << *other;
  EXPECT_EQ(m1[1], "1");
  EXPECT_EQ(m1[3], "Serial device (" + second.SlavePath() + ")") << "--port devices come in the order given";
  EXPECT_EQ(m2[1], "2");
  EXPECT_TRUE(StartsWith(m2[3], "Simulated CDMA modem (")) << *other;
  EXPECT_EQ(m1.position(3) - m1.position(2), 8) << "the name padded to seven, then a space";

  program.Write("7");  // not listed: asked again
  ASSERT_TRUE(program.ReadLine());
  program.Write(" 1 ");
  ASSERT_TRUE(program.ReadUntil([&](const std::string& l) { return l == "status: " + first->substr(9); }));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  // No more commands, but the window runs on until it is told to stop.
  program.CloseInput();
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(), 0);
  // The modem was logged off on the way out.
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (second.LoggingOn() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(second.LoggingOn());
}

TEST(ConsoleProgram, TheDemoConnectionIsListedChosenDialledPingedAndHungUp) {
  TProgram program({"--console", "--demo"});
  const auto isPanelLine = [](const std::string& l) {
    return StartsWith(l, "dialup: ") || StartsWith(l, "button: ") || StartsWith(l, "entr") || StartsWith(l, "selected: ") ||
           StartsWith(l, "select: ") || StartsWith(l, "message: ");
  };
  const auto nextPanelLine = [&] { return program.ReadUntil(isPanelLine).value_or("<no more output>"); };
  // Nothing is up at the start: the list drops down for the user to choose from.
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "entries: 1"; }));
  EXPECT_EQ(nextPanelLine(), "entry: Demo modem connection");

  program.Write("select Office VPN");
  EXPECT_EQ(nextPanelLine(), "select: no entry named \"Office VPN\" (entries lists them)");
  program.Write("select Demo modem connection");
  program.Write("entries");
  std::vector<std::string> list;
  while (list.size() < 3) list.push_back(nextPanelLine());
  EXPECT_EQ(list, (std::vector<std::string>{"entries: 1", "entry: Demo modem connection", "selected: Demo modem connection"}));

  // The dial's steps, then the caption, then the connected step.
  program.Write("connect");
  std::vector<std::string> dial;
  while (dial.empty() || dial.back() != "dialup: Connected.") {
    const auto line = program.ReadUntil(isPanelLine);
    ASSERT_TRUE(line) << "no more output";
    dial.push_back(*line);
  }
  ASSERT_GE(dial.size(), 3u);
  EXPECT_EQ(dial.front(), "dialup: Opening port...");
  EXPECT_EQ(dial[dial.size() - 2], "button: Disconnect");
  for (const std::string& line : dial) EXPECT_FALSE(StartsWith(line, "message: ")) << line;

  // Pings go to the link's far end, the loopback address of the demo.
  program.Write("ping");
  const auto ping = program.ReadUntil([](const std::string& l) { return StartsWith(l, "ping: "); });
  ASSERT_TRUE(ping);
  TIcmpSocketEcho probe;
  if (probe.Open() == 0)
    EXPECT_TRUE(std::regex_match(*ping, std::regex(R"(ping: Reply from 127\.0\.0\.1: bytes=32 time=(<1|[0-9]+)ms TTL=[0-9]+)")))
        << *ping;
  else
    EXPECT_TRUE(StartsWith(*ping, "ping: *** Eror:")) << *ping;
  program.Write("ping");  // stops it

  program.Write("disconnect");
  std::vector<std::string> hangUp;
  while (hangUp.size() < 3) hangUp.push_back(nextPanelLine());
  EXPECT_EQ(hangUp, (std::vector<std::string>{"dialup: Disconnecting...", "button: Connect", "dialup: "}));
  program.Write("quit");
  EXPECT_EQ(program.Wait(), 0);
}

TEST(ConsoleProgram, HelpVersionAndBadArguments) {
  {
    TProgram help({"--help"});
    ASSERT_TRUE(help.ReadLine());
    EXPECT_TRUE(StartsWith(help.Seen[0], "Usage: cdma-monitor [--console]")) << help.Seen[0];
    EXPECT_EQ(help.Wait(), 0);
  }
  {
    TProgram version({"--version"});
    const auto line = version.ReadLine();
    ASSERT_TRUE(line);
    EXPECT_TRUE(StartsWith(*line, "cdma-monitor ")) << *line;
    EXPECT_EQ(version.Wait(), 0);
  }
  TProgram bad({"--console", "--port"});
  EXPECT_EQ(bad.Wait(), 2);
}

// The figures follow the user's locale, as in the window: a German locale, compiled for the test
// where the machine has none installed, gives decimal commas.
TEST(ConsoleProgram, FiguresUseTheDecimalSeparatorOfTheUsersLocale) {
  char dir[] = "/tmp/cdma-locale-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string locales = dir;
  const std::string make = "localedef -c -i de_DE -f UTF-8 " + locales + "/de_DE.UTF-8 >/dev/null 2>&1";
  std::system(make.c_str());  // warnings make localedef's status non-zero; the result counts
  ASSERT_EQ(access((locales + "/de_DE.UTF-8").c_str(), F_OK), 0) << "localedef could not build de_DE.UTF-8";

  // glibc keeps a few bytes of the LOCPATH search for ever; that is not the program's leak.
  const std::string suppressions = locales + "/lsan.supp";
  std::system(("echo 'leak:__argz_add_sep' > " + suppressions).c_str());
  const char* lsan = std::getenv("LSAN_OPTIONS");
  const std::string savedLsan = lsan ? lsan : "";
  setenv("LSAN_OPTIONS", (savedLsan + (savedLsan.empty() ? "" : ":") + "suppressions=" + suppressions).c_str(), 1);
  setenv("LOCPATH", locales.c_str(), 1);
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  std::optional<std::string> cycle;
  {
    TProgram program({"--console", "--demo"});
    cycle = program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: ") && l.find("| Rev.A |") != std::string::npos; });
    program.Write("quit");
    EXPECT_EQ(program.Wait(), 0);
  }
  unsetenv("LC_ALL");
  unsetenv("LOCPATH");
  if (lsan)
    setenv("LSAN_OPTIONS", savedLsan.c_str(), 1);
  else
    unsetenv("LSAN_OPTIONS");
  std::system(("rm -rf " + locales).c_str());

  ASSERT_TRUE(cycle);
  EXPECT_TRUE(IsCycleLine(*cycle)) << *cycle;
  EXPECT_TRUE(std::regex_search(*cycle, std::regex(R"(^RX: +-[0-9]+,[0-9] \|)"))) << *cycle;
  EXPECT_TRUE(std::regex_search(*cycle, std::regex(R"(TX: +-?[0-9]+,[0-9] \|)"))) << *cycle;
}

// Told to stop while a silent port is probed and a modem waits behind it: the search ends at
// once and the modem is never even asked, whichever way the program is stopped.
TEST(ConsoleProgram, StoppedDuringASearchStartsNoModem) {
  const struct {
    const char* Name;
    int Signal;  // 0: the quit command
  } ways[] = {{"quit", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.Name);
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string silent = ptsname(master);
    sim::TSimulatedModem modem(sim::TSimConfig{});
    modem.Start();

    TProgram program({"--console", "--port", silent, "--port", modem.SlavePath()});
    ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "status: Find modem..."; }));
    const auto stoppedAt = std::chrono::steady_clock::now();
    if (way.Signal)
      program.Signal(way.Signal);
    else
      program.Write("quit");
    EXPECT_EQ(program.Wait(), 0);
    std::printf("%s during the search: exited after %lld ms\n", way.Name,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - stoppedAt)
                                           .count()));
    EXPECT_EQ(modem.Counters().CommandsReceived, 0u);
    EXPECT_FALSE(modem.LoggingOn());
    for (const std::string& line : program.Seen) EXPECT_FALSE(StartsWith(line, "RX: ")) << line;
    close(master);
  }
}
