// The modem's end of a pseudo-terminal for the session tests that run over a real port.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/ByteString.h"

// The modem's end of a pseudo-terminal; the session opens the other end as its port.
class PtyModem {
 public:
  PtyModem() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0) throw std::runtime_error("no pty");
    FPath = ptsname(FMaster);
  }
  ~PtyModem() { CloseMaster(); }
  const std::string& Path() const { return FPath; }
  void CloseMaster() {
    if (FMaster >= 0) close(FMaster);
    FMaster = -1;
  }
  void Write(TByteView aBytes) {
    while (!aBytes.empty()) {
      const ssize_t n = write(FMaster, aBytes.data(), aBytes.size());
      if (n <= 0) throw std::runtime_error("pty write failed");
      aBytes.remove_prefix(static_cast<size_t>(n));
    }
  }
  // Whatever the session wrote, waiting up to aTimeout for the first byte.
  TByteString Read(std::chrono::milliseconds aTimeout) {
    TByteString bytes;
    pollfd pfd{FMaster, POLLIN, 0};
    while (poll(&pfd, 1, bytes.empty() ? static_cast<int>(aTimeout.count()) : 50) > 0) {
      char buffer[4096];
      const ssize_t n = read(FMaster, buffer, sizeof buffer);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
  }

 private:
  int FMaster = -1;
  std::string FPath;
};
