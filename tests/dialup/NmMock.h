// python-dbusmock's NetworkManager template on a private dbus-daemon started by the test: the
// stand-in that the NetworkManager service's tests and the program's tests talk to. It can be
// stopped (SIGSTOP), killed and started again, and can let go of its name and take it back.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusConnectionInterface>
#include <QtDBus/QDBusMessage>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace nm_test {

using namespace std::chrono_literals;

inline const char kService[] = "org.freedesktop.NetworkManager";
inline const char kDevice[] = "/org/freedesktop/NetworkManager/Devices/wwan0";

inline const char kCdmaProfile[] =
    "{'connection': {'id': 'Carrier CDMA', 'type': 'cdma'},"
    " 'cdma': {'number': '#777', 'username': 'user', 'password': 'secret'},"
    " 'ipv4': {'method': 'auto', 'dns': dbus.Array([dbus.UInt32(0x08080808), dbus.UInt32(0x04040808)], signature='u')}}";
inline const char kWiredProfile[] = "{'connection': {'id': 'Wired', 'type': '802-3-ethernet'}}";
inline const char kVpnProfile[] =
    "{'connection': {'id': 'Office VPN', 'type': 'vpn'},"
    " 'vpn': {'service-type': 'org.freedesktop.NetworkManager.openvpn', 'user-name': 'vpnuser',"
    "         'data': dbus.Dictionary({'gateway': 'vpn.example.org'}, signature='ss')}}";

// Until aDone holds or aLimit has passed: for what only shows in answers, not as an event.
inline bool Eventually(const std::function<bool()>& aDone, std::chrono::milliseconds aLimit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class TNmMock {
 public:
  // A bus, and the stand-in on it unless aWithService is false.
  explicit TNmMock(bool aWithService = true) {
    try {
      StartBus();
      if (aWithService) StartService();
    } catch (...) {
      Stop();
      throw;
    }
  }
  ~TNmMock() { Stop(); }

  // The stand-in, with a modem device and a helper that runs Python in it.
  void StartService() {
    FMock = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "--template", "networkmanager"}, -1);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    QDBusConnectionInterface* bus = FConnection->interface();
    while (!bus->isServiceRegistered(QString::fromLatin1(kService))) {
      int status = 0;
      if (waitpid(FMock, &status, WNOHANG) == FMock) {
        FMock = -1;
        throw std::runtime_error("the mock exited (is python3-dbusmock installed?)");
      }
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("the mock did not appear");
      std::this_thread::sleep_for(20ms);  // polling the bus for the name, bounded by the deadline
    }
    // Calls go to the process itself, so that they reach it while it does not hold the name.
    FOwner = bus->serviceOwner(QString::fromLatin1(kService)).value();
    Call("/org/freedesktop", "org.freedesktop.DBus.Mock", "AddMethod",
         {QStringLiteral("org.cdma.Test"), QStringLiteral("Exec"), QStringLiteral("s"), QStringLiteral("s"),
          QStringLiteral("import dbus, dbusmock\n"
                         "ns = {'self': self, 'objects': objects, 'dbus': dbus, 'dbusmock': dbusmock}\n"
                         "exec(args[0], ns)\n"
                         "ret = str(ns.get('result', ''))\n")});
    Exec("self.AddEthernetDevice('wwan0', 'wwan0', 30)");
  }

  void Pause() { kill(FMock, SIGSTOP); }
  void Resume() { kill(FMock, SIGCONT); }
  // Ends the stand-in at once, as a crash would.
  void Kill() { Reap(FMock, SIGKILL); }
  // Lets go of the service's name, as a service that is shutting down does, and takes it again.
  void ReleaseName() { Exec("self.connection.release_name('" + std::string(kService) + "')"); }
  void TakeName() { Exec("self.connection.request_name('" + std::string(kService) + "')"); }

  const std::string& Address() const { return FAddress; }

  QDBusMessage Call(const char* aPath, const char* aInterface, const char* aMethod, const QVariantList& aArgs) {
    QDBusMessage m = QDBusMessage::createMethodCall(FOwner, aPath, aInterface, aMethod);
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

  std::string AddProfile(const std::string& aSettings) { return Exec("result = self.SettingsAddConnection(" + aSettings + ")"); }
  // An active connection of the profile on the modem device, in the given state (2: activated).
  std::string AddActive(const std::string& aProfilePath, const std::string& aName, int aState = 2) {
    return Exec("result = self.AddActiveConnection(['" + std::string(kDevice) + "'], '" + aProfilePath + "', '/', '" +
                aName + "', dbus.UInt32(" + std::to_string(aState) + "))");
  }
  void EmitDeviceState(uint32_t aNew, uint32_t aOld, uint32_t aReason) {
    Exec("objects['" + std::string(kDevice) + "'].EmitSignal('org.freedesktop.NetworkManager.Device', 'StateChanged', 'uuu', [" +
         std::to_string(aNew) + ", " + std::to_string(aOld) + ", " + std::to_string(aReason) + "])");
  }
  void EmitActiveState(const std::string& aPath, uint32_t aState, uint32_t aReason) {
    Exec("objects['" + aPath + "'].EmitSignal('org.freedesktop.NetworkManager.Connection.Active', 'StateChanged', 'uu', [" +
         std::to_string(aState) + ", " + std::to_string(aReason) + "])");
  }
  // Replaces a method of an object; aCode is the body, with args and ret as dbusmock has them.
  void ReplaceMethod(const std::string& aPath, const std::string& aInterface, const std::string& aName,
                     const std::string& aIn, const std::string& aOut, const std::string& aCode) {
    Call(aPath.c_str(), "org.freedesktop.DBus.Mock", "AddMethod",
         {QString::fromStdString(aInterface), QString::fromStdString(aName), QString::fromStdString(aIn),
          QString::fromStdString(aOut), QString::fromStdString(aCode)});
  }
  // From now on an activation starts in the activating state on the modem device, so that the
  // test can walk it through the states (the template's activation is complete at once).
  void ActivateStepByStep() {
    ReplaceMethod("/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager", "ActivateConnection", "ooo", "o",
                  "main = objects['/org/freedesktop']\n"
                  "main.dials = getattr(main, 'dials', 0) + 1\n"
                  "path = main.AddActiveConnection([], args[0], args[2], 'Dial%d' % main.dials, dbus.UInt32(1))\n"
                  "objects[path].Set('org.freedesktop.NetworkManager.Connection.Active', 'Devices',\n"
                  "                  dbus.Array([dbus.ObjectPath('" +
                      std::string(kDevice) + "')], signature='o'))\nret = path\n");
  }
  std::string ActivePath(size_t aIndex) {
    return Exec("result = list(objects['/org/freedesktop/NetworkManager'].Get('org.freedesktop.NetworkManager', "
                "'ActiveConnections'))[" + std::to_string(aIndex) + "]");
  }

 private:
  void StartBus() {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    FDaemon = Spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, out[1]);
    close(out[1]);
    FAddress = ReadLine(out[0], 30s);
    close(out[0]);
    if (FAddress.empty()) throw std::runtime_error("dbus-daemon gave no address");
    FConnection = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(QString::fromStdString(FAddress), FName));
  }

  void Stop() {
    FConnection.reset();
    QDBusConnection::disconnectFromBus(FName);
    if (FMock > 0) kill(FMock, SIGCONT);
    Reap(FMock, SIGTERM);
    Reap(FDaemon, SIGTERM);
  }

  pid_t Spawn(const std::vector<std::string>& aArgs, int aStdout) const {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int null = open("/dev/null", O_WRONLY);
    dup2(aStdout >= 0 ? aStdout : null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (!FAddress.empty()) setenv("DBUS_SESSION_BUS_ADDRESS", FAddress.c_str(), 1);
    std::vector<char*> argv;
    for (const auto& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }

  static void Reap(pid_t& aPid, int aSignal) {
    if (aPid <= 0) return;
    kill(aPid, aSignal);
    int status = 0;
    waitpid(aPid, &status, 0);
    aPid = -1;
  }

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
  QString FOwner;
  const QString FName = QStringLiteral("nm-test-%1").arg(++gCount);
  std::unique_ptr<QDBusConnection> FConnection;
  static inline std::atomic<int> gCount{0};
};

}  // namespace nm_test
