// The NetworkManager service's lists, kept by its bus thread and read at once by any thread.
#include "dialup/NmCache.h"

#include <algorithm>

namespace {

// NetworkManager's active connection state from which a connection is on its way down.
constexpr uint32_t kDeactivating = 3;

}  // namespace

uint32_t TNmCache::EnumEntries(std::vector<std::string>& aNames) {
  std::function<void()> relearn;
  uint32_t code = RAS_SUCCESS;
  {
    std::lock_guard lock(FLock);
    if (FState == TState::Absent) return RAS_ERR_SERVICE_UNAVAILABLE;
    if (FState == TState::Failed) {
      // Reported once; the lists are read again, and whoever asks next gets what that finds.
      code = FCode;
      FState = TState::Learning;
      relearn = FRelearn;
    } else {
      aNames.clear();
      for (const std::string& path : FProfileOrder) {
        const auto it = FProfiles.find(path);
        if (it != FProfiles.end() && it->second.Entry) aNames.push_back(it->second.Id);
      }
    }
  }
  if (relearn) relearn();
  return code;
}

uint32_t TNmCache::EnumConnections(std::vector<TRasConnection>& aConnections) {
  std::lock_guard lock(FLock);
  if (FState == TState::Absent) return RAS_ERR_SERVICE_UNAVAILABLE;
  if (FState == TState::Failed) return FCode;
  aConnections.clear();
  for (const std::string& path : FActiveOrder) {
    const auto it = FActive.find(path);
    if (it == FActive.end() || !it->second.Loaded || it->second.State >= kDeactivating) continue;
    // Wired and wireless links are no dial-up connections; listing them would hide the modem's.
    if (!IsDialupType(it->second.Type)) continue;
    TRasHandle handle;
    if (const auto h = FHandles.find(path); h != FHandles.end()) {
      handle = h->second;
    } else {
      handle = FNextHandle++;
      FHandles[path] = handle;
      FPaths[handle] = path;
    }
    aConnections.push_back(TRasConnection{handle, it->second.Id});
  }
  return RAS_SUCCESS;
}

uint32_t TNmCache::FindEntry(const std::string& aEntryName, TNmProfile& aProfile) {
  std::lock_guard lock(FLock);
  if (FState == TState::Absent) return RAS_ERR_SERVICE_UNAVAILABLE;
  for (const std::string& path : FProfileOrder) {
    const auto it = FProfiles.find(path);
    if (it != FProfiles.end() && it->second.Entry && it->second.Id == aEntryName) {
      aProfile = it->second;
      return RAS_SUCCESS;
    }
  }
  return FState == TState::Failed ? FCode : RAS_ERR_ENTRY_NOT_FOUND;
}

uint32_t TNmCache::GetPeerAddress(TRasHandle aConn, std::string& aAddress) {
  std::lock_guard lock(FLock);
  if (FState == TState::Absent) return RAS_ERR_SERVICE_UNAVAILABLE;
  const auto path = FPaths.find(aConn);
  if (path == FPaths.end()) return RAS_ERR_INVALID_HANDLE;
  const auto active = FActive.find(path->second);
  if (active == FActive.end()) return RAS_ERR_INVALID_HANDLE;
  const auto ip4 = FIp4.find(active->second.Ip4Config);
  if (ip4 == FIp4.end()) return RAS_ERR_NO_PEER;
  aAddress = !ip4->second.Peer.empty() ? ip4->second.Peer : ip4->second.Gateway;
  return aAddress.empty() ? RAS_ERR_NO_PEER : RAS_SUCCESS;
}

bool TNmCache::Learning() {
  std::lock_guard lock(FLock);
  return FState == TState::Learning;
}

bool TNmCache::WaitWhileLearning(std::chrono::milliseconds aTimeout) {
  std::unique_lock lock(FLock);
  return FStateChanged.wait_for(lock, aTimeout, [this] { return FState != TState::Learning; });
}

uint32_t TNmCache::Reachable() {
  std::lock_guard lock(FLock);
  return FState == TState::Absent ? RAS_ERR_SERVICE_UNAVAILABLE : RAS_SUCCESS;
}

TRasHandle TNmCache::NewHandle() {
  std::lock_guard lock(FLock);
  const TRasHandle handle = FNextHandle++;
  FPaths[handle] = std::string();
  return handle;
}

std::optional<std::string> TNmCache::PathOf(TRasHandle aConn) {
  std::lock_guard lock(FLock);
  const auto it = FPaths.find(aConn);
  if (it == FPaths.end()) return std::nullopt;
  return it->second;
}

TRasHandle TNmCache::HandleOf(const std::string& aPath) {
  std::lock_guard lock(FLock);
  if (const auto it = FHandles.find(aPath); it != FHandles.end()) return it->second;
  const TRasHandle handle = FNextHandle++;
  FHandles[aPath] = handle;
  FPaths[handle] = aPath;
  return handle;
}

void TNmCache::Bind(TRasHandle aConn, const std::string& aPath) {
  std::lock_guard lock(FLock);
  FPaths[aConn] = aPath;
  FHandles[aPath] = aConn;
}

uint32_t TNmCache::AddNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId) {
  std::lock_guard lock(FLock);
  // With the service gone every handle is: a watch made too late to hear of it must learn of it
  // here, from a handle that names no connection any more.
  const auto path = FPaths.find(aConn);
  if (path == FPaths.end() || path->second.empty()) return RAS_ERR_INVALID_HANDLE;
  const auto active = FActive.find(path->second);
  // A connection on its way down has changed already.
  if (active == FActive.end() || active->second.State >= kDeactivating) return RAS_ERR_INVALID_HANDLE;
  aId = FNextNotification++;
  FNotifications[aId] = {path->second, std::move(aChanged)};
  return RAS_SUCCESS;
}

void TNmCache::RemoveNotification(TRasNotificationId aId) {
  std::lock_guard lock(FLock);
  FNotifications.erase(aId);
}

void TNmCache::SetRelearn(std::function<void()> aRelearn) {
  std::lock_guard lock(FLock);
  FRelearn = std::move(aRelearn);
}

TRasNotificationId TNmCache::AddLearntNotification(std::function<void()> aLearnt) {
  std::lock_guard lock(FLearntLock);
  const TRasNotificationId id = FNextLearntNotification++;
  FLearntNotifications[id] = std::move(aLearnt);
  return id;
}

void TNmCache::RemoveLearntNotification(TRasNotificationId aId) {
  std::lock_guard lock(FLearntLock);
  FLearntNotifications.erase(aId);
}

void TNmCache::BeginLearning() {
  std::lock_guard lock(FLock);
  FState = TState::Learning;
  FCode = RAS_SUCCESS;
  FProfileOrder.clear();
  FProfiles.clear();
  // The active connections stay: the new list ends those it no longer holds, and tells their
  // watchers.
}

void TNmCache::SetState(TState aState, uint32_t aCode) {
  {
    std::lock_guard lock(FLock);
    FState = aState;
    FCode = aCode;
  }
  FStateChanged.notify_all();
}

TNmCache::TState TNmCache::State() {
  std::lock_guard lock(FLock);
  return FState;
}

void TNmCache::Learnt() {
  std::lock_guard lock(FLearntLock);
  for (auto& [id, learnt] : FLearntNotifications) learnt();
}

void TNmCache::SetProfileOrder(const std::vector<std::string>& aPaths) {
  std::lock_guard lock(FLock);
  // Profiles signalled while the list was on its way keep a place after the listed ones.
  std::vector<std::string> order = aPaths;
  for (const std::string& path : FProfileOrder)
    if (std::find(order.begin(), order.end(), path) == order.end() && FProfiles.count(path)) order.push_back(path);
  FProfileOrder = std::move(order);
}

void TNmCache::PutProfile(TNmProfile aProfile) {
  std::lock_guard lock(FLock);
  if (std::find(FProfileOrder.begin(), FProfileOrder.end(), aProfile.Path) == FProfileOrder.end())
    FProfileOrder.push_back(aProfile.Path);
  FProfiles[aProfile.Path] = std::move(aProfile);
}

void TNmCache::RemoveProfile(const std::string& aPath) {
  std::lock_guard lock(FLock);
  FProfiles.erase(aPath);
  FProfileOrder.erase(std::remove(FProfileOrder.begin(), FProfileOrder.end(), aPath), FProfileOrder.end());
}

bool TNmCache::HasProfile(const std::string& aPath) {
  std::lock_guard lock(FLock);
  return std::find(FProfileOrder.begin(), FProfileOrder.end(), aPath) != FProfileOrder.end();
}

std::set<std::string> TNmCache::ProfilePaths() {
  std::lock_guard lock(FLock);
  return {FProfileOrder.begin(), FProfileOrder.end()};
}

std::optional<TNmProfile> TNmCache::Profile(const std::string& aPath) {
  std::lock_guard lock(FLock);
  const auto it = FProfiles.find(aPath);
  if (it == FProfiles.end()) return std::nullopt;
  return it->second;
}

std::set<std::string> TNmCache::ActivePaths() {
  std::lock_guard lock(FLock);
  std::set<std::string> paths;
  for (const auto& [path, active] : FActive) paths.insert(path);
  return paths;
}

void TNmCache::SetActiveOrder(const std::vector<std::string>& aPaths) {
  std::lock_guard lock(FLock);
  std::vector<std::string> order;
  for (const std::string& path : aPaths)
    if (FActive.count(path)) order.push_back(path);
  // Connections known before the service listed them (a dial just answered) keep their place.
  for (const std::string& path : FActiveOrder)
    if (std::find(order.begin(), order.end(), path) == order.end()) order.push_back(path);
  FActiveOrder = std::move(order);
}

std::optional<TNmActive> TNmCache::Active(const std::string& aPath) {
  std::lock_guard lock(FLock);
  const auto it = FActive.find(aPath);
  if (it == FActive.end()) return std::nullopt;
  return it->second;
}

void TNmCache::PutActive(const std::string& aPath, const TNmActive& aActive) {
  std::lock_guard lock(FLock);
  if (!FActive.count(aPath)) FActiveOrder.push_back(aPath);
  FActive[aPath] = aActive;
}

void TNmCache::RemoveActive(const std::string& aPath) {
  std::lock_guard lock(FLock);
  const auto active = FActive.find(aPath);
  if (active == FActive.end()) return;
  FIp4.erase(active->second.Ip4Config);
  FActive.erase(active);
  FActiveOrder.erase(std::remove(FActiveOrder.begin(), FActiveOrder.end(), aPath), FActiveOrder.end());
  FireLocked(aPath);
  // The service may give the path to a later connection: the old handle must not lead there.
  if (const auto handle = FHandles.find(aPath); handle != FHandles.end()) {
    FPaths.erase(handle->second);
    FHandles.erase(handle);
  }
}

void TNmCache::PutIp4(const std::string& aPath, const TNmIp4& aIp4) {
  std::lock_guard lock(FLock);
  FIp4[aPath] = aIp4;
}

void TNmCache::Fire(const std::string& aPath) {
  std::lock_guard lock(FLock);
  FireLocked(aPath);
}

void TNmCache::FireLocked(const std::string& aPath) {
  for (auto& [id, n] : FNotifications)
    if (n.first == aPath) n.second();
}

void TNmCache::Vanish() {
  {
    std::lock_guard lock(FLock);
    FState = TState::Absent;
    FCode = RAS_ERR_SERVICE_UNAVAILABLE;
    FProfileOrder.clear();
    FProfiles.clear();
    FActiveOrder.clear();
    FActive.clear();
    FIp4.clear();
    // A service that comes back may give the same paths to other connections: the old handles
    // must not lead there.
    FPaths.clear();
    FHandles.clear();
    // Every connection the program held has dropped with it.
    for (auto& [id, n] : FNotifications) n.second();
  }
  FStateChanged.notify_all();
}
