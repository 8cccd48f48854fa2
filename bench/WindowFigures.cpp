// The window program's running costs: time from process start to the first painted window, CPU
// time against wall time over a stretch of --demo, and peak resident memory. Run by hand:
//   window_figures [SECONDS [DEMO-MODE [SCREENSHOT.png]]]
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "gui/MonitorWindow.h"
#include "gui/WindowProgram.h"

namespace {

double Seconds(const timespec& aTime) { return static_cast<double>(aTime.tv_sec) + static_cast<double>(aTime.tv_nsec) / 1e9; }

// Seconds since boot at which this process started (field 22 of /proc/self/stat, in ticks).
double ProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string text;
  std::getline(stat, text);
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  return std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double BootClock() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return Seconds(now);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Notes the first paint of the main window.
class TFirstPaint final : public QObject {
 public:
  explicit TFirstPaint(std::function<void()> aOnPaint) : FOnPaint(std::move(aOnPaint)) {}

 protected:
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override {
    if (aEvent->type() == QEvent::Paint && FOnPaint) std::exchange(FOnPaint, nullptr)();
    return QObject::eventFilter(aWatched, aEvent);
  }

 private:
  std::function<void()> FOnPaint;
};

}  // namespace

int main(int argc, char** argv) {
  const double started = ProcessStart();
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
  TMonitorOptions options;
  options.Demo = true;
  options.DemoMode = argc > 2 ? argv[2] : "reva";
  // A screenshot of the window as the run ends, when a path is given.
  const QString screenshot = argc > 3 ? QString::fromLocal8Bit(argv[3]) : QString();

  double firstPaint = 0, runFrom = 0, cpuFrom = 0;
  QElapsedTimer wall;
  std::unique_ptr<TFirstPaint> watcher;
  return RunWindowMonitor(argc, argv, options, [&](TMonitorWindow& aMonitor) {
    watcher = std::make_unique<TFirstPaint>([&] {
      firstPaint = BootClock() - started;
      runFrom = BootClock();
      cpuFrom = CpuSeconds();
      wall.start();
      std::printf("first paint: %.0f ms after the process started\n", firstPaint * 1000);
      std::fflush(stdout);
      QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &aMonitor.Window(), [&] {
        const double run = BootClock() - runFrom;
        const double cpu = CpuSeconds() - cpuFrom;
        std::printf("running %.1f s: CPU %.2f s, %.2f %% of one core (%.2f s CPU since start)\n", run, cpu,
                    100 * cpu / run, CpuSeconds());
        std::printf("peak resident memory: %.1f MB\n", static_cast<double>(PeakRssKb()) / 1024);
        std::printf("last cycle: %s | %s | %s\n", aMonitor.Logic().LabelText(TMainLabel::Label5).c_str(),
                    aMonitor.Logic().LabelText(TMainLabel::Label2).c_str(), aMonitor.Logic().StatusText().c_str());
        std::fflush(stdout);
        if (!screenshot.isEmpty()) aMonitor.Window().grab().save(screenshot);
        aMonitor.Window().close();
      });
    });
    aMonitor.Window().installEventFilter(watcher.get());
  });
}
