// A capture played back as a modem's port: devices that the window opens, probes and reads like
// any other, answering each command with what the modem answered after it in the capture and
// delivering the modem's stream with the recorded spacing, or, at the maximum speed, as fast as
// the monitor takes it, stepped by the window's loop on a virtual clock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture/ReplayCapture.h"
#include "serial/SerialDevice.h"

struct TReplaySpeed {
  bool Max = false;
  double Factor = 1;  // without Max: the recorded spacing is divided by it
};

class TReplayDevice;

class TReplaySource {
 public:
  using TClock = std::chrono::steady_clock;

  // What one step at the maximum speed did.
  struct TStep {
    enum class TKind {
      Busy,       // the reader still has bytes to take, or is dealing with them
      Blocked,    // waiting for the monitor: a command, a reader, anything outside the replay
      Released,   // bytes of the modem are ready for the reader
      Advanced,   // virtual time moved to the next timer due
      FireTimer,  // the monitor's timer Timer ran here when the capture was made
      Ended,      // the end of the capture: the modem has been unplugged
    };
    TKind Kind = TKind::Blocked;
    uint8_t Timer = 0;
  };

  // aDevicePath: the path the replay's port goes by (devices opened on any other are absent).
  TReplaySource(std::shared_ptr<const TReplayCapture> aCapture, std::string aDevicePath, TReplaySpeed aSpeed);
  ~TReplaySource();
  TReplaySource(const TReplaySource&) = delete;
  TReplaySource& operator=(const TReplaySource&) = delete;

  const TReplayCapture& Capture() const { return *FCapture; }
  const std::string& DevicePath() const { return FDevicePath; }
  const TReplaySpeed& Speed() const { return FSpeed; }

  // Replay devices. The source must outlive them.
  TSerialDeviceFactory Devices();

  // Called once when the end of the capture is reached (the modem goes away), on the thread
  // that found it, with no lock held.
  void SetOnUnplug(std::function<void()> aOnUnplug);
  // Called, possibly with the source's lock held, whenever a step may have become possible: it
  // must only wake someone (the window's loop), never call back into the source.
  void SetOnProgress(std::function<void()> aOnProgress);

  // The recorded wall time at the replay's present.
  std::chrono::system_clock::time_point RecordedNow() const;
  // Virtual time from the first record on (maximum speed).
  std::chrono::nanoseconds VirtualNow() const;

  // Maximum speed, on the user-interface thread. aNextDue: the virtual time at which the earliest
  // enabled timer falls due. Moves the replay on by one step once the reader has dealt with all
  // it was given: the modem's bytes up to the next command, reader start or timer tick of the
  // capture are released together; a timer tick of the capture becomes FireTimer.
  TStep Step(std::optional<std::chrono::nanoseconds> aNextDue);
  // At maximum speed while the capture's timer ticks lie ahead: timers run only where it says.
  bool TimersFollowMarks() const;
  // Moves virtual time on regardless of the capture: for a monitor that waits for a timer the
  // capture never marks (its run has gone another way).
  void AdvanceTo(std::chrono::nanoseconds aTime);
  bool Ended() const;
  uint64_t BytesRead() const;

 private:
  friend class TReplayDevice;
  class TStopSignal;

  // For the devices.
  int Attach(TReplayDevice* aDevice, const std::string& aPath);
  void Detach(TReplayDevice* aDevice);
  bool IsAttached(const TReplayDevice* aDevice) const;
  void SetWatching(TReplayDevice* aDevice, bool aWatching);
  TDeviceWaitResult Wait(TReplayDevice* aDevice, const TDeviceStopSignal& aStop);
  int Queued(TReplayDevice* aDevice, uint32_t& aCount);
  int Read(TReplayDevice* aDevice, void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop);
  int Write(TReplayDevice* aDevice, TByteView aBytes);
  void Notify();

  using TLock = std::unique_lock<std::mutex>;
  bool QuiescentLocked() const;
  // Whether the record holds the end of a command the monitor has not written yet.
  bool CommandsPendingLocked(size_t aRecord) const { return FNextCommand < FCommandsThrough[aRecord]; }
  // Passes a record the replay waits on no longer: what it marks counts as done.
  void PassLocked(size_t aRecord);
  bool ReaderStartConsumableLocked() const;
  void ReleaseLocked(size_t aIndex);
  void AnchorLocked(int64_t aRecordUs);
  std::chrono::nanoseconds VirtualTimeOfLocked(size_t aIndex) const;
  TClock::time_point RealTimeOfLocked(size_t aIndex) const;
  // Whether a command or reader the replay has waited for too long is given up.
  bool GiveUpLocked(size_t aIndex, TClock::time_point aNow);
  // Real-time pacing: releases what is due; the time of the next thing to do.
  std::optional<TClock::time_point> PaceLocked(TClock::time_point aNow);
  bool AtEndLocked() const;
  // Marks the end; the caller runs the returned callback once the lock is let go.
  std::function<void()> UnplugLocked();
  void ProgressLocked();

  const std::shared_ptr<const TReplayCapture> FCapture;
  const std::string FDevicePath;
  const TReplaySpeed FSpeed;
  const bool FFollowMarks;
  // The monitor's commands in the capture, frame by frame, whatever reads and writes carried
  // them, each with the record its flag came in; and per record the count of frames complete
  // up to it.
  struct TCommandFrame {
    TByteString Bytes;
    size_t Record;
  };
  std::vector<TCommandFrame> FCommands;
  std::vector<int64_t> FTimes;  // each record's time in the replay, microseconds
  std::vector<size_t> FCommandsThrough;
  size_t FLastModemRecord = 0;    // index of the last record from the modem
  size_t FLastContentRecord = 0;  // of the last one that a replay must reach (modem bytes, ticks)

  mutable std::mutex FLock;
  std::condition_variable FChanged;
  std::function<void()> FOnUnplug;
  std::function<void()> FOnProgress;

  TReplayDevice* FAttached = nullptr;
  bool FWatching = false;  // a reader waits on the attached device
  bool FInWait = false;    // and is inside its wait, having taken everything
  uint64_t FReaderStarts = 0;
  uint64_t FReaderStartsAtMark = 0;  // reader starts when the capture's last one was passed

  size_t FNext = 0;  // the first record not yet released or passed
  size_t FNextCommand = 0;  // the first command frame the monitor has not written
  struct TReady {
    size_t Record;
    size_t Offset;
  };
  std::deque<TReady> FReady;
  uint64_t FReadyBytes = 0;
  uint64_t FBytesRead = 0;
  bool FUnplugged = false;

  // Recorded time FAnchorUs happened at virtual time FAnchorVirtual, or at real time FAnchorReal.
  int64_t FAnchorUs = 0;
  std::chrono::nanoseconds FAnchorVirtual{0};
  std::optional<TClock::time_point> FAnchorReal;  // set when the first device opens
  std::chrono::nanoseconds FVirtualNow{0};
  std::optional<TClock::time_point> FBlockedSince;
  size_t FBlockedAt = 0;
};

// The replay's port as a serial device.
class TReplayDevice final : public TSerialDevice {
 public:
  explicit TReplayDevice(TReplaySource& aSource) : FSource(aSource) {}
  ~TReplayDevice() override { Close(); }

  int Open(const std::string& aPath) override;
  bool IsOpen() const override { return FSource.IsAttached(this); }
  void Close() override { FSource.Detach(this); }
  intptr_t NativeHandle() const override;
  int GetState(TDeviceControlBlock& aDcb) override;
  int SetState(const TDeviceControlBlock& aDcb) override;
  int EscapeFunction(uint32_t aCommand) override;
  // Nothing is thrown away: every byte in the capture was read by the monitor that made it.
  int Purge(uint32_t) override { return IsOpen() ? 0 : EBADF; }
  int Flush() override { return IsOpen() ? 0 : EBADF; }
  int SetWaitMask(uint32_t aMask) override;
  std::unique_ptr<TDeviceStopSignal> CreateStopSignal() override;
  TDeviceWaitResult WaitEvent(const TDeviceStopSignal& aStop, int& aError) override;
  int QueuedBytes(uint32_t& aCount) override { return FSource.Queued(this, aCount); }
  int Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop) override {
    return FSource.Read(this, aData, aSize, aRead, aStop);
  }
  int Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal* aStop) override;

 private:
  TReplaySource& FSource;
  std::mutex FDcbLock;
  TDeviceControlBlock FDcb{};
};
