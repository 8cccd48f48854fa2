// The modem session: frames and sends commands, splits and dispatches what the modem sends, and
// keeps the measurement records, identity strings, counters and link type the window reads.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/ByteString.h"
#include "common/DateTime.h"
#include "common/MessageBoxes.h"
#include "common/MessageTarget.h"
#include "protocol/FrameCodec.h"
#include "protocol/FrameReader.h"
#include "protocol/ModemDrcStatistics.h"
#include "protocol/ModemStructuresUnit.h"
#include "serial/XuComPort.h"

// Reading from a port that is not open.
class EModemError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Log timestamp (bytes 8..15 of a log packet, as low and high halves) to a local date-time.
TDateTime LogTimeToDateTime(uint32_t lo, uint32_t hi);

// What the session has taken from its port since it was made; counters only grow.
struct TSessionCounters {
  uint64_t FramesReceived = 0;  // frames that passed the CRC check and were dispatched
  uint64_t BadFrames = 0;       // frames dropped because their CRC failed or they ran too long
  // Log packets by log code, in code order; only the codes the dispatcher routes, each once
  // it has been seen. Any other code counts in OtherLogPackets, so a modem sending stray codes
  // cannot make the list grow without bound.
  std::vector<std::pair<uint16_t, uint64_t>> LogPackets;
  uint64_t OtherLogPackets = 0;
  std::optional<std::chrono::steady_clock::time_point> LastLogPacket;
};

// The port, its settings and the command traffic; TModem adds the protocol state.
class TCustomModem {
 public:
  TCustomModem(TMessageTarget* aFormHandle, uint16_t aPortNumber, TXuBaudRate aBaudRate, TXuEventMask aEventMask,
               TXuDataBits aDataBits, TXuStopBits aStopBits, bool aParityCheck, TXuFlowControl aFlowControl,
               TXuParity aParity);
  virtual ~TCustomModem();
  TCustomModem(const TCustomModem&) = delete;
  TCustomModem& operator=(const TCustomModem&) = delete;

  // Where the session's message boxes go (the port-switch failure); none: not shown.
  void SetMessageBoxes(TMessageBoxes* aBoxes) { FMessageBoxes = aBoxes; }

  // Throws ECommandFormatError for a malformed text.
  static TByteString ComposeCommand(TByteView aCommand);
  // Writes one command; the outcome of the write is not examined (port errors arrive through
  // the port's error event).
  void SendCommand(TByteView aCommand);
  // Throws EModemError("Ошибка чтения данных: устройство не активно!") when the port is closed.
  TByteString ReadString();

  bool OpenComPort();
  void CloseComPort();
  void PauseRead();
  void ResumeRead();
  // Asks for the directory number, status and LAC; the replies arrive through the dispatcher.
  void GetESNandMIN();

  TXuComPort* ComPort() const { return FComPort.get(); }
  bool PortError() const;
  std::string PortErrorText() const;

  TXuBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TXuBaudRate aValue);
  TXuEventMask EventMask() const { return FEventMask; }
  void SetEventMask(TXuEventMask aValue);
  char EofChar() const { return FEOfChar; }
  void SetEofChar(char aValue);
  char EvtChar() const { return FEvtChar; }
  void SetEvtChar(char aValue);
  TXuFlowControl FlowControl() const { return FFlowControl; }
  void SetFlowControl(TXuFlowControl aValue);
  bool DTR() const { return FDTR; }
  void SetDTR(bool aValue);
  bool RTS() const { return FRTS; }
  void SetRTS(bool aValue);
  TXuComOptions Options() const { return FOptions; }
  void SetOptions(TXuComOptions aValue);
  TXuParity Parity() const { return FParity; }
  void SetParity(TXuParity aValue);
  bool ParityCheck() const { return FParityCheck; }
  void SetParityCheck(bool aValue);
  TXuStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TXuStopBits aValue);
  TXuDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TXuDataBits aValue);
  char XOnChar() const { return FXOnChar; }
  void SetXOnChar(char aValue);
  char XOffChar() const { return FXOffChar; }
  void SetXOffChar(char aValue);
  uint16_t XOnLimit() const { return FXOnLim; }
  void SetXOnLimit(uint16_t aValue);
  uint16_t XOffLimit() const { return FXOffLim; }
  void SetXOffLimit(uint16_t aValue);
  bool DevicePlugged() const { return FDevicePlugged; }
  void SetDevicePlugged(bool aValue) { FDevicePlugged = aValue; }

 protected:
  // Bound to the port's events; they run on the port's threads.
  virtual void ComPortData(TCustomXuComPort* Sender, uint32_t len);
  virtual void ComPortDataWrite(TCustomXuComPort* Sender, uint32_t len, bool success);
  virtual void ComPortError(TCustomXuComPort* Sender, const std::string& aErrorMessage);
  // Closes the port and ends its threads, so that no port event reaches a half-destroyed session.
  void ReleasePort();
  void PostToForm(uint32_t aMsg, std::optional<std::string> aText = std::nullopt);

  TMessageTarget* FFormHandle;
  TMessageBoxes* FMessageBoxes = nullptr;
  std::unique_ptr<TXuComPort> FComPort;
  uint16_t FPortNumber;
  mutable std::mutex FPortErrorLock;  // the error handler runs on the port's threads
  bool FPortError = false;
  std::string sPortError;
  TXuBaudRate FBaudRate;
  TXuFlowControl FFlowControl;
  TXuParity FParity;
  bool FParityCheck;
  TXuStopBits FStopBits;
  TXuDataBits FDataBits;
  TXuEventMask FEventMask;
  char FXOnChar = 0, FXOffChar = 0;
  uint16_t FXOnLim = 0, FXOffLim = 0;
  char FEOfChar = 0, FEvtChar = 0;
  TXuComOptions FOptions;
  bool FDTR = false, FRTS = false;
  std::atomic<bool> FDevicePlugged{false};
  std::string FATResponse;
};

class TModem : public TCustomModem {
 public:
  TModem(TMessageTarget* aFormHandle, uint16_t aPortNumber, TXuBaudRate aBaudRate, TXuEventMask aEventMask,
         TXuDataBits aDataBits, TXuStopBits aStopBits, bool aParityCheck, TXuFlowControl aFlowControl,
         TXuParity aParity);
  ~TModem() override;

  // Enables the logs; the caller starts the port's reader.
  void StartRead();
  // Disables the logs and clears the port's buffers if it is open; stops the reader in any case.
  void StopRead();
  void StopWrite();
  std::string GetEvdoType() const;

  // Received bytes as the port's data event hands them over: split, checked and dispatched.
  // Runs on the port's reader thread; tests and fuzzers call it directly.
  void ProcessReceivedBytes(TByteView aBytes);
  // Dispatches frames that are already split and checked.
  void ParseFrames(const TFrameList& aFrames);
  // Dispatches one such frame; reads nothing outside aFrame.
  void ParseFrame(TByteView aFrame);
  // Whether the dispatcher has a route for the log code (the codes the log mask enables).
  static bool HandlesLogCode(uint16_t aLogCode);

  uint16_t ComPortNumber() const { return FPortNumber; }
  // Switches the port: closes it, opens the new number, keeps the old number on failure.
  void SetComPortNumber(uint16_t aValue);
  std::string ComPortName() const { return FComPort->GetPortName(); }
  bool PortActive() const { return FComPort->Active(); }
  uint32_t ProcNumber() const { return FComPort->ProcNumber(); }
  void SetProcNumber(uint32_t aValue) { FComPort->SetProcNumber(aValue); }

  std::string ATResponse() const;
  void SetATResponse(const std::string& aValue);

  uint16_t BaseID() const;
  uint8_t SectorID() const;
  TEvdoType EvdoType() const;
  void SetEvdoType(TEvdoType aValue);
  bool InitState() const;
  void SetInitState(bool aValue);
  intptr_t PacketsCount() const;
  void SetPacketsCount(intptr_t aValue);
  float MaxStrengthPilot() const;
  std::string modemESN() const;
  std::string modemMIN() const;
  std::string modemDN() const;
  std::string modemLAC() const;
  std::string modemIMSI() const;
  int32_t CellNumber() const;
  int32_t FaceNumber() const;
  int32_t PnNumber() const;
  uint32_t SuccessCount() const;
  uint32_t FailureCount() const;
  uint32_t AttemptsCount() const;
  ::CarrierDataRevA_ CarrDataRevA() const;
  ::PagingChannelMessage PagingChannelMessage() const;
  ::SignalingAccessChannel SignalingAccessChannel() const;
  ::PilotSet_Data PilotSetData() const;
  ::NeighborData NeighborData() const;
  ::ARQData_A EvdoArqDataA() const;
  ::CarrierData_RevB CarrDataRevB() const;
  ::ARQData_B EvdoArqDataB() const;
  ::TEvdoMultiCarrPilotSets MultiCarrPilotSets() const;
  ::TEvdoAForward EvdoAForward() const;
  ::TEvdoAReverse EvdoAReverse() const;
  ::EvdoMultiCarrierSingleForward EvdoMultiCarrierSingleForward() const;
  ::EvdoMultiCarrierSingleReverse EvdoMultiCarrierSingleReverse() const;

  // DRC statistics and rate read-outs; the window calls these from its polling tick.
  void ComposeDRC();
  // Resets the rate figures and both ARQ records; the sums stay.
  void ClearDRC();
  // The forward packet size with the largest rate figure (0 in 1x or with none).
  uint32_t DRC_Forward() const;
  // Rev 0/A: the largest reverse counter of the last packet; Rev B: the reverse packet size
  // with the largest sum; 0 otherwise.
  uint32_t DRC_Reverse() const;
  // The requested forward rate in kbit/s from the last slot DRC indices.
  float ARQDataA() const;
  float ARQDataB() const;
  // Copies, taken under the state lock.
  TDRCStatList DRCForwardStatList() const;
  TDRCStatList DRCReverseStatList() const;
  bool Parsing() const { return FParsing; }
  float TotalTXPower() const;
  float RXValue() const;
  intptr_t CommonPacketsCount() const;
  void SetCommonPacketsCount(intptr_t aValue);
  uintptr_t RXPacketsCount() const;
  void SetRXPacketsCount(uintptr_t aValue);
  uintptr_t TXPacketsCount() const;
  void SetTXPacketsCount(uintptr_t aValue);
  uint8_t SearcherState() const;
  bool SectorPacketReceived() const;
  void SetSectorPacketReceived(bool aValue);
  // Frames dropped because their CRC failed or they ran past the frame-size bound.
  uint64_t BadFramesCount() const;
  // All the counters in one copy under the state lock.
  TSessionCounters Counters() const;

 protected:
  void ComPortData(TCustomXuComPort* Sender, uint32_t len) override;
  void ComPortDataWrite(TCustomXuComPort* Sender, uint32_t len, bool success) override;
  void ComPortError(TCustomXuComPort* Sender, const std::string& aErrorMessage) override;

 private:
  using TFrameHandler = bool (TModem::*)(const TFrameReader&);
  struct TLogRoute {
    bool Known = false;
    bool Counted = false;
    TEvdoType CountedType = evtNone;  // set while counting; evtNone: leave the type alone
    TEvdoType AlwaysType = evtNone;   // set on every arrival (codes without a parser)
    TFrameHandler Parser = nullptr;
  };
  static const TLogRoute* FindLogRoute(uint16_t aLogCode);
  // The dispatcher's log codes span 0x1000..0x12A2.
  static constexpr uint16_t kFirstLogCode = 0x1000;
  static constexpr uint16_t kLastLogCode = 0x12A2;
  static constexpr size_t kLogCodeSlots = kLastLogCode - kFirstLogCode + 1;

  template <class F>
  auto Locked(F&& aAccess) const {
    std::lock_guard lock(FStateLock);
    return aAccess();
  }

  // One frame under the state lock.
  void DispatchFrame(TByteView aFrame);
  void SplitFrames(TByteView aBuffer);
  // Fills a record header: the time of day now and the packet's own date.
  void StampHeader(TRecordHeader& aHeader, const TFrameReader& aFrame);

  // Reply handlers and log parsers; each reads its frame through the bounds-checked reader.
  bool ParseVersionReply(const TFrameReader& aFrame);
  bool ParseEsnReply(const TFrameReader& aFrame);
  bool ParseStatusReply(const TFrameReader& aFrame);
  bool ParseNvItemReply(const TFrameReader& aFrame);
  bool ParseIdentityLog(const TFrameReader& aFrame);
  bool ParsePagingChannelLog(const TFrameReader& aFrame);
  bool ParsePilotSetLog(const TFrameReader& aFrame);
  bool ParseCarrierDataRevALog(const TFrameReader& aFrame);
  bool ParseNeighborDataLog(const TFrameReader& aFrame);
  bool ParseArqDataALog(const TFrameReader& aFrame);
  bool ParseAttemptCountersLog(const TFrameReader& aFrame);
  bool ParseAccessChannelLog(const TFrameReader& aFrame);
  bool ParseServingSectorLog(const TFrameReader& aFrame);
  bool ParseEvdoAForwardLog(const TFrameReader& aFrame);
  bool ParseEvdoAReverseLog(const TFrameReader& aFrame);
  bool ParseMultiCarrierForwardLog(const TFrameReader& aFrame);
  bool ParseMultiCarrierReverseLog(const TFrameReader& aFrame);
  bool ParseArqDataBLog(const TFrameReader& aFrame);
  bool ParseCarrierDataRevBLog(const TFrameReader& aFrame);
  bool ParseMultiCarrPilotSetsLog(const TFrameReader& aFrame);

  // Packet-size statistics; called by the link statistics parsers with the state lock held.
  void AddForwardDRC(uint32_t aSize, uint32_t aCount);
  void AddReverseDRC(uint32_t aSize, uint32_t aCount);

  // Reader-thread state: the current read and the splitter's partial frame.
  TByteString FSData;
  TFrameList FDataList;
  TFrameSplitter FSplitter;
  uint64_t FSplitterOpens = 0;  // the port's open count the splitter's partial frame belongs to

  // The measurement state: written by the dispatcher on the reader thread, read by the window
  // on the user-interface thread. The reader holds the lock for one frame at a time, the
  // window for one copy at a time, so neither waits longer than that.
  mutable std::mutex FStateLock;
  std::atomic<bool> FParsing{false};
  std::string FESN, FMIN, FDN, FLAC, FIMSI;
  int32_t FCell = 0, FFace = 0, FPN = 0;
  ::PagingChannelMessage FPagingChannelMessage;
  ::SignalingAccessChannel FSignalingAccessChannel;
  ::PilotSet_Data FPilotSetData;
  TEvdoMultiCarrPilotSets FMultiCarrPilotSets;
  ::CarrierData_RevB FDataRevB;
  ::CarrierDataRevA_ FDataRevA;
  ::NeighborData FDataNeighbor;
  ::TEvdoAForward FDataEvdoAForward;
  ::TEvdoAReverse FDataEvdoAReverse;
  ::EvdoMultiCarrierSingleForward FDataEvdoMultiCarrierSingleForward;
  ::EvdoMultiCarrierSingleReverse FDataEvdoMultiCarrierSingleReverse;
  ::ARQData_A FArqDataA;
  ::ARQData_B FARQDataB;
  TDRCStatList FForwardDRCStatList, FReverseDRCStatList;
  TEvdoType FEvdoType = evtNone;
  uintptr_t FTXPacketsCount = 0, FRXPacketsCount = 0;
  bool FInit = false;
  intptr_t FPacketCount = 0;
  intptr_t FCommonPackets = 0;
  bool FSectorPacketReceived = false;
  uint32_t FSuccessCount = 0, FFailureCount = 0, FAttemptsCount = 0;
  uint64_t FBadFrames = 0;
  // Bumped by the dispatcher; never reset, unlike the start-up and window counters above.
  uint64_t FFramesReceived = 0;
  std::array<uint64_t, kLogCodeSlots> FLogPacketCounts{};
  uint64_t FOtherLogPackets = 0;
  std::optional<std::chrono::steady_clock::time_point> FLastLogPacket;

  // Record-header texts are made at most once a second / once a day.
  int64_t FStampSecond = -1;
  std::string FStampTime;
  int64_t FStampDay = INT64_MIN;
  std::string FStampDate;
};
