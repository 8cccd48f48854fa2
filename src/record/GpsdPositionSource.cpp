// gpsd through libgps: connect, WATCH in JSON mode, keep each TPV report's fix, and start over a
// few seconds after the daemon went away.
#include <gps.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "common/SystemError.h"
#include "record/PositionSource.h"

#if GPSD_API_MAJOR_VERSION < 9 || GPSD_API_MAJOR_VERSION > 14
#error "libgps API version not known to this program (fix times in seconds and nanoseconds, the TPV fields altMSL and eph)"
#endif

namespace {

using TSteadyClock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kPollSlice{250};
constexpr std::chrono::milliseconds kConnectTimeout{3000};
constexpr int kReportsPerSlice = 1000;
constexpr std::string_view kTpvPrefix = "{\"class\":\"TPV\"";

struct TStateText {
  TGpsState State;
  std::string_view Text;
};
constexpr std::array<TStateText, 4> kStateTexts = {{
    {TGpsState::NoGpsd, "no gpsd"},
    {TGpsState::NoFix, "no fix"},
    {TGpsState::Fix2D, "2D fix"},
    {TGpsState::Fix3D, "3D fix"},
}};

std::optional<double> Finite(double aValue, double aLow, double aHigh) {
  if (!std::isfinite(aValue) || aValue < aLow || aValue > aHigh) return std::nullopt;
  return aValue;
}

// Waits for aFd to become ready for aEvents, or for the wake descriptor; the poll result for aFd
// (0 for a time-out or a wake).
short WaitFor(int aFd, short aEvents, int aWakeFd, std::chrono::milliseconds aLimit) {
  std::array<pollfd, 2> fds{{{aFd, aEvents, 0}, {aWakeFd, POLLIN, 0}}};
  const int count = aFd >= 0 ? 2 : 1;
  pollfd* first = aFd >= 0 ? fds.data() : fds.data() + 1;
  if (poll(first, static_cast<nfds_t>(count), static_cast<int>(aLimit.count())) <= 0) return 0;
  return aFd >= 0 ? fds[0].revents : 0;
}

// Whether anything listens at the address, found out without blocking the thread for longer than
// kConnectTimeout (libgps's own connect would wait for the system's time-out on an address that
// never answers); the reason when not.
std::optional<std::string> Unreachable(const TGpsdAddress& aAddress, int aWakeFd) {
  addrinfo hints{};  // any address family
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(aAddress.Host.c_str(), aAddress.Port.c_str(), &hints, &found); error != 0)
    return std::string(gai_strerror(error));
  std::string reason = "no address";
  for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
    const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0) {
      reason = SysErrorMessage(errno);
      continue;
    }
    int error = 0;
    if (connect(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        error = ETIMEDOUT;
        if (WaitFor(fd, POLLOUT, aWakeFd, kConnectTimeout) != 0) {
          socklen_t length = sizeof error;
          if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        }
      }
    }
    close(fd);
    if (error == 0) {
      freeaddrinfo(found);
      return std::nullopt;
    }
    reason = SysErrorMessage(error);
  }
  freeaddrinfo(found);
  return reason;
}

}  // namespace

std::string_view GpsStateText(TGpsState aState) {
  for (const TStateText& entry : kStateTexts)
    if (entry.State == aState) return entry.Text;
  return "no gpsd";
}

std::string TGpsdAddress::Text() const {
  return (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) + ":" + Port;
}

std::optional<TGpsdAddress> ParseGpsdAddress(std::string_view aText) {
  TGpsdAddress address;
  std::string_view host = aText;
  std::optional<std::string_view> port;
  if (aText.starts_with('[')) {
    const size_t close = aText.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = aText.substr(1, close - 1);
    const std::string_view rest = aText.substr(close + 1);
    if (!rest.empty()) {
      if (!rest.starts_with(':')) return std::nullopt;
      port = rest.substr(1);
    }
  } else if (const size_t colon = aText.find(':'); colon != std::string_view::npos) {
    if (aText.find(':', colon + 1) != std::string_view::npos) return std::nullopt;  // IPv6 needs brackets
    host = aText.substr(0, colon);
    port = aText.substr(colon + 1);
  }
  if (host.empty()) return std::nullopt;
  address.Host = std::string(host);
  if (port) {
    if (port->empty() || port->size() > 5) return std::nullopt;
    int number = 0;
    for (const char c : *port) {
      if (c < '0' || c > '9') return std::nullopt;
      number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 65535) return std::nullopt;
    address.Port = std::string(*port);
  }
  return address;
}

TPosition PositionOfFix(const gps_fix_t& aFix) {
  TPosition position;
  if (aFix.mode != MODE_2D && aFix.mode != MODE_3D) return position;
  const std::optional<double> latitude = Finite(aFix.latitude, -90, 90);
  const std::optional<double> longitude = Finite(aFix.longitude, -180, 180);
  if (!latitude || !longitude) return position;
  position.Mode = aFix.mode == MODE_3D ? TFixMode::Fix3D : TFixMode::Fix2D;
  position.Latitude = *latitude;
  position.Longitude = *longitude;
  // Heights from 2D fixes are the receiver's guess or a stale figure.
  if (aFix.mode == MODE_3D) {
    position.AltitudeM = Finite(aFix.altMSL, -12000, 100000);
    if (!position.AltitudeM) position.AltitudeM = Finite(aFix.altitude, -12000, 100000);
  }
  position.HorizontalErrorM = Finite(aFix.eph, 0, 1e7);
  if (!position.HorizontalErrorM) {
    const std::optional<double> x = Finite(aFix.epx, 0, 1e7), y = Finite(aFix.epy, 0, 1e7);
    if (x && y) position.HorizontalErrorM = std::hypot(*x, *y);
  }
  position.SpeedMps = Finite(aFix.speed, 0, 1e5);
  position.CourseDeg = Finite(aFix.track, 0, 360);
  if (aFix.time.tv_sec > 0 && aFix.time.tv_nsec >= 0 && aFix.time.tv_nsec < 1000000000)
    position.FixTime = TWallClock::time_point(std::chrono::duration_cast<TWallClock::duration>(
        std::chrono::seconds(aFix.time.tv_sec) + std::chrono::nanoseconds(aFix.time.tv_nsec)));
  return position;
}

TGpsdPositionSource::TGpsdPositionSource(TOptions aOptions) : FOptions(std::move(aOptions)) {
  FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  FThread = std::jthread([this](std::stop_token aStop) { Run(aStop); });
}

TGpsdPositionSource::~TGpsdPositionSource() {
  FThread.request_stop();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(FWakeFd, &one, sizeof one);
  if (FThread.joinable()) FThread.join();
  if (FWakeFd >= 0) close(FWakeFd);
}

TPosition TGpsdPositionSource::Current() const {
  const std::lock_guard lock(FLock);
  const TGpsState state = StateLocked(TSteadyClock::now());
  return state == TGpsState::Fix2D || state == TGpsState::Fix3D ? FFix : TPosition{};
}

TGpsState TGpsdPositionSource::State() const {
  const std::lock_guard lock(FLock);
  return StateLocked(TSteadyClock::now());
}

TGpsState TGpsdPositionSource::StateLocked(TSteadyClock::time_point aNow) const {
  if (!FConnected) return TGpsState::NoGpsd;
  if (!FFix.Known() || aNow - FFixReceived > FOptions.MaxFixAge) return TGpsState::NoFix;
  return FFix.Mode == TFixMode::Fix3D ? TGpsState::Fix3D : TGpsState::Fix2D;
}

void TGpsdPositionSource::Run(std::stop_token aStop) {
  while (!aStop.stop_requested()) {
    const std::string ended = Watch(aStop);
    SetConnected(false);
    if (aStop.stop_requested()) break;
    Report(ended);
    if (Rest(aStop, FOptions.ReconnectDelay)) break;
  }
}

std::string TGpsdPositionSource::Watch(std::stop_token aStop) {
  const std::string where = "gpsd at " + FOptions.Address.Text();
  if (const std::optional<std::string> reason = Unreachable(FOptions.Address, FWakeFd))
    return "no " + where + " (" + *reason + ")";
  gps_data_t gps{};
  if (gps_open(FOptions.Address.Host.c_str(), FOptions.Address.Port.c_str(), &gps) != 0)
    return "no " + where + " (" + gps_errstr(errno) + ")";
  if (gps_stream(&gps, WATCH_ENABLE | WATCH_JSON, nullptr) != 0) {
    const std::string reason = SysErrorMessage(errno);
    gps_close(&gps);
    return "no " + where + " (" + reason + ")";
  }
  SetConnected(true);
  std::string ended = where + " closed the connection";
  while (!aStop.stop_requested()) {
    const short ready = WaitFor(gps.gps_fd, POLLIN, FWakeFd, kPollSlice);
    if (ready != 0) {
      bool closed = false;
      // One report per read; libgps may hold more already read from the socket. A daemon that
      // never pauses still lets the state be told and the stop be heard.
      int reports = 0;
      do {
        std::array<char, 64> message{};
        errno = 0;
        if (gps_read(&gps, message.data(), static_cast<int>(message.size())) < 0) {
          if (errno != 0) ended = where + ": " + SysErrorMessage(errno);
          closed = true;
          break;
        }
        if (std::string_view(message.data()).starts_with(kTpvPrefix)) StoreFix(PositionOfFix(gps.fix));
      } while (++reports < kReportsPerSlice && !aStop.stop_requested() && gps_waiting(&gps, 0));
      if (closed) break;
    }
    Report(where);
  }
  gps_close(&gps);
  return ended;
}

bool TGpsdPositionSource::Rest(std::stop_token aStop, std::chrono::milliseconds aLimit) {
  const auto until = TSteadyClock::now() + aLimit;
  while (!aStop.stop_requested()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TSteadyClock::now());
    if (left.count() <= 0) return false;
    WaitFor(-1, 0, FWakeFd, std::min(left, kPollSlice));
  }
  return true;
}

void TGpsdPositionSource::SetConnected(bool aConnected) {
  const std::lock_guard lock(FLock);
  FConnected = aConnected;
  FConnectedAt = TSteadyClock::now();
  if (!aConnected) FFix = TPosition{};
}

void TGpsdPositionSource::StoreFix(const TPosition& aPosition) {
  const std::lock_guard lock(FLock);
  FFix = aPosition;
  FFixReceived = TSteadyClock::now();
}

void TGpsdPositionSource::Report(const std::string& aDetail) {
  TGpsState state;
  {
    const std::lock_guard lock(FLock);
    state = StateLocked(TSteadyClock::now());
    if (FReported == state) return;
    // Just connected: gpsd gets the time of a fix to tell of one before "no fix" is said.
    if (state == TGpsState::NoFix && TSteadyClock::now() - FConnectedAt < FOptions.MaxFixAge) return;
    FReported = state;
  }
  if (!FOptions.OnStateChange) return;
  std::string detail = aDetail;
  if (state == TGpsState::NoFix) detail += " has no fix";
  if (state == TGpsState::Fix2D || state == TGpsState::Fix3D) detail = std::string(GpsStateText(state)) + " from " + aDetail;
  FOptions.OnStateChange(state, detail);
}
