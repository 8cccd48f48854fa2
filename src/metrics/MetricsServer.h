// The metrics endpoint's HTTP server: GET /metrics, a small page at /, 404 for other paths, 405
// for other methods. One event-driven thread of its own serves every connection, with a limit
// on connections, on each connection's memory and on its idle time.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

struct MHD_Daemon;

// Where the endpoint listens: "ADDRESS:PORT", "[IPv6]:PORT" or a bare port (on 127.0.0.1).
struct TMetricsAddress {
  std::string Host = "127.0.0.1";
  uint16_t Port = 0;
  std::string Text() const;  // "127.0.0.1:9860", "[::1]:9860"
};

// None when the text is not an address and port. Port 0 asks the system for any free port.
std::optional<TMetricsAddress> ParseMetricsAddress(const std::string& aText);

// The address cannot be listened on; the text names it and carries the system's reason.
class EMetricsServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TMetricsServerLimits {
  unsigned Connections = 2048;           // at once; lowered to what the descriptor limit allows
  unsigned IdleSeconds = 10;             // a connection silent this long is closed
  size_t ConnectionMemory = 16 * 1024;   // per connection; a request head larger is refused
};

class TMetricsServer {
 public:
  // Returns the page for GET /metrics; runs on the server's thread and must not block.
  using TScrape = std::function<std::string()>;

  // Listens on aAddress and starts serving (port 0: any free port, see Port()). Throws
  // EMetricsServerError when the address cannot be resolved or bound.
  TMetricsServer(const TMetricsAddress& aAddress, TScrape aScrape, TMetricsServerLimits aLimits = {});
  // Stops serving and joins the server's thread.
  ~TMetricsServer();
  TMetricsServer(const TMetricsServer&) = delete;
  TMetricsServer& operator=(const TMetricsServer&) = delete;

  uint16_t Port() const { return FPort; }
  std::string Url() const;  // "http://127.0.0.1:9860/metrics"

 private:
  TMetricsAddress FAddress;
  TScrape FScrape;
  uint16_t FPort = 0;
  MHD_Daemon* FDaemon = nullptr;
};
