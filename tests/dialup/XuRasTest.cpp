// The dial-up component, its notifier and texts, against the in-process demo service.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "DialupTestSupport.h"
#include "common/SystemError.h"
#include "dialup/DemoDialupService.h"
#include "dialup/XuRas.h"

using namespace std::chrono_literals;

namespace {

// The demo service, with the dial callback kept for replaying steps and the watches counted.
class TRecordingService : public TDialupService {
 public:
  TDemoDialupService Demo{1ms};
  std::atomic<int> Registrations{0};
  std::mutex Lock;
  TRasDialCallback LastCallback;

  uint32_t EnumEntries(std::vector<std::string>& a) override { return Demo.EnumEntries(a); }
  uint32_t EnumConnections(std::vector<TRasConnection>& a) override { return Demo.EnumConnections(a); }
  uint32_t FindEntry(const std::string& a) override { return Demo.FindEntry(a); }
  uint32_t GetEntryProperties(const std::string& a, TRasEntry& e) override { return Demo.GetEntryProperties(a, e); }
  uint32_t SetEntryProperties(const std::string& a, const TRasEntry& e) override { return Demo.SetEntryProperties(a, e); }
  uint32_t GetEntryDialParams(TRasDialParams& p, bool& r) override { return Demo.GetEntryDialParams(p, r); }
  uint32_t Dial(const TRasDialParams& p, TRasDialCallback c, TRasHandle& h) override {
    {
      std::lock_guard lock(Lock);
      LastCallback = c;
    }
    return Demo.Dial(p, std::move(c), h);
  }
  uint32_t HangUp(TRasHandle h, TRasHangUpRefused r) override { return Demo.HangUp(h, std::move(r)); }
  uint32_t ConnectionNotification(TRasHandle h, std::function<void()> f, TRasNotificationId& id) override {
    ++Registrations;
    return Demo.ConnectionNotification(h, std::move(f), id);
  }
  void RemoveConnectionNotification(TRasNotificationId id) override { Demo.RemoveConnectionNotification(id); }
  uint32_t GetErrorString(uint32_t c, std::string& t) override { return Demo.GetErrorString(c, t); }
  uint32_t GetPeerAddress(TRasHandle h, std::string& a) override { return Demo.GetPeerAddress(h, a); }
};

class XuRasTest : public ::testing::Test {
 protected:
  void SetUp() override { Log.Bind(Ras); }

  // Dials the demo entry and waits for its connected step.
  void DialAndWait() {
    const size_t connects = Log.CountOf("connect");
    Ras.SetEntryName(TDemoDialupService::kEntryName);
    Ras.Connect();
    ASSERT_TRUE(Log.WaitForKind("connect", connects + 1));
    ASSERT_TRUE(Log.WaitUntil([](const auto& r) { return r.back().Kind == "step" && r.back().State == RASCS_Connected; }));
  }

  TDemoDialupService Service{1ms};
  TRasEventLog Log;
  TXuRAS Ras{Service};
};

TRasEntry SizedEntry() {
  TRasEntry e;
  e.dwSize = kRasEntrySize;
  return e;
}

std::string ErrorText(TDialupService& aService, uint32_t aCode) { return RasErrorText(aService, aCode); }

}  // namespace

TEST(RasTextsTest, StateTextsLookAtTheLowSixteenBitsOnly) {
  struct Case {
    uint32_t State;
    const char* Expected;
  };
  const Case cases[] = {
      {RASCS_OpenPort, "Opening port..."},       {RASCS_AuthProject, "Projection phase."},
      {RASCS_Connected, "Connected."},           {0x12001, "Disconnected."},
      {0xFFFF2000, "Connected."},                {RASCS_WaitForCallback, "Waiting incomming call..."},
      {RASCS_PasswordExpired, "Password expired."},
  };
  for (const auto& c : cases) {
    std::string text = "old";
    RasStateText(c.State, text);
    EXPECT_EQ(text, c.Expected) << c.State;
  }
  for (uint32_t silent : {19u, 20u, 21u, 24u, 0x1004u, 0x2002u}) {
    std::string text = "kept";
    RasStateText(silent, text);
    EXPECT_EQ(text, "kept") << silent;
  }
}

TEST(RasTextsTest, ErrorTextsComeFromTheServiceOrSayWhyNot) {
  TDemoDialupService service;
  EXPECT_EQ(ErrorText(service, RAS_ERR_ENTRY_NOT_FOUND), "The connection profile was not found");
  EXPECT_EQ(ErrorText(service, RAS_ERR_DEVICE_REASON_BASE + 25), "The modem reports no carrier");
  EXPECT_EQ(ErrorText(service, RAS_ERR_ACTIVATION_REASON_BASE + 10), "The login was refused");
  EXPECT_EQ(ErrorText(service, 42), "Fail when get error string.\r\n" + SysErrorMessage(EINVAL));
}

TEST_F(XuRasTest, LengthLimitsAcceptTheLimitAndRefuseOneMore) {
  struct Case {
    const char* Name;
    void (TXuCustomRas::*Set)(const std::string&);
    std::string (TXuCustomRas::*Get)() const;
    size_t Limit;
  };
  const Case cases[] = {
      {"EntryName", &TXuCustomRas::SetEntryName, &TXuCustomRas::EntryName, 256},
      {"PhoneNumber", &TXuCustomRas::SetPhoneNumber, &TXuCustomRas::PhoneNumber, 128},
      {"CallbackNumber", &TXuCustomRas::SetCallbackNumber, &TXuCustomRas::CallbackNumber, 128},
      {"UserName", &TXuCustomRas::SetUserName, &TXuCustomRas::UserName, 256},
      {"Password", &TXuCustomRas::SetPassword, &TXuCustomRas::Password, 256},
      {"Domain", &TXuCustomRas::SetDomain, &TXuCustomRas::Domain, 15},
  };
  for (const auto& c : cases) {
    const std::string fits(c.Limit, 'x');
    EXPECT_NO_THROW((Ras.*c.Set)(fits)) << c.Name;
    EXPECT_EQ((Ras.*c.Get)(), fits) << c.Name;
    try {
      (Ras.*c.Set)(fits + "y");
      ADD_FAILURE() << c.Name << " accepted " << c.Limit + 1 << " characters";
    } catch (const EXuRasError& e) {
      EXPECT_EQ(std::string(e.what()), "The value must be less than " + std::to_string(c.Limit) + " chars.") << c.Name;
    }
    EXPECT_EQ((Ras.*c.Get)(), fits) << c.Name << ": a refused value must not be stored";
  }
}

TEST_F(XuRasTest, WhileConnectedEverySetterConnectAndUseConnectionAreRefused) {
  Ras.SetConnected(true);
  const std::vector<void (TXuCustomRas::*)(const std::string&)> setters = {
      &TXuCustomRas::SetEntryName, &TXuCustomRas::SetPhoneNumber, &TXuCustomRas::SetCallbackNumber,
      &TXuCustomRas::SetUserName,  &TXuCustomRas::SetPassword,    &TXuCustomRas::SetDomain};
  for (auto set : setters) {
    try {
      (Ras.*set)("ok");
      ADD_FAILURE() << "setter accepted a value while connected";
    } catch (const EXuRasError& e) {
      EXPECT_STREQ(e.what(), kRasAlreadyConnected);
    }
  }
  EXPECT_THROW(Ras.Connect(), EXuRasError);
  EXPECT_THROW(Ras.UseConnection(TDemoDialupService::kEntryName), EXuRasError);
  EXPECT_EQ(Service.DialCount(), 0);
  EXPECT_EQ(Ras.EntryName(), "");
}

TEST_F(XuRasTest, ConnectForAnUnknownEntryReportsWithoutPrefixAndDoesNotDial) {
  Ras.SetEntryName("No such entry");
  Ras.Connect();
  const auto records = Log.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Kind, "error");
  EXPECT_EQ(records[0].Text, "The connection profile was not found");
  EXPECT_EQ(records[0].Thread, std::this_thread::get_id());
  EXPECT_EQ(Service.DialCount(), 0);
  EXPECT_EQ(Ras.Handle(), INVALID_RAS_HANDLE);
  EXPECT_FALSE(Ras.Connected());
}

TEST_F(XuRasTest, ADialGoesThroughItsStepsAndConnectsOnTheServiceThread) {
  DialAndWait();
  std::vector<uint32_t> expected(TDemoDialupService::DialSteps().begin(), TDemoDialupService::DialSteps().end());
  EXPECT_EQ(Log.Steps(), expected);
  const auto records = Log.Records();
  // OnConnect comes just before the connected step, and both on the service's thread.
  ASSERT_GE(records.size(), 2u);
  const auto& connect = records[records.size() - 2];
  const auto& last = records.back();
  EXPECT_EQ(connect.Kind, "connect");
  EXPECT_EQ(last.State, RASCS_Connected);
  EXPECT_EQ(last.Error, 0u);
  for (const auto& r : records) EXPECT_NE(r.Thread, std::this_thread::get_id());
  EXPECT_TRUE(Ras.Connected());
  EXPECT_EQ(Ras.PhoneNumber(), "#777");
  std::vector<TRasConnection> connections;
  ASSERT_EQ(Service.EnumConnections(connections), RAS_SUCCESS);
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(Ras.Handle(), connections[0].hrasconn);
  EXPECT_FALSE(Ras.RasNotifierFinished());
  EXPECT_EQ(Ras.PeerAddress(), "127.0.0.1");
}

TEST_F(XuRasTest, AFailedDialArrivesOnlyAsAnErrorStep) {
  Service.FailNextDial(RAS_ERR_DEVICE_REASON_BASE + 25, RASCS_ConnectDevice);
  Ras.SetEntryName(TDemoDialupService::kEntryName);
  Ras.Connect();
  ASSERT_TRUE(Log.WaitUntil([](const auto& r) { return !r.empty() && r.back().Error != 0; }));
  const auto records = Log.Records();
  EXPECT_EQ(records.back().State, RASCS_ConnectDevice);
  EXPECT_EQ(Ras.ErrorText(records.back().Error), "The modem reports no carrier");
  EXPECT_EQ(Log.CountOf("connect"), 0u);
  EXPECT_EQ(Log.CountOf("error"), 0u);
  EXPECT_FALSE(Ras.Connected());
  EXPECT_NE(Ras.Handle(), INVALID_RAS_HANDLE) << "a dial that fails later leaves its handle";
  EXPECT_TRUE(Ras.RasNotifierFinished());
}

TEST_F(XuRasTest, DisconnectLeadsThroughTheNotifierToOnDisconnect) {
  DialAndWait();
  Ras.Disconnect();
  EXPECT_EQ(Ras.Handle(), INVALID_RAS_HANDLE);
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras.Connected());
  EXPECT_NE(Log.Records().back().Thread, std::this_thread::get_id());
  ASSERT_TRUE(Ras.NotifierEvent().WaitFor(20s));
  EXPECT_TRUE(Ras.RasNotifierFinished());
  // Idle again: a second dial works and is watched anew.
  DialAndWait();
  EXPECT_FALSE(Ras.RasNotifierFinished());
}

TEST_F(XuRasTest, AHangUpRefusedLaterIsReportedAndKeepsTheHandle) {
  DialAndWait();
  const TRasHandle handle = Ras.Handle();
  Service.RefuseNextHangUp(RAS_ERR_ACCESS_DENIED);
  Ras.Disconnect();
  ASSERT_TRUE(Log.WaitForKind("error"));
  EXPECT_EQ(Log.Records().back().Text, "The network connection service refused the request");
  EXPECT_NE(Log.Records().back().Thread, std::this_thread::get_id());
  EXPECT_TRUE(Ras.Connected());
  EXPECT_EQ(Ras.Handle(), handle);
  // Refused at once, it is reported at once; a connection gone already is no failure.
  Service.FailEveryCall(RAS_ERR_SERVICE_UNAVAILABLE);
  Ras.Disconnect();
  EXPECT_EQ(Log.Records().back().Text, "The network connection service cannot be reached");
  EXPECT_EQ(Log.Records().back().Thread, std::this_thread::get_id());
  Service.FailEveryCall(0);
  Service.DropConnection(handle);
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  const size_t records = Log.Records().size();
  Ras.Disconnect();
  EXPECT_EQ(Log.Records().size(), records);
}

TEST_F(XuRasTest, StopEndsTheNotifierWithoutOnDisconnect) {
  DialAndWait();
  Ras.StopRasNotifier();
  ASSERT_TRUE(Ras.NotifierEvent().WaitFor(20s));
  EXPECT_TRUE(Ras.RasNotifierFinished());
  EXPECT_EQ(Log.CountOf("disconnect"), 0u);
  EXPECT_TRUE(Ras.Connected());
}

TEST_F(XuRasTest, ALineDropIsNoticed) {
  DialAndWait();
  Service.DropConnection(Ras.Handle());
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras.Connected());
}

TEST_F(XuRasTest, UseConnectionAdoptsTheOnlyConnectionWhateverItsName) {
  EXPECT_FALSE(Ras.UseConnection("anything")) << "nothing to adopt";
  const TRasHandle handle = Service.AddExternalConnection("Made elsewhere");
  EXPECT_EQ(Ras.EnumRasConnectionsNames(), TStringDynArray{"Made elsewhere"});
  EXPECT_TRUE(Ras.UseConnection("Another name"));
  EXPECT_EQ(Ras.Handle(), handle);
  EXPECT_EQ(Ras.EntryName(), "Another name");
  EXPECT_FALSE(Ras.Connected()) << "the caller sets Connected itself";
  EXPECT_EQ(Log.CountOf("connect"), 0u);
  Ras.SetConnected(true);
  // The adopted connection is watched.
  Service.DropConnection(handle);
  ASSERT_TRUE(Log.WaitForKind("disconnect"));
  EXPECT_FALSE(Ras.Connected());
}

TEST_F(XuRasTest, UseConnectionWithSeveralTakesOnlyAnExactName) {
  Service.AddExternalConnection("First");
  const TRasHandle second = Service.AddExternalConnection("Second");
  EXPECT_FALSE(Ras.UseConnection("second"));
  EXPECT_FALSE(Ras.UseConnection("Second "));
  EXPECT_EQ(Ras.Handle(), INVALID_RAS_HANDLE);
  EXPECT_TRUE(Ras.RasNotifierFinished());
  EXPECT_TRUE(Ras.UseConnection("Second"));
  EXPECT_EQ(Ras.Handle(), second);
}

TEST(XuRasCallbackTest, ASecondConnectedStepFiresOnConnectAgainButMakesNoSecondNotifier) {
  TRecordingService service;
  TRasEventLog log;
  {
    TXuRAS ras(service);
    log.Bind(ras);
    ras.SetEntryName(TDemoDialupService::kEntryName);
    ras.Connect();
    ASSERT_TRUE(log.WaitForStep(RASCS_Connected));
    TRasDialCallback replay;
    {
      std::lock_guard lock(service.Lock);
      replay = service.LastCallback;
    }
    replay(ras.Handle(), WM_RASDIALEVENT, RASCS_Connected, 0);
    EXPECT_EQ(log.CountOf("connect"), 2u);
    EXPECT_FALSE(ras.RasNotifierFinished());
  }
  // Every notifier registers its watch once, so after the component (and its notifiers) is gone
  // the count of watches is the count of notifiers.
  EXPECT_EQ(service.Registrations.load(), 1);
}

TEST(XuRasCallbackTest, AComponentDestroyedDuringADialHearsNothingMore) {
  TDemoDialupService service{1ms};
  std::atomic<int> steps{0};
  {
    TXuRAS ras(service);
    ras.SetOnRasDialFunction([&](uint32_t, TRASConnState, uint32_t) { ++steps; });
    ras.SetEntryName(TDemoDialupService::kEntryName);
    ras.Connect();
  }
  const int seen = steps.load();
  // The dial still runs to its end in the service; its steps reach no one.
  for (auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;) {
    std::vector<TRasConnection> connections;
    service.EnumConnections(connections);
    std::string peer;
    if (!connections.empty() && service.GetPeerAddress(connections[0].hrasconn, peer) == RAS_SUCCESS) break;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(steps.load(), seen);
}

TEST_F(XuRasTest, ReportsCarryTheirPrefixesAndLeaveTheComponentUsable) {
  Service.FailEveryCall(RAS_ERR_SERVICE_UNAVAILABLE);
  const std::string text = "The network connection service cannot be reached";
  EXPECT_TRUE(Ras.EnumRasEntriesNames().empty());
  EXPECT_TRUE(Ras.EnumRasConnectionsNames().empty());
  EXPECT_FALSE(Ras.UseConnection("x"));
  EXPECT_FALSE(Ras.SetEntryProperties(TDemoDialupService::kEntryName, SizedEntry()));
  Ras.SetEntryDialParams(TDemoDialupService::kEntryName);
  EXPECT_EQ(Ras.GetEntryProperties(TDemoDialupService::kEntryName), TRasEntry{});
  Ras.SetEntryName(TDemoDialupService::kEntryName);
  Ras.Connect();
  std::vector<std::string> texts;
  for (const auto& r : Log.Records()) texts.push_back(r.Text);
  const std::vector<std::string> expected = {"*** " + text, "*** " + text, "*** " + text, "*** " + text, "*** " + text,
                                             "*** Failed when determine RasEntry buffer size:\r\n" + text, text};
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(Ras.Handle(), INVALID_RAS_HANDLE);

  Service.FailEveryCall(0);
  EXPECT_EQ(Ras.EnumRasEntriesNames(), TStringDynArray{TDemoDialupService::kEntryName});
  Ras.Disconnect();  // no handle: nothing happens
  EXPECT_EQ(Log.Records().size(), expected.size());
}

TEST_F(XuRasTest, EntryPropertiesAndDialParams) {
  TRasEntry entry = Ras.GetEntryProperties(TDemoDialupService::kEntryName);
  EXPECT_EQ(entry.dwSize, kRasEntrySize);
  EXPECT_EQ(entry.szLocalPhoneNumber, "#777");
  EXPECT_EQ(entry.dwfNetProtocols, RASNP_Ip);
  EXPECT_EQ(entry.szDeviceType, "") << "fields past the framing protocol are not handed on";

  entry.szLocalPhoneNumber = "#778";
  EXPECT_TRUE(Ras.SetEntryProperties(TDemoDialupService::kEntryName, entry));
  EXPECT_EQ(Ras.GetEntryProperties(TDemoDialupService::kEntryName).szLocalPhoneNumber, "#778");
  entry.dwSize = 0;
  EXPECT_FALSE(Ras.SetEntryProperties(TDemoDialupService::kEntryName, entry));
  EXPECT_EQ(Log.Records().back().Text, "*** The entry record is not valid");

  EXPECT_EQ(Ras.GetEntryProperties("Nope"), TRasEntry{});
  EXPECT_EQ(Log.Records().back().Text,
            "*** Failed when determine RasEntry buffer size:\r\nThe connection profile was not found");

  Ras.SetDomain("KEEP");
  Ras.SetEntryDialParams(TDemoDialupService::kEntryName);
  EXPECT_EQ(Ras.EntryName(), TDemoDialupService::kEntryName);
  EXPECT_EQ(Ras.UserName(), "demo");
  EXPECT_EQ(Ras.Password(), "demo");
  EXPECT_EQ(Ras.Domain(), "KEEP");
}
