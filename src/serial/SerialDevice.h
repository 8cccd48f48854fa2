// The serial device layer: the few platform operations the port component is built on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The settings block handed to the device, field for field the platform's device control
// block as far as the component uses it.
struct TDeviceControlBlock {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;  // 0: leave the line speed as it is
  uint32_t Flags = 0;     // see the kDcb* bits
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;  // 4..8
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};

constexpr uint32_t kDcbBinary = 0x0001;
constexpr uint32_t kDcbParityCheck = 0x0002;
constexpr uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr uint32_t kDcbOutxDsrFlow = 0x0008;
constexpr uint32_t kDcbDtrHandshake = 0x0020;
constexpr uint32_t kDcbDsrSensitivity = 0x0040;
constexpr uint32_t kDcbTxContinueOnXoff = 0x0080;
constexpr uint32_t kDcbOutX = 0x0100;
constexpr uint32_t kDcbInX = 0x0200;
constexpr uint32_t kDcbErrorChar = 0x0400;
constexpr uint32_t kDcbNull = 0x0800;
constexpr uint32_t kDcbRtsHandshake = 0x2000;

// Line commands.
constexpr uint32_t kSetRts = 3;
constexpr uint32_t kClrRts = 4;
constexpr uint32_t kSetDtr = 5;
constexpr uint32_t kClrDtr = 6;

// Purge actions; the component always passes all four.
constexpr uint32_t kPurgeTxAbort = 0x1;
constexpr uint32_t kPurgeRxAbort = 0x2;
constexpr uint32_t kPurgeTxClear = 0x4;
constexpr uint32_t kPurgeRxClear = 0x8;
constexpr uint32_t kPurgeAll = 0xF;

// Device wait masks.
constexpr uint32_t kEvRxChar = 0x0001;
constexpr uint32_t kEvRxFlag = 0x0002;

// A manual-reset signal that interrupts a device wait of the same layer.
class TDeviceStopSignal {
 public:
  virtual ~TDeviceStopSignal() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  virtual bool IsSet() const = 0;
};

enum class TDeviceWaitResult {
  Event,    // the device has something to report (received bytes, or a line that went away)
  Stopped,  // the stop signal was set, or the device was closed
  Failed,   // the wait itself failed; the error code says why
};

// Every operation returns 0 or an errno-style error code. Operations on a closed device
// return EBADF and touch nothing, so a thread that outlives Close can never act on a
// descriptor that has been released (or reused).
class TSerialDevice {
 public:
  virtual ~TSerialDevice() = default;

  // Exclusive: a second open of the same device fails (EBUSY) until the first is closed.
  // ENOENT when the device does not exist.
  virtual int Open(const std::string& aPath) = 0;
  virtual bool IsOpen() const = 0;
  // Wakes every wait in progress, then releases the device.
  virtual void Close() = 0;
  // The native handle while open, -1 otherwise.
  virtual intptr_t NativeHandle() const = 0;

  virtual int GetState(TDeviceControlBlock& aDcb) = 0;
  virtual int SetState(const TDeviceControlBlock& aDcb) = 0;
  virtual int EscapeFunction(uint32_t aCommand) = 0;
  virtual int Purge(uint32_t aFlags) = 0;
  virtual int Flush() = 0;
  virtual int SetWaitMask(uint32_t aMask) = 0;

  virtual std::unique_ptr<TDeviceStopSignal> CreateStopSignal() = 0;
  // Waits, without a time-out, until the wait mask's event occurs, the stop signal is set or
  // the device is closed.
  virtual TDeviceWaitResult WaitEvent(const TDeviceStopSignal& aStop, int& aError) = 0;
  // The number of received bytes queued at the device; fails (for example EIO) once the far
  // end is gone and nothing is left to read.
  virtual int QueuedBytes(uint32_t& aCount) = 0;
  // Reads up to aSize bytes that are already queued; waits for the rest of a read in progress
  // only while the stop signal is clear and the device open.
  virtual int Read(void* aData, uint32_t aSize, uint32_t& aRead, const TDeviceStopSignal* aStop) = 0;
  // Writes all aSize bytes unless the stop signal is set, the device closes or it fails.
  virtual int Write(const void* aData, uint32_t aSize, uint32_t& aWritten, const TDeviceStopSignal* aStop) = 0;
};

using TSerialDeviceFactory = std::function<std::unique_ptr<TSerialDevice>()>;

// termios, flock and TIOCEXCL, poll() with an eventfd.
std::unique_ptr<TSerialDevice> CreatePosixSerialDevice();
