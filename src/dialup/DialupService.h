// The dial-up service the connection component stands on: phone book, connections, dialling with
// progress, hang-up, change notification, error texts and the link's peer address.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A connection's handle; INVALID_RAS_HANDLE when there is none, 0 while a dial is being prepared.
using TRasHandle = uintptr_t;
constexpr TRasHandle INVALID_RAS_HANDLE = ~TRasHandle{0};

// Connection states of the dial progress; only the low 16 bits carry the state.
enum TRASConnState : uint32_t {
  RASCS_OpenPort = 0,
  RASCS_PortOpened = 1,
  RASCS_ConnectDevice = 2,
  RASCS_DeviceConnected = 3,
  RASCS_AllDevicesConnected = 4,
  RASCS_Authenticate = 5,
  RASCS_AuthNotify = 6,
  RASCS_AuthRetry = 7,
  RASCS_AuthCallback = 8,
  RASCS_AuthChangePassword = 9,
  RASCS_AuthProject = 10,
  RASCS_AuthLinkSpeed = 11,
  RASCS_AuthAck = 12,
  RASCS_ReAuthenticate = 13,
  RASCS_Authenticated = 14,
  RASCS_PrepareForCallback = 15,
  RASCS_WaitForModemReset = 16,
  RASCS_WaitForCallback = 17,
  RASCS_Projected = 18,
  RASCS_StartAuthentication = 19,
  RASCS_CallbackComplete = 20,
  RASCS_LogonNetwork = 21,
  RASCS_SubEntryConnected = 22,
  RASCS_SubEntryDisconnected = 23,
  RASCS_Interactive = 0x1000,
  RASCS_RetryAuthentication = 0x1001,
  RASCS_CallbackSetByCaller = 0x1002,
  RASCS_PasswordExpired = 0x1003,
  RASCS_Connected = 0x2000,
  RASCS_Disconnected = 0x2001,
};

// The message number every dial progress step carries.
constexpr uint32_t WM_RASDIALEVENT = 0xCCCD;

// Text limits of the dial records, in characters.
constexpr size_t RAS_MaxEntryName = 256;
constexpr size_t RAS_MaxPhoneNumber = 128;
constexpr size_t RAS_MaxCallbackNumber = 128;
constexpr size_t UNLEN = 256;
constexpr size_t PWLEN = 256;
constexpr size_t DNLEN = 15;

// Error codes of the dial-up services; DialupErrorText holds their texts.
enum : uint32_t {
  RAS_SUCCESS = 0,
  RAS_ERR_SERVICE_UNAVAILABLE = 601,
  RAS_ERR_INVALID_HANDLE = 602,
  RAS_ERR_ACCESS_DENIED = 604,
  RAS_ERR_SERVICE_FAILED = 605,
  RAS_ERR_TIMEOUT = 606,
  RAS_ERR_NO_DEVICE = 607,
  RAS_ERR_NOT_SUPPORTED = 608,
  RAS_ERR_NO_PEER = 609,
  RAS_ERR_DIAL_FAILED = 610,
  RAS_ERR_INVALID_SIZE = 611,
  RAS_ERR_NO_CARRIER = 612,
  RAS_ERR_AUTH_FAILED = 613,
  RAS_ERR_BAD_ANSWER = 614,
  RAS_ERR_ENTRY_NOT_FOUND = 623,
  // A network manager's reason for ending an activation (active connection or VPN), plus the reason.
  RAS_ERR_ACTIVATION_REASON_BASE = 1000,
  // A network manager's reason for a device state change, plus the reason.
  RAS_ERR_DEVICE_REASON_BASE = 2000,
};

// The text of a service error code; false for a code no service uses.
bool DialupErrorText(uint32_t aCode, std::string& aText);

struct TRasIpAddr {
  uint8_t a = 0, b = 0, c = 0, d = 0;
  bool operator==(const TRasIpAddr&) const = default;
};

// Entry option bits (dwfOptions), network protocols and framing used by the services.
constexpr uint32_t RASEO_SpecificIpAddr = 0x00000002;
constexpr uint32_t RASEO_SpecificNameServers = 0x00000004;
constexpr uint32_t RASEO_RemoteDefaultGateway = 0x00000010;
constexpr uint32_t RASNP_Ip = 0x00000004;
constexpr uint32_t RASFP_Ppp = 0x00000001;

// An entry's properties. The services set dwSize to kRasEntrySize when they fill one.
constexpr uint32_t kRasEntrySize = 5412;
struct TRasEntry {
  uint32_t dwSize = 0;
  uint32_t dwfOptions = 0;
  uint32_t dwCountryID = 0;
  uint32_t dwCountryCode = 0;
  std::string szAreaCode;
  std::string szLocalPhoneNumber;
  uint32_t dwAlternateOffset = 0;
  TRasIpAddr ipaddr;
  TRasIpAddr ipaddrDns;
  TRasIpAddr ipaddrDnsAlt;
  TRasIpAddr ipaddrWins;
  TRasIpAddr ipaddrWinsAlt;
  uint32_t dwFrameSize = 0;
  uint32_t dwfNetProtocols = 0;
  uint32_t dwFramingProtocol = 0;
  // Fields past the framing protocol.
  std::string szScript;
  std::string szDeviceType;
  std::string szDeviceName;

  void ZeroInit() { *this = TRasEntry{}; }
  bool operator==(const TRasEntry&) const = default;
};

struct TRasDialParams {
  std::string szEntryName;
  std::string szPhoneNumber;
  std::string szCallbackNumber;
  std::string szUserName;
  std::string szPassword;
  std::string szDomain;

  void ZeroInit() { *this = TRasDialParams{}; }
};

struct TRasConnection {
  TRasHandle hrasconn = INVALID_RAS_HANDLE;
  std::string szEntryName;
};

// One dial progress step: the connection being dialled, the message number, the state and an
// error code (0 unless the step failed).
using TRasDialCallback = std::function<void(TRasHandle aConn, uint32_t aMsg, TRASConnState aState, uint32_t aError)>;
using TRasNotificationId = uint64_t;
// A hang-up the service refused after HangUp had returned, with the service's error code.
using TRasHangUpRefused = std::function<void(uint32_t aError)>;

// Every operation returns 0 or an error code with a text from GetErrorString. Callers may call
// from any thread; each implementation says on which thread it runs the dial callbacks and the
// change notifications.
class TDialupService {
 public:
  virtual ~TDialupService() = default;

  // Phone-book entry names, in the service's order.
  virtual uint32_t EnumEntries(std::vector<std::string>& aNames) = 0;
  // Active connections (including dials in progress) with their handles.
  virtual uint32_t EnumConnections(std::vector<TRasConnection>& aConnections) = 0;
  // 0 when the phone book holds the entry.
  virtual uint32_t FindEntry(const std::string& aEntryName) = 0;
  virtual uint32_t GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) = 0;
  // Refuses a record whose dwSize is 0 with RAS_ERR_INVALID_SIZE.
  virtual uint32_t SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) = 0;
  // aParams.szEntryName names the entry; the rest is filled from its stored dial parameters.
  virtual uint32_t GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) = 0;
  // Starts dialling aParams.szEntryName; on success aConn receives the dial's handle and the
  // steps follow through aCallback, which the service keeps until the dial has connected, failed
  // or been hung up. A step may arrive before Dial has returned.
  virtual uint32_t Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) = 0;
  // A service that hangs up in the background returns 0 once the request is on its way and calls
  // aRefused on its own thread if the service then refuses it; a connection that is gone already
  // is no refusal (its watchers hear of the end).
  virtual uint32_t HangUp(TRasHandle aConn, TRasHangUpRefused aRefused) = 0;
  // Calls aChanged whenever the connection changes (it ends, is hung up or drops). aChanged must
  // be quick and must not call the service. Fails for a handle that is not an active connection.
  virtual uint32_t ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged,
                                          TRasNotificationId& aId) = 0;
  // After it returns, the notification's function is neither running nor called again.
  virtual void RemoveConnectionNotification(TRasNotificationId aId) = 0;
  // 0 and the text, or a system error number when the code is not one of the service's.
  virtual uint32_t GetErrorString(uint32_t aCode, std::string& aText) = 0;
  // The far end of the link in dotted-decimal IPv4 form.
  virtual uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress) = 0;

  // A service that learns its lists in the background (at start, and again when it comes back
  // after going away) says so here; the lists then answer with what is known so far.
  virtual bool ListsPending() { return false; }
  // aLearnt runs on the service's own thread each time the lists have been learnt anew, and when
  // the first learning has failed (the lists then answer with the failure). It must be quick and
  // must not call the service. 0 when the service never learns in the background.
  virtual TRasNotificationId ListsNotification(std::function<void()> aLearnt) {
    (void)aLearnt;
    return 0;
  }
  // After it returns, the notification's function is neither running nor called again.
  virtual void RemoveListsNotification(TRasNotificationId aId) { (void)aId; }
};
