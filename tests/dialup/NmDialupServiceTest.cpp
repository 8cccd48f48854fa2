// The NetworkManager service under the dial-up component, against python-dbusmock's
// NetworkManager template on a private bus started by the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusMessage>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "DialupTestSupport.h"
#include "dialup/NmDialupService.h"
#include "dialup/XuRas.h"

using namespace std::chrono_literals;

namespace {

const char kDevice[] = "/org/freedesktop/NetworkManager/Devices/wwan0";

pid_t Spawn(const std::vector<std::string>& aArgs, int aStdout, const std::string& aBusAddress) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (aStdout >= 0) dup2(aStdout, STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  if (aStdout < 0) dup2(null, STDOUT_FILENO);
  dup2(null, STDERR_FILENO);
  if (!aBusAddress.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", aBusAddress.c_str(), 1);
  std::vector<char*> argv;
  for (const auto& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

void Reap(pid_t& aPid) {
  if (aPid <= 0) return;
  kill(aPid, SIGTERM);
  int status = 0;
  waitpid(aPid, &status, 0);
  aPid = -1;
}

// A private bus with the NetworkManager stand-in on it, for one test.
class TNmMock {
 public:
  explicit TNmMock(bool aWithService = true) {
    try {
      Start(aWithService);
    } catch (...) {
      Stop();
      throw;
    }
  }

  ~TNmMock() { Stop(); }

  void Start(bool aWithService) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    FDaemon = Spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, out[1], "");
    close(out[1]);
    FAddress = ReadLine(out[0], 30s);
    close(out[0]);
    if (FAddress.empty()) throw std::runtime_error("dbus-daemon gave no address");
    FConnection = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(FAddress), FName));
    if (!aWithService) return;
    FMock = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "--template", "networkmanager"}, -1, FAddress);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!FConnection->interface()->isServiceRegistered(QStringLiteral("org.freedesktop.NetworkManager"))) {
      int status = 0;
      if (waitpid(FMock, &status, WNOHANG) == FMock) {
        FMock = -1;
        throw std::runtime_error("the mock exited (is python3-dbusmock installed?)");
      }
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the mock did not appear");
      std::this_thread::sleep_for(20ms);  // polling the bus for the name, bounded by the deadline
    }
    // A helper that runs Python in the mock, for set-ups the template has no method for.
    Call("/org/freedesktop", "org.freedesktop.DBus.Mock", "AddMethod",
         {QStringLiteral("org.cdma.Test"), QStringLiteral("Exec"), QStringLiteral("s"), QStringLiteral("s"),
          QStringLiteral("import dbus, dbusmock\n"
                         "ns = {'self': self, 'objects': objects, 'dbus': dbus, 'dbusmock': dbusmock}\n"
                         "exec(args[0], ns)\n"
                         "ret = str(ns.get('result', ''))\n")});
    Exec("self.AddEthernetDevice('wwan0', 'wwan0', 30)");
  }

  void Stop() {
    FConnection.reset();
    QDBusConnection::disconnectFromBus(FName);
    Reap(FMock);
    Reap(FDaemon);
  }

  const std::string& Address() const { return FAddress; }

  QDBusMessage Call(const char* aPath, const char* aInterface, const char* aMethod, const QVariantList& aArgs) {
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.NetworkManager"), aPath, aInterface, aMethod);
    m.setArguments(aArgs);
    QDBusMessage reply = FConnection->call(m, QDBus::Block, 30000);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << aMethod << ": " << reply.errorMessage().toStdString();
    return reply;
  }

  // Runs Python in the mock; returns what it left in `result`.
  std::string Exec(const std::string& aCode) {
    const QDBusMessage reply = Call("/org/freedesktop", "org.cdma.Test", "Exec", {QString::fromStdString(aCode)});
    return reply.arguments().value(0).toString().toStdString();
  }

  std::string AddProfile(const std::string& aSettings) {
    return Exec("result = self.SettingsAddConnection(" + aSettings + ")");
  }
  void EmitDeviceState(uint32_t aNew, uint32_t aOld, uint32_t aReason) {
    Exec("objects['" + std::string(kDevice) + "'].EmitSignal('org.freedesktop.NetworkManager.Device', 'StateChanged', 'uuu', [" +
         std::to_string(aNew) + ", " + std::to_string(aOld) + ", " + std::to_string(aReason) + "])");
  }
  void EmitActiveState(const std::string& aPath, uint32_t aState, uint32_t aReason) {
    Exec("objects['" + aPath + "'].EmitSignal('org.freedesktop.NetworkManager.Connection.Active', 'StateChanged', 'uu', [" +
         std::to_string(aState) + ", " + std::to_string(aReason) + "])");
  }
  // From now on an activation starts in the activating state on the modem device, so that the
  // test can walk it through the states (the template's activation is complete at once).
  void ActivateStepByStep() {
    Call("/org/freedesktop/NetworkManager", "org.freedesktop.DBus.Mock", "AddMethod",
         {QStringLiteral("org.freedesktop.NetworkManager"), QStringLiteral("ActivateConnection"), QStringLiteral("ooo"),
          QStringLiteral("o"),
          QStringLiteral("main = objects['/org/freedesktop']\n"
                         "main.dials = getattr(main, 'dials', 0) + 1\n"
                         "path = main.AddActiveConnection([], args[0], args[2], 'Dial%d' % main.dials, dbus.UInt32(1))\n"
                         "objects[path].Set('org.freedesktop.NetworkManager.Connection.Active', 'Devices',\n"
                         "                  dbus.Array([dbus.ObjectPath('") +
              QString::fromLatin1(kDevice) + QStringLiteral("')], signature='o'))\nret = path\n")});
  }
  std::string ActivePath(size_t aIndex) {
    return Exec("result = list(objects['/org/freedesktop/NetworkManager'].Get('org.freedesktop.NetworkManager', "
                "'ActiveConnections'))[" + std::to_string(aIndex) + "]");
  }

 private:
  static std::string ReadLine(int aFd, std::chrono::milliseconds aTimeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + aTimeout;
    while (line.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd pfd{aFd, POLLIN, 0};
      if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return {};
      char buffer[256];
      const ssize_t n = read(aFd, buffer, sizeof buffer);
      if (n <= 0) return {};
      line.append(buffer, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }

  pid_t FDaemon = -1;
  pid_t FMock = -1;
  std::string FAddress;
  const QString FName = QStringLiteral("nm-test-%1").arg(++gCount);
  std::unique_ptr<QDBusConnection> FConnection;
  static inline std::atomic<int> gCount{0};
};

TNmServiceOptions Options(const std::string& aAddress, std::chrono::milliseconds aTimeout = 30s) {
  TNmServiceOptions o;
  o.BusAddress = aAddress;
  o.CallTimeout = aTimeout;
  return o;
}

const char kCdmaProfile[] =
    "{'connection': {'id': 'Carrier CDMA', 'type': 'cdma'},"
    " 'cdma': {'number': '#777', 'username': 'user', 'password': 'secret'},"
    " 'ipv4': {'method': 'auto', 'dns': dbus.Array([dbus.UInt32(0x08080808), dbus.UInt32(0x04040808)], signature='u')}}";
const char kWiredProfile[] = "{'connection': {'id': 'Wired', 'type': '802-3-ethernet'}}";
const char kVpnProfile[] =
    "{'connection': {'id': 'Office VPN', 'type': 'vpn'},"
    " 'vpn': {'service-type': 'org.freedesktop.NetworkManager.openvpn', 'user-name': 'vpnuser',"
    "         'data': dbus.Dictionary({'gateway': 'vpn.example.org'}, signature='ss')}}";

class NmDialupServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "nm-tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  }

  void SetUp() override {
    Mock = std::make_unique<TNmMock>();
    Mock->AddProfile(kWiredProfile);
    CdmaPath = Mock->AddProfile(kCdmaProfile);
    Mock->AddProfile(kVpnProfile);
    Service = std::make_unique<TNmDialupService>(Options(Mock->Address()));
    ASSERT_TRUE(Service->BusConnected());
    Ras = std::make_unique<TXuRAS>(*Service);
    Log.Bind(*Ras);
  }

  void TearDown() override {
    Ras.reset();
    Service.reset();
    Mock.reset();
  }

  std::unique_ptr<TNmMock> Mock;
  std::string CdmaPath;
  std::unique_ptr<TNmDialupService> Service;
  std::unique_ptr<TXuRAS> Ras;
  TRasEventLog Log;
};

}  // namespace

TEST_F(NmDialupServiceTest, ProfilesAreThePhoneBook) {
  EXPECT_EQ(Ras->EnumRasEntriesNames(), (TStringDynArray{"Carrier CDMA", "Office VPN"}));

  const TRasEntry cdma = Ras->GetEntryProperties("Carrier CDMA");
  EXPECT_EQ(cdma.szLocalPhoneNumber, "#777");
  EXPECT_EQ(cdma.ipaddrDns, (TRasIpAddr{8, 8, 8, 8}));
  EXPECT_EQ(cdma.ipaddrDnsAlt, (TRasIpAddr{8, 8, 4, 4}));
  EXPECT_EQ(cdma.dwfOptions, RASEO_SpecificNameServers | RASEO_RemoteDefaultGateway);
  EXPECT_EQ(Ras->GetEntryProperties("Office VPN").szLocalPhoneNumber, "vpn.example.org");

  Ras->SetEntryDialParams("Carrier CDMA");
  EXPECT_EQ(Ras->UserName(), "user");
  EXPECT_EQ(Ras->Password(), "secret");
  EXPECT_EQ(Ras->PhoneNumber(), "#777");

  TRasEntry changed = cdma;
  changed.szLocalPhoneNumber = "#778";
  changed.ipaddrDnsAlt = TRasIpAddr{1, 1, 1, 1};
  EXPECT_TRUE(Ras->SetEntryProperties("Carrier CDMA", changed));
  const TRasEntry reread = Ras->GetEntryProperties("Carrier CDMA");
  EXPECT_EQ(reread.szLocalPhoneNumber, "#778");
  EXPECT_EQ(reread.ipaddrDnsAlt, (TRasIpAddr{1, 1, 1, 1}));

  EXPECT_EQ(Log.CountOf("error"), 0u);
  Ras->SetEntryName("Wired");  // not a dial-up profile
  Ras->Connect();
  ASSERT_EQ(Log.CountOf("error"), 1u);
  EXPECT_EQ(Log.Records().back().Text, "The connection profile was not found");
}

TEST_F(NmDialupServiceTest, ActiveConnectionIsListedAdoptedAndItsEndNoticed) {
  const std::string active = Mock->Exec("result = self.AddActiveConnection(['" + std::string(kDevice) + "'], '" + CdmaPath +
                                        "', '/', 'Outside', dbus.UInt32(2))");
  EXPECT_EQ(Ras->EnumRasConnectionsNames(), TStringDynArray{"Carrier CDMA"});
  ASSERT_TRUE(Ras->UseConnection("Carrier CDMA"));
  Ras->SetConnected(true);

  // The peer of the point-to-point link, else the gateway.
  EXPECT_EQ(Ras->PeerAddress(), "") << "no IPv4 configuration yet";
  Mock->Exec("self.AddObject('/org/freedesktop/NetworkManager/IP4Config/1', 'org.freedesktop.NetworkManager.IP4Config',"
             " {'AddressData': dbus.Array([{'address': '10.64.0.7', 'prefix': dbus.UInt32(32), 'peer': '10.64.64.64'}],"
             " signature='a{sv}'), 'Gateway': '10.64.0.1'}, [])\n"
             "objects['" + active + "'].AddProperty('org.freedesktop.NetworkManager.Connection.Active', 'Ip4Config',"
             " dbus.ObjectPath('/org/freedesktop/NetworkManager/IP4Config/1'))");
  EXPECT_EQ(Ras->PeerAddress(), "10.64.64.64");
  Mock->Exec("objects['/org/freedesktop/NetworkManager/IP4Config/1'].Set('org.freedesktop.NetworkManager.IP4Config',"
             " 'AddressData', dbus.Array([{'address': '10.64.0.7', 'prefix': dbus.UInt32(24)}], signature='a{sv}'))");
  EXPECT_EQ(Ras->PeerAddress(), "10.64.0.1");

  // Brought down from outside the program.
  Mock->Exec("self.RemoveActiveConnection('" + std::string(kDevice) + "', '" + active + "')");
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras->Connected());
  ASSERT_TRUE(Ras->NotifierEvent().WaitFor(20s));
  EXPECT_TRUE(Ras->RasNotifierFinished());
  EXPECT_TRUE(Ras->EnumRasConnectionsNames().empty());
}

TEST_F(NmDialupServiceTest, ConnectActivatesAndDisconnectDeactivates) {
  Ras->SetEntryName("Carrier CDMA");
  Ras->Connect();
  ASSERT_TRUE(Log.WaitForStep(RASCS_Connected));
  EXPECT_EQ(Log.CountOf("connect"), 1u);
  EXPECT_TRUE(Ras->Connected());
  EXPECT_EQ(Ras->EnumRasConnectionsNames(), TStringDynArray{"Carrier CDMA"});
  for (const auto& r : Log.Records()) EXPECT_NE(r.Thread, std::this_thread::get_id());

  Ras->Disconnect();
  EXPECT_EQ(Ras->Handle(), INVALID_RAS_HANDLE);
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras->Connected());
  EXPECT_TRUE(Ras->EnumRasConnectionsNames().empty());
  EXPECT_EQ(Log.CountOf("error"), 0u);
}

TEST_F(NmDialupServiceTest, StateChangesBecomeTheDialSteps) {
  Mock->ActivateStepByStep();
  Ras->SetEntryName("Carrier CDMA");
  Ras->Connect();
  ASSERT_TRUE(Log.WaitForStep(RASCS_OpenPort));
  const std::string active = Mock->ActivePath(0);
  Mock->EmitDeviceState(40, 30, 0);   // prepare
  Mock->EmitDeviceState(50, 40, 0);   // config
  Mock->EmitDeviceState(60, 50, 0);   // need auth
  Mock->EmitDeviceState(50, 60, 0);   // back to config once the secrets are there
  Mock->EmitDeviceState(70, 50, 0);   // IP config
  Mock->EmitDeviceState(80, 70, 0);   // IP check
  Mock->EmitDeviceState(100, 80, 0);  // activated
  Mock->EmitActiveState(active, 2, 1);
  ASSERT_TRUE(Log.WaitForStep(RASCS_Connected));
  std::vector<std::string> texts;
  for (uint32_t state : Log.Steps()) {
    std::string text;
    RasStateText(state, text);
    texts.push_back(text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Opening port...", "Connecting device...", "Identification.",
                                             "Connecting device...", "Projection phase.", "Projection complete.",
                                             "Connected."}));
  EXPECT_TRUE(Ras->Connected());
}

TEST_F(NmDialupServiceTest, AFailedActivationCarriesTheDevicesReason) {
  Mock->ActivateStepByStep();
  Ras->SetEntryName("Carrier CDMA");
  Ras->Connect();
  ASSERT_TRUE(Log.WaitForStep(RASCS_OpenPort));
  const std::string active = Mock->ActivePath(0);
  Mock->EmitDeviceState(50, 40, 0);
  Mock->EmitDeviceState(120, 50, 25);     // failed: no carrier
  Mock->EmitActiveState(active, 4, 3);    // deactivated: device disconnected
  ASSERT_TRUE(Log.WaitForStep(RASCS_Disconnected));
  const auto last = Log.Records().back();
  EXPECT_EQ(last.Error, RAS_ERR_DEVICE_REASON_BASE + 25);
  EXPECT_EQ(Ras->ErrorText(last.Error), "The modem reports no carrier");
  EXPECT_EQ(Log.CountOf("connect"), 0u);
  EXPECT_FALSE(Ras->Connected());
  EXPECT_TRUE(Ras->RasNotifierFinished());
}

TEST(NmDialupServiceDownTest, WithoutTheServiceEveryCallReportsIt) {
  static int argc = 1;
  static char name[] = "nm-tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  TNmMock bus(false);
  TNmDialupService service(Options(bus.Address(), 5s));
  TXuRAS ras(service);
  TRasEventLog log;
  log.Bind(ras);
  EXPECT_TRUE(ras.EnumRasEntriesNames().empty());
  ras.SetEntryName("Carrier CDMA");
  ras.Connect();
  std::vector<std::string> texts;
  for (const auto& r : log.Records()) texts.push_back(r.Text);
  EXPECT_EQ(texts, (std::vector<std::string>{"*** The network connection service cannot be reached",
                                             "The network connection service cannot be reached"}));

  TNmDialupService unreachable(Options("unix:path=/nonexistent/bus"));
  EXPECT_FALSE(unreachable.BusConnected());
  std::vector<std::string> names;
  EXPECT_EQ(unreachable.EnumEntries(names), RAS_ERR_SERVICE_UNAVAILABLE);
}
