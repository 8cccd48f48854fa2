// The NetworkManager service under the dial-up component, against python-dbusmock's
// NetworkManager template on a private bus started by the test: the phone book and connections
// from the cache, dials and hang-ups in the background, a service that is slow, stopped, gone,
// back, or answering in the wrong form.
#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "DialupTestSupport.h"
#include "NmMock.h"
#include "dialup/NmDialupService.h"
#include "dialup/XuRas.h"

using namespace std::chrono_literals;
using namespace nm_test;

namespace {

TNmServiceOptions Options(const std::string& aAddress, std::chrono::milliseconds aTimeout = 30s) {
  TNmServiceOptions o;
  o.BusAddress = aAddress;
  o.CallTimeout = aTimeout;
  return o;
}

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "nm-tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

std::vector<std::string> ErrorTexts(const TRasEventLog& aLog) {
  std::vector<std::string> texts;
  for (const auto& r : aLog.Records())
    if (r.Kind == "error") texts.push_back(r.Text);
  return texts;
}

double MillisecondsSince(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - aStart).count();
}

class NmDialupServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnsureApplication(); }

  void SetUp() override {
    Mock = std::make_unique<TNmMock>();
    Mock->AddProfile(kWiredProfile);
    CdmaPath = Mock->AddProfile(kCdmaProfile);
    Mock->AddProfile(kVpnProfile);
  }

  // The service and the component on the mock as it is set up by now; the lists learnt.
  void StartService(std::chrono::milliseconds aTimeout = 30s, bool aWaitForLists = true) {
    Service = std::make_unique<TNmDialupService>(Options(Mock->Address(), aTimeout));
    Ras = std::make_unique<TXuRAS>(*Service);
    Log.Bind(*Ras);
    if (aWaitForLists) {
      ASSERT_TRUE(Service->WaitForLists(60s));
    }
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
  StartService();
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

  // Profiles added and removed later are followed by their signals.
  const std::string added = Mock->AddProfile("{'connection': {'id': 'Backup PPPoE', 'type': 'pppoe'}}");
  ASSERT_TRUE(Eventually([&] { return Ras->EnumRasEntriesNames().size() == 3; }));
  EXPECT_EQ(Ras->EnumRasEntriesNames().back(), "Backup PPPoE");
  Mock->Exec("objects['" + added + "'].ConnectionDelete(objects['" + added + "'])");
  ASSERT_TRUE(Eventually([&] { return Ras->EnumRasEntriesNames().size() == 2; }));

  EXPECT_EQ(Log.CountOf("error"), 0u);
  Ras->SetEntryName("Wired");  // not a dial-up profile
  Ras->Connect();
  ASSERT_EQ(Log.CountOf("error"), 1u);
  EXPECT_EQ(Log.Records().back().Text, "The connection profile was not found");
}

TEST_F(NmDialupServiceTest, ActiveConnectionIsListedAdoptedAndItsEndNoticed) {
  StartService();
  const std::string active = Mock->AddActive(CdmaPath, "Outside");
  ASSERT_TRUE(Eventually([&] { return Ras->EnumRasConnectionsNames() == TStringDynArray{"Carrier CDMA"}; }));
  ASSERT_TRUE(Ras->UseConnection("Carrier CDMA"));
  Ras->SetConnected(true);

  // The peer of the point-to-point link, else the gateway, as the service announces them.
  EXPECT_EQ(Ras->PeerAddress(), "") << "no IPv4 configuration yet";
  Mock->Exec("self.AddObject('/org/freedesktop/NetworkManager/IP4Config/1', 'org.freedesktop.NetworkManager.IP4Config',"
             " {'AddressData': dbus.Array([{'address': '10.64.0.7', 'prefix': dbus.UInt32(32), 'peer': '10.64.64.64'}],"
             " signature='a{sv}'), 'Gateway': '10.64.0.1'}, [])\n"
             "objects['" + active + "'].AddProperty('org.freedesktop.NetworkManager.Connection.Active', 'Ip4Config',"
             " dbus.ObjectPath('/'))\n"
             "objects['" + active + "'].Set('org.freedesktop.NetworkManager.Connection.Active', 'Ip4Config',"
             " dbus.ObjectPath('/org/freedesktop/NetworkManager/IP4Config/1'))");
  EXPECT_TRUE(Eventually([&] { return Ras->PeerAddress() == "10.64.64.64"; })) << Ras->PeerAddress();
  Mock->Exec("objects['/org/freedesktop/NetworkManager/IP4Config/1'].Set('org.freedesktop.NetworkManager.IP4Config',"
             " 'AddressData', dbus.Array([{'address': '10.64.0.7', 'prefix': dbus.UInt32(24)}], signature='a{sv}'))");
  EXPECT_TRUE(Eventually([&] { return Ras->PeerAddress() == "10.64.0.1"; })) << Ras->PeerAddress();

  // Brought down from outside the program.
  Mock->Exec("self.RemoveActiveConnection('" + std::string(kDevice) + "', '" + active + "')");
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras->Connected());
  ASSERT_TRUE(Ras->NotifierEvent().WaitFor(20s));
  EXPECT_TRUE(Ras->RasNotifierFinished());
  EXPECT_TRUE(Ras->EnumRasConnectionsNames().empty());
}

TEST_F(NmDialupServiceTest, ConnectActivatesAndDisconnectDeactivates) {
  StartService();
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
  EXPECT_TRUE(Eventually([&] { return Ras->EnumRasConnectionsNames().empty(); }));
  EXPECT_EQ(Log.CountOf("error"), 0u);
}

TEST_F(NmDialupServiceTest, StateChangesBecomeTheDialSteps) {
  StartService();
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
  StartService();
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

// Ten profiles that take 300 ms each to read, then the service stopped outright: whatever the
// component is asked answers from what was learnt, and a dial waits in the background.
TEST_F(NmDialupServiceTest, ASlowOrStoppedServiceKeepsNoCallerWaiting) {
  for (int i = 0; i < 10; ++i) {
    const std::string path =
        Mock->AddProfile("{'connection': {'id': 'Slow " + std::to_string(i) + "', 'type': 'cdma'}, 'cdma': {'number': '#77" +
                         std::to_string(i) + "'}}");
    Mock->ReplaceMethod(path, "org.freedesktop.NetworkManager.Settings.Connection", "GetSettings", "", "a{sa{sv}}",
                        "import time\ntime.sleep(0.3)\nret = self.ConnectionGetSettings(self)\n");
  }
  const auto learning = std::chrono::steady_clock::now();
  StartService();
  const double learnt = MillisecondsSince(learning);
  ASSERT_EQ(Ras->EnumRasEntriesNames().size(), 12u);

  Mock->Pause();
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Ras->EnumRasEntriesNames().size(), 12u);
  EXPECT_TRUE(Ras->EnumRasConnectionsNames().empty());
  EXPECT_EQ(Ras->GetEntryProperties("Slow 9").szLocalPhoneNumber, "#779");
  const double lists = MillisecondsSince(asked);
  Ras->SetEntryName("Slow 3");
  const auto connecting = std::chrono::steady_clock::now();
  Ras->Connect();
  const double connect = MillisecondsSince(connecting);
  std::printf("[ figures  ] lists learnt in %.0f ms; with the service stopped: lists %.1f ms, Connect %.1f ms\n", learnt,
              lists, connect);
  // One reading of the profiles takes 3 s; a blocked call would take the 30 s time-out.
  EXPECT_LT(lists, 3000.0);
  EXPECT_LT(connect, 3000.0);
  EXPECT_TRUE(ErrorTexts(Log).empty());
  EXPECT_TRUE(Log.Steps().empty()) << "the dial waits for the service";

  Mock->Resume();
  ASSERT_TRUE(Log.WaitForStep(RASCS_Connected));
  EXPECT_TRUE(Ras->Connected());

  // The hang-up is sent without waiting either.
  Mock->Pause();
  const auto hangingUp = std::chrono::steady_clock::now();
  Ras->Disconnect();
  EXPECT_LT(MillisecondsSince(hangingUp), 3000.0);
  Mock->Resume();
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_EQ(Log.CountOf("error"), 0u);
}

TEST_F(NmDialupServiceTest, TheServiceGoingAwayEndsEveryConnectionAndItsReturnIsLearnt) {
  const std::string outside = Mock->AddActive(CdmaPath, "Outside");
  StartService();
  ASSERT_TRUE(Ras->UseConnection("Carrier CDMA"));
  Ras->SetConnected(true);
  // A second component dials meanwhile; the service leaves before it has connected.
  TXuRAS dialling(*Service);
  TRasEventLog dialLog;
  dialLog.Bind(dialling);
  Mock->ActivateStepByStep();
  dialling.SetEntryName("Office VPN");
  dialling.Connect();
  ASSERT_TRUE(dialLog.WaitForStep(RASCS_OpenPort));

  const TRasHandle adopted = Ras->Handle();
  Mock->ReleaseName();
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras->Connected());
  // A watch that comes too late to hear of it learns it from the handle, which names nothing now.
  TRasNotificationId late = 0;
  EXPECT_EQ(Service->ConnectionNotification(adopted, [] {}, late), RAS_ERR_INVALID_HANDLE);
  ASSERT_TRUE(dialLog.WaitForStep(RASCS_Disconnected));
  EXPECT_EQ(dialLog.Records().back().Error, RAS_ERR_SERVICE_UNAVAILABLE);
  EXPECT_EQ(dialLog.CountOf("connect"), 0u);
  // Nothing is left to list or to dial.
  EXPECT_TRUE(Ras->EnumRasEntriesNames().empty());
  Ras->SetEntryName("Carrier CDMA");
  Ras->Connect();
  EXPECT_EQ(ErrorTexts(Log), (std::vector<std::string>{"*** The network connection service cannot be reached",
                                                        "The network connection service cannot be reached"}));

  // Back, with the connection it held still up: learnt anew, so it can be taken over again.
  const size_t learnt = Log.CountOf("learnt");
  Mock->TakeName();
  ASSERT_TRUE(Log.WaitForKind("learnt", learnt + 1));
  EXPECT_EQ(Ras->EnumRasEntriesNames(), (TStringDynArray{"Carrier CDMA", "Office VPN"}));
  ASSERT_EQ(Ras->EnumRasConnectionsNames(), (TStringDynArray{"Carrier CDMA", "Office VPN"}));
  ASSERT_TRUE(Ras->UseConnection("Carrier CDMA"));
  Ras->SetConnected(true);
  Mock->Exec("self.RemoveActiveConnection('" + std::string(kDevice) + "', '" + outside + "')");
  ASSERT_TRUE(Log.WaitForKind("disconnect", 2));
  EXPECT_FALSE(Ras->Connected());
}

TEST_F(NmDialupServiceTest, AHangUpTheServiceRefusesIsReportedAndTheConnectionStays) {
  StartService();
  Ras->SetEntryName("Carrier CDMA");
  Ras->Connect();
  ASSERT_TRUE(Log.WaitForStep(RASCS_Connected));
  const TRasHandle handle = Ras->Handle();
  const char* manager = "/org/freedesktop/NetworkManager";
  Mock->ReplaceMethod(manager, kService, "DeactivateConnection", "o", "",
                      "raise dbus.exceptions.DBusException('not allowed', "
                      "name='org.freedesktop.NetworkManager.PermissionDenied')\n");
  Ras->Disconnect();
  ASSERT_TRUE(Log.WaitForKind("error"));
  EXPECT_EQ(ErrorTexts(Log), std::vector<std::string>{"The network connection service refused the request"});
  EXPECT_NE(Log.Records().back().Thread, std::this_thread::get_id()) << "the refusal comes later, on the bus thread";
  EXPECT_TRUE(Ras->Connected());
  EXPECT_EQ(Ras->Handle(), handle) << "the next press hangs up again";

  Mock->ReplaceMethod(manager, kService, "DeactivateConnection", "o", "", "self.deactivate_connection(self, args[0])\n");
  Ras->Disconnect();
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras->Connected());
}

// Answers of the wrong form: the lists fail once with a clear text and are asked again; a profile
// or a signal that makes no sense is passed over without a word.
TEST_F(NmDialupServiceTest, AnswersOfTheWrongFormAreReportedOnceAndAskedAgain) {
  const std::string kUnreadable = "*** The network connection service sent an answer that could not be read";
  const std::string kSettings = "org.freedesktop.NetworkManager.Settings";
  struct Case {
    const char* What;
    std::function<void(TNmMock&, const std::string& aCdma)> Break;
    std::function<void(TNmMock&, const std::string& aCdma)> Mend;  // none: nothing to report
  };
  const Case cases[] = {
      {"the profile list is a text",
       [&](TNmMock& m, const std::string&) {
         m.ReplaceMethod("/org/freedesktop/NetworkManager/Settings", kSettings, "ListConnections", "", "s", "ret = 'x'\n");
       },
       [&](TNmMock& m, const std::string&) {
         m.ReplaceMethod("/org/freedesktop/NetworkManager/Settings", kSettings, "ListConnections", "", "ao",
                         "ret = self.Get('" + kSettings + "', 'Connections')\n");
       }},
      {"the active connections are a number",
       [](TNmMock& m, const std::string&) {
         m.Exec("objects['/org/freedesktop/NetworkManager'].props['org.freedesktop.NetworkManager']['ActiveConnections']"
                " = dbus.UInt32(7)");
       },
       [](TNmMock& m, const std::string&) {
         m.Exec("objects['/org/freedesktop/NetworkManager'].props['org.freedesktop.NetworkManager']['ActiveConnections']"
                " = dbus.Array([], signature='o')");
       }},
      {"a profile's settings are a text",
       [&](TNmMock& m, const std::string& aCdma) {
         m.ReplaceMethod(aCdma, kSettings + ".Connection", "GetSettings", "", "s", "ret = 'x'\n");
       },
       [&](TNmMock& m, const std::string& aCdma) {
         m.ReplaceMethod(aCdma, kSettings + ".Connection", "GetSettings", "", "a{sa{sv}}", "ret = self.ConnectionGetSettings(self)\n");
       }},
      {"a profile named by a number, and signals of the wrong form",
       [](TNmMock& m, const std::string&) {
         m.AddProfile("{'connection': {'id': dbus.UInt32(5), 'type': 'cdma'}}");
         m.Exec("objects['/org/freedesktop/NetworkManager'].EmitSignal('org.freedesktop.DBus.Properties', 'PropertiesChanged',"
                " 'sa{sv}as', ['org.freedesktop.NetworkManager', {'ActiveConnections': 'x'}, []])");
         m.EmitDeviceState(50, 40, 0);
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.What);
    TNmMock mock;
    mock.AddProfile(kVpnProfile);
    const std::string cdma = mock.AddProfile(kCdmaProfile);
    c.Break(mock, cdma);
    TNmDialupService service(Options(mock.Address()));
    TXuRAS ras(service);
    TRasEventLog log;
    log.Bind(ras);
    ASSERT_TRUE(service.WaitForLists(60s));
    if (!c.Mend) {
      EXPECT_EQ(ras.EnumRasEntriesNames(), (TStringDynArray{"Office VPN", "Carrier CDMA"}));
      c.Break(mock, cdma);  // the signals again, now that they are listened to
      EXPECT_EQ(ras.EnumRasEntriesNames(), (TStringDynArray{"Office VPN", "Carrier CDMA"}));
      EXPECT_TRUE(ErrorTexts(log).empty());
      continue;
    }
    EXPECT_TRUE(ras.EnumRasEntriesNames().empty());
    EXPECT_EQ(ErrorTexts(log), std::vector<std::string>{kUnreadable});
    // Asked again at once, and still wrong; mended, the next question learns the lists anew.
    ASSERT_TRUE(service.WaitForLists(60s));
    c.Mend(mock, cdma);
    const size_t learnt = log.CountOf("learnt");
    ras.EnumRasEntriesNames();
    ASSERT_TRUE(log.WaitForKind("learnt", learnt + 1));
    EXPECT_EQ(ras.EnumRasEntriesNames(), (TStringDynArray{"Office VPN", "Carrier CDMA"}));
  }
}

TEST_F(NmDialupServiceTest, AServiceThatNeverAnswersIsToldAfterTheTimeOutWithoutHoldingAnyone) {
  Mock->Pause();
  StartService(2s, false);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(Ras->ListsPending());
  EXPECT_TRUE(Ras->EnumRasEntriesNames().empty());
  EXPECT_TRUE(Ras->EnumRasConnectionsNames().empty());
  EXPECT_LT(MillisecondsSince(asked), 1000.0) << "answered while the service is still being asked";
  EXPECT_TRUE(ErrorTexts(Log).empty());
  ASSERT_TRUE(Log.WaitForKind("learnt"));
  EXPECT_FALSE(Ras->ListsPending());
  EXPECT_TRUE(Ras->EnumRasEntriesNames().empty());
  EXPECT_EQ(ErrorTexts(Log), std::vector<std::string>{"*** The network connection service did not answer in time"});
  Mock->Resume();
  // Asked again, it answers now.
  ASSERT_TRUE(Service->WaitForLists(60s));
  EXPECT_EQ(Ras->EnumRasEntriesNames(), (TStringDynArray{"Carrier CDMA", "Office VPN"}));
}

TEST(NmDialupServiceDownTest, WithoutTheServiceEveryCallReportsIt) {
  EnsureApplication();
  TNmMock bus(false);
  TNmDialupService service(Options(bus.Address(), 5s));
  TXuRAS ras(service);
  TRasEventLog log;
  log.Bind(ras);
  ASSERT_TRUE(service.WaitForLists(60s));
  EXPECT_TRUE(ras.EnumRasEntriesNames().empty());
  ras.SetEntryName("Carrier CDMA");
  ras.Connect();
  EXPECT_EQ(ErrorTexts(log), (std::vector<std::string>{"*** The network connection service cannot be reached",
                                                       "The network connection service cannot be reached"}));

  TNmDialupService unreachable(Options("unix:path=/nonexistent/bus"));
  ASSERT_TRUE(unreachable.WaitForLists(60s));
  std::vector<std::string> names;
  EXPECT_EQ(unreachable.EnumEntries(names), RAS_ERR_SERVICE_UNAVAILABLE);
}
