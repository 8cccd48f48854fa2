// The in-process demo dial-up service.
#include "dialup/DemoDialupService.h"

#include <cerrno>
#include <utility>

namespace {

const std::vector<TRASConnState> kDialSteps = {
    RASCS_OpenPort,           RASCS_PortOpened,    RASCS_ConnectDevice, RASCS_DeviceConnected,
    RASCS_AllDevicesConnected, RASCS_Authenticate, RASCS_Authenticated, RASCS_AuthProject,
    RASCS_Projected,          RASCS_Connected,
};

}  // namespace

TDemoDialupService::TDemoDialupService(std::chrono::milliseconds aStepInterval)
    : FStepInterval(aStepInterval), FTimer([this](std::stop_token aStop) { TimerLoop(aStop); }) {
  FEntry.dwSize = kRasEntrySize;
  FEntry.szLocalPhoneNumber = "#777";
  FEntry.dwfOptions = RASEO_RemoteDefaultGateway;
  FEntry.dwfNetProtocols = RASNP_Ip;
  FEntry.dwFramingProtocol = RASFP_Ppp;
  FEntry.szDeviceType = "modem";
  FEntry.szDeviceName = "Demo CDMA modem";
  FDialParams.szEntryName = kEntryName;
  FDialParams.szUserName = "demo";
  FDialParams.szPassword = "demo";
}

TDemoDialupService::~TDemoDialupService() {
  FTimer.request_stop();
  FTimerWake.notify_all();
  if (FTimer.joinable()) FTimer.join();
}

const std::vector<TRASConnState>& TDemoDialupService::DialSteps() { return kDialSteps; }

void TDemoDialupService::Schedule(std::chrono::steady_clock::duration aDelay, std::function<void()> aRun) {
  {
    std::lock_guard lock(FTimerLock);
    FTasks.push(TTimerTask{std::chrono::steady_clock::now() + aDelay, FTaskOrder++, std::move(aRun)});
  }
  FTimerWake.notify_all();
}

void TDemoDialupService::TimerLoop(std::stop_token aStop) {
  std::unique_lock lock(FTimerLock);
  while (!aStop.stop_requested()) {
    if (FTasks.empty()) {
      FTimerWake.wait(lock, aStop, [this] { return !FTasks.empty(); });
      continue;
    }
    const auto due = FTasks.top().Due;
    if (std::chrono::steady_clock::now() < due) {
      FTimerWake.wait_until(lock, aStop, due, [this, due] { return !FTasks.empty() && FTasks.top().Due < due; });
      continue;
    }
    std::function<void()> run = FTasks.top().Run;
    FTasks.pop();
    lock.unlock();
    run();
    lock.lock();
  }
}

void TDemoDialupService::FailNextDial(uint32_t aError, TRASConnState aAtState) {
  std::lock_guard lock(FLock);
  FFailNext = std::make_pair(aError, aAtState);
}

TRasHandle TDemoDialupService::AddExternalConnection(const std::string& aEntryName) {
  std::lock_guard lock(FLock);
  const TRasHandle handle = FNextHandle++;
  FConnections[handle] = TConnection{aEntryName, true, {}};
  return handle;
}

void TDemoDialupService::DropConnection(TRasHandle aConn) { EndConnection(aConn); }

void TDemoDialupService::RefuseNextHangUp(uint32_t aError) {
  std::lock_guard lock(FLock);
  FRefuseHangUp = aError;
}

int TDemoDialupService::DialCount() const {
  std::lock_guard lock(FLock);
  return FDialCount;
}

void TDemoDialupService::FailEveryCall(uint32_t aError) {
  std::lock_guard lock(FLock);
  FEveryCallError = aError;
}

uint32_t TDemoDialupService::EnumEntries(std::vector<std::string>& aNames) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  aNames = {kEntryName};
  return RAS_SUCCESS;
}

uint32_t TDemoDialupService::EnumConnections(std::vector<TRasConnection>& aConnections) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  aConnections.clear();
  for (const auto& [handle, c] : FConnections) aConnections.push_back(TRasConnection{handle, c.EntryName});
  return RAS_SUCCESS;
}

uint32_t TDemoDialupService::FindEntry(const std::string& aEntryName) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  return aEntryName == kEntryName ? RAS_SUCCESS : RAS_ERR_ENTRY_NOT_FOUND;
}

uint32_t TDemoDialupService::GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  if (aEntryName != kEntryName) return RAS_ERR_ENTRY_NOT_FOUND;
  aEntry = FEntry;
  return RAS_SUCCESS;
}

uint32_t TDemoDialupService::SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  if (aEntryName != kEntryName) return RAS_ERR_ENTRY_NOT_FOUND;
  if (aEntry.dwSize == 0) return RAS_ERR_INVALID_SIZE;
  FEntry = aEntry;
  FEntry.dwSize = kRasEntrySize;
  return RAS_SUCCESS;
}

uint32_t TDemoDialupService::GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  if (aParams.szEntryName != kEntryName) return RAS_ERR_ENTRY_NOT_FOUND;
  aParams = FDialParams;
  aPasswordReturned = !FDialParams.szPassword.empty();
  return RAS_SUCCESS;
}

uint32_t TDemoDialupService::Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) {
  uint32_t failError = 0;
  size_t failStep = kDialSteps.size();
  TRasHandle handle;
  {
    std::lock_guard lock(FLock);
    if (FEveryCallError) return FEveryCallError;
    if (aParams.szEntryName != kEntryName) return RAS_ERR_ENTRY_NOT_FOUND;
    if (FFailNext) {
      failError = FFailNext->first;
      for (size_t i = 0; i < kDialSteps.size(); ++i)
        if (kDialSteps[i] == FFailNext->second) failStep = i;
      FFailNext.reset();
    }
    handle = FNextHandle++;
    FConnections[handle] = TConnection{aParams.szEntryName, false, std::move(aCallback)};
    ++FDialCount;
  }
  aConn = handle;
  Schedule(FStepInterval, [this, handle, failError, failStep] { RunStep(handle, 0, failError, failStep); });
  return RAS_SUCCESS;
}

void TDemoDialupService::RunStep(TRasHandle aConn, size_t aStep, uint32_t aFailError, size_t aFailStep) {
  std::lock_guard dial(FDialLock);
  TRasDialCallback callback;
  const bool fails = aStep == aFailStep;
  const TRASConnState state = kDialSteps[aStep];
  {
    std::lock_guard lock(FLock);
    auto it = FConnections.find(aConn);
    if (it == FConnections.end() || it->second.Connected) return;  // hung up meanwhile
    callback = it->second.Callback;
    if (fails) {
      FConnections.erase(it);
    } else if (state == RASCS_Connected) {
      it->second.Connected = true;
      it->second.Callback = nullptr;
    }
  }
  // Called without FLock so that the handler may use the service.
  if (callback) callback(aConn, WM_RASDIALEVENT, state, fails ? aFailError : 0);
  if (!fails && state != RASCS_Connected)
    Schedule(FStepInterval, [this, aConn, aStep, aFailError, aFailStep] { RunStep(aConn, aStep + 1, aFailError, aFailStep); });
}

uint32_t TDemoDialupService::EndConnection(TRasHandle aConn) {
  {
    std::lock_guard dial(FDialLock);
    std::lock_guard lock(FLock);
    if (FEveryCallError) return FEveryCallError;
    if (FConnections.erase(aConn) == 0) return RAS_ERR_INVALID_HANDLE;
  }
  Schedule(std::chrono::steady_clock::duration::zero(), [this, aConn] { Notify(aConn); });
  return RAS_SUCCESS;
}

uint32_t TDemoDialupService::HangUp(TRasHandle aConn, TRasHangUpRefused aRefused) {
  uint32_t refusal = 0;
  {
    std::lock_guard lock(FLock);
    if (FEveryCallError) return FEveryCallError;
    if (!FConnections.count(aConn)) return RAS_ERR_INVALID_HANDLE;
    refusal = std::exchange(FRefuseHangUp, 0);
  }
  if (refusal == 0) return EndConnection(aConn);
  Schedule(FStepInterval, [refusal, refused = std::move(aRefused)] {
    if (refused) refused(refusal);
  });
  return RAS_SUCCESS;
}

void TDemoDialupService::Notify(TRasHandle aConn) {
  std::lock_guard lock(FNotifyLock);
  for (auto& [id, n] : FNotifications)
    if (n.first == aConn) n.second();
}

uint32_t TDemoDialupService::ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged,
                                                    TRasNotificationId& aId) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  if (!FConnections.count(aConn)) return RAS_ERR_INVALID_HANDLE;
  std::lock_guard notify(FNotifyLock);
  aId = FNextNotification++;
  FNotifications[aId] = {aConn, std::move(aChanged)};
  return RAS_SUCCESS;
}

void TDemoDialupService::RemoveConnectionNotification(TRasNotificationId aId) {
  std::lock_guard lock(FNotifyLock);
  FNotifications.erase(aId);
}

uint32_t TDemoDialupService::GetErrorString(uint32_t aCode, std::string& aText) {
  return DialupErrorText(aCode, aText) ? 0 : EINVAL;
}

uint32_t TDemoDialupService::GetPeerAddress(TRasHandle aConn, std::string& aAddress) {
  std::lock_guard lock(FLock);
  if (FEveryCallError) return FEveryCallError;
  auto it = FConnections.find(aConn);
  if (it == FConnections.end()) return RAS_ERR_INVALID_HANDLE;
  if (!it->second.Connected) return RAS_ERR_NO_PEER;
  aAddress = kPeerAddress;
  return RAS_SUCCESS;
}
