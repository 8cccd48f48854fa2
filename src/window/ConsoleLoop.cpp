// The poll-based loop of the console program.
#include "window/ConsoleLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <system_error>

namespace {

// The signal handler's only channel to the loop: it writes the signal number into the pipe.
int gSignalPipe[2] = {-1, -1};
struct sigaction gPreviousInt {}, gPreviousTerm{};

extern "C" void OnConsoleSignal(int aSignal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(aSignal);
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

int CeilMs(std::chrono::nanoseconds aSpan) {
  if (aSpan <= std::chrono::nanoseconds::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(aSpan).count();
  return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

}  // namespace

TConsoleLoop::TConsoleLoop() {
  FWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FWakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TConsoleLoop::~TConsoleLoop() {
  if (FCatchingSignals) {
    ::sigaction(SIGINT, &gPreviousInt, nullptr);
    ::sigaction(SIGTERM, &gPreviousTerm, nullptr);
    ::close(gSignalPipe[0]);
    ::close(gSignalPipe[1]);
    gSignalPipe[0] = gSignalPipe[1] = -1;
  }
  ::close(FWakeFd);
}

void TConsoleLoop::WatchInput(int aFd, std::function<void(const std::string&)> aOnLine,
                              std::function<void()> aOnEnd) {
  FInputFd = aFd;
  FOnLine = std::move(aOnLine);
  FOnEnd = std::move(aOnEnd);
}

void TConsoleLoop::CatchSignals(std::function<void(int)> aOnSignal) {
  FOnSignal = std::move(aOnSignal);
  if (FCatchingSignals) return;
  if (gSignalPipe[0] >= 0) throw std::logic_error("Another loop catches the signals");
  if (::pipe2(gSignalPipe, O_NONBLOCK | O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  struct sigaction action {};
  action.sa_handler = OnConsoleSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &gPreviousInt);
  ::sigaction(SIGTERM, &action, &gPreviousTerm);
  FCatchingSignals = true;
}

void TConsoleLoop::Notify() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(FWakeFd, &one, sizeof one);
}

void TConsoleLoop::ProcessMessages() {
  PollSources(0);
  TQueuedUiLoop::ProcessMessages();
}

void TConsoleLoop::Idle(std::chrono::milliseconds aMax) {
  std::chrono::nanoseconds wait = aMax;
  if (HasQueued() || TakeWoken()) wait = {};
  if (const auto due = NextDue()) wait = std::min<std::chrono::nanoseconds>(wait, *due - Now());
  PollSources(CeilMs(wait));
}

void TConsoleLoop::PollSources(int aTimeoutMs) {
  pollfd fds[3];
  nfds_t count = 0;
  fds[count++] = {FWakeFd, POLLIN, 0};
  const nfds_t signalAt = FCatchingSignals ? count : ~nfds_t{0};
  if (FCatchingSignals) fds[count++] = {gSignalPipe[0], POLLIN, 0};
  const nfds_t inputAt = FInputFd >= 0 ? count : ~nfds_t{0};
  if (FInputFd >= 0) fds[count++] = {FInputFd, POLLIN, 0};

  int ready;
  do ready = ::poll(fds, count, aTimeoutMs);
  while (ready < 0 && errno == EINTR && aTimeoutMs == 0);
  if (ready <= 0) return;

  if (fds[0].revents & POLLIN) {
    uint64_t value;
    [[maybe_unused]] const ssize_t n = ::read(FWakeFd, &value, sizeof value);
  }
  if (signalAt < count && (fds[signalAt].revents & POLLIN)) ReadSignals();
  if (inputAt < count && fds[inputAt].revents) ReadInput();
}

void TConsoleLoop::ReadSignals() {
  unsigned char numbers[16];
  ssize_t n;
  while ((n = ::read(gSignalPipe[0], numbers, sizeof numbers)) > 0)
    for (ssize_t i = 0; i < n; ++i) {
      const int signal = numbers[i];
      Post([this, signal] {
        if (FOnSignal) FOnSignal(signal);
      });
    }
}

void TConsoleLoop::ReadInput() {
  // poll said the descriptor is readable (or hung up), so this read does not block.
  char buffer[4096];
  const ssize_t n = ::read(FInputFd, buffer, sizeof buffer);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    EndInput();
    return;
  }
  if (n == 0) {
    EndInput();
    return;
  }
  FInputBuffer.append(buffer, static_cast<size_t>(n));
  size_t start = 0;
  for (size_t end; (end = FInputBuffer.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = FInputBuffer.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Post([this, line = std::move(line)] {
      if (FOnLine) FOnLine(line);
    });
  }
  FInputBuffer.erase(0, start);
}

void TConsoleLoop::EndInput() {
  if (!FInputBuffer.empty()) {
    Post([this, line = std::move(FInputBuffer)] {
      if (FOnLine) FOnLine(line);
    });
    FInputBuffer.clear();
  }
  FInputFd = -1;
  Post([this] {
    if (FOnEnd) FOnEnd();
  });
}
