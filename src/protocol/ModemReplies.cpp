// Replies to the identity requests, and the identity log.
#include <cstdio>

#include "common/WindowMessages.h"
#include "protocol/Modem_Unit.h"

namespace {

// Bytes the replies need: a shorter reply is dropped whole rather than half applied.
constexpr size_t kStatusReplyBytes = 14;
constexpr size_t kNvItem20ReplyBytes = 8;
constexpr size_t kNvItem21ReplyBytes = 6;
constexpr size_t kIdentityLogEsnOffset = 51;

std::string UpperHex(TByteView aBytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * aBytes.size());
  for (char c : aBytes) {
    const auto b = static_cast<uint8_t>(c);
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

// The LAC is stored 111 below its value; a four-digit "10xx" keeps its last three digits.
std::string LacText(uint16_t aStored) {
  std::string text = std::to_string(static_cast<uint16_t>(aStored + 111));
  if (text.size() == 4 && text.starts_with("10")) text.erase(0, 1);
  return text;
}

}  // namespace

bool TModem::ParseVersionReply(const TFrameReader&) { return true; }

bool TModem::ParseEsnReply(const TFrameReader& aFrame) {
  FESN = "0x" + UpperHex(aFrame.View());
  return true;
}

bool TModem::ParseStatusReply(const TFrameReader& aFrame) {
  if (aFrame.Size() < kStatusReplyBytes) return true;
  const uint16_t mode = aFrame.U16(8);
  FEvdoType = (mode == 2 || mode == 5) ? evtRevB : evtEv1X;
  char esn[9];
  std::snprintf(esn, sizeof esn, "%08X", static_cast<unsigned>(aFrame.U32(4)));
  FESN = esn;
  FMIN = DecodeMin1(aFrame.U32(10));
  PostToForm(WM_MODEM_IDENTITY);
  return true;
}

bool TModem::ParseNvItemReply(const TFrameReader& aFrame) {
  switch (aFrame.Size() < 2 ? -1 : aFrame.U8(1)) {
    case 0x20:
      if (aFrame.Size() < kNvItem20ReplyBytes) break;
      FDN = DecodeMin1(aFrame.U32(4));
      break;
    case 0x21:
      if (aFrame.Size() < kNvItem21ReplyBytes) break;
      FLAC = LacText(aFrame.U16(4));
      // Before the 0x20 reply the directory number is still " ", and goes in as such.
      FIMSI = "38360" + FLAC + FDN;
      PostToForm(WM_MODEM_IDENTITY);
      break;
    default:
      break;
  }
  return true;
}

bool TModem::ParseIdentityLog(const TFrameReader& aFrame) {
  FESN = UpperHex(aFrame.Bytes(kIdentityLogEsnOffset));
  PostToForm(WM_MODEM_IDENTITY);
  return true;
}
