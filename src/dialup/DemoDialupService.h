// An in-process dial-up service with one phone-book entry that dials through the progress states
// on timers; used by the demo mode and the component tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "dialup/DialupService.h"

// Dial steps and change notifications run on the service's own timer thread, which the
// destructor stops and joins; steps still due then are dropped.
class TDemoDialupService final : public TDialupService {
 public:
  static constexpr char kEntryName[] = "Demo modem connection";
  static constexpr char kPeerAddress[] = "127.0.0.1";

  explicit TDemoDialupService(std::chrono::milliseconds aStepInterval = std::chrono::milliseconds(300));
  ~TDemoDialupService() override;
  TDemoDialupService(const TDemoDialupService&) = delete;
  TDemoDialupService& operator=(const TDemoDialupService&) = delete;

  // The steps a dial goes through, the last being RASCS_Connected.
  static const std::vector<TRASConnState>& DialSteps();

  // The next dial reports aError at step aAtState (one of DialSteps) and ends there.
  void FailNextDial(uint32_t aError, TRASConnState aAtState);
  // A connection made outside the program: listed at once, already connected.
  TRasHandle AddExternalConnection(const std::string& aEntryName);
  // The line drops as if the far end hung up.
  void DropConnection(TRasHandle aConn);
  // Dials accepted so far.
  int DialCount() const;
  // Makes every later call fail with aError (0 again to recover).
  void FailEveryCall(uint32_t aError);
  // The next hang-up is accepted, then refused with aError on the timer thread; the connection
  // stays up.
  void RefuseNextHangUp(uint32_t aError);

  uint32_t EnumEntries(std::vector<std::string>& aNames) override;
  uint32_t EnumConnections(std::vector<TRasConnection>& aConnections) override;
  uint32_t FindEntry(const std::string& aEntryName) override;
  uint32_t GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) override;
  uint32_t SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) override;
  uint32_t GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) override;
  uint32_t Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) override;
  uint32_t HangUp(TRasHandle aConn, TRasHangUpRefused aRefused) override;
  uint32_t ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId) override;
  void RemoveConnectionNotification(TRasNotificationId aId) override;
  uint32_t GetErrorString(uint32_t aCode, std::string& aText) override;
  uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress) override;

 private:
  struct TConnection {
    std::string EntryName;
    bool Connected = false;
    TRasDialCallback Callback;  // while dialling
  };
  struct TTimerTask {
    std::chrono::steady_clock::time_point Due;
    uint64_t Order;
    std::function<void()> Run;
    bool operator>(const TTimerTask& o) const { return Due != o.Due ? Due > o.Due : Order > o.Order; }
  };

  void Schedule(std::chrono::steady_clock::duration aDelay, std::function<void()> aRun);
  void TimerLoop(std::stop_token aStop);
  void RunStep(TRasHandle aConn, size_t aStep, uint32_t aFailError, size_t aFailStep);
  // Ends a connection and tells its watchers.
  uint32_t EndConnection(TRasHandle aConn);
  void Notify(TRasHandle aConn);

  const std::chrono::milliseconds FStepInterval;

  mutable std::mutex FLock;  // the phone book, the connections and the failure plans
  TRasEntry FEntry;
  TRasDialParams FDialParams;
  std::map<TRasHandle, TConnection> FConnections;
  TRasHandle FNextHandle = 1;
  int FDialCount = 0;
  uint32_t FEveryCallError = 0;
  std::optional<std::pair<uint32_t, TRASConnState>> FFailNext;
  uint32_t FRefuseHangUp = 0;

  // Serialises dial steps with hang-ups, so no step of a hung-up dial is delivered afterwards.
  std::recursive_mutex FDialLock;

  std::mutex FNotifyLock;  // held while a notification runs
  std::map<TRasNotificationId, std::pair<TRasHandle, std::function<void()>>> FNotifications;
  TRasNotificationId FNextNotification = 1;

  std::mutex FTimerLock;
  std::condition_variable_any FTimerWake;
  std::priority_queue<TTimerTask, std::vector<TTimerTask>, std::greater<>> FTasks;
  uint64_t FTaskOrder = 0;
  std::jthread FTimer;  // last
};
