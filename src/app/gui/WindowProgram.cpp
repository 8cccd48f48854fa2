// The window program: the application object, the style before any window, the platform, the
// main window with its logic, and a clean close on SIGINT and SIGTERM.
#include "gui/WindowProgram.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>

#include "app/MonitorCapture.h"
#include "app/MonitorPlatform.h"
#include "gui/AuricStyle.h"
#include "gui/MonitorWindow.h"
#include "gui/RecordingControls.h"
#include "metrics/MetricsEndpoint.h"

#ifndef CDMA_VERSION
#define CDMA_VERSION "0.0.0"
#endif

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int aSignal) {
  const char byte = static_cast<char>(aSignal);
  [[maybe_unused]] const ssize_t written = write(gSignalPipe[1], &byte, 1);
}

bool IsSet(const char* aName) {
  const char* value = std::getenv(aName);
  return value && *value;
}

}  // namespace

bool DisplayAvailable() {
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  if (!chosen || !*chosen) return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
  // "wayland;xcb" tries each in turn; "offscreen", "vnc:size=..." and the like need no display.
  std::string platforms = chosen;
  size_t start = 0;
  while (start <= platforms.size()) {
    const size_t end = std::min(platforms.find(';', start), platforms.size());
    const std::string entry = platforms.substr(start, end - start);
    const std::string name = entry.substr(0, entry.find(':'));
    if (name == "xcb") {
      if (IsSet("DISPLAY")) return true;
    } else if (name.rfind("wayland", 0) == 0) {
      if (IsSet("WAYLAND_DISPLAY")) return true;
    } else if (!name.empty()) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

int RunWindowMonitor(int& argc, char** argv, const TMonitorOptions& aOptions,
                     const std::function<void(TMonitorWindow&)>& aOnShown) {
  // A reader that went away must not end the program in the middle of stopping the modem.
  std::signal(SIGPIPE, SIG_IGN);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("cdma-monitor"));
  QApplication::setApplicationVersion(QStringLiteral(CDMA_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("cdma-monitor"));
  ApplyAuricStyle(app);

  // The field log's files are made before anything else: one that cannot be is the end.
  TRecordingControls recording(aOptions);
  try {
    recording.StartFromCommandLine(aOptions);
  } catch (const ELogFileError& e) {
    std::cerr << "cdma-monitor: " << e.what() << "\n";
    return 2;
  }
  // The metrics endpoint listens before any modem is searched: an address that cannot be bound
  // ends the program here.
  auto endpoint = TMetricsEndpoint::Create(aOptions.Metrics, aOptions.MetricsIdentity, std::cerr);
  if (!endpoint) return 2;
  const std::unique_ptr<TMetricsEndpoint> metrics = std::move(*endpoint);
  // Made before the platform: it outlives the window, whose ports record into it or replay
  // from it.
  const std::unique_ptr<TMonitorCapture> capture = TMonitorCapture::Create(aOptions, std::cerr);
  if (!capture) return 2;
  const std::unique_ptr<TMonitorPlatform> platform = TMonitorPlatform::Create(aOptions, std::cerr, capture.get());
  if (!platform) return 1;

  TMonitorWindow monitor(platform->FormOptions(), [&capture](TUiLoop& aLoop) -> TUiLoop& { return capture->Loop(aLoop); });
  capture->Attach(monitor.Logic());
  if (metrics) metrics->Attach(monitor.Logic());
  if (aOptions.ReportUrl) monitor.Logic().ReportSender().SetReportUrl(*aOptions.ReportUrl);
  monitor.Alignment().SetSettings(AlignSettingsOf(aOptions), !aOptions.NoTone);
  recording.Attach(monitor);
  // A replay at the maximum speed moves on whenever Qt has nothing else to do.
  QTimer replayDriver;
  if (TReplayUiLoop* replay = capture->ReplayLoop()) {
    QObject::connect(&replayDriver, &QTimer::timeout, [replay, &replayDriver] {
      replayDriver.setInterval(replay->Advance() ? 0 : 5);
    });
    replayDriver.start(0);
  }

  // SIGINT and SIGTERM close the window as its close button would.
  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    signalNotifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &monitor.Window(), [&monitor] {
      char drained[16];
      while (read(gSignalPipe[0], drained, sizeof drained) > 0) {
      }
      monitor.Window().close();
    });
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
  }

  monitor.Window().show();
  if (aOptions.Align) monitor.Alignment().Open();
  if (aOnShown) aOnShown(monitor);
  const int status = QApplication::exec();
  replayDriver.stop();
  capture->Close();
  recording.Stop();
  if (metrics) metrics->Detach();

  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  signalNotifier.reset();
  for (int& fd : gSignalPipe)
    if (fd >= 0) close(std::exchange(fd, -1));
  return status;
}
