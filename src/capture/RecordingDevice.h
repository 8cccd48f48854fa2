// Recording devices: serial devices that pass everything on to a real one and put every read and
// write of the modem's port into a capture, together with the monitor's marks (a reader that
// starts, a timer that runs) that a replay needs to do the same at the same place.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "capture/CaptureRecorder.h"
#include "serial/SerialDevice.h"

class TRecordingDevice;

// What the recording devices of one program share. The window opens every candidate port to
// probe it; only the port the session then takes belongs in the capture, so a probe's exchange
// is held back until the session opens the same device (the last exchange with something in it
// per device), and dropped otherwise.
class TCaptureTap {
 public:
  explicit TCaptureTap(TCaptureRecorder& aRecorder);
  ~TCaptureTap();
  TCaptureTap(const TCaptureTap&) = delete;
  TCaptureTap& operator=(const TCaptureTap&) = delete;

  // Devices of the session's port: recorded from the moment they open.
  TSerialDeviceFactory SessionDevices(TSerialDeviceFactory aInner = CreatePosixSerialDevice);
  // Devices opened to probe or test a port.
  TSerialDeviceFactory ProbeDevices(TSerialDeviceFactory aInner = CreatePosixSerialDevice);

  // A timer of the window logic is about to run (user-interface thread). Waits a little until
  // every reader has dealt with what it read, marks the tick in the capture while the session's
  // port is open, and keeps readers from taking more bytes until TickEnds: the capture then
  // says exactly which reads the tick saw.
  void TickBegins(uint8_t aTimer);
  void TickEnds();

 private:
  friend class TRecordingDevice;
  enum class TRole { Session, Probe };
  struct TDeviceState {
    TRole Role = TRole::Probe;
    bool Open = false;
    std::string Path;
    bool Watching = false;  // a reader waits on it (between its wait mask and the end)
    bool InWait = false;    // that reader is inside its wait, with everything read dealt with
    std::vector<TCaptureRecord> Held;  // a probe's exchange
  };

  TSerialDeviceFactory Factory(TRole aRole, TSerialDeviceFactory aInner);
  void Register(TRecordingDevice* aDevice, TRole aRole);
  void Unregister(TRecordingDevice* aDevice);
  void Opened(TRecordingDevice* aDevice, const std::string& aPath);
  void Closed(TRecordingDevice* aDevice);
  void Record(TRecordingDevice* aDevice, TCaptureDirection aDirection, TByteView aPayload);
  void Watching(TRecordingDevice* aDevice, bool aWatching);
  // Around the real wait; AfterWait holds the reader while a tick runs (false: stopped meanwhile).
  void BeforeWait(TRecordingDevice* aDevice);
  bool AfterWait(TRecordingDevice* aDevice, const TDeviceStopSignal& aStop);
  void RecordLocked(TDeviceState& aState, TCaptureDirection aDirection, TByteView aPayload);
  void EndExchange(TDeviceState& aState);
  bool SessionOpenLocked() const;

  TCaptureRecorder& FRecorder;
  std::mutex FLock;
  std::condition_variable FChanged;
  std::map<TRecordingDevice*, TDeviceState> FDevices;
  std::map<std::string, std::vector<TCaptureRecord>> FLastExchange;  // per device path
  int FTicks = 0;  // ticks in progress (a tick's handler may pump another timer)
};

// Passes every operation to the device it wraps; tells the tap what crossed.
class TRecordingDevice final : public TSerialDevice {
 public:
  TRecordingDevice(std::unique_ptr<TSerialDevice> aInner, TCaptureTap& aTap, TCaptureTap::TRole aRole);
  ~TRecordingDevice() override;

  int Open(const std::string& aPath) override;
  bool IsOpen() const override { return FInner->IsOpen(); }
  void Close() override;
  intptr_t NativeHandle() const override { return FInner->NativeHandle(); }
  int GetState(TDeviceControlBlock& aDcb) override { return FInner->GetState(aDcb); }
  int SetState(const TDeviceControlBlock& aDcb) override { return FInner->SetState(aDcb); }
  int EscapeFunction(uint32_t aCommand) override { return FInner->EscapeFunction(aCommand); }
  int Purge(uint32_t aFlags) override { return FInner->Purge(aFlags); }
  int Flush() override { return FInner->Flush(); }
  int SetWaitMask(uint32_t aMask) override;
  std::unique_ptr<TDeviceStopSignal> CreateStopSignal() override { return FInner->CreateStopSignal(); }
  TDeviceWaitResult WaitEvent(const TDeviceStopSignal& aStop, int& aError) override;
  int QueuedBytes(uint32_t& aCount) override { return FInner->QueuedBytes(aCount); }
  int Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop) override;
  int Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal* aStop) override;

 private:
  std::unique_ptr<TSerialDevice> FInner;
  TCaptureTap& FTap;
};
