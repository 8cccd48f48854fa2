// metrics_load: cdma-monitor --console --metrics against the simulated modem at its maximum rate,
// scraped 200 times a second (each scrape on its own connection, from 20 threads) for 30 s.
// Prints the scrapes answered, their latency (median, 99th percentile, worst), how far the cycle
// lines came from their 500 ms ticks before and during the load, and the monitor's resident memory before
// and at its peak under load. Exits 1 when a scrape went unanswered or a cycle came late by more
// than 100 ms.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../tests/metrics/HttpClient.h"
#include "sim/SimulatedModem.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr int kScrapesPerSecond = 200;
constexpr int kThreads = 20;
constexpr auto kLoad = 30s;
constexpr auto kQuiet = 10s;

[[noreturn]] void Fail(const std::string& aText) {
  std::fprintf(stderr, "metrics_load: %s\n", aText.c_str());
  std::exit(2);
}

long ResidentKiB(pid_t aPid) {
  std::ifstream status("/proc/" + std::to_string(aPid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The arrival time of every cycle line the monitor writes.
class TCycleWatch {
 public:
  explicit TCycleWatch(int aFd) : FFd(aFd), FThread([this] { Run(); }) {}
  ~TCycleWatch() {
    FStop = true;
    FThread.join();
  }
  std::vector<TClock::time_point> Times() {
    std::lock_guard lock(FLock);
    return FTimes;
  }

 private:
  void Run() {
    std::string buffer;
    while (!FStop) {
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(FFd, chunk, sizeof chunk);
      if (n <= 0) return;
      buffer.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = buffer.find('\n')) != std::string::npos; buffer.erase(0, end + 1))
        if (buffer.rfind("RX: ", 0) == 0) {
          std::lock_guard lock(FLock);
          FTimes.push_back(TClock::now());
        }
    }
  }
  int FFd;
  std::atomic<bool> FStop{false};
  std::mutex FLock;
  std::vector<TClock::time_point> FTimes;
  std::thread FThread;
};

// The cycle ticks every 500 ms and writes no line for a tick that finds the parser busy (a
// skipped cycle, as designed): a line is late by its distance from the nearest tick.
struct TCycleGaps {
  std::chrono::milliseconds Largest{0};
  std::chrono::milliseconds LatestLine{0};
  int Skipped = 0;
  int Lines = 0;
};

TCycleGaps Gaps(const std::vector<TClock::time_point>& aTimes, TClock::time_point aFrom, TClock::time_point aTo) {
  TCycleGaps gaps;
  for (size_t i = 1; i < aTimes.size(); ++i) {
    if (aTimes[i - 1] < aFrom || aTimes[i] > aTo) continue;
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(aTimes[i] - aTimes[i - 1]);
    const long ticks = std::max(1L, std::lround(gap.count() / 500.0));
    gaps.Largest = std::max(gaps.Largest, gap);
    gaps.LatestLine = std::max(gaps.LatestLine, std::chrono::milliseconds(std::labs(gap.count() - ticks * 500)));
    gaps.Skipped += static_cast<int>(ticks - 1);
    ++gaps.Lines;
  }
  return gaps;
}

}  // namespace

int main() {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("metrics-load-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  sim::TSimConfig config;
  config.MaxRate = true;
  config.LinkPath = (dir / "modem").string();
  sim::TSimulatedModem device(config);
  device.Start();

  const uint16_t port = FreePort();
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    const std::string metrics = "127.0.0.1:" + std::to_string(port);
    execl(CDMA_MONITOR_PATH, CDMA_MONITOR_PATH, "--console", "--port", config.LinkPath.c_str(), "--metrics",
          metrics.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  TCycleWatch cycles(out[0]);

  // Wait for the cycles, then a quiet period for the baseline.
  const auto started = TClock::now();
  while (cycles.Times().size() < 5) {
    if (TClock::now() - started > 60s) Fail("the monitor wrote no cycle lines");
    std::this_thread::sleep_for(100ms);
  }
  const auto quietFrom = TClock::now();
  std::this_thread::sleep_for(kQuiet);
  const long baseline = ResidentKiB(pid);
  const auto loadFrom = TClock::now();

  std::mutex lock;
  std::vector<double> latencies;
  std::atomic<int> unanswered{0};
  std::atomic<long> peak{baseline};
  std::vector<std::thread> workers;
  const auto period = std::chrono::microseconds(1000000 * kThreads / kScrapesPerSecond);
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      auto next = loadFrom + period * t / kThreads;
      std::vector<double> mine;
      while (next < loadFrom + kLoad) {
        std::this_thread::sleep_until(next);
        next += period;
        const auto start = TClock::now();
        const auto reply = http_test::Request(port, "GET", "/metrics", 10s);
        if (!reply || reply->Status != 200 || reply->Body.find("cdma_modem_present") == std::string::npos) {
          ++unanswered;
          continue;
        }
        mine.push_back(std::chrono::duration<double, std::milli>(TClock::now() - start).count());
      }
      std::lock_guard guard(lock);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  std::thread sampler([&] {
    while (TClock::now() < loadFrom + kLoad) {
      peak = std::max(peak.load(), ResidentKiB(pid));
      std::this_thread::sleep_for(200ms);
    }
  });
  for (std::thread& w : workers) w.join();
  sampler.join();
  const auto loadTo = TClock::now();

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  device.Stop();
  std::filesystem::remove_all(dir);

  std::sort(latencies.begin(), latencies.end());
  const auto percentile = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
  };
  const std::vector<TClock::time_point> times = cycles.Times();
  const TCycleGaps quiet = Gaps(times, quietFrom, loadFrom);
  const TCycleGaps load = Gaps(times, loadFrom, loadTo);
  const size_t answered = latencies.size();
  std::printf("scrapes: %zu answered, %d unanswered, over %.1f s\n", answered, unanswered.load(),
              std::chrono::duration<double>(loadTo - loadFrom).count());
  std::printf("scrape latency: median %.2f ms, 99th percentile %.2f ms, worst %.2f ms\n", percentile(0.5),
              percentile(0.99), latencies.empty() ? 0.0 : latencies.back());
  for (const auto& [name, g] : {std::pair{"quiet", quiet}, std::pair{"under load", load}})
    std::printf("cycle lines %s: %d, %d ticks skipped (parser busy), largest gap %lld ms, latest line %lld ms off its tick\n",
                name, g.Lines, g.Skipped, static_cast<long long>(g.Largest.count()),
                static_cast<long long>(g.LatestLine.count()));
  std::printf("monitor resident memory: %ld KiB before, %ld KiB at the peak under load (+%ld KiB)\n", baseline,
              peak.load(), peak.load() - baseline);
  std::printf("monitor exit: %s\n", WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "clean" : "NOT clean");
  const bool ok = unanswered == 0 && load.LatestLine <= 100ms && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return ok ? 0 : 1;
}
