// Fuzz target: a packet read from the ping's socket, as a ping socket (ICMP only) or a raw
// socket (IP header first) delivers it, through the echo reply check.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzSupport.h"
#include "dialup/PingThread_Unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize < 1) return 0;
  const bool raw = aData[0] & 1;
  const auto sequence = static_cast<uint16_t>(aData[0] >> 1);
  const uint16_t ident = 0x4D2;
  // The packet in a block of its own size, so that any read past it is caught.
  const std::vector<uint8_t> packet(aData + 1, aData + aSize);
  const std::optional<TEchoReplyInfo> info = ParseEchoReply(packet.data(), packet.size(), raw, sequence, ident);
  if (!info) return 0;

  size_t header = 0;
  if (raw) {
    header = static_cast<size_t>(packet[0] & 0x0F) * 4;
    FUZZ_CHECK(header >= 20 && info->Ttl == packet[8]);
  } else {
    FUZZ_CHECK(info->Ttl == -1);
  }
  FUZZ_CHECK(packet.size() >= header + 8);
  FUZZ_CHECK(info->DataSize == static_cast<uint16_t>(packet.size() - header - 8));
  const uint8_t* icmp = packet.data() + header;
  FUZZ_CHECK(icmp[0] == 0 && (icmp[6] << 8 | icmp[7]) == sequence);
  if (raw) FUZZ_CHECK((icmp[4] << 8 | icmp[5]) == ident);
  return 0;
}
