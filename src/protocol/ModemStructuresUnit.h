// Measurement records filled by the log parsers, the link type, the fixed command texts, the
// DRC rate tables and the small numeric helpers the parsers share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/ShortString.h"

enum TEvdoType : uint8_t { evtNone = 0, evtEv1X = 1, evtRev0 = 2, evtRevA = 3, evtRevB = 4, evtRevBplus = 5 };

// The header most records begin with: the computer's time of day when the packet was parsed,
// and the packet's own date.
struct TRecordHeader {
  TShortString<8> TimeStr;
  TShortString<10> DateStr;

  void SetBlank() {
    TimeStr.Assign(" ");
    DateStr.Assign(" ");
  }
  void SetEmpty() {
    TimeStr.Assign("");
    DateStr.Assign("");
  }
  // By text: characters past a string's length are not part of it.
  bool operator==(const TRecordHeader& aOther) const {
    return TimeStr.View() == aOther.TimeStr.View() && DateStr.View() == aOther.DateStr.View();
  }
};

// Command texts: hexadecimal digit pairs, framed by ComposeCommand.
extern const std::string_view kLogMaskCommand;
extern const std::string_view kLogMask1xCommand;
extern const std::string_view kLoggingOffCommand;
extern const std::string_view kStatusRequestCommand;
extern const std::string_view kNvItem20Command;
extern const std::string_view kNvItem21Command;

// A 24-bit MIN (three digit groups of 10, 4 and 10 bits) to its seven digits: 0x6F047B -> "5551234".
std::string DecodeMin1(uint32_t aValue);

// Signal-to-interference ratio (dB) to Ec/Io (dB) by table; 0 outside -12..20 and for keys
// without a row.
float SinrToEcIo(float x);

// Rounds to two decimals with halves going to the even neighbour; the result as a float.
float RoundTo2Decimals(double aValue);

// Forward DRC index to the requested rate in kbit/s.
extern const float DrcRatesRevA[16];
extern const float DrcRatesRevB[28];

// ---------------------------------------------------------------------------------------------
// 1x

// 1x base station and sector (log 0x1007).
struct PagingChannelMessage {
  uint16_t base_id = 0;
  uint8_t sector_id = 0;

  void ZeroInit() { *this = PagingChannelMessage{}; }
  bool operator==(const PagingChannelMessage&) const = default;
};

struct PilotSetPath {
  uint16_t Position = 0;
  float Energy = 0;

  bool operator==(const PilotSetPath&) const = default;
};

struct PilotSetFinger {
  uint16_t Pilot = 0;
  uint8_t Tag = 0;
  float Energy = 0;
  uint32_t Position = 0;
  uint8_t Flag0 = 0;
  uint8_t Flag1 = 0;
  uint8_t Flag2 = 0;
  uint16_t Spare = 0;

  bool operator==(const PilotSetFinger&) const = default;
};

// 1x pilot set, powers, paths and fingers (log 0x102D).
struct PilotSet_Data : TRecordHeader {
  static constexpr int kMaxPaths = 6;
  static constexpr int kMaxFingers = 6;

  uint8_t TransmitPilot = 0;
  uint8_t TransmitEnabled = 0;
  uint8_t PilotType = 0;
  uint8_t Reserved = 0;
  uint8_t BandClass = 0;
  uint8_t Pregain = 0;
  uint8_t Integration = 0;
  uint8_t NonCoherent = 0;
  uint16_t PilotPnOffset = 0;
  uint8_t PilotInCandidateFrequencySearchSet = 0;
  uint8_t PilotNotTheReferencePilot = 0;
  uint8_t PilotInPrecandidateSet = 0;
  uint8_t PilotInRemainingSet = 0;
  uint8_t PilotInNeighborSet = 0;
  uint8_t PilotInCandidateSet = 0;
  uint8_t PilotInActiveSet = 0;
  uint32_t WindowPosition = 0;
  uint16_t WindowSize = 0;
  float RX_AGC = 0;
  float TX_AGC = 0;
  float TX_Gain_Adjust = 0;
  float TX_Power_Limit = 0;
  uint8_t SearcherState = 0;
  uint8_t RadioConfig_FCH = 0;
  uint8_t RadioConfig_SCH0 = 0;
  uint8_t RadioConfig_SCH1 = 0;
  uint8_t RadioConfig_DCCH = 0;
  uint8_t ChanelMask_FCH = 0;
  uint8_t ChanelMask_SCH0 = 0;
  uint8_t ChanelMask_SCH1 = 0;
  uint8_t ChanelMask_DCCH = 0;
  uint8_t ChanelMask_ScchCount = 0;
  uint8_t Reserved2 = 0;
  uint8_t NumberOfPaths = 0;    // as sent; at most kMaxPaths are kept
  uint8_t NumberOfFingers = 0;  // as sent; at most kMaxFingers are kept
  PilotSetPath pathArray[kMaxPaths] = {};
  PilotSetFinger fingerArray[kMaxFingers] = {};

  // The header is left as it is.
  void ZeroInit() {
    const TRecordHeader header = *this;
    *this = PilotSet_Data{};
    static_cast<TRecordHeader&>(*this) = header;
  }
  bool operator==(const PilotSet_Data&) const = default;
};

// ---------------------------------------------------------------------------------------------
// Rev A

// Rev A transmit and receive powers (log 0x1069).
struct CarrierDataRevA_ : TRecordHeader {
  uint8_t Version = 0;
  float TxOpen = 0;
  float TxClosed = 0;
  float TxPilot = 0;
  float TxTotal = 0;
  float RxPowerAntenna_0 = 0;
  float RxPowerAntenna_1 = 0;
  float ci = 0;
  float snr = 0;

  // ci and snr keep their values.
  void ZeroInit() {
    SetEmpty();
    Version = 0;
    TxOpen = TxClosed = TxPilot = TxTotal = RxPowerAntenna_0 = RxPowerAntenna_1 = 0;
  }
  bool operator==(const CarrierDataRevA_&) const = default;
};

struct CandidatePilot {
  uint16_t PilotPn = 0;
  float PilotEng = 0;
  uint16_t PilotPos = 0;

  bool operator==(const CandidatePilot&) const = default;
};

struct NeighborPilot {
  uint16_t PilotPn = 0;
  float PilotEng = 0;
  uint16_t PilotPos = 0;
  uint16_t Reserved = 0;

  bool operator==(const NeighborPilot&) const = default;
};

// EV-DO pilot sets: the active pilot, candidates and neighbours (log 0x108B).
struct NeighborData : TRecordHeader {
  static constexpr int kMaxCandidates = 6;
  static constexpr int kMaxNeighbors = 40;

  uint8_t Pilot = 0;
  uint8_t ACount = 0;
  uint8_t AWindow = 0;
  uint16_t Channel = 0;
  uint8_t CCount = 0;  // as sent; at most kMaxCandidates are kept
  uint8_t CWindow = 0;
  uint8_t NCount = 0;  // as sent; at most kMaxNeighbors are kept
  uint8_t RWindow = 0;
  uint16_t APilotPn = 0;
  float APilotEng = 0;
  CandidatePilot CandidatArr[kMaxCandidates] = {};
  NeighborPilot NeighborArr[kMaxNeighbors] = {};

  void ZeroInit() {
    *this = NeighborData{};
    SetEmpty();
  }
  bool operator==(const NeighborData&) const = default;
};

// One slot of log 0x108C, from its 16-bit word.
struct ArqSlotA {
  uint8_t SlotLow = 0;    // bits 0..2
  uint8_t SlotMid = 0;    // bits 3..7
  uint8_t Drc = 0;        // bits 8..11: the requested DRC index
  uint8_t SlotBit12 = 0;
  uint8_t SlotBit13 = 0;
  uint8_t SlotBit15 = 0;  // bit 15 times 2

  bool operator==(const ArqSlotA&) const = default;
};

// Two consecutive flags of the DRC lock word.
struct DrcLockPair {
  uint8_t Lock0 = 0;
  uint8_t Lock1 = 0;

  bool operator==(const DrcLockPair&) const = default;
};

struct BestAspEntry {
  uint8_t AspLow = 0;   // bits 0..2
  uint8_t AspMid = 0;   // bits 3..5
  uint8_t AspHigh = 0;  // bits 6..7

  bool operator==(const BestAspEntry&) const = default;
};

// Rev A slot and DRC data, two sub-blocks (log 0x108C).
struct ARQData_A {
  ArqSlotA SlotDataArray_0[16] = {};
  uint8_t SlotCount_0 = 0;
  DrcLockPair DrcLockArray_0[6] = {};
  uint8_t Reserved3_0 = 0;
  uint8_t DrcLockCount_0 = 0;
  BestAspEntry BestAspArray_0[16] = {};
  ArqSlotA SlotDataArray_1[16] = {};
  uint8_t SlotCount_1 = 0;
  DrcLockPair DrcLockArray_1[6] = {};
  uint8_t Reserved3_1 = 0;
  uint8_t DrcLockCount_1 = 0;
  BestAspEntry BestAspArray_1[16] = {};

  void ZeroInit() { *this = ARQData_A{}; }
  bool operator==(const ARQData_A&) const = default;
};

// ---------------------------------------------------------------------------------------------
// EV-DO sector

// EV-DO sector identity (log 0x107C).
struct SignalingAccessChannel : TRecordHeader {
  uint8_t BandClass = 0;
  uint16_t ChannelNumber = 0;
  uint16_t PilotPn = 0;
  uint16_t HSTR = 0;
  uint8_t SomeData = 0;
  uint8_t SeqNo = 0;
  uint8_t AckSeqNo = 0;
  uint8_t SyncCCFlag = 0;
  uint8_t MSG = 0;
  uint8_t MessageID = 0;
  uint8_t ColorCode = 0;
  uint16_t BtsID = 0;
  uint8_t SectorID = 0;
  uint16_t SectorSignature = 0;
  uint16_t AccessSignature = 0;

  void ZeroInit() {
    *this = SignalingAccessChannel{};
    SetBlank();
  }
  bool operator==(const SignalingAccessChannel&) const = default;
};

// ---------------------------------------------------------------------------------------------
// EV-DO link statistics: bits carried between two packets, per link and carrier

// Rev A forward link (log 0x1192).
struct TEvdoAForward : TRecordHeader {
  uint32_t Sequence = 0;
  uint32_t PredTotalBytes = 0;  // bit total of the previous packet
  uint32_t TotalBytes = 0;      // bits carried since the previous packet
  uint32_t PredDRC = 0;
  uint32_t DRC = 0;
  uint32_t AvgBytes = 0;

  void ZeroInit() {
    *this = TEvdoAForward{};
    SetBlank();
  }
  bool operator==(const TEvdoAForward&) const = default;
};

// Rev A reverse link (log 0x127E).
struct TEvdoAReverse : TRecordHeader {
  uint8_t aVersion = 0;
  uint32_t PredTotalBytes = 0;
  uint32_t TotalBytes = 0;
  uint32_t PredDRC = 0;
  uint32_t DRC = 0;  // the largest single counter of the last packet
  uint32_t AvgBytes = 0;

  void ZeroInit() {
    *this = TEvdoAReverse{};
    SetBlank();
  }
  bool operator==(const TEvdoAReverse&) const = default;
};

// One Rev B carrier's link statistics; Channel 0 marks a free entry.
struct CarrierLinkStat {
  uint8_t CarrierTag = 0;
  uint16_t Channel = 0;
  uint8_t ChannelHighBits = 0;
  uint32_t PredTotalBytes = 0;
  uint32_t TotalBytes = 0;
  uint32_t PredDRC = 0;
  uint32_t DRC = 0;

  bool operator==(const CarrierLinkStat&) const = default;
};

// Rev B forward link, one carrier per packet (log 0x12A2).
struct EvdoMultiCarrierSingleForward : TRecordHeader {
  static constexpr int kMaxCarriers = 3;

  uint8_t Version = 0;
  uint32_t Sequence = 0;
  uint8_t NumbCarr = 0;
  uint32_t AvgBytes = 0;
  CarrierLinkStat CarrData[kMaxCarriers] = {};
  uint8_t ControlStat = 0;

  void ZeroInit() {
    *this = EvdoMultiCarrierSingleForward{};
    SetBlank();
  }
  bool operator==(const EvdoMultiCarrierSingleForward&) const = default;
};

// Rev B reverse link, one carrier per packet (log 0x129F).
struct EvdoMultiCarrierSingleReverse : TRecordHeader {
  static constexpr int kMaxCarriers = 3;

  uint8_t Version = 0;
  uint32_t Sequence = 0;
  uint8_t NumbCarr = 0;
  uint32_t AvgBytes = 0;
  CarrierLinkStat CarrData[kMaxCarriers] = {};

  void ZeroInit() {
    *this = EvdoMultiCarrierSingleReverse{};
    SetBlank();
  }
  bool operator==(const EvdoMultiCarrierSingleReverse&) const = default;
};

// Reverse packet sizes in bits, by row of a reverse counter block (row mod 12).
extern const uint32_t ReversePacketSizes[12];

// ---------------------------------------------------------------------------------------------
// Rev B carriers

struct ArqSlotB {
  uint8_t Reserved[8] = {};
  uint8_t DRC = 0;  // DRC index 0..27
  uint8_t Reserved2[2] = {};

  bool operator==(const ArqSlotB&) const = default;
};

struct ArqCarrierB {
  uint8_t CarrierTag = 0;
  uint8_t DescHigh = 0;   // bits 20..23 of the carrier descriptor
  uint16_t DescMid = 0;   // bits 8..19
  uint8_t DescLow = 0;    // bits 0..3
  uint8_t DescFlags = 0;  // the byte after the descriptor
  ArqSlotB Slots[16] = {};

  bool operator==(const ArqCarrierB&) const = default;
};

// Rev B slot DRC indices per carrier (log 0x1298).
struct ARQData_B {
  static constexpr int kMaxCarriers = 3;

  uint8_t Version = 0;
  uint8_t NumCarriers = 0;  // as sent; at most kMaxCarriers are kept
  ArqCarrierB carrData[kMaxCarriers] = {};
  float LongTermDRC = 0;
  float PredLongTermDRC = 0;

  // LongTermDRC and PredLongTermDRC keep their values.
  void ZeroInit() {
    Version = 0;
    NumCarriers = 0;
    for (ArqCarrierB& carrier : carrData) carrier = ArqCarrierB{};
  }
  bool operator==(const ARQData_B&) const = default;
};

struct CarrierPowerB {
  uint8_t DescLow = 0;
  uint16_t DescMid = 0;
  uint8_t DescHigh = 0;
  uint8_t FlagBit0 = 0;
  uint8_t FlagBit1 = 0;
  float TxOpen = 0;
  float TxClosed = 0;
  float TxPilot = 0;
  float TxTotal = 0;
  float RxPowerAntenna_0 = 0;
  float RxPowerAntenna_1 = 0;
  float ci = 0;
  float snr = 0;

  bool operator==(const CarrierPowerB&) const = default;
};

// Rev B transmit and receive powers per carrier (log 0x129C).
struct CarrierData_RevB : TRecordHeader {
  static constexpr int kMaxCarriers = 3;

  uint8_t Version = 0;
  uint8_t LNAGain = 0;
  uint8_t TxEnable = 0;
  uint16_t HsReferCount = 0;
  float TotalTxPower = 0;
  uint8_t numData = 0;  // as sent; at most kMaxCarriers are kept
  CarrierPowerB carrArray[kMaxCarriers] = {};

  void ZeroInit() {
    *this = CarrierData_RevB{};
    SetEmpty();
  }
  bool operator==(const CarrierData_RevB&) const = default;
};

// Rev B searcher state (log 0x12A1); state 3 is a sleeping modem.
struct TEvdoMultiCarrPilotSets {
  uint8_t Version = 0;
  uint8_t PilotPnIncrement = 0;
  uint8_t SearcherState = 0;

  void ZeroInit() { *this = TEvdoMultiCarrPilotSets{}; }
  bool operator==(const TEvdoMultiCarrPilotSets&) const = default;
};
