// The NetworkManager dial-up service: profiles, active connections, dial progress from the
// active connection's and the device's state changes, and the link's peer from its IPv4 config.
#include "dialup/NmDialupService.h"

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusVariant>
#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "dialup/NmBus.h"

namespace {

const QString kNmInterface = QStringLiteral("org.freedesktop.NetworkManager");
const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kSettingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
const QString kSettingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
const QString kProfileInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings.Connection");
const QString kActiveInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
const QString kVpnInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
const QString kDeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kIp4Interface = QStringLiteral("org.freedesktop.NetworkManager.IP4Config");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kObjectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kRootPath = QStringLiteral("/org/freedesktop");

// The profile types that are dial-up entries: mobile broadband, PPPoE and VPN.
const QStringList kEntryTypes = {QStringLiteral("cdma"), QStringLiteral("gsm"), QStringLiteral("pppoe"),
                                 QStringLiteral("vpn")};

// NetworkManager's active connection states and device states.
enum : uint32_t { kActivating = 1, kActivated = 2, kDeactivating = 3, kDeactivated = 4 };
enum : uint32_t {
  kDevicePrepare = 40,
  kDeviceConfig = 50,
  kDeviceNeedAuth = 60,
  kDeviceIpConfig = 70,
  kDeviceIpCheck = 80,
  kDeviceSecondaries = 90,
  kDeviceFailed = 120,
};
// NetworkManager's VPN states.
enum : uint32_t { kVpnPrepare = 1, kVpnNeedAuth = 2, kVpnConnect = 3, kVpnIpConfigGet = 4, kVpnFailed = 6 };
// Reasons 0 and 1 say "unknown" and "none"; they name no failure.
constexpr uint32_t kFirstRealReason = 2;

void EnsureQtCore() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "cdma-monitor";
    static char* argv[] = {name, nullptr};
    // Never run: it only lets the bus threads' event loops work. It lives until the process ends.
    new QCoreApplication(argc, argv);
  });
}

uint32_t ErrorCode(const QDBusMessage& aReply) {
  if (aReply.type() == QDBusMessage::ReplyMessage) return RAS_SUCCESS;
  if (aReply.type() != QDBusMessage::ErrorMessage) return RAS_ERR_SERVICE_UNAVAILABLE;
  const QString name = aReply.errorName();
  if (name.endsWith(QLatin1String(".ServiceUnknown")) || name.endsWith(QLatin1String(".NameHasNoOwner")) ||
      name.endsWith(QLatin1String(".Disconnected")) || name.endsWith(QLatin1String(".NoServer")))
    return RAS_ERR_SERVICE_UNAVAILABLE;
  if (name.endsWith(QLatin1String(".NoReply")) || name.endsWith(QLatin1String(".Timeout")) ||
      name.endsWith(QLatin1String(".TimedOut")))
    return RAS_ERR_TIMEOUT;
  if (name.contains(QLatin1String("PermissionDenied")) || name.endsWith(QLatin1String(".AccessDenied")))
    return RAS_ERR_ACCESS_DENIED;
  if (name.contains(QLatin1String("UnknownConnection")) || name.contains(QLatin1String("InvalidConnection")))
    return RAS_ERR_ENTRY_NOT_FOUND;
  if (name.contains(QLatin1String("UnknownDevice"))) return RAS_ERR_NO_DEVICE;
  if (name.contains(QLatin1String("ConnectionNotActive")) || name.endsWith(QLatin1String(".UnknownObject")))
    return RAS_ERR_INVALID_HANDLE;
  if (name.endsWith(QLatin1String(".UnknownMethod"))) return RAS_ERR_NOT_SUPPORTED;
  return RAS_ERR_SERVICE_FAILED;
}

QStringList ObjectPaths(const QVariant& aValue) {
  QStringList paths;
  if (aValue.userType() == qMetaTypeId<QDBusObjectPath>()) {
    paths << aValue.value<QDBusObjectPath>().path();
    return paths;
  }
  for (const QDBusObjectPath& p : qdbus_cast<QList<QDBusObjectPath>>(aValue)) paths << p.path();
  return paths;
}

TRasIpAddr IpFromNetworkOrder(uint32_t aValue) {
  uint8_t b[4];
  std::memcpy(b, &aValue, 4);
  return TRasIpAddr{b[0], b[1], b[2], b[3]};
}

bool IpFromText(const QString& aText, TRasIpAddr& aAddr) {
  in_addr a{};
  if (::inet_pton(AF_INET, aText.toLatin1().constData(), &a) != 1) return false;
  aAddr = IpFromNetworkOrder(a.s_addr);
  return true;
}

uint32_t IpToNetworkOrder(const TRasIpAddr& aAddr) {
  const uint8_t b[4] = {aAddr.a, aAddr.b, aAddr.c, aAddr.d};
  uint32_t v;
  std::memcpy(&v, b, 4);
  return v;
}

// A progress step for a device state, or -1 for a state that shows none.
int DeviceStep(uint32_t aState) {
  switch (aState) {
    case kDevicePrepare: return RASCS_OpenPort;
    case kDeviceConfig: return RASCS_ConnectDevice;
    case kDeviceNeedAuth: return RASCS_Authenticate;
    case kDeviceIpConfig: return RASCS_AuthProject;
    case kDeviceIpCheck:
    case kDeviceSecondaries: return RASCS_Projected;
    default: return -1;
  }
}

int VpnStep(uint32_t aState) {
  switch (aState) {
    case kVpnPrepare: return RASCS_OpenPort;
    case kVpnNeedAuth: return RASCS_Authenticate;
    case kVpnConnect: return RASCS_ConnectDevice;
    case kVpnIpConfigGet: return RASCS_AuthProject;
    default: return -1;
  }
}

std::atomic<int> gBusCounter{0};

}  // namespace

// --- bus side ---------------------------------------------------------------------------------

TNmBus::TNmBus(const TNmServiceOptions& aOptions)
    : FOptions(aOptions),
      FConnectionName(QStringLiteral("cdma-dialup-nm-%1").arg(++gBusCounter)),
      FConnection(aOptions.BusAddress.empty()
                      ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, FConnectionName)
                      : QDBusConnection::connectToBus(QString::fromStdString(aOptions.BusAddress), FConnectionName)) {
  qDBusRegisterMetaType<TNmSettings>();
  qDBusRegisterMetaType<QList<uint>>();
  if (!FConnection.isConnected()) return;
  const QString service = QString::fromStdString(FOptions.ServiceName);
  // Signals are taken from every path of the service; the handlers pick the paths they follow.
  FConnection.connect(service, QString(), kActiveInterface, QStringLiteral("StateChanged"), this,
                      SLOT(OnActiveStateChanged(QDBusMessage)));
  FConnection.connect(service, QString(), kVpnInterface, QStringLiteral("VpnStateChanged"), this,
                      SLOT(OnVpnStateChanged(QDBusMessage)));
  FConnection.connect(service, QString(), kDeviceInterface, QStringLiteral("StateChanged"), this,
                      SLOT(OnDeviceStateChanged(QDBusMessage)));
  FConnection.connect(service, QString(), kPropertiesInterface, QStringLiteral("PropertiesChanged"), this,
                      SLOT(OnPropertiesChanged(QDBusMessage)));
  // Older services announce property changes on the object's own interface.
  FConnection.connect(service, kManagerPath, kNmInterface, QStringLiteral("PropertiesChanged"), this,
                      SLOT(OnLegacyPropertiesChanged(QDBusMessage)));
  FConnection.connect(service, QString(), kActiveInterface, QStringLiteral("PropertiesChanged"), this,
                      SLOT(OnLegacyPropertiesChanged(QDBusMessage)));
  FConnection.connect(service, kRootPath, kObjectManagerInterface, QStringLiteral("InterfacesAdded"), this,
                      SLOT(OnInterfacesAdded(QDBusMessage)));
  FConnection.connect(service, kRootPath, kObjectManagerInterface, QStringLiteral("InterfacesRemoved"), this,
                      SLOT(OnInterfacesRemoved(QDBusMessage)));
}

TNmBus::~TNmBus() { QDBusConnection::disconnectFromBus(FConnectionName); }

QDBusMessage TNmBus::Call(const QString& aPath, const QString& aInterface, const QString& aMethod,
                          const QVariantList& aArgs) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromStdString(FOptions.ServiceName), aPath, aInterface, aMethod);
  call.setArguments(aArgs);
  return FConnection.call(call, QDBus::Block, static_cast<int>(FOptions.CallTimeout.count()));
}

uint32_t TNmBus::GetProperty(const QString& aPath, const QString& aInterface, const QString& aName,
                             QVariant& aValue) {
  const QDBusMessage reply = Call(aPath, kPropertiesInterface, QStringLiteral("Get"), {aInterface, aName});
  if (const uint32_t code = ErrorCode(reply)) return code;
  aValue = reply.arguments().value(0).value<QDBusVariant>().variant();
  return RAS_SUCCESS;
}

uint32_t TNmBus::GetAllProperties(const QString& aPath, const QString& aInterface, QVariantMap& aValues) {
  const QDBusMessage reply = Call(aPath, kPropertiesInterface, QStringLiteral("GetAll"), {aInterface});
  if (const uint32_t code = ErrorCode(reply)) return code;
  aValues = qdbus_cast<QVariantMap>(reply.arguments().value(0));
  return RAS_SUCCESS;
}

uint32_t TNmBus::ListProfiles(QList<TProfile>& aProfiles) {
  const QDBusMessage reply = Call(kSettingsPath, kSettingsInterface, QStringLiteral("ListConnections"));
  if (const uint32_t code = ErrorCode(reply)) return code;
  for (const QString& path : ObjectPaths(reply.arguments().value(0))) {
    const QDBusMessage settings = Call(path, kProfileInterface, QStringLiteral("GetSettings"));
    if (ErrorCode(settings) != RAS_SUCCESS) continue;  // removed meanwhile
    TProfile profile;
    profile.Path = path;
    profile.Settings = qdbus_cast<TNmSettings>(settings.arguments().value(0));
    const QVariantMap connection = profile.Settings.value(QStringLiteral("connection"));
    profile.Id = connection.value(QStringLiteral("id")).toString();
    profile.Type = connection.value(QStringLiteral("type")).toString();
    if (kEntryTypes.contains(profile.Type)) aProfiles << profile;
  }
  return RAS_SUCCESS;
}

uint32_t TNmBus::FindProfile(const std::string& aEntryName, TProfile& aProfile) {
  QList<TProfile> profiles;
  if (const uint32_t code = ListProfiles(profiles)) return code;
  const QString name = QString::fromStdString(aEntryName);
  for (const TProfile& p : profiles) {
    if (p.Id == name) {
      aProfile = p;
      return RAS_SUCCESS;
    }
  }
  return RAS_ERR_ENTRY_NOT_FOUND;
}

uint32_t TNmBus::ActiveConnectionPaths(QStringList& aPaths) {
  QVariant list;
  if (const uint32_t code = GetProperty(kManagerPath, kNmInterface, QStringLiteral("ActiveConnections"), list))
    return code;
  aPaths = ObjectPaths(list);
  return RAS_SUCCESS;
}

TRasHandle TNmBus::HandleFor(const QString& aPath) {
  auto it = FHandles.find(aPath);
  if (it != FHandles.end()) return it->second;
  const TRasHandle handle = FNextHandle++;
  FHandles[aPath] = handle;
  FPaths[handle] = aPath;
  return handle;
}

QString TNmBus::PathFor(TRasHandle aHandle) const {
  auto it = FPaths.find(aHandle);
  return it == FPaths.end() ? QString() : it->second;
}

uint32_t TNmBus::EnumEntries(std::vector<std::string>& aNames) {
  QList<TProfile> profiles;
  if (const uint32_t code = ListProfiles(profiles)) return code;
  aNames.clear();
  for (const TProfile& p : profiles) aNames.push_back(p.Id.toStdString());
  return RAS_SUCCESS;
}

uint32_t TNmBus::EnumConnections(std::vector<TRasConnection>& aConnections) {
  QStringList paths;
  if (const uint32_t code = ActiveConnectionPaths(paths)) return code;
  aConnections.clear();
  for (const QString& path : paths) {
    QVariantMap props;
    if (GetAllProperties(path, kActiveInterface, props) != RAS_SUCCESS) continue;  // ended meanwhile
    // Wired and wireless links are no dial-up connections; listing them would hide the modem's.
    if (!kEntryTypes.contains(props.value(QStringLiteral("Type")).toString())) continue;
    aConnections.push_back(TRasConnection{HandleFor(path), props.value(QStringLiteral("Id")).toString().toStdString()});
  }
  return RAS_SUCCESS;
}

uint32_t TNmBus::FindEntry(const std::string& aEntryName) {
  TProfile profile;
  return FindProfile(aEntryName, profile);
}

uint32_t TNmBus::GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) {
  TProfile profile;
  if (const uint32_t code = FindProfile(aEntryName, profile)) return code;
  const QVariantMap connection = profile.Settings.value(QStringLiteral("connection"));
  const QVariantMap own = profile.Settings.value(profile.Type);
  const QVariantMap ipv4 = profile.Settings.value(QStringLiteral("ipv4"));
  aEntry.ZeroInit();
  aEntry.dwSize = kRasEntrySize;
  if (profile.Type == QLatin1String("cdma") || profile.Type == QLatin1String("gsm")) {
    aEntry.szDeviceType = "modem";
    aEntry.szLocalPhoneNumber = own.value(QStringLiteral("number")).toString().toStdString();
  } else if (profile.Type == QLatin1String("pppoe")) {
    // A PPPoE entry keeps its service name where a modem entry keeps the number.
    aEntry.szDeviceType = "PPPoE";
    aEntry.szLocalPhoneNumber = own.value(QStringLiteral("service")).toString().toStdString();
  } else {
    // And a VPN entry its server.
    aEntry.szDeviceType = "vpn";
    const auto data = qdbus_cast<QMap<QString, QString>>(own.value(QStringLiteral("data")));
    aEntry.szLocalPhoneNumber = data.value(QStringLiteral("gateway"), data.value(QStringLiteral("remote"))).toStdString();
  }
  aEntry.szDeviceName = connection.value(QStringLiteral("interface-name")).toString().toStdString();
  aEntry.dwFramingProtocol = RASFP_Ppp;
  if (ipv4.value(QStringLiteral("method")).toString() != QLatin1String("disabled")) aEntry.dwfNetProtocols = RASNP_Ip;
  if (!ipv4.value(QStringLiteral("never-default")).toBool()) aEntry.dwfOptions |= RASEO_RemoteDefaultGateway;

  std::vector<TRasIpAddr> dns;
  if (ipv4.contains(QStringLiteral("dns-data"))) {
    for (const QString& s : qdbus_cast<QStringList>(ipv4.value(QStringLiteral("dns-data")))) {
      TRasIpAddr a;
      if (IpFromText(s, a)) dns.push_back(a);
    }
  } else {
    for (uint v : qdbus_cast<QList<uint>>(ipv4.value(QStringLiteral("dns")))) dns.push_back(IpFromNetworkOrder(v));
  }
  if (!dns.empty()) {
    aEntry.dwfOptions |= RASEO_SpecificNameServers;
    aEntry.ipaddrDns = dns[0];
    if (dns.size() > 1) aEntry.ipaddrDnsAlt = dns[1];
  }
  const auto addresses = qdbus_cast<QList<QVariantMap>>(ipv4.value(QStringLiteral("address-data")));
  if (!addresses.isEmpty() && IpFromText(addresses.first().value(QStringLiteral("address")).toString(), aEntry.ipaddr))
    aEntry.dwfOptions |= RASEO_SpecificIpAddr;
  return RAS_SUCCESS;
}

uint32_t TNmBus::SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) {
  if (aEntry.dwSize == 0) return RAS_ERR_INVALID_SIZE;
  TProfile profile;
  if (const uint32_t code = FindProfile(aEntryName, profile)) return code;
  TNmSettings settings = profile.Settings;
  const QString number = QString::fromStdString(aEntry.szLocalPhoneNumber);
  if (profile.Type == QLatin1String("cdma") || profile.Type == QLatin1String("gsm"))
    settings[profile.Type][QStringLiteral("number")] = number;
  else if (profile.Type == QLatin1String("pppoe"))
    settings[profile.Type][QStringLiteral("service")] = number;
  if (aEntry.dwfOptions & RASEO_SpecificNameServers) {
    QList<uint> dns;
    for (const TRasIpAddr& a : {aEntry.ipaddrDns, aEntry.ipaddrDnsAlt})
      if (a != TRasIpAddr{}) dns << IpToNetworkOrder(a);
    settings[QStringLiteral("ipv4")].remove(QStringLiteral("dns-data"));
    settings[QStringLiteral("ipv4")][QStringLiteral("dns")] = QVariant::fromValue(dns);
  }
  // An update replaces the whole profile: carry its stored secrets over.
  const QDBusMessage secrets = Call(profile.Path, kProfileInterface, QStringLiteral("GetSecrets"), {profile.Type});
  if (ErrorCode(secrets) == RAS_SUCCESS) {
    const QVariantMap own = qdbus_cast<TNmSettings>(secrets.arguments().value(0)).value(profile.Type);
    for (auto it = own.begin(); it != own.end(); ++it)
      if (it.value().userType() == QMetaType::QString) settings[profile.Type][it.key()] = it.value();
  }
  return ErrorCode(Call(profile.Path, kProfileInterface, QStringLiteral("Update"), {QVariant::fromValue(settings)}));
}

uint32_t TNmBus::GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) {
  TProfile profile;
  if (const uint32_t code = FindProfile(aParams.szEntryName, profile)) return code;
  const QVariantMap own = profile.Settings.value(profile.Type);
  const bool vpn = profile.Type == QLatin1String("vpn");
  aParams.szPhoneNumber.clear();
  if (profile.Type == QLatin1String("cdma") || profile.Type == QLatin1String("gsm"))
    aParams.szPhoneNumber = own.value(QStringLiteral("number")).toString().toStdString();
  aParams.szUserName = own.value(vpn ? QStringLiteral("user-name") : QStringLiteral("username")).toString().toStdString();
  aParams.szCallbackNumber.clear();
  aParams.szDomain.clear();
  aParams.szPassword.clear();
  aPasswordReturned = false;

  QString password;
  const QDBusMessage reply = Call(profile.Path, kProfileInterface, QStringLiteral("GetSecrets"), {profile.Type});
  if (ErrorCode(reply) == RAS_SUCCESS) {
    const QVariantMap secrets = qdbus_cast<TNmSettings>(reply.arguments().value(0)).value(profile.Type);
    if (vpn) {
      const auto vpnSecrets = qdbus_cast<QMap<QString, QString>>(secrets.value(QStringLiteral("secrets")));
      if (vpnSecrets.contains(QStringLiteral("password"))) password = vpnSecrets.value(QStringLiteral("password"));
    } else if (secrets.value(QStringLiteral("password")).userType() == QMetaType::QString) {
      password = secrets.value(QStringLiteral("password")).toString();
    }
  }
  // A profile may carry its password in its own settings.
  if (password.isNull() && own.value(QStringLiteral("password")).userType() == QMetaType::QString)
    password = own.value(QStringLiteral("password")).toString();
  if (!password.isNull()) {
    aParams.szPassword = password.toStdString();
    aPasswordReturned = true;
  }
  return RAS_SUCCESS;
}

QString TNmBus::PickDevice(const QString& aProfilePath) {
  const QDBusMessage reply = Call(kManagerPath, kNmInterface, QStringLiteral("GetDevices"));
  if (ErrorCode(reply) != RAS_SUCCESS) return QStringLiteral("/");
  for (const QString& device : ObjectPaths(reply.arguments().value(0))) {
    QVariant available;
    if (GetProperty(device, kDeviceInterface, QStringLiteral("AvailableConnections"), available) == RAS_SUCCESS &&
        ObjectPaths(available).contains(aProfilePath))
      return device;
  }
  // Let the service choose (VPNs, and profiles no device offers yet).
  return QStringLiteral("/");
}

uint32_t TNmBus::Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) {
  TProfile profile;
  if (const uint32_t code = FindProfile(aParams.szEntryName, profile)) return code;
  const QDBusMessage reply =
      Call(kManagerPath, kNmInterface, QStringLiteral("ActivateConnection"),
           {QVariant::fromValue(QDBusObjectPath(profile.Path)), QVariant::fromValue(QDBusObjectPath(PickDevice(profile.Path))),
            QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))});
  if (const uint32_t code = ErrorCode(reply)) return code;
  const QString path = qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path();

  auto dial = std::make_shared<TDial>();
  dial->Handle = HandleFor(path);
  dial->Callback = std::move(aCallback);
  FDials[path] = dial;
  aConn = dial->Handle;
  // Signals sent before the reply wait in this thread's queue and are handled after this; the
  // state read now comes first, and the handlers drop whatever is older than what they have seen.
  QVariantMap props;
  if (GetAllProperties(path, kActiveInterface, props) == RAS_SUCCESS) {
    ActiveDevicesChanged(path, props.value(QStringLiteral("Devices")));
    ActiveStateChanged(path, props.value(QStringLiteral("State")).toUInt(), 0);
  } else {
    ConnectionGone(path);
  }
  return RAS_SUCCESS;
}

uint32_t TNmBus::HangUp(TRasHandle aConn) {
  const QString path = PathFor(aConn);
  if (path.isEmpty()) return RAS_ERR_INVALID_HANDLE;
  const uint32_t code = ErrorCode(Call(kManagerPath, kNmInterface, QStringLiteral("DeactivateConnection"),
                                       {QVariant::fromValue(QDBusObjectPath(path))}));
  if (code != RAS_SUCCESS) return code;
  // A dial hung up by its owner reports nothing more.
  auto it = FDials.find(path);
  if (it != FDials.end()) {
    it->second->Done = true;
    FDials.erase(it);
  }
  return RAS_SUCCESS;
}

uint32_t TNmBus::AddNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId) {
  const QString path = PathFor(aConn);
  if (path.isEmpty()) return RAS_ERR_INVALID_HANDLE;
  QStringList active;
  if (const uint32_t code = ActiveConnectionPaths(active)) return code;
  if (!active.contains(path)) return RAS_ERR_INVALID_HANDLE;
  std::lock_guard lock(FNotifyLock);
  aId = FNextNotification++;
  FNotifications[aId] = {path, std::move(aChanged)};
  return RAS_SUCCESS;
}

void TNmBus::RemoveNotification(TRasNotificationId aId) {
  std::lock_guard lock(FNotifyLock);
  FNotifications.erase(aId);
}

void TNmBus::FireNotifications(const QString& aPath) {
  std::lock_guard lock(FNotifyLock);
  for (auto& [id, n] : FNotifications)
    if (n.first == aPath) n.second();
}

uint32_t TNmBus::GetPeerAddress(TRasHandle aConn, std::string& aAddress) {
  const QString path = PathFor(aConn);
  if (path.isEmpty()) return RAS_ERR_INVALID_HANDLE;
  QVariant config;
  if (const uint32_t code = GetProperty(path, kActiveInterface, QStringLiteral("Ip4Config"), config)) return code;
  const QString configPath = config.value<QDBusObjectPath>().path();
  if (configPath.isEmpty() || configPath == QLatin1String("/")) return RAS_ERR_NO_PEER;
  // A point-to-point link names its peer; otherwise the gateway is the far end.
  QVariant addressData;
  if (GetProperty(configPath, kIp4Interface, QStringLiteral("AddressData"), addressData) == RAS_SUCCESS) {
    for (const QVariantMap& a : qdbus_cast<QList<QVariantMap>>(addressData)) {
      const QString peer = a.value(QStringLiteral("peer")).toString();
      if (!peer.isEmpty()) {
        aAddress = peer.toStdString();
        return RAS_SUCCESS;
      }
    }
  }
  QVariant gateway;
  if (GetProperty(configPath, kIp4Interface, QStringLiteral("Gateway"), gateway) == RAS_SUCCESS &&
      !gateway.toString().isEmpty()) {
    aAddress = gateway.toString().toStdString();
    return RAS_SUCCESS;
  }
  return RAS_ERR_NO_PEER;
}

// --- dial progress ----------------------------------------------------------------------------

void TNmBus::Step(const std::shared_ptr<TDial>& aDial, TRASConnState aState, uint32_t aError) {
  if (aDial->Done) return;
  if (static_cast<int>(aState) == aDial->LastStep && aError == 0) return;
  aDial->LastStep = static_cast<int>(aState);
  TRasDialCallback callback = aDial->Callback;
  if (aState == RASCS_Connected || aState == RASCS_Disconnected) {
    aDial->Done = true;
    aDial->Callback = nullptr;
    for (auto it = FDials.begin(); it != FDials.end(); ++it) {
      if (it->second == aDial) {
        FDials.erase(it);
        break;
      }
    }
  }
  if (callback) callback(aDial->Handle, WM_RASDIALEVENT, aState, aError);
}

void TNmBus::EndDial(const std::shared_ptr<TDial>& aDial, uint32_t aReasonCode) {
  // The device's reason says more than the activation's "device disconnected".
  const uint32_t code = aDial->Error ? aDial->Error : aReasonCode ? aReasonCode : RAS_ERR_DIAL_FAILED;
  Step(aDial, RASCS_Disconnected, code);
}

void TNmBus::ActiveStateChanged(const QString& aPath, uint32_t aState, uint32_t aReason) {
  if (aState >= kDeactivating) FireNotifications(aPath);
  auto it = FDials.find(aPath);
  if (it == FDials.end()) return;
  const std::shared_ptr<TDial> dial = it->second;
  if (aState < dial->ActiveState) return;  // older than the state already seen
  dial->ActiveState = aState;
  const uint32_t reasonCode = aReason >= kFirstRealReason ? RAS_ERR_ACTIVATION_REASON_BASE + aReason : 0;
  switch (aState) {
    case kActivating: Step(dial, RASCS_OpenPort); break;
    case kActivated: Step(dial, RASCS_Connected); break;
    case kDeactivating:
      if (!dial->Error) dial->Error = reasonCode;
      break;
    case kDeactivated: EndDial(dial, reasonCode); break;
    default: break;
  }
}

void TNmBus::ActiveDevicesChanged(const QString& aPath, const QVariant& aDevices) {
  auto it = FDials.find(aPath);
  if (it == FDials.end()) return;
  for (const QString& d : ObjectPaths(aDevices)) it->second->Devices.insert(d);
}

void TNmBus::ActiveListChanged(const QVariant& aList) {
  const QStringList active = ObjectPaths(aList);
  QStringList gone;
  for (const auto& [path, dial] : FDials)
    if (!active.contains(path)) gone << path;
  {
    std::lock_guard lock(FNotifyLock);
    for (const auto& [id, n] : FNotifications)
      if (!active.contains(n.first) && !gone.contains(n.first)) gone << n.first;
  }
  for (const QString& path : gone) ConnectionGone(path);
}

void TNmBus::ConnectionGone(const QString& aPath) {
  FireNotifications(aPath);
  auto it = FDials.find(aPath);
  if (it != FDials.end()) EndDial(it->second, 0);
}

void TNmBus::OnActiveStateChanged(const QDBusMessage& aMessage) {
  const QVariantList args = aMessage.arguments();
  ActiveStateChanged(aMessage.path(), args.value(0).toUInt(), args.value(1).toUInt());
}

void TNmBus::OnVpnStateChanged(const QDBusMessage& aMessage) {
  auto it = FDials.find(aMessage.path());
  if (it == FDials.end()) return;
  const std::shared_ptr<TDial> dial = it->second;
  const QVariantList args = aMessage.arguments();
  const uint32_t state = args.value(0).toUInt();
  const uint32_t reason = args.value(1).toUInt();
  if (state == kVpnFailed) {
    if (!dial->Error && reason >= kFirstRealReason) dial->Error = RAS_ERR_ACTIVATION_REASON_BASE + reason;
    return;
  }
  if (dial->ActiveState >= kActivated) return;
  if (const int step = VpnStep(state); step >= 0) Step(dial, static_cast<TRASConnState>(step));
}

void TNmBus::OnDeviceStateChanged(const QDBusMessage& aMessage) {
  const QString device = aMessage.path();
  const QVariantList args = aMessage.arguments();
  const uint32_t newState = args.value(0).toUInt();
  const uint32_t oldState = args.value(1).toUInt();
  const uint32_t reason = args.value(2).toUInt();
  std::vector<std::shared_ptr<TDial>> dials;
  for (const auto& [path, dial] : FDials)
    if (dial->Devices.contains(device)) dials.push_back(dial);
  for (const auto& dial : dials) {
    uint32_t& previous = dial->DeviceStates[device];
    // A step back is real only when it leaves the state last seen (need-auth back to config);
    // otherwise it is a signal older than the state read after the dial began.
    if (newState < previous && oldState != previous) continue;
    previous = newState;
    if (dial->ActiveState >= kActivated) continue;
    if (newState == kDeviceFailed) {
      if (!dial->Error && reason >= kFirstRealReason) dial->Error = RAS_ERR_DEVICE_REASON_BASE + reason;
    } else if (const int step = DeviceStep(newState); step >= 0) {
      Step(dial, static_cast<TRASConnState>(step));
    }
  }
}

void TNmBus::OnPropertiesChanged(const QDBusMessage& aMessage) {
  const QVariantList args = aMessage.arguments();
  const QString interface = args.value(0).toString();
  const QVariantMap changed = qdbus_cast<QVariantMap>(args.value(1));
  const QString path = aMessage.path();
  if (interface == kActiveInterface) {
    if (changed.contains(QStringLiteral("Devices"))) ActiveDevicesChanged(path, changed.value(QStringLiteral("Devices")));
    if (changed.contains(QStringLiteral("State"))) ActiveStateChanged(path, changed.value(QStringLiteral("State")).toUInt(), 0);
  } else if (interface == kNmInterface && path == kManagerPath && changed.contains(QStringLiteral("ActiveConnections"))) {
    ActiveListChanged(changed.value(QStringLiteral("ActiveConnections")));
  }
}

void TNmBus::OnLegacyPropertiesChanged(const QDBusMessage& aMessage) {
  QDBusMessage forwarded = aMessage;
  forwarded.setArguments({aMessage.interface(), aMessage.arguments().value(0), QStringList()});
  OnPropertiesChanged(forwarded);
}

void TNmBus::OnInterfacesAdded(const QDBusMessage& aMessage) {
  const QVariantList args = aMessage.arguments();
  const QString path = qdbus_cast<QDBusObjectPath>(args.value(0)).path();
  if (!FDials.count(path)) return;
  const TNmSettings interfaces = qdbus_cast<TNmSettings>(args.value(1));
  if (!interfaces.contains(kActiveInterface)) return;
  const QVariantMap props = interfaces.value(kActiveInterface);
  ActiveDevicesChanged(path, props.value(QStringLiteral("Devices")));
  if (props.contains(QStringLiteral("State"))) ActiveStateChanged(path, props.value(QStringLiteral("State")).toUInt(), 0);
}

void TNmBus::OnInterfacesRemoved(const QDBusMessage& aMessage) {
  const QVariantList args = aMessage.arguments();
  const QString path = qdbus_cast<QDBusObjectPath>(args.value(0)).path();
  if (qdbus_cast<QStringList>(args.value(1)).contains(kActiveInterface)) ConnectionGone(path);
}

void TNmBusThread::run() {
  TNmBus bus(FOptions);
  FReady.set_value(&bus);
  exec();
}

// --- service ----------------------------------------------------------------------------------

TNmDialupService::TNmDialupService(TNmServiceOptions aOptions) {
  EnsureQtCore();
  FThread = std::make_unique<TNmBusThread>(std::move(aOptions));
  FThread->start();
  FBus = FThread->Bus();
}

TNmDialupService::~TNmDialupService() {
  FThread->quit();
  FThread->wait();
}

template <class F>
uint32_t TNmDialupService::OnBus(F&& aCall) {
  if (QThread::currentThread() == FThread.get()) return aCall(*FBus);
  uint32_t result = RAS_ERR_SERVICE_UNAVAILABLE;
  QMetaObject::invokeMethod(FBus, [&] { result = aCall(*FBus); }, Qt::BlockingQueuedConnection);
  return result;
}

bool TNmDialupService::BusConnected() {
  return OnBus([](TNmBus& b) { return b.Connected() ? 1u : 0u; }) == 1u;
}

uint32_t TNmDialupService::EnumEntries(std::vector<std::string>& aNames) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.EnumEntries(aNames) : RAS_ERR_SERVICE_UNAVAILABLE; });
}

uint32_t TNmDialupService::EnumConnections(std::vector<TRasConnection>& aConnections) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.EnumConnections(aConnections) : RAS_ERR_SERVICE_UNAVAILABLE; });
}

uint32_t TNmDialupService::FindEntry(const std::string& aEntryName) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.FindEntry(aEntryName) : RAS_ERR_SERVICE_UNAVAILABLE; });
}

uint32_t TNmDialupService::GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.GetEntryProperties(aEntryName, aEntry) : RAS_ERR_SERVICE_UNAVAILABLE; });
}

uint32_t TNmDialupService::SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.SetEntryProperties(aEntryName, aEntry) : RAS_ERR_SERVICE_UNAVAILABLE; });
}

uint32_t TNmDialupService::GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) {
  return OnBus([&](TNmBus& b) {
    return b.Connected() ? b.GetEntryDialParams(aParams, aPasswordReturned) : RAS_ERR_SERVICE_UNAVAILABLE;
  });
}

uint32_t TNmDialupService::Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) {
  return OnBus([&](TNmBus& b) {
    return b.Connected() ? b.Dial(aParams, std::move(aCallback), aConn) : RAS_ERR_SERVICE_UNAVAILABLE;
  });
}

uint32_t TNmDialupService::HangUp(TRasHandle aConn) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.HangUp(aConn) : RAS_ERR_SERVICE_UNAVAILABLE; });
}

uint32_t TNmDialupService::ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged,
                                                  TRasNotificationId& aId) {
  return OnBus([&](TNmBus& b) {
    return b.Connected() ? b.AddNotification(aConn, std::move(aChanged), aId) : RAS_ERR_SERVICE_UNAVAILABLE;
  });
}

void TNmDialupService::RemoveConnectionNotification(TRasNotificationId aId) { FBus->RemoveNotification(aId); }

uint32_t TNmDialupService::GetErrorString(uint32_t aCode, std::string& aText) {
  return DialupErrorText(aCode, aText) ? 0 : EINVAL;
}

uint32_t TNmDialupService::GetPeerAddress(TRasHandle aConn, std::string& aAddress) {
  return OnBus([&](TNmBus& b) { return b.Connected() ? b.GetPeerAddress(aConn, aAddress) : RAS_ERR_SERVICE_UNAVAILABLE; });
}
