// The window closed in the middle of a search: a silent port is being probed and a modem waits
// behind it. Nothing is started after the close, and no modem is left streaming.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "QtTestEnvironment.h"
#include "common/WindowMessages.h"
#include "gui/ModemSelectDialog.h"
#include "gui/MonitorWindow.h"
#include "serial/SetupAPI.h"
#include "sim/SimulatedModem.h"

namespace {

// A pseudo-terminal nobody answers on.
class TSilentPort {
 public:
  TSilentPort() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) std::abort();
    char name[128] = {};
    if (ptsname_r(FMaster, name, sizeof name) != 0) std::abort();
    Path = name;
  }
  ~TSilentPort() { close(FMaster); }
  TSilentPort(const TSilentPort&) = delete;
  TSilentPort& operator=(const TSilentPort&) = delete;
  std::string Path;

 private:
  int FMaster = -1;
};

// The window, shown, searching the given ports (path and description) only when told.
std::unique_ptr<TMonitorWindow> ShowWindowOver(TPortTable& aTable,
                                               const std::vector<std::pair<std::string, std::string>>& aPorts) {
  std::vector<std::string> entries;
  for (const auto& [path, description] : aPorts)
    entries.push_back(FormatPortLine("COM" + std::to_string(aTable.RegisterExtraPort(path, description)), description));
  TMainFmOptions options;
  options.PortTable = &aTable;
  options.StarterDelay = std::nullopt;
  options.EnumerateComPorts = [entries] { return TPortEntries(entries); };
  auto monitor = std::make_unique<TMonitorWindow>(std::move(options));
  monitor->Window().show();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(&monitor->Window(), 30000));
  return monitor;
}

TEST(CloseDuringSearch, TheWindowClosedWhileASilentPortIsProbedStartsNoModem) {
  TSilentPort silent;
  sim::TSimConfig config;
  sim::TSimulatedModem modem(config);
  modem.Start();
  TPortTable table;
  auto monitor = ShowWindowOver(table, {{silent.Path, "silent"}, {modem.SlavePath(), "modem"}});

  // The close comes as the user's would, from the loop the search keeps running: well inside the
  // silent port's two-second wait.
  std::chrono::steady_clock::time_point closedAt;
  bool searching = false;
  QTimer::singleShot(300, &monitor->Window(), [&] {
    searching = monitor->Logic().BusyVisible();
    closedAt = std::chrono::steady_clock::now();
    monitor->Window().close();
  });
  monitor->Loop().Target().PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
  ASSERT_TRUE(QTest::qWaitFor([&] { return closedAt.time_since_epoch().count() != 0 && !monitor->Logic().BusyVisible(); }, 30000));
  EXPECT_TRUE(searching);
  monitor.reset();
  const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closedAt);
  std::printf("closed during the search: gone after %lld ms\n", static_cast<long long>(exitMs.count()));

  EXPECT_EQ(modem.Counters().CommandsReceived, 0u) << "the modem behind the silent port was never asked";
  EXPECT_FALSE(modem.LoggingOn());
}

TEST(CloseDuringSearch, TheWindowClosedWhileSelectModemWaitsCancelsTheQuestion) {
  std::vector<std::unique_ptr<sim::TSimulatedModem>> modems;
  std::vector<std::pair<std::string, std::string>> ports;
  for (const char* name : {"A", "B"}) {
    modems.push_back(std::make_unique<sim::TSimulatedModem>(sim::TSimConfig{}));
    modems.back()->Start();
    ports.emplace_back(modems.back()->SlavePath(), name);
  }
  TPortTable table;
  auto monitor = ShowWindowOver(table, ports);

  // As SIGTERM does: the window is closed while the question is open.
  bool asked = false;
  AnswerModal([&](QWidget* aModal) {
    if (!dynamic_cast<TModemSelectDialog*>(aModal)) return false;
    asked = true;
    monitor->Window().close();
    return true;
  });
  monitor->Loop().Target().PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
  ASSERT_TRUE(QTest::qWaitFor([&] { return asked && !QApplication::activeModalWidget(); }, 60000));
  monitor.reset();
  for (const auto& modem : modems) EXPECT_FALSE(modem->LoggingOn());
}

}  // namespace
