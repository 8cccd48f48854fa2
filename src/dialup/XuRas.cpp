// The dial-up connection component, its notifier thread and the state and error texts.
#include "dialup/XuRas.h"

#include <cstdio>
#include <iterator>

#include "common/SystemError.h"

namespace {

struct TStateText {
  uint16_t State;
  const char* Text;
};

constexpr TStateText kStateTexts[] = {
    {RASCS_OpenPort, "Opening port..."},
    {RASCS_PortOpened, "Port open."},
    {RASCS_ConnectDevice, "Connecting device..."},
    {RASCS_DeviceConnected, "Device connected."},
    {RASCS_AllDevicesConnected, "All devices connected."},
    {RASCS_Authenticate, "Identification."},
    {RASCS_AuthNotify, "Identification's event."},
    {RASCS_AuthRetry, "Try to identification"},
    {RASCS_AuthCallback, "Callback request."},
    {RASCS_AuthChangePassword, "Password change request."},
    {RASCS_AuthProject, "Projection phase."},
    {RASCS_AuthLinkSpeed, "Compute connection's speed."},
    {RASCS_AuthAck, "Authentication"},
    {RASCS_ReAuthenticate, "ReAuthentication"},
    {RASCS_Authenticated, "Authentication complete."},
    {RASCS_PrepareForCallback, "Disconnecting line to callback..."},
    {RASCS_WaitForModemReset, "Waiting for modem reset."},
    {RASCS_WaitForCallback, "Waiting incomming call..."},
    {RASCS_Projected, "Projection complete."},
    {RASCS_SubEntryConnected, "Subentry connected."},
    {RASCS_SubEntryDisconnected, "Subentry disconnected."},
    {RASCS_Interactive, "Pause."},
    {RASCS_RetryAuthentication, "Repeat authentication."},
    {RASCS_CallbackSetByCaller, "Callback."},
    {RASCS_PasswordExpired, "Password expired."},
    {RASCS_Connected, "Connected."},
    {RASCS_Disconnected, "Disconnected."},
};

// A text of the dial records: at most aLimit characters, ending at the first null.
std::string RecordText(const std::string& aText, size_t aLimit) {
  std::string s = aText.substr(0, aText.find('\0'));
  if (s.size() > aLimit) s.resize(aLimit);
  return s;
}

}  // namespace

std::string RasErrorText(TDialupService& aService, uint32_t aCode) {
  std::string text;
  const uint32_t failure = aService.GetErrorString(aCode, text);
  if (failure != 0) return "Fail when get error string.\r\n" + SysErrorMessage(static_cast<int>(failure));
  return text.substr(0, text.find('\0'));
}

void RasStateText(uint32_t aState, std::string& aText) {
  const auto state = static_cast<uint16_t>(aState & 0xFFFF);
  for (const auto& t : kStateTexts) {
    if (t.State == state) {
      aText = t.Text;
      return;
    }
  }
}

// --- dial callback stub -----------------------------------------------------------------------

struct TRasDialStub {
  explicit TRasDialStub(TXuCustomRas* aTarget) : Target(aTarget) {}
  // Held while a step is delivered, so that releasing the stub waits for a step in flight.
  std::mutex Lock;
  TXuCustomRas* Target;

  void Deliver(TRasHandle aConn, uint32_t aMsg, TRASConnState aState, uint32_t aError) {
    std::lock_guard lock(Lock);
    if (Target) Target->RasDialCallback(aConn, aMsg, aState, aError);
  }
  void Refused(TRasHandle aConn, uint32_t aError) {
    std::lock_guard lock(Lock);
    if (Target) Target->HangUpRefused(aConn, aError);
  }
  void Release() {
    std::lock_guard lock(Lock);
    Target = nullptr;
  }
};

// --- notifier ---------------------------------------------------------------------------------

TXuRasNotifier::TXuRasNotifier(TXuCustomRas& aCustomRas, TRasHandle aConn, std::function<void()> aDoneEvent)
    : FCustomRas(aCustomRas),
      FConn(aConn),
      FDoneEvent(std::move(aDoneEvent)),
      FThread([this](std::stop_token aStop) { Execute(aStop); }) {}

TXuRasNotifier::~TXuRasNotifier() {
  FThread.request_stop();  // wakes the wait through its stop token
  if (FThread.joinable()) FThread.join();
}

void TXuRasNotifier::Stop() {
  {
    std::lock_guard lock(FLock);
    hBreakEvent = true;
  }
  FWake.notify_all();
}

void TXuRasNotifier::SignalWait() {
  {
    std::lock_guard lock(FLock);
    hWaitEvent = true;
  }
  FWake.notify_all();
}

void TXuRasNotifier::Execute(std::stop_token aStop) {
  // The events are fresh here and are not reset: a Stop that came before the thread ran must
  // still end it.
  TDialupService& service = FCustomRas.FService;
  TRasNotificationId id = 0;
  bool changed = false;
  const uint32_t registered = service.ConnectionNotification(FConn, [this] { SignalWait(); }, id);
  if (registered == RAS_ERR_INVALID_HANDLE) {
    // The connection ended before the watch began (a hang-up right after the connected step):
    // that is the change itself, or the component would stay connected to nothing.
    changed = true;
  } else if (registered == RAS_SUCCESS) {
    {
      std::unique_lock lock(FLock);
      FWake.wait(lock, aStop, [this] { return hWaitEvent || hBreakEvent; });
      // A change seen together with a stop still counts as the change.
      changed = hWaitEvent;
    }
    service.RemoveConnectionNotification(id);
  }
  if (changed) {
    FCustomRas.SetConnectedFlag(false);
    FCustomRas.DoDisconnect();
  }
  FFinished.store(true);
  if (FDoneEvent) FDoneEvent();
}

// --- component --------------------------------------------------------------------------------

TXuCustomRas::TXuCustomRas(TDialupService& aService, TComponent* AOwner)
    : TComponent(AOwner), FService(aService), FStub(std::make_shared<TRasDialStub>(this)) {
  FListsNotification = FService.ListsNotification([this] { ListsLearnt(); });
}

TXuCustomRas::~TXuCustomRas() {
  FService.RemoveListsNotification(FListsNotification);
  FStub->Release();
  std::unique_ptr<TXuRasNotifier> notifier;
  {
    std::lock_guard lock(FLock);
    notifier = std::move(FRasNotifier);
  }
  // Joined without the lock: the notifier's last steps take it.
  if (notifier) notifier->Stop();
  notifier.reset();
}

void TXuCustomRas::Loaded() { TComponent::Loaded(); }

void TXuCustomRas::SetChecked(std::string& aField, const std::string& aValue, size_t aLimit) {
  std::lock_guard lock(FLock);
  if (bConnected) throw EXuRasError(kRasAlreadyConnected);
  if (aValue.size() > aLimit) {
    char text[64];
    std::snprintf(text, sizeof text, "The value must be less than %d chars.", static_cast<int>(aLimit));
    throw EXuRasError(text);
  }
  aField = aValue;
}

std::string TXuCustomRas::EntryName() const {
  std::lock_guard lock(FLock);
  return sEntryName;
}
void TXuCustomRas::SetEntryName(const std::string& aValue) { SetChecked(sEntryName, aValue, RAS_MaxEntryName); }
std::string TXuCustomRas::PhoneNumber() const {
  std::lock_guard lock(FLock);
  return sPhoneNumber;
}
void TXuCustomRas::SetPhoneNumber(const std::string& aValue) { SetChecked(sPhoneNumber, aValue, RAS_MaxPhoneNumber); }
std::string TXuCustomRas::CallbackNumber() const {
  std::lock_guard lock(FLock);
  return sCallbackNumber;
}
void TXuCustomRas::SetCallbackNumber(const std::string& aValue) {
  SetChecked(sCallbackNumber, aValue, RAS_MaxCallbackNumber);
}
std::string TXuCustomRas::UserName() const {
  std::lock_guard lock(FLock);
  return sUserName;
}
void TXuCustomRas::SetUserName(const std::string& aValue) { SetChecked(sUserName, aValue, UNLEN); }
std::string TXuCustomRas::Password() const {
  std::lock_guard lock(FLock);
  return sPassword;
}
void TXuCustomRas::SetPassword(const std::string& aValue) { SetChecked(sPassword, aValue, PWLEN); }
std::string TXuCustomRas::Domain() const {
  std::lock_guard lock(FLock);
  return sDomain;
}
void TXuCustomRas::SetDomain(const std::string& aValue) { SetChecked(sDomain, aValue, DNLEN); }

void TXuCustomRas::SetOnRasError(TRasOnError aHandler) {
  std::lock_guard lock(FLock);
  FOnError = std::move(aHandler);
}
void TXuCustomRas::SetOnRasDialFunction(TRasDialFunction aHandler) {
  std::lock_guard lock(FLock);
  FRasDialFnc = std::move(aHandler);
}
void TXuCustomRas::SetOnConnect(TRasOnConnect aHandler) {
  std::lock_guard lock(FLock);
  FOnConnect = std::move(aHandler);
}
void TXuCustomRas::SetOnDisconnect(TRasOnDisconnect aHandler) {
  std::lock_guard lock(FLock);
  FOnDisconnect = std::move(aHandler);
}
void TXuCustomRas::SetOnListsLearnt(TRasOnListsLearnt aHandler) {
  std::lock_guard lock(FLock);
  FOnListsLearnt = std::move(aHandler);
}

void TXuCustomRas::ListsLearnt() {
  TRasOnListsLearnt handler;
  {
    std::lock_guard lock(FLock);
    handler = FOnListsLearnt;
  }
  if (handler) handler(this);
}

TRasHandle TXuCustomRas::GetHandle() const {
  std::lock_guard lock(FLock);
  return hConn;
}
bool TXuCustomRas::GetConnected() const {
  std::lock_guard lock(FLock);
  return bConnected;
}
void TXuCustomRas::SetConnectedFlag(bool aValue) {
  std::lock_guard lock(FLock);
  bConnected = aValue;
}

void TXuCustomRas::DoRasError(const std::string& aText) {
  TRasOnError handler;
  {
    std::lock_guard lock(FLock);
    handler = FOnError;
  }
  if (handler) handler(aText);
}

void TXuCustomRas::DoDisconnect() {
  TRasOnDisconnect handler;
  {
    std::lock_guard lock(FLock);
    bConnected = false;
    handler = FOnDisconnect;
  }
  if (handler) handler(this);
}

void TXuCustomRas::RasNotifierDone() { hNotifierEvent.Set(); }

void TXuCustomRas::StartNotifierLocked() {
  if (FRasNotifier && !FRasNotifier->Finished()) return;
  // One that has ended is past every use of the lock, so joining it here cannot block.
  FRasNotifier.reset();
  FRasNotifier = std::make_unique<TXuRasNotifier>(*this, hConn, [this] { RasNotifierDone(); });
}

void TXuCustomRas::RasDialCallback(TRasHandle aConn, uint32_t nMsg, TRASConnState aState, uint32_t aError) {
  TRasOnConnect onConnect;
  TRasDialFunction onStep;
  bool connected = false;
  {
    std::lock_guard lock(FLock);
    if ((aState & 0xFFFF) == RASCS_Connected) {
      connected = true;
      bConnected = true;
      // The step names its connection, so the notifier watches it even when the dial's first
      // step arrives before Connect has stored the handle.
      hConn = aConn;
      hNotifierEvent.Reset();
      StartNotifierLocked();
      onConnect = FOnConnect;
    }
    onStep = FRasDialFnc;
  }
  if (connected && onConnect) onConnect(this);
  if (onStep) onStep(nMsg, aState, aError);
}

void TXuCustomRas::Connect() {
  std::string entryName;
  {
    std::lock_guard lock(FLock);
    if (bConnected) throw EXuRasError(kRasAlreadyConnected);
    entryName = sEntryName;
  }
  uint32_t code = FService.FindEntry(entryName);
  if (code != RAS_SUCCESS) {
    DoRasError(RasErrorText(FService, code));
    return;
  }
  TRasEntry entry;
  code = FService.GetEntryProperties(entryName, entry);
  if (code != RAS_SUCCESS) {
    DoRasError(RasErrorText(FService, code));
    return;
  }
  TRasDialParams params;
  {
    std::lock_guard lock(FLock);
    sPhoneNumber = RecordText(entry.szLocalPhoneNumber, RAS_MaxPhoneNumber + 1);
    hConn = 0;
    params.szEntryName = sEntryName;
    params.szPhoneNumber = sPhoneNumber;
  }
  TRasDialParams stored;
  stored.szEntryName = params.szEntryName;
  bool passwordReturned = false;
  code = FService.GetEntryDialParams(stored, passwordReturned);
  if (code != RAS_SUCCESS) {
    {
      // No dial is being prepared any more.
      std::lock_guard lock(FLock);
      if (hConn == 0) hConn = INVALID_RAS_HANDLE;
    }
    DoRasError(RasErrorText(FService, code));
    return;
  }
  params.szUserName = stored.szUserName;
  params.szPassword = passwordReturned ? stored.szPassword : std::string();
  params.szDomain = stored.szDomain;
  params.szCallbackNumber = stored.szCallbackNumber;

  TRasHandle handle = INVALID_RAS_HANDLE;
  std::weak_ptr<TRasDialStub> stub = FStub;
  code = FService.Dial(
      params,
      [stub](TRasHandle aConn, uint32_t aMsg, TRASConnState aState, uint32_t aError) {
        if (auto s = stub.lock()) s->Deliver(aConn, aMsg, aState, aError);
      },
      handle);
  if (code != RAS_SUCCESS) {
    {
      std::lock_guard lock(FLock);
      hConn = INVALID_RAS_HANDLE;
      bConnected = false;
    }
    DoRasError(RasErrorText(FService, code));
    return;
  }
  std::lock_guard lock(FLock);
  hConn = handle;
}

void TXuCustomRas::Disconnect() {
  const TRasHandle handle = GetHandle();
  if (handle == INVALID_RAS_HANDLE) return;
  std::weak_ptr<TRasDialStub> stub = FStub;
  const uint32_t code = FService.HangUp(handle, [stub, handle](uint32_t aError) {
    if (auto s = stub.lock()) s->Refused(handle, aError);
  });
  // A connection that has gone already is no failure: the notifier reports its end.
  if (code == RAS_ERR_INVALID_HANDLE) return;
  if (code != RAS_SUCCESS) {
    // The line is still up; whoever pressed the button must learn why it stays.
    DoRasError(RasErrorText(FService, code));
    return;
  }
  std::lock_guard lock(FLock);
  if (hConn == handle) hConn = INVALID_RAS_HANDLE;
}

void TXuCustomRas::HangUpRefused(TRasHandle aConn, uint32_t aError) {
  if (aError == RAS_ERR_INVALID_HANDLE) return;
  {
    // Still connected: the handle comes back, so that the next press hangs up again.
    std::lock_guard lock(FLock);
    if (hConn == INVALID_RAS_HANDLE && bConnected) hConn = aConn;
  }
  DoRasError(RasErrorText(FService, aError));
}

std::vector<TRasConnection> TXuCustomRas::EnumConnections(bool& aOk) {
  std::vector<TRasConnection> connections;
  const uint32_t code = FService.EnumConnections(connections);
  aOk = code == RAS_SUCCESS;
  if (!aOk) {
    DoRasError("*** " + RasErrorText(FService, code));
    connections.clear();
  }
  return connections;
}

TStringDynArray TXuCustomRas::EnumRasConnectionsNames() {
  bool ok = false;
  TStringDynArray names;
  for (const auto& c : EnumConnections(ok)) names.push_back(RecordText(c.szEntryName, RAS_MaxEntryName + 1));
  return names;
}

TStringDynArray TXuCustomRas::EnumRasEntriesNames() {
  TStringDynArray names;
  const uint32_t code = FService.EnumEntries(names);
  if (code != RAS_SUCCESS) {
    DoRasError("*** " + RasErrorText(FService, code));
    return {};
  }
  for (auto& n : names) n = RecordText(n, RAS_MaxEntryName + 1);
  return names;
}

bool TXuCustomRas::UseConnection(const std::string& aConnName) {
  {
    std::lock_guard lock(FLock);
    if (bConnected) throw EXuRasError(kRasAlreadyConnected);
  }
  bool ok = false;
  const std::vector<TRasConnection> connections = EnumConnections(ok);
  const TRasConnection* chosen = nullptr;
  if (connections.size() == 1) {
    chosen = &connections.front();
  } else {
    for (const auto& c : connections) {
      if (RecordText(c.szEntryName, RAS_MaxEntryName + 1) == aConnName) {
        chosen = &c;
        break;
      }
    }
  }
  if (!chosen) return false;
  std::lock_guard lock(FLock);
  hConn = chosen->hrasconn;
  sEntryName = aConnName;
  hNotifierEvent.Reset();
  StartNotifierLocked();
  return true;
}

TRasEntry TXuCustomRas::GetEntryProperties(const std::string& aEntryName) {
  TRasEntry result;
  uint32_t code = FService.FindEntry(aEntryName);
  if (code != RAS_SUCCESS) {
    DoRasError("*** Failed when determine RasEntry buffer size:\r\n" + RasErrorText(FService, code));
    return result;
  }
  TRasEntry entry;
  code = FService.GetEntryProperties(aEntryName, entry);
  if (code != RAS_SUCCESS) {
    DoRasError("*** " + RasErrorText(FService, code));
    return result;
  }
  // Only the first part of the record is handed on; the later fields stay zero.
  result.dwSize = entry.dwSize;
  result.dwfOptions = entry.dwfOptions;
  result.dwCountryID = entry.dwCountryID;
  result.dwCountryCode = entry.dwCountryCode;
  result.szAreaCode = entry.szAreaCode;
  result.szLocalPhoneNumber = entry.szLocalPhoneNumber;
  result.dwAlternateOffset = entry.dwAlternateOffset;
  result.ipaddr = entry.ipaddr;
  result.ipaddrDns = entry.ipaddrDns;
  result.ipaddrDnsAlt = entry.ipaddrDnsAlt;
  result.ipaddrWins = entry.ipaddrWins;
  result.ipaddrWinsAlt = entry.ipaddrWinsAlt;
  result.dwFrameSize = entry.dwFrameSize;
  result.dwfNetProtocols = entry.dwfNetProtocols;
  result.dwFramingProtocol = entry.dwFramingProtocol;
  return result;
}

bool TXuCustomRas::SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) {
  const uint32_t code = FService.SetEntryProperties(aEntryName, aEntry);
  if (code != RAS_SUCCESS) {
    DoRasError("*** " + RasErrorText(FService, code));
    return false;
  }
  return true;
}

void TXuCustomRas::SetEntryDialParams(const std::string& aEntryName) {
  TRasDialParams params;
  params.szEntryName = aEntryName;
  bool passwordReturned = false;
  const uint32_t code = FService.GetEntryDialParams(params, passwordReturned);
  if (code != RAS_SUCCESS) {
    DoRasError("*** " + RasErrorText(FService, code));
    return;
  }
  std::lock_guard lock(FLock);
  sEntryName = RecordText(params.szEntryName, RAS_MaxEntryName + 1);
  sPhoneNumber = RecordText(params.szPhoneNumber, RAS_MaxPhoneNumber + 1);
  sUserName = RecordText(params.szUserName, UNLEN + 1);
  if (passwordReturned) sPassword = RecordText(params.szPassword, PWLEN + 1);
}

std::string TXuCustomRas::PeerAddress() {
  std::string address;
  if (FService.GetPeerAddress(GetHandle(), address) != RAS_SUCCESS) return {};
  return address.substr(0, address.find('\0'));
}

void TXuCustomRas::StopRasNotifier() {
  std::lock_guard lock(FLock);
  if (FRasNotifier) FRasNotifier->Stop();
}

bool TXuCustomRas::RasNotifierFinished() {
  std::lock_guard lock(FLock);
  if (!FRasNotifier) return true;
  if (!FRasNotifier->Finished()) return false;
  FRasNotifier.reset();
  return true;
}
