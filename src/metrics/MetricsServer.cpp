// The metrics endpoint over libmicrohttpd: our own listening socket (so that a bind failure
// carries the system's text), then one epoll thread with per-connection limits.
#include "metrics/MetricsServer.h"

#include <microhttpd.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "common/SystemError.h"
#include "metrics/MetricsExposition.h"

namespace {

constexpr char kIndexPage[] =
    "<!DOCTYPE html>\n<html><head><title>CDMA signal monitor</title></head>\n"
    "<body><h1>CDMA signal monitor</h1><p><a href=\"/metrics\">Metrics</a></p></body></html>\n";

// Descriptors kept for everything else the program opens (ports, pipes, the bus).
constexpr rlim_t kReservedDescriptors = 128;
constexpr rlim_t kWantedDescriptors = 8192;

// Each open connection needs a descriptor: the soft limit is raised towards the hard one, and
// the connection limit kept below what is left.
unsigned ConnectionLimit(unsigned aWanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::min(aWanted, 512u);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < kWantedDescriptors) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? kWantedDescriptors : std::min(limit.rlim_max, kWantedDescriptors);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return aWanted;
  const rlim_t usable = limit.rlim_cur > 2 * kReservedDescriptors ? limit.rlim_cur - kReservedDescriptors : limit.rlim_cur / 2;
  return static_cast<unsigned>(std::min<rlim_t>(aWanted, usable));
}

class TSocket {
 public:
  explicit TSocket(int aFd) : FFd(aFd) {}
  ~TSocket() {
    if (FFd >= 0) ::close(FFd);
  }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;
  int Get() const { return FFd; }
  int Release() { return std::exchange(FFd, -1); }

 private:
  int FFd;
};

int Listen(const TMetricsAddress& aAddress, bool& aIpv6) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(aAddress.Port);
  if (const int rc = getaddrinfo(aAddress.Host.c_str(), port.c_str(), &hints, &found); rc != 0)
    throw EMetricsServerError("cannot listen on " + aAddress.Text() + ": " +
                              (rc == EAI_SYSTEM ? SysErrorMessage(errno) : std::string(gai_strerror(rc))));
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  int error = 0;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    TSocket socket(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (socket.Get() < 0) {
      error = errno;
      continue;
    }
    const int on = 1;
    ::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket.Get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(socket.Get(), SOMAXCONN) != 0) {
      error = errno;
      continue;
    }
    aIpv6 = a->ai_family == AF_INET6;
    return socket.Release();
  }
  throw EMetricsServerError("cannot listen on " + aAddress.Text() + ": " + SysErrorMessage(error));
}

uint16_t BoundPort(int aFd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(aFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return 0;
}

MHD_Result Respond(MHD_Connection* aConnection, unsigned aStatus, const std::string& aBody, const char* aType,
                   bool aAllowHeader = false) {
  MHD_Response* response =
      MHD_create_response_from_buffer(aBody.size(), const_cast<char*>(aBody.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, aType);
  if (aAllowHeader) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  const MHD_Result queued = MHD_queue_response(aConnection, aStatus, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result HandleRequest(void* aServer, MHD_Connection* aConnection, const char* aUrl, const char* aMethod,
                         const char*, const char*, size_t*, void**) {
  const auto& scrape = *static_cast<const TMetricsServer::TScrape*>(aServer);
  const bool get = std::strcmp(aMethod, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(aMethod, MHD_HTTP_METHOD_HEAD) == 0;
  const std::string path = aUrl;
  if (path != "/" && path != "/metrics") return Respond(aConnection, MHD_HTTP_NOT_FOUND, "Not found.\n", "text/plain");
  if (!get) return Respond(aConnection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD.\n", "text/plain", true);
  if (path == "/") return Respond(aConnection, MHD_HTTP_OK, kIndexPage, "text/html; charset=utf-8");
  return Respond(aConnection, MHD_HTTP_OK, scrape(), kExpositionContentType);
}

}  // namespace

std::string TMetricsAddress::Text() const {
  const std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
  return host + ":" + std::to_string(Port);
}

std::optional<TMetricsAddress> ParseMetricsAddress(const std::string& aText) {
  TMetricsAddress address;
  std::string port = aText;
  if (const size_t colon = aText.rfind(':'); colon != std::string::npos) {
    std::string host = aText.substr(0, colon);
    port = aText.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos) return std::nullopt;  // an IPv6 address needs its brackets
    if (host.empty()) return std::nullopt;
    address.Host = std::move(host);
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || value > 65535) return std::nullopt;
  address.Port = static_cast<uint16_t>(value);
  return address;
}

TMetricsServer::TMetricsServer(const TMetricsAddress& aAddress, TScrape aScrape, TMetricsServerLimits aLimits)
    : FAddress(aAddress), FScrape(std::move(aScrape)) {
  bool ipv6 = false;
  TSocket listening(Listen(aAddress, ipv6));
  FPort = BoundPort(listening.Get());
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ITC;
  if (ipv6) flags |= MHD_USE_IPv6;
  FDaemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &HandleRequest, &FScrape,
                             MHD_OPTION_LISTEN_SOCKET, listening.Get(),
                             MHD_OPTION_CONNECTION_LIMIT, ConnectionLimit(aLimits.Connections),
                             MHD_OPTION_CONNECTION_TIMEOUT, aLimits.IdleSeconds,
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, aLimits.ConnectionMemory,
                             MHD_OPTION_END);
  if (!FDaemon) throw EMetricsServerError("cannot serve on " + aAddress.Text() + ": the HTTP server did not start");
  listening.Release();  // the daemon closes it when it stops
}

TMetricsServer::~TMetricsServer() {
  if (FDaemon) MHD_stop_daemon(FDaemon);
}

std::string TMetricsServer::Url() const {
  TMetricsAddress bound = FAddress;
  bound.Port = FPort;
  return "http://" + bound.Text() + "/metrics";
}
