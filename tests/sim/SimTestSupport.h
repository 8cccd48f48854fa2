// Test side of the wire for the simulated modem: a small de-framer of its own, the monitor's
// commands, field readers, and a slave port that reads frames with time-outs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/ByteString.h"
#include "common/Crc16.h"

namespace simtest {

using namespace std::chrono_literals;

struct TFrame {
  TByteString Content;  // without CRC
  bool CrcOk = false;
  bool IsLog() const { return CrcOk && Content.size() >= 8 && static_cast<uint8_t>(Content[0]) == 0x10; }
  uint16_t Code() const {
    return Content.size() >= 8 ? static_cast<uint16_t>(static_cast<uint8_t>(Content[6]) | static_cast<uint8_t>(Content[7]) << 8) : 0;
  }
  uint8_t First() const { return Content.empty() ? 0 : static_cast<uint8_t>(Content[0]); }
};

// Escaped content + CRC (low byte first) + flag, written out by hand.
inline TByteString Frame(TByteView aContent) {
  TByteString raw(aContent);
  const uint16_t crc = crc16x25::Compute(aContent.data(), aContent.size());
  raw.push_back(static_cast<char>(crc & 0xFF));
  raw.push_back(static_cast<char>(crc >> 8));
  TByteString out;
  for (char c : raw) {
    if (c == 0x7E) out += "\x7D\x5E";
    else if (c == 0x7D) out += "\x7D\x5D";
    else out.push_back(c);
  }
  out.push_back(0x7E);
  return out;
}

// Keeps bytes between reads; each flag ends one frame.
class TDeframer {
 public:
  void Feed(TByteView aBytes, std::deque<TFrame>& aOut) {
    for (char c : aBytes) {
      if (c != 0x7E) {
        FPending.push_back(c);
        continue;
      }
      if (FPending.empty()) continue;
      TByteString content;
      for (size_t i = 0; i < FPending.size(); ++i) {
        if (FPending[i] == 0x7D && i + 1 < FPending.size() && (FPending[i + 1] == 0x5E || FPending[i + 1] == 0x5D)) {
          content.push_back(static_cast<char>(FPending[i + 1] ^ 0x20));
          ++i;
        } else {
          content.push_back(FPending[i]);
        }
      }
      FPending.clear();
      TFrame f;
      f.CrcOk = content.size() >= 3 &&
                crc16x25::Update(crc16x25::kInit, content.data(), content.size()) == crc16x25::kGoodResidue;
      if (content.size() >= 2) content.resize(content.size() - 2);
      f.Content = std::move(content);
      aOut.push_back(std::move(f));
    }
  }

 private:
  TByteString FPending;
};

// The monitor's commands.
inline TByteString LogMaskCommand() {
  TByteString c = Bytes({0x73, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0xA3, 0x02, 0, 0});
  TByteString mask(675, '\0');
  for (uint16_t code : {0x1007, 0x102D, 0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x108C, 0x1192, 0x127E, 0x1281,
                        0x1298, 0x129C, 0x129F, 0x12A0, 0x12A1, 0x12A2}) {
    const unsigned n = code - 0x1000u;
    mask[n / 8] = static_cast<char>(mask[n / 8] | (1 << (n % 8)));
  }
  return c + mask;
}
inline TByteString OneXLogMaskCommand() {
  return Bytes({0x5D, 0xD8, 0x00, 0x03, 0x00, 0x08, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00});
}
inline TByteString LoggingOffCommand() { return Bytes({0x5D, 0xE8, 0x01}) + TByteString(61, '\0'); }
inline TByteString NvRequest(uint8_t aItem) { return Bytes({0x26, aItem}) + TByteString(63, '\0'); }

// Little-endian field reads that give zero past the end.
struct TReader {
  const TByteString& F;
  uint32_t U8(size_t o) const { return o < F.size() ? static_cast<uint8_t>(F[o]) : 0u; }
  uint32_t U16(size_t o) const { return U8(o) | U8(o + 1) << 8; }
  uint32_t U16BigEndian(size_t o) const { return U8(o) << 8 | U8(o + 1); }
  int32_t S16(size_t o) const { return static_cast<int16_t>(U16(o)); }
  uint32_t U32(size_t o) const { return U16(o) | U16(o + 2) << 16; }
};

// The reader's end of the simulated modem.
class TSlavePort {
 public:
  TSlavePort() = default;
  explicit TSlavePort(const std::string& aPath) { Open(aPath); }
  ~TSlavePort() { Close(); }
  TSlavePort(const TSlavePort&) = delete;
  TSlavePort& operator=(const TSlavePort&) = delete;

  bool Open(const std::string& aPath) {
    Close();
    FFd = ::open(aPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    FFrames.clear();
    FDeframer = TDeframer();
    return FFd >= 0;
  }
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }
  int Fd() const { return FFd; }

  bool Write(TByteView aBytes) {
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (done < aBytes.size() && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = ::write(FFd, aBytes.data() + done, aBytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      pollfd p{FFd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
    return done == aBytes.size();
  }
  bool Send(TByteView aContent) { return Write(Frame(aContent)); }

  // The next frame, or nothing when none came in time.
  std::optional<TFrame> Next(std::chrono::milliseconds aTimeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (FFrames.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return std::nullopt;
    }
    TFrame f = std::move(FFrames.front());
    FFrames.pop_front();
    return f;
  }

  // Skips frames until one with the given first byte and a good CRC; counts what it skipped.
  std::optional<TFrame> NextReply(uint8_t aFirst, std::chrono::milliseconds aTimeout = 10s, int* aLogsSkipped = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto f = Next(left);
      if (!f) return std::nullopt;
      if (f->CrcOk && f->First() == aFirst) return f;
      if (aLogsSkipped && f->IsLog()) ++*aLogsSkipped;
    }
  }

  // True once the other side has gone (hang-up or read error).
  bool WaitHangUp(std::chrono::milliseconds aTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) return true;
      char buffer[4096];
      const ssize_t n = ::read(FFd, buffer, sizeof buffer);
      if (n < 0 && errno == EIO) return true;
    }
    return false;
  }

 private:
  bool ReadSome(int aTimeoutMs) {
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, aTimeoutMs) <= 0) return false;
    char buffer[8192];
    const ssize_t n = ::read(FFd, buffer, sizeof buffer);
    if (n > 0) FDeframer.Feed(TByteView(buffer, static_cast<size_t>(n)), FFrames);
    return n > 0 || (n < 0 && errno == EAGAIN);
  }

  int FFd = -1;
  TDeframer FDeframer;
  std::deque<TFrame> FFrames;
};

}  // namespace simtest
