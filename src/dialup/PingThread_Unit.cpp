// The ping thread and its ICMP echo over ping or raw sockets.
#include "dialup/PingThread_Unit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "common/SystemError.h"
#include "common/WindowMessages.h"

namespace {

uint16_t InternetChecksum(const uint8_t* aData, size_t aSize) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < aSize; i += 2) sum += static_cast<uint32_t>(aData[i] << 8 | aData[i + 1]);
  if (aSize % 2) sum += static_cast<uint32_t>(aData[aSize - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::optional<TEchoReplyInfo> ParseEchoReply(const uint8_t* aPacket, size_t aSize, bool aRaw, uint16_t aSequence,
                                             uint16_t aIdent) {
  const uint8_t* icmp = aPacket;
  size_t icmpSize = aSize;
  TEchoReplyInfo info;
  if (aRaw) {
    if (icmpSize < 20) return std::nullopt;
    const size_t headerSize = static_cast<size_t>(aPacket[0] & 0x0F) * 4;
    if (headerSize < 20 || icmpSize < headerSize) return std::nullopt;
    info.Ttl = aPacket[8];
    icmp += headerSize;
    icmpSize -= headerSize;
  }
  if (icmpSize < 8) return std::nullopt;
  if (icmp[0] != ICMP_ECHOREPLY || Get16(icmp + 6) != aSequence) return std::nullopt;
  if (aRaw && Get16(icmp + 4) != aIdent) return std::nullopt;
  info.DataSize = static_cast<uint16_t>(icmpSize - 8);
  return info;
}

// --- echo over sockets ------------------------------------------------------------------------

TIcmpSocketEcho::~TIcmpSocketEcho() {
  if (FSocket >= 0) ::close(FSocket);
}

int TIcmpSocketEcho::Open() {
  FSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (FSocket < 0) {
    const int pingError = errno;
    FSocket = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    // The ping socket's refusal is the one the user can act on (the group range).
    if (FSocket < 0) return pingError;
    FRaw = true;
  }
  const int on = 1;
  ::setsockopt(FSocket, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
  // A raw socket sees every echo reply of the host; the identifier picks out ours. A ping
  // socket's identifier is set by the kernel.
  FIdent = static_cast<uint16_t>(std::random_device{}());
  return 0;
}

TEchoReply TIcmpSocketEcho::SendEcho(uint32_t aAddress, const void* aData, uint16_t aSize,
                                     std::chrono::milliseconds aTimeout) {
  TEchoReply reply;
  if (FSocket < 0) {
    reply.Error = EBADF;
    return reply;
  }
  const uint16_t sequence = ++FSequence;
  std::vector<uint8_t> request(8 + aSize, 0);
  request[0] = ICMP_ECHO;
  request[4] = static_cast<uint8_t>(FIdent >> 8);
  request[5] = static_cast<uint8_t>(FIdent);
  request[6] = static_cast<uint8_t>(sequence >> 8);
  request[7] = static_cast<uint8_t>(sequence);
  if (aSize) std::memcpy(request.data() + 8, aData, aSize);
  const uint16_t checksum = InternetChecksum(request.data(), request.size());
  request[2] = static_cast<uint8_t>(checksum >> 8);
  request[3] = static_cast<uint8_t>(checksum);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = aAddress;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + aTimeout;
  if (::sendto(FSocket, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    reply.Error = errno;
    return reply;
  }

  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      reply.Error = ETIMEDOUT;
      return reply;
    }
    pollfd pfd{FSocket, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      reply.Error = errno;
      return reply;
    }
    if (ready == 0) continue;

    uint8_t buffer[1500];
    alignas(cmsghdr) uint8_t control[128];
    sockaddr_in from{};
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(FSocket, &msg, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      reply.Error = errno;  // an ICMP error reported on a ping socket, for example
      return reply;
    }
    const auto received = std::chrono::steady_clock::now();
    if (from.sin_addr.s_addr != aAddress) continue;
    const std::optional<TEchoReplyInfo> info = ParseEchoReply(buffer, static_cast<size_t>(n), FRaw, sequence, FIdent);
    if (!info) continue;
    int ttl = info->Ttl;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
        std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      }
    }
    reply.Ok = true;
    reply.RoundTripTime =
        static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(received - start).count());
    reply.DataSize = info->DataSize;
    reply.Ttl = static_cast<uint8_t>(ttl < 0 ? 0 : ttl);
    return reply;
  }
}

// --- ping thread ------------------------------------------------------------------------------

TPingThread::TPingThread(TMessageTarget& aFormHandle, const std::string& aIPAddress, std::function<void()> aTermEvent,
                         std::unique_ptr<TIcmpEcho> aEcho)
    : hFormHandle(aFormHandle),
      sIPAddress(aIPAddress.substr(0, aIPAddress.find('\0'))),
      FTermEvent(std::move(aTermEvent)),
      FEcho(aEcho ? std::move(aEcho) : std::make_unique<TIcmpSocketEcho>()),
      FThread([this](std::stop_token aStop) { Execute(aStop); }) {}

TPingThread::~TPingThread() {
  FThread.request_stop();
  if (FThread.joinable()) FThread.join();
}

void TPingThread::Stop() {
  {
    std::lock_guard lock(FLock);
    hBreakEvent = true;
  }
  FWake.notify_all();
}

void TPingThread::PostLine(const std::string& aLine, intptr_t aOutcome) {
  TWindowMessage message;
  message.Msg = WM_PING_REPLY;
  message.WParam = 2 * aLine.size() + 2;
  message.LParam = aOutcome;
  message.Text = aLine;
  hFormHandle.PostMessage(std::move(message));
}

void TPingThread::Execute(std::stop_token aStop) {
  // The break event is not reset here: a Stop that came before the thread ran must still end it.
  auto finish = [this] {
    FFinished.store(true);
    if (FTermEvent) FTermEvent();
  };
  const int openError = FEcho->Open();
  if (openError != 0) {
    PostLine("*** Eror:" + std::to_string(openError) + " - " + SysErrorMessage(openError), kPingEchoNotSent);
    finish();
    return;
  }
  std::vector<uint8_t> requestData;
  try {
    requestData.assign(kEchoDataSize, 0);
  } catch (const std::bad_alloc&) {
    PostLine(kPingAllocFailed, kPingEchoNotSent);
    finish();
    return;
  }
  in_addr address{};
  const bool valid = ::inet_pton(AF_INET, sIPAddress.c_str(), &address) == 1;

  while (!aStop.stop_requested()) {
    TEchoReply reply;
    if (valid)
      reply = FEcho->SendEcho(address.s_addr, requestData.data(), kEchoDataSize, kReplyTimeout);
    else
      reply.Error = EDESTADDRREQ;  // an empty or malformed address: the first echo fails
    if (reply.Ok) {
      const std::string time = reply.RoundTripTime == 0 ? "<1" : std::to_string(reply.RoundTripTime);
      char line[160];
      std::snprintf(line, sizeof line, "Reply from %s: bytes=%d time=%sms TTL=%d", sIPAddress.c_str(),
                    static_cast<int>(reply.DataSize), time.c_str(), static_cast<int>(reply.Ttl));
      PostLine(line, static_cast<intptr_t>(reply.RoundTripTime));
    } else {
      PostLine("*** ping error: " + std::to_string(reply.Error) + " - " + SysErrorMessage(reply.Error),
               valid ? kPingEchoLost : kPingEchoNotSent);
    }
    bool broken;
    {
      std::unique_lock lock(FLock);
      broken = FWake.wait_for(lock, aStop, kPause, [this] { return hBreakEvent; });
      hBreakEvent = false;
    }
    if (broken || aStop.stop_requested() || !reply.Ok) break;
  }
  finish();
}
