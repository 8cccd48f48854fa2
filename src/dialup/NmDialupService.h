// The dial-up service on NetworkManager over D-Bus: mobile-broadband, PPPoE and VPN profiles are
// the phone-book entries, their active connections the connections.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "dialup/DialupService.h"

struct TNmServiceOptions {
  // A D-Bus address such as "unix:path=/run/x"; empty for the system bus.
  std::string BusAddress;
  std::string ServiceName = "org.freedesktop.NetworkManager";
  std::chrono::milliseconds CallTimeout{25000};
};

class TNmBus;
class TNmBusThread;
class TNmCache;

// Keeps what NetworkManager holds (profiles, active connections with their states and addresses)
// in a cache on a private thread with its own Qt event loop and D-Bus connection, learnt at start
// and kept current by the service's signals. Lists, properties, peers and watches are answered
// from the cache at once, dials and hang-ups are sent without waiting: no call waits for the
// service but SetEntryProperties, which nothing on a user-interface thread calls. Dial steps,
// change notifications, hang-up refusals and OnListsLearnt run on that bus thread, so callers
// need no Qt event loop of their own. The service going away from the bus ends every connection
// (their watchers are told, dials fail); when it comes back its lists are learnt anew.
// Qt needs an application object for any event loop; when none exists (console program, tests)
// the first service creates a bare QCoreApplication that is never run and lives until exit.
// A program that wants its own QApplication must create it before the first service.
class TNmDialupService final : public TDialupService {
 public:
  explicit TNmDialupService(TNmServiceOptions aOptions = {});
  ~TNmDialupService() override;
  TNmDialupService(const TNmDialupService&) = delete;
  TNmDialupService& operator=(const TNmDialupService&) = delete;

  // Until the lists are learnt (or found unknowable) or aTimeout has passed; false on the
  // time-out. For tests and programs that must have the lists before going on.
  bool WaitForLists(std::chrono::milliseconds aTimeout);

  uint32_t EnumEntries(std::vector<std::string>& aNames) override;
  uint32_t EnumConnections(std::vector<TRasConnection>& aConnections) override;
  uint32_t FindEntry(const std::string& aEntryName) override;
  uint32_t GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) override;
  // Waits for the service's answer (at most about twice the call time-out).
  uint32_t SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) override;
  uint32_t GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) override;
  uint32_t Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) override;
  uint32_t HangUp(TRasHandle aConn, TRasHangUpRefused aRefused) override;
  uint32_t ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId) override;
  void RemoveConnectionNotification(TRasNotificationId aId) override;
  uint32_t GetErrorString(uint32_t aCode, std::string& aText) override;
  uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress) override;
  bool ListsPending() override;
  TRasNotificationId ListsNotification(std::function<void()> aLearnt) override;
  void RemoveListsNotification(TRasNotificationId aId) override;

 private:
  const std::chrono::milliseconds FCallTimeout;
  std::unique_ptr<TNmCache> FCache;
  std::unique_ptr<TNmBusThread> FThread;
  TNmBus* FBus = nullptr;  // lives on FThread
};
