// The serial device on a POSIX tty: raw termios, an exclusive hold, and waits that a stop signal
// or Close interrupts at once.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <system_error>

#include "serial/PosixBaudRate.h"
#include "serial/PosixTermios.h"
#include "serial/SerialDevice.h"

namespace {

using namespace std::chrono_literals;

// How long a stalled output queue may stay unchanged before a drain gives up waiting on it.
constexpr auto kDrainStallLimit = 1000ms;
constexpr int kDrainSliceMs = 10;
// Stop signals of another layer cannot be polled: they are checked this often instead.
constexpr int kForeignStopSliceMs = 20;

class TPosixStopSignal final : public TDeviceStopSignal {
 public:
  TPosixStopSignal() : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (FFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  }
  ~TPosixStopSignal() override { ::close(FFd); }
  TPosixStopSignal(const TPosixStopSignal&) = delete;
  TPosixStopSignal& operator=(const TPosixStopSignal&) = delete;

  void Set() override {
    const uint64_t one = 1;
    while (::write(FFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  void Reset() override {
    uint64_t value = 0;
    while (::read(FFd, &value, sizeof value) > 0) {
    }
  }
  bool IsSet() const override {
    pollfd p{FFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
  }
  int Fd() const { return FFd; }

 private:
  int FFd;
};

enum class TWake { Ready, Stopped, Failed };

// Waits until aFd shows aEvents (or a hang-up), aStop is set or aCloseFd fires. aTimeoutMs < 0
// waits without limit; a time-out returns Ready with aRevents 0.
TWake WaitOn(int aFd, short aEvents, const TDeviceStopSignal* aStop, int aCloseFd, int aTimeoutMs, short& aRevents,
             int& aError) {
  const auto* posixStop = dynamic_cast<const TPosixStopSignal*>(aStop);
  const bool foreignStop = aStop && !posixStop;
  for (;;) {
    if (aStop && aStop->IsSet()) return TWake::Stopped;
    pollfd fds[3] = {{aFd, aEvents, 0}, {aCloseFd, POLLIN, 0}, {posixStop ? posixStop->Fd() : -1, POLLIN, 0}};
    int timeout = aTimeoutMs;
    if (foreignStop && (timeout < 0 || timeout > kForeignStopSliceMs)) timeout = kForeignStopSliceMs;
    const int n = ::poll(fds, 3, timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      aError = errno;
      return TWake::Failed;
    }
    if ((fds[1].revents | fds[2].revents) & POLLIN) return TWake::Stopped;
    aRevents = fds[0].revents;
    if (aRevents & POLLNVAL) {
      aError = EBADF;
      return TWake::Failed;
    }
    if (aRevents || n == 0) {
      if (n == 0 && timeout != aTimeoutMs) continue;  // only a foreign-stop slice ran out
      return TWake::Ready;
    }
  }
}

class TPosixSerialDevice final : public TSerialDevice {
 public:
  TPosixSerialDevice() : FCloseFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), FCloseFdError(FCloseFd < 0 ? errno : 0) {}
  TPosixSerialDevice(const TPosixSerialDevice&) = delete;
  TPosixSerialDevice& operator=(const TPosixSerialDevice&) = delete;
  ~TPosixSerialDevice() override {
    Close();
    if (FCloseFd >= 0) ::close(FCloseFd);
  }

  int Open(const std::string& aPath) override {
    std::unique_lock lock(FLock);
    if (FFd >= 0) return EBUSY;
    if (FCloseFd < 0) return FCloseFdError;
    // A Close before this open left the signal set.
    uint64_t value = 0;
    while (::read(FCloseFd, &value, sizeof value) > 0) {
    }
    const int fd = ::open(aPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    // TIOCEXCL does not stop root; the lock stops every second opener that plays by the rules.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno == EWOULDBLOCK ? EBUSY : errno;
      ::close(fd);
      return error;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) return Abandon(fd, errno, false);
    // A tty's line discipline echoes, translates CR/LF and eats XON/XOFF; binary frames need
    // none of that.
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return Abandon(fd, errno, true);
    MakeRawLine(t);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return Abandon(fd, errno, true);
    FFd = fd;
    std::lock_guard dcbLock(FDcbLock);
    FLastDcb = {};
    return 0;
  }

  bool IsOpen() const override {
    std::shared_lock lock(FLock);
    return FFd >= 0;
  }

  void Close() override {
    FClosing = true;
    if (FCloseFd >= 0) {
      const uint64_t one = 1;
      while (::write(FCloseFd, &one, sizeof one) < 0 && errno == EINTR) {
      }
    }
    std::unique_lock lock(FLock);
    if (FFd >= 0) {
      // On a pty the exclusive flag outlives the descriptor and would refuse the next opener.
      ::ioctl(FFd, TIOCNXCL);
      ::flock(FFd, LOCK_UN);
      ::close(FFd);
      FFd = -1;
    }
    FClosing = false;
  }

  intptr_t NativeHandle() const override {
    std::shared_lock lock(FLock);
    return FFd;
  }

  int GetState(TDeviceControlBlock& aDcb) override {
    return WithFd([&](int fd) {
      termios t{};
      if (::tcgetattr(fd, &t) != 0) return errno;
      TDeviceControlBlock dcb;
      {
        // What termios cannot hold comes from the block last set.
        std::lock_guard dcbLock(FDcbLock);
        dcb = FLastDcb;
      }
      dcb.DCBlength = sizeof(TDeviceControlBlock);
      if (!TermiosToDcb(t, dcb))
        if (const int error = GetCustomBaudRate(fd, dcb.BaudRate)) return error;
      aDcb = dcb;
      return 0;
    });
  }

  int SetState(const TDeviceControlBlock& aDcb) override {
    return WithFd([&](int fd) {
      termios t{};
      if (::tcgetattr(fd, &t) != 0) return errno;
      bool customRate = false;
      if (const int error = DcbToTermios(aDcb, t, &customRate)) return error;
      if (::tcsetattr(fd, TCSANOW, &t) != 0) return errno;
      if (customRate)
        if (const int error = SetCustomBaudRate(fd, aDcb.BaudRate)) return error;
      std::lock_guard dcbLock(FDcbLock);
      FLastDcb = aDcb;
      return 0;
    });
  }

  int EscapeFunction(uint32_t aCommand) override {
    int request = 0, bits = 0;
    switch (aCommand) {
      case kSetRts: request = TIOCMBIS, bits = TIOCM_RTS; break;
      case kClrRts: request = TIOCMBIC, bits = TIOCM_RTS; break;
      case kSetDtr: request = TIOCMBIS, bits = TIOCM_DTR; break;
      case kClrDtr: request = TIOCMBIC, bits = TIOCM_DTR; break;
      default: return EINVAL;
    }
    return WithFd([&](int fd) { return ::ioctl(fd, request, &bits) == 0 ? 0 : errno; });
  }

  int Purge(uint32_t aFlags) override {
    return WithFd([&](int fd) {
      const bool rx = aFlags & (kPurgeRxAbort | kPurgeRxClear);
      // An empty output queue has nothing to discard, and flushing it anyway would reach bytes a
      // completed write has already handed on (a pty drops them from its peer's buffer).
      int outQueued = 0;
      const bool tx = (aFlags & (kPurgeTxAbort | kPurgeTxClear)) && ::ioctl(fd, TIOCOUTQ, &outQueued) == 0 && outQueued > 0;
      if (!rx && !tx) return 0;
      if (::tcflush(fd, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0) return 0;
      const int error = errno;
      // A line whose far end is gone has no queue left to clear; its loss is reported by the
      // status query, not here.
      return HungUp(fd) ? 0 : error;
    });
  }

  int Flush() override {
    return WithFd([&](int fd) { return DrainOutput(fd, nullptr); });
  }

  int SetWaitMask(uint32_t aMask) override {
    return WithFd([&](int) {
      FWaitMask = aMask;
      return 0;
    });
  }

  std::unique_ptr<TDeviceStopSignal> CreateStopSignal() override { return std::make_unique<TPosixStopSignal>(); }

  TDeviceWaitResult WaitEvent(const TDeviceStopSignal& aStop, int& aError) override {
    aError = 0;
    if (FClosing) return TDeviceWaitResult::Stopped;
    std::shared_lock lock(FLock);
    if (FFd < 0) return TDeviceWaitResult::Stopped;
    // Only the arrival of a character can be waited for without reading: a wait for the event
    // character wakes on any character, and its handler finds out what came.
    if (!(FWaitMask & (kEvRxChar | kEvRxFlag))) {
      aError = EINVAL;
      return TDeviceWaitResult::Failed;
    }
    short revents = 0;
    switch (WaitOn(FFd, POLLIN, &aStop, FCloseFd, -1, revents, aError)) {
      case TWake::Ready: return TDeviceWaitResult::Event;
      case TWake::Stopped: return TDeviceWaitResult::Stopped;
      case TWake::Failed: break;
    }
    return TDeviceWaitResult::Failed;
  }

  int QueuedBytes(uint32_t& aCount) override {
    return WithFd([&](int fd) {
      int count = 0;
      if (::ioctl(fd, FIONREAD, &count) != 0) return errno;
      if (count <= 0 && HungUp(fd)) return EIO;
      aCount = count > 0 ? static_cast<uint32_t>(count) : 0;
      return 0;
    });
  }

  int Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop) override {
    aRead = 0;
    return WithFd([&](int fd) {
      auto* bytes = static_cast<unsigned char*>(aData);
      while (aRead < aSize) {
        const ssize_t n = ::read(fd, bytes + aRead, aSize - aRead);
        if (n > 0) {
          aRead += static_cast<uint32_t>(n);
          continue;
        }
        if (n == 0) return aRead ? 0 : EIO;  // a hung-up tty reads as end of file
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return aRead ? 0 : errno;
        if (aRead) return 0;  // everything queued has been taken
        short revents = 0;
        int error = 0;
        switch (WaitOn(fd, POLLIN, aStop, FCloseFd, -1, revents, error)) {
          case TWake::Ready: break;
          case TWake::Stopped: return ECANCELED;
          case TWake::Failed: return error;
        }
      }
      return 0;
    });
  }

  int Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal* aStop) override {
    aWritten = 0;
    return WithFd([&](int fd) {
      const auto* bytes = static_cast<const unsigned char*>(aData);
      while (aWritten < aSize) {
        const ssize_t n = ::write(fd, bytes + aWritten, aSize - aWritten);
        if (n > 0) {
          aWritten += static_cast<uint32_t>(n);
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return errno;
        short revents = 0;
        int error = 0;
        switch (WaitOn(fd, POLLOUT, aStop, FCloseFd, -1, revents, error)) {
          case TWake::Ready: break;
          case TWake::Stopped: return ECANCELED;
          case TWake::Failed: return error;
        }
      }
      // A completed write means the bytes left the port, so that a purge right after it (as
      // after every threaded write) cannot discard them.
      return DrainOutput(fd, aStop);
    });
  }

 private:
  // Runs aOperation on the open descriptor under the shared lock; Close waits for it.
  template <class F>
  int WithFd(F&& aOperation) const {
    if (FClosing) return EBADF;
    std::shared_lock lock(FLock);
    if (FFd < 0) return EBADF;
    return aOperation(FFd);
  }

  int Abandon(int aFd, int aError, bool aExclusive) {
    if (aExclusive) ::ioctl(aFd, TIOCNXCL);
    ::flock(aFd, LOCK_UN);
    ::close(aFd);
    return aError;
  }

  static bool HungUp(int aFd) {
    pollfd p{aFd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
  }

  // Waits until the output queue is empty. A line held back by flow control would keep it full
  // for ever, so the wait ends once the queue has not moved for a while.
  int DrainOutput(int aFd, const TDeviceStopSignal* aStop) const {
    int last = -1;
    auto lastMove = std::chrono::steady_clock::now();
    for (;;) {
      int queued = 0;
      if (::ioctl(aFd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
      const auto now = std::chrono::steady_clock::now();
      if (queued != last) {
        last = queued;
        lastMove = now;
      } else if (now - lastMove >= kDrainStallLimit) {
        return 0;
      }
      short revents = 0;
      int error = 0;
      if (WaitOn(-1, 0, aStop, FCloseFd, kDrainSliceMs, revents, error) == TWake::Stopped) return ECANCELED;
    }
  }

  // Operations hold it shared; Close takes it exclusively to release the descriptor.
  mutable std::shared_mutex FLock;
  int FFd = -1;
  // Set by Close before it waits for the lock, so that every wait in progress returns at once.
  const int FCloseFd;
  const int FCloseFdError;
  std::atomic<bool> FClosing{false};
  std::atomic<uint32_t> FWaitMask{0};
  std::mutex FDcbLock;
  TDeviceControlBlock FLastDcb{};
};

}  // namespace

std::unique_ptr<TSerialDevice> CreatePosixSerialDevice() { return std::make_unique<TPosixSerialDevice>(); }
