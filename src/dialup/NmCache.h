// What the NetworkManager service knows of the phone book and the connections: written by the
// service's bus thread as the service answers and signals, read by any thread at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dialup/DialupService.h"

// The profile types that are dial-up entries: mobile broadband, PPPoE and VPN.
inline bool IsDialupType(const std::string& aType) {
  return aType == "cdma" || aType == "gsm" || aType == "pppoe" || aType == "vpn";
}

// One connection profile as the service described it.
struct TNmProfile {
  std::string Path;
  std::string Id;
  std::string Type;
  bool Entry = false;  // a dial-up profile (mobile broadband, PPPoE, VPN)
  TRasEntry Properties;
  TRasDialParams DialParams;  // entry name, number and user name; the password when known
  bool PasswordKnown = false;
};

// One active connection; Loaded once its properties have been read.
struct TNmActive {
  bool Loaded = false;
  std::string Id;
  std::string Type;
  uint32_t State = 0;
  std::string Ip4Config;
};

// An IPv4 configuration's far end: the point-to-point peer, else the gateway.
struct TNmIp4 {
  std::string Peer;
  std::string Gateway;
};

class TNmCache {
 public:
  // Learning: the first lists are being read; Known: the lists are current; Failed: reading them
  // failed with Code; Absent: the service is not on the bus (or the bus cannot be reached).
  enum class TState { Learning, Known, Failed, Absent };

  // --- any thread, answered at once ---------------------------------------------------------
  uint32_t EnumEntries(std::vector<std::string>& aNames);
  uint32_t EnumConnections(std::vector<TRasConnection>& aConnections);
  // The dial-up profile named aEntryName.
  uint32_t FindEntry(const std::string& aEntryName, TNmProfile& aProfile);
  uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress);
  bool Learning();
  // Until the lists are no longer being learnt or aTimeout has passed; false on the time-out.
  bool WaitWhileLearning(std::chrono::milliseconds aTimeout);
  // 0 when dials and hang-ups may be sent, else the code to refuse them with.
  uint32_t Reachable();

  // A new handle for a dial whose active connection is not known yet.
  TRasHandle NewHandle();
  // The active connection's path of a handle: empty while its dial waits for the service's
  // answer; none for a handle that was never given or belongs to a service that has gone.
  std::optional<std::string> PathOf(TRasHandle aConn);
  TRasHandle HandleOf(const std::string& aPath);
  void Bind(TRasHandle aConn, const std::string& aPath);

  // The connection must be active. aChanged runs under the cache's lock.
  uint32_t AddNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId);
  void RemoveNotification(TRasNotificationId aId);
  // Called when the lists are read again after a failure; it must only hand the work on.
  void SetRelearn(std::function<void()> aRelearn);
  TRasNotificationId AddLearntNotification(std::function<void()> aLearnt);
  void RemoveLearntNotification(TRasNotificationId aId);

  // --- the bus thread -----------------------------------------------------------------------
  // A new reading of every list begins: the profiles known so far go.
  void BeginLearning();
  void SetState(TState aState, uint32_t aCode = RAS_SUCCESS);
  TState State();
  // Tells whoever waits for the lists.
  void Learnt();
  // The service's order of profiles; profiles not yet read wait in their place.
  void SetProfileOrder(const std::vector<std::string>& aPaths);
  void PutProfile(TNmProfile aProfile);
  void RemoveProfile(const std::string& aPath);
  bool HasProfile(const std::string& aPath);
  std::set<std::string> ProfilePaths();
  std::optional<TNmProfile> Profile(const std::string& aPath);

  std::set<std::string> ActivePaths();
  // The service's order of active connections.
  void SetActiveOrder(const std::vector<std::string>& aPaths);
  std::optional<TNmActive> Active(const std::string& aPath);
  void PutActive(const std::string& aPath, const TNmActive& aActive);
  // Forgets the connection and tells its watchers it has ended.
  void RemoveActive(const std::string& aPath);
  void PutIp4(const std::string& aPath, const TNmIp4& aIp4);
  // Tells the connection's watchers it has changed.
  void Fire(const std::string& aPath);
  // The service has gone: every list and handle is forgotten and every watcher told.
  void Vanish();

 private:
  void FireLocked(const std::string& aPath);

  std::mutex FLock;
  std::condition_variable FStateChanged;
  TState FState = TState::Learning;
  uint32_t FCode = RAS_SUCCESS;
  std::vector<std::string> FProfileOrder;
  std::map<std::string, TNmProfile> FProfiles;
  std::vector<std::string> FActiveOrder;
  std::map<std::string, TNmActive> FActive;
  std::map<std::string, TNmIp4> FIp4;
  std::map<TRasHandle, std::string> FPaths;
  std::map<std::string, TRasHandle> FHandles;
  TRasHandle FNextHandle = 1;
  std::map<TRasNotificationId, std::pair<std::string, std::function<void()>>> FNotifications;
  TRasNotificationId FNextNotification = 1;
  std::function<void()> FRelearn;

  std::mutex FLearntLock;  // held while the learnt notifications run
  std::map<TRasNotificationId, std::function<void()>> FLearntNotifications;
  TRasNotificationId FNextLearntNotification = 1;
};
