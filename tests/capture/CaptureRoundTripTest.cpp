// cdma-monitor --capture against the simulated modem, then --replay of that capture at the
// maximum speed: the replay must print the same cycle lines and the same frame counts as the
// live run, for every link type and with the device's faults. Also the program's answers to
// captures it cannot play, and its captures' state after a kill.
#include <signal.h>
#include <sys/stat.h>

#include <cinttypes>
#include <set>

#include <fcntl.h>

#include "../app/ConsoleProgramSupport.h"
#include "CaptureTestSupport.h"
#include "capture/FrameDump.h"
#include "capture/ReplayCapture.h"
#include "protocol/ModemStructuresUnit.h"
#include "sim/SimulatedModem.h"

using namespace capture_test;
using namespace console_test;

namespace {

constexpr int kLiveCycles = 10;

bool IsCycle(const std::string& aLine) { return StartsWith(aLine, "RX: "); }

std::vector<std::string> Cycles(const std::vector<std::string>& aLines) {
  std::vector<std::string> cycles;
  for (const std::string& line : aLines)
    if (IsCycle(line)) cycles.push_back(line);
  return cycles;
}

struct TRun {
  std::vector<std::string> Cycles;
  std::string Stats;
  std::string Capture;  // the file the run captured to, if any
};

// Asks for the session's counts and quits.
std::string StatsAndQuit(TProgram& aProgram) {
  aProgram.Write("stats");
  const auto stats = aProgram.ReadUntil([](const std::string& l) { return StartsWith(l, "stats: "); });
  aProgram.Write("quit");
  EXPECT_EQ(aProgram.Wait(), 0);
  return stats.value_or("no stats");
}

struct TRoundTripCase {
  const char* Name;
  sim::TSimMode Mode;
  std::vector<uint16_t> Channels;
  sim::TFaultRates Faults;
};

class RoundTrip : public ::testing::TestWithParam<TRoundTripCase> {
 protected:
  void TearDown() override {
    if (FSim) FSim->Stop();
  }

  // The live run: the modem is found, streams for some cycles, then is pulled out.
  TRun Live(const TRoundTripCase& aCase) {
    sim::TSimConfig config;
    config.Mode = aCase.Mode;
    config.Channels = aCase.Channels;
    config.Seed = 11;
    config.Rate = 2;  // packets twice as dense as a real modem's: more of them near each tick
    config.LinkPath = FDir / "modem";
    FSim = std::make_unique<sim::TSimulatedModem>(config);
    FSim->SetFaultRates(aCase.Faults);
    FSim->Start();

    TRun run;
    TProgram program({"--console", "--port", config.LinkPath, "--capture", FDir / "live.pcap"});
    int cycles = 0;
    EXPECT_TRUE(program.ReadUntil([&](const std::string& l) { return IsCycle(l) && ++cycles == kLiveCycles; }))
        << "no cycles";
    FSim->Unplug();
    EXPECT_TRUE(program.ReadUntil([](const std::string& l) { return l == "status: device not found."; }));
    run.Stats = StatsAndQuit(program);
    run.Cycles = Cycles(program.Seen);
    run.Capture = FDir / "live.pcap";
    return run;
  }

  // The replay runs until its modem is unplugged at the end of the capture.
  TRun Replay(const std::string& aCapture) {
    TRun run;
    TProgram program({"--console", "--replay", aCapture, "--replay-speed", "max"});
    EXPECT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "status: COM") && l.ends_with("Replay of live.pcap"); }));
    EXPECT_TRUE(program.ReadUntil([](const std::string& l) { return l == "status: device not found."; }));
    run.Stats = StatsAndQuit(program);
    run.Cycles = Cycles(program.Seen);
    return run;
  }

  TTempDir FDir;
  std::unique_ptr<sim::TSimulatedModem> FSim;
};

}  // namespace

TEST_P(RoundTrip, ReplayAtMaxPrintsWhatTheLiveRunPrinted) {
  const TRun live = Live(GetParam());
  ASSERT_GE(live.Cycles.size(), static_cast<size_t>(kLiveCycles));
  const std::vector<TCaptureRecord> records = ReadCapture(live.Capture);
  if (const std::optional<size_t> tshark = TsharkCount(live.Capture)) {
    EXPECT_EQ(*tshark, records.size());
  }
  if (GetParam().Faults.DamageCrc > 0) {
    EXPECT_EQ(live.Stats.find(" damaged 0"), std::string::npos) << live.Stats;
  }

  const TRun replay = Replay(live.Capture);
  EXPECT_EQ(replay.Cycles, live.Cycles);
  EXPECT_EQ(replay.Stats, live.Stats);
}

INSTANTIATE_TEST_SUITE_P(
    Links, RoundTrip,
    ::testing::Values(TRoundTripCase{"OneX", sim::TSimMode::Ev1x, {283}, {}},
                      TRoundTripCase{"RevA", sim::TSimMode::RevA, {283}, {}},
                      TRoundTripCase{"RevB", sim::TSimMode::RevB, {283, 384, 425}, {}},
                      TRoundTripCase{"Sleep", sim::TSimMode::Sleep, {283, 384}, {}},
                      TRoundTripCase{"RevAFaults", sim::TSimMode::RevA, {283}, {0.05, 0.3, 0.05, 48}},
                      TRoundTripCase{"RevBFaults", sim::TSimMode::RevB, {283, 384, 425}, {0.05, 0.3, 0.05, 48}}),
    [](const auto& aInfo) { return std::string(aInfo.param.Name); });

namespace {

struct TOutcome {
  int Status = -1;
  std::string Errors;
};

// The program run to its end with no input; what it said on standard error.
TOutcome RunProgram(const TTempDir& aDir, const std::string& aArgs) {
  const std::string errors = aDir / "stderr.txt";
  const std::string command = std::string(CDMA_MONITOR) + " " + aArgs + " </dev/null >/dev/null 2>'" + errors + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(errors)};
}

}  // namespace

TEST(CaptureProgram, CapturesItCannotPlayEndItWithOneLineAndStatusTwo) {
  TTempDir dir;
  const std::string good = WriteCapture(dir / "good.pcap", {ToModem(1, ComposeCommand("0C")), FromModem(2, "x\x7E")});
  TByteString damaged = ReadFile(good);
  damaged[24 + 16] = 7;  // record 1's direction byte
  WriteFile(dir / "damaged.pcap", damaged);
  WriteFile(dir / "text.pcap", "no capture\n");
  WriteCapture(dir / "silent.pcap", {ToModem(1, ComposeCommand("0C"))});

  const struct {
    std::string Args;
    std::string Says;
  } cases[] = {
      {"--console --replay " + dir / "text.pcap" + " --capture " + dir / "new.pcap", dir / "text.pcap: not a capture file"},
      {"--console --replay " + dir / "damaged.pcap", dir / "damaged.pcap: record 1 is damaged"},
      {"--console --replay " + dir / "silent.pcap", dir / "silent.pcap: nothing from the modem"},
      {"--console --replay " + dir / "missing.pcap", dir / "missing.pcap: No such file or directory"},
      {"--dump " + dir / "damaged.pcap", dir / "damaged.pcap: record 1 is damaged"},
      {"--dump " + dir / "text.pcap --json", dir / "text.pcap: not a capture file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args);
    const TOutcome outcome = RunProgram(dir, c.Args);
    EXPECT_EQ(outcome.Status, 2);
    EXPECT_EQ(outcome.Errors.rfind("cdma-monitor: " + c.Says, 0), 0u) << outcome.Errors;
    EXPECT_EQ(std::count(outcome.Errors.begin(), outcome.Errors.end(), '\n'), 1) << outcome.Errors;
  }
  struct stat info {};
  EXPECT_NE(stat((dir / "new.pcap").c_str(), &info), 0) << "a capture was begun for a replay that could not start";
}

// Whatever way the program ends, its capture opens: whole after SIGTERM, up to its last whole
// record after SIGKILL; and a capture never replaces a file.
TEST(CaptureProgram, CaptureSurvivesEveryEnd) {
  TTempDir dir;
  WriteFile(dir / "c.pcap", "earlier work");
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    TProgram program({"--console", "--demo", "--capture", dir / "c.pcap"});
    int cycles = 0;
    ASSERT_TRUE(program.ReadUntil([&](const std::string& l) { return IsCycle(l) && ++cycles == 3; }));
    program.Signal(signal);
    const int status = program.Wait();
    if (signal == SIGTERM) {
      EXPECT_EQ(status, 0);
    }
    const std::string path = dir / (signal == SIGTERM ? "c-1.pcap" : "c-2.pcap");
    const auto capture = TReplayCapture::Load(path);
    EXPECT_GT(capture->ModemBytes(), 0u);
    if (signal == SIGTERM) {
      EXPECT_EQ(capture->Warning(), "");
      if (const std::optional<size_t> tshark = TsharkCount(path)) {
        EXPECT_EQ(*tshark, capture->Size());
      }
    }
  }
  EXPECT_EQ(ReadFile(dir / "c.pcap"), "earlier work");
}

namespace {

// Nothing while the file does not exist yet.
TByteString ModemBytesOf(const std::string& aPath) {
  TByteString bytes;
  try {
    for (const TCaptureRecord& r : ReadCapture(aPath))
      if (r.Direction == TCaptureDirection::FromModem) bytes += r.Payload;
  } catch (const ECaptureError&) {
  }
  return bytes;
}

}  // namespace

// The window program replays at the maximum speed to the capture's end, and a capture of that
// replay, closed with the window by SIGTERM, holds every byte the modem sent in the first.
TEST(CaptureProgram, TheWindowReplaysAndItsCaptureOfTheReplayHoldsEveryByte) {
  TTempDir dir;
  {
    TProgram live({"--console", "--demo", "--capture", dir / "live.pcap"});
    int cycles = 0;
    ASSERT_TRUE(live.ReadUntil([&](const std::string& l) { return IsCycle(l) && ++cycles == 4; }));
    live.Write("quit");
    ASSERT_EQ(live.Wait(), 0);
  }
  const TByteString sent = ModemBytesOf(dir / "live.pcap");
  ASSERT_FALSE(sent.empty());

  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  TProgram window({"--replay", dir / "live.pcap", "--replay-speed", "max", "--capture", dir / "again.pcap"});
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (ModemBytesOf(dir / "again.pcap").size() < sent.size() && std::chrono::steady_clock::now() < deadline)
    window.ReadLine(100ms);
  window.Signal(SIGTERM);
  EXPECT_EQ(window.Wait(), 0);
  EXPECT_EQ(TReplayCapture::Load(dir / "again.pcap")->Warning(), "");
  EXPECT_EQ(ModemBytesOf(dir / "again.pcap"), sent);
}

// cdma-modem-sim --capture: what crossed its port, the command and the stream it answered with.
TEST(CaptureProgram, TheSimulatedModemsProgramCaptures) {
  TTempDir dir;
  const std::string command = std::string(CDMA_MODEM_SIM) + " --mode reva --rate max --duration 3 --capture '" +
                              dir / "sim.pcap" + "' 2>/dev/null";
  std::FILE* sim = popen(command.c_str(), "r");
  ASSERT_NE(sim, nullptr);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, sim), nullptr);
  std::string path = line;
  path.erase(path.find_last_not_of('\n') + 1);
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0) << path;
  const TByteString mask = ComposeCommand(kLogMaskCommand);
  ASSERT_EQ(::write(fd, mask.data(), mask.size()), static_cast<ssize_t>(mask.size()));
  TByteString read;
  while (read.size() < 100000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    read.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  EXPECT_EQ(pclose(sim), 0);

  const std::vector<TCaptureRecord> records = ReadCapture(dir / "sim.pcap");
  TByteString sent, received;
  for (const TCaptureRecord& r : records) (r.Direction == TCaptureDirection::FromModem ? sent : received) += r.Payload;
  EXPECT_EQ(received, mask);
  ASSERT_GE(sent.size(), read.size());
  EXPECT_EQ(sent.substr(0, read.size()), read) << "the capture holds what the port delivered, in order";
  if (const std::optional<size_t> tshark = TsharkCount(dir / "sim.pcap")) {
    EXPECT_EQ(*tshark, records.size());
  }
  std::set<std::string> codes;
  TCaptureReader reader(dir / "sim.pcap");
  DumpRecords(reader, [&](const TDumpLine& aLine) {
    if (aLine.Kind == "log") codes.insert(aLine.Code);
  });
  EXPECT_TRUE(codes.contains("0x1069") && codes.contains("0x108C")) << codes.size();
}
