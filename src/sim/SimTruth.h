// What the simulated modem meant by the packets it wrote: per log code, the values of the last
// undamaged packet, in the units a receiver has after decoding them; and the device's counters.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class TSimMode : uint8_t { Ev1x, RevA, RevB, Sleep, Cycle };

// Identity texts as the monitor shows them.
struct TIdentityTruth {
  std::string Esn;   // eight upper-case hexadecimal digits
  std::string Min;   // seven digits
  std::string Dn;    // seven digits
  std::string Lac;   // three digits
  std::string Imsi;  // "38360" + Lac + Dn
  uint16_t ModeWord = 0;  // of the last status reply
};

// 0x1007
struct TPagingTruth {
  uint16_t BaseId = 0;
  uint8_t SectorId = 0;
};

// 0x102D
struct TPilotSetTruth {
  struct TPath {
    uint16_t Position = 0;
    float Energy = 0;
  };
  struct TFinger {
    uint16_t Pilot = 0;
    uint8_t Tag = 0;
    float Energy = 0;
    uint32_t Position = 0;
  };
  uint8_t BandClass = 0;
  uint16_t PilotPnOffset = 0;
  uint8_t PilotInActiveSet = 0;
  float RxAgc = 0, TxAgc = 0, TxGainAdjust = 0, TxPowerLimit = 0;
  uint8_t SearcherState = 0;
  uint8_t RadioConfigFch = 0;
  uint8_t NumberOfPaths = 0, NumberOfFingers = 0;
  std::array<TPath, 6> Paths{};
  std::array<TFinger, 6> Fingers{};
};

// The six powers of 0x1069 and of each carrier of 0x129C, dBm (1/256 dB steps).
struct TPowerSet {
  float TxOpen = 0, TxClosed = 0, TxPilot = 0, TxTotal = 0, RxPowerAntenna_0 = 0, RxPowerAntenna_1 = 0;
};

// 0x1069
struct TRevAPowerTruth {
  uint8_t Version = 0;
  TPowerSet Powers;
};

// 0x1080
struct TServingSectorTruth {
  uint16_t Cell = 0;
  uint8_t Sector = 0;
  uint16_t Pn = 0;
};

// 0x106C
struct TAttemptCountersTruth {
  uint16_t Cell = 0;
  uint8_t Sector = 0;
  uint16_t Pn = 0;
  uint32_t Success = 0, Failure = 0, Attempts = 0;
};

// 0x107C
struct TAccessChannelTruth {
  uint8_t BandClass = 0;
  uint16_t ChannelNumber = 0, PilotPn = 0, HSTR = 0;
  uint8_t SomeData = 0, SeqNo = 0, AckSeqNo = 0, SyncCCFlag = 0, MSG = 0, MessageID = 0, ColorCode = 0;
  uint16_t BtsID = 0;
  uint8_t SectorID = 0;
  uint16_t SectorSignature = 0, AccessSignature = 0;
};

// 0x108B
struct TNeighborTruth {
  struct TPilot {
    uint16_t PilotPn = 0;
    float PilotEng = 0;  // dB
    uint16_t PilotPos = 0;
  };
  uint8_t Pilot = 0, ACount = 0, AWindow = 0;
  uint16_t Channel = 0;
  uint8_t CCount = 0, CWindow = 0, NCount = 0, RWindow = 0;
  uint16_t APilotPn = 0;
  float APilotEng = 0;
  std::vector<TPilot> Candidates, Neighbors;
};

// 0x108C: DRC index per slot of both blocks, and the rate the best of them requests.
struct TArqATruth {
  std::array<std::array<uint8_t, 16>, 2> Drc{};
  std::array<uint8_t, 2> SlotCount{};
  std::array<uint16_t, 2> DrcLockWord{};
  float RateKbps = 0;  // the highest rate any slot of either block asks for
};

// Bit totals of one link packet. Carried is what a receiver that got every undamaged packet
// of this link finds between the previous one and this one: 0 for the first packet or after
// a total of 0, otherwise the distance between the two totals.
struct TLinkTotals {
  uint32_t Total = 0;
  bool HasPrevious = false;
  uint32_t PreviousTotal = 0;
  uint32_t Carried = 0;
  uint32_t Drc = 0;  // forward: packet size of the last non-zero size counter; reverse: largest counter
};

// 0x1192
struct TForwardATruth {
  uint32_t Sequence = 0;
  TLinkTotals Link;
};

// 0x127E
struct TReverseATruth {
  uint8_t Version = 0;
  TLinkTotals Link;
};

struct TCarrierLinkTruth {
  uint8_t CarrierTag = 0;
  uint16_t Channel = 0;
  uint8_t ChannelHighBits = 0;
  TLinkTotals Link;
  bool LongForm = false;  // forward only: the packet carried groups 15..26 (more than 250 bytes)
};

// 0x12A2 and 0x129F: record-level fields of the last packet, and one entry per channel in the
// order the channels were first sent.
struct TMultiCarrierLinkTruth {
  uint8_t Version = 0;
  uint32_t Sequence = 0;
  uint8_t NumbCarr = 0;
  uint16_t LastChannel = 0;
  std::vector<TCarrierLinkTruth> Carriers;

  const TCarrierLinkTruth* ForChannel(uint16_t aChannel) const {
    for (const auto& c : Carriers)
      if (c.Channel == aChannel) return &c;
    return nullptr;
  }
};

// 0x1298
struct TArqBTruth {
  struct TCarrier {
    uint8_t CarrierTag = 0;
    uint8_t DescLow = 0;
    uint16_t DescMid = 0;
    uint8_t DescHigh = 0;
    uint8_t DescFlags = 0;
    std::array<uint8_t, 16> Drc{};
  };
  uint8_t Version = 0;
  uint8_t NumCarriers = 0;
  std::vector<TCarrier> Carriers;
  float RateKbps = 0;  // sum over the carriers of the best rate each asks for
};

// 0x129C
struct TRevBPowerTruth {
  struct TCarrier {
    uint8_t DescLow = 0;
    uint16_t DescMid = 0;
    uint8_t DescHigh = 0;
    uint8_t FlagBit0 = 0, FlagBit1 = 0;
    TPowerSet Powers;
  };
  uint8_t Version = 0, LNAGain = 0, TxEnable = 0;
  uint16_t HsReferCount = 0;
  float TotalTxPower = 0;
  uint8_t NumData = 0;
  std::vector<TCarrier> Carriers;
};

// 0x12A1
struct TPilotSetsBTruth {
  uint8_t Version = 0, PilotPnIncrement = 0, SearcherState = 0;
};

// 0x1088
struct TIdentityLogTruth {
  std::string EsnHex;  // bytes 51.. as upper-case hexadecimal
};

struct TSimTruth {
  TSimMode Mode = TSimMode::RevA;  // the link type now (for the cycle, the current step)
  std::vector<uint16_t> Channels;   // carriers of the scenario
  TIdentityTruth Identity;
  std::map<uint16_t, uint64_t> LastTimestamp;  // raw timestamp of the last packet per code

  std::optional<TPagingTruth> Paging;                    // 0x1007
  std::optional<TPilotSetTruth> PilotSet;                // 0x102D
  std::optional<TRevAPowerTruth> RevAPower;              // 0x1069
  std::optional<TAttemptCountersTruth> AttemptCounters;  // 0x106C
  std::optional<TAccessChannelTruth> AccessChannel;      // 0x107C
  std::optional<TServingSectorTruth> ServingSector;      // 0x1080
  std::optional<TIdentityLogTruth> IdentityLog;          // 0x1088
  std::optional<TNeighborTruth> Neighbors;               // 0x108B
  std::optional<TArqATruth> ArqA;                        // 0x108C
  std::optional<TForwardATruth> ForwardA;                // 0x1192
  std::optional<TReverseATruth> ReverseA;                // 0x127E
  std::optional<TArqBTruth> ArqB;                        // 0x1298
  std::optional<TRevBPowerTruth> RevBPower;              // 0x129C
  std::optional<TMultiCarrierLinkTruth> ReverseB;        // 0x129F
  std::optional<TPilotSetsBTruth> PilotSetsB;            // 0x12A1
  std::optional<TMultiCarrierLinkTruth> ForwardB;        // 0x12A2

  // The cell, sector and PN of whichever of 0x1080 and 0x106C was sent last.
  std::optional<TServingSectorTruth> LastSector;
};

struct TSimCounters {
  std::map<uint16_t, uint64_t> LogsSent;     // undamaged log packets written whole, per code
  std::map<uint16_t, uint64_t> LogsDamaged;  // log packets written with a damaged CRC, per code
  uint64_t DamagedFrames = 0;   // every frame written with a damaged CRC, replies included
  uint64_t SplitFrames = 0;     // frames written in more than one piece
  uint64_t GarbageBursts = 0;
  uint64_t GarbageFrames = 0;   // flag-delimited pieces of garbage, none with a valid CRC
  uint64_t GarbageBytes = 0;
  uint64_t RepliesSent = 0;     // command replies written whole (damaged ones included)
  uint64_t BadCommandReplies = 0;
  uint64_t LogsDropped = 0;     // packets that fell due while the port was backed up
  uint64_t BytesWritten = 0;    // everything written to the port
  uint64_t LogBytesWritten = 0; // wire bytes of log packets
  uint64_t CommandsReceived = 0;  // command frames with a good CRC
  uint64_t BadCrcCommands = 0;    // command frames dropped for their CRC
  uint64_t OverlongCommands = 0;
  uint64_t CommandsIgnored = 0;   // received while stalled
  uint64_t Plugs = 0;             // pseudo-terminals created
  uint64_t Unplugs = 0;           // pseudo-terminals closed: unplugged, replugged or stopped
  uint64_t CutFrames = 0;         // frames the device went away in the middle of
  double StreamingSeconds = 0;    // time spent with logging on, for throughput figures

  uint64_t TotalLogsSent() const {
    uint64_t n = 0;
    for (const auto& [code, count] : LogsSent) n += count;
    return n;
  }
};

}  // namespace sim
