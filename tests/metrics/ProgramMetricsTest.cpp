// cdma-monitor with --metrics and --headless run as a program: a port it cannot bind, the service
// mode's log, promtool on its scrapes, and a real Prometheus scraping two monitors whose alert
// rules fire when one modem is unplugged and the other's signal is weak.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConsoleProgramSupport.h"
#include "ExpositionSupport.h"
#include "HttpClient.h"

extern char** environ;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A process with its standard output and error in files; killed when dropped.
class TChild {
 public:
  TChild(const std::vector<std::string>& aArgv, const fs::path& aOut, const fs::path& aErr) : FOut(aOut), FErr(aErr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, aOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, aErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& a : aArgv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~TChild() {
    if (FPid > 0 && !FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
  }
  bool Started() const { return FPid > 0; }
  void Signal(int aSignal) { kill(FPid, aSignal); }
  static std::string Read(const fs::path& aPath) {
    std::ifstream in(aPath);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string Out() const { return Read(FOut); }
  std::string Err() const { return Read(FErr); }
  // Waits until standard error holds aText; false when the time is up.
  bool AwaitErr(const std::string& aText, std::chrono::seconds aLimit = 60s) const {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Err().find(aText) != std::string::npos) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  // Exit status, or -1 for a signal or no end within the limit.
  int Wait(std::chrono::seconds aLimit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (std::chrono::steady_clock::now() < deadline) {
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
  pid_t FPid = -1;
  bool FExited = false;
  fs::path FOut, FErr;
};

class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (fs::temp_directory_path() / "cdma-metrics-XXXXXX").string();
    FPath = ::mkdtemp(pattern.data());
  }
  ~TTempDir() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
};

// A listening socket on a free loopback port, held until dropped.
class THeldPort {
 public:
  THeldPort() {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(FFd, 1);
    socklen_t length = sizeof address;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
    FPort = ntohs(address.sin_port);
  }
  ~THeldPort() { Release(); }
  void Release() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }
  uint16_t Port() const { return FPort; }

 private:
  int FFd = -1;
  uint16_t FPort = 0;
};

// A port that was free a moment ago, for a program to listen on.
uint16_t FreePort() {
  THeldPort held;
  return held.Port();
}

std::string Scrape(uint16_t aPort) {
  const auto reply = http_test::Request(aPort, "GET", "/metrics");
  return reply && reply->Status == 200 ? reply->Body : std::string();
}

void ExpectPromtoolAccepts(const std::string& aPage, const std::string& aWhen) {
  std::string said;
  EXPECT_EQ(exposition_test::PromtoolCheckMetrics(aPage, said), 0) << aWhen << ": " << said << "\n" << aPage;
}

std::string UrlEncoded(const std::string& aText) {
  std::string encoded;
  for (const unsigned char c : aText) {
    if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
      encoded += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += hex;
    }
  }
  return encoded;
}

}  // namespace

TEST(MetricsProgram, AnAddressThatCannotBeBoundEndsTheProgramWithStatus2BeforeTheSearch) {
  TTempDir dir;
  THeldPort taken;
  TChild program({CDMA_MONITOR, "--console", "--demo", "--metrics", "127.0.0.1:" + std::to_string(taken.Port())},
                 dir.Path() / "out", dir.Path() / "err");
  ASSERT_TRUE(program.Started());
  EXPECT_EQ(program.Wait(), 2);
  EXPECT_EQ(program.Err(), "cdma-monitor: cannot listen on 127.0.0.1:" + std::to_string(taken.Port()) +
                               ": Address already in use\n");
  EXPECT_EQ(program.Out(), "") << "the modem was searched";
}

TEST(MetricsProgram, HeadlessLogsOnStandardErrorServesAndStopsOnSigterm) {
  TTempDir dir;
  TChild program({CDMA_MONITOR, "--headless", "--demo", "--metrics", "0"}, dir.Path() / "out", dir.Path() / "err");
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(program.AwaitErr("modem found: ")) << program.Err();
  const std::string started = program.Err();
  std::smatch port;
  ASSERT_TRUE(std::regex_search(started, port, std::regex(R"(cdma-monitor: started, metrics at http://127\.0\.0\.1:([0-9]+)/metrics,)")))
      << started;
  const uint16_t metricsPort = static_cast<uint16_t>(std::stoi(port[1]));
  // Scrapes until the modem's figures are in, each one linted.
  std::string page;
  for (int i = 0; i < 200 && page.find("\ncdma_rx_power_dbm ") == std::string::npos; ++i) {
    page = Scrape(metricsPort);
    ASSERT_FALSE(page.empty());
    if (exposition_test::HaveProgram("promtool") && i % 20 == 0) ExpectPromtoolAccepts(page, "scrape " + std::to_string(i));
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_NE(page.find("\ncdma_modem_present 1\n"), std::string::npos) << page;
  EXPECT_EQ(page.find("esn="), std::string::npos) << "identity without --metrics-identity";

  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_EQ(program.Out(), "") << "the headless program wrote its view";
  const std::string err = program.Err();
  EXPECT_TRUE(std::regex_match(err, std::regex("cdma-monitor: started, metrics at [^\n]+, port plug and unplug from (udev|kernel|rescan)\n"
                                               "cdma-monitor: modem found: COM[0-9]+ +Simulated CDMA modem [^\n]+\n"
                                               "cdma-monitor: stopped\n")))
      << err;
}

// Two monitors, one of them at the edge of coverage, scraped every second by Prometheus with the
// deployed rules (their "for" durations cut to 5 s to keep the test short).
TEST(MetricsProgram, PrometheusScrapesTheFiguresTheConsolePrintedAndTheAlertsFire) {
  if (!exposition_test::HaveProgram("prometheus") || !exposition_test::HaveProgram("promtool"))
    GTEST_SKIP() << "prometheus is not installed (package prometheus)";
  TTempDir dir;
  const uint16_t normalPort = FreePort(), weakPort = FreePort(), prometheusPort = FreePort();
  console_test::TProgram normal({"--console", "--demo", "--metrics", "127.0.0.1:" + std::to_string(normalPort)});
  console_test::TProgram weak(
      {"--console", "--demo", "--demo-mode", "weak", "--metrics", "127.0.0.1:" + std::to_string(weakPort)});

  std::string rules = TChild::Read(CDMA_DEPLOY_DIR "/cdma-monitor-rules.yml");
  ASSERT_NE(rules.find("for: 5m"), std::string::npos);
  ASSERT_NE(rules.find("for: 10m"), std::string::npos);
  rules = std::regex_replace(rules, std::regex("for: (5|10)m"), "for: 5s");
  std::ofstream(dir.Path() / "rules.yml") << rules;
  std::ofstream(dir.Path() / "prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
         "rule_files:\n  - rules.yml\n"
         "scrape_configs:\n  - job_name: cdma-monitor\n    static_configs:\n"
         "      - targets: ['127.0.0.1:" << normalPort << "']\n        labels: {link: normal}\n"
         "      - targets: ['127.0.0.1:" << weakPort << "']\n        labels: {link: weak}\n";
  TChild prometheus({"/usr/bin/prometheus", "--config.file=" + (dir.Path() / "prometheus.yml").string(),
                     "--storage.tsdb.path=" + (dir.Path() / "data").string(),
                     "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)},
                    dir.Path() / "prometheus.out", dir.Path() / "prometheus.err");
  ASSERT_TRUE(prometheus.Started());
  const auto query = [&](const std::string& aQuery) {
    const auto reply = http_test::Request(prometheusPort, "GET", "/api/v1/query?query=" + UrlEncoded(aQuery));
    return reply && reply->Status == 200 ? reply->Body : std::string();
  };

  // The console's RX figures, in order, as it printed them.
  std::vector<std::string> printed;
  std::string statusLine;
  const auto readConsole = [&] {
    while (const auto line = normal.ReadLine(10ms)) {
      if (console_test::StartsWith(*line, "status: COM")) statusLine = *line;
      if (console_test::IsCycleLine(*line) && line->find("| Rev.A |") != std::string::npos) {
        std::string rx = line->substr(4, line->find(" |") - 4);
        printed.push_back(rx.substr(rx.find_first_not_of(' ')));
      }
    }
    while (weak.ReadLine(1ms)) {
    }
  };

  // Twenty seconds of scrapes.
  const auto deadline = std::chrono::steady_clock::now() + 90s;
  std::string series;
  while (std::chrono::steady_clock::now() < deadline) {
    readConsole();
    series = query(R"(cdma_rx_power_dbm{link="normal"}[20s])");
    if (std::count(series.begin(), series.end(), '[') >= 15) break;
    std::this_thread::sleep_for(500ms);
  }
  readConsole();
  ASSERT_GE(printed.size(), 10u) << "the console printed too few cycles";

  // Each scraped RX is a figure the console printed, and in the order printed.
  const std::regex pair(R"re(\[[0-9.]+,"([^"]+)"\])re");
  size_t at = 0, matched = 0;
  for (auto it = std::sregex_iterator(series.begin(), series.end(), pair); it != std::sregex_iterator(); ++it) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::stod((*it)[1]));
    while (at < printed.size() && printed[at] != text) ++at;
    ASSERT_LT(at, printed.size()) << "scraped RX " << (*it)[1] << " was never printed in this order\n" << series;
    ++matched;
  }
  EXPECT_GE(matched, 10u) << series;

  const std::string info = query(R"(cdma_modem_info{link="normal"})");
  std::smatch port;
  ASSERT_TRUE(std::regex_search(statusLine, port, std::regex("^status: (COM[0-9]+) "))) << statusLine;
  EXPECT_NE(info.find(R"("link_type":"Rev.A")"), std::string::npos) << info;
  EXPECT_NE(info.find("\"port\":\"" + port[1].str() + "\""), std::string::npos) << info;
  ExpectPromtoolAccepts(Scrape(normalPort), "the normal monitor");
  ExpectPromtoolAccepts(Scrape(weakPort), "the weak monitor");

  // The normal monitor's modem is pulled out; the weak one stays weak.
  normal.Write("unplug");
  std::string firing;
  while (std::chrono::steady_clock::now() < deadline + 60s) {
    readConsole();
    firing = query(R"(ALERTS{alertstate="firing"})");
    if (firing.find("CdmaLinkDown") != std::string::npos && firing.find("CdmaWeakSignal") != std::string::npos) break;
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_TRUE(std::regex_search(firing, std::regex(R"("alertname":"CdmaLinkDown"[^}]*"link":"normal")")) ||
              std::regex_search(firing, std::regex(R"("link":"normal"[^}]*"alertname":"CdmaLinkDown")")))
      << firing;
  EXPECT_NE(firing.find("CdmaWeakSignal"), std::string::npos) << firing;
  // With the modem out the scrape still passes, and leaves the figures out.
  const std::string unplugged = Scrape(normalPort);
  ExpectPromtoolAccepts(unplugged, "the monitor without its modem");
  EXPECT_EQ(unplugged.find("\ncdma_rx_power_dbm "), std::string::npos) << unplugged;

  normal.Write("quit");
  weak.Write("quit");
  EXPECT_EQ(normal.Wait(), 0);
  EXPECT_EQ(weak.Wait(), 0);
}

// The deployed files as the tools that read them see them, and the unit as cmake --install puts it.
TEST(MetricsDeploy, PromtoolAndSystemdAcceptTheDeployedFiles) {
  if (!exposition_test::HaveProgram("promtool")) GTEST_SKIP() << "promtool is not installed (package prometheus)";
  const std::string deploy = CDMA_DEPLOY_DIR;
  EXPECT_EQ(std::system(("promtool check config " + deploy + "/prometheus.yml >/dev/null").c_str()), 0);
  EXPECT_EQ(std::system(("promtool check rules " + deploy + "/cdma-monitor-rules.yml >/dev/null").c_str()), 0);
  if (!exposition_test::HaveProgram("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed (package systemd)";
  TTempDir dir;
  const std::string install = std::string(CMAKE_COMMAND) + " --install " + CDMA_BINARY_DIR + " --prefix " +
                              dir.Path().string() + " >/dev/null";
  ASSERT_EQ(std::system(install.c_str()), 0);
  const fs::path unit = dir.Path() / "lib/systemd/system/cdma-monitor.service";
  const std::string text = TChild::Read(unit);
  EXPECT_NE(text.find("ExecStart=" + (dir.Path() / "bin/cdma-monitor").string() + " --headless --metrics 127.0.0.1:9860"),
            std::string::npos)
      << text;
  // Its Documentation= names the manual page the same install puts in place.
  const std::string verify = "MANPATH=" + (dir.Path() / "share/man").string() + " systemd-analyze verify " + unit.string();
  EXPECT_EQ(std::system(verify.c_str()), 0);
}
