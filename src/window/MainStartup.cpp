// The main window: finding the modem's port, choosing among several, starting the modem with
// its link-type probe, stopping it, and following ports that come and go.
#include <cerrno>
#include <cstdio>

#include "common/SystemError.h"
#include "common/WindowMessages.h"
#include "window/MainUnit.h"
#include "window/ModemSelectUnit.h"

namespace {

// Between two tries to open a port that just arrived; the limit is FOpenRetryTimer's.
constexpr std::chrono::milliseconds kOpenRetrySlice{50};
constexpr intptr_t kDeviceTypePort = 3;

bool AnswersLikeAModem(const TByteString& aResponse) {
  if (aResponse.empty()) return false;
  const auto first = static_cast<uint8_t>(aResponse[0]);
  return first == 0x0A || first == 0x0C || first == 0x0D || first == 0x10;
}

std::string PortNotAvailableText(uint16_t aPort) {
  char text[64];
  std::snprintf(text, sizeof text, kPortNotAvailable, aPort);
  return text;
}

}  // namespace

void TMainFm::WMFindModem() {
  if (FLoop.Closing()) return;
  if (SearchInProgress()) {
    QueueSearch(std::nullopt);
    return;
  }
  uint16_t port = 0;
  if (FindModem(port)) {
    SelectPort(port);
    FModem->SetDevicePlugged(true);
  } else {
    FModem->SetDevicePlugged(false);
    SetStatus(kDeviceNotFound);
  }
  if (FModem->DevicePlugged() && FAutoStart) StartModem();
  RunQueuedSearches();
}

void TMainFm::QueueSearch(std::optional<uint16_t> aPort) {
  if (aPort)
    FQueuedSearch.Ports.insert(*aPort);
  else
    FQueuedSearch.AnyPort = true;
  FQueuedSearch.Due = true;
}

void TMainFm::SearchOnDeviceChange(std::optional<uint16_t> aPort) {
  QueueSearch(aPort);
  // Handled inside the waits of a search: a second search now would start the modem under the
  // first one, which then finds its port taken.
  if (!SearchInProgress()) RunQueuedSearches();
}

void TMainFm::RunQueuedSearches() {
  // A change that came while a search ran may name a port that search never listed: one more.
  while (FQueuedSearch.Due && !FModem->DevicePlugged() && !FLoop.Closing()) {
    FQueuedSearch.Due = false;
    uint16_t found = 0;
    if (FindModem(found) && (FQueuedSearch.AnyPort || FQueuedSearch.Ports.count(found))) {
      FQueuedSearch = {};
      AdoptFoundPort(found);
      return;
    }
    SetStatus(kDeviceNotFound);
  }
  FQueuedSearch = {};
}

void TMainFm::XuComPort1Data(TCustomXuComPort*, uint32_t) {
  {
    std::lock_guard lock(FInitResponseLock);
    FInitResponse = FXuComPort1->ReadString();
  }
  FModemDataEvent.Set();
  FLoop.Wake();
}

void TMainFm::XuComPort1Error(TCustomXuComPort*, const std::string&) {
  FFindModemError = true;
  FFindModemTimeoutEvent.Set();
  FLoop.Wake();
}

bool TMainFm::FindModem(uint16_t& aPort) {
  // Another search, or a link-type probe, is running.
  if (SearchInProgress()) return false;
  struct TSearching {
    bool& Flag;
    ~TSearching() { Flag = false; }
  } searching{FSearching = true};
  SetBusy(true);
  SetStatus(kFindModemStatus);
  PumpEvents();

  const TByteString statusRequest = TModem::ComposeCommand(kStatusRequestCommand);
  FModemDataEvent.Reset();
  FFindModemTimeoutEvent.Reset();
  FFindComportsList.clear();

  const TPortEntries entries = FOptions.EnumerateComPorts ? FOptions.EnumerateComPorts() : std::nullopt;
  if (entries) {
    for (const std::string& entry : *entries) {
      PumpEvents();
      FModemDataEvent.Reset();
      FFindModemTimeoutEvent.Reset();
      if (entry.empty() || FLoop.Closing()) break;
      if (ProbePort(entry, statusRequest)) FFindComportsList.push_back(entry);
    }
  }

  SetBusy(false);
  PumpEvents();
  // A close during the search: whatever answered is not started.
  if (FLoop.Closing()) return false;

  std::optional<size_t> chosen;
  if (FFindComportsList.size() == 1)
    chosen = 0;
  else if (FFindComportsList.size() > 1)
    chosen = TModemSelectFm::Execute(FView, FFindComportsList);
  if (!chosen) return false;

  const std::string entry = FFindComportsList[*chosen];
  const std::string name = PortNameOfEntry(entry);
  aPort = PortNumberOfName(name).value_or(0);
  if (TestPortOpen(name)) {
    FModemDescription = entry;
    return true;
  }
  FModemDescription.clear();
  return false;
}

bool TMainFm::ProbePort(const std::string& aEntry, const TByteString& aStatusRequest) {
  FFindModemError = false;
  // Discovery only lists COM names; anything else cannot be a port number and is passed over.
  const std::optional<uint16_t> number = PortNumberOfName(PortNameOfEntry(aEntry));
  if (!number) return false;

  bool answered = false;
  if (FQueuedSearch.Ports.count(*number)) WaitUntilOpenable(*number);
  FXuComPort1->SetPortNumber(*number);
  try {
    FXuComPort1->Open();
  } catch (const std::exception&) {
    FXuComPort1->Close();
  }
  if (FXuComPort1->Active()) {
    bool reading = true;
    try {
      FXuComPort1->StartRead();
    } catch (const std::exception&) {
      reading = false;  // a port that refuses its settings is no modem of ours
    }
    if (reading) {
      FXuComPort1->DirectWriteData(aStatusRequest.data(), static_cast<int>(aStatusRequest.size()));
      PumpEvents();
      FindModemTimer->SetEnabled(true);
      // Until the answer, the time-out or the program's close.
      PumpWhile([&] {
        if (FModemDataEvent.WaitFor(std::chrono::milliseconds(0))) {
          std::lock_guard lock(FInitResponseLock);
          answered = AnswersLikeAModem(FInitResponse);
          return false;
        }
        return !FFindModemTimeoutEvent.WaitFor(std::chrono::milliseconds(0));
      });
    }
  }
  FindModemTimer->SetEnabled(false);
  FXuComPort1->Close();
  PumpUntilDone([this] { return !FXuComPort1->ReadDone(); });
  return answered;
}

void TMainFm::WaitUntilOpenable(uint16_t aNumber) {
  const std::optional<std::string> path = FPortTable.PathOf(aNumber);
  if (!path) return;
  FOpenRetryOver = false;
  FOpenRetryTimer->SetEnabled(true);
  FLoop.PumpWhile(
      [&] {
        std::unique_ptr<TSerialDevice> device =
            FOptions.DeviceFactory ? FOptions.DeviceFactory() : CreatePosixSerialDevice();
        const int error = device->Open(*path);
        if (error == 0) device->Close();
        // Only what the device manager's rules (or a manager probing the port) mend can wait.
        return (error == EACCES || error == EPERM || error == EBUSY) && !FOpenRetryOver;
      },
      kOpenRetrySlice);
  FOpenRetryTimer->SetEnabled(false);
}

bool TMainFm::TestPortOpen(const std::string& aName) {
  int error = ENOENT;
  const std::optional<uint16_t> sessionPort =
      FModem && FModem->PortActive() ? std::optional<uint16_t>(FModem->ComPortNumber()) : std::nullopt;
  // The session's own port refuses a second open; that is no fault to show.
  if (sessionPort && PortNumberOfName(aName) == sessionPort) return false;
  if (const std::optional<uint16_t> number = PortNumberOfName(aName))
    if (const std::optional<std::string> path = FPortTable.PathOf(*number)) {
      std::unique_ptr<TSerialDevice> device =
          FOptions.DeviceFactory ? FOptions.DeviceFactory() : CreatePosixSerialDevice();
      error = device->Open(*path);
      if (error == 0) device->Close();
    }
  if (error == 0) return true;
  ShowError(SysErrorMessage(error) + ": " + aName);
  return false;
}

void TMainFm::SelectPort(uint16_t aPort) {
  if (aPort == 0) {
    SetStatus(kDeviceNotFound);
    SetLabel(TMainLabel::Label2, "n/a");
    return;
  }
  if (TestPortOpen("COM" + std::to_string(aPort))) {
    FModem->SetComPortNumber(aPort);
    SetStatus(FModemDescription);
  } else {
    SetStatus(PortNotAvailableText(aPort));
    SetLabel(TMainLabel::Label2, "n/a");
  }
}

void TMainFm::AdoptFoundPort(uint16_t aPort) {
  FModem->CloseComPort();
  SelectPort(aPort);
  FModem->SetDevicePlugged(true);
  if (FAutoStart) StartModem();
}

void TMainFm::StartModem() {
  if (!FModem || !FModem->DevicePlugged() || FLoop.Closing()) return;
  TXuComPort& port = *FModem->ComPort();
  if (!FModem->PortActive()) {
    try {
      FModem->OpenComPort();
    } catch (const std::exception& e) {
      ShowError(e.what());
    }
    if (!FModem->PortActive()) return;
  }

  try {
    ProbeLinkType();
  } catch (const std::exception& e) {
    // The reader could not be started on the port.
    ShowError(e.what());
    return;
  }
  PumpUntilDone([&port] { return !port.WriteDone(); });
  PumpUntilDone([&port] { return !port.ReadDone(); });
  // A key pressed during the probe leaves the modem stalled: port open, no logs, no polling. A
  // close leaves it to the close, which logs it off.
  if (FBreakInit || FLoop.Closing()) return;

  FRxQuality->ClearValues();
  FTxQuality->ClearValues();
  FDrcQuality->ClearValues();
  port.ClearBuffers();
  PumpEvents();
  port.ClearBuffers();
  PumpEvents();
  nTXPackets = 0;
  nTXZeroes = 0;
  try {
    port.StartRead();
  } catch (const std::exception& e) {
    ShowError(e.what());
    return;
  }
  FModem->SendCommand(FModem->EvdoType() == evtEv1X ? kLogMask1xCommand : kLogMaskCommand);
  FModemTimer->SetEnabled(true);
  FModem->GetESNandMIN();
  PublishEvent(TMonitorEventKind::ModemFound, FModemDescription);
}

bool TMainFm::ProbeStage(std::string_view aCommand, intptr_t aThreshold, bool aKeyBreaks) {
  TXuComPort& port = *FModem->ComPort();
  if (port.ReadDone()) port.StartRead();
  const TByteString frame = TModem::ComposeCommand(aCommand);
  FTickCount = 0;
  FModem->SetPacketsCount(0);
  InitTimer->SetEnabled(true);
  port.DirectWriteData(frame.data(), static_cast<int>(frame.size()));
  PumpWhile([&] {
    return FModem->PacketsCount() <= aThreshold && !(aKeyBreaks && FBreakInit) && FTickCount <= 4;
  });
  InitTimer->SetEnabled(false);
  port.StopWrite();
  port.StopRead();
  PumpUntilDone([&port] { return !port.ReadDone(); });
  return FTickCount < 5 && FModem->PacketsCount() != 0;
}

void TMainFm::ProbeLinkType() {
  FModem->SetInitState(true);
  SetBusy(true);
  PumpEvents();
  struct TProbeEnd {
    TMainFm& Fm;
    ~TProbeEnd() {
      Fm.FModem->SetInitState(false);
      Fm.SetBusy(false);
      Fm.PumpEvents();
    }
  } probeEnd{*this};

  FBreakInit = false;
  if (ProbeStage(kLogMaskCommand, 0, true)) {
    FModem->SetEvdoType(evtRevB);
    return;
  }
  if (FBreakInit) return;
  // A key press does not end the 1x stage.
  if (ProbeStage(kLogMask1xCommand, 10, false)) FModem->SetEvdoType(evtEv1X);
}

void TMainFm::StopModem() {
  FModemTimer->SetEnabled(false);
  if (!FModem || !FModem->DevicePlugged() || !FModem->PortActive()) return;
  TXuComPort& port = *FModem->ComPort();
  FModem->StopRead();
  PumpUntilDone([&port] { return !port.ReadDone(); });
  port.ClearBuffers();
  PumpEvents();
  port.ClearBuffers();
  PumpEvents();
  FModem->CloseComPort();
  FRxQuality->ClearValues();
  FTxQuality->ClearValues();
  FDrcQuality->ClearValues();
}

void TMainFm::WMDeviceChange(uintptr_t aEventCode, intptr_t aDeviceType, const std::string& aPortName) {
  if (FLoop.Closing()) return;
  switch (aEventCode) {
    case DBT_DEVNODES_CHANGED:
      if (!FModem->DevicePlugged()) SearchOnDeviceChange(std::nullopt);
      break;
    case DBT_DEVICEARRIVAL: {
      if (aDeviceType != kDeviceTypePort) break;
      // A name that does not continue with a number tells us nothing: ignored.
      const std::optional<uint16_t> number = PortNumberOfName(aPortName);
      if (!number) break;
      if (!FModem->DevicePlugged()) SearchOnDeviceChange(*number);
      break;
    }
    case DBT_DEVICEREMOVECOMPLETE: {
      if (aDeviceType != kDeviceTypePort) break;
      const std::optional<uint16_t> number = PortNumberOfName(aPortName);
      if (!number || *number != FModem->ComPortNumber()) break;
      const bool wasRunning = FModemTimer->Enabled();
      StopModem();
      if (wasRunning) {
        FLastSample = TCycleSample{};
        FLastSample.Time = WallNow();
        FLastSample.Icon = kNoDeviceIcon;
        PublishEvent(TMonitorEventKind::ModemLost, aPortName);
      }
      SelectPort(0);
      FModem->SetDevicePlugged(false);
      break;
    }
    default:
      break;
  }
}
