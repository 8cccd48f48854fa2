// The serial port component: opening, settings, line commands, direct transfers, and the
// ownership of its reader and writer threads.
#include "serial/XuComPort.h"

#include <cerrno>
#include <system_error>

#include "common/SystemError.h"

namespace {

constexpr uint32_t kBaudRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                                   19200, 38400, 56000, 57600, 115200, 128000, 256000, 0};
constexpr uint32_t kFlowControlFlags[] = {0x0000, kDcbOutX | kDcbInX,
                                          kDcbRtsHandshake | kDcbDtrHandshake | kDcbOutxDsrFlow | kDcbOutxCtsFlow};
constexpr uint32_t kOptionFlags[] = {kDcbParityCheck, kDcbDsrSensitivity, kDcbTxContinueOnXoff, kDcbErrorChar,
                                     kDcbNull};

[[noreturn]] void Raise(const std::string& aMessage) { throw EXuComPortError(aMessage); }

}  // namespace

// Pins the present reader and writer; a finished thread object is only destroyed while no pin
// is held, so a pointer taken here stays valid until the pin goes.
class TCustomXuComPort::TThreadPin {
 public:
  explicit TThreadPin(TCustomXuComPort& aPort) : FPort(aPort) {
    std::lock_guard lock(FPort.FThreadLock);
    ++FPort.FThreadPins;
    FReader = FPort.FReadThread.get();
    FWriter = FPort.FWriteThread.get();
  }
  ~TThreadPin() {
    std::lock_guard lock(FPort.FThreadLock);
    --FPort.FThreadPins;
  }
  TThreadPin(const TThreadPin&) = delete;
  TThreadPin& operator=(const TThreadPin&) = delete;

  TXuReadThread* Reader() const { return FReader; }
  TXuWriteThread* Writer() const { return FWriter; }

 private:
  TCustomXuComPort& FPort;
  TXuReadThread* FReader;
  TXuWriteThread* FWriter;
};

TCustomXuComPort::TCustomXuComPort(TComponent* AOwner) : TComponent(AOwner) {}

TCustomXuComPort::~TCustomXuComPort() {
  // Each thread object stops, wakes and joins its thread as it is destroyed. The device itself
  // is released with the last reference to it.
  std::vector<std::unique_ptr<TXuReadThread>> readers;
  std::vector<std::unique_ptr<TXuWriteThread>> writers;
  {
    std::lock_guard lock(FThreadLock);
    if (FReadThread) readers.push_back(std::move(FReadThread));
    if (FWriteThread) writers.push_back(std::move(FWriteThread));
    for (auto& r : FFinishedReaders) readers.push_back(std::move(r));
    for (auto& w : FFinishedWriters) writers.push_back(std::move(w));
    FFinishedReaders.clear();
    FFinishedWriters.clear();
  }
  readers.clear();
  writers.clear();
}

void TCustomXuComPort::Loaded() {
  TComponent::Loaded();
  ApplySettings();
}

std::shared_ptr<TSerialDevice> TCustomXuComPort::MakeDevice() const {
  std::unique_ptr<TSerialDevice> device = FDeviceFactory ? FDeviceFactory() : nullptr;
  if (!device) device = CreatePosixSerialDevice();
  return std::shared_ptr<TSerialDevice>(std::move(device));
}

std::shared_ptr<TSerialDevice> TCustomXuComPort::CurrentDevice() const {
  {
    std::lock_guard lock(FThreadLock);
    if (FDevice) return FDevice;
  }
  return MakeDevice();
}

void TCustomXuComPort::ReapFinishedThreads() {
  std::vector<std::unique_ptr<TXuReadThread>> readers;
  std::vector<std::unique_ptr<TXuWriteThread>> writers;
  {
    std::lock_guard lock(FThreadLock);
    if (FThreadPins > 0) return;
    readers.swap(FFinishedReaders);
    writers.swap(FFinishedWriters);
  }
  // Their bodies have ended (or are returning): the joins are short.
}

bool TCustomXuComPort::Open() {
  // A second Open would otherwise leave the first descriptor open and the port locked.
  if (Active()) Close();
  ReapFinishedThreads();
  const TPortTable& table = FPortTable ? *FPortTable : TPortTable::Instance();
  const std::optional<std::string> path = table.PathOf(FPortNumber);
  if (!path) Raise("Device is not connected: " + GetPortName());
  std::shared_ptr<TSerialDevice> device = MakeDevice();
  if (const int error = device->Open(*path)) {
    if (error == ENOENT) Raise("Device is not connected: " + GetPortName());
    Raise(SysErrorMessage(error) + ": COM" + std::to_string(FPortNumber));
  }
  {
    std::lock_guard lock(FThreadLock);
    FDevice = device;
  }
  ++FOpenCount;
  FDCB = {};
  FDCB.DCBlength = sizeof(TDeviceControlBlock);
  if (const int error = device->GetState(FDCB)) Raise("Failed to get port DCB!\r\n" + SysErrorMessage(error));
  // Opening raises both lines; the ones commanded so far must hold from the first byte on. A
  // device without modem lines (a pty) refuses, which is never reported.
  device->EscapeFunction(FDTR ? kSetDtr : kClrDtr);
  device->EscapeFunction(FRTS ? kSetRts : kClrRts);
  return true;
}

void TCustomXuComPort::Close() {
  FClosing = true;
  ClearBuffers();
  {
    TThreadPin pin(*this);
    if (pin.Reader()) pin.Reader()->StopThread();
    if (pin.Writer()) pin.Writer()->StopThread();
  }
  std::shared_ptr<TSerialDevice> device;
  {
    std::lock_guard lock(FThreadLock);
    device.swap(FDevice);
  }
  if (device) device->Close();
  FClosing = false;
  ReapFinishedThreads();
}

void TCustomXuComPort::ClearBuffers() {
  std::shared_ptr<TSerialDevice> device;
  {
    std::lock_guard lock(FThreadLock);
    device = FDevice;
  }
  if (!device || !device->IsOpen()) return;
  device->Purge(kPurgeAll);
  device->Flush();
}

void TCustomXuComPort::ApplySettings() {
  if (Loading()) return;
  FDCB = {};
  FDCB.DCBlength = sizeof(TDeviceControlBlock);
  FDCB.BaudRate = static_cast<uint32_t>(GetNumericBaudRate());
  FDCB.ByteSize = static_cast<uint8_t>(4 + FDataBits);
  FDCB.Parity = FParity;
  FDCB.StopBits = FStopBits;
  FDCB.XonChar = FXOnChar;
  FDCB.XoffChar = FXOffChar;
  FDCB.XonLim = FXOnLim;
  FDCB.XoffLim = FXOffLim;
  FDCB.EofChar = FEOfChar;
  FDCB.EvtChar = FEvtChar;
  FDCB.ErrorChar = 0;
  uint32_t flags = kFlowControlFlags[FFlowControl] | kDcbBinary;
  for (int option = coParityCheck; option <= coStripNull; ++option)
    if (FOptions.Contains(static_cast<TXuComOption>(option))) flags |= kOptionFlags[option];
  FDCB.Flags = flags;
  if (!Active()) return;
  if (const int error = CurrentDevice()->SetState(FDCB)) Raise("Failed to set port DCB!\r\n" + SysErrorMessage(error));
}

void TCustomXuComPort::StartRead() {
  ReapFinishedThreads();
  {
    TThreadPin pin(*this);
    if (TXuReadThread* reader = pin.Reader()) {
      if (!reader->Suspended()) Raise("Read thread is already running!");
      reader->Resume();
      return;
    }
  }
  ApplySettings();
  FThreadError = false;
  SetThreadErrorText({});
  FReadDoneEvent.Reset();
  const uint32_t mask = FEventMask == evFlag ? kEvRxFlag : kEvRxChar;
  std::shared_ptr<TSerialDevice> device = CurrentDevice();
  std::lock_guard lock(FThreadLock);
  if (FReadThread) Raise("Read thread is already running!");
  try {
    FReadThread = std::make_unique<TXuReadThread>(this, std::move(device), mask);
    FReadThread->Start(FProcNumber);
  } catch (const std::system_error& e) {
    // Out of descriptors or threads.
    FReadThread.reset();
    Raise(SysErrorMessage(e.code().value()));
  }
}

void TCustomXuComPort::StopRead() {
  TThreadPin pin(*this);
  if (pin.Reader()) pin.Reader()->StopThread();
}

void TCustomXuComPort::StopWrite() {
  TThreadPin pin(*this);
  if (pin.Writer()) pin.Writer()->StopThread();
}

void TCustomXuComPort::PauseRead() {
  TThreadPin pin(*this);
  if (!pin.Reader()) Raise("Read thread is not created!");
  pin.Reader()->Suspend();
}

void TCustomXuComPort::ResumeRead() {
  TThreadPin pin(*this);
  if (!pin.Reader()) Raise("Read thread is not created!");
  if (pin.Reader()->Suspended()) pin.Reader()->Resume();
}

int TCustomXuComPort::ReadData(void* Data, int Size) {
  if (FClosing) return -1;
  std::lock_guard cs(FCS);
  TThreadPin pin(*this);
  if (!pin.Reader()) return -1;
  if (!Data || Size <= 0) return 0;
  return static_cast<int>(pin.Reader()->ReadData(Data, static_cast<uint32_t>(Size)));
}

TByteString TCustomXuComPort::ReadString() {
  if (FClosing) return {};
  TThreadPin pin(*this);
  if (!pin.Reader()) return {};
  TByteString data(FDataSize, '\0');
  // A short read must not hand out bytes that never arrived.
  data.resize(pin.Reader()->ReadData(data.data(), static_cast<uint32_t>(data.size())));
  return data;
}

bool TCustomXuComPort::DirectRead(TByteString& Data, int& Size) {
  Data.clear();
  Size = -1;
  if (!ReadDone()) {
    DoError("Read thread is already running!");
    return false;
  }
  const std::shared_ptr<TSerialDevice> device = CurrentDevice();
  // Only the transmit side is purged: an answer that arrived before the call is the one the
  // caller is after.
  if (const int error = device->Purge(kPurgeTxAbort | kPurgeTxClear)) {
    DoError("*** Error cleaning Com-port:\r\n" + SysErrorMessage(error));
    return false;
  }
  uint32_t queued = 0;
  if (const int error = device->QueuedBytes(queued)) {
    DoError("*** Failed to read from Com-port:\r\n" + SysErrorMessage(error));
    return false;
  }
  if (queued == 0) {
    // Waits without a time-out, as the reader does; closing the port ends the wait.
    const std::unique_ptr<TDeviceStopSignal> never = device->CreateStopSignal();
    int error = device->SetWaitMask(FEventMask == evFlag ? kEvRxFlag : kEvRxChar);
    TDeviceWaitResult result = TDeviceWaitResult::Failed;
    if (error == 0) result = device->WaitEvent(*never, error);
    // The reader leaves no mask behind either.
    device->SetWaitMask(0);
    if (result == TDeviceWaitResult::Stopped) return false;
    if (result == TDeviceWaitResult::Failed) {
      DoError("*** Failed to read from Com-port:\r\n" + SysErrorMessage(error));
      return false;
    }
    if (const int queryError = device->QueuedBytes(queued)) {
      DoError(SysErrorMessage(queryError));
      return false;
    }
  }
  if (queued == 0) return false;
  Data.assign(queued, '\0');
  uint32_t read = 0;
  const int error = device->Read(Data.data(), queued, read, nullptr);
  Data.resize(read);
  Size = static_cast<int>(read);
  if (error) {
    DoError(SysErrorMessage(error));
    return false;
  }
  return true;
}

bool TCustomXuComPort::DirectWriteData(const void* Data, int Size) {
  if (Size < 0 || (!Data && Size > 0)) return false;
  uint32_t written = 0;
  const int error = CurrentDevice()->Write(Data, static_cast<uint32_t>(Size), written, nullptr);
  return error == 0 && written == static_cast<uint32_t>(Size);
}

void TCustomXuComPort::WriteData(const void* Data, int Size) {
  ReapFinishedThreads();
  std::shared_ptr<TSerialDevice> device = CurrentDevice();
  std::lock_guard lock(FThreadLock);
  if (FWriteThread) Raise("Write thread is already running!");
  FThreadError = false;
  sThreadError.clear();
  FWriteDoneEvent.Reset();
  try {
    FWriteThread = std::make_unique<TXuWriteThread>(this, std::move(device), Data, Size);
    FWriteThread->Start();
  } catch (const std::system_error& e) {
    FWriteThread.reset();
    Raise(SysErrorMessage(e.code().value()));
  }
}

int TCustomXuComPort::GetNumericBaudRate() const { return static_cast<int>(kBaudRates[FBaudRate]); }

std::string TCustomXuComPort::GetPortName() const { return "COM" + std::to_string(FPortNumber); }

#define XU_SETTING(Setter, Field, Type)  \
  void TCustomXuComPort::Setter(Type aValue) { \
    if (Field == aValue) return;         \
    Field = aValue;                      \
    ApplySettings();                     \
  }

XU_SETTING(SetBaudRate, FBaudRate, TXuBaudRate)
XU_SETTING(SetDataBits, FDataBits, TXuDataBits)
XU_SETTING(SetParity, FParity, TXuParity)
XU_SETTING(SetStopBits, FStopBits, TXuStopBits)
XU_SETTING(SetFlowControl, FFlowControl, TXuFlowControl)
XU_SETTING(SetOptions, FOptions, TXuComOptions)
XU_SETTING(SetXOnChar, FXOnChar, char)
XU_SETTING(SetXOffChar, FXOffChar, char)
XU_SETTING(SetEofChar, FEOfChar, char)
XU_SETTING(SetEvtChar, FEvtChar, char)
XU_SETTING(SetEventMask, FEventMask, TXuEventMask)

#undef XU_SETTING

// Line commands fail on devices without modem lines (a pty); the component never reports them.
void TCustomXuComPort::SetDTR(bool aValue) {
  if (FDTR == aValue) return;
  if (Active()) CurrentDevice()->EscapeFunction(aValue ? kSetDtr : kClrDtr);
  FDTR = aValue;
}

void TCustomXuComPort::SetRTS(bool aValue) {
  if (FRTS == aValue) return;
  if (Active()) CurrentDevice()->EscapeFunction(aValue ? kSetRts : kClrRts);
  FRTS = aValue;
}

TXuReadThread* TCustomXuComPort::ReadThread() const {
  std::lock_guard lock(FThreadLock);
  return FReadThread.get();
}

TXuWriteThread* TCustomXuComPort::WriteThread() const {
  std::lock_guard lock(FThreadLock);
  return FWriteThread.get();
}

uintptr_t TCustomXuComPort::Handle() const {
  std::shared_ptr<TSerialDevice> device;
  {
    std::lock_guard lock(FThreadLock);
    device = FDevice;
  }
  const intptr_t handle = device ? device->NativeHandle() : -1;
  return handle < 0 ? INVALID_HANDLE_VALUE : static_cast<uintptr_t>(handle);
}

bool TCustomXuComPort::Active() const { return Handle() != INVALID_HANDLE_VALUE; }

bool TCustomXuComPort::ReadDone() const {
  std::lock_guard lock(FThreadLock);
  return !FReadThread;
}

bool TCustomXuComPort::WriteDone() {
  {
    std::lock_guard lock(FThreadLock);
    if (!FWriteThread) return true;
  }
  return FWriteDoneEvent.WaitFor(std::chrono::milliseconds(100));
}

TDeviceControlBlock TCustomXuComPort::DCB() const { return FDCB; }

std::string TCustomXuComPort::ThreadErrorText() const {
  std::lock_guard lock(FThreadLock);
  return sThreadError;
}

void TCustomXuComPort::SetThreadErrorText(const std::string& aText) {
  std::lock_guard lock(FThreadLock);
  sThreadError = aText;
}

void TCustomXuComPort::DoData(uint32_t len) {
  if (OnData) OnData(this, len);
}

void TCustomXuComPort::DoDataWrite(uint32_t len, bool success) {
  if (OnDataWrite) OnDataWrite(this, len, success);
}

void TCustomXuComPort::DoError(const std::string& aText) {
  FThreadError = true;
  SetThreadErrorText(aText);
  if (OnError) OnError(this, aText);
}

void TCustomXuComPort::ReadThreadDone(TXuReadThread* aThread) {
  {
    std::lock_guard lock(FThreadLock);
    if (FReadThread.get() == aThread) FFinishedReaders.push_back(std::move(FReadThread));
  }
  FReadDoneEvent.Set();
}

void TCustomXuComPort::WriteThreadDone(TXuWriteThread* aThread) {
  {
    std::lock_guard lock(FThreadLock);
    if (FWriteThread.get() == aThread) FFinishedWriters.push_back(std::move(FWriteThread));
  }
  FWriteDoneEvent.Set();
}
