// soak_run: cdma-monitor --console against the simulated modem at its maximum rate, with faults
// now and then, for a given number of minutes. Prints the frames the device sent and the frames
// the monitor dispatched and dropped as damaged (which must equal the damaged ones sent), the
// monitor's resident memory over the run, and its CPU time per MB of log traffic. Run by
// bench/soak.sh; exits 1 when a frame went missing or the monitor did not end cleanly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimulatedModem.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

[[noreturn]] void Fail(const std::string& aText) {
  std::fprintf(stderr, "soak_run: %s\n", aText.c_str());
  std::exit(2);
}

// The monitor on pipes. A thread drains its output so that it never blocks on a full pipe; the
// answers to "stats" are kept for the caller, cycle lines are counted, the rest is dropped.
class TMonitor {
 public:
  TMonitor(const std::string& aProgram, const std::vector<std::string>& aArgs) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
    FPid = fork();
    if (FPid < 0) Fail("fork");
    if (FPid == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv{const_cast<char*>(aProgram.c_str())};
      for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(aProgram.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FIn = in[1];
    FOut = out[0];
    FReader = std::thread([this] { Drain(); });
  }
  ~TMonitor() {
    if (!FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    if (FIn >= 0) close(FIn);
    FReader.join();
    close(FOut);
  }

  pid_t Pid() const { return FPid; }

  void Write(const std::string& aLine) {
    const std::string text = aLine + "\n";
    if (write(FIn, text.data(), text.size()) != static_cast<ssize_t>(text.size())) Fail("the monitor's input is closed");
  }

  bool WaitForCycles(uint64_t aCount, std::chrono::seconds aLimit) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, aLimit, [&] { return FCycles >= aCount || FEnded; }) && FCycles >= aCount;
  }
  uint64_t Cycles() const {
    std::lock_guard lock(FLock);
    return FCycles;
  }

  struct TStats {
    uint64_t Frames = 0, Damaged = 0;
    bool operator==(const TStats&) const = default;
  };
  TStats Stats() {
    std::unique_lock lock(FLock);
    FStats.clear();
    lock.unlock();
    Write("stats");
    lock.lock();
    if (!FChanged.wait_for(lock, 60s, [&] { return !FStats.empty() || FEnded; }) || FStats.empty())
      Fail("no answer to stats");
    TStats stats;
    if (std::sscanf(FStats.front().c_str(), "stats: frames %" SCNu64 " damaged %" SCNu64, &stats.Frames, &stats.Damaged) != 2)
      Fail("cannot read " + FStats.front());
    return stats;
  }

  // Exit status after quit; -1 when it did not end in time or ended by a signal.
  int Quit(std::chrono::seconds aLimit) {
    Write("quit");
    const auto deadline = TClock::now() + aLimit;
    while (TClock::now() < deadline) {
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

 private:
  void Drain() {
    std::string buffer;
    char chunk[65536];
    for (;;) {
      const ssize_t n = read(FOut, chunk, sizeof chunk);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<size_t>(n));
      size_t end;
      while ((end = buffer.find('\n')) != std::string::npos) {
        const std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        std::lock_guard lock(FLock);
        if (line.rfind("RX: ", 0) == 0) ++FCycles;
        else if (line.rfind("stats: ", 0) == 0) FStats.push_back(line);
        else if (line.rfind("status: ", 0) == 0 || line.rfind("message: ", 0) == 0) std::printf("monitor: %s\n", line.c_str());
        FChanged.notify_all();
      }
    }
    std::lock_guard lock(FLock);
    FEnded = true;
    FChanged.notify_all();
  }

  pid_t FPid = -1;
  int FIn = -1, FOut = -1;
  bool FExited = false;
  std::thread FReader;
  mutable std::mutex FLock;
  std::condition_variable FChanged;
  uint64_t FCycles = 0;
  std::deque<std::string> FStats;
  bool FEnded = false;
};

// Resident memory of a process in kB (VmRSS).
long ResidentKb(pid_t aPid) {
  std::ifstream status("/proc/" + std::to_string(aPid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// User and system time of a process or one of its threads, in seconds.
double CpuSeconds(const std::string& aStatPath) {
  std::ifstream in(aStatPath);
  std::string text;
  std::getline(in, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ProcessCpu(pid_t aPid) { return CpuSeconds("/proc/" + std::to_string(aPid) + "/stat"); }

// CPU seconds of each thread of a process, by thread id.
std::vector<std::pair<int, double>> ThreadCpu(pid_t aPid) {
  std::vector<std::pair<int, double>> threads;
  const std::string dir = "/proc/" + std::to_string(aPid) + "/task";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    threads.emplace_back(std::stoi(entry.path().filename().string()), CpuSeconds(entry.path().string() + "/stat"));
  return threads;
}

// Undamaged frames written whole: log packets and the replies that were not damaged.
uint64_t GoodFrames(const sim::TSimCounters& c) {
  uint64_t damagedLogs = 0;
  for (const auto& [code, n] : c.LogsDamaged) damagedLogs += n;
  return c.TotalLogsSent() + c.RepliesSent - (c.DamagedFrames - damagedLogs);
}
uint64_t DamagedFrames(const sim::TSimCounters& c) { return c.DamagedFrames + c.GarbageFrames; }

struct TQuietPoint {
  sim::TSimCounters Sim;
  TMonitor::TStats Monitor;
  double Cpu = 0;
  std::vector<std::pair<int, double>> Threads;
  TClock::time_point At;
  long ResidentKb = 0;
};

// Holds the device and waits until the monitor has taken everything it wrote: two answers to
// "stats" half a second apart that agree. What is half written is counted on neither side.
TQuietPoint Quiesce(sim::TSimulatedModem& aDevice, TMonitor& aMonitor) {
  aDevice.Stall(true);
  TQuietPoint q;
  TMonitor::TStats last = aMonitor.Stats();
  for (;;) {
    std::this_thread::sleep_for(500ms);
    const TMonitor::TStats now = aMonitor.Stats();
    if (now == last) break;
    last = now;
  }
  q.Monitor = last;
  q.Sim = aDevice.Counters();
  q.Cpu = ProcessCpu(aMonitor.Pid());
  q.Threads = ThreadCpu(aMonitor.Pid());
  q.At = TClock::now();
  q.ResidentKb = ResidentKb(aMonitor.Pid());
  return q;
}

double Mb(long aKb) { return static_cast<double>(aKb) / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  std::string program = CDMA_MONITOR_PATH;
  std::string mode = "revb";
  uint64_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i], value = argv[i + 1];
    if (arg == "--minutes") minutes = std::stod(value);
    else if (arg == "--monitor") program = value;
    else if (arg == "--mode") mode = value;
    else if (arg == "--seed") seed = std::stoull(value);
    else Fail("usage: soak_run [--minutes N] [--monitor PATH] [--mode 1x|reva|revb|sleep|cycle] [--seed N]");
  }
  if (!(minutes > 0)) Fail("the minutes must be positive");
  const auto simMode = sim::ModeFromName(mode);
  if (!simMode) Fail("unknown mode " + mode);
  signal(SIGPIPE, SIG_IGN);

  char dir[] = "/tmp/cdma-soak-XXXXXX";
  if (!mkdtemp(dir)) Fail("mkdtemp");
  const std::string link = std::string(dir) + "/modem";

  sim::TSimConfig config;
  config.Mode = *simMode;
  config.MaxRate = true;
  config.Seed = seed;
  config.LinkPath = link;
  sim::TSimulatedModem device(config);
  device.Start();

  const auto started = TClock::now();
  TMonitor monitor(program, {"--console", "--port", link});
  if (!monitor.WaitForCycles(2, 120s)) Fail("the monitor did not start polling");
  const long startKb = ResidentKb(monitor.Pid());
  std::printf("soak: monitor %d polling after %.1f s, %.1f MB resident\n", monitor.Pid(),
              std::chrono::duration<double>(TClock::now() - started).count(), Mb(startKb));

  // Faults all the time at low rates, and now and then a burst of them.
  const sim::TFaultRates rates{.DamageCrc = 1e-4, .Split = 1e-4, .Garbage = 1e-4, .GarbageBytes = 64};
  device.SetFaultRates(rates);
  const auto total = std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(minutes * 60));
  const auto warmUp = std::min<TClock::duration>(total / 10, 60s);
  std::this_thread::sleep_for(warmUp);
  const TQuietPoint base = Quiesce(device, monitor);
  device.Stall(false);
  std::printf("soak: after %.0f s of warm-up: %.1f MB resident; measuring for %.1f min\n",
              std::chrono::duration<double>(warmUp).count(), Mb(base.ResidentKb), minutes);
  std::fflush(stdout);

  long minKb = base.ResidentKb, maxKb = base.ResidentKb;
  int stalls = 0, runs = 0;
  const auto end = base.At + total;
  auto nextFault = base.At + 30s;
  int round = 0;
  while (TClock::now() < end) {
    std::this_thread::sleep_for(1s);
    const long kb = ResidentKb(monitor.Pid());
    if (kb < 0) Fail("the monitor is gone");
    minKb = std::min(minKb, kb);
    maxKb = std::max(maxKb, kb);
    if (TClock::now() >= nextFault && TClock::now() + 10s < end) {
      nextFault += 30s;
      switch (round++ % 3) {
        case 0:
          device.InjectUnflagged(2u << 20);  // a frame without a flag for two megabytes
          ++runs;
          break;
        case 1:
          device.DamageNextCrcs(50);
          for (int i = 0; i < 10; ++i) device.InjectGarbage(4096);
          break;
        case 2:
          device.Stall(true);  // long enough for the no-signal values
          std::this_thread::sleep_for(4s);
          device.Stall(false);
          ++stalls;
          break;
      }
    }
  }
  const TQuietPoint last = Quiesce(device, monitor);
  const uint64_t cycles = monitor.Cycles();
  const int status = monitor.Quit(60s);
  device.Stop();
  std::filesystem::remove_all(dir);

  const double seconds = std::chrono::duration<double>(last.At - base.At).count();
  const uint64_t sent = GoodFrames(last.Sim) - GoodFrames(base.Sim);
  const uint64_t damagedSent = DamagedFrames(last.Sim) - DamagedFrames(base.Sim);
  const uint64_t dispatched = last.Monitor.Frames - base.Monitor.Frames;
  const uint64_t dropped = last.Monitor.Damaged - base.Monitor.Damaged;
  const double logMb = static_cast<double>(last.Sim.LogBytesWritten - base.Sim.LogBytesWritten) / 1e6;
  const double allMb = static_cast<double>(last.Sim.BytesWritten - base.Sim.BytesWritten) / 1e6;
  const double cpu = last.Cpu - base.Cpu;
  // The busiest thread over the measured time: the serial reader.
  double busiest = 0;
  for (const auto& [tid, secs] : last.Threads)
    for (const auto& [tid0, secs0] : base.Threads)
      if (tid == tid0) busiest = std::max(busiest, secs - secs0);

  std::printf("\nsoak: %.1f min measured at the maximum rate (%s, seed %llu), after %.0f s of warm-up\n", seconds / 60,
              mode.c_str(), static_cast<unsigned long long>(seed), std::chrono::duration<double>(warmUp).count());
  std::printf("  frames sent (undamaged, simulator)     %llu\n", static_cast<unsigned long long>(sent));
  std::printf("  frames dispatched (monitor)            %llu\n", static_cast<unsigned long long>(dispatched));
  std::printf("  damaged frames sent (simulator)        %llu  (CRC %llu, garbage pieces %llu, of them %d flagless runs)\n",
              static_cast<unsigned long long>(damagedSent),
              static_cast<unsigned long long>(last.Sim.DamagedFrames - base.Sim.DamagedFrames),
              static_cast<unsigned long long>(last.Sim.GarbageFrames - base.Sim.GarbageFrames), runs);
  std::printf("  frames dropped as damaged (monitor)    %llu\n", static_cast<unsigned long long>(dropped));
  std::printf("  frames split in pieces                 %llu; stalls %d\n",
              static_cast<unsigned long long>(last.Sim.SplitFrames - base.Sim.SplitFrames), stalls);
  std::printf("  log traffic                            %.1f MB (%.2f MB/s; %.1f MB in all)\n", logMb, logMb / seconds, allMb);
  std::printf("  polling cycles printed                 %llu\n", static_cast<unsigned long long>(cycles));
  std::printf("  resident memory                        start %.1f MB, after warm-up %.1f MB, end %.1f MB "
              "(%.1f..%.1f MB while measuring)\n",
              Mb(startKb), Mb(base.ResidentKb), Mb(last.ResidentKb), Mb(minKb), Mb(maxKb));
  std::printf("  monitor CPU                            %.1f s (%.2f of a core), %.3f s per MB of log traffic\n", cpu,
              cpu / seconds, cpu / logMb);
  std::printf("  busiest thread (the reader)            %.1f s (%.2f of a core)\n", busiest, busiest / seconds);
  std::printf("  exit status after quit                 %d\n", status);

  const bool lostNothing = sent == dispatched && damagedSent == dropped;
  std::printf("soak: %s\n", lostNothing && status == 0 ? "nothing lost, clean exit"
                                                       : (lostNothing ? "nothing lost, but no clean exit" : "FRAMES LOST"));
  return lostNothing && status == 0 ? 0 : 1;
}
