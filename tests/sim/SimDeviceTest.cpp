// Tests of the simulated modem as a device on a pseudo-terminal: replies, streams, faults, plugging.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "SimTestSupport.h"
#include "sim/SimulatedModem.h"

namespace {

using namespace sim;
using namespace std::chrono_literals;
using simtest::TFrame;
using simtest::TSlavePort;

constexpr auto kLong = 30s;

TSimConfig MakeConfig(TSimMode aMode, double aRate = 20) {
  TSimConfig c;
  c.Esn = 0x12345678;
  c.Min = "5551234";
  c.DirectoryNumber = "5550188";
  c.Lac = "095";
  c.Mode = aMode;
  c.Rate = aRate;
  c.Seed = 11;
  return c;
}

// Sends a status request and reads up to its reply; returns the log packets met on the way.
int LogsBeforeStatusReply(TSlavePort& aPort) {
  int logs = 0;
  EXPECT_TRUE(aPort.Send(Bytes({0x0C})));
  EXPECT_TRUE(aPort.NextReply(0x0C, kLong, &logs)) << "no status reply";
  return logs;
}

class SimDevice : public ::testing::Test {
 protected:
  void StartModem(TSimConfig aConfig) {
    FModem = std::make_unique<TSimulatedModem>(std::move(aConfig));
    FModem->Start();
    ASSERT_TRUE(FPort.Open(FModem->SlavePath())) << FModem->SlavePath();
  }

  std::unique_ptr<TSimulatedModem> FModem;
  TSlavePort FPort;
};

TEST_F(SimDevice, AnswersIdentityRequestsAndBadCommands) {
  StartModem(MakeConfig(TSimMode::RevB));
  // A damaged request is dropped without an answer; the next good one is answered.
  TByteString damaged = simtest::Frame(Bytes({0x0C}));
  damaged[0] = 0x0D;
  ASSERT_TRUE(FPort.Write(damaged));
  ASSERT_TRUE(FPort.Send(Bytes({0x4B, 0x0F, 0x00})));
  auto bad = FPort.Next(kLong);
  ASSERT_TRUE(bad);
  EXPECT_TRUE(bad->CrcOk);
  EXPECT_EQ(HexDump(bad->Content), "13 4B 0F 00");
  EXPECT_EQ(FModem->Counters().BadCrcCommands, 1u);

  // The monitor's identity requests, in its order.
  for (const TByteString& request : {simtest::NvRequest(0x20), Bytes({0x0C}), simtest::NvRequest(0x21)}) ASSERT_TRUE(FPort.Send(request));
  auto dn = FPort.Next(kLong), status = FPort.Next(kLong), lac = FPort.Next(kLong);
  ASSERT_TRUE(dn && status && lac);
  EXPECT_EQ(HexDump(dn->Content.substr(0, 8)), "26 20 00 00 4D 00 6F 00");
  EXPECT_EQ(HexDump(status->Content.substr(0, 14)), "0C 00 00 00 78 56 34 12 05 00 7B 04 6F 00");
  EXPECT_EQ(HexDump(lac->Content.substr(0, 6)), "26 21 00 00 D8 03");

  const TSimTruth truth = FModem->Truth();
  EXPECT_EQ(truth.Identity.Esn, "12345678");
  EXPECT_EQ(truth.Identity.Min, "5551234");
  EXPECT_EQ(truth.Identity.Imsi, "38360095" "5550188");
  EXPECT_EQ(truth.Identity.ModeWord, 5);
}

struct TModeStream {
  TSimMode Mode;
  std::set<uint16_t> Codes;
  uint16_t ModeWord;
};

TEST_F(SimDevice, LogMaskStartsTheStreamOfTheLinkTypeAndLoggingOffStopsIt) {
  const TModeStream modes[] = {
      {TSimMode::Ev1x, {0x1007, 0x102D, 0x1088}, 1},
      {TSimMode::RevA, {0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x108C, 0x1192, 0x127E, 0x1281}, 4},
      {TSimMode::RevB, {0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x1298, 0x129C, 0x129F, 0x12A0, 0x12A1, 0x12A2}, 5},
      {TSimMode::Sleep, {0x1080, 0x1088, 0x108B, 0x12A0, 0x12A1}, 5},
  };
  for (const TModeStream& m : modes) {
    SCOPED_TRACE(ModeName(m.Mode));
    StartModem(MakeConfig(m.Mode, 40));
    EXPECT_EQ(LogsBeforeStatusReply(FPort), 0) << "logs before any mask";
    ASSERT_TRUE(FPort.Send(simtest::LogMaskCommand()));
    ASSERT_TRUE(FPort.NextReply(0x73, kLong));

    std::set<uint16_t> seen;
    std::map<uint16_t, std::set<uint16_t>> channels;
    const auto deadline = std::chrono::steady_clock::now() + kLong;
    while (seen != m.Codes && std::chrono::steady_clock::now() < deadline) {
      auto f = FPort.Next(5s);
      ASSERT_TRUE(f) << "the stream stopped";
      ASSERT_TRUE(f->IsLog());
      EXPECT_TRUE(m.Codes.count(f->Code())) << "code " << std::hex << f->Code();
      seen.insert(f->Code());
      if (f->Code() == 0x12A1) {
        EXPECT_EQ(static_cast<uint8_t>(f->Content[18]) == 3, m.Mode == TSimMode::Sleep);
      }
      if (f->Code() == 0x12A2) channels[f->Code()].insert(simtest::TReader{f->Content}.U16(23) & 0x7FF);
    }
    EXPECT_EQ(seen, m.Codes);
    if (m.Mode == TSimMode::RevB) {
      EXPECT_EQ(channels[0x12A2], (std::set<uint16_t>{283, 384, 425}));
    }

    ASSERT_TRUE(FPort.Send(Bytes({0x0C})));
    auto status = FPort.NextReply(0x0C, kLong);
    ASSERT_TRUE(status);
    EXPECT_EQ(simtest::TReader{status->Content}.U16(8), m.ModeWord);

    // Logging off: after its reply nothing but replies.
    ASSERT_TRUE(FPort.Send(simtest::LoggingOffCommand()));
    ASSERT_TRUE(FPort.NextReply(0x5D, kLong));
    const uint64_t sent = FModem->Counters().TotalLogsSent();
    EXPECT_EQ(LogsBeforeStatusReply(FPort), 0);
    EXPECT_EQ(LogsBeforeStatusReply(FPort), 0);
    EXPECT_EQ(FModem->Counters().TotalLogsSent(), sent);
    EXPECT_FALSE(FModem->LoggingOn());
    FPort.Close();
    FModem.reset();
  }
}

TEST_F(SimDevice, OneXMaskStreamsOnlyOnAOneXModem) {
  StartModem(MakeConfig(TSimMode::RevA, 40));
  ASSERT_TRUE(FPort.Send(simtest::OneXLogMaskCommand()));
  ASSERT_TRUE(FPort.NextReply(0x5D, kLong));
  EXPECT_EQ(LogsBeforeStatusReply(FPort), 0);
  EXPECT_EQ(LogsBeforeStatusReply(FPort), 0);

  FModem->SetMode(TSimMode::Ev1x);
  std::set<uint16_t> seen;
  while (seen.size() < 2) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f && f->IsLog());
    ASSERT_TRUE(f->Code() == 0x1007 || f->Code() == 0x102D) << std::hex << f->Code();
    seen.insert(f->Code());
  }
}

TEST_F(SimDevice, EveryUndamagedPacketArrivesAndEveryDamagedOneIsCounted) {
  TSimConfig config = MakeConfig(TSimMode::RevB, 40);
  config.Channels = {283, 384};
  StartModem(config);
  ASSERT_TRUE(FPort.Send(simtest::LogMaskCommand()));
  auto reply = FPort.Next(kLong);
  ASSERT_TRUE(reply && reply->CrcOk && reply->First() == 0x73) << "the mask reply comes before any packet";
  FModem->SetFaultRates({.DamageCrc = 0.1, .Split = 0.3, .Garbage = 0.05, .GarbageBytes = 60});
  FModem->DamageNextCrcs(3);
  FModem->InjectGarbage(200);

  std::map<uint16_t, uint64_t> good;
  uint64_t bad = 0;
  auto take = [&](const TFrame& f) {
    if (!f.CrcOk) ++bad;
    else if (f.IsLog()) ++good[f.Code()];
  };
  while (good[0x1069] < 100) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f);
    take(*f);
  }
  FModem->SplitFrames(true);
  while (good[0x1069] < 200) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f);
    take(*f);
  }
  FModem->SetFaultRates({});
  FModem->SplitFrames(false);
  ASSERT_TRUE(FPort.Send(simtest::LoggingOffCommand()));
  for (;;) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f);
    if (f->CrcOk && f->First() == 0x5D) break;
    take(*f);
  }
  // Whatever else was on its way has arrived before the reply to a later request.
  ASSERT_TRUE(FPort.Send(Bytes({0x0C})));
  for (;;) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f);
    if (f->CrcOk && f->First() == 0x0C) break;
    take(*f);
  }

  const TSimCounters c = FModem->Counters();
  EXPECT_EQ(good, c.LogsSent);
  EXPECT_EQ(bad, c.DamagedFrames + c.GarbageFrames);
  EXPECT_GE(c.DamagedFrames, 3u);
  EXPECT_GE(c.GarbageBursts, 1u);
  EXPECT_GT(c.SplitFrames, 100u);
  uint64_t damagedLogs = 0;
  for (const auto& [code, n] : c.LogsDamaged) damagedLogs += n;
  EXPECT_EQ(damagedLogs, c.DamagedFrames) << "no reply was damaged here";
}

TEST_F(SimDevice, UnplugHangsUpTheReaderAndReplugGivesAWorkingPort) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("sim-link-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  TSimConfig config = MakeConfig(TSimMode::RevA, 40);
  config.LinkPath = (dir / "modem").string();
  StartModem(config);
  EXPECT_EQ(std::filesystem::read_symlink(config.LinkPath), FModem->SlavePath());
  ASSERT_TRUE(FPort.Send(simtest::LogMaskCommand()));
  ASSERT_TRUE(FPort.NextReply(0x73, kLong));
  ASSERT_TRUE(FPort.Next(kLong));

  FModem->Unplug();
  EXPECT_TRUE(FPort.WaitHangUp(kLong));
  EXPECT_EQ(FModem->SlavePath(), "");
  EXPECT_FALSE(std::filesystem::is_symlink(config.LinkPath));
  FModem->Unplug();  // twice is harmless
  FModem->InjectGarbage(100);

  const std::string path = FModem->Replug();
  EXPECT_FALSE(path.empty());
  EXPECT_EQ(std::filesystem::read_symlink(config.LinkPath), path);
  TSlavePort again(config.LinkPath);
  ASSERT_GE(again.Fd(), 0);
  // A replugged modem has logging off until told otherwise.
  EXPECT_EQ(LogsBeforeStatusReply(again), 0);
  ASSERT_TRUE(again.Send(simtest::LogMaskCommand()));
  ASSERT_TRUE(again.NextReply(0x73, kLong));
  auto f = again.Next(kLong);
  ASSERT_TRUE(f && f->IsLog());
  EXPECT_EQ(FModem->Counters().Plugs, 2u);

  FModem->Stop();
  EXPECT_FALSE(std::filesystem::is_symlink(config.LinkPath));
  std::filesystem::remove_all(dir);
}

TEST_F(SimDevice, AFlaglessRunIsOneBadFrameAndAMidFrameUnplugLeavesHalfAFrame) {
  StartModem(MakeConfig(TSimMode::RevA, 40));
  ASSERT_TRUE(FPort.Send(simtest::LogMaskCommand()));
  ASSERT_TRUE(FPort.NextReply(0x73, kLong));
  FModem->InjectUnflagged(200000);
  std::optional<TFrame> run;
  while (!run) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f);
    if (!f->CrcOk) run = std::move(f);
  }
  EXPECT_GT(run->Content.size(), 190000u) << "a flag in the run";
  // The stream goes on, undamaged.
  auto after = FPort.Next(kLong);
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->CrcOk);
  TSimCounters c = FModem->Counters();
  EXPECT_EQ(c.GarbageFrames, 1u);
  EXPECT_EQ(c.GarbageBytes, 200001u);

  // Read raw from here: whatever was read last before the hang-up ends in a piece of a frame.
  FModem->UnplugMidFrame();
  TByteString tail;
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  bool hungUp = false;
  while (!hungUp && std::chrono::steady_clock::now() < deadline) {
    pollfd p{FPort.Fd(), POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(FPort.Fd(), buffer, sizeof buffer);
    if (n > 0) tail.append(buffer, static_cast<size_t>(n));
    hungUp = n == 0 || (n < 0 && errno == EIO);
  }
  ASSERT_TRUE(hungUp);
  ASSERT_FALSE(tail.empty());
  EXPECT_NE(tail.back(), '\x7E') << "the last frame was written whole";
  c = FModem->Counters();
  EXPECT_EQ(c.CutFrames, 1u);
  EXPECT_EQ(c.Unplugs, 1u);
  EXPECT_FALSE(FModem->Plugged());
  EXPECT_FALSE(FModem->LoggingOn());
}

TEST_F(SimDevice, StalledDeviceAnswersNothingUntilReleased) {
  StartModem(MakeConfig(TSimMode::RevA, 40));
  FModem->Stall(true);
  ASSERT_TRUE(FPort.Send(Bytes({0x0C})));
  ASSERT_TRUE(FModem->WaitUntil([](const TSimCounters& c) { return c.CommandsIgnored == 1; }, kLong));
  FModem->Stall(false);
  ASSERT_TRUE(FPort.Send(Bytes({0x4B, 0x01})));
  auto f = FPort.Next(kLong);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->First(), 0x13) << "the request sent while stalled was answered";
}

TEST_F(SimDevice, SurvivesGarbageAndAPeerThatGoesAway) {
  StartModem(MakeConfig(TSimMode::RevB, 40));
  std::mt19937 rnd(5);
  TByteString junk;
  for (int i = 0; i < 20000; ++i) junk.push_back(static_cast<char>(rnd()));
  ASSERT_TRUE(FPort.Write(junk));
  ASSERT_TRUE(FPort.Write(TByteString(20000, '\x55')));  // an endless frame
  ASSERT_TRUE(FPort.Write(Bytes({0x7E})));
  // Whatever the junk made it do, it still answers.
  ASSERT_TRUE(FPort.Send(Bytes({0x0C})));
  ASSERT_TRUE(FPort.NextReply(0x0C, kLong));
  EXPECT_GE(FModem->Counters().OverlongCommands, 1u);

  // The reader enables logging and vanishes: the device keeps going and drops what nobody reads.
  ASSERT_TRUE(FPort.Send(simtest::LogMaskCommand()));
  FPort.Close();
  ASSERT_TRUE(FModem->WaitUntil([](const TSimCounters& c) { return c.LogsDropped > 0; }, kLong));
  ASSERT_TRUE(FPort.Open(FModem->SlavePath()));
  tcflush(FPort.Fd(), TCIFLUSH);
  ASSERT_TRUE(FPort.Send(simtest::LoggingOffCommand()));
  ASSERT_TRUE(FPort.NextReply(0x5D, kLong));
  EXPECT_EQ(LogsBeforeStatusReply(FPort), 0);
  EXPECT_TRUE(FModem->Running());
}

TEST_F(SimDevice, StopsPromptlyAndStartsAgain) {
  StartModem(MakeConfig(TSimMode::RevB, 1));
  const std::string first = FModem->SlavePath();
  FModem->Stop();
  EXPECT_FALSE(FModem->Running());
  EXPECT_EQ(FModem->SlavePath(), "");
  EXPECT_TRUE(FPort.WaitHangUp(kLong));
  FModem->Stop();
  FModem->Start();
  ASSERT_TRUE(FPort.Open(FModem->SlavePath()));
  EXPECT_EQ(LogsBeforeStatusReply(FPort), 0);
  EXPECT_THROW(FModem->Start(), std::logic_error);
}

TEST(SimConfig, RefusesWhatItCannotPlay) {
  auto with = [](auto aChange) {
    TSimConfig c;
    aChange(c);
    return c;
  };
  EXPECT_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Min = "12345"; })), std::invalid_argument);
  EXPECT_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Lac = "1a2"; })), std::invalid_argument);
  EXPECT_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Channels = {}; })), std::invalid_argument);
  EXPECT_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Channels = {1, 2, 3, 4}; })), std::invalid_argument);
  EXPECT_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Channels = {283, 283}; })), std::invalid_argument);
  EXPECT_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Rate = 0; })), std::invalid_argument);
  EXPECT_NO_THROW(TSimulatedModem(with([](TSimConfig& c) { c.Min = "2125551234"; })));
}

}  // namespace

namespace {

TEST_F(SimDevice, CycleWalksThroughTheLinkTypesAndReportsWakingUp) {
  TSimConfig config = MakeConfig(TSimMode::Cycle, 50);
  config.CycleSeconds = 4;
  StartModem(config);
  ASSERT_TRUE(FPort.Send(simtest::LogMaskCommand()));
  // Between two wake-ups from sleep: 1x, Rev A, Rev B, each known by its own packets.
  std::vector<uint16_t> order;
  int wakeUps = 0;
  bool asleep = false;
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (wakeUps < 2 && std::chrono::steady_clock::now() < deadline) {
    auto f = FPort.Next(kLong);
    ASSERT_TRUE(f);
    if (!f->IsLog()) continue;
    const uint16_t code = f->Code();
    if (wakeUps == 1) {
      for (uint16_t marker : {0x102D, 0x108C, 0x1298}) {
        if (code == marker && (order.empty() || order.back() != marker)) order.push_back(marker);
      }
    }
    if (code == 0x12A1) {
      const uint8_t state = static_cast<uint8_t>(f->Content[18]);
      if (state == 3) {
        asleep = true;
      } else if (asleep) {
        EXPECT_EQ(state, 0);
        asleep = false;
        ++wakeUps;
      }
    }
  }
  EXPECT_EQ(wakeUps, 2);
  EXPECT_EQ(order, (std::vector<uint16_t>{0x102D, 0x108C, 0x1298}));
}

}  // namespace
