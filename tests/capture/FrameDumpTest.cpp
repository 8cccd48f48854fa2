// The frame dump against the simulated modem's own captures: every log code it sent is listed,
// with the figures its truth says the last one carried; frames the session drops or does not
// know are listed as such.
#include <fcntl.h>
#include <poll.h>

#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "CaptureTestSupport.h"
#include "capture/FrameDump.h"
#include "protocol/ModemStructuresUnit.h"
#include "sim/SimulatedModem.h"

using namespace capture_test;
using namespace std::chrono_literals;

namespace {

struct TSimCapture {
  std::string Path;
  sim::TSimTruth Truth;
  sim::TSimCounters Counters;
};

// The simulated modem at its maximum rate, its side of the wire captured, talked to as the
// monitor starts it, until every code of its link type has been sent a few times.
TSimCapture MakeSimCapture(const std::string& aPath, sim::TSimMode aMode, std::vector<uint16_t> aChannels,
                           const std::set<uint16_t>& aCodes) {
  std::mutex lock;
  std::vector<TCaptureRecord> records;
  sim::TSimConfig config;
  config.Mode = aMode;
  config.Channels = std::move(aChannels);
  config.Seed = 5;
  config.MaxRate = true;
  config.WireTap = [&](bool aFromModem, TByteView aBytes, double aMs) {
    std::lock_guard guard(lock);
    records.push_back({static_cast<int64_t>(aMs * 1000),
                       aFromModem ? TCaptureDirection::FromModem : TCaptureDirection::ToModem, TByteString(aBytes)});
  };
  sim::TSimulatedModem modem(config);
  modem.Start();
  const int fd = ::open(modem.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  // The full mask enables the 1x codes too (the 1x mask would leave the identity log out).
  const std::vector<std::string_view> commands = {kStatusRequestCommand, kNvItem20Command, kNvItem21Command,
                                                  kLogMaskCommand};
  for (std::string_view command : commands) {
    const TByteString frame = ComposeCommand(command);
    EXPECT_EQ(::write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }
  // The monitor's reader: the device streams only as fast as its port is read.
  const auto enough = [&](const sim::TSimCounters& c) {
    for (uint16_t code : aCodes)
      if (!c.LogsSent.contains(code) || c.LogsSent.at(code) < 3) return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!enough(modem.Counters()) && std::chrono::steady_clock::now() < deadline &&
         modem.Counters().BytesWritten < 16'000'000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buffer[65536];
    (void)!::read(fd, buffer, sizeof buffer);
  }
  ::close(fd);
  modem.Stop();
  TSimCapture result{WriteCapture(aPath, records), modem.Truth(), modem.Counters()};
  EXPECT_TRUE(enough(result.Counters)) << "the device did not send every code";
  return result;
}

using TFigures = std::map<std::string, TDumpValue>;

double Num(const TFigures& aFigures, const std::string& aKey) {
  const auto it = aFigures.find(aKey);
  if (it == aFigures.end()) {
    ADD_FAILURE() << "no figure " << aKey;
    return -1e9;
  }
  if (const auto* i = std::get_if<int64_t>(&it->second)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&it->second)) return *d;
  ADD_FAILURE() << aKey << " is not a number";
  return -1e9;
}

template <class T>
T Get(const TFigures& aFigures, const std::string& aKey) {
  const auto it = aFigures.find(aKey);
  if (it == aFigures.end() || !std::holds_alternative<T>(it->second)) {
    ADD_FAILURE() << "no figure " << aKey << " of its kind";
    return T{};
  }
  return std::get<T>(it->second);
}

// The figures of the last good packet of each log code the dump lists.
std::map<uint16_t, TFigures> LastFigures(const std::string& aPath, std::set<uint16_t>& aListed) {
  std::map<uint16_t, TFigures> last;
  TCaptureReader reader(aPath);
  const TCaptureReader::TResult result = DumpRecords(reader, [&](const TDumpLine& aLine) {
    if (aLine.Kind != "log" || !aLine.CrcGood) return;
    const auto code = static_cast<uint16_t>(std::stoul(aLine.Code, nullptr, 16));
    aListed.insert(code);
    last[code] = TFigures(aLine.Figures.begin(), aLine.Figures.end());
  });
  EXPECT_EQ(result, TCaptureReader::TResult::End);
  return last;
}

void ExpectFloat(double aDumped, float aTruth, const char* aWhat) {
  EXPECT_EQ(static_cast<float>(aDumped), aTruth) << aWhat;
}

// Every figure the dump gives for a code, against what the device meant.
void CheckAgainstTruth(const std::map<uint16_t, TFigures>& aLast, const sim::TSimTruth& t) {
  for (const auto& [code, f] : aLast) {
    SCOPED_TRACE(::testing::Message() << "log 0x" << std::hex << code);
    switch (code) {
      case 0x1007:
        EXPECT_EQ(Num(f, "base"), t.Paging->BaseId);
        EXPECT_EQ(Num(f, "sector"), t.Paging->SectorId);
        break;
      case 0x102D:
        EXPECT_EQ(Num(f, "pn"), t.PilotSet->PilotPnOffset);
        // Computed on each side from the raw fields: equal to the last digit a float holds.
        EXPECT_NEAR(Num(f, "rx_agc"), t.PilotSet->RxAgc, 1e-4);
        EXPECT_NEAR(Num(f, "tx"), t.PilotSet->TxAgc, 1e-4);
        ExpectFloat(Num(f, "pilot"), t.PilotSet->Fingers[0].Energy, "pilot");
        break;
      case 0x1069:
        ExpectFloat(Num(f, "rx"), t.RevAPower->Powers.RxPowerAntenna_0, "rx");
        ExpectFloat(Num(f, "rx1"), t.RevAPower->Powers.RxPowerAntenna_1, "rx1");
        ExpectFloat(Num(f, "tx"), t.RevAPower->Powers.TxTotal, "tx");
        break;
      case 0x106C:
        EXPECT_EQ(Num(f, "cell"), t.AttemptCounters->Cell);
        EXPECT_EQ(Num(f, "sector"), t.AttemptCounters->Sector);
        EXPECT_EQ(Num(f, "pn"), t.AttemptCounters->Pn);
        EXPECT_EQ(Num(f, "attempts"), t.AttemptCounters->Attempts);
        EXPECT_EQ(Num(f, "failure"), t.AttemptCounters->Failure);
        break;
      case 0x107C:
        EXPECT_EQ(Num(f, "bts"), t.AccessChannel->BtsID);
        EXPECT_EQ(Num(f, "sector"), t.AccessChannel->SectorID);
        EXPECT_EQ(Num(f, "pn"), t.AccessChannel->PilotPn);
        break;
      case 0x1080:
        EXPECT_EQ(Num(f, "cell"), t.ServingSector->Cell);
        EXPECT_EQ(Num(f, "sector"), t.ServingSector->Sector);
        EXPECT_EQ(Num(f, "pn"), t.ServingSector->Pn);
        break;
      case 0x1088:
        EXPECT_EQ(Get<std::string>(f, "esn"), t.IdentityLog->EsnHex);
        break;
      case 0x108B:
        EXPECT_EQ(Num(f, "channel"), t.Neighbors->Channel);
        EXPECT_EQ(Num(f, "pn"), t.Neighbors->APilotPn);
        EXPECT_NEAR(Num(f, "energy"), t.Neighbors->APilotEng, 1e-4);
        EXPECT_EQ(Num(f, "candidates"), t.Neighbors->Candidates.size());
        break;
      case 0x108C:
        ExpectFloat(Num(f, "drc"), t.ArqA->RateKbps, "drc");
        EXPECT_EQ(Get<std::vector<int64_t>>(f, "slots0"),
                  std::vector<int64_t>(t.ArqA->Drc[0].begin(), t.ArqA->Drc[0].end()));
        break;
      case 0x1192:
        EXPECT_EQ(Num(f, "sequence"), t.ForwardA->Sequence);
        EXPECT_EQ(Num(f, "total"), t.ForwardA->Link.Total);
        EXPECT_EQ(Num(f, "carried"), t.ForwardA->Link.Carried);
        break;
      case 0x127E:
        EXPECT_EQ(Num(f, "total"), t.ReverseA->Link.Total);
        EXPECT_EQ(Num(f, "carried"), t.ReverseA->Link.Carried);
        EXPECT_EQ(Num(f, "drc"), t.ReverseA->Link.Drc);
        break;
      case 0x1281:
      case 0x12A0:
        EXPECT_FALSE(Get<std::string>(f, "link").empty());
        break;
      case 0x1298:
        ExpectFloat(Num(f, "drc"), t.ArqB->RateKbps, "drc");
        EXPECT_EQ(Num(f, "carriers"), t.ArqB->NumCarriers);
        break;
      case 0x129C: {
        ExpectFloat(Num(f, "tx_total"), t.RevBPower->TotalTxPower, "tx_total");
        const auto rx = Get<std::vector<double>>(f, "rx");
        ASSERT_EQ(rx.size(), t.RevBPower->Carriers.size());
        for (size_t i = 0; i < rx.size(); ++i) ExpectFloat(rx[i], t.RevBPower->Carriers[i].Powers.RxPowerAntenna_0, "rx");
        break;
      }
      case 0x129F:
      case 0x12A2: {
        const sim::TMultiCarrierLinkTruth& link = code == 0x129F ? *t.ReverseB : *t.ForwardB;
        const sim::TCarrierLinkTruth* carrier = link.ForChannel(static_cast<uint16_t>(Num(f, "channel")));
        ASSERT_NE(carrier, nullptr);
        EXPECT_EQ(Num(f, "channel"), link.LastChannel);
        EXPECT_EQ(Num(f, "total"), carrier->Link.Total);
        EXPECT_EQ(Num(f, "carried"), carrier->Link.Carried);
        EXPECT_EQ(Num(f, "drc"), carrier->Link.Drc);
        break;
      }
      case 0x12A1:
        EXPECT_EQ(Num(f, "searcher"), t.PilotSetsB->SearcherState);
        break;
      default:
        ADD_FAILURE() << "a code the device does not send";
    }
  }
}

struct TLinkCase {
  const char* Name;
  sim::TSimMode Mode;
  std::vector<uint16_t> Channels;
  std::set<uint16_t> Codes;
};

class DumpOfEachLinkType : public ::testing::TestWithParam<TLinkCase> {};

}  // namespace

TEST_P(DumpOfEachLinkType, ListsEveryCodeSentWithTheTruthsFigures) {
  const TLinkCase& c = GetParam();
  TTempDir dir;
  const TSimCapture capture = MakeSimCapture(dir / "sim.pcap", c.Mode, c.Channels, c.Codes);
  std::set<uint16_t> listed;
  const auto last = LastFigures(capture.Path, listed);
  std::set<uint16_t> sent;
  for (const auto& [code, count] : capture.Counters.LogsSent) sent.insert(code);
  EXPECT_EQ(listed, sent);
  CheckAgainstTruth(last, capture.Truth);

  // The JSON Lines form is JSON, line for line, where python3 is there to say so.
  std::ostringstream json, errors;
  ASSERT_EQ(DumpCaptureFile(capture.Path, json, errors, true), 0) << errors.str();
  if (access("/usr/bin/python3", X_OK) != 0) return;
  WriteFile(dir / "dump.jsonl", json.str());
  const std::string check = "/usr/bin/python3 -c 'import json,sys\nfor l in open(sys.argv[1]): json.loads(l)' '" +
                            dir / "dump.jsonl" + "'";
  EXPECT_EQ(std::system(check.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Links, DumpOfEachLinkType,
    ::testing::Values(TLinkCase{"OneX", sim::TSimMode::Ev1x, {283}, {0x1007, 0x102D, 0x1088}},
                      TLinkCase{"RevA",
                                sim::TSimMode::RevA,
                                {283},
                                {0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x108C, 0x1192, 0x127E, 0x1281}},
                      TLinkCase{"RevB",
                                sim::TSimMode::RevB,
                                {283, 384, 425},
                                {0x1069, 0x106C, 0x107C, 0x1080, 0x1088, 0x108B, 0x1298, 0x129C, 0x129F, 0x12A0,
                                 0x12A1, 0x12A2}},
                      TLinkCase{"Sleep", sim::TSimMode::Sleep, {283, 384}, {0x12A1, 0x12A0, 0x108B, 0x1080}}),
    [](const auto& aInfo) { return std::string(aInfo.param.Name); });

TEST(FrameDump, FramesTheSessionDropsOrDoesNotKnowAreListedAsSuch) {
  TTempDir dir;
  TByteString damaged = FrameBytes(Bytes({0x10, 0, 0, 0, 0, 0, 0x69, 0x10}));
  damaged[2] ^= 0x01;
  const std::string path =
      WriteCapture(dir / "odd.pcap",
                   {FromModem(1'000'000, FrameBytes(Bytes({0x42, 1, 2})) + damaged),
                    FromModem(2'000'000, FrameBytes(Bytes({0x10, 0, 0, 0, 0, 0, 0x34, 0x12})) + "\x7E" + "\x01\x02"),
                    ToModem(3'000'000, ComposeCommand("0D")), ToModem(3'000'001, ComposeCommand(kLoggingOffCommand))});
  std::ostringstream out, errors;
  ASSERT_EQ(DumpCaptureFile(path, out, errors, false), 0);
  const std::vector<std::string> expected = {
      "1970-01-01T00:00:01.000000Z modem       3 good    unknown 0x42 frame the session does not know",
      "1970-01-01T00:00:01.000000Z modem       8 damaged log 0x1069 Rev A power",
      "1970-01-01T00:00:02.000000Z modem       8 good    unknown 0x1234 log the session does not know",
      "1970-01-01T00:00:02.000000Z modem       0 good    unknown empty frame",
      "1970-01-01T00:00:03.000000Z monitor     1 good    unknown 0x0D unknown command",
      "1970-01-01T00:00:03.000001Z monitor    64 good    command 0x5D logging off",
      "1970-01-01T00:00:03.000001Z modem       2 damaged unfinished bytes without a closing flag",
  };
  std::vector<std::string> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(errors.str(), "");
}
