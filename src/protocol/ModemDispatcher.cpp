// The dispatcher: each received frame to its reply handler or log parser, with the start-up
// packet count and the link type the log codes imply.
#include <array>

#include "protocol/Modem_Unit.h"

const TModem::TLogRoute* TModem::FindLogRoute(uint16_t aLogCode) {
  using TTable = std::array<TLogRoute, kLogCodeSlots>;
  static const TTable kTable = [] {
    TTable table{};
    auto route = [&](uint16_t code, bool counted, TEvdoType countedType, TFrameHandler parser) {
      table[code - kFirstLogCode] = {true, counted, countedType, evtNone, parser};
    };
    route(0x1007, true, evtEv1X, &TModem::ParsePagingChannelLog);
    route(0x102D, true, evtEv1X, &TModem::ParsePilotSetLog);
    route(0x1069, true, evtRevA, &TModem::ParseCarrierDataRevALog);
    route(0x106C, true, evtNone, &TModem::ParseAttemptCountersLog);
    route(0x107C, true, evtNone, &TModem::ParseAccessChannelLog);
    route(0x1080, true, evtNone, &TModem::ParseServingSectorLog);
    route(0x1088, false, evtNone, &TModem::ParseIdentityLog);
    route(0x108B, true, evtNone, &TModem::ParseNeighborDataLog);
    route(0x108C, true, evtRevA, &TModem::ParseArqDataALog);
    route(0x1192, true, evtRevA, &TModem::ParseEvdoAForwardLog);
    route(0x127E, true, evtRevA, &TModem::ParseEvdoAReverseLog);
    route(0x1298, true, evtRevB, &TModem::ParseArqDataBLog);
    route(0x129C, true, evtRevB, &TModem::ParseCarrierDataRevBLog);
    route(0x129F, true, evtRevB, &TModem::ParseMultiCarrierReverseLog);
    route(0x12A1, true, evtRevB, &TModem::ParseMultiCarrPilotSetsLog);
    route(0x12A2, true, evtRevB, &TModem::ParseMultiCarrierForwardLog);
    // Their arrival alone tells the link type; nothing is read from them.
    table[0x1281 - kFirstLogCode] = {true, false, evtNone, evtRevA, nullptr};
    table[0x12A0 - kFirstLogCode] = {true, false, evtNone, evtRevB, nullptr};
    return table;
  }();
  if (aLogCode < kFirstLogCode || aLogCode > kLastLogCode) return nullptr;
  const TLogRoute& route = kTable[aLogCode - kFirstLogCode];
  return route.Known ? &route : nullptr;
}

namespace {

struct TParsingFlag {
  std::atomic<bool>& Flag;
  explicit TParsingFlag(std::atomic<bool>& aFlag) : Flag(aFlag) { Flag = true; }
  ~TParsingFlag() { Flag = false; }
};

}  // namespace

bool TModem::HandlesLogCode(uint16_t aLogCode) { return FindLogRoute(aLogCode) != nullptr; }

void TModem::ParseFrames(const TFrameList& aFrames) {
  TParsingFlag parsing(FParsing);
  for (size_t i = 0; i < aFrames.Count(); ++i) DispatchFrame(aFrames[i]);
}

void TModem::ParseFrame(TByteView aFrame) {
  TParsingFlag parsing(FParsing);
  DispatchFrame(aFrame);
}

void TModem::DispatchFrame(TByteView aFrame) {
  if (aFrame.empty()) return;
  const TFrameReader frame(aFrame);
  std::lock_guard lock(FStateLock);
  ++FCommonPackets;
  ++FFramesReceived;
  switch (frame.U8(0)) {
    case 0x00:
      ParseVersionReply(frame);
      break;
    case 0x01:
      ParseEsnReply(frame);
      break;
    case 0x0C:
      ParseStatusReply(frame);
      break;
    case 0x26:
      ParseNvItemReply(frame);
      break;
    case 0x10: {
      // A 7-byte frame yields byte 6 alone, a shorter one 0: the reader's zero rule gives both.
      const uint16_t code = frame.U16(6);
      const TLogRoute* route = FindLogRoute(code);
      FLastLogPacket = std::chrono::steady_clock::now();
      if (!route) {
        ++FOtherLogPackets;
        break;
      }
      ++FLogPacketCounts[code - kFirstLogCode];
      if (route->Counted && FInit) {
        ++FPacketCount;
        if (route->CountedType != evtNone) FEvdoType = route->CountedType;
      }
      if (route->AlwaysType != evtNone) FEvdoType = route->AlwaysType;
      if (route->Parser) (this->*route->Parser)(frame);
      break;
    }
    default:
      break;
  }
}

TSessionCounters TModem::Counters() const {
  std::lock_guard lock(FStateLock);
  TSessionCounters counters;
  counters.FramesReceived = FFramesReceived;
  counters.BadFrames = FBadFrames;
  for (size_t slot = 0; slot < FLogPacketCounts.size(); ++slot)
    if (FLogPacketCounts[slot] != 0)
      counters.LogPackets.emplace_back(static_cast<uint16_t>(kFirstLogCode + slot), FLogPacketCounts[slot]);
  counters.OtherLogPackets = FOtherLogPackets;
  counters.LastLogPacket = FLastLogPacket;
  return counters;
}
