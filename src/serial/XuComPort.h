// The serial port component: opens a COM port, applies its line settings, and delivers received
// bytes through OnData on a reader thread; writes directly or through a one-shot writer thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/ByteString.h"
#include "common/Component.h"
#include "common/Events.h"
#include "serial/PortTable.h"
#include "serial/SerialDevice.h"

enum TXuBaudRate : uint8_t {
  br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000, brUser
};
enum TXuDataBits : uint8_t { dbFourBits, dbFiveBits, dbSixBits, dbSevenBits, dbEightBits };
enum TXuParity : uint8_t { prNoParity, prOddParity, prEvenParity, prMarkParity, prSpaceParity };
enum TXuStopBits : uint8_t { stbOneStopBits, stbOne5StopBits, stbTwoStopBits };
enum TXuFlowControl : uint8_t { fcNone, fcXOnXOff, fcHardware };
enum TXuEventMask : uint8_t { evChar, evFlag };
enum TXuComOption : uint8_t { coParityCheck, coDsrSensitivity, coIgnoreXOff, coErrorChar, coStripNull };

// A set of options, bit n for the n-th option.
class TXuComOptions {
 public:
  constexpr TXuComOptions() = default;
  constexpr TXuComOptions(std::initializer_list<TXuComOption> aOptions) {
    for (auto o : aOptions) FBits = static_cast<uint8_t>(FBits | (1u << o));
  }
  constexpr bool Contains(TXuComOption aOption) const { return FBits & (1u << aOption); }
  constexpr TXuComOptions With(TXuComOption aOption) const { return FromBits(static_cast<uint8_t>(FBits | (1u << aOption))); }
  constexpr TXuComOptions Without(TXuComOption aOption) const { return FromBits(static_cast<uint8_t>(FBits & ~(1u << aOption))); }
  constexpr uint8_t Bits() const { return FBits; }
  static constexpr TXuComOptions FromBits(uint8_t aBits) {
    TXuComOptions o;
    o.FBits = aBits;
    return o;
  }
  constexpr bool operator==(const TXuComOptions&) const = default;

 private:
  uint8_t FBits = 0;
};

// Misuse and failures the caller must handle at once (opening, settings, a second thread).
class EXuComPortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TCustomXuComPort;
class TXuReadThread;
class TXuWriteThread;

using TOnDataEvent = std::function<void(TCustomXuComPort* Sender, uint32_t len)>;
using TOnDataWriteEvent = std::function<void(TCustomXuComPort* Sender, uint32_t len, bool success)>;
using TOnError = std::function<void(TCustomXuComPort* Sender, const std::string& aErrorMessage)>;

constexpr uintptr_t INVALID_HANDLE_VALUE = ~uintptr_t{0};

class TCustomXuComPort : public TComponent {
 public:
  explicit TCustomXuComPort(TComponent* AOwner = nullptr);
  ~TCustomXuComPort() override;
  void Loaded() override;

  // The table that resolves PortNumber to a device, and the device layer; set before Open.
  void SetPortTable(TPortTable* aTable) { FPortTable = aTable; }
  void SetDeviceFactory(TSerialDeviceFactory aFactory) { FDeviceFactory = std::move(aFactory); }

  // Throws EXuComPortError: "Device is not connected: COMn", "<system error text>: COMn" or
  // "Failed to get port DCB!\r\n<system error text>".
  bool Open();
  // Stops the threads (giving the reader 100 ms) and releases the device; does not wait for the
  // thread objects to disappear: poll ReadDone.
  void Close();
  void ClearBuffers();
  // Throws "Read thread is already running!" or a settings failure.
  void StartRead();
  void StopRead();
  // No data event fires between PauseRead and ResumeRead. Both throw "Read thread is not created!".
  void PauseRead();
  void ResumeRead();
  // -1 while closing or without a reader.
  int ReadData(void* Data, int Size);
  // The bytes announced by the current data event; call it from OnData.
  TByteString ReadString();
  // One read without a reader thread: what is queued, or else the next bytes to arrive, waiting
  // for them without a time-out until the port is closed (false, nothing reported). Size stays
  // -1 on failure.
  bool DirectRead(TByteString& Data, int& Size);
  // Blocking write from the caller's thread; true only when every byte was written.
  bool DirectWriteData(const void* Data, int Size);
  // The buffer is not copied: keep it valid until WriteDone. Throws "Write thread is already running!".
  void WriteData(const void* Data, int Size);
  void StopWrite();
  int GetNumericBaudRate() const;
  std::string GetPortName() const;

  TXuBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TXuBaudRate aValue);
  TXuDataBits DataBits() const { return FDataBits; }
  void SetDataBits(TXuDataBits aValue);
  TXuParity Parity() const { return FParity; }
  void SetParity(TXuParity aValue);
  TXuStopBits StopBits() const { return FStopBits; }
  void SetStopBits(TXuStopBits aValue);
  TXuFlowControl FlowControl() const { return FFlowControl; }
  void SetFlowControl(TXuFlowControl aValue);
  TXuComOptions Options() const { return FOptions; }
  void SetOptions(TXuComOptions aValue);
  char XOnChar() const { return FXOnChar; }
  void SetXOnChar(char aValue);
  char XOffChar() const { return FXOffChar; }
  void SetXOffChar(char aValue);
  char EofChar() const { return FEOfChar; }
  void SetEofChar(char aValue);
  char EvtChar() const { return FEvtChar; }
  void SetEvtChar(char aValue);
  TXuEventMask EventMask() const { return FEventMask; }
  void SetEventMask(TXuEventMask aValue);
  uint16_t XOnLimit() const { return FXOnLim; }
  void SetXOnLimit(uint16_t aValue) { FXOnLim = aValue; }
  uint16_t XOffLimit() const { return FXOffLim; }
  void SetXOffLimit(uint16_t aValue) { FXOffLim = aValue; }
  uint16_t PortNumber() const { return FPortNumber; }
  void SetPortNumber(uint16_t aValue) { FPortNumber = aValue; }
  uint32_t ProcNumber() const { return FProcNumber; }
  void SetProcNumber(uint32_t aValue) { FProcNumber = aValue; }
  bool DTR() const { return FDTR; }
  void SetDTR(bool aValue);
  bool RTS() const { return FRTS; }
  void SetRTS(bool aValue);

  TXuReadThread* ReadThread() const;
  TXuWriteThread* WriteThread() const;
  uintptr_t Handle() const;
  bool Active() const;
  bool ReadDone() const;
  // Consumes the write-done signal when it waits for it.
  bool WriteDone();
  // The settings block last read by Open or built by ApplySettings.
  TDeviceControlBlock DCB() const;
  bool ThreadError() const { return FThreadError; }
  std::string ThreadErrorText() const;
  uint32_t DataSize() const { return FDataSize; }
  // Successful opens so far: a data handler that sees it change reads from another device
  // than before (a modem unplugged and back, another port), not the rest of the old stream.
  uint64_t OpenCount() const { return FOpenCount; }

  TOnDataEvent OnData;
  TOnDataWriteEvent OnDataWrite;
  TOnError OnError;

 private:
  friend class TXuReadThread;
  friend class TXuWriteThread;

  void ApplySettings();
  void DoData(uint32_t len);
  void DoDataWrite(uint32_t len, bool success);
  void DoError(const std::string& aText);
  void ReadThreadDone(TXuReadThread* aThread);
  void WriteThreadDone(TXuWriteThread* aThread);
  void ReapFinishedThreads();
  void SetThreadErrorText(const std::string& aText);
  // The open device, or a device that was never opened (every operation answers EBADF).
  std::shared_ptr<TSerialDevice> CurrentDevice() const;
  std::shared_ptr<TSerialDevice> MakeDevice() const;

  // Keeps the thread objects alive while a call uses them outside FThreadLock.
  class TThreadPin;

  TPortTable* FPortTable = nullptr;
  TSerialDeviceFactory FDeviceFactory;
  std::shared_ptr<TSerialDevice> FDevice;
  uint16_t FPortNumber = 0;
  TDeviceControlBlock FDCB{};
  TXuBaudRate FBaudRate = br4800;
  TXuFlowControl FFlowControl = fcNone;
  TXuParity FParity = prNoParity;
  TXuStopBits FStopBits = stbOneStopBits;
  TXuDataBits FDataBits = dbEightBits;
  TXuEventMask FEventMask = evChar;
  char FXOnChar = 0x11, FXOffChar = 0x13;
  uint16_t FXOnLim = 0, FXOffLim = 0;
  char FEOfChar = 0, FEvtChar = 0;
  TXuComOptions FOptions;
  bool FDTR = false, FRTS = false;

  // Guards the device pointer, the thread objects and the error text; never held while an
  // event handler runs.
  mutable std::mutex FThreadLock;
  std::unique_ptr<TXuReadThread> FReadThread;
  std::unique_ptr<TXuWriteThread> FWriteThread;
  // Thread objects whose bodies have ended, joined by the next caller outside their threads.
  std::vector<std::unique_ptr<TXuReadThread>> FFinishedReaders;
  std::vector<std::unique_ptr<TXuWriteThread>> FFinishedWriters;
  int FThreadPins = 0;  // finished threads are not reaped while a call holds a pin
  TAutoResetEvent FReadDoneEvent;
  TAutoResetEvent FWriteDoneEvent;
  std::atomic<bool> FThreadError{false};
  std::string sThreadError;
  std::mutex FCS;  // held by ReadData
  std::atomic<bool> FClosing{false};
  std::atomic<uint32_t> FDataSize{0};
  std::atomic<uint64_t> FOpenCount{0};
  uint32_t FProcNumber = 0;
};

class TXuComPort : public TCustomXuComPort {
 public:
  using TCustomXuComPort::TCustomXuComPort;
};

// Waits for received data and fires the component's OnData with the queued count.
class TXuReadThread {
 public:
  // Created suspended: Start runs the body and returns once the device is purged and watched.
  TXuReadThread(TCustomXuComPort* aXuComPort, std::shared_ptr<TSerialDevice> aDevice, uint32_t aEventMask);
  ~TXuReadThread();
  void Start(uint32_t aProcNumber);
  uint32_t ReadData(void* Data, uint32_t Size);
  // Signals the stop event and sleeps 100 ms on the caller's thread; the body may still be in a
  // data handler afterwards.
  void StopThread();
  void Suspend();
  void Resume();
  bool Suspended() const;
  bool Terminated() const { return FTerminated; }
  int ThreadError() const;
  std::string ThreadErrorText() const;
  bool IsCurrentThread() const;

 private:
  void Execute();
  void RunLoop();
  void RequestStop();
  bool Stopping() const { return FTerminated; }
  // False when asked to stop while waiting.
  bool WaitWhilePaused();
  bool IdleUnlessStopping();
  void Fail(int aCode, const std::string& aText);

  TCustomXuComPort* FCustomComPort;
  std::shared_ptr<TSerialDevice> FDevice;
  uint32_t FEventMask;
  std::unique_ptr<TDeviceStopSignal> FStopEvent;
  std::atomic<bool> FTerminated{false};
  mutable std::mutex FLock;  // guards the pause state and the error fields
  std::condition_variable FStateChanged;
  bool FSuspended = false;
  bool FInDataEvent = false;
  int FThreadError = 0;
  std::string sThreadError;
  std::atomic<uint64_t> FBytesRead{0};  // through ReadData, to tell what a data handler took
  std::atomic<std::thread::id> FThreadId{};
  // Set once the body has purged the device and set its wait mask (or failed to): Start waits
  // for it, so that bytes arriving after StartRead are never thrown away by that purge.
  TManualResetEvent FSetUp;
  std::thread FThread;
};

// Performs exactly one write of the caller's buffer and reports its completion.
class TXuWriteThread {
 public:
  TXuWriteThread(TCustomXuComPort* aXuComPort, std::shared_ptr<TSerialDevice> aDevice, const void* aData, int aSize);
  ~TXuWriteThread();
  void Start();
  void StopThread();
  bool Terminated() const { return FTerminated; }
  int ThreadError() const;
  std::string ThreadErrorText() const;

 private:
  void Execute();
  void Fail(int aCode, const std::string& aText);

  TCustomXuComPort* FCustomComPort;
  std::shared_ptr<TSerialDevice> FDevice;
  const void* FData;
  int FSize;
  std::unique_ptr<TDeviceStopSignal> FStopEvent;
  std::atomic<bool> FTerminated{false};
  mutable std::mutex FLock;
  int FThreadError = 0;
  std::string sThreadError;
  std::thread FThread;
};
