// The alignment mode's figures, run by hand (bench/align.sh starts a sound server for it):
//   align_latency [STEPS]
// 1. In-process: the simulated modem on a pseudo-terminal, the window logic on the console loop,
//    the alignment mode with its tone. The simulated RX level is stepped between -100 and -60 dBm;
//    a watcher thread polls the session's RX read-out and the tone's parameters every 0.2 ms and
//    times, per step, the packet reaching the session -> the tone's pitch starting to move, and
//    -> reaching the new level's pitch; the sound server's stream latency is added for "heard".
// 2. cdma-monitor --console --demo for 20 s each without the mode, with --align --no-tone and
//    with --align and its tone: CPU time of the process as a share of one core.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "app/AlignMode.h"
#include "serial/SetupAPI.h"
#include "sim/SimulatedModem.h"
#include "window/ConsoleLoop.h"
#include "window/ConsoleView.h"

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

namespace {

double Ms(TClock::duration aSpan) { return std::chrono::duration<double, std::milli>(aSpan).count(); }

void Summarise(const char* aWhat, std::vector<double> aValues) {
  if (aValues.empty()) return;
  std::sort(aValues.begin(), aValues.end());
  std::printf("%-44s median %6.1f ms, min %6.1f, max %6.1f (%zu steps)\n", aWhat, aValues[aValues.size() / 2], aValues.front(),
              aValues.back(), aValues.size());
}

void MeasureLatency(int aSteps) {
  sim::TSimConfig config;
  config.Mode = sim::TSimMode::RevA;
  sim::TSimulatedModem modem(config);
  modem.SetRxLevel(-80);
  modem.Start();
  TPortTable table;
  const uint16_t number = table.RegisterExtraPort(modem.SlavePath(), "Simulated modem");
  TMainFmOptions options;
  options.PortTable = &table;
  options.StarterDelay = 10;
  options.EnumerateComPorts = [number]() -> TPortEntries {
    return std::vector<std::string>{FormatPortLine("COM" + std::to_string(number), "Simulated modem")};
  };
  TConsoleLoop loop;
  std::ofstream nowhere("/dev/null");
  TConsoleView view(nowhere, loop);
  TMainFm fm(view, loop, std::move(options));
  fm.FormActivate();
  TAlignMode align(fm, loop, {}, true);
  std::string notice;
  align.OnNotice = [&notice](const std::string& aText) { notice = aText; };

  std::vector<double> toMove, toReach, heard;
  std::atomic<bool> done{false};
  std::jthread stepper([&] {
    const TAlignRange range = DefaultAlignRange(TAlignFigure::Rx, evtRevA);
    // Until the modem is running and its figure shown.
    while (!done && align.Control().Get().FrequencyHz != PitchOf(-80, range)) std::this_thread::sleep_for(10ms);
    for (int step = 0; step < aSteps && !done; ++step) {
      const double level = step % 2 == 0 ? -60 : -100;
      const double before = align.Control().Get().FrequencyHz;
      const double target = PitchOf(level, range);
      modem.SetRxLevel(level);
      std::optional<TClock::time_point> arrived, moved, reached;
      const TClock::time_point limit = TClock::now() + 3s;
      while (!reached && TClock::now() < limit) {
        const TClock::time_point now = TClock::now();
        if (!arrived && fm.Modem().RXValue() == static_cast<float>(level)) arrived = now;
        const double hz = align.Control().Get().FrequencyHz;
        if (arrived && !moved && hz != before) moved = now;
        if (arrived && hz == target) reached = now;
        std::this_thread::sleep_for(200us);
      }
      if (arrived && moved && reached) {
        toMove.push_back(Ms(*moved - *arrived));
        toReach.push_back(Ms(*reached - *arrived));
        const std::optional<uint64_t> latency = align.Tone() ? align.Tone()->LatencyUs() : std::nullopt;
        if (latency) heard.push_back(Ms(*reached - *arrived) + static_cast<double>(*latency) / 1000);
      }
      std::this_thread::sleep_for(1200ms);
    }
    done = true;
    loop.Wake();
  });
  while (!done) {
    loop.ProcessMessages();
    loop.Idle(100ms);
  }
  stepper.join();
  std::printf("sound: %s\n", notice.empty() ? (align.Tone() && align.Tone()->Playing() ? "playing" : "silent") : notice.c_str());
  if (align.Tone() && align.Tone()->LatencyUs())
    std::printf("sound server's stream latency: %.1f ms\n", static_cast<double>(*align.Tone()->LatencyUs()) / 1000);
  Summarise("packet in the session -> pitch starts to move", toMove);
  Summarise("packet in the session -> pitch at the new level", toReach);
  Summarise("  ... plus the stream latency (heard)", heard);
  fm.FormClose();
}

double ProcessCpuSeconds(pid_t aPid) {
  std::ifstream stat("/proc/" + std::to_string(aPid) + "/stat");
  std::string text;
  std::getline(stat, text);
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void MeasureCpu(const char* aWhat, std::vector<std::string> aArgs) {
  std::vector<std::string> args = {CDMA_MONITOR_PATH, "--console", "--demo"};
  args.insert(args.end(), aArgs.begin(), aArgs.end());
  std::fflush(stdout);  // the child would write what is buffered once more
  const pid_t pid = fork();
  if (pid == 0) {
    [[maybe_unused]] FILE* out = freopen("/dev/null", "w", stdout);
    [[maybe_unused]] FILE* in = freopen("/dev/null", "r", stdin);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::this_thread::sleep_for(5s);  // started and found the modem
  const double from = ProcessCpuSeconds(pid);
  const TClock::time_point start = TClock::now();
  std::this_thread::sleep_for(20s);
  const double cpu = ProcessCpuSeconds(pid) - from;
  const double wall = std::chrono::duration<double>(TClock::now() - start).count();
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::printf("%-30s CPU %.2f s in %.1f s: %.2f %% of one core\n", aWhat, cpu, wall, 100 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  const int steps = argc > 1 ? std::max(2, std::atoi(argv[1])) : 20;
  signal(SIGPIPE, SIG_IGN);
  MeasureLatency(steps);
  MeasureCpu("console, no alignment", {});
  MeasureCpu("console --align --no-tone", {"--align", "--no-tone"});
  MeasureCpu("console --align (tone on)", {"--align"});
  return 0;
}
