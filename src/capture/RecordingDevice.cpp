// The recording devices and what they share.
#include "capture/RecordingDevice.h"

#include <chrono>

namespace {

using namespace std::chrono_literals;

// How long a tick waits for readers still busy with what they read: long enough for a reader the
// scheduler has left waiting on a loaded machine, short enough that a reader stuck for good (a
// handler that never returns) holds the window up only briefly.
constexpr auto kReaderSettle = 500ms;
// How often a held reader looks at its stop signal, which has no wait of its own.
constexpr auto kHeldLook = 2ms;

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCaptureTap

TCaptureTap::TCaptureTap(TCaptureRecorder& aRecorder) : FRecorder(aRecorder) {}

TCaptureTap::~TCaptureTap() = default;

TSerialDeviceFactory TCaptureTap::SessionDevices(TSerialDeviceFactory aInner) {
  return Factory(TRole::Session, std::move(aInner));
}

TSerialDeviceFactory TCaptureTap::ProbeDevices(TSerialDeviceFactory aInner) {
  return Factory(TRole::Probe, std::move(aInner));
}

TSerialDeviceFactory TCaptureTap::Factory(TRole aRole, TSerialDeviceFactory aInner) {
  if (!aInner) aInner = CreatePosixSerialDevice;
  return [this, aRole, inner = std::move(aInner)]() -> std::unique_ptr<TSerialDevice> {
    std::unique_ptr<TSerialDevice> device = inner();
    if (!device) return nullptr;
    return std::make_unique<TRecordingDevice>(std::move(device), *this, aRole);
  };
}

void TCaptureTap::Register(TRecordingDevice* aDevice, TRole aRole) {
  std::lock_guard lock(FLock);
  FDevices[aDevice].Role = aRole;
}

void TCaptureTap::Unregister(TRecordingDevice* aDevice) {
  {
    std::lock_guard lock(FLock);
    FDevices.erase(aDevice);
  }
  FChanged.notify_all();
}

bool TCaptureTap::SessionOpenLocked() const {
  for (const auto& [device, state] : FDevices)
    if (state.Role == TRole::Session && state.Open) return true;
  return false;
}

void TCaptureTap::Opened(TRecordingDevice* aDevice, const std::string& aPath) {
  std::lock_guard lock(FLock);
  TDeviceState& state = FDevices[aDevice];
  state.Open = true;
  state.Path = aPath;
  state.Held.clear();
  if (state.Role != TRole::Session) return;
  // The probe's exchange with this device belongs to the session's conversation; the other
  // ports it looked at do not.
  if (const auto it = FLastExchange.find(aPath); it != FLastExchange.end())
    for (const TCaptureRecord& r : it->second) FRecorder.Append(r.TimeUs, r.Direction, r.Payload);
  FLastExchange.clear();
}

void TCaptureTap::EndExchange(TDeviceState& aState) {
  // A look that exchanged nothing (the window testing that the port opens) leaves the last
  // real exchange in place.
  if (aState.Role == TRole::Probe && !aState.Held.empty()) FLastExchange[aState.Path] = std::move(aState.Held);
  aState.Held.clear();
  aState.Open = false;
  aState.Watching = false;
  aState.InWait = false;
}

void TCaptureTap::Closed(TRecordingDevice* aDevice) {
  {
    std::lock_guard lock(FLock);
    const auto it = FDevices.find(aDevice);
    if (it == FDevices.end() || !it->second.Open) return;
    EndExchange(it->second);
  }
  FChanged.notify_all();
}

void TCaptureTap::RecordLocked(TDeviceState& aState, TCaptureDirection aDirection, TByteView aPayload) {
  if (!aState.Open) return;
  if (aState.Role == TRole::Session)
    FRecorder.Append(aDirection, aPayload);
  else
    aState.Held.push_back({TCaptureRecorder::NowUs(), aDirection, TByteString(aPayload)});
}

void TCaptureTap::Record(TRecordingDevice* aDevice, TCaptureDirection aDirection, TByteView aPayload) {
  std::lock_guard lock(FLock);
  RecordLocked(FDevices[aDevice], aDirection, aPayload);
}

void TCaptureTap::Watching(TRecordingDevice* aDevice, bool aWatching) {
  {
    std::lock_guard lock(FLock);
    TDeviceState& state = FDevices[aDevice];
    if (aWatching && !state.Watching && state.Open) {
      const char mark = static_cast<char>(TMonitorMark::ReaderStarted);
      RecordLocked(state, TCaptureDirection::Monitor, TByteView(&mark, 1));
    }
    state.Watching = aWatching && state.Open;
    if (!state.Watching) state.InWait = false;
  }
  FChanged.notify_all();
}

void TCaptureTap::BeforeWait(TRecordingDevice* aDevice) {
  {
    std::lock_guard lock(FLock);
    FDevices[aDevice].InWait = true;
  }
  FChanged.notify_all();
}

bool TCaptureTap::AfterWait(TRecordingDevice* aDevice, const TDeviceStopSignal& aStop) {
  std::unique_lock lock(FLock);
  // Held, the reader has taken nothing yet: to a tick that begins meanwhile (one pumped from
  // inside another) it is as idle as in its wait.
  while (FTicks > 0) {
    if (aStop.IsSet()) return false;
    FChanged.wait_for(lock, kHeldLook);
  }
  FDevices[aDevice].InWait = false;
  return true;
}

void TCaptureTap::TickBegins(uint8_t aTimer) {
  std::unique_lock lock(FLock);
  ++FTicks;
  FChanged.wait_for(lock, kReaderSettle, [this] {
    for (const auto& [device, state] : FDevices)
      if (state.Watching && !state.InWait) return false;
    return true;
  });
  if (!SessionOpenLocked()) return;
  const char mark[2] = {static_cast<char>(TMonitorMark::TimerTick), static_cast<char>(aTimer)};
  FRecorder.Append(TCaptureDirection::Monitor, TByteView(mark, 2));
}

void TCaptureTap::TickEnds() {
  {
    std::lock_guard lock(FLock);
    if (FTicks > 0) --FTicks;
  }
  FChanged.notify_all();
}

// ---------------------------------------------------------------------------------------------
// TRecordingDevice

TRecordingDevice::TRecordingDevice(std::unique_ptr<TSerialDevice> aInner, TCaptureTap& aTap, TCaptureTap::TRole aRole)
    : FInner(std::move(aInner)), FTap(aTap) {
  FTap.Register(this, aRole);
}

TRecordingDevice::~TRecordingDevice() {
  Close();
  FTap.Unregister(this);
}

int TRecordingDevice::Open(const std::string& aPath) {
  const int error = FInner->Open(aPath);
  if (error == 0) FTap.Opened(this, aPath);
  return error;
}

void TRecordingDevice::Close() {
  // Told first: a reader woken by the close must not wait for a tick on a device that is gone.
  FTap.Closed(this);
  FInner->Close();
}

int TRecordingDevice::SetWaitMask(uint32_t aMask) {
  const int error = FInner->SetWaitMask(aMask);
  FTap.Watching(this, aMask != 0 && error == 0);
  return error;
}

TDeviceWaitResult TRecordingDevice::WaitEvent(const TDeviceStopSignal& aStop, int& aError) {
  FTap.BeforeWait(this);
  const TDeviceWaitResult result = FInner->WaitEvent(aStop, aError);
  const bool free = FTap.AfterWait(this, aStop);
  return result == TDeviceWaitResult::Event && !free ? TDeviceWaitResult::Stopped : result;
}

int TRecordingDevice::Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop) {
  const int error = FInner->Read(aData, aSize, aRead, aStop);
  // What the caller gets is what the session sees: bytes of a failed read are dropped by it.
  if (error == 0 && aRead > 0)
    FTap.Record(this, TCaptureDirection::FromModem, TByteView(static_cast<const char*>(aData), aRead));
  return error;
}

int TRecordingDevice::Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal* aStop) {
  const int error = FInner->Write(aData, aSize, aWritten, aStop);
  if (aWritten > 0) FTap.Record(this, TCaptureDirection::ToModem, TByteView(static_cast<const char*>(aData), aWritten));
  return error;
}
