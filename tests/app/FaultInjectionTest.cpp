// Faults end to end: cdma-monitor --console against a simulated modem that the test drives (its
// port named with --port through the device's symlink), and against report servers that refuse
// the connection, drop it in the middle of the request or never answer. After each fault the
// program must show what it should, still answer its commands, and quit cleanly.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleProgramSupport.h"
#include "sim/SimulatedModem.h"

using namespace std::chrono_literals;
using namespace console_test;

namespace {

bool IsCycle(const std::string& aLine) { return StartsWith(aLine, "RX: "); }

struct TSessionStats {
  uint64_t Frames = 0;   // dispatched by the modem session
  uint64_t Damaged = 0;  // dropped as damaged
};

uint64_t DamagedSent(const sim::TSimCounters& aCounters) { return aCounters.DamagedFrames + aCounters.GarbageFrames; }

// The monitor run against a simulated modem of the test's own.
class ModemFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/cdma-faults-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    FDir = dir;
    FLink = FDir + "/modem";
  }
  void TearDown() override {
    FProgram.reset();
    FSim.reset();
    std::error_code ec;
    std::filesystem::remove_all(FDir, ec);
  }

  // The status line of the window once it has taken our modem.
  bool IsOurStatus(const std::string& aLine) const {
    return StartsWith(aLine, "status: COM") && aLine.ends_with(" Serial device (" + FLink + ")");
  }

  void Start() {
    sim::TSimConfig config;
    config.Mode = sim::TSimMode::RevA;
    config.LinkPath = FLink;
    config.Seed = 7;
    config.Rate = 4;  // a hundred packets a second, so that each fault is soon followed by good ones
    FSim = std::make_unique<sim::TSimulatedModem>(config);
    FSim->Start();
    FProgram = std::make_unique<TProgram>(std::vector<std::string>{"--console", "--port", FLink});
    ASSERT_TRUE(FProgram->ReadUntil([&](const std::string& l) { return IsOurStatus(l); })) << "the modem was not found";
    ASSERT_NO_FATAL_FAILURE(ExpectLiveCycles(2));
  }

  // Cycle lines in the window's formats, with real values of a Rev A modem (not the no-signal
  // substitutes).
  void ExpectLiveCycles(int aCount) {
    for (int seen = 0; seen < aCount;) {
      const auto line = FProgram->ReadUntil([](const std::string& l) { return IsCycle(l); });
      ASSERT_TRUE(line) << "no more cycles";
      ASSERT_TRUE(IsCycleLine(*line)) << *line;
      if (line->find("| Rev.A |") != std::string::npos && !IsStaleCycle(*line)) ++seen;
    }
  }

  static bool IsStaleCycle(const std::string& aLine) {
    return StartsWith(aLine, "RX: -100.0 ") && aLine.find("     TX:  -60.4 ") != std::string::npos;
  }

  TSessionStats Stats() {
    FProgram->Write("stats");
    const auto line = FProgram->ReadUntil([](const std::string& l) { return StartsWith(l, "stats: "); });
    TSessionStats stats;
    EXPECT_TRUE(line && std::sscanf(line->c_str(), "stats: frames %" SCNu64 " damaged %" SCNu64, &stats.Frames,
                                    &stats.Damaged) == 2)
        << line.value_or("no answer");
    return stats;
  }

  // Asks until the damaged count reaches aDamaged (the frames are on their way through the port);
  // the figures at that moment.
  TSessionStats WaitForDamaged(uint64_t aDamaged) {
    const auto deadline = std::chrono::steady_clock::now() + kLong;
    TSessionStats stats = Stats();
    while (stats.Damaged < aDamaged && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      stats = Stats();
    }
    return stats;
  }

  // The program answers a command with the whole report.
  void ExpectReportAnswered() {
    FProgram->Write("report");
    ASSERT_TRUE(FProgram->ReadUntil([](const std::string& l) { return l == "report: Cell / Sector Values"; }))
        << "no report";
  }

  void Quit() {
    FProgram->Write("quit");
    EXPECT_EQ(FProgram->Wait(), 0);
  }

  std::string FDir, FLink;
  std::unique_ptr<sim::TSimulatedModem> FSim;
  std::unique_ptr<TProgram> FProgram;
};

TEST_F(ModemFaults, UnpluggedInTheMiddleOfAFrameThenPluggedInAgain) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const TSessionStats before = Stats();
  FSim->UnplugMidFrame();
  ASSERT_TRUE(FSim->WaitUntil([](const sim::TSimCounters& c) { return c.Unplugs == 1; }, kLong));
  EXPECT_EQ(FSim->Counters().CutFrames, 1u);

  ASSERT_TRUE(FProgram->ReadUntil([](const std::string& l) { return l == "status: device not found."; }));
  // Polling has stopped: no cycle line for the time of several cycles, while commands are answered.
  const auto watchEnd = std::chrono::steady_clock::now() + 1600ms;
  while (const auto line = FProgram->ReadLine(
             std::chrono::duration_cast<std::chrono::milliseconds>(watchEnd - std::chrono::steady_clock::now())))
    EXPECT_FALSE(IsCycle(*line)) << *line;
  ASSERT_NO_FATAL_FAILURE(ExpectReportAnswered());
  const TSessionStats unplugged = Stats();
  EXPECT_EQ(unplugged.Damaged, before.Damaged) << "the half frame was counted as a damaged one";

  // Plugged in again, on a new pseudo-terminal behind the same name: found and started again.
  FSim->Replug();
  ASSERT_TRUE(FProgram->ReadUntil([&](const std::string& l) { return IsOurStatus(l); }));
  ASSERT_NO_FATAL_FAILURE(ExpectLiveCycles(3));
  EXPECT_GT(Stats().Frames, unplugged.Frames);
  EXPECT_TRUE(FSim->LoggingOn());
  ASSERT_NO_FATAL_FAILURE(ExpectReportAnswered());
  Quit();
  EXPECT_FALSE(FSim->LoggingOn()) << "not logged off on the way out";
}

TEST_F(ModemFaults, StalledModemShowsNoSignalUntilItTalksAgain) {
  ASSERT_NO_FATAL_FAILURE(Start());
  FSim->Stall(true);
  // Five cycles without reverse-link packets: the no-signal values.
  const auto stale = FProgram->ReadUntil([](const std::string& l) { return IsStaleCycle(l); });
  ASSERT_TRUE(stale) << "the stall never showed";
  EXPECT_TRUE(IsCycleLine(*stale)) << *stale;
  ASSERT_NO_FATAL_FAILURE(ExpectReportAnswered());
  ASSERT_TRUE(FProgram->ReadUntil([](const std::string& l) { return IsStaleCycle(l); })) << "polling stopped";

  FSim->Stall(false);
  ASSERT_NO_FATAL_FAILURE(ExpectLiveCycles(2));
  ASSERT_NO_FATAL_FAILURE(ExpectReportAnswered());
  Quit();
}

// What arrives in between good packets: each fault in turn, in one session. Every damaged frame
// the modem wrote is counted as one, nothing else is, and the good packets keep coming.
TEST_F(ModemFaults, RandomBurstsDamagedCrcsSplitFramesAndMegabytesWithoutAFlag) {
  struct TFault {
    const char* Name;
    std::function<void(sim::TSimulatedModem&)> Inject;
    std::function<void(sim::TSimulatedModem&)> Undo;
  };
  const TFault faults[] = {
      {"random bursts", [](sim::TSimulatedModem& m) { for (int i = 0; i < 20; ++i) m.InjectGarbage(2000); }, {}},
      {"damaged CRCs", [](sim::TSimulatedModem& m) { m.DamageNextCrcs(25); }, {}},
      {"frames in pieces, some damaged, bursts between",
       [](sim::TSimulatedModem& m) { m.SetFaultRates({.DamageCrc = 0.1, .Split = 0.5, .Garbage = 0.1, .GarbageBytes = 64}); },
       [](sim::TSimulatedModem& m) { m.SetFaultRates({}); }},
      {"4 MiB without a flag", [](sim::TSimulatedModem& m) { m.InjectUnflagged(4u << 20); }, {}},
  };
  ASSERT_NO_FATAL_FAILURE(Start());
  // Whatever the start-up's purges cut off is counted already; from here on the counts must agree.
  const uint64_t baseDamaged = Stats().Damaged;
  const uint64_t baseSent = DamagedSent(FSim->Counters());
  for (const TFault& fault : faults) {
    SCOPED_TRACE(fault.Name);
    const uint64_t sentBefore = DamagedSent(FSim->Counters());
    const uint64_t logsBefore = FSim->Counters().TotalLogsSent();
    fault.Inject(*FSim);
    if (fault.Undo) {
      ASSERT_TRUE(FSim->WaitUntil([&](const sim::TSimCounters& c) { return c.TotalLogsSent() > logsBefore + 200; }, kLong));
      fault.Undo(*FSim);
    }
    // Good packets queued after the fault are written after it: once they are out, so is it.
    const uint64_t logsAfter = FSim->Counters().TotalLogsSent();
    ASSERT_TRUE(FSim->WaitUntil(
        [&](const sim::TSimCounters& c) { return DamagedSent(c) > sentBefore && c.TotalLogsSent() > logsAfter + 20; },
        kLong));
    const uint64_t expected = baseDamaged + DamagedSent(FSim->Counters()) - baseSent;
    EXPECT_EQ(WaitForDamaged(expected).Damaged, expected);
    ASSERT_NO_FATAL_FAILURE(ExpectLiveCycles(2));
    ASSERT_NO_FATAL_FAILURE(ExpectReportAnswered());
  }
  // Nothing more was counted while the good packets went on.
  ASSERT_NO_FATAL_FAILURE(ExpectLiveCycles(2));
  EXPECT_EQ(Stats().Damaged, baseDamaged + DamagedSent(FSim->Counters()) - baseSent);
  Quit();
}

// A report server on 127.0.0.1 that the test controls. Until Listen its port is bound but not
// listening, so a connection is refused; then each request is dropped in its middle, answered,
// or held without an answer, as the mode says when it arrives.
class TReportServer {
 public:
  enum class TMode { Drop, Answer, Silent };

  TReportServer() {
    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      std::abort();
    FPort = ntohs(address.sin_port);
    FStop = ::eventfd(0, EFD_CLOEXEC);
  }
  ~TReportServer() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FStop, &one, sizeof one);
    if (FThread.joinable()) FThread.join();
    for (int fd : FHeld) ::close(fd);
    ::close(FSocket);
    ::close(FStop);
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/upload.php"; }

  void Listen(TMode aMode) {
    SetMode(aMode);
    if (::listen(FSocket, 8) != 0) std::abort();
    FThread = std::thread([this] { Serve(); });
  }
  void SetMode(TMode aMode) {
    std::lock_guard lock(FLock);
    FMode = aMode;
  }
  // Requests whose headers arrived.
  int Requests() const { return FRequests.load(); }

 private:
  void Serve() {
    for (;;) {
      pollfd fds[2] = {{FSocket, POLLIN, 0}, {FStop, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
      const int client = ::accept4(FSocket, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      TMode mode;
      {
        std::lock_guard lock(FLock);
        mode = FMode;
      }
      std::string request;
      const size_t headersEnd = ReadUntil(client, request, [](const std::string& r) { return r.find("\r\n\r\n"); });
      if (headersEnd == std::string::npos) {
        ::close(client);
        continue;
      }
      ++FRequests;
      if (request.find("Expect: 100-continue") != std::string::npos) Send(client, "HTTP/1.1 100 Continue\r\n\r\n");
      switch (mode) {
        case TMode::Drop: {
          // A reset, not an orderly close, with the body still on its way.
          linger reset{1, 0};
          ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
          ::close(client);
          break;
        }
        case TMode::Answer: {
          const size_t length = ContentLength(request);
          ReadUntil(client, request, [&](const std::string& r) {
            return r.size() >= headersEnd + 4 + length ? headersEnd : std::string::npos;
          });
          Send(client, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK");
          ::close(client);
          break;
        }
        case TMode::Silent:
          FHeld.push_back(client);
          break;
      }
    }
  }

  // Reads until aFound gives a position; that position, or npos when the peer closed or stop
  // was asked for.
  size_t ReadUntil(int aFd, std::string& aData, const std::function<size_t(const std::string&)>& aFound) {
    for (;;) {
      if (const size_t at = aFound(aData); at != std::string::npos) return at;
      pollfd fds[2] = {{aFd, POLLIN, 0}, {FStop, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 || fds[1].revents != 0) return std::string::npos;
      char buffer[4096];
      const ssize_t n = ::read(aFd, buffer, sizeof buffer);
      if (n <= 0) return std::string::npos;
      aData.append(buffer, static_cast<size_t>(n));
    }
  }

  static size_t ContentLength(const std::string& aRequest) {
    const size_t at = aRequest.find("Content-Length: ");
    return at == std::string::npos ? 0 : std::stoul(aRequest.substr(at + 16));
  }

  static void Send(int aFd, const std::string& aText) {
    [[maybe_unused]] const ssize_t n = ::send(aFd, aText.data(), aText.size(), MSG_NOSIGNAL);
  }

  int FSocket = -1;
  int FStop = -1;
  int FPort = 0;
  std::mutex FLock;
  TMode FMode = TMode::Drop;
  std::atomic<int> FRequests{0};
  std::vector<int> FHeld;  // connections never answered, touched only by the server thread
  std::thread FThread;
};

// The message the program shows for one "send".
std::optional<std::string> SendReport(TProgram& aProgram) {
  aProgram.Write("send");
  return aProgram.ReadUntil([](const std::string& l) { return StartsWith(l, "message: "); });
}

TEST(ReportServerFaults, RefusedDroppedAndUnansweredUploadsLeaveTheProgramRunning) {
  TReportServer server;
  TProgram program({"--console", "--demo", "--report-url", server.Url()});
  ASSERT_TRUE(program.ReadUntil(IsCycle));

  // Nobody listens: the client's own text, and the program goes on.
  const auto refused = SendReport(program);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(StartsWith(*refused, "message: telvo: ")) << *refused;
  EXPECT_EQ(refused->find("successfully"), std::string::npos) << *refused;
  ASSERT_TRUE(program.ReadUntil(IsCycle));

  // The server takes the request and drops the connection in its middle.
  server.Listen(TReportServer::TMode::Drop);
  const auto dropped = SendReport(program);
  ASSERT_TRUE(dropped);
  EXPECT_EQ(server.Requests(), 1);
  EXPECT_TRUE(StartsWith(*dropped, "message: telvo: ")) << *dropped;
  EXPECT_EQ(dropped->find("successfully"), std::string::npos) << *dropped;
  EXPECT_NE(*dropped, *refused) << "a dropped connection is told as what it is";
  ASSERT_TRUE(program.ReadUntil(IsCycle));

  // The server is well again: so is the upload.
  server.SetMode(TReportServer::TMode::Answer);
  EXPECT_EQ(SendReport(program), "message: telvo: Report successfully sended.");

  // The server takes the request and never answers: the cycles and the commands go on while the
  // upload waits, and quitting does not wait for it.
  server.SetMode(TReportServer::TMode::Silent);
  program.Write("send");
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (server.Requests() < 3 && std::chrono::steady_clock::now() < deadline) program.ReadLine(100ms);
  ASSERT_EQ(server.Requests(), 3);
  ASSERT_TRUE(program.ReadUntil(IsCycle));
  program.Write("report");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "report: Cell / Sector Values"; }));
  ASSERT_TRUE(program.ReadUntil(IsCycle));
  program.Write("quit");
  EXPECT_EQ(program.Wait(30s), 0) << "the program waited for the server";
  for (const std::string& line : program.Seen)
    EXPECT_FALSE(StartsWith(line, "message: ") && line != *refused && line != *dropped &&
                 line != "message: telvo: Report successfully sended.")
        << "shown while closing: " << line;
}

}  // namespace
