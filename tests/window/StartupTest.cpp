// Finding, choosing, starting and stopping the modem with the simulated modem on a
// pseudo-terminal, and following ports that come and go. Time-outs and ticks run in virtual
// time; the devices answer in real time.
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "WindowTestSupport.h"
#include "common/SystemError.h"
#include "common/WindowMessages.h"
#include "serial/SetupAPI.h"
#include "sim/SimulatedModem.h"
#include "window/MainUnit.h"
#include "window/VirtualUiLoop.h"

using namespace std::chrono_literals;
using enum TMainLabel;

namespace {

constexpr intptr_t kPort = 3;  // device type of a port notification
constexpr auto kLong = 60s;    // real-time cap of every wait; never reached when things work

// A port that answers every write with the same bytes, or stays silent; aOnRequest runs on the
// port's thread at each write.
class TAnsweringPty : public TTestPty {
 public:
  explicit TAnsweringPty(TByteString aReply, std::function<void()> aOnRequest = {})
      : FReply(std::move(aReply)), FOnRequest(std::move(aOnRequest)) {
    FThread = std::jthread([this](std::stop_token aStop) { Run(aStop); });
  }

 private:
  void Run(std::stop_token aStop) {
    while (!aStop.stop_requested()) {
      pollfd p{Master(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
      char buffer[512];
      if (::read(Master(), buffer, sizeof buffer) <= 0) continue;
      if (FOnRequest) FOnRequest();
      if (!FReply.empty()) [[maybe_unused]] ssize_t n = ::write(Master(), FReply.data(), FReply.size());
    }
  }

  TByteString FReply;
  std::function<void()> FOnRequest;
  std::jthread FThread;  // last: joined before the reply and the pty go
};

class Startup : public ::testing::Test {
 protected:
  ~Startup() override {
    if (FFm) FFm->FormClose();
    FFm.reset();
  }

  // A simulated modem in the discovery list as "COMn    <description>".
  sim::TSimulatedModem& AddSim(const std::string& aDescription, sim::TSimMode aMode = sim::TSimMode::RevA) {
    sim::TSimConfig config;
    config.Mode = aMode;
    config.Seed = 7;
    FSims.push_back(std::make_unique<sim::TSimulatedModem>(config));
    FSims.back()->Start();
    AddEntry(FSims.back()->SlavePath(), aDescription);
    return *FSims.back();
  }
  TAnsweringPty& AddAnsweringPort(TByteString aReply, const std::string& aDescription,
                                  std::function<void()> aOnRequest = {}) {
    FPtys.push_back(std::make_unique<TAnsweringPty>(std::move(aReply), std::move(aOnRequest)));
    AddEntry(FPtys.back()->Path, aDescription);
    return *FPtys.back();
  }
  uint16_t AddEntry(const std::string& aPath, const std::string& aDescription) {
    const uint16_t number = FTable.RegisterExtraPort(aPath, aDescription);
    FEntries.push_back(FormatPortLine("COM" + std::to_string(number), aDescription));
    return number;
  }
  // Takes COM numbers so that the next port gets a later one.
  void SkipNumbers(int aCount) {
    for (int i = 0; i < aCount; ++i) FTable.NumberFor("/nonexistent/placeholder" + std::to_string(FSkipped++));
  }

  void Create(std::optional<uint32_t> aStarterDelay = std::nullopt) {
    TMainFmOptions options;
    options.PortTable = &FTable;
    options.StarterDelay = aStarterDelay;
    options.EnumerateComPorts = [this]() -> TPortEntries {
      ++FEnumerations;
      if (FEntries.empty()) return std::nullopt;
      return FEntries;
    };
    FFm = std::make_unique<TMainFm>(FView, FLoop, std::move(options));
    FFm->SetDecimalSeparator(".");
  }

  // Delivers one message to the window; its handler, with every wait inside it, has run when
  // this returns.
  void Send(uint32_t aMsg, uintptr_t aWParam = 0, intptr_t aLParam = 0, std::optional<std::string> aText = {}) {
    FLoop.Target().PostMessage({aMsg, aWParam, aLParam, std::move(aText)});
    FLoop.ProcessMessages();
  }
  void FindModem() { Send(WM_FIND_MODEM); }

  // Polls a condition that real threads make true, keeping the window's messages flowing.
  bool WaitFor(const std::function<bool()>& aDone) {
    const auto deadline = std::chrono::steady_clock::now() + kLong;
    while (!aDone()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      FLoop.ProcessMessages();
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  TModem& Modem() { return FFm->Modem(); }
  // The commands a stalled modem dropped, once it has read everything written so far: a frame
  // with a bad CRC, which it counts even while stalled, is read after them.
  uint64_t IgnoredCommands(sim::TSimulatedModem& aSim) {
    const uint64_t bad = aSim.Counters().BadCrcCommands;
    const TByteString marker("\x0C\x00\x00\x7E", 4);
    EXPECT_TRUE(Modem().ComPort()->DirectWriteData(marker.data(), static_cast<int>(marker.size())));
    EXPECT_TRUE(WaitFor([&] { return aSim.Counters().BadCrcCommands > bad; }));
    return aSim.Counters().CommandsIgnored;
  }
  bool Running() { return FFm->ModemTimerEnabled() && Modem().PortActive() && Modem().DevicePlugged(); }

  TPortTable FTable;
  TVirtualUiLoop FLoop;
  TRecordingView FView;
  std::vector<std::unique_ptr<sim::TSimulatedModem>> FSims;
  std::vector<std::unique_ptr<TAnsweringPty>> FPtys;
  std::vector<std::string> FEntries;
  int FEnumerations = 0;
  int FSkipped = 0;
  std::unique_ptr<TMainFm> FFm;  // last: closed before the devices go
};

TEST_F(Startup, OneAnsweringPortIsTakenWithoutAQuestionAndRuns) {
  sim::TSimulatedModem& sim = AddSim("Simulated modem");
  Create(50);  // the starter thread's message starts the search
  ASSERT_TRUE(FLoop.RunUntil([&] { return FEnumerations > 0 && !FView.Busy; }, kLong));
  EXPECT_TRUE(FView.Questions.empty());
  EXPECT_EQ(FView.Statuses.front(), kFindModemStatus);
  EXPECT_EQ(FView.Status(), FEntries[0]);
  EXPECT_EQ(FFm->ModemDescription(), FEntries[0]);
  EXPECT_EQ(Modem().ComPortNumber(), *FTable.FindNumber(sim.SlavePath()));
  EXPECT_TRUE(Running());
  EXPECT_FALSE(Modem().InitState());
  EXPECT_TRUE(WaitFor([&] { return sim.LoggingOn(); })) << "the final log mask";
  EXPECT_TRUE(FView.Boxes.empty());

  // Polling every 500 virtual ms; the identity requests were answered.
  ASSERT_TRUE(WaitFor([&] { return Modem().modemIMSI() == "383600955550188"; }));
  ASSERT_TRUE(WaitFor([&] { return Modem().EvdoType() == evtRevA && Modem().TXPacketsCount() >= 5; }));
  const int before = FView.Repaints;
  FLoop.AdvanceBy(499ms);
  EXPECT_EQ(FView.Repaints, before);
  FLoop.AdvanceBy(1ms);
  EXPECT_EQ(FView.Repaints, before + 1);
  EXPECT_EQ(FView.Label(Label2), "Rev.A");
  EXPECT_NE(FView.Label(Label5), "RX: n/a");
  EXPECT_NE(FView.Icon, kNoDeviceIcon);

  // Closing logs off and closes the port.
  FFm->FormClose();
  EXPECT_FALSE(Modem().PortActive());
  EXPECT_FALSE(FFm->ModemTimerEnabled());
  EXPECT_TRUE(WaitFor([&] { return !sim.LoggingOn(); }));
}

TEST_F(Startup, TwoAnsweringPortsAskWhichOne) {
  SkipNumbers(2);
  AddSim("A");  // COM5
  SkipNumbers(6);
  sim::TSimulatedModem& second = AddSim("B");  // COM12
  ASSERT_EQ(FEntries, (std::vector<std::string>{"COM5    A", "COM12   B"}));
  Create();
  FView.Answer = [](const std::vector<std::string>&) { return std::optional<size_t>(1); };
  FindModem();
  ASSERT_EQ(FView.Questions.size(), 1u);
  EXPECT_EQ(FView.Questions[0], (std::vector<std::string>{"Modem #1 COM5    A", "Modem #2 COM12   B"}));
  EXPECT_EQ(Modem().ComPortNumber(), 12);
  EXPECT_EQ(FView.Status(), "COM12   B");
  EXPECT_TRUE(Running());
  EXPECT_TRUE(WaitFor([&] { return second.LoggingOn(); }));
}

TEST_F(Startup, CancelledQuestionMeansNoModem) {
  AddSim("A");
  AddSim("B");
  Create();
  FindModem();  // the view answers Cancel
  ASSERT_EQ(FView.Questions.size(), 1u);
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_FALSE(Modem().DevicePlugged());
  EXPECT_FALSE(Modem().PortActive());
  EXPECT_FALSE(FFm->ModemTimerEnabled());
}

TEST_F(Startup, OnlyAnswersStartingWithAModemByteCount) {
  AddAnsweringPort("\x13\x01\x02\x7E", "not a modem");
  AddAnsweringPort("\x0D\x01\x02\x7E", "answers 0D");
  AddSim("simulated");
  Create();
  FindModem();
  ASSERT_EQ(FView.Questions.size(), 1u);
  EXPECT_EQ(FView.Questions[0],
            (std::vector<std::string>{"Modem #1 " + FEntries[1], "Modem #2 " + FEntries[2]}));
}

TEST_F(Startup, AnEmptyDiscoveryEntryEndsTheProbing) {
  AddSim("first");
  FEntries.push_back("");
  sim::TSimulatedModem& unprobed = AddSim("after the gap");
  Create();
  FindModem();
  EXPECT_TRUE(FView.Questions.empty());
  EXPECT_EQ(FFm->ModemDescription(), FEntries[0]);
  EXPECT_TRUE(Running());
  EXPECT_EQ(unprobed.Counters().CommandsReceived, 0u);
}

TEST_F(Startup, ASilentPortTimesOutInVirtualTime) {
  AddAnsweringPort("", "silent");
  FLoop.SetQuietPeriod(50ms);  // nothing real is going to answer
  Create();
  FindModem();
  EXPECT_GE(FLoop.Elapsed(), 2000ms);
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_FALSE(Modem().DevicePlugged());
  EXPECT_FALSE(FFm->XuComPort1().Active());
}

TEST_F(Startup, APortThatCannotBeOpenedAfterTheProbeShowsWhy) {
  sim::TSimulatedModem& sim = AddSim("taken");
  Create();
  // Someone else takes the port between the probe and the open test (the busy indicator goes
  // away in between).
  std::unique_ptr<TSerialDevice> intruder = CreatePosixSerialDevice();
  FView.OnBusy = [&](bool aVisible) {
    if (!aVisible && !intruder->IsOpen()) {
      ASSERT_EQ(intruder->Open(sim.SlavePath()), 0);
    }
  };
  FindModem();
  const std::string name = "COM" + std::to_string(*FTable.FindNumber(sim.SlavePath()));
  ASSERT_EQ(FView.Boxes.size(), 1u);
  EXPECT_EQ(FView.Boxes[0], (TBox{"telvo", SysErrorMessage(EBUSY) + ": " + name, TMessageBoxKind::Error}));
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_EQ(FFm->ModemDescription(), "");
  EXPECT_FALSE(Modem().DevicePlugged());
  intruder->Close();
}

TEST_F(Startup, AKeyPressDuringTheProbeLeavesTheModemStalled) {
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  int shown = 0;
  FView.OnBusy = [&](bool aVisible) {
    // The second time the indicator shows, the link-type probe begins: the modem goes quiet and
    // a key is pressed while the probe waits.
    if (!aVisible || ++shown != 2) return;
    sim.Stall(true);
    FLoop.Post([&] { FLoop.Post([&] { FFm->FormKeyDown('A'); }); });
  };
  FindModem();
  EXPECT_TRUE(Modem().DevicePlugged());
  EXPECT_TRUE(Modem().PortActive());
  EXPECT_FALSE(FFm->ModemTimerEnabled());
  EXPECT_FALSE(FView.Busy);
  EXPECT_FALSE(Modem().InitState());
  EXPECT_EQ(IgnoredCommands(sim), 1u) << "the 1x stage and the final log mask are not sent";
  EXPECT_EQ(FLoop.Elapsed(), 0ms) << "the key ended the probe, not its ticks";
}

TEST_F(Startup, AProbeWithoutPacketsRunsBothStagesForFiveTicksEach) {
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  int shown = 0;
  FView.OnBusy = [&](bool aVisible) {
    if (!aVisible || ++shown != 2) return;
    sim.Stall(true);
    FLoop.SetQuietPeriod(50ms);  // from here on nothing answers
  };
  const TEvdoType before = Modem().EvdoType();
  FindModem();
  EXPECT_GE(FLoop.Elapsed(), 5000ms);
  EXPECT_EQ(Modem().EvdoType(), before) << "undecided";
  EXPECT_TRUE(FFm->ModemTimerEnabled()) << "started all the same";
  // Log mask, 1x log mask, the final log mask and the four identity requests.
  EXPECT_EQ(IgnoredCommands(sim), 7u);
}

// Closed while the first of two ports, a silent one, is probed: the modem behind it is never
// even asked.
TEST_F(Startup, AWindowClosedDuringTheSearchStartsNoModem) {
  AddAnsweringPort("", "silent", [this] { FLoop.Post([this] { FFm->FormClose(); }); });
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  // The probe's time-out cannot come first however slowly the port's thread runs.
  FLoop.SetQuietPeriod(kLong);
  FindModem();
  EXPECT_LT(FLoop.Elapsed(), 2000ms) << "the close, not the probe's time-out, ended the wait";
  EXPECT_FALSE(FView.Busy);
  EXPECT_FALSE(FFm->XuComPort1().Active());
  EXPECT_FALSE(Running());
  EXPECT_EQ(sim.Counters().CommandsReceived, 0u);
  EXPECT_TRUE(FView.Boxes.empty());
}

// Closed during the link-type probe: the close logs the modem off, and the start-up that the
// probe was part of sends no final log mask after it.
TEST_F(Startup, AWindowClosedDuringTheLinkTypeProbeLeavesTheModemLoggedOff) {
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  int shown = 0;
  FView.OnBusy = [&](bool aVisible) {
    if (aVisible && ++shown == 2) FLoop.Post([this] { FFm->FormClose(); });
  };
  FindModem();
  EXPECT_TRUE(FLoop.Closing());
  EXPECT_GT(sim.Counters().CommandsReceived, 1u) << "the probe had begun";
  EXPECT_FALSE(Running());
  EXPECT_FALSE(Modem().PortActive());
  EXPECT_TRUE(WaitFor([&] { return !sim.LoggingOn(); }));
}

// A box after the close would wait for a user who has gone (and, modal, keep the program alive).
TEST_F(Startup, NoBoxIsShownOnceTheWindowIsClosing) {
  Create();
  FFm->PingActionExecute();  // no connection: a box says so
  ASSERT_EQ(FView.Boxes.size(), 1u);
  FFm->FormClose();
  FFm->PingActionExecute();
  EXPECT_EQ(FView.Boxes.size(), 1u);
}

TEST_F(Startup, TheSessionLogsTheModemOffWhenItGoesWithItsPortOpen) {
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  FindModem();
  ASSERT_TRUE(Running());
  ASSERT_TRUE(WaitFor([&] { return sim.LoggingOn(); }));
  FFm.reset();  // no FormClose: any way out of the program that skips it
  EXPECT_TRUE(WaitFor([&] { return !sim.LoggingOn(); }));
}

TEST_F(Startup, RemovingTheSessionsPortStopsThePolling) {
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  FindModem();
  ASSERT_TRUE(Running());
  const uint16_t number = Modem().ComPortNumber();

  Send(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, kPort, "COM" + std::to_string(number + 1));
  EXPECT_TRUE(Running()) << "another port";

  sim.Unplug();  // the session's reader sees the hang-up and reports it
  Send(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, kPort, "COM" + std::to_string(number));
  EXPECT_FALSE(FFm->ModemTimerEnabled());
  EXPECT_FALSE(Modem().PortActive());
  EXPECT_FALSE(Modem().DevicePlugged());
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_EQ(FView.Label(Label2), "n/a");
  const int repaints = FView.Repaints;
  FLoop.AdvanceBy(2000ms);
  EXPECT_EQ(FView.Repaints, repaints);
  EXPECT_TRUE(FView.Boxes.empty()) << "port errors are not shown";

  // The modem comes back on a new port: an arrival of another number is not taken, its own is.
  FEntries.clear();
  const std::string path = sim.Replug();
  const uint16_t again = AddEntry(path, "modem again");
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM" + std::to_string(again + 1));
  EXPECT_FALSE(Modem().DevicePlugged());
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM" + std::to_string(again));
  EXPECT_TRUE(Running());
  EXPECT_EQ(Modem().ComPortNumber(), again);
}

TEST_F(Startup, ArrivalsWhileRunningAreIgnored) {
  AddSim("modem");
  Create();
  FindModem();
  ASSERT_TRUE(Running());
  const int enumerations = FEnumerations;
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM40");
  Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED);
  EXPECT_EQ(FEnumerations, enumerations);
  EXPECT_TRUE(Running());
}

TEST_F(Startup, NodeChangeWhileAbsentAcceptsAnyModem) {
  Create();
  FindModem();
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  AddSim("late");
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 1, "COM3");  // not a port: ignored
  EXPECT_EQ(FEnumerations, 1);
  Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED);
  EXPECT_TRUE(Running());
}

TEST_F(Startup, MalformedNotificationsAndOtherMessagesChangeNothing) {
  Create();
  FindModem();
  const std::vector<std::string> statuses = FView.Statuses;
  for (const char* name : {"COM", "COMX", "COM3x", "COM99999", ""}) {
    Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, name);
    Send(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, kPort, name);
  }
  Send(WM_DEVICECHANGE, 0x1234, kPort, "COM3");
  Send(WM_MODEM_ERROR, 0, 0, "Modem: *** Error reading data");
  Send(WM_PING_REPLY, 0, 0, "Reply from 10.0.0.1: bytes=32 time=35ms TTL=64");
  Send(WM_MODEM_IDENTITY);
  EXPECT_EQ(FEnumerations, 1);
  EXPECT_EQ(FView.Statuses, statuses);
  EXPECT_TRUE(FView.Boxes.empty());
}

TEST_F(Startup, ANotificationInsideASearchWaitsUntilTheSearchHasItsResults) {
  sim::TSimulatedModem& sim = AddSim("modem");
  const std::string port = "COM" + std::to_string(*FTable.FindNumber(sim.SlavePath()));
  Create();
  // A USB device's arrival starts the search; its tty's arrival comes while the search pumps
  // events between its probes and the choice of its answering ports.
  bool told = false;
  FView.OnBusy = [&](bool aVisible) {
    if (aVisible || std::exchange(told, true)) return;
    FLoop.Target().PostMessage({WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, port});
  };
  Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED);
  ASSERT_TRUE(told);
  EXPECT_TRUE(Running());
  EXPECT_EQ(FEnumerations, 1) << "one search";
  EXPECT_TRUE(FView.Boxes.empty()) << FView.Boxes.front().Text;
  EXPECT_EQ(FView.Status(), FEntries[0]);
}

TEST_F(Startup, AnArrivalDuringASearchThatFoundNothingGetsASearchOfItsOwn) {
  Create();
  sim::TSimulatedModem* late = nullptr;
  FView.OnBusy = [&](bool aVisible) {
    if (aVisible || late) return;
    // The port appears only after the search has probed what it listed.
    late = &AddSim("late");
    FLoop.Target().PostMessage(
        {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM" + std::to_string(*FTable.FindNumber(late->SlavePath()))});
  };
  FindModem();
  ASSERT_NE(late, nullptr);
  EXPECT_TRUE(Running());
  EXPECT_EQ(FEnumerations, 2);
  EXPECT_TRUE(FView.Boxes.empty());
}

TEST_F(Startup, EverySearchThatFindsNothingEndsOnDeviceNotFound) {
  sim::TSimulatedModem& sim = AddSim("modem");
  Create();
  FindModem();
  ASSERT_TRUE(Running());
  const std::string port = "COM" + std::to_string(Modem().ComPortNumber());
  // An unplug as the kernel tells it: the tty's removal, then the USB device's.
  sim.Unplug();
  Send(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, kPort, port);
  ASSERT_EQ(FView.Status(), kDeviceNotFound);
  Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED);
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  // A port that arrives and answers nothing, and a modem found on another port than the one
  // that arrived.
  AddAnsweringPort("\x13\x01\x02\x7E", "not a modem");
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM" + std::to_string(*FTable.FindNumber(FPtys.back()->Path)));
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  const std::string path = sim.Replug();
  FEntries.erase(FEntries.begin());
  AddEntry(path, "modem again");
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM" + std::to_string(*FTable.FindNumber(FPtys.back()->Path)));
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_FALSE(Modem().DevicePlugged());
  EXPECT_EQ(FEnumerations, 4);
  EXPECT_TRUE(FView.Boxes.empty());
}

TEST_F(Startup, APortStillRefusedWhenItArrivesIsTriedAgainForAShortTime) {
  Create();
  FindModem();
  sim::TSimulatedModem& sim = AddSim("modem");
  const std::string port = "COM" + std::to_string(*FTable.FindNumber(sim.SlavePath()));
  // The node is someone else's for a moment, as it is root's until the device manager's rules
  // have run.
  std::unique_ptr<TSerialDevice> holder = CreatePosixSerialDevice();
  ASSERT_EQ(holder->Open(sim.SlavePath()), 0);
  std::jthread release([&] {
    std::this_thread::sleep_for(150ms);
    holder->Close();
  });
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, port);
  EXPECT_TRUE(Running());
  EXPECT_TRUE(FView.Boxes.empty());
}

TEST_F(Startup, APortRefusedForGoodIsGivenUpAfterTheRetryLimit) {
  Create();
  FindModem();
  sim::TSimulatedModem& sim = AddSim("modem");
  std::unique_ptr<TSerialDevice> holder = CreatePosixSerialDevice();
  ASSERT_EQ(holder->Open(sim.SlavePath()), 0);
  FLoop.SetQuietPeriod(50ms);  // nothing is going to change
  const auto before = FLoop.Elapsed();
  Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kPort, "COM" + std::to_string(*FTable.FindNumber(sim.SlavePath())));
  EXPECT_GE(FLoop.Elapsed() - before, 1000ms);
  EXPECT_LT(FLoop.Elapsed() - before, 2000ms) << "no probe time-out: the port never opened";
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_FALSE(Modem().DevicePlugged());
  EXPECT_TRUE(FView.Boxes.empty());
  holder->Close();
}

}  // namespace
