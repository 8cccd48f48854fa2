// The ping tool: a thread that sends an ICMP echo to the link's far end about once a second and
// posts one line per echo to the window, stopping at the first echo without a reply.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/MessageTarget.h"

// One echo's outcome. On failure Error is the system error number (ETIMEDOUT for a lost reply).
struct TEchoReply {
  bool Ok = false;
  uint32_t RoundTripTime = 0;  // milliseconds
  uint16_t DataSize = 0;
  uint8_t Ttl = 0;
  int Error = 0;
};

// What a packet read from the echo socket says about our request: its echoed data size and,
// when the packet begins with the IP header (a raw socket), the TTL of that header (-1 without
// one). None when it is not the reply to the request with aSequence (and, raw, aIdent).
struct TEchoReplyInfo {
  uint16_t DataSize = 0;
  int Ttl = -1;
};
std::optional<TEchoReplyInfo> ParseEchoReply(const uint8_t* aPacket, size_t aSize, bool aRaw, uint16_t aSequence,
                                             uint16_t aIdent);

// Sends echo requests; the ping thread owns one for its whole run.
class TIcmpEcho {
 public:
  virtual ~TIcmpEcho() = default;
  // 0, or the system error number when no socket could be opened.
  virtual int Open() = 0;
  // aAddress is in network byte order.
  virtual TEchoReply SendEcho(uint32_t aAddress, const void* aData, uint16_t aSize, std::chrono::milliseconds aTimeout) = 0;
};

// ICMP over a ping socket (SOCK_DGRAM, IPPROTO_ICMP), or a raw socket when the ping socket is
// refused (net.ipv4.ping_group_range) and the process may open raw sockets.
class TIcmpSocketEcho final : public TIcmpEcho {
 public:
  TIcmpSocketEcho() = default;
  ~TIcmpSocketEcho() override;
  TIcmpSocketEcho(const TIcmpSocketEcho&) = delete;
  TIcmpSocketEcho& operator=(const TIcmpSocketEcho&) = delete;

  int Open() override;
  TEchoReply SendEcho(uint32_t aAddress, const void* aData, uint16_t aSize, std::chrono::milliseconds aTimeout) override;
  bool Raw() const { return FRaw; }

 private:
  int FSocket = -1;
  bool FRaw = false;
  uint16_t FIdent = 0;
  uint16_t FSequence = 0;
};

// The lines the thread posts.
inline constexpr char kPingAllocFailed[] = "*** Eror: failed to allocate memory in \"HeapAlloc\" function.";

// LParam of WM_PING_REPLY: a reply's round-trip time in milliseconds, or one of these.
inline constexpr intptr_t kPingEchoLost = -1;   // an echo sent without a reply
inline constexpr intptr_t kPingEchoNotSent = -2;  // no echo could be sent at all

// Posts WM_PING_REPLY to aTarget with the line as the message's Text (WParam: the size in bytes
// of the line as a zero-terminated 16-bit text; LParam: see above). The thread starts at construction; the
// destructor stops and joins it. aTermEvent runs on the ping thread once the last line has been
// posted (the window posts itself a notice from it); Finished is true from then on.
class TPingThread {
 public:
  static constexpr uint16_t kEchoDataSize = 32;
  static constexpr std::chrono::milliseconds kReplyTimeout{1000};
  static constexpr std::chrono::milliseconds kPause{1000};

  TPingThread(TMessageTarget& aFormHandle, const std::string& aIPAddress, std::function<void()> aTermEvent,
              std::unique_ptr<TIcmpEcho> aEcho = nullptr);
  ~TPingThread();
  TPingThread(const TPingThread&) = delete;
  TPingThread& operator=(const TPingThread&) = delete;

  // From any thread: the thread ends after its current echo.
  void Stop();
  bool Finished() const { return FFinished.load(); }

 private:
  void Execute(std::stop_token aStop);
  void PostLine(const std::string& aLine, intptr_t aOutcome);

  TMessageTarget& hFormHandle;
  const std::string sIPAddress;
  std::function<void()> FTermEvent;
  std::unique_ptr<TIcmpEcho> FEcho;
  std::mutex FLock;
  std::condition_variable_any FWake;
  bool hBreakEvent = false;
  std::atomic<bool> FFinished{false};
  std::jthread FThread;  // last
};
