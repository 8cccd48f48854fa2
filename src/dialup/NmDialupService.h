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

// Owns a private thread with its own Qt event loop and D-Bus connection; every operation is
// carried out there, the caller's thread waiting for it (an operation called on that thread runs
// directly). Dial steps and change notifications therefore run on that bus thread, so callers
// need no Qt event loop of their own: the GUI, the console program and the tests use it alike.
// Qt needs an application object for any event loop; when none exists (console program, tests)
// the first service creates a bare QCoreApplication that is never run and lives until exit.
// A program that wants its own QApplication must create it before the first service.
class TNmDialupService final : public TDialupService {
 public:
  explicit TNmDialupService(TNmServiceOptions aOptions = {});
  ~TNmDialupService() override;
  TNmDialupService(const TNmDialupService&) = delete;
  TNmDialupService& operator=(const TNmDialupService&) = delete;

  // Whether the bus could be reached; without it every operation fails with
  // RAS_ERR_SERVICE_UNAVAILABLE.
  bool BusConnected();

  uint32_t EnumEntries(std::vector<std::string>& aNames) override;
  uint32_t EnumConnections(std::vector<TRasConnection>& aConnections) override;
  uint32_t FindEntry(const std::string& aEntryName) override;
  uint32_t GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) override;
  uint32_t SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) override;
  uint32_t GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) override;
  uint32_t Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) override;
  uint32_t HangUp(TRasHandle aConn) override;
  uint32_t ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId) override;
  void RemoveConnectionNotification(TRasNotificationId aId) override;
  uint32_t GetErrorString(uint32_t aCode, std::string& aText) override;
  uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress) override;

 private:
  template <class F>
  uint32_t OnBus(F&& aCall);

  std::unique_ptr<TNmBusThread> FThread;
  TNmBus* FBus = nullptr;  // lives on FThread
};
