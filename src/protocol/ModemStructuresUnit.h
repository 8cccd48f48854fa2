// Measurement records filled by the log parsers, the link type, and the fixed command texts.
#pragma once

#include <cstdint>
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
};

// Command texts: hexadecimal digit pairs, framed by ComposeCommand.
extern const std::string_view kLogMaskCommand;
extern const std::string_view kLogMask1xCommand;
extern const std::string_view kLoggingOffCommand;
extern const std::string_view kStatusRequestCommand;
extern const std::string_view kNvItem20Command;
extern const std::string_view kNvItem21Command;

// 1x base station and sector (log 0x1007).
struct PagingChannelMessage {
  uint16_t base_id = 0;
  uint8_t sector_id = 0;

  void ZeroInit() { *this = PagingChannelMessage{}; }
};

struct PilotSetPath {
  uint16_t Position = 0;
  float Energy = 0;
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
  uint8_t NumberOfPaths = 0;
  uint8_t NumberOfFingers = 0;
  PilotSetPath pathArray[kMaxPaths] = {};
  PilotSetFinger fingerArray[kMaxFingers] = {};

  // The header is left as it is.
  void ZeroInit() {
    const TRecordHeader header = *this;
    *this = PilotSet_Data{};
    static_cast<TRecordHeader&>(*this) = header;
  }
};

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
};

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
};

// Rev B searcher state (log 0x12A1); state 3 is a sleeping modem.
struct TEvdoMultiCarrPilotSets {
  uint8_t Version = 0;
  uint8_t PilotPnIncrement = 0;
  uint8_t SearcherState = 0;

  void ZeroInit() { *this = TEvdoMultiCarrPilotSets{}; }
};
