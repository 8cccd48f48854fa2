// The dial-up connection component: lists the phone book and the active connections, dials an
// entry with progress events, adopts a running connection, hangs up, and learns of the
// disconnection through a notifier thread.
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

#include "common/Component.h"
#include "common/Events.h"
#include "dialup/DialupService.h"

using TStringDynArray = std::vector<std::string>;

class TXuCustomRas;

// Threads the events run on (the window hands their effects to its own thread by posting):
// - OnRasError: the thread that called the operation; a hang-up the service refuses after
//   Disconnect has returned is reported on the service's callback thread.
// - OnRasDialFunction, OnConnect: the dial-up service's callback thread (the NetworkManager
//   service's bus thread, the demo service's timer thread). On the connected step OnConnect comes
//   first, then OnRasDialFunction, both on that one thread, so posting them keeps their order.
//   The first steps may arrive while Connect is still running on the caller's thread.
// - OnDisconnect: the notifier thread.
// - OnListsLearnt: the service's callback thread.
// A handler must not wait for the user-interface thread, and must not destroy the component.
using TRasOnError = std::function<void(const std::string& sError)>;
using TRasDialFunction = std::function<void(uint32_t nMsg, TRASConnState RasConnState, uint32_t dwError)>;
using TRasOnConnect = std::function<void(TXuCustomRas* Sender)>;
using TRasOnDisconnect = std::function<void(TXuCustomRas* Sender)>;
// The service has learnt its entries and connections anew (or failed to): at start, and when it
// has come back after going away.
using TRasOnListsLearnt = std::function<void(TXuCustomRas* Sender)>;

// Misuse: a property changed while connected or over its limit, a second connect.
class EXuRasError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kRasAlreadyConnected[] = "The connection is already established. First - disconnect.";

// The service's text for an error code; "Fail when get error string.\r\n" and the system error
// text when the service has none.
std::string RasErrorText(TDialupService& aService, uint32_t aCode);
// Assigns the status text of the state's low 16 bits; a state without text leaves aText alone.
void RasStateText(uint32_t aState, std::string& aText);

// Watches one established connection and calls the component's DoDisconnect when it changes.
// Owned by the component, which stops and joins it; the thread starts at construction.
class TXuRasNotifier {
 public:
  // Watches aConn, the component's handle when the watch was made: a hang-up right after, which
  // clears the handle, must not pass for the connection's end. aDoneEvent runs on the notifier
  // thread as its last act.
  TXuRasNotifier(TXuCustomRas& aCustomRas, TRasHandle aConn, std::function<void()> aDoneEvent);
  ~TXuRasNotifier();
  TXuRasNotifier(const TXuRasNotifier&) = delete;
  TXuRasNotifier& operator=(const TXuRasNotifier&) = delete;

  // From any thread: ends the watch without OnDisconnect.
  void Stop();
  bool Finished() const { return FFinished.load(); }

 private:
  void Execute(std::stop_token aStop);
  void SignalWait();

  TXuCustomRas& FCustomRas;
  const TRasHandle FConn;
  std::function<void()> FDoneEvent;
  std::mutex FLock;
  std::condition_variable_any FWake;
  bool hWaitEvent = false;   // the service saw the connection change
  bool hBreakEvent = false;  // Stop was called
  std::atomic<bool> FFinished{false};
  std::jthread FThread;  // last: started once everything above exists
};

// Per-component callbacks handed to the service (dial steps, hang-up refusals). Released by the
// component's destructor, so that a dial still running reports to nobody.
struct TRasDialStub;

class TXuCustomRas : public TComponent {
 public:
  // The service must outlive the component.
  explicit TXuCustomRas(TDialupService& aService, TComponent* AOwner = nullptr);
  // Stops and joins the notifier; the connection is not hung up.
  ~TXuCustomRas() override;
  void Loaded() override;

  // Starts dialling EntryName; returns while the dial proceeds. Throws when connected.
  void Connect();
  // Hangs up Handle; the notifier reports the end through OnDisconnect, and OnRasError a hang-up
  // the service refuses (the connection then stays, with its handle).
  void Disconnect();
  TStringDynArray EnumRasEntriesNames();
  TStringDynArray EnumRasConnectionsNames();
  // With one active connection adopts it whatever its name; with several, only the one named
  // exactly aConnName. Neither sets Connected nor fires OnConnect. Throws when connected.
  bool UseConnection(const std::string& aConnName);
  TRasEntry GetEntryProperties(const std::string& aEntryName);
  bool SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry);
  // Reads the entry's stored dial parameters into EntryName, PhoneNumber, UserName and Password.
  void SetEntryDialParams(const std::string& aEntryName);
  void StopRasNotifier();
  // True when no notifier is watching; reaps one that has ended.
  bool RasNotifierFinished();
  // Signalled when the notifier ends; reset when a connection comes up or is adopted.
  TEvent& NotifierEvent() { return hNotifierEvent; }

  std::string EntryName() const;
  void SetEntryName(const std::string& aValue);
  std::string PhoneNumber() const;
  void SetPhoneNumber(const std::string& aValue);
  std::string CallbackNumber() const;
  void SetCallbackNumber(const std::string& aValue);
  std::string UserName() const;
  void SetUserName(const std::string& aValue);
  std::string Password() const;
  void SetPassword(const std::string& aValue);
  std::string Domain() const;
  void SetDomain(const std::string& aValue);

  void SetOnRasError(TRasOnError aHandler);
  void SetOnRasDialFunction(TRasDialFunction aHandler);
  void SetOnConnect(TRasOnConnect aHandler);
  void SetOnDisconnect(TRasOnDisconnect aHandler);
  void SetOnListsLearnt(TRasOnListsLearnt aHandler);
  // Whether the service is still learning its lists; OnListsLearnt follows when it has.
  bool ListsPending() { return FService.ListsPending(); }

  // The far end of Handle's link (the ping's destination); empty when the service cannot tell,
  // which is not reported.
  std::string PeerAddress();

  TDialupService& Service() const { return FService; }
  // The service's text for an error code (for the panel's error box).
  std::string ErrorText(uint32_t aCode) const { return RasErrorText(FService, aCode); }

 protected:
  TRasHandle GetHandle() const;
  bool GetConnected() const;
  void SetConnectedFlag(bool aValue);

 private:
  friend class TXuRasNotifier;
  friend struct TRasDialStub;

  void RasDialCallback(TRasHandle aConn, uint32_t nMsg, TRASConnState aState, uint32_t aError);
  void HangUpRefused(TRasHandle aConn, uint32_t aError);
  void ListsLearnt();
  void DoRasError(const std::string& aText);
  void DoDisconnect();
  void RasNotifierDone();
  // With FLock held: a new notifier unless one is still watching.
  void StartNotifierLocked();
  void SetChecked(std::string& aField, const std::string& aValue, size_t aLimit);
  std::vector<TRasConnection> EnumConnections(bool& aOk);

  TDialupService& FService;
  std::shared_ptr<TRasDialStub> FStub;
  TRasNotificationId FListsNotification = 0;
  TAutoResetEvent hNotifierEvent;

  // One lock for everything the service and notifier threads share with the caller's thread.
  mutable std::mutex FLock;
  TRasHandle hConn = INVALID_RAS_HANDLE;
  TRasDialFunction FRasDialFnc;
  TRasOnError FOnError;
  std::unique_ptr<TXuRasNotifier> FRasNotifier;
  TRasOnConnect FOnConnect;
  TRasOnDisconnect FOnDisconnect;
  TRasOnListsLearnt FOnListsLearnt;
  std::string sEntryName;
  std::string sPhoneNumber;
  std::string sCallbackNumber;
  std::string sUserName;
  std::string sPassword;
  std::string sDomain;
  bool bConnected = false;
};

class TXuRAS : public TXuCustomRas {
 public:
  using TXuCustomRas::TXuCustomRas;
  TRasHandle Handle() const { return GetHandle(); }
  bool Connected() const { return GetConnected(); }
  void SetConnected(bool aValue) { SetConnectedFlag(aValue); }
};
