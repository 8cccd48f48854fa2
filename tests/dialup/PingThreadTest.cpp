// The ping thread: a real echo to the loopback address, and scripted echoes for the line formats
// and the endings.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <optional>
#include <regex>
#include <vector>

#include "common/Events.h"
#include "common/SystemError.h"
#include "common/WindowMessages.h"
#include "dialup/PingThread_Unit.h"

using namespace std::chrono_literals;

namespace {

// Answers each echo with the next scripted reply; the last one repeats.
class TScriptedEcho : public TIcmpEcho {
 public:
  TScriptedEcho(std::deque<TEchoReply> aReplies, int aOpenError = 0, uint32_t* aSeenAddress = nullptr)
      : FReplies(std::move(aReplies)), FOpenError(aOpenError), FSeenAddress(aSeenAddress) {}
  int Open() override { return FOpenError; }
  TEchoReply SendEcho(uint32_t aAddress, const void*, uint16_t aSize, std::chrono::milliseconds aTimeout) override {
    EXPECT_EQ(aSize, 32);
    EXPECT_EQ(aTimeout, 1000ms);
    if (FSeenAddress) *FSeenAddress = aAddress;
    TEchoReply r = FReplies.front();
    if (FReplies.size() > 1) FReplies.pop_front();
    return r;
  }

 private:
  std::deque<TEchoReply> FReplies;
  int FOpenError;
  uint32_t* FSeenAddress;
};

TEchoReply Reply(uint32_t aTime, uint16_t aSize = 32, uint8_t aTtl = 64) { return TEchoReply{true, aTime, aSize, aTtl, 0}; }
TEchoReply Lost(int aError = ETIMEDOUT) { return TEchoReply{false, 0, 0, 0, aError}; }

// Runs a ping until its thread ends by itself and returns the lines it posted.
std::vector<std::string> PingUntilDone(const std::string& aAddress, std::unique_ptr<TIcmpEcho> aEcho) {
  TMessageQueue window;
  TManualResetEvent done;
  TPingThread ping(window, aAddress, [&] { done.Set(); }, std::move(aEcho));
  EXPECT_TRUE(done.WaitFor(30s));
  EXPECT_TRUE(ping.Finished());
  std::vector<std::string> lines;
  while (auto m = window.TryTake()) {
    EXPECT_EQ(m->Msg, WM_PING_REPLY);
    EXPECT_EQ(m->WParam, 2 * m->Text->size() + 2);
    lines.push_back(*m->Text);
  }
  return lines;
}

}  // namespace

TEST(PingThreadTest, EchoesTheLoopbackAddress) {
  TIcmpSocketEcho probe;
  if (const int error = probe.Open()) {
    GTEST_SKIP() << "neither a ping socket nor a raw socket can be opened: " << SysErrorMessage(error);
  }
  TMessageQueue window;
  TManualResetEvent done;
  TPingThread ping(window, "127.0.0.1", [&] { done.Set(); });
  auto first = window.WaitTake(30s);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->Msg, WM_PING_REPLY);
  EXPECT_TRUE(std::regex_match(*first->Text, std::regex(R"(Reply from 127\.0\.0\.1: bytes=32 time=(<1|[0-9]+)ms TTL=[0-9]+)")))
      << *first->Text;
  EXPECT_NE(*first->Text, "Reply from 127.0.0.1: bytes=32 time=<1ms TTL=0") << "the reply's TTL was not read";
  ping.Stop();
  ASSERT_TRUE(done.WaitFor(30s));
  EXPECT_TRUE(ping.Finished());
}

TEST(PingThreadTest, LinesShowTheRoundTripTimeAndTtlAndTheFirstLostReplyEndsThePing) {
  uint32_t seen = 0;
  const auto lines = PingUntilDone(
      "10.0.0.1", std::make_unique<TScriptedEcho>(std::deque<TEchoReply>{Reply(0), Reply(35), Lost(), Reply(1)}, 0, &seen));
  const std::vector<std::string> expected = {
      "Reply from 10.0.0.1: bytes=32 time=<1ms TTL=64",
      "Reply from 10.0.0.1: bytes=32 time=35ms TTL=64",
      "*** ping error: " + std::to_string(ETIMEDOUT) + " - " + SysErrorMessage(ETIMEDOUT),
  };
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(seen, inet_addr("10.0.0.1"));
}

TEST(PingThreadTest, FailuresAtTheStartEndThePingWithOneLine) {
  struct Case {
    std::string Address;
    int OpenError;
    std::string Expected;
  };
  const Case cases[] = {
      {"10.0.0.1", EACCES, "*** Eror:" + std::to_string(EACCES) + " - " + SysErrorMessage(EACCES)},
      {"", 0, "*** ping error: " + std::to_string(EDESTADDRREQ) + " - " + SysErrorMessage(EDESTADDRREQ)},
      {"10.0.0.300", 0, "*** ping error: " + std::to_string(EDESTADDRREQ) + " - " + SysErrorMessage(EDESTADDRREQ)},
  };
  for (const auto& c : cases) {
    const auto lines = PingUntilDone(c.Address, std::make_unique<TScriptedEcho>(std::deque<TEchoReply>{Reply(5)}, c.OpenError));
    EXPECT_EQ(lines, std::vector<std::string>{c.Expected}) << "address '" << c.Address << "'";
  }
}

TEST(PingThreadTest, StopRightAfterTheStartIsNotLost) {
  TMessageQueue window;
  TManualResetEvent done;
  TPingThread ping(window, "10.0.0.1", [&] { done.Set(); },
                   std::make_unique<TScriptedEcho>(std::deque<TEchoReply>{Reply(5)}));
  ping.Stop();
  ASSERT_TRUE(done.WaitFor(30s));
  EXPECT_EQ(window.Size(), 1u) << "one echo, then the stop is seen";
}

TEST(PingThreadTest, OnlyTheReplyToOurEchoIsTaken) {
  // An ICMP message: type, code, checksum, identifier, sequence, then aData bytes.
  auto icmp = [](uint8_t aType, uint16_t aIdent, uint16_t aSequence, size_t aData) {
    std::vector<uint8_t> p = {aType, 0, 0x12, 0x34, static_cast<uint8_t>(aIdent >> 8), static_cast<uint8_t>(aIdent),
                              static_cast<uint8_t>(aSequence >> 8), static_cast<uint8_t>(aSequence)};
    p.resize(8 + aData, 0xAA);
    return p;
  };
  // The same behind an IP header of aWords 32-bit words with TTL 57, as a raw socket reads it.
  auto ip = [](uint8_t aWords, std::vector<uint8_t> aIcmp) {
    std::vector<uint8_t> p(4u * aWords, 0);
    p[0] = static_cast<uint8_t>(0x40 | aWords);
    p[8] = 57;
    p.insert(p.end(), aIcmp.begin(), aIcmp.end());
    return p;
  };
  struct Case {
    const char* What;
    std::vector<uint8_t> Packet;
    bool Raw;
    std::optional<uint16_t> DataSize;
    int Ttl;
  };
  const Case cases[] = {
      {"ping socket reply", icmp(0, 99, 7, 32), false, 32, -1},
      {"ping socket: the kernel's identifier", icmp(0, 1234, 7, 32), false, 32, -1},
      {"raw reply", ip(5, icmp(0, 99, 7, 32)), true, 32, 57},
      {"raw reply with IP options", ip(6, icmp(0, 99, 7, 0)), true, 0, 57},
      {"another process's echo", ip(5, icmp(0, 1234, 7, 32)), true, std::nullopt, 0},
      {"an earlier sequence", icmp(0, 99, 6, 32), false, std::nullopt, 0},
      {"not an echo reply", icmp(3, 99, 7, 28), false, std::nullopt, 0},
      {"ICMP header cut short", [&] { auto p = icmp(0, 99, 7, 0); p.resize(7); return p; }(), false, std::nullopt, 0},
      {"IP header cut short", std::vector<uint8_t>(19, 0x45), true, std::nullopt, 0},
      {"IP header length beyond the packet", [&] { auto p = ip(15, icmp(0, 99, 7, 0)); p.resize(40); return p; }(), true,
       std::nullopt, 0},
      {"IP header and nothing after it", ip(15, {}), true, std::nullopt, 0},
      {"IP header length below the minimum", [&] { auto p = ip(5, icmp(0, 99, 7, 32)); p[0] = 0x44; return p; }(), true,
       std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    // Each packet in a block of its own size, so that a read past it is caught.
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[c.Packet.size()]);
    std::copy(c.Packet.begin(), c.Packet.end(), exact.get());
    const std::optional<TEchoReplyInfo> info = ParseEchoReply(exact.get(), c.Packet.size(), c.Raw, 7, 99);
    ASSERT_EQ(info.has_value(), c.DataSize.has_value());
    if (!info) continue;
    EXPECT_EQ(info->DataSize, *c.DataSize);
    EXPECT_EQ(info->Ttl, c.Ttl);
  }
}
