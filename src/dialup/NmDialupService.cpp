// The NetworkManager dial-up service: profiles, active connections, dial progress from the
// active connection's and the device's state changes, and the link's peer from its IPv4 config,
// all learnt in the background and answered from the cache.
#include "dialup/NmDialupService.h"

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMetaType>
#include <QtDBus/QDBusObjectPath>
#include <QtDBus/QDBusPendingCallWatcher>
#include <QtDBus/QDBusServiceWatcher>
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
const QString kNoObject = QStringLiteral("/");

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
  if (name.endsWith(QLatin1String(".InvalidArgs")) || name.endsWith(QLatin1String(".InvalidSignature")))
    return RAS_ERR_BAD_ANSWER;
  return RAS_ERR_SERVICE_FAILED;
}

// An object read by path that is no longer there: it went while the request was on its way.
bool ObjectGone(uint32_t aCode) {
  return aCode == RAS_ERR_INVALID_HANDLE || aCode == RAS_ERR_NOT_SUPPORTED || aCode == RAS_ERR_ENTRY_NOT_FOUND;
}

bool IsType(const QVariant& aValue, QMetaType::Type aType) { return aValue.metaType().id() == aType; }

// Object paths the service sent: one path or an array of them; false for anything else.
bool ReadPaths(const QVariant& aValue, QStringList& aPaths) {
  aPaths.clear();
  if (aValue.metaType() == QMetaType::fromType<QDBusObjectPath>()) {
    aPaths << aValue.value<QDBusObjectPath>().path();
    return true;
  }
  if (aValue.metaType() == QMetaType::fromType<QList<QDBusObjectPath>>()) {
    for (const QDBusObjectPath& p : aValue.value<QList<QDBusObjectPath>>()) aPaths << p.path();
    return true;
  }
  if (aValue.metaType() != QMetaType::fromType<QDBusArgument>()) return false;
  const QDBusArgument argument = aValue.value<QDBusArgument>();
  if (argument.currentSignature() != QLatin1String("ao")) return false;
  for (const QDBusObjectPath& p : qdbus_cast<QList<QDBusObjectPath>>(argument)) aPaths << p.path();
  return true;
}

// The one object path in a value, or none.
QString ReadPath(const QVariant& aValue) {
  QStringList paths;
  return ReadPaths(aValue, paths) && paths.size() == 1 ? paths.front() : QString();
}

// A container argument of the given signature, demarshalled; false when it is something else.
template <class T>
bool ReadMap(const QVariant& aValue, const char* aSignature, T& aMap) {
  if (aValue.metaType() == QMetaType::fromType<T>()) {
    aMap = aValue.value<T>();
    return true;
  }
  if (aValue.metaType() != QMetaType::fromType<QDBusArgument>()) return false;
  const QDBusArgument argument = aValue.value<QDBusArgument>();
  if (argument.currentSignature() != QLatin1String(aSignature)) return false;
  aMap = qdbus_cast<T>(argument);
  return true;
}

// The value of a variant reply (Properties.Get), or an invalid one.
QVariant VariantReply(const QDBusMessage& aReply) {
  if (aReply.signature() != QLatin1String("v")) return {};
  return aReply.arguments().value(0).value<QDBusVariant>().variant();
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

// A text the service sent, or an empty one for a value of another type.
std::string Text(const QVariant& aValue) {
  return IsType(aValue, QMetaType::QString) ? aValue.toString().toStdString() : std::string();
}

// A profile as the entry record and the dial parameters show it; none for settings without a
// textual name and type, which no profile of the service lacks.
std::optional<TNmProfile> ReadProfile(const QString& aPath, const TNmSettings& aSettings) {
  const QVariantMap connection = aSettings.value(QStringLiteral("connection"));
  const QVariant id = connection.value(QStringLiteral("id"));
  const QVariant type = connection.value(QStringLiteral("type"));
  if (!IsType(id, QMetaType::QString) || !IsType(type, QMetaType::QString)) return std::nullopt;
  TNmProfile profile;
  profile.Path = aPath.toStdString();
  profile.Id = id.toString().toStdString();
  profile.Type = type.toString().toStdString();
  profile.Entry = IsDialupType(profile.Type);
  if (!profile.Entry) return profile;

  const QVariantMap own = aSettings.value(type.toString());
  const QVariantMap ipv4 = aSettings.value(QStringLiteral("ipv4"));
  TRasEntry& entry = profile.Properties;
  entry.dwSize = kRasEntrySize;
  if (profile.Type == "cdma" || profile.Type == "gsm") {
    entry.szDeviceType = "modem";
    entry.szLocalPhoneNumber = Text(own.value(QStringLiteral("number")));
  } else if (profile.Type == "pppoe") {
    // A PPPoE entry keeps its service name where a modem entry keeps the number.
    entry.szDeviceType = "PPPoE";
    entry.szLocalPhoneNumber = Text(own.value(QStringLiteral("service")));
  } else {
    // And a VPN entry its server.
    entry.szDeviceType = "vpn";
    QMap<QString, QString> data;
    if (ReadMap(own.value(QStringLiteral("data")), "a{ss}", data))
      entry.szLocalPhoneNumber = data.value(QStringLiteral("gateway"), data.value(QStringLiteral("remote"))).toStdString();
  }
  entry.szDeviceName = Text(connection.value(QStringLiteral("interface-name")));
  entry.dwFramingProtocol = RASFP_Ppp;
  if (ipv4.value(QStringLiteral("method")).toString() != QLatin1String("disabled")) entry.dwfNetProtocols = RASNP_Ip;
  const QVariant neverDefault = ipv4.value(QStringLiteral("never-default"));
  if (!(IsType(neverDefault, QMetaType::Bool) && neverDefault.toBool())) entry.dwfOptions |= RASEO_RemoteDefaultGateway;

  std::vector<TRasIpAddr> dns;
  if (ipv4.contains(QStringLiteral("dns-data"))) {
    const QVariant data = ipv4.value(QStringLiteral("dns-data"));
    if (IsType(data, QMetaType::QStringList)) {
      for (const QString& s : data.toStringList()) {
        TRasIpAddr a;
        if (IpFromText(s, a)) dns.push_back(a);
      }
    }
  } else {
    const QVariant data = ipv4.value(QStringLiteral("dns"));
    QList<uint> values;
    if (ReadMap(data, "au", values))
      for (uint v : values) dns.push_back(IpFromNetworkOrder(v));
  }
  if (!dns.empty()) {
    entry.dwfOptions |= RASEO_SpecificNameServers;
    entry.ipaddrDns = dns[0];
    if (dns.size() > 1) entry.ipaddrDnsAlt = dns[1];
  }
  QList<QVariantMap> addresses;
  if (ReadMap(ipv4.value(QStringLiteral("address-data")), "aa{sv}", addresses) && !addresses.isEmpty() &&
      IpFromText(addresses.first().value(QStringLiteral("address")).toString(), entry.ipaddr))
    entry.dwfOptions |= RASEO_SpecificIpAddr;

  TRasDialParams& params = profile.DialParams;
  params.szEntryName = profile.Id;
  if (profile.Type == "cdma" || profile.Type == "gsm") params.szPhoneNumber = entry.szLocalPhoneNumber;
  params.szUserName = Text(own.value(profile.Type == "vpn" ? QStringLiteral("user-name") : QStringLiteral("username")));
  // A profile may carry its password in its own settings; the stored secrets come later.
  const QVariant password = own.value(QStringLiteral("password"));
  if (IsType(password, QMetaType::QString)) {
    params.szPassword = password.toString().toStdString();
    profile.PasswordKnown = true;
  }
  return profile;
}

// The password among a profile's stored secrets; none when they hold none.
std::optional<std::string> ReadPassword(const QDBusMessage& aReply, const QString& aType) {
  TNmSettings all;
  if (aReply.signature() != QLatin1String("a{sa{sv}}") || !ReadMap(aReply.arguments().value(0), "a{sa{sv}}", all))
    return std::nullopt;
  const QVariantMap secrets = all.value(aType);
  if (aType == QLatin1String("vpn")) {
    QMap<QString, QString> vpnSecrets;
    if (ReadMap(secrets.value(QStringLiteral("secrets")), "a{ss}", vpnSecrets) &&
        vpnSecrets.contains(QStringLiteral("password")))
      return vpnSecrets.value(QStringLiteral("password")).toStdString();
    return std::nullopt;
  }
  const QVariant password = secrets.value(QStringLiteral("password"));
  if (IsType(password, QMetaType::QString)) return password.toString().toStdString();
  return std::nullopt;
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

// --- bus side: connection, name watch, tasks ----------------------------------------------------

TNmBus::TNmBus(const TNmServiceOptions& aOptions, TNmCache& aCache)
    : FOptions(aOptions),
      FServiceName(QString::fromStdString(aOptions.ServiceName)),
      FConnectionName(QStringLiteral("cdma-dialup-nm-%1").arg(++gBusCounter)),
      FCache(aCache),
      FConnection(FConnectionName) {}

TNmBus::~TNmBus() {
  FCache.SetRelearn(nullptr);
  QDBusConnection::disconnectFromBus(FConnectionName);
}

void TNmBus::Start() {
  qDBusRegisterMetaType<TNmSettings>();
  qDBusRegisterMetaType<QList<uint>>();
  FConnection = FOptions.BusAddress.empty()
                    ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, FConnectionName)
                    : QDBusConnection::connectToBus(QString::fromStdString(FOptions.BusAddress), FConnectionName);
  if (!FConnection.isConnected()) {
    FCache.SetState(TNmCache::TState::Absent, RAS_ERR_SERVICE_UNAVAILABLE);
    FSettled = true;
    FCache.Learnt();
    return;
  }
  // A list read again after a failure is learnt anew here.
  FCache.SetRelearn([this] { Post([this] { LearnAll(); }); });

  auto* watcher = new QDBusServiceWatcher(FServiceName, FConnection, QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &TNmBus::OnOwnerChanged);

  // Signals are taken from every path of the service; the handlers pick the paths they follow.
  const QString& service = FServiceName;
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
  FConnection.connect(service, kRootPath, kObjectManagerInterface, QStringLiteral("InterfacesRemoved"), this,
                      SLOT(OnInterfacesRemoved(QDBusMessage)));
  FConnection.connect(service, kSettingsPath, kSettingsInterface, QStringLiteral("NewConnection"), this,
                      SLOT(OnNewProfile(QDBusMessage)));
  FConnection.connect(service, kSettingsPath, kSettingsInterface, QStringLiteral("ConnectionRemoved"), this,
                      SLOT(OnProfileRemoved(QDBusMessage)));
  FConnection.connect(service, QString(), kProfileInterface, QStringLiteral("Updated"), this,
                      SLOT(OnProfileUpdated(QDBusMessage)));
  FConnection.connect(service, QString(), kProfileInterface, QStringLiteral("Removed"), this,
                      SLOT(OnProfileGone(QDBusMessage)));

  // Whether the service is there; the watch above follows it from now on.
  QDBusMessage ask = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                    QStringLiteral("/org/freedesktop/DBus"),
                                                    QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  ask.setArguments({FServiceName});
  const uint64_t generation = FGeneration;
  const int timeout = static_cast<int>(FOptions.CallTimeout.count());
  auto* pending = new QDBusPendingCallWatcher(FConnection.asyncCall(ask, timeout), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher* aWatcher) {
    aWatcher->deleteLater();
    // The watch has seen the name come or go meanwhile: it has dealt with it.
    if (generation != FGeneration) return;
    const QDBusMessage reply = aWatcher->reply();
    if (ErrorCode(reply) == RAS_SUCCESS && reply.signature() == QLatin1String("b") && reply.arguments().value(0).toBool()) {
      LearnAll();
    } else {
      FCache.SetState(TNmCache::TState::Absent, RAS_ERR_SERVICE_UNAVAILABLE);
      FSettled = true;
      FCache.Learnt();
    }
  });
}

void TNmBus::Post(std::function<void()> aTask) {
  {
    std::lock_guard lock(FTaskLock);
    FTasks.push_back(std::move(aTask));
  }
  QMetaObject::invokeMethod(this, "RunTasks", Qt::QueuedConnection);
}

void TNmBus::RunTasks() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(FTaskLock);
      if (FTasks.empty()) return;
      task = std::move(FTasks.front());
      FTasks.pop_front();
    }
    task();
  }
}

void TNmBus::Send(const QString& aPath, const QString& aInterface, const QString& aMethod, const QVariantList& aArgs,
                  std::function<void(const QDBusMessage&)> aDone) {
  QDBusMessage call = QDBusMessage::createMethodCall(FServiceName, aPath, aInterface, aMethod);
  call.setArguments(aArgs);
  auto* watcher =
      new QDBusPendingCallWatcher(FConnection.asyncCall(call, static_cast<int>(FOptions.CallTimeout.count())), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(aDone)](QDBusPendingCallWatcher* aWatcher) {
    aWatcher->deleteLater();
    done(aWatcher->reply());
  });
}

void TNmBus::OnOwnerChanged(const QString&, const QString& aOldOwner, const QString& aNewOwner) {
  if (!aOldOwner.isEmpty()) Vanished();
  if (!aNewOwner.isEmpty()) LearnAll();
}

// --- learning the lists -----------------------------------------------------------------------

void TNmBus::Learn(const QString& aPath, const QString& aInterface, const QString& aMethod, const QVariantList& aArgs,
                   TLearnReply aReply) {
  const uint64_t generation = FGeneration;
  ++FOutstanding;
  Send(aPath, aInterface, aMethod, aArgs, [this, generation, reply = std::move(aReply)](const QDBusMessage& aMessage) {
    if (generation != FGeneration) return;  // an older learning's answer
    --FOutstanding;
    if (const uint32_t code = reply(aMessage)) {
      LearnFailed(code);
      return;
    }
    if (FOutstanding == 0 && FCache.State() == TNmCache::TState::Learning) {
      FCache.SetState(TNmCache::TState::Known);
      FSettled = true;
      FCache.Learnt();
    }
  });
}

void TNmBus::LearnAll() {
  ++FGeneration;
  FOutstanding = 0;
  FCache.BeginLearning();
  FSettings.clear();
  const QString list = QStringLiteral("ListConnections");
  Learn(kSettingsPath, kSettingsInterface, list, {}, [this](const QDBusMessage& aReply) -> uint32_t {
    if (const uint32_t code = ErrorCode(aReply)) return code;
    QStringList paths;
    if (aReply.signature() != QLatin1String("ao") || !ReadPaths(aReply.arguments().value(0), paths))
      return RAS_ERR_BAD_ANSWER;
    ProfileList(paths);
    return RAS_SUCCESS;
  });
  Learn(kManagerPath, kPropertiesInterface, QStringLiteral("Get"), {kNmInterface, QStringLiteral("ActiveConnections")},
        [this](const QDBusMessage& aReply) -> uint32_t {
          if (const uint32_t code = ErrorCode(aReply)) return code;
          QStringList paths;
          if (!ReadPaths(VariantReply(aReply), paths)) return RAS_ERR_BAD_ANSWER;
          ActiveList(paths, true);
          return RAS_SUCCESS;
        });
}

void TNmBus::LearnFailed(uint32_t aCode) {
  if (aCode == RAS_ERR_SERVICE_UNAVAILABLE) {
    // Gone while it was being asked; the name's watch brings it back.
    Vanished();
    return;
  }
  // What is still on its way belongs to a learning that has failed; the next list call asks anew.
  ++FGeneration;
  FOutstanding = 0;
  FCache.SetState(TNmCache::TState::Failed, aCode);
  // The first time, whoever waits for the lists learns they cannot be had; later failures are
  // told to the next caller of a list.
  if (!std::exchange(FSettled, true)) FCache.Learnt();
}

void TNmBus::ProfileList(const QStringList& aPaths) {
  std::vector<std::string> order;
  const std::set<std::string> known = FCache.ProfilePaths();
  for (const QString& path : aPaths) {
    order.push_back(path.toStdString());
    if (!known.count(path.toStdString())) LoadProfile(path);
  }
  FCache.SetProfileOrder(order);
}

void TNmBus::LoadProfile(const QString& aPath) {
  Learn(aPath, kProfileInterface, QStringLiteral("GetSettings"), {}, [this, aPath](const QDBusMessage& aReply) -> uint32_t {
    const uint32_t code = ErrorCode(aReply);
    if (ObjectGone(code)) {
      FCache.RemoveProfile(aPath.toStdString());
      return RAS_SUCCESS;
    }
    if (code) return code;
    TNmSettings settings;
    if (aReply.signature() != QLatin1String("a{sa{sv}}") || !ReadMap(aReply.arguments().value(0), "a{sa{sv}}", settings))
      return RAS_ERR_BAD_ANSWER;
    std::optional<TNmProfile> profile = ReadProfile(aPath, settings);
    if (!profile) {
      // Not a profile anybody could choose: it is not listed.
      FCache.RemoveProfile(aPath.toStdString());
      return RAS_SUCCESS;
    }
    FSettings[aPath] = settings;
    const bool entry = profile->Entry;
    const QString type = QString::fromStdString(profile->Type);
    FCache.PutProfile(std::move(*profile));
    if (entry) LoadSecrets(aPath, type);
    return RAS_SUCCESS;
  });
}

void TNmBus::LoadSecrets(const QString& aPath, const QString& aType) {
  const QString method = QStringLiteral("GetSecrets");
  Learn(aPath, kProfileInterface, method, {aType}, [this, aPath, aType](const QDBusMessage& aReply) -> uint32_t {
    // Secrets the caller may not read, or a profile without any, only leave the password unknown.
    const std::optional<std::string> password = ReadPassword(aReply, aType);
    if (!password) return RAS_SUCCESS;
    std::optional<TNmProfile> profile = FCache.Profile(aPath.toStdString());
    if (!profile) return RAS_SUCCESS;
    profile->DialParams.szPassword = *password;
    profile->PasswordKnown = true;
    FCache.PutProfile(std::move(*profile));
    return RAS_SUCCESS;
  });
}

void TNmBus::ActiveList(const QStringList& aPaths, bool aReread) {
  for (const std::string& path : FCache.ActivePaths())
    if (!aPaths.contains(QString::fromStdString(path))) ConnectionGone(QString::fromStdString(path));
  std::vector<std::string> order;
  for (const QString& path : aPaths) {
    order.push_back(path.toStdString());
    if (!FCache.Active(path.toStdString())) {
      FCache.PutActive(path.toStdString(), TNmActive{});
      LoadActive(path);
    } else if (aReread) {
      LoadActive(path);
    }
  }
  FCache.SetActiveOrder(order);
}

void TNmBus::LoadActive(const QString& aPath) {
  const QString method = QStringLiteral("GetAll");
  Learn(aPath, kPropertiesInterface, method, {kActiveInterface}, [this, aPath](const QDBusMessage& aReply) -> uint32_t {
    const uint32_t code = ErrorCode(aReply);
    if (ObjectGone(code)) {
      ConnectionGone(aPath);
      return RAS_SUCCESS;
    }
    if (code) return code;
    QVariantMap properties;
    if (aReply.signature() != QLatin1String("a{sv}") || !ReadMap(aReply.arguments().value(0), "a{sv}", properties))
      return RAS_ERR_BAD_ANSWER;
    std::optional<TNmActive> active = FCache.Active(aPath.toStdString());
    if (!active) return RAS_SUCCESS;  // ended while the answer was on its way
    active->Loaded = true;
    active->Id = Text(properties.value(QStringLiteral("Id")));
    active->Type = Text(properties.value(QStringLiteral("Type")));
    FCache.PutActive(aPath.toStdString(), *active);
    ActiveProperties(aPath, properties);
    return RAS_SUCCESS;
  });
}

void TNmBus::LoadIp4(const QString& aPath) {
  const QString method = QStringLiteral("GetAll");
  Learn(aPath, kPropertiesInterface, method, {kIp4Interface}, [this, aPath](const QDBusMessage& aReply) -> uint32_t {
    QVariantMap properties;
    // A configuration that cannot be read only leaves the peer unknown.
    if (ErrorCode(aReply) == RAS_SUCCESS && aReply.signature() == QLatin1String("a{sv}") &&
        ReadMap(aReply.arguments().value(0), "a{sv}", properties))
      Ip4Properties(aPath, properties);
    return RAS_SUCCESS;
  });
}

void TNmBus::ActiveProperties(const QString& aPath, const QVariantMap& aProperties) {
  std::optional<TNmActive> active = FCache.Active(aPath.toStdString());
  if (!active) return;
  if (aProperties.contains(QStringLiteral("Devices"))) {
    QStringList devices;
    if (ReadPaths(aProperties.value(QStringLiteral("Devices")), devices))
      for (const QString& d : devices) FActiveDevices[aPath].insert(d);
  }
  if (aProperties.contains(QStringLiteral("Ip4Config"))) {
    const QString config = ReadPath(aProperties.value(QStringLiteral("Ip4Config")));
    active->Ip4Config = config == kNoObject ? std::string() : config.toStdString();
    FCache.PutActive(aPath.toStdString(), *active);
    if (!active->Ip4Config.empty()) LoadIp4(config);
  }
  const QVariant state = aProperties.value(QStringLiteral("State"));
  if (IsType(state, QMetaType::UInt)) ActiveStateChanged(aPath, state.toUInt(), 0);
}

void TNmBus::Ip4Properties(const QString& aPath, const QVariantMap& aProperties) {
  QVariantMap& known = FIp4[aPath];
  for (auto it = aProperties.begin(); it != aProperties.end(); ++it) known[it.key()] = it.value();
  TNmIp4 ip4;
  // A point-to-point link names its peer; otherwise the gateway is the far end.
  QList<QVariantMap> addresses;
  if (ReadMap(known.value(QStringLiteral("AddressData")), "aa{sv}", addresses)) {
    for (const QVariantMap& a : addresses) {
      const std::string peer = Text(a.value(QStringLiteral("peer")));
      if (!peer.empty()) {
        ip4.Peer = peer;
        break;
      }
    }
  }
  ip4.Gateway = Text(known.value(QStringLiteral("Gateway")));
  FCache.PutIp4(aPath.toStdString(), ip4);
}

void TNmBus::ConnectionGone(const QString& aPath) {
  if (const std::optional<TNmActive> active = FCache.Active(aPath.toStdString()))
    FIp4.erase(QString::fromStdString(active->Ip4Config));
  FCache.RemoveActive(aPath.toStdString());
  FActiveDevices.erase(aPath);
  if (const TDialPtr dial = DialOn(aPath)) EndDial(dial, 0);
}

void TNmBus::Vanished() {
  // Whatever was on its way is from the service that has gone.
  ++FGeneration;
  FOutstanding = 0;
  std::map<TRasHandle, TDialPtr> dials;
  dials.swap(FDials);
  for (const auto& [handle, dial] : dials) Step(dial, RASCS_Disconnected, RAS_ERR_SERVICE_UNAVAILABLE);
  FSettings.clear();
  FActiveDevices.clear();
  FIp4.clear();
  FCache.Vanish();
  if (!std::exchange(FSettled, true)) FCache.Learnt();
}

// --- signals ------------------------------------------------------------------------------------

void TNmBus::OnNewProfile(const QDBusMessage& aMessage) {
  if (FCache.State() == TNmCache::TState::Absent || aMessage.signature() != QLatin1String("o")) return;
  const QString path = ReadPath(aMessage.arguments().value(0));
  if (!path.isEmpty()) LoadProfile(path);
}

void TNmBus::OnProfileRemoved(const QDBusMessage& aMessage) {
  if (aMessage.signature() != QLatin1String("o")) return;
  const QString path = ReadPath(aMessage.arguments().value(0));
  FCache.RemoveProfile(path.toStdString());
  FSettings.erase(path);
}

void TNmBus::OnProfileUpdated(const QDBusMessage& aMessage) {
  if (FCache.State() == TNmCache::TState::Absent) return;
  if (FCache.HasProfile(aMessage.path().toStdString())) LoadProfile(aMessage.path());
}

void TNmBus::OnProfileGone(const QDBusMessage& aMessage) {
  FCache.RemoveProfile(aMessage.path().toStdString());
  FSettings.erase(aMessage.path());
}

void TNmBus::OnActiveStateChanged(const QDBusMessage& aMessage) {
  if (aMessage.signature() != QLatin1String("uu")) return;
  const QVariantList args = aMessage.arguments();
  ActiveStateChanged(aMessage.path(), args.value(0).toUInt(), args.value(1).toUInt());
}

void TNmBus::OnPropertiesChanged(const QDBusMessage& aMessage) {
  if (aMessage.signature() != QLatin1String("sa{sv}as")) return;
  QVariantMap changed;
  if (!ReadMap(aMessage.arguments().value(1), "a{sv}", changed)) return;
  PropertiesChanged(aMessage.path(), aMessage.arguments().value(0).toString(), changed);
}

void TNmBus::OnLegacyPropertiesChanged(const QDBusMessage& aMessage) {
  if (aMessage.signature() != QLatin1String("a{sv}")) return;
  QVariantMap changed;
  if (ReadMap(aMessage.arguments().value(0), "a{sv}", changed))
    PropertiesChanged(aMessage.path(), aMessage.interface(), changed);
}

void TNmBus::PropertiesChanged(const QString& aPath, const QString& aInterface, const QVariantMap& aChanged) {
  if (FCache.State() == TNmCache::TState::Absent) return;
  if (aInterface == kActiveInterface) {
    ActiveProperties(aPath, aChanged);
  } else if (aInterface == kIp4Interface) {
    if (FIp4.count(aPath)) Ip4Properties(aPath, aChanged);
  } else if (aInterface == kNmInterface && aPath == kManagerPath && aChanged.contains(QStringLiteral("ActiveConnections"))) {
    QStringList paths;
    if (ReadPaths(aChanged.value(QStringLiteral("ActiveConnections")), paths)) ActiveList(paths, false);
  } else if (aInterface == kSettingsInterface && aPath == kSettingsPath &&
             aChanged.contains(QStringLiteral("Connections"))) {
    QStringList paths;
    if (!ReadPaths(aChanged.value(QStringLiteral("Connections")), paths)) return;
    for (const std::string& path : FCache.ProfilePaths())
      if (!paths.contains(QString::fromStdString(path))) FCache.RemoveProfile(path);
    ProfileList(paths);
  }
}

void TNmBus::OnInterfacesRemoved(const QDBusMessage& aMessage) {
  const QVariantList args = aMessage.arguments();
  const QString path = ReadPath(args.value(0));
  const QVariant interfaces = args.value(1);
  if (path.isEmpty() || !IsType(interfaces, QMetaType::QStringList)) return;
  if (interfaces.toStringList().contains(kActiveInterface) && FCache.Active(path.toStdString())) ConnectionGone(path);
}

// --- dials ----------------------------------------------------------------------------------------

TNmBus::TDialPtr TNmBus::DialOn(const QString& aPath) const {
  for (const auto& [handle, dial] : FDials)
    if (dial->Path == aPath) return dial;
  return nullptr;
}

void TNmBus::StartDial(TRasHandle aConn, const QString& aProfilePath, TRasDialCallback aCallback) {
  auto dial = std::make_shared<TDial>();
  dial->Handle = aConn;
  dial->Callback = std::move(aCallback);
  dial->ProfilePath = aProfilePath;
  FDials[aConn] = dial;
  if (FCache.Reachable() != RAS_SUCCESS) {
    EndDial(dial, RAS_ERR_SERVICE_UNAVAILABLE);
    return;
  }
  // The profile goes up on the device that offers it.
  Send(kManagerPath, kNmInterface, QStringLiteral("GetDevices"), {}, [this, dial](const QDBusMessage& aReply) {
    if (dial->Done) return;
    const uint32_t code = ErrorCode(aReply);
    if (code == RAS_ERR_TIMEOUT || code == RAS_ERR_SERVICE_UNAVAILABLE) {
      EndDial(dial, code);
      return;
    }
    auto devices = std::make_shared<QStringList>();
    if (code == RAS_SUCCESS) ReadPaths(aReply.arguments().value(0), *devices);
    PickDevice(dial, devices, 0);
  });
}

void TNmBus::PickDevice(const TDialPtr& aDial, std::shared_ptr<QStringList> aDevices, int aIndex) {
  if (aIndex >= aDevices->size()) {
    // Let the service choose (VPNs, and profiles no device offers yet).
    Activate(aDial, kNoObject);
    return;
  }
  const QString device = aDevices->at(aIndex);
  Send(device, kPropertiesInterface, QStringLiteral("Get"), {kDeviceInterface, QStringLiteral("AvailableConnections")},
       [this, aDial, aDevices, aIndex, device](const QDBusMessage& aReply) {
         if (aDial->Done) return;
         const uint32_t code = ErrorCode(aReply);
         if (code == RAS_ERR_TIMEOUT || code == RAS_ERR_SERVICE_UNAVAILABLE) {
           EndDial(aDial, code);
           return;
         }
         QStringList offered;
         if (code == RAS_SUCCESS && ReadPaths(VariantReply(aReply), offered) && offered.contains(aDial->ProfilePath))
           Activate(aDial, device);
         else
           PickDevice(aDial, aDevices, aIndex + 1);
       });
}

void TNmBus::Activate(const TDialPtr& aDial, const QString& aDevice) {
  Send(kManagerPath, kNmInterface, QStringLiteral("ActivateConnection"),
       {QVariant::fromValue(QDBusObjectPath(aDial->ProfilePath)), QVariant::fromValue(QDBusObjectPath(aDevice)),
        QVariant::fromValue(QDBusObjectPath(kNoObject))},
       [this, aDial](const QDBusMessage& aReply) {
         if (aDial->Done) return;
         uint32_t code = ErrorCode(aReply);
         const QString path = code ? QString() : ReadPath(aReply.arguments().value(0));
         if (!code && (aReply.signature() != QLatin1String("o") || path.isEmpty() || path == kNoObject))
           code = RAS_ERR_BAD_ANSWER;
         if (code) {
           EndDial(aDial, code);
           return;
         }
         aDial->Path = path;
         FCache.Bind(aDial->Handle, path.toStdString());
         if (aDial->HangUpPending) {
           // Hung up before the service had answered: the activation goes down at once.
           Forget(aDial);
           Deactivate(path, std::move(aDial->HangUpWanted));
           return;
         }
         // The state the activation has reached so far; its signals move it on from there.
         const std::optional<TNmActive> active = FCache.Active(path.toStdString());
         if (!active) {
           FCache.PutActive(path.toStdString(), TNmActive{});
           LoadActive(path);
         } else if (active->State) {
           ActiveStateChanged(path, active->State, 0);
         }
       });
}

void TNmBus::HangUp(TRasHandle aConn, const QString& aPath, TRasHangUpRefused aRefused) {
  if (aPath.isEmpty()) {
    const auto it = FDials.find(aConn);
    if (it == FDials.end() || it->second->Done) {
      if (aRefused) aRefused(RAS_ERR_INVALID_HANDLE);
      return;
    }
    it->second->HangUpPending = true;
    it->second->HangUpWanted = std::move(aRefused);
    return;
  }
  Deactivate(aPath, std::move(aRefused));
}

void TNmBus::Deactivate(const QString& aPath, TRasHangUpRefused aRefused) {
  Send(kManagerPath, kNmInterface, QStringLiteral("DeactivateConnection"), {QVariant::fromValue(QDBusObjectPath(aPath))},
       [this, aPath, refused = std::move(aRefused)](const QDBusMessage& aReply) {
         const uint32_t code = ErrorCode(aReply);
         if (code == RAS_SUCCESS) {
           // A dial hung up by its owner reports nothing more.
           if (const TDialPtr dial = DialOn(aPath)) Forget(dial);
           return;
         }
         if (code == RAS_ERR_INVALID_HANDLE) {
           // Not active any more: it has ended, whether or not its end was signalled.
           ConnectionGone(aPath);
           return;
         }
         if (refused) refused(code);
       });
}

void TNmBus::Forget(const TDialPtr& aDial) {
  aDial->Done = true;
  aDial->Callback = nullptr;
  FDials.erase(aDial->Handle);
}

void TNmBus::Step(const TDialPtr& aDial, TRASConnState aState, uint32_t aError) {
  if (aDial->Done) return;
  if (static_cast<int>(aState) == aDial->LastStep && aError == 0) return;
  aDial->LastStep = static_cast<int>(aState);
  TRasDialCallback callback = aDial->Callback;
  if (aState == RASCS_Connected || aState == RASCS_Disconnected) Forget(aDial);
  if (callback) callback(aDial->Handle, WM_RASDIALEVENT, aState, aError);
}

void TNmBus::EndDial(const TDialPtr& aDial, uint32_t aReasonCode) {
  // The device's reason says more than the activation's "device disconnected".
  const uint32_t code = aDial->Error ? aDial->Error : aReasonCode ? aReasonCode : RAS_ERR_DIAL_FAILED;
  Step(aDial, RASCS_Disconnected, code);
}

void TNmBus::ActiveStateChanged(const QString& aPath, uint32_t aState, uint32_t aReason) {
  std::optional<TNmActive> active = FCache.Active(aPath.toStdString());
  if (active && aState > active->State) {
    active->State = aState;
    FCache.PutActive(aPath.toStdString(), *active);
  }
  if (aState >= kDeactivating) FCache.Fire(aPath.toStdString());
  const TDialPtr dial = DialOn(aPath);
  if (!dial) return;
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

void TNmBus::OnVpnStateChanged(const QDBusMessage& aMessage) {
  if (aMessage.signature() != QLatin1String("uu")) return;
  const TDialPtr dial = DialOn(aMessage.path());
  if (!dial) return;
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
  if (aMessage.signature() != QLatin1String("uuu")) return;
  const QString device = aMessage.path();
  const QVariantList args = aMessage.arguments();
  const uint32_t newState = args.value(0).toUInt();
  const uint32_t oldState = args.value(1).toUInt();
  const uint32_t reason = args.value(2).toUInt();
  std::vector<TDialPtr> dials;
  for (const auto& [handle, dial] : FDials) {
    const auto devices = FActiveDevices.find(dial->Path);
    if (!dial->Path.isEmpty() && devices != FActiveDevices.end() && devices->second.contains(device)) dials.push_back(dial);
  }
  for (const TDialPtr& dial : dials) {
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

// --- writing a profile ----------------------------------------------------------------------------

void TNmBus::UpdateProfile(const QString& aPath, const TRasEntry& aEntry, std::function<void(uint32_t)> aDone) {
  const auto known = FSettings.find(aPath);
  const std::optional<TNmProfile> profile = FCache.Profile(aPath.toStdString());
  if (known == FSettings.end() || !profile) {
    aDone(RAS_ERR_ENTRY_NOT_FOUND);
    return;
  }
  const QString type = QString::fromStdString(profile->Type);
  TNmSettings settings = known->second;
  const QString number = QString::fromStdString(aEntry.szLocalPhoneNumber);
  if (type == QLatin1String("cdma") || type == QLatin1String("gsm"))
    settings[type][QStringLiteral("number")] = number;
  else if (type == QLatin1String("pppoe"))
    settings[type][QStringLiteral("service")] = number;
  if (aEntry.dwfOptions & RASEO_SpecificNameServers) {
    QList<uint> dns;
    for (const TRasIpAddr& a : {aEntry.ipaddrDns, aEntry.ipaddrDnsAlt})
      if (a != TRasIpAddr{}) dns << IpToNetworkOrder(a);
    settings[QStringLiteral("ipv4")].remove(QStringLiteral("dns-data"));
    settings[QStringLiteral("ipv4")][QStringLiteral("dns")] = QVariant::fromValue(dns);
  }
  // An update replaces the whole profile: its stored secrets are carried over.
  Send(aPath, kProfileInterface, QStringLiteral("GetSecrets"), {type},
       [this, aPath, type, settings, done = std::move(aDone)](const QDBusMessage& aSecrets) mutable {
         TNmSettings secrets;
         if (ErrorCode(aSecrets) == RAS_SUCCESS && ReadMap(aSecrets.arguments().value(0), "a{sa{sv}}", secrets)) {
           const QVariantMap own = secrets.value(type);
           for (auto it = own.begin(); it != own.end(); ++it)
             if (IsType(it.value(), QMetaType::QString)) settings[type][it.key()] = it.value();
         }
         Send(aPath, kProfileInterface, QStringLiteral("Update"), {QVariant::fromValue(settings)},
              [this, aPath, settings, done = std::move(done)](const QDBusMessage& aReply) {
                const uint32_t code = ErrorCode(aReply);
                if (code == RAS_SUCCESS) {
                  // Known at once, so that a read right after the write finds it; the service's
                  // own signal brings the profile as it stored it.
                  FSettings[aPath] = settings;
                  std::optional<TNmProfile> updated = ReadProfile(aPath, settings);
                  std::optional<TNmProfile> before = FCache.Profile(aPath.toStdString());
                  if (updated && before) {
                    updated->DialParams.szPassword = before->DialParams.szPassword;
                    updated->PasswordKnown = before->PasswordKnown;
                    FCache.PutProfile(std::move(*updated));
                  }
                }
                done(code);
              });
       });
}

void TNmBusThread::run() {
  {
    TNmBus bus(FOptions, FCache);
    FReady.set_value(&bus);
    exec();
  }
  FGone.set_value();
}

// --- service ----------------------------------------------------------------------------------

TNmDialupService::TNmDialupService(TNmServiceOptions aOptions)
    : FCallTimeout(aOptions.CallTimeout), FCache(std::make_unique<TNmCache>()) {
  EnsureQtCore();
  FThread = std::make_unique<TNmBusThread>(std::move(aOptions), *FCache);
  FThread->start();
  FBus = FThread->Bus();
  QMetaObject::invokeMethod(FBus, "Start", Qt::QueuedConnection);
}

TNmDialupService::~TNmDialupService() {
  FThread->quit();
  FThread->WaitForBusGone();
  FThread->wait();
}

bool TNmDialupService::WaitForLists(std::chrono::milliseconds aTimeout) { return FCache->WaitWhileLearning(aTimeout); }

uint32_t TNmDialupService::EnumEntries(std::vector<std::string>& aNames) { return FCache->EnumEntries(aNames); }

uint32_t TNmDialupService::EnumConnections(std::vector<TRasConnection>& aConnections) {
  return FCache->EnumConnections(aConnections);
}

uint32_t TNmDialupService::FindEntry(const std::string& aEntryName) {
  TNmProfile profile;
  return FCache->FindEntry(aEntryName, profile);
}

uint32_t TNmDialupService::GetEntryProperties(const std::string& aEntryName, TRasEntry& aEntry) {
  TNmProfile profile;
  if (const uint32_t code = FCache->FindEntry(aEntryName, profile)) return code;
  aEntry = profile.Properties;
  return RAS_SUCCESS;
}

uint32_t TNmDialupService::SetEntryProperties(const std::string& aEntryName, const TRasEntry& aEntry) {
  if (aEntry.dwSize == 0) return RAS_ERR_INVALID_SIZE;
  TNmProfile profile;
  if (const uint32_t code = FCache->FindEntry(aEntryName, profile)) return code;
  auto result = std::make_shared<std::promise<uint32_t>>();
  std::future<uint32_t> answer = result->get_future();
  TNmBus* bus = FBus;
  const QString path = QString::fromStdString(profile.Path);
  FBus->Post([bus, path, aEntry, result] {
    bus->UpdateProfile(path, aEntry, [result](uint32_t aCode) { result->set_value(aCode); });
  });
  // Two calls in a row, each bounded by the call time-out.
  if (answer.wait_for(2 * FCallTimeout + std::chrono::seconds(5)) != std::future_status::ready) return RAS_ERR_TIMEOUT;
  return answer.get();
}

uint32_t TNmDialupService::GetEntryDialParams(TRasDialParams& aParams, bool& aPasswordReturned) {
  TNmProfile profile;
  if (const uint32_t code = FCache->FindEntry(aParams.szEntryName, profile)) return code;
  aParams = profile.DialParams;
  aPasswordReturned = profile.PasswordKnown;
  return RAS_SUCCESS;
}

uint32_t TNmDialupService::Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) {
  if (const uint32_t code = FCache->Reachable()) return code;
  TNmProfile profile;
  if (const uint32_t code = FCache->FindEntry(aParams.szEntryName, profile)) return code;
  const TRasHandle handle = FCache->NewHandle();
  aConn = handle;
  TNmBus* bus = FBus;
  FBus->Post([bus, handle, path = QString::fromStdString(profile.Path), callback = std::move(aCallback)]() mutable {
    bus->StartDial(handle, path, std::move(callback));
  });
  return RAS_SUCCESS;
}

uint32_t TNmDialupService::HangUp(TRasHandle aConn, TRasHangUpRefused aRefused) {
  if (const uint32_t code = FCache->Reachable()) return code;
  const std::optional<std::string> path = FCache->PathOf(aConn);
  if (!path) return RAS_ERR_INVALID_HANDLE;
  TNmBus* bus = FBus;
  FBus->Post([bus, aConn, path = QString::fromStdString(*path), refused = std::move(aRefused)]() mutable {
    bus->HangUp(aConn, path, std::move(refused));
  });
  return RAS_SUCCESS;
}

uint32_t TNmDialupService::ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged,
                                                  TRasNotificationId& aId) {
  return FCache->AddNotification(aConn, std::move(aChanged), aId);
}

void TNmDialupService::RemoveConnectionNotification(TRasNotificationId aId) { FCache->RemoveNotification(aId); }

uint32_t TNmDialupService::GetErrorString(uint32_t aCode, std::string& aText) {
  return DialupErrorText(aCode, aText) ? 0 : EINVAL;
}

uint32_t TNmDialupService::GetPeerAddress(TRasHandle aConn, std::string& aAddress) {
  return FCache->GetPeerAddress(aConn, aAddress);
}

bool TNmDialupService::ListsPending() { return FCache->Learning(); }

TRasNotificationId TNmDialupService::ListsNotification(std::function<void()> aLearnt) {
  return FCache->AddLearntNotification(std::move(aLearnt));
}

void TNmDialupService::RemoveListsNotification(TRasNotificationId aId) { FCache->RemoveLearntNotification(aId); }
