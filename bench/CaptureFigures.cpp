// Figures of captures: an hour of each link type from the simulated modem (size, records, and
// what the monitor's own capture of it comes to), and how fast cdma-monitor replays the Rev B
// hour at the maximum speed, from its start to "device not found." at the capture's end. The
// simulated modem runs at its maximum rate and stamps each frame with its scenario's clock, so
// an hour of the scenario takes seconds to make and replays at a real modem's pace.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "capture/CaptureRecorder.h"
#include "capture/ReplayCapture.h"
#include "protocol/FrameCodec.h"
#include "protocol/ModemStructuresUnit.h"
#include "sim/SimulatedModem.h"

namespace {

using namespace std::chrono_literals;

struct TLink {
  const char* Name;
  sim::TSimMode Mode;
  std::vector<uint16_t> Channels;
};

struct THour {
  std::string Path;
  double Minutes = 0;
  uint64_t FileBytes = 0, Records = 0, WireBytes = 0, Frames = 0;
};

// The simulated modem at its maximum rate, stamped with its scenario's clock, read by a monitor
// stand-in until aMinutes of scenario time have passed.
THour Record(const std::string& aPath, const TLink& aLink, double aMinutes) {
  std::atomic<double> scenarioMs{0};
  std::unique_ptr<TCaptureRecorder> recorder = std::make_unique<TCaptureRecorder>(TCaptureWriter::Create(aPath));
  const int64_t start = TCaptureRecorder::NowUs();
  sim::TSimConfig config;
  config.Mode = aLink.Mode;
  config.Channels = aLink.Channels;
  config.MaxRate = true;
  config.WireTap = [&](bool aFromModem, TByteView aBytes, double aMs) {
    scenarioMs = aMs;
    recorder->Append(start + static_cast<int64_t>(aMs * 1000),
                     aFromModem ? TCaptureDirection::FromModem : TCaptureDirection::ToModem, aBytes);
  };
  sim::TSimulatedModem modem(config);
  modem.Start();
  const int fd = ::open(modem.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  for (std::string_view command : {kStatusRequestCommand, kLogMaskCommand, kNvItem20Command, kStatusRequestCommand,
                                   kNvItem21Command, kNvItem21Command}) {
    const TByteString frame = ComposeCommand(command);
    (void)!::write(fd, frame.data(), frame.size());
  }
  while (scenarioMs < aMinutes * 60000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[65536];
    (void)!::read(fd, buffer, sizeof buffer);
  }
  const TByteString off = ComposeCommand(kLoggingOffCommand);
  (void)!::write(fd, off.data(), off.size());
  std::this_thread::sleep_for(100ms);
  ::close(fd);
  modem.Stop();
  THour hour;
  hour.Path = recorder->Path();
  hour.Records = recorder->RecordsAppended();
  recorder->Close();
  const sim::TSimCounters c = modem.Counters();
  hour.Minutes = scenarioMs / 60000;
  hour.FileBytes = std::filesystem::file_size(hour.Path);
  hour.WireBytes = c.BytesWritten;
  hour.Frames = c.TotalLogsSent() + c.RepliesSent;
  return hour;
}

// cdma-monitor replaying aPath at the maximum speed: seconds from its start to the end of the
// capture ("device not found." after the modem was found).
double ReplaySeconds(const std::string& aMonitor, const std::string& aPath) {
  int out[2];
  if (pipe(out) != 0) return -1;
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    close(out[0]);
    execl(aMonitor.c_str(), aMonitor.c_str(), "--console", "--replay", aPath.c_str(), "--replay-speed", "max",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string pending;
  bool found = false;
  double seconds = -1;
  char buffer[65536];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      const std::string line = pending.substr(0, end);
      if (line.rfind("status: COM", 0) == 0) found = true;
      if (found && line == "status: device not found.") {
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        kill(pid, SIGTERM);
      }
    }
  }
  close(out[0]);
  waitpid(pid, nullptr, 0);
  return seconds;
}

}  // namespace

// capture_figures [MINUTES [DIR]]: the captures go to DIR and stay there, or to a temporary
// directory removed at the end.
int main(int argc, char** argv) {
  double minutes = 60;
  if (argc > 1) minutes = std::atof(argv[1]);
  const bool keep = argc > 2;
  const std::string dir = keep ? std::string(argv[2]) : std::string(std::filesystem::temp_directory_path() / "cdma-capture-figures");
  if (!keep) std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);

  const std::vector<TLink> links = {{"1x", sim::TSimMode::Ev1x, {283}},
                                    {"reva", sim::TSimMode::RevA, {283}},
                                    {"revb", sim::TSimMode::RevB, {283, 384, 425}},
                                    {"sleep", sim::TSimMode::Sleep, {283, 384}}};
  std::printf("%-6s %8s %12s %9s %12s %12s %16s\n", "link", "minutes", "file MB/h", "records", "wire MB/h",
              "frames/h", "monitor MB/h");
  std::string revb;
  for (const TLink& link : links) {
    const THour h = Record(dir + "/" + link.Name + ".pcap", link, minutes);
    const double perHour = 60 / h.Minutes;
    // The monitor's own capture holds the same reads and writes, a record each, and besides
    // them two timer marks a second (19 bytes each).
    const double monitor = static_cast<double>(h.FileBytes) * perHour + 7200.0 * 19;
    std::printf("%-6s %8.1f %12.2f %9llu %12.2f %12.0f %16.2f\n", link.Name, h.Minutes, h.FileBytes * perHour / 1e6,
                static_cast<unsigned long long>(h.Records), h.WireBytes * perHour / 1e6, h.Frames * perHour,
                monitor / 1e6);
    if (std::string(link.Name) == "revb") revb = h.Path;
  }

  const auto capture = TReplayCapture::Load(revb);
  const double seconds = ReplaySeconds(CDMA_MONITOR_PATH, revb);
  const double span = static_cast<double>(capture->SpanUs()) / 1e6;
  std::printf("replay of %.0f s of Rev B (%.1f MB from the modem) at max: %.2f s, %.1f MB/s, %.0f times real time\n",
              span, capture->ModemBytes() / 1e6, seconds, capture->ModemBytes() / 1e6 / seconds, span / seconds);
  if (!keep) std::filesystem::remove_all(dir);
  return seconds > 0 ? 0 : 1;
}
