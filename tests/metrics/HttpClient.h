// A raw HTTP/1.1 client for the tests and the bench: one request on its own connection, and
// sockets left half-open or fed slowly on purpose.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

namespace http_test {

// A connected socket to 127.0.0.1:aPort, or -1.
inline int Connect(uint16_t aPort) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(aPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool SendAll(int aFd, const std::string& aText) {
  size_t sent = 0;
  while (sent < aText.size()) {
    const ssize_t n = ::send(aFd, aText.data() + sent, aText.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Everything the server sends until it closes, or none when aLimit passes first.
inline std::optional<std::string> ReadToEnd(int aFd, std::chrono::milliseconds aLimit) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  std::string text;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{aFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[8192];
    const ssize_t n = ::recv(aFd, buffer, sizeof buffer, 0);
    if (n < 0) return text.empty() ? std::nullopt : std::optional<std::string>(text);
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

struct TReply {
  int Status = 0;
  std::string Head;
  std::string Body;
};

// One request ("Connection: close"), the reply parsed; none on no answer within aLimit.
inline std::optional<TReply> Request(uint16_t aPort, const std::string& aMethod, const std::string& aPath,
                                     std::chrono::milliseconds aLimit = std::chrono::seconds(10),
                                     const std::string& aExtraHeaders = {}) {
  const int fd = Connect(aPort);
  if (fd < 0) return std::nullopt;
  const std::string request = aMethod + " " + aPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                              aExtraHeaders + "\r\n";
  std::optional<std::string> answer;
  if (SendAll(fd, request)) answer = ReadToEnd(fd, aLimit);
  ::close(fd);
  if (!answer || answer->size() < 12 || answer->rfind("HTTP/1.", 0) != 0) return std::nullopt;
  TReply reply;
  reply.Status = std::stoi(answer->substr(9, 3));
  const size_t end = answer->find("\r\n\r\n");
  reply.Head = answer->substr(0, end);
  if (end != std::string::npos) reply.Body = answer->substr(end + 4);
  return reply;
}

}  // namespace http_test
