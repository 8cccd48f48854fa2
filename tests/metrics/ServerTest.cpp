// The metrics HTTP server on a real socket: its routes, an address it cannot bind, and clients
// that misbehave (half-open, slow, oversized) while others keep being answered.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HttpClient.h"
#include "metrics/MetricsExposition.h"
#include "metrics/MetricsServer.h"

using namespace std::chrono_literals;
using namespace http_test;

namespace {

const std::string kPage = "# HELP cdma_modem_present x\n# TYPE cdma_modem_present gauge\ncdma_modem_present 1\n";

TMetricsAddress AnyPort() { return *ParseMetricsAddress("127.0.0.1:0"); }

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

}  // namespace

TEST(MetricsServer, RoutesMethodsAndTheExpositionContentType) {
  TMetricsServer server(AnyPort(), [] { return kPage; });
  ASSERT_NE(server.Port(), 0);
  EXPECT_EQ(server.Url(), "http://127.0.0.1:" + std::to_string(server.Port()) + "/metrics");
  struct TCase {
    const char* Method;
    const char* Path;
    int Status;
    const char* InHead;
    std::string Body;  // "*": any
  };
  const std::vector<TCase> cases = {
      {"GET", "/metrics", 200, "Content-Type: text/plain; version=0.0.4; charset=utf-8", kPage},
      {"GET", "/metrics?debug=1", 200, "version=0.0.4", kPage},
      {"HEAD", "/metrics", 200, "version=0.0.4", ""},
      {"GET", "/", 200, "text/html", "*"},
      {"GET", "/metrics/", 404, "", "*"},
      {"GET", "/favicon.ico", 404, "", "*"},
      {"POST", "/metrics", 405, "Allow: GET, HEAD", "*"},
      {"PUT", "/", 405, "Allow: GET, HEAD", "*"},
      {"DELETE", "/metrics", 405, "Allow: GET, HEAD", "*"},
  };
  for (const TCase& c : cases) {
    const auto reply = Request(server.Port(), c.Method, c.Path);
    ASSERT_TRUE(reply) << c.Method << " " << c.Path;
    EXPECT_EQ(reply->Status, c.Status) << c.Method << " " << c.Path;
    EXPECT_NE(reply->Head.find(c.InHead), std::string::npos) << c.Method << " " << c.Path << "\n" << reply->Head;
    if (c.Body != "*") {
      EXPECT_EQ(reply->Body, c.Body) << c.Method << " " << c.Path;
    }
  }
  EXPECT_NE(Request(server.Port(), "GET", "/")->Body.find("href=\"/metrics\""), std::string::npos);
}

TEST(MetricsServer, AnAddressThatCannotBeBoundIsAClearError) {
  TMetricsServer first(AnyPort(), [] { return kPage; });
  TMetricsAddress taken = AnyPort();
  taken.Port = first.Port();
  try {
    TMetricsServer second(taken, [] { return kPage; });
    FAIL() << "a second server listened on " << taken.Text();
  } catch (const EMetricsServerError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot listen on " + taken.Text() + ": Address already in use");
  }
  EXPECT_THROW(TMetricsServer(*ParseMetricsAddress("192.0.2.1:9860"), [] { return kPage; }), EMetricsServerError);
  EXPECT_THROW(TMetricsServer(*ParseMetricsAddress("no-such-host.invalid:9860"), [] { return kPage; }),
               EMetricsServerError);
}

// A thousand connections that never finish their request, clients that send a byte a second and
// a request head far beyond the connection's memory: others are still answered, the server's
// memory stays bounded and the idle connections are closed.
TEST(MetricsServer, BadClientsDoNotStarveOthers) {
  TMetricsServerLimits limits;
  limits.IdleSeconds = 3;
  TMetricsServer server(AnyPort(), [] { return kPage; }, limits);
  const long before = ResidentKiB();

  std::vector<int> halfOpen;
  for (int i = 0; i < 1000; ++i) {
    const int fd = Connect(server.Port());
    ASSERT_GE(fd, 0) << "connection " << i;
    SendAll(fd, "GET /metrics HTTP/1.1\r\nHost: 12");
    halfOpen.push_back(fd);
  }

  std::atomic<bool> stop{false};
  std::vector<std::thread> slow;
  for (int i = 0; i < 4; ++i)
    slow.emplace_back([&] {
      const int fd = Connect(server.Port());
      const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + std::string(200, 'a');
      for (size_t at = 0; at < request.size() && !stop; ++at) {
        if (!SendAll(fd, request.substr(at, 1))) break;
        for (int t = 0; t < 10 && !stop; ++t) std::this_thread::sleep_for(100ms);
      }
      ::close(fd);
    });

  const std::string oversized = "X-Big: " + std::string(256 * 1024, 'b') + "\r\n";
  const auto big = Request(server.Port(), "GET", "/metrics", 10s, oversized);
  if (big) {
    EXPECT_GE(big->Status, 400) << "a 256 KiB request head was served";
  }

  std::chrono::milliseconds slowest{0};
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto reply = Request(server.Port(), "GET", "/metrics", 10s);
    slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start));
    ASSERT_TRUE(reply) << "scrape " << i << " not answered";
    EXPECT_EQ(reply->Status, 200);
    EXPECT_EQ(reply->Body, kPage);
  }
  const long grown = ResidentKiB() - before;
  std::printf("slowest scrape among bad clients: %lld ms; resident memory grown by %ld KiB\n",
              static_cast<long long>(slowest.count()), grown);
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer keeps shadow memory and histories for every thread and descriptor touched.
  constexpr long kBoundKiB = 256 * 1024;
#else
  constexpr long kBoundKiB = 64 * 1024;
#endif
  EXPECT_LT(grown, kBoundKiB) << "KiB";

  // The silent connections are closed by the server once idle.
  for (int fd : {halfOpen.front(), halfOpen.back()}) {
    const auto rest = ReadToEnd(fd, 20s);
    EXPECT_TRUE(rest) << "a half-open connection was kept beyond its idle time";
  }
  stop = true;
  for (std::thread& t : slow) t.join();
  for (int fd : halfOpen) ::close(fd);
  EXPECT_EQ(Request(server.Port(), "GET", "/metrics")->Status, 200);
}
