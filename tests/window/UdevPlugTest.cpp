// Plug and unplug of a USB modem as umockdev tells it through libudev, with the simulated modem
// behind the bed's diagnostic port: the window's searches, their results and what it shows.
#include <gtest/gtest.h>
#include <poll.h>

#include <thread>

#include "UmockdevBed.h"
#include "WindowTestSupport.h"
#include "common/WindowMessages.h"
#include "serial/PortNotifications.h"
#include "serial/SetupAPI.h"
#include "sim/SimulatedModem.h"
#include "window/MainUnit.h"
#include "window/VirtualUiLoop.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kLong = 60s;

class TFoundCounter final : public TCycleSink {
 public:
  void Consume(const TCycleSample&) override {}
  void Consume(const TMonitorEvent& aEvent) override {
    if (aEvent.Kind == TMonitorEventKind::ModemFound) ++Found;
  }
  int Found = 0;
};

class UdevPlug : public ::testing::TestWithParam<TPortEventSourceChoice> {
 protected:
  UdevPlug() {
    sim::TSimConfig config;
    config.Seed = 11;
    FSim = std::make_unique<sim::TSimulatedModem>(config);
    FSim->Start();
    FNotifications = std::make_unique<TDeviceNotifications>(FLoop.Target(), FTable,
                                                            TPortNotificationOptions{GetParam(), 2000ms});
    TMainFmOptions options;
    options.PortTable = &FTable;
    options.StarterDelay = std::nullopt;
    options.EnumerateComPorts = [this] {
      ++FSearches;
      return EnumerateComPorts(false, true, FTable);
    };
    FFm = std::make_unique<TMainFm>(FView, FLoop, std::move(options));
    FFm->AddSink(FFound);
    FNotifications->Start();
    FBed.PaceTtyEvents([this](uint64_t aSent) {
      if (const TUdevMonitorSource* monitor = FNotifications->Monitor()) monitor->WaitForEvents(aSent - 1, kLong);
    });
    // Nothing plugged yet.
    FLoop.Target().PostMessage({WM_FIND_MODEM, 0, 0, std::nullopt});
    FLoop.ProcessMessages();
  }
  ~UdevPlug() override {
    FFm->FormClose();
    FNotifications->Stop();
    FFm->RemoveSink(FFound);
    FFm.reset();
  }

  // A modem with an AT port that answers something else first and the diagnostic port second.
  TUmockdevBed::TPlugged Plug() {
    return FBed.AddUsbSerial("1-2", "Mobile Broadband Modem",
                             {{"ttyUSB0", "Modem"}, {"ttyUSB1", "Diagnostics", {}, true, {}, FSim->SlavePath()}});
  }
  void AnswerOnAtPort() {
    FAtPort = std::jthread([this](std::stop_token aStop) {
      const int master = FBed.PtyOf("/dev/ttyUSB0")->Master();
      while (!aStop.stop_requested()) {
        pollfd p{master, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, 20) > 0 && ::read(master, buffer, sizeof buffer) > 0)
          [[maybe_unused]] ssize_t n = ::write(master, "ERROR\r\n", 7);
      }
    });
  }
  bool Running() { return FFm->ModemTimerEnabled() && FFm->Modem().DevicePlugged(); }

  TUmockdevBed FBed;
  TPortTable FTable;
  TVirtualUiLoop FLoop{300ms};
  TRecordingView FView;
  TFoundCounter FFound;
  std::unique_ptr<sim::TSimulatedModem> FSim;
  std::unique_ptr<TDeviceNotifications> FNotifications;
  int FSearches = 0;
  std::unique_ptr<TMainFm> FFm;
  std::jthread FAtPort;  // last: stops before the bed goes
};

}  // namespace

TEST_P(UdevPlug, APlugInFindsTheModemOnceAndAnUnplugEndsOnDeviceNotFound) {
  ASSERT_EQ(FView.Status(), kDeviceNotFound);
  const int searches = FSearches;
  const auto modem = Plug();
  AnswerOnAtPort();
  ASSERT_TRUE(FLoop.RunUntil([&] { return Running(); }, kLong));
  EXPECT_EQ(FFound.Found, 1);
  EXPECT_TRUE(FView.Boxes.empty()) << FView.Boxes.front().Text;
  EXPECT_EQ(FFm->ModemDescription(), "COM4    Mobile Broadband Modem, Diagnostics (/dev/ttyUSB1)");
  // Two ttys arrive; the second comes during the first one's search, or after it.
  EXPECT_LE(FSearches - searches, 2);
  EXPECT_TRUE(FSim->WaitUntil([](const sim::TSimCounters& c) { return c.CommandsReceived > 3; }, kLong));

  FSim->Unplug();
  FBed.AnnounceUnplug(modem);
  ASSERT_TRUE(FLoop.RunUntil([&] { return !FFm->Modem().DevicePlugged() && !FFm->ModemTimerEnabled(); }, kLong));
  FLoop.RunUntil([] { return false; }, 300ms);  // whatever else the unplug tells
  EXPECT_EQ(FView.Status(), kDeviceNotFound);
  EXPECT_TRUE(FView.Boxes.empty());
}

TEST_P(UdevPlug, ADiagnosticPortStillHeldWhenItArrivesIsFoundOnceReleased) {
  auto holder = CreatePosixSerialDevice();
  std::jthread release;
  // The node is someone else's until a moment after its arrival.
  FView.OnBusy = [&](bool aVisible) {
    if (!aVisible || release.joinable()) return;
    release = std::jthread([&] {
      std::this_thread::sleep_for(150ms);
      holder->Close();
    });
  };
  FBed.AddUsbSerial("1-3", "Mobile Broadband Modem", {{"ttyUSB1", "", {}, true, {}, FSim->SlavePath()}});
  ASSERT_EQ(holder->Open("/dev/ttyUSB1"), 0);
  ASSERT_TRUE(FLoop.RunUntil([&] { return Running(); }, kLong));
  EXPECT_TRUE(FView.Boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Sources, UdevPlug,
                         ::testing::Values(TPortEventSourceChoice::Udev, TPortEventSourceChoice::Kernel),
                         [](const auto& aInfo) {
                           return std::string(aInfo.param == TPortEventSourceChoice::Udev ? "udev" : "kernel");
                         });
