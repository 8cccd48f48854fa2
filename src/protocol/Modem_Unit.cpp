// The modem session: port ownership, command traffic, reading, dispatching and read-outs.
#include "protocol/Modem_Unit.h"

#include <cmath>
#include <ctime>
#include <type_traits>

#include "common/WindowMessages.h"

namespace {

constexpr double kGpsEpochDay = 29226;  // 1980-01-06 in days from 1899-12-30

template <class T>
void StoreAndForward(T& aField, std::type_identity_t<T> aValue, void (TCustomXuComPort::*aSetter)(T),
                     TXuComPort* aPort) {
  aField = aValue;
  (aPort->*aSetter)(aValue);
}

}  // namespace

TDateTime LogTimeToDateTime(uint32_t lo, uint32_t hi) {
  const uint64_t stamp = static_cast<uint64_t>(hi) << 32 | lo;
  const double ticks = static_cast<double>(stamp >> 16);  // 1.25 ms units
  return ticks * 1.25 / 1000.0 / 86400.0 + kGpsEpochDay - TimeZoneBiasMinutes() / 60.0 / 24.0;
}

// ---------------------------------------------------------------------------------------------
// TCustomModem

TCustomModem::TCustomModem(TMessageTarget* aFormHandle, uint16_t aPortNumber, TXuBaudRate aBaudRate,
                           TXuEventMask aEventMask, TXuDataBits aDataBits, TXuStopBits aStopBits, bool aParityCheck,
                           TXuFlowControl aFlowControl, TXuParity aParity)
    : FFormHandle(aFormHandle),
      FComPort(std::make_unique<TXuComPort>()),
      FPortNumber(aPortNumber),
      FBaudRate(aBaudRate),
      FFlowControl(aFlowControl),
      FParity(aParity),
      FParityCheck(aParityCheck),
      FStopBits(aStopBits),
      FDataBits(aDataBits),
      FEventMask(aEventMask) {
  FComPort->SetPortNumber(aPortNumber);
  FComPort->SetBaudRate(aBaudRate);
  FComPort->SetEventMask(aEventMask);
  FComPort->SetEvtChar('\n');
  FComPort->SetOptions({coIgnoreXOff});
  FComPort->SetStopBits(aStopBits);
  FComPort->SetDataBits(aDataBits);
  FComPort->SetParity(aParity);
  FComPort->OnData = [this](TCustomXuComPort* aSender, uint32_t aLen) { ComPortData(aSender, aLen); };
  FComPort->OnDataWrite = [this](TCustomXuComPort* aSender, uint32_t aLen, bool aSuccess) {
    ComPortDataWrite(aSender, aLen, aSuccess);
  };
  FComPort->OnError = [this](TCustomXuComPort* aSender, const std::string& aText) { ComPortError(aSender, aText); };
  FXOnChar = FComPort->XOnChar();
  FXOffChar = FComPort->XOffChar();
  FXOnLim = FComPort->XOnLimit();
  FXOffLim = FComPort->XOffLimit();
  FEOfChar = FComPort->EofChar();
  FEvtChar = FComPort->EvtChar();
  FDTR = FComPort->DTR();
  FRTS = FComPort->RTS();
}

TCustomModem::~TCustomModem() { ReleasePort(); }

void TCustomModem::ReleasePort() {
  if (!FComPort) return;
  if (FComPort->Active()) FComPort->Close();
  FComPort.reset();  // joins the port's threads
}

void TCustomModem::PostToForm(uint32_t aMsg, std::optional<std::string> aText) {
  if (FFormHandle) FFormHandle->PostMessage({aMsg, 0, 0, std::move(aText)});
}

TByteString TCustomModem::ComposeCommand(TByteView aCommand) { return ::ComposeCommand(aCommand); }

void TCustomModem::SendCommand(TByteView aCommand) {
  {
    std::lock_guard lock(FPortErrorLock);
    FPortError = false;
    sPortError.clear();
  }
  const TByteString frame = ComposeCommand(aCommand);
  FComPort->DirectWriteData(frame.data(), static_cast<int>(frame.size()));
}

TByteString TCustomModem::ReadString() {
  if (!FComPort->Active()) throw EModemError("Ошибка чтения данных: устройство не активно!");
  return FComPort->ReadString();
}

bool TCustomModem::OpenComPort() { return FComPort->Open(); }
void TCustomModem::CloseComPort() { FComPort->Close(); }
void TCustomModem::PauseRead() { FComPort->PauseRead(); }
void TCustomModem::ResumeRead() { FComPort->ResumeRead(); }

void TCustomModem::GetESNandMIN() {
  if (!FComPort->Active()) {
    try {
      // A port that does not open gets nothing written, whether it refused or threw.
      if (!FComPort->Open()) return;
    } catch (const std::exception&) {
      return;
    }
  }
  for (TByteView command : {kNvItem20Command, kStatusRequestCommand, kNvItem21Command, kNvItem21Command}) {
    const TByteString frame = ComposeCommand(command);
    FComPort->DirectWriteData(frame.data(), static_cast<int>(frame.size()));
  }
}

bool TCustomModem::PortError() const {
  std::lock_guard lock(FPortErrorLock);
  return FPortError;
}

std::string TCustomModem::PortErrorText() const {
  std::lock_guard lock(FPortErrorLock);
  return sPortError;
}

void TCustomModem::ComPortData(TCustomXuComPort*, uint32_t) {}
void TCustomModem::ComPortDataWrite(TCustomXuComPort*, uint32_t, bool) {}
void TCustomModem::ComPortError(TCustomXuComPort*, const std::string&) {}

void TCustomModem::SetBaudRate(TXuBaudRate aValue) { StoreAndForward(FBaudRate, aValue, &TXuComPort::SetBaudRate, FComPort.get()); }
void TCustomModem::SetEventMask(TXuEventMask aValue) { StoreAndForward(FEventMask, aValue, &TXuComPort::SetEventMask, FComPort.get()); }
void TCustomModem::SetEofChar(char aValue) { StoreAndForward(FEOfChar, aValue, &TXuComPort::SetEofChar, FComPort.get()); }
void TCustomModem::SetEvtChar(char aValue) { StoreAndForward(FEvtChar, aValue, &TXuComPort::SetEvtChar, FComPort.get()); }
void TCustomModem::SetFlowControl(TXuFlowControl aValue) { StoreAndForward(FFlowControl, aValue, &TXuComPort::SetFlowControl, FComPort.get()); }
void TCustomModem::SetDTR(bool aValue) { StoreAndForward(FDTR, aValue, &TXuComPort::SetDTR, FComPort.get()); }
void TCustomModem::SetRTS(bool aValue) { StoreAndForward(FRTS, aValue, &TXuComPort::SetRTS, FComPort.get()); }
void TCustomModem::SetOptions(TXuComOptions aValue) { StoreAndForward(FOptions, aValue, &TXuComPort::SetOptions, FComPort.get()); }
void TCustomModem::SetParity(TXuParity aValue) { StoreAndForward(FParity, aValue, &TXuComPort::SetParity, FComPort.get()); }
void TCustomModem::SetStopBits(TXuStopBits aValue) { StoreAndForward(FStopBits, aValue, &TXuComPort::SetStopBits, FComPort.get()); }
void TCustomModem::SetDataBits(TXuDataBits aValue) { StoreAndForward(FDataBits, aValue, &TXuComPort::SetDataBits, FComPort.get()); }
void TCustomModem::SetXOnChar(char aValue) { StoreAndForward(FXOnChar, aValue, &TXuComPort::SetXOnChar, FComPort.get()); }
void TCustomModem::SetXOffChar(char aValue) { StoreAndForward(FXOffChar, aValue, &TXuComPort::SetXOffChar, FComPort.get()); }
void TCustomModem::SetXOnLimit(uint16_t aValue) { StoreAndForward(FXOnLim, aValue, &TXuComPort::SetXOnLimit, FComPort.get()); }
void TCustomModem::SetXOffLimit(uint16_t aValue) { StoreAndForward(FXOffLim, aValue, &TXuComPort::SetXOffLimit, FComPort.get()); }

void TCustomModem::SetParityCheck(bool aValue) {
  FParityCheck = aValue;
  const TXuComOptions options = FComPort->Options();
  FComPort->SetOptions(aValue ? options.With(coParityCheck) : options.Without(coParityCheck));
}

// ---------------------------------------------------------------------------------------------
// TModem

TModem::TModem(TMessageTarget* aFormHandle, uint16_t aPortNumber, TXuBaudRate aBaudRate, TXuEventMask aEventMask,
               TXuDataBits aDataBits, TXuStopBits aStopBits, bool aParityCheck, TXuFlowControl aFlowControl,
               TXuParity aParity)
    : TCustomModem(aFormHandle, aPortNumber, aBaudRate, aEventMask, aDataBits, aStopBits, aParityCheck, aFlowControl,
                   aParity),
      FESN(" "),
      FMIN(" "),
      FDN(" "),
      FLAC(" "),
      FIMSI(" ") {}

// The port's reader calls into this object: it must be gone before our members are. A modem
// left streaming would go on sending its logs to nobody, whatever way the program ends: it is
// logged off first.
TModem::~TModem() {
  if (FComPort && FComPort->Active()) SendCommand(kLoggingOffCommand);
  ReleasePort();
}

void TModem::StartRead() { SendCommand(kLogMaskCommand); }

void TModem::StopRead() {
  if (FComPort->Active()) {
    SendCommand(kLoggingOffCommand);
    FComPort->ClearBuffers();
  }
  FComPort->StopRead();
}

void TModem::StopWrite() { FComPort->StopWrite(); }

void TModem::ComPortData(TCustomXuComPort* Sender, uint32_t) {
  // Every announced byte is taken at once: the splitter keeps a partial frame for the next read,
  // so nothing is left queued at the device and nothing is lost.
  try {
    FSData = ReadString();
  } catch (const EModemError&) {
    return;  // the port closed under the event
  }
  // A frame begun on a device that has gone (unplugged in its middle) has no end on this one;
  // joined to the first frame read here, it would take that frame with it.
  if (const uint64_t opens = Sender->OpenCount(); opens != FSplitterOpens) {
    FSplitter.Reset();
    FSplitterOpens = opens;
  }
  ProcessReceivedBytes(FSData);
}

void TModem::ComPortDataWrite(TCustomXuComPort*, uint32_t, bool) {}

void TModem::ComPortError(TCustomXuComPort*, const std::string& aErrorMessage) {
  {
    std::lock_guard lock(FPortErrorLock);
    FPortError = true;
    sPortError = aErrorMessage;
  }
  PostToForm(WM_MODEM_ERROR, "Modem: " + aErrorMessage);
}

void TModem::ProcessReceivedBytes(TByteView aBytes) {
  FDataList.Clear();
  if (!aBytes.empty()) SplitFrames(aBytes);
  if (FDataList.Count() > 0) ParseFrames(FDataList);
}

void TModem::SplitFrames(TByteView aBuffer) {
  const uint64_t badBefore = FSplitter.BadFrames();
  FSplitter.Split(aBuffer, FDataList);
  if (const uint64_t bad = FSplitter.BadFrames() - badBefore) {
    std::lock_guard lock(FStateLock);
    FBadFrames += bad;
  }
}

void TModem::SetComPortNumber(uint16_t aValue) {
  if (aValue == FPortNumber) return;
  if (FComPort->Active()) FComPort->Close();
  FComPort->SetPortNumber(aValue);
  try {
    if (FComPort->Open()) {
      FPortNumber = aValue;
      return;
    }
    FComPort->SetPortNumber(FPortNumber);
  } catch (const std::exception&) {
    // A port that opened but refused its settings is closed again: a failed switch leaves no port open.
    if (FComPort->Active()) FComPort->Close();
    FComPort->SetPortNumber(FPortNumber);
    if (FMessageBoxes)
      FMessageBoxes->ShowMessageBox("TModem", "Не удалсоь установить порт: COM" + std::to_string(aValue),
                                    TMessageBoxKind::Error);
  }
}

std::string TModem::GetEvdoType() const {
  static constexpr const char* kTypeTexts[] = {"undefined", "1x", "Rev.0", "Rev.A", "Rev.B", "Rev.B+"};
  std::lock_guard lock(FStateLock);
  if (FMultiCarrPilotSets.SearcherState == 3) return "Sleep";
  return FEvdoType < std::size(kTypeTexts) ? kTypeTexts[FEvdoType] : kTypeTexts[0];
}

void TModem::StampHeader(TRecordHeader& aHeader, const TFrameReader& aFrame) {
  const int64_t second = static_cast<int64_t>(std::time(nullptr));
  if (second != FStampSecond) {
    FStampSecond = second;
    FStampTime = FormatLongTime(NowDateTime());
  }
  const TDateTime packetTime = LogTimeToDateTime(aFrame.U32(8), aFrame.U32(12));
  const auto day = static_cast<int64_t>(std::floor(packetTime));
  if (day != FStampDay) {
    FStampDay = day;
    FStampDate = FormatShortDate(packetTime);
  }
  aHeader.TimeStr.Assign(FStampTime);
  aHeader.DateStr.Assign(FStampDate);
}

// ---------------------------------------------------------------------------------------------
// Read-outs: each takes the state lock for one copy.

std::string TModem::ATResponse() const { return Locked([&] { return FATResponse; }); }
void TModem::SetATResponse(const std::string& aValue) { Locked([&] { FATResponse = aValue; }); }

uint16_t TModem::BaseID() const {
  std::lock_guard lock(FStateLock);
  if (FEvdoType == evtEv1X) return FPagingChannelMessage.base_id;
  if (FEvdoType >= evtRev0 && FEvdoType <= evtRevBplus) return FSignalingAccessChannel.BtsID;
  return 0;
}

uint8_t TModem::SectorID() const {
  std::lock_guard lock(FStateLock);
  if (FEvdoType == evtEv1X) return FPagingChannelMessage.sector_id;
  if (FEvdoType >= evtRev0 && FEvdoType <= evtRevBplus) return FSignalingAccessChannel.SectorID;
  return 0;
}

float TModem::TotalTXPower() const {
  std::lock_guard lock(FStateLock);
  if (FEvdoType == evtEv1X) return FPilotSetData.TX_AGC;
  if (FEvdoType >= evtRev0 && FEvdoType <= evtRevBplus) return FDataRevA.TxTotal;
  return -60.39f;
}

float TModem::RXValue() const {
  std::lock_guard lock(FStateLock);
  if (FEvdoType >= evtRev0 && FEvdoType <= evtRevBplus) return FDataRevA.RxPowerAntenna_0;
  return 0;
}

TEvdoType TModem::EvdoType() const { return Locked([&] { return FEvdoType; }); }
void TModem::SetEvdoType(TEvdoType aValue) { Locked([&] { FEvdoType = aValue; }); }
bool TModem::InitState() const { return Locked([&] { return FInit; }); }
void TModem::SetInitState(bool aValue) { Locked([&] { FInit = aValue; }); }
intptr_t TModem::PacketsCount() const { return Locked([&] { return FPacketCount; }); }
void TModem::SetPacketsCount(intptr_t aValue) { Locked([&] { FPacketCount = aValue; }); }
float TModem::MaxStrengthPilot() const { return Locked([&] { return FPilotSetData.fingerArray[0].Energy; }); }
std::string TModem::modemESN() const { return Locked([&] { return FESN; }); }
std::string TModem::modemMIN() const { return Locked([&] { return FMIN; }); }
std::string TModem::modemDN() const { return Locked([&] { return FDN; }); }
std::string TModem::modemLAC() const { return Locked([&] { return FLAC; }); }
std::string TModem::modemIMSI() const { return Locked([&] { return FIMSI; }); }
int32_t TModem::CellNumber() const { return Locked([&] { return FCell; }); }
int32_t TModem::FaceNumber() const { return Locked([&] { return FFace; }); }
int32_t TModem::PnNumber() const { return Locked([&] { return FPN; }); }
uint32_t TModem::SuccessCount() const { return Locked([&] { return FSuccessCount; }); }
uint32_t TModem::FailureCount() const { return Locked([&] { return FFailureCount; }); }
uint32_t TModem::AttemptsCount() const { return Locked([&] { return FAttemptsCount; }); }
::CarrierDataRevA_ TModem::CarrDataRevA() const { return Locked([&] { return FDataRevA; }); }
::PagingChannelMessage TModem::PagingChannelMessage() const { return Locked([&] { return FPagingChannelMessage; }); }
::SignalingAccessChannel TModem::SignalingAccessChannel() const { return Locked([&] { return FSignalingAccessChannel; }); }
::PilotSet_Data TModem::PilotSetData() const { return Locked([&] { return FPilotSetData; }); }
::NeighborData TModem::NeighborData() const { return Locked([&] { return FDataNeighbor; }); }
::ARQData_A TModem::EvdoArqDataA() const { return Locked([&] { return FArqDataA; }); }
::CarrierData_RevB TModem::CarrDataRevB() const { return Locked([&] { return FDataRevB; }); }
::ARQData_B TModem::EvdoArqDataB() const { return Locked([&] { return FARQDataB; }); }
::TEvdoMultiCarrPilotSets TModem::MultiCarrPilotSets() const { return Locked([&] { return FMultiCarrPilotSets; }); }
::TEvdoAForward TModem::EvdoAForward() const { return Locked([&] { return FDataEvdoAForward; }); }
::TEvdoAReverse TModem::EvdoAReverse() const { return Locked([&] { return FDataEvdoAReverse; }); }
::EvdoMultiCarrierSingleForward TModem::EvdoMultiCarrierSingleForward() const {
  return Locked([&] { return FDataEvdoMultiCarrierSingleForward; });
}
::EvdoMultiCarrierSingleReverse TModem::EvdoMultiCarrierSingleReverse() const {
  return Locked([&] { return FDataEvdoMultiCarrierSingleReverse; });
}
intptr_t TModem::CommonPacketsCount() const { return Locked([&] { return FCommonPackets; }); }
void TModem::SetCommonPacketsCount(intptr_t aValue) { Locked([&] { FCommonPackets = aValue; }); }
uintptr_t TModem::RXPacketsCount() const { return Locked([&] { return FRXPacketsCount; }); }
void TModem::SetRXPacketsCount(uintptr_t aValue) { Locked([&] { FRXPacketsCount = aValue; }); }
uintptr_t TModem::TXPacketsCount() const { return Locked([&] { return FTXPacketsCount; }); }
void TModem::SetTXPacketsCount(uintptr_t aValue) { Locked([&] { FTXPacketsCount = aValue; }); }
uint8_t TModem::SearcherState() const { return Locked([&] { return FMultiCarrPilotSets.SearcherState; }); }
bool TModem::SectorPacketReceived() const { return Locked([&] { return FSectorPacketReceived; }); }
void TModem::SetSectorPacketReceived(bool aValue) { Locked([&] { FSectorPacketReceived = aValue; }); }
uint64_t TModem::BadFramesCount() const { return Locked([&] { return FBadFrames; }); }

