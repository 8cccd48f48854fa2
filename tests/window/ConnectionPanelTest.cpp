// The connection panel and the ping tool of the main window against the in-process dial-up
// service: adoption at the first activation, choosing, dialling, failing, hanging up, the events
// of the service's threads reaching the view on the window's thread in order, the Ping button
// and its five-minute limit in virtual time, and closing.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <map>
#include <thread>

#include "WindowTestSupport.h"
#include "dialup/DemoDialupService.h"
#include "window/MainUnit.h"
#include "window/VirtualUiLoop.h"

using namespace std::chrono_literals;
using enum TMainLabel;

namespace {

constexpr auto kLong = 60s;  // real-time cap of every wait; never reached when things work
constexpr char kEntry[] = "Demo modem connection";
constexpr char kAlreadyConnected[] = "The connection is already established. First - disconnect.";

// The demo service with a phone book the test can change, and extra progress steps slipped in
// before given ones (on the service's own thread, as the service sends them).
class TPanelService final : public TDialupService {
 public:
  TDemoDialupService Demo{2ms};

  void SetBook(std::vector<std::string> aBook) {
    std::lock_guard lock(FLock);
    FBook = std::move(aBook);
  }
  void InsertStepBefore(TRASConnState aBefore, TRASConnState aExtra) {
    std::lock_guard lock(FLock);
    FExtraSteps[aBefore] = aExtra;
  }

  uint32_t EnumEntries(std::vector<std::string>& aNames) override {
    if (const uint32_t code = Demo.EnumEntries(aNames)) return code;
    std::lock_guard lock(FLock);
    aNames = FBook;
    return RAS_SUCCESS;
  }
  uint32_t EnumConnections(std::vector<TRasConnection>& a) override { return Demo.EnumConnections(a); }
  uint32_t FindEntry(const std::string& aName) override { return Demo.FindEntry(aName); }
  uint32_t GetEntryProperties(const std::string& aName, TRasEntry& a) override { return Demo.GetEntryProperties(aName, a); }
  uint32_t SetEntryProperties(const std::string& aName, const TRasEntry& a) override {
    return Demo.SetEntryProperties(aName, a);
  }
  uint32_t GetEntryDialParams(TRasDialParams& a, bool& aPassword) override { return Demo.GetEntryDialParams(a, aPassword); }
  uint32_t Dial(const TRasDialParams& aParams, TRasDialCallback aCallback, TRasHandle& aConn) override {
    std::map<TRASConnState, TRASConnState> extra;
    {
      std::lock_guard lock(FLock);
      extra = FExtraSteps;
    }
    return Demo.Dial(
        aParams,
        [extra, callback = std::move(aCallback)](TRasHandle aHandle, uint32_t aMsg, TRASConnState aState, uint32_t aError) {
          if (const auto it = extra.find(aState); it != extra.end()) callback(aHandle, aMsg, it->second, 0);
          callback(aHandle, aMsg, aState, aError);
        },
        aConn);
  }
  uint32_t HangUp(TRasHandle aConn, TRasHangUpRefused aRefused) override {
    return Demo.HangUp(aConn, std::move(aRefused));
  }
  uint32_t ConnectionNotification(TRasHandle aConn, std::function<void()> aChanged, TRasNotificationId& aId) override {
    return Demo.ConnectionNotification(aConn, std::move(aChanged), aId);
  }
  void RemoveConnectionNotification(TRasNotificationId aId) override { Demo.RemoveConnectionNotification(aId); }
  uint32_t GetErrorString(uint32_t aCode, std::string& aText) override { return Demo.GetErrorString(aCode, aText); }
  uint32_t GetPeerAddress(TRasHandle aConn, std::string& aAddress) override { return Demo.GetPeerAddress(aConn, aAddress); }

  // As a service that learns its lists in the background: pending until Learn, which tells the
  // component on a thread of its own, as such a service does.
  bool ListsPending() override { return FPending; }
  TRasNotificationId ListsNotification(std::function<void()> aLearnt) override {
    std::lock_guard lock(FLock);
    FLearnt = std::move(aLearnt);
    return 1;
  }
  void RemoveListsNotification(TRasNotificationId) override {
    std::lock_guard lock(FLock);
    FLearnt = nullptr;
  }
  void SetPending(bool aPending) { FPending = aPending; }
  void Learn() {
    FPending = false;
    std::thread([this] {
      std::lock_guard lock(FLock);
      if (FLearnt) FLearnt();
    }).join();
  }

 private:
  std::atomic<bool> FPending{false};
  std::function<void()> FLearnt;
  std::mutex FLock;
  std::vector<std::string> FBook{kEntry};
  std::map<TRASConnState, TRASConnState> FExtraSteps;
};

// Echoes as scripted (the last reply repeats), remembering where they went.
class TScriptedEcho final : public TIcmpEcho {
 public:
  TScriptedEcho(std::deque<TEchoReply> aReplies, std::atomic<uint32_t>& aSeenAddress)
      : FReplies(std::move(aReplies)), FSeenAddress(aSeenAddress) {}
  int Open() override { return 0; }
  TEchoReply SendEcho(uint32_t aAddress, const void*, uint16_t, std::chrono::milliseconds) override {
    FSeenAddress = aAddress;
    TEchoReply reply = FReplies.front();
    if (FReplies.size() > 1) FReplies.pop_front();
    return reply;
  }

 private:
  std::deque<TEchoReply> FReplies;
  std::atomic<uint32_t>& FSeenAddress;
};

const TEchoReply kReply{true, 5, 32, 64, 0};
const TEchoReply kLost{false, 0, 0, 0, ETIMEDOUT};

class ConnectionPanel : public ::testing::Test {
 protected:
  ~ConnectionPanel() override {
    if (FFm) FFm->FormClose();
    FFm.reset();
  }

  void Create() {
    TMainFmOptions options;
    options.StarterDelay = std::nullopt;
    options.EnumerateComPorts = [] { return TPortEntries(); };
    options.DialupService = &FService;
    options.EchoFactory = [this] { return std::make_unique<TScriptedEcho>(FEchoes, FEchoAddress); };
    FFm = std::make_unique<TMainFm>(FView, FLoop, std::move(options));
  }
  void Activate() {
    Create();
    FFm->FormActivate();
  }

  // Picks the entry in the list and lets the list close, as the user does.
  void Choose(const std::string& aName) {
    FFm->cbConnectionsDropDown();
    ASSERT_TRUE(FView.Pick(aName)) << aName;
    FFm->cbConnectionsCloseUp();
  }
  bool RunUntil(const std::function<bool()>& aDone) { return FLoop.RunUntil(aDone, kLong); }
  bool Connected() { return FFm->XuRAS1().Connected(); }
  size_t ActiveConnections() {
    std::vector<TRasConnection> connections;
    EXPECT_EQ(FService.EnumConnections(connections), RAS_SUCCESS);
    return connections.size();
  }
  // The panel's lines from the given one on.
  std::vector<std::string> PanelFrom(size_t aFirst) const {
    return {FView.Panel.begin() + static_cast<std::ptrdiff_t>(std::min(aFirst, FView.Panel.size())), FView.Panel.end()};
  }

  TPanelService FService;
  TVirtualUiLoop FLoop;
  TRecordingView FView;
  std::deque<TEchoReply> FEchoes{kReply};
  std::atomic<uint32_t> FEchoAddress{0};
  std::unique_ptr<TMainFm> FFm;  // last: closed before the service goes
};

}  // namespace

TEST_F(ConnectionPanel, FirstActivationAdoptsOnlyAListedFirstConnectionAndOtherwiseDropsTheListDown) {
  struct TCase {
    std::vector<std::string> Active;
    int Selected;
    bool Adopted;
  };
  const TCase cases[] = {
      {{}, -1, false},
      {{kEntry}, 0, true},
      {{"Office VPN"}, -1, false},  // up, but not in the phone book
      {{kEntry, "Office VPN"}, 0, true},
      {{"Office VPN", kEntry}, -1, false},  // only the first one is looked at
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.Active));
    TPanelService service;
    TVirtualUiLoop loop;
    TRecordingView view;
    std::vector<TRasHandle> handles;
    for (const std::string& name : c.Active) handles.push_back(service.Demo.AddExternalConnection(name));
    TMainFmOptions options;
    options.StarterDelay = std::nullopt;
    options.DialupService = &service;
    TMainFm fm(view, loop, std::move(options));
    fm.FormActivate();

    EXPECT_EQ(view.Items, std::vector<std::string>{kEntry});
    EXPECT_EQ(view.Selected, c.Selected);
    EXPECT_EQ(fm.XuRAS1().Connected(), c.Adopted);
    EXPECT_EQ(view.Label(Label1), c.Adopted ? "Connected" : "---");
    EXPECT_EQ(view.Button1, c.Adopted ? "Disconnect" : "Connect");
    EXPECT_EQ(fm.Button1Caption(), view.Button1);
    EXPECT_EQ(fm.PrevConnectionName(), c.Adopted ? kEntry : "");
    EXPECT_EQ(view.DropDowns, c.Adopted ? 0 : 1);
    if (c.Adopted) {
      EXPECT_EQ(fm.XuRAS1().Handle(), handles.front());
    }
    EXPECT_TRUE(view.Boxes.empty());

    // Only the first activation does any of this.
    fm.FormActivate();
    EXPECT_EQ(view.DropDowns, c.Adopted ? 0 : 1);
    fm.FormClose();
  }
}

TEST_F(ConnectionPanel, AnAdoptedConnectionThatDropsResetsThePanelThroughTheNotifier) {
  const TRasHandle handle = FService.Demo.AddExternalConnection(kEntry);
  Activate();
  ASSERT_TRUE(Connected());
  FService.Demo.DropConnection(handle);
  ASSERT_TRUE(RunUntil([&] { return FView.Button1 == "Connect"; }));
  EXPECT_FALSE(Connected());
  EXPECT_EQ(FView.Panel, (std::vector<std::string>{"dialup: Connected", "button: Disconnect", "button: Connect", "dialup: "}));
  EXPECT_EQ(FView.OffThreadCalls, 0);
}

TEST_F(ConnectionPanel, ConnectDialsThroughTheStatesOnTheWindowsThreadAndDisconnectEndsThroughTheNotifier) {
  // A step without a text of its own empties the line.
  FService.InsertStepBefore(RASCS_Authenticated, RASCS_StartAuthentication);
  Activate();
  FFm->Button1Click();
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{{"telvo", "Please select a modems connection.", TMessageBoxKind::Information}}));
  EXPECT_EQ(FService.Demo.DialCount(), 0);

  Choose(kEntry);
  EXPECT_EQ(FFm->XuRAS1().EntryName(), kEntry);
  const size_t first = FView.Panel.size();
  FFm->Button1Click();
  ASSERT_TRUE(RunUntil([&] { return FView.Label(Label1) == "Connected."; }));
  EXPECT_EQ(PanelFrom(first), (std::vector<std::string>{
                                  "dialup: Opening port...",
                                  "dialup: Port open.",
                                  "dialup: Connecting device...",
                                  "dialup: Device connected.",
                                  "dialup: All devices connected.",
                                  "dialup: Identification.",
                                  "dialup: ",
                                  "dialup: Authentication complete.",
                                  "dialup: Projection phase.",
                                  "dialup: Projection complete.",
                                  "button: Disconnect",
                                  "dialup: Connected.",
                              }));
  EXPECT_TRUE(Connected());
  EXPECT_EQ(FFm->PrevConnectionName(), kEntry);
  EXPECT_EQ(FService.Demo.DialCount(), 1);

  const size_t connected = FView.Panel.size();
  FFm->Button1Click();
  EXPECT_EQ(FView.Label(Label1), "Disconnecting...");
  EXPECT_EQ(FView.Button1, "Disconnect") << "the caption waits for the notifier";
  ASSERT_TRUE(RunUntil([&] { return FView.Button1 == "Connect"; }));
  EXPECT_EQ(PanelFrom(connected), (std::vector<std::string>{"dialup: Disconnecting...", "button: Connect", "dialup: "}));
  EXPECT_FALSE(Connected());
  EXPECT_EQ(ActiveConnections(), 0u);
  EXPECT_EQ(FView.OffThreadCalls, 0);
  EXPECT_EQ(FView.Boxes.size(), 1u);
}

TEST_F(ConnectionPanel, AHangUpTheServiceRefusesLeavesDisconnectingWithTheReasonAndTheNextPressHangsUp) {
  const TRasHandle handle = FService.Demo.AddExternalConnection(kEntry);
  Activate();
  ASSERT_TRUE(Connected());
  FService.Demo.RefuseNextHangUp(RAS_ERR_ACCESS_DENIED);
  const size_t pressed = FView.Panel.size();
  FFm->Button1Click();
  ASSERT_TRUE(RunUntil([&] { return !FView.Boxes.empty(); }));
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{{"telvo", "The network connection service refused the request",
                                              TMessageBoxKind::Error}}));
  EXPECT_EQ(PanelFrom(pressed), (std::vector<std::string>{"dialup: Disconnecting...", "dialup: ",
                                                          "box: The network connection service refused the request"}));
  EXPECT_EQ(FView.Button1, "Disconnect");
  EXPECT_TRUE(Connected());
  EXPECT_EQ(FFm->XuRAS1().Handle(), handle);
  EXPECT_EQ(FView.OffThreadCalls, 0);

  FFm->Button1Click();
  ASSERT_TRUE(RunUntil([&] { return FView.Button1 == "Connect"; }));
  EXPECT_FALSE(Connected());
  EXPECT_EQ(ActiveConnections(), 0u);
}

// A service that learns its lists in the background: the first activation's look waits for
// them, and a service that has come back has its live connection taken over as at the start.
TEST_F(ConnectionPanel, ListsLearntLaterAreLookedAtThenAndAServiceBackHasItsConnectionTakenOver) {
  FService.SetPending(true);
  const TRasHandle first = FService.Demo.AddExternalConnection(kEntry);
  Activate();
  EXPECT_EQ(FView.DropDowns, 0);
  EXPECT_FALSE(Connected()) << "nothing is known yet";
  FService.Learn();
  ASSERT_TRUE(RunUntil([&] { return Connected(); }));
  EXPECT_EQ(FView.Label(Label1), "Connected");
  EXPECT_EQ(FView.Button1, "Disconnect");
  EXPECT_EQ(FView.DropDowns, 0);
  EXPECT_EQ(FFm->XuRAS1().Handle(), first);

  // The service goes: the connection drops with it.
  FService.Demo.DropConnection(first);
  ASSERT_TRUE(RunUntil([&] { return FView.Button1 == "Connect"; }));
  // Back with a connection up again: taken over, and nothing is asked of the user.
  const TRasHandle second = FService.Demo.AddExternalConnection(kEntry);
  FService.Learn();
  ASSERT_TRUE(RunUntil([&] { return Connected(); }));
  EXPECT_EQ(FFm->XuRAS1().Handle(), second);
  EXPECT_EQ(FView.Button1, "Disconnect");
  EXPECT_EQ(FView.Selected, 0);
  EXPECT_EQ(FView.DropDowns, 0);
  // Learnt again while connected: nothing changes.
  const std::vector<std::string> panel = FView.Panel;
  FService.Learn();
  FLoop.ProcessMessages();
  EXPECT_EQ(FView.Panel, panel);
  EXPECT_TRUE(FView.Boxes.empty());
  EXPECT_EQ(FView.OffThreadCalls, 0);
}

TEST_F(ConnectionPanel, ListsLearntLaterWithNothingUpDropTheListDownThen) {
  FService.SetPending(true);
  Activate();
  EXPECT_EQ(FView.DropDowns, 0);
  FService.Learn();
  ASSERT_TRUE(RunUntil([&] { return FView.DropDowns == 1; }));
  EXPECT_EQ(FView.Items, std::vector<std::string>{kEntry});
  // The user's choice survives a later learning.
  Choose(kEntry);
  FService.Learn();
  FLoop.ProcessMessages();
  EXPECT_EQ(FView.Selected, 0);
  EXPECT_EQ(FView.DropDowns, 1);
}

TEST_F(ConnectionPanel, EventsOfAWholeDialWaitForTheWindowsThreadAndArriveThereInOrder) {
  Activate();
  Choose(kEntry);
  const size_t first = FView.Panel.size();
  FFm->Button1Click();
  // The window's thread is busy elsewhere while the service dials to the end on its own thread.
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (!Connected() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
  ASSERT_TRUE(Connected());
  EXPECT_EQ(FView.Panel.size(), first) << "nothing was shown from the service's thread";
  const size_t expected = TDemoDialupService::DialSteps().size() + 1;
  ASSERT_TRUE(RunUntil([&] { return FView.Panel.size() >= first + expected; }));
  const std::vector<std::string> shown = PanelFrom(first);
  ASSERT_EQ(shown.size(), expected);
  EXPECT_EQ(shown.front(), "dialup: Opening port...");
  EXPECT_EQ(shown[shown.size() - 2], "button: Disconnect");
  EXPECT_EQ(shown.back(), "dialup: Connected.");
  EXPECT_EQ(FView.OffThreadCalls, 0);
}

TEST_F(ConnectionPanel, AFailedDialShowsTheServicesTextAndLeavesTheLineOnTheFailingStep) {
  FService.Demo.FailNextDial(RAS_ERR_NO_CARRIER, RASCS_ConnectDevice);
  Activate();
  Choose(kEntry);
  FFm->Button1Click();
  ASSERT_TRUE(RunUntil([&] { return !FView.Boxes.empty(); }));
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{{"telvo", "The modem reports no carrier", TMessageBoxKind::Error}}));
  EXPECT_EQ(FView.Label(Label1), "Connecting device...");
  EXPECT_EQ(FView.Button1, "Connect");
  EXPECT_FALSE(Connected());

  // The next press dials again.
  FFm->Button1Click();
  ASSERT_TRUE(RunUntil([&] { return FView.Label(Label1) == "Connected."; }));
  EXPECT_EQ(FService.Demo.DialCount(), 2);
  EXPECT_EQ(FView.Button1, "Disconnect");
}

TEST_F(ConnectionPanel, ConnectTakesOverTheChosenEntryAmongTwoActiveConnectionsWithoutDialling) {
  FService.Demo.AddExternalConnection("Office VPN");
  const TRasHandle ours = FService.Demo.AddExternalConnection(kEntry);
  Activate();
  ASSERT_FALSE(Connected()) << "the first active connection is not in the phone book";
  Choose(kEntry);
  FFm->Button1Click();
  EXPECT_TRUE(Connected());
  EXPECT_EQ(FFm->XuRAS1().Handle(), ours);
  EXPECT_EQ(FService.Demo.DialCount(), 0);
  // Taken over by the button: the panel itself does not change.
  EXPECT_EQ(FView.Button1, "Connect");
  EXPECT_EQ(FView.Label(Label1), "---");
  EXPECT_EQ(FFm->PrevConnectionName(), "");
  EXPECT_TRUE(FView.Boxes.empty());

  // The component is connected, so the next press hangs up that one connection.
  FFm->Button1Click();
  EXPECT_EQ(FView.Label(Label1), "Disconnecting...");
  ASSERT_TRUE(RunUntil([&] { return !Connected() && FView.Label(Label1).empty(); }));
  EXPECT_EQ(FView.Button1, "Connect");
  EXPECT_EQ(ActiveConnections(), 1u) << "the other connection stays up";
}

TEST_F(ConnectionPanel, ConnectWhileAnotherConnectionIsUpDoesNothing) {
  FService.Demo.AddExternalConnection("Office VPN");
  Activate();
  Choose(kEntry);
  const std::vector<std::string> before = FView.Panel;
  FFm->Button1Click();
  FLoop.ProcessMessages();
  EXPECT_FALSE(Connected());
  EXPECT_EQ(FService.Demo.DialCount(), 0);
  EXPECT_EQ(FView.Panel, before);
  EXPECT_TRUE(FView.Boxes.empty());
}

TEST_F(ConnectionPanel, ChoosingAnEntryWhileConnectedIsRefusedAndTheListReturnsToTheCurrentOne) {
  const std::string tooLong(257, 'x');
  FService.SetBook({"Backup link", kEntry, tooLong});
  FService.Demo.AddExternalConnection(kEntry);
  Activate();
  ASSERT_TRUE(Connected());
  ASSERT_EQ(FView.Selected, 1);

  // The entry that came up last is the component's already: not set again, so not refused.
  Choose(kEntry);
  EXPECT_TRUE(FView.Boxes.empty());

  Choose("Backup link");
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{{"telvo", kAlreadyConnected, TMessageBoxKind::Warning}}));
  EXPECT_EQ(FView.Selected, 1);
  EXPECT_EQ(FView.ComboRepaints, 1);
  EXPECT_EQ(FFm->XuRAS1().EntryName(), kEntry);
}

TEST_F(ConnectionPanel, ANameOverTheComponentsLimitIsRefusedWithItsText) {
  const std::string tooLong(257, 'x');
  FService.SetBook({kEntry, tooLong});
  Activate();
  Choose(tooLong);
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{{"telvo", "The value must be less than 256 chars.", TMessageBoxKind::Warning}}));
  EXPECT_EQ(FFm->XuRAS1().EntryName(), "");
  EXPECT_EQ(FView.Selected, 1) << "no current entry to return to";
}

TEST_F(ConnectionPanel, DroppingTheListDownRefillsItAndKeepsTheChoiceByName) {
  FService.SetBook({kEntry, "Backup link"});
  Activate();
  ASSERT_TRUE(FView.Pick("Backup link"));
  FService.SetBook({"Another", kEntry, "Backup link"});
  FFm->cbConnectionsDropDown();
  EXPECT_EQ(FView.Items, (std::vector<std::string>{"Another", kEntry, "Backup link"}));
  EXPECT_EQ(FView.Selected, 2);
  FService.SetBook({kEntry});
  FFm->cbConnectionsDropDown();
  EXPECT_EQ(FView.Selected, -1) << "the chosen entry is gone";
  // Letting the list close with nothing chosen changes nothing.
  FFm->cbConnectionsCloseUp();
  EXPECT_EQ(FFm->XuRAS1().EntryName(), "");
}

TEST_F(ConnectionPanel, ServiceFailuresEmptyTheLineAndShowTheComponentsText) {
  FService.Demo.FailEveryCall(RAS_ERR_SERVICE_UNAVAILABLE);
  Activate();
  const TBox failure{"telvo", "*** The network connection service cannot be reached", TMessageBoxKind::Error};
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{failure, failure}));  // the entries, the connections
  EXPECT_EQ(FView.Label(Label1), "");
  EXPECT_TRUE(FView.Items.empty());
  EXPECT_EQ(FView.DropDowns, 1);
}

TEST_F(ConnectionPanel, PingNeedsAConnectionThenTheButtonStartsAndStopsIt) {
  Activate();
  FFm->PingActionExecute();
  EXPECT_EQ(FView.Boxes, (std::vector<TBox>{{"telvo", "Please select modem's connection.", TMessageBoxKind::Information}}));
  EXPECT_FALSE(FFm->PingRunning());

  Choose(kEntry);
  FFm->Button1Click();
  ASSERT_TRUE(RunUntil([&] { return Connected(); }));
  FFm->PingActionExecute();
  EXPECT_TRUE(FFm->PingRunning());
  EXPECT_TRUE(FFm->PingTimeoutTimerEnabled());
  ASSERT_TRUE(RunUntil([&] { return FView.PingLines.size() >= 2; }));
  EXPECT_EQ(FView.PingLines[0], "Reply from 127.0.0.1: bytes=32 time=5ms TTL=64");
  EXPECT_EQ(FEchoAddress.load(), 0x0100007Fu) << "the link's far end, in network order";

  // The button again: it returns once the thread has ended.
  FFm->PingActionExecute();
  EXPECT_FALSE(FFm->PingRunning());
  EXPECT_FALSE(FFm->PingTimeoutTimerEnabled());
  const size_t lines = FView.PingLines.size();
  FLoop.ProcessMessages();
  EXPECT_EQ(FView.PingLines.size(), lines) << "no line after the stop";
  EXPECT_EQ(FView.OffThreadCalls, 0);
}

TEST_F(ConnectionPanel, FiveMinutesAfterTheStartTheTimerStopsThePing) {
  FService.Demo.AddExternalConnection(kEntry);
  Activate();
  FFm->PingActionExecute();
  ASSERT_TRUE(FFm->PingRunning());
  FLoop.AdvanceBy(299999ms);
  EXPECT_TRUE(FFm->PingRunning());
  FLoop.AdvanceBy(1ms);
  EXPECT_FALSE(FFm->PingRunning());
  EXPECT_FALSE(FFm->PingTimeoutTimerEnabled());
}

TEST_F(ConnectionPanel, TheTimeOutFallingDueWhileClosingWaitsForThePingEndsBothWaits) {
  FService.Demo.AddExternalConnection(kEntry);
  // Made before the window's own timers, so that it fires first when both fall due.
  bool closed = false;
  std::unique_ptr<TUiTimer> closing;
  closing = FLoop.CreateTimer(300000ms, [&] {
    closing->SetEnabled(false);
    FFm->FormClose();  // its wait for the ping runs the window's due time-out, which waits too
    closed = true;
  });
  Activate();
  FFm->PingActionExecute();
  closing->SetEnabled(true);
  ASSERT_TRUE(FFm->PingRunning());
  FLoop.AdvanceBy(300000ms);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(FFm->PingRunning());
  EXPECT_FALSE(FFm->PingTimeoutTimerEnabled());
  FFm.reset();
}

TEST_F(ConnectionPanel, TheFirstLostReplyEndsThePingAndTheNextPressStartsANewOne) {
  FEchoes = {kReply, kLost};
  FService.Demo.AddExternalConnection(kEntry);
  Activate();
  FFm->PingActionExecute();
  ASSERT_TRUE(RunUntil([&] { return !FFm->PingRunning(); }));
  ASSERT_EQ(FView.PingLines.size(), 2u);
  EXPECT_EQ(FView.PingLines[1].rfind("*** ping error: 110 - ", 0), 0u) << FView.PingLines[1];
  EXPECT_FALSE(FFm->PingTimeoutTimerEnabled());
  FFm->PingActionExecute();
  EXPECT_TRUE(FFm->PingRunning());
}

TEST_F(ConnectionPanel, ClosingStopsThePingAndTheWatchButLeavesTheConnectionUp) {
  FService.Demo.AddExternalConnection(kEntry);
  Activate();
  FFm->PingActionExecute();
  ASSERT_TRUE(FFm->PingRunning());
  FFm->FormClose();
  EXPECT_FALSE(FFm->PingRunning());
  EXPECT_TRUE(FFm->XuRAS1().RasNotifierFinished());
  EXPECT_EQ(ActiveConnections(), 1u);
  EXPECT_TRUE(Connected()) << "the watch ended without a disconnection";
  FFm.reset();
}
