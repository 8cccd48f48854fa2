// cdma-monitor --console run as a program: its live lines against the simulated modem, its
// commands on standard input, the "Select modem" question, plug and unplug, and a clean exit.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "dialup/PingThread_Unit.h"
#include "sim/SimulatedModem.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kLong = 90s;  // never reached when the program works

// The program on pipes: lines in, lines out; standard error goes to the test's.
class TProgram {
 public:
  explicit TProgram(const std::vector<std::string>& aArgs) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    FPid = fork();
    if (FPid == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(CDMA_MONITOR));
      for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(CDMA_MONITOR, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FIn = in[1];
    FOut = out[0];
  }
  ~TProgram() {
    CloseInput();
    if (FPid > 0 && !FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    close(FOut);
  }

  void Write(const std::string& aLine) {
    const std::string text = aLine + "\n";
    ASSERT_EQ(write(FIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    if (FIn >= 0) close(FIn);
    FIn = -1;
  }
  void Signal(int aSignal) { kill(FPid, aSignal); }

  // The next line written, none at the end of output or when the time is up.
  std::optional<std::string> ReadLine(std::chrono::milliseconds aLimit = kLong) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    for (;;) {
      if (const size_t end = FBuffer.find('\n'); end != std::string::npos) {
        std::string line = FBuffer.substr(0, end);
        FBuffer.erase(0, end + 1);
        Seen.push_back(line);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{FOut, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(FOut, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      FBuffer.append(buffer, static_cast<size_t>(n));
    }
  }
  // Reads until a line satisfies aWanted; that line, or none.
  std::optional<std::string> ReadUntil(const std::function<bool(const std::string&)>& aWanted) {
    while (const auto line = ReadLine())
      if (aWanted(*line)) return line;
    return std::nullopt;
  }

  // Exit status, or -1 for a signal or no end within the limit.
  int Wait(std::chrono::milliseconds aLimit = kLong) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      // Keep the pipe drained so that the program never blocks on its output.
      ReadLine(10ms);
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        while (ReadLine(10ms)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return -1;
  }

  std::vector<std::string> Seen;

 private:
  pid_t FPid = -1;
  int FIn = -1, FOut = -1;
  bool FExited = false;
  std::string FBuffer;
};

// "RX | Cell | TX | DRC | type | up | down | icon N", as the window shows the labels.
bool IsCycleLine(const std::string& aLine) {
  static const std::regex kParts(
      R"(^RX: [ \-0-9]{3,}[.,][0-9] \| Cell: [ 0-9]{4,} Sect: [0-9]+ Pn: [ 0-9]{4,} \| )"
      R"(     TX: [ \-0-9]{3,}[.,][0-9] \| (    DRC: [ \-0-9]{3,}[.,][0-9]|    RX: n/a) \| )"
      R"((Sleep|undefined|1x|Rev\.0|Rev\.A|Rev\.B|Rev\.B\+) \| )"
      R"((0 Kbps| [0-9]+ kbps| +[0-9]+[.,][0-9] Mbps) \| (0 Kbps| [0-9]+ kbps| +[0-9]+[.,][0-9] Mbps) \| icon [0-6]$)");
  return std::regex_match(aLine, kParts);
}

bool StartsWith(const std::string& aLine, const std::string& aPrefix) { return aLine.rfind(aPrefix, 0) == 0; }

}  // namespace

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
