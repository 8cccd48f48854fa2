// Playing a capture back: pacing, command matching, the maximum-speed steps and the devices.
#include "capture/ReplaySource.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "protocol/FrameCodec.h"
#include "protocol/ModemStructuresUnit.h"

namespace {

using namespace std::chrono_literals;

// How long the replay waits for a command or a reader the capture has and the monitor does not
// give before it goes on without it: real time, and, where timers keep virtual time moving,
// virtual time.
constexpr auto kGiveUpReal = 5s;
constexpr std::chrono::nanoseconds kGiveUpVirtual = 10s;
// The longest pause between two records a replay keeps.
constexpr int64_t kLongestGapUs = 600'000'000;
// Stop signals of another kind cannot wake a wait: they are looked at this often.
constexpr auto kForeignStopLook = 20ms;

uint8_t MarkOf(TByteView aPayload) { return aPayload.empty() ? 0 : static_cast<uint8_t>(aPayload[0]); }

bool IsReaderMark(const TReplayCapture& aCapture, size_t aIndex) {
  return aCapture[aIndex].Direction == TCaptureDirection::Monitor &&
         MarkOf(aCapture.Payload(aIndex)) == static_cast<uint8_t>(TMonitorMark::ReaderStarted);
}

// Bytes written to the modem, cut after each flag: one command each (a tail without a flag too).
std::vector<TByteView> CommandFrames(TByteView aBytes) {
  std::vector<TByteView> frames;
  while (!aBytes.empty()) {
    const size_t flag = aBytes.find('\x7E');
    const size_t length = flag == TByteView::npos ? aBytes.size() : flag + 1;
    frames.push_back(aBytes.substr(0, length));
    aBytes.remove_prefix(length);
  }
  return frames;
}

}  // namespace

class TReplaySource::TStopSignal final : public TDeviceStopSignal {
 public:
  explicit TStopSignal(TReplaySource& aSource) : FSource(aSource) {}
  void Set() override {
    FSet = true;
    FSource.Notify();
  }
  void Reset() override { FSet = false; }
  bool IsSet() const override { return FSet; }

 private:
  TReplaySource& FSource;
  std::atomic<bool> FSet{false};
};

TReplaySource::TReplaySource(std::shared_ptr<const TReplayCapture> aCapture, std::string aDevicePath,
                             TReplaySpeed aSpeed)
    : FCapture(std::move(aCapture)),
      FDevicePath(std::move(aDevicePath)),
      FSpeed(aSpeed),
      FFollowMarks(aSpeed.Max && FCapture->HasTimerMarks()) {
  const TReplayCapture& c = *FCapture;
  FCommandsThrough.assign(c.Size(), 0);
  TByteString partial;
  for (size_t i = 0; i < c.Size(); ++i) {
    if (c[i].Direction == TCaptureDirection::ToModem) {
      partial += c.Payload(i);
      for (size_t flag; (flag = partial.find('\x7E')) != TByteString::npos; partial.erase(0, flag + 1))
        FCommands.push_back({partial.substr(0, flag + 1), i});
    }
    FCommandsThrough[i] = FCommands.size();
  }
  // A capture that ends with the logging-off command (and the modem's answer to it) ends where
  // that run's monitor stopped the modem; a replay's monitor sends it only when it stops too.
  size_t end = c.Size();
  while (end > 0 && c[end - 1].Direction == TCaptureDirection::FromModem) --end;
  if (end == 0 || c[end - 1].Direction != TCaptureDirection::ToModem || FCommands.empty() ||
      FCommands.back().Record != end - 1 || FCommands.back().Bytes != ComposeCommand(kLoggingOffCommand))
    end = c.Size();
  for (size_t i = 0; i < end; ++i) {
    if (c[i].Direction == TCaptureDirection::FromModem) FLastModemRecord = FLastContentRecord = i;
    if (c[i].Direction == TCaptureDirection::Monitor && MarkOf(c.Payload(i)) == static_cast<uint8_t>(TMonitorMark::TimerTick))
      FLastContentRecord = i;
  }
  // A clock set back while recording, or a record whose time is nonsense, must not stop or
  // stall the replay: time never runs backwards in it, nor stands still longer than a while.
  FTimes.resize(c.Size());
  for (size_t i = 0; i < c.Size(); ++i)
    FTimes[i] = i == 0 ? c[0].TimeUs : FTimes[i - 1] + std::clamp<int64_t>(c[i].TimeUs - c[i - 1].TimeUs, 0, kLongestGapUs);
  FAnchorUs = c.Size() > 0 ? FTimes[0] : 0;
}

TReplaySource::~TReplaySource() = default;

TSerialDeviceFactory TReplaySource::Devices() {
  return [this]() -> std::unique_ptr<TSerialDevice> { return std::make_unique<TReplayDevice>(*this); };
}

void TReplaySource::SetOnUnplug(std::function<void()> aOnUnplug) {
  std::lock_guard lock(FLock);
  FOnUnplug = std::move(aOnUnplug);
}

void TReplaySource::SetOnProgress(std::function<void()> aOnProgress) {
  std::lock_guard lock(FLock);
  FOnProgress = std::move(aOnProgress);
}

void TReplaySource::Notify() {
  { std::lock_guard lock(FLock); }
  FChanged.notify_all();
}

void TReplaySource::ProgressLocked() {
  FChanged.notify_all();
  if (FOnProgress) FOnProgress();
}

std::chrono::system_clock::time_point TReplaySource::RecordedNow() const {
  std::lock_guard lock(FLock);
  int64_t us = FAnchorUs;
  if (FSpeed.Max) {
    us += std::chrono::duration_cast<std::chrono::microseconds>(FVirtualNow - FAnchorVirtual).count();
  } else if (FAnchorReal) {
    const double real = std::chrono::duration<double, std::micro>(TClock::now() - *FAnchorReal).count();
    us += static_cast<int64_t>(real * FSpeed.Factor);
  }
  return std::chrono::system_clock::time_point(std::chrono::microseconds(us));
}

std::chrono::nanoseconds TReplaySource::VirtualNow() const {
  std::lock_guard lock(FLock);
  return FVirtualNow;
}

bool TReplaySource::TimersFollowMarks() const {
  std::lock_guard lock(FLock);
  return FFollowMarks && !FUnplugged;
}

void TReplaySource::AdvanceTo(std::chrono::nanoseconds aTime) {
  std::lock_guard lock(FLock);
  FVirtualNow = std::max(FVirtualNow, aTime);
}

bool TReplaySource::Ended() const {
  std::lock_guard lock(FLock);
  return FUnplugged;
}

uint64_t TReplaySource::BytesRead() const {
  std::lock_guard lock(FLock);
  return FBytesRead;
}

// --- the replay's state ------------------------------------------------------------------------

bool TReplaySource::QuiescentLocked() const {
  return FAttached == nullptr || !FWatching || (FReadyBytes == 0 && FInWait);
}

bool TReplaySource::ReaderStartConsumableLocked() const { return FReaderStarts > FReaderStartsAtMark; }

void TReplaySource::ReleaseLocked(size_t aIndex) {
  const size_t length = (*FCapture)[aIndex].Length;
  if (length == 0) return;
  FReady.push_back({aIndex, 0});
  FReadyBytes += length;
}

void TReplaySource::PassLocked(size_t aRecord) {
  if (IsReaderMark(*FCapture, aRecord)) FReaderStartsAtMark = FReaderStarts;
  FNextCommand = std::max(FNextCommand, FCommandsThrough[aRecord]);
}

void TReplaySource::AnchorLocked(int64_t aRecordUs) {
  FAnchorUs = aRecordUs;
  FAnchorVirtual = FVirtualNow;
  FAnchorReal = TClock::now();
}

std::chrono::nanoseconds TReplaySource::VirtualTimeOfLocked(size_t aIndex) const {
  const int64_t us = std::max<int64_t>(FTimes[aIndex] - FAnchorUs, 0);
  return FAnchorVirtual + std::chrono::microseconds(us);
}

TReplaySource::TClock::time_point TReplaySource::RealTimeOfLocked(size_t aIndex) const {
  const int64_t us = std::max<int64_t>(FTimes[aIndex] - FAnchorUs, 0);
  const auto scaled = std::chrono::duration<double, std::micro>(static_cast<double>(us) / FSpeed.Factor);
  return FAnchorReal.value_or(TClock::now()) + std::chrono::duration_cast<TClock::duration>(scaled);
}

bool TReplaySource::GiveUpLocked(size_t aIndex, TClock::time_point aNow) {
  if (!FBlockedSince || FBlockedAt != aIndex) {
    FBlockedAt = aIndex;
    FBlockedSince = aNow;
    return false;
  }
  // A command is expected when the capture says, not earlier.
  TClock::time_point since = *FBlockedSince;
  if (!FSpeed.Max && (*FCapture)[aIndex].Direction == TCaptureDirection::ToModem)
    since = std::max(since, RealTimeOfLocked(aIndex));
  if (aNow - since >= kGiveUpReal) return true;
  return FSpeed.Max && FVirtualNow > VirtualTimeOfLocked(aIndex) + kGiveUpVirtual;
}

bool TReplaySource::AtEndLocked() const {
  return FNext > (FFollowMarks ? FLastContentRecord : FLastModemRecord);
}

std::function<void()> TReplaySource::UnplugLocked() {
  if (FUnplugged) return {};
  FUnplugged = true;
  FChanged.notify_all();
  return FOnUnplug;
}

std::optional<TReplaySource::TClock::time_point> TReplaySource::PaceLocked(TClock::time_point aNow) {
  const TReplayCapture& c = *FCapture;
  while (FNext < c.Size()) {
    const TReplayRecord& r = c[FNext];
    if (r.Direction == TCaptureDirection::FromModem) {
      const TClock::time_point due = RealTimeOfLocked(FNext);
      if (due > aNow) return due;
      ReleaseLocked(FNext++);
      FBlockedSince.reset();
      continue;
    }
    // Ticks happen in real time on their own; commands already written are passed.
    const bool waits = IsReaderMark(c, FNext) ? !ReaderStartConsumableLocked()
                                              : r.Direction == TCaptureDirection::ToModem && CommandsPendingLocked(FNext);
    if (!waits || GiveUpLocked(FNext, aNow)) {
      PassLocked(FNext++);
      continue;
    }
    TClock::time_point since = *FBlockedSince;
    if (r.Direction == TCaptureDirection::ToModem) since = std::max(since, RealTimeOfLocked(FNext));
    return since + kGiveUpReal;
  }
  return std::nullopt;
}

TReplaySource::TStep TReplaySource::Step(std::optional<std::chrono::nanoseconds> aNextDue) {
  using enum TStep::TKind;
  TLock lock(FLock);
  if (!FSpeed.Max) return {Blocked};
  if (!QuiescentLocked()) return {Busy};
  const auto toNextDue = [&]() -> TStep {
    if (!aNextDue) return {Blocked};
    FVirtualNow = std::max(FVirtualNow, *aNextDue);
    return {Advanced};
  };
  if (FUnplugged) return toNextDue();

  const TReplayCapture& c = *FCapture;
  for (;;) {
    if (AtEndLocked()) {
      const std::function<void()> unplug = UnplugLocked();
      lock.unlock();
      if (unplug) unplug();
      return {Ended};
    }
    const TReplayRecord& r = c[FNext];
    if (r.Direction == TCaptureDirection::FromModem) {
      // Without the capture's ticks the timers run by virtual time, and a tick falls between
      // the bytes where its time says.
      const auto dueBefore = [&](size_t aIndex) {
        return !FFollowMarks && aNextDue && VirtualTimeOfLocked(aIndex) > *aNextDue;
      };
      if (dueBefore(FNext)) return toNextDue();
      std::chrono::nanoseconds last = VirtualTimeOfLocked(FNext);
      while (FNext < c.Size() && c[FNext].Direction == TCaptureDirection::FromModem && !dueBefore(FNext)) {
        last = VirtualTimeOfLocked(FNext);
        ReleaseLocked(FNext++);
      }
      FVirtualNow = std::max(FVirtualNow, last);
      FBlockedSince.reset();
      FChanged.notify_all();
      return {Released};
    }
    if (r.Direction == TCaptureDirection::Monitor && FFollowMarks &&
        MarkOf(c.Payload(FNext)) == static_cast<uint8_t>(TMonitorMark::TimerTick) && c.Payload(FNext).size() >= 2) {
      FVirtualNow = std::max(FVirtualNow, VirtualTimeOfLocked(FNext));
      AnchorLocked(FTimes[FNext]);
      const auto timer = static_cast<uint8_t>(c.Payload(FNext)[1]);
      ++FNext;
      FBlockedSince.reset();
      return {FireTimer, timer};
    }
    const bool waits = IsReaderMark(c, FNext) ? !ReaderStartConsumableLocked()
                                              : r.Direction == TCaptureDirection::ToModem && CommandsPendingLocked(FNext);
    if (!waits) {
      PassLocked(FNext++);
      FBlockedSince.reset();
      continue;
    }
    // A command the monitor has not written yet, or a reader it has not started yet.
    if (GiveUpLocked(FNext, TClock::now())) {
      PassLocked(FNext++);
      continue;
    }
    return FFollowMarks ? TStep{Blocked} : toNextDue();
  }
}

// --- the devices' side --------------------------------------------------------------------------

int TReplaySource::Attach(TReplayDevice* aDevice, const std::string& aPath) {
  std::lock_guard lock(FLock);
  if (aPath != FDevicePath || FUnplugged) return ENOENT;
  // One opener at a time, as the exclusive hold on a real port.
  if (FAttached) return EBUSY;
  FAttached = aDevice;
  FWatching = false;
  FInWait = false;
  if (!FAnchorReal) FAnchorReal = TClock::now();
  return 0;
}

void TReplaySource::Detach(TReplayDevice* aDevice) {
  std::lock_guard lock(FLock);
  if (FAttached != aDevice) return;
  FAttached = nullptr;
  FWatching = false;
  FInWait = false;
  ProgressLocked();
}

bool TReplaySource::IsAttached(const TReplayDevice* aDevice) const {
  std::lock_guard lock(FLock);
  return FAttached == aDevice;
}

void TReplaySource::SetWatching(TReplayDevice* aDevice, bool aWatching) {
  std::lock_guard lock(FLock);
  if (FAttached != aDevice) return;
  if (aWatching && !FWatching) ++FReaderStarts;
  FWatching = aWatching;
  FInWait = false;
  ProgressLocked();
}

TDeviceWaitResult TReplaySource::Wait(TReplayDevice* aDevice, const TDeviceStopSignal& aStop) {
  const bool ownStop = dynamic_cast<const TStopSignal*>(&aStop) != nullptr;
  TLock lock(FLock);
  for (;;) {
    if (FAttached != aDevice) return TDeviceWaitResult::Stopped;
    if (aStop.IsSet()) {
      FInWait = false;
      return TDeviceWaitResult::Stopped;
    }
    // A modem that went away wakes its reader, which then finds the line dead.
    if (FReadyBytes > 0 || FUnplugged) {
      FInWait = false;
      return TDeviceWaitResult::Event;
    }
    std::optional<TClock::time_point> deadline;
    if (!FSpeed.Max) {
      deadline = PaceLocked(TClock::now());
      if (FReadyBytes > 0) continue;
      if (AtEndLocked()) {
        const std::function<void()> unplug = UnplugLocked();
        lock.unlock();
        if (unplug) unplug();
        return TDeviceWaitResult::Event;
      }
    }
    if (!FInWait) {
      FInWait = true;
      ProgressLocked();
    }
    if (!ownStop) {
      const auto look = TClock::now() + kForeignStopLook;
      deadline = deadline ? std::min(*deadline, look) : look;
    }
    if (deadline)
      FChanged.wait_until(lock, *deadline);
    else
      FChanged.wait(lock);
  }
}

int TReplaySource::Queued(TReplayDevice* aDevice, uint32_t& aCount) {
  std::lock_guard lock(FLock);
  if (FAttached != aDevice) return EBADF;
  aCount = static_cast<uint32_t>(std::min<uint64_t>(FReadyBytes, UINT32_MAX));
  if (aCount == 0 && FUnplugged) return EIO;
  return 0;
}

int TReplaySource::Read(TReplayDevice* aDevice, void* aData, uint32_t aSize, uint32_t& aRead,
                        const TDeviceStopSignal* aStop) {
  aRead = 0;
  TLock lock(FLock);
  auto* out = static_cast<char*>(aData);
  for (;;) {
    if (FAttached != aDevice) return EBADF;
    if (FReadyBytes > 0 || aSize == 0) break;
    if (FUnplugged) return EIO;
    if (aStop && aStop->IsSet()) return ECANCELED;
    FChanged.wait_for(lock, kForeignStopLook);
  }
  while (aRead < aSize && !FReady.empty()) {
    TReady& front = FReady.front();
    const TByteView payload = FCapture->Payload(front.Record).substr(front.Offset);
    const size_t take = std::min<size_t>(payload.size(), aSize - aRead);
    std::memcpy(out + aRead, payload.data(), take);
    aRead += static_cast<uint32_t>(take);
    front.Offset += take;
    if (front.Offset == (*FCapture)[front.Record].Length) FReady.pop_front();
  }
  FReadyBytes -= aRead;
  FBytesRead += aRead;
  return 0;
}

int TReplaySource::Write(TReplayDevice* aDevice, TByteView aBytes) {
  std::lock_guard lock(FLock);
  if (FAttached != aDevice) return EBADF;
  if (FUnplugged) return EIO;
  const TReplayCapture& c = *FCapture;
  bool matched = false;
  for (TByteView frame : CommandFrames(aBytes)) {
    size_t k = FNextCommand;
    while (k < FCommands.size() && FCommands[k].Bytes != frame) ++k;
    // A command the capture never saw goes unanswered, as a modem would leave it.
    if (k == FCommands.size()) continue;
    // What the modem said before the command was read before it: it is due now.
    const size_t record = FCommands[k].Record;
    for (; FNext <= record; ++FNext) {
      if (c[FNext].Direction == TCaptureDirection::FromModem) ReleaseLocked(FNext);
      PassLocked(FNext);
    }
    FNextCommand = k + 1;
    AnchorLocked(FTimes[record]);
    matched = true;
  }
  if (matched) {
    FBlockedSince.reset();
    ProgressLocked();
  }
  return 0;
}

// --- TReplayDevice ------------------------------------------------------------------------------

int TReplayDevice::Open(const std::string& aPath) { return FSource.Attach(this, aPath); }

intptr_t TReplayDevice::NativeHandle() const { return IsOpen() ? 1 : -1; }

int TReplayDevice::GetState(TDeviceControlBlock& aDcb) {
  if (!IsOpen()) return EBADF;
  std::lock_guard lock(FDcbLock);
  aDcb = FDcb;
  aDcb.DCBlength = sizeof(TDeviceControlBlock);
  return 0;
}

int TReplayDevice::SetState(const TDeviceControlBlock& aDcb) {
  if (!IsOpen()) return EBADF;
  std::lock_guard lock(FDcbLock);
  FDcb = aDcb;
  return 0;
}

int TReplayDevice::EscapeFunction(uint32_t aCommand) {
  if (!IsOpen()) return EBADF;
  return aCommand >= kSetRts && aCommand <= kClrDtr ? 0 : EINVAL;
}

int TReplayDevice::SetWaitMask(uint32_t aMask) {
  if (!IsOpen()) return EBADF;
  FSource.SetWatching(this, aMask != 0);
  return 0;
}

std::unique_ptr<TDeviceStopSignal> TReplayDevice::CreateStopSignal() {
  return std::make_unique<TReplaySource::TStopSignal>(FSource);
}

TDeviceWaitResult TReplayDevice::WaitEvent(const TDeviceStopSignal& aStop, int& aError) {
  aError = 0;
  return FSource.Wait(this, aStop);
}

int TReplayDevice::Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal*) {
  aWritten = 0;
  if (aSize > 0 && !aData) return EINVAL;
  const int error = FSource.Write(this, TByteView(static_cast<const char*>(aData), aSize));
  if (error == 0) aWritten = aSize;
  return error;
}
