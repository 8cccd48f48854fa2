// The replay: each command answered with what followed it in the capture, reads held for the
// reader that took them, the end as an unplug, the recorded spacing in real time, and at the
// maximum speed the timers running between the same reads as when the capture was made.
#include <atomic>
#include <thread>

#include "CaptureTestSupport.h"
#include "capture/CaptureLoops.h"
#include "capture/ReplayCapture.h"
#include "protocol/ModemStructuresUnit.h"
#include "window/VirtualUiLoop.h"

using namespace capture_test;
using namespace std::chrono_literals;

namespace {

constexpr int64_t kStart = 1'700'000'000'000'000;
const TByteString kStatus = ComposeCommand(kStatusRequestCommand);
const TByteString kMask = ComposeCommand(kLogMaskCommand);
const TByteString kNv20 = ComposeCommand(kNvItem20Command);
const TByteString kOff = ComposeCommand(kLoggingOffCommand);

TCaptureRecord Tick(int64_t aTimeUs, uint8_t aTimer) {
  return Rec(aTimeUs, TCaptureDirection::Monitor, Bytes({static_cast<uint8_t>(TMonitorMark::TimerTick), aTimer}));
}

std::shared_ptr<const TReplayCapture> Capture(const std::vector<TCaptureRecord>& aRecords) {
  return TReplayCapture::FromRecords("test.pcap", aRecords);
}

}  // namespace

TEST(Replay, AnswersEachCommandWithWhatFollowedItThenUnplugs) {
  TReplaySource source(Capture({ReaderMark(kStart), ToModem(kStart + 10, kStatus), FromModem(kStart + 20, "reply\x7E"),
                                ReaderMark(kStart + 30), ToModem(kStart + 40, kMask), FromModem(kStart + 50, "log1\x7E"),
                                FromModem(kStart + 60, "log2\x7E"), ToModem(kStart + 70, kNv20),
                                FromModem(kStart + 80, "nv\x7E"), ToModem(kStart + 90, kOff)}),
                       "replay:test", TReplaySpeed{true, 1});
  int unplugs = 0;
  source.SetOnUnplug([&] { ++unplugs; });
  TMonitorStandIn monitor(source);
  EXPECT_EQ(source.Devices()()->Open("/dev/ttyUSB0"), ENOENT);
  ASSERT_EQ(monitor.Open(), 0);
  EXPECT_EQ(source.Devices()()->Open(source.DevicePath()), EBUSY);

  EXPECT_EQ(monitor.Run(), "") << "nothing before the first command";
  monitor.StartReader();
  monitor.Write(kStatus);
  EXPECT_EQ(monitor.Run(), "reply\x7E");
  // A command the capture does not hold goes unanswered; the next reader's reads wait for it.
  monitor.Write(ComposeCommand("0D"));
  EXPECT_EQ(monitor.Run(), "");
  monitor.StartReader();
  EXPECT_EQ(monitor.Run(), "");
  monitor.Write(kMask);
  EXPECT_EQ(monitor.Run(), "log1\x7Elog2\x7E");
  EXPECT_EQ(unplugs, 0);
  monitor.Write(kNv20);
  EXPECT_EQ(monitor.Run(), "nv\x7E");
  // The logging-off command at the end is not waited for: the monitor sends it only when it stops.
  EXPECT_TRUE(source.Ended());
  EXPECT_EQ(unplugs, 1);
  uint32_t queued = 0;
  EXPECT_EQ(monitor.Device().QueuedBytes(queued), EIO);
  uint32_t written = 0;
  EXPECT_EQ(monitor.Device().Write(kStatus.data(), 4, written, nullptr), EIO);
  monitor.Device().Close();
  EXPECT_EQ(source.Devices()()->Open(source.DevicePath()), ENOENT) << "the replayed modem has gone";
}

// The simulated modem's captures hold what it read: several commands in one record, a command
// in two. Each command is matched on its own; the answer to the logging-off at the end is not played.
TEST(Replay, CommandsAreMatchedFrameByFrameWhateverTheRecordsCarried) {
  const TByteString merged = kMask + kNv20;
  TReplaySource source(Capture({ToModem(kStart, kStatus.substr(0, 2)), ToModem(kStart + 1, kStatus.substr(2)),
                                FromModem(kStart + 5, "status\x7E"), ToModem(kStart + 10, merged),
                                FromModem(kStart + 20, "answers\x7E"), FromModem(kStart + 30, "stream\x7E"),
                                ToModem(kStart + 40, kOff), FromModem(kStart + 50, "off-reply\x7E")}),
                       "replay:test", TReplaySpeed{true, 1});
  TMonitorStandIn monitor(source);
  ASSERT_EQ(monitor.Open(), 0);
  monitor.Write(kStatus);
  EXPECT_EQ(monitor.Run(), "status\x7E");
  monitor.Write(kMask);
  monitor.Write(kNv20);
  EXPECT_EQ(monitor.Run(), "answers\x7Estream\x7E");
  EXPECT_TRUE(source.Ended());
}

TEST(Replay, PacesTheStreamByTheRecordedSpacingDividedByTheFactor) {
  // 300 ms apart in the capture, a third of that in the replay.
  TReplaySource source(Capture({ToModem(kStart, kStatus), FromModem(kStart + 10'000, "a\x7E"),
                                FromModem(kStart + 310'000, "b\x7E"), FromModem(kStart + 610'000, "c\x7E")}),
                       "replay:test", TReplaySpeed{false, 3});
  std::atomic<int> unplugs{0};
  source.SetOnUnplug([&] { ++unplugs; });
  std::unique_ptr<TSerialDevice> device = source.Devices()();
  ASSERT_EQ(device->Open(source.DevicePath()), 0);
  ASSERT_EQ(device->SetWaitMask(kEvRxChar), 0);
  const std::unique_ptr<TDeviceStopSignal> stop = device->CreateStopSignal();

  struct TArrival {
    std::chrono::steady_clock::duration At;
    TByteString Bytes;
  };
  std::vector<TArrival> arrivals;
  const auto written = std::chrono::steady_clock::now();
  std::thread reader([&] {
    for (;;) {
      int error = 0;
      if (device->WaitEvent(*stop, error) != TDeviceWaitResult::Event) return;
      uint32_t queued = 0;
      if (device->QueuedBytes(queued) != 0) return;  // the end: the line is dead
      TByteString bytes(queued, '\0');
      uint32_t got = 0;
      device->Read(bytes.data(), queued, got, stop.get());
      arrivals.push_back({std::chrono::steady_clock::now() - written, bytes.substr(0, got)});
    }
  });
  uint32_t count = 0;
  ASSERT_EQ(device->Write(kStatus.data(), static_cast<uint32_t>(kStatus.size()), count, nullptr), 0);
  reader.join();

  TByteString all;
  for (const TArrival& a : arrivals) all += a.Bytes;
  EXPECT_EQ(all, "a\x7E"
                 "b\x7E"
                 "c\x7E");
  EXPECT_EQ(unplugs, 1);
  // Never earlier than the capture says (a loaded machine may make them later).
  ASSERT_GE(arrivals.size(), 2u);
  for (const TArrival& a : arrivals) {
    if (a.Bytes.find('c') != TByteString::npos) {
      EXPECT_GE(a.At, 190ms);
    } else if (a.Bytes.find('b') != TByteString::npos) {
      EXPECT_GE(a.At, 90ms);
    }
  }
}

// The capture's timer marks decide where a timer runs at the maximum speed, whatever its interval;
// without marks (the simulated modem's captures) the timers run by the recorded times.
TEST(Replay, TimersRunBetweenTheReadsTheCaptureSays) {
  struct TCase {
    const char* Name;
    std::vector<TCaptureRecord> Records;
    std::string Expected;  // reads and ticks in order
  };
  const std::vector<TCase> cases = {
      {"marks",
       {ToModem(kStart, kStatus), FromModem(kStart + 1'000, "1"), Tick(kStart + 2'000, 1),
        FromModem(kStart + 900'000, "2"), FromModem(kStart + 950'000, "3"), Tick(kStart + 960'000, 1),
        FromModem(kStart + 970'000, "4")},
       "1|2 3|4"},
      {"recorded times",
       {ToModem(kStart, kStatus), FromModem(kStart + 100'000, "1"), FromModem(kStart + 600'000, "2"),
        FromModem(kStart + 700'000, "3"), FromModem(kStart + 1'100'000, "4")},
       "1|2 3|4"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TReplaySource source(Capture(c.Records), "replay:test", TReplaySpeed{true, 1});
    TVirtualUiLoop inner;
    TReplayUiLoop loop(inner, source);
    std::string seen;
    const auto unused = loop.CreateTimer(100ms, [] {});
    const auto polling = loop.CreateTimer(500ms, [&] { seen += "|"; });
    TMonitorStandIn monitor(source);
    ASSERT_EQ(monitor.Open(), 0);
    monitor.Write(kStatus);
    polling->SetEnabled(true);
    for (int step = 0; step < 100 && !source.Ended(); ++step) {
      loop.Advance();
      const TByteString read = monitor.Run(0);
      for (char b : read) seen += (seen.empty() || seen.back() == '|' ? "" : " ") + std::string(1, b);
    }
    EXPECT_TRUE(source.Ended());
    EXPECT_EQ(seen, c.Expected);
  }
}
