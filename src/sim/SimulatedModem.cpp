// The simulated modem's device thread: commands in, replies and log packets out.
#include "sim/SimulatedModem.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "common/Crc16.h"
#include "sim/SimTables.h"

namespace sim {
namespace {

// Unwritten bytes beyond which a paced device drops log packets (as a modem whose host does
// not read), and up to which the as-fast-as-possible device keeps packets ready.
constexpr size_t kMaxBacklog = 32 * 1024;
constexpr size_t kMaxWriteBatch = 64 * 1024;
constexpr int kMaxIovecs = 64;
// Packets made in one go at the maximum rate before the thread looks at its other duties.
constexpr int kMaxBurst = 256;

constexpr std::array<TSimMode, 4> kCycle = {TSimMode::Ev1x, TSimMode::RevA, TSimMode::RevB, TSimMode::Sleep};

struct TModeName {
  TSimMode Mode;
  const char* Name;
};
constexpr std::array<TModeName, 5> kModeNames = {{
    {TSimMode::Ev1x, "1x"}, {TSimMode::RevA, "reva"}, {TSimMode::RevB, "revb"}, {TSimMode::Sleep, "sleep"}, {TSimMode::Cycle, "cycle"},
}};

std::string LastDigits(const std::string& aText, const char* aWhat) {
  const bool digits = !aText.empty() && std::all_of(aText.begin(), aText.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || (aText.size() != 7 && aText.size() != 10))
    throw std::invalid_argument(std::string(aWhat) + " must have 7 or 10 decimal digits, got \"" + aText + "\"");
  return aText.substr(aText.size() - 7);
}

void CheckChannels(const std::vector<uint16_t>& aChannels) {
  if (aChannels.empty() || aChannels.size() > 3) throw std::invalid_argument("between one and three carriers are needed");
  for (uint16_t c : aChannels)
    if (c == 0 || c > 1023) throw std::invalid_argument("channel " + std::to_string(c) + " is outside 1..1023");
  for (size_t i = 0; i < aChannels.size(); ++i)
    for (size_t j = i + 1; j < aChannels.size(); ++j)
      if (aChannels[i] == aChannels[j]) throw std::invalid_argument("carriers must use different channels");
}

TSimConfig Validated(TSimConfig aConfig) {
  CheckChannels(aConfig.Channels);
  if (!(aConfig.Rate > 0) || !std::isfinite(aConfig.Rate)) throw std::invalid_argument("the rate must be a positive number");
  if (!(aConfig.CycleSeconds > 0)) throw std::invalid_argument("the cycle step must be positive");
  return aConfig;
}

// Garbage in flag-delimited pieces of at least three bytes, none of which passes a CRC check,
// so that a receiver counts each piece as one damaged frame and never takes one for a packet.
TByteString MakeGarbage(size_t aBytes, TRandom& aRnd, uint32_t& aPieces) {
  TByteString out;
  aPieces = 0;
  while (out.size() < aBytes) {
    const size_t length = static_cast<size_t>(aRnd.Int(3, 40));
    TByteString piece;
    while (piece.size() < length) {
      const auto b = static_cast<uint8_t>(aRnd.Int(0, 255));
      if (b != kFlag) piece.push_back(static_cast<char>(b));
    }
    const TByteString content = Unescape(piece);
    if (content.size() < 3) continue;
    // A lone escape byte right before the flag could be taken for an escaped flag by a
    // receiver that unescapes as it goes.
    if (ByteAt(piece, piece.size() - 1) == kEscape) piece.back() = 0x00;
    if (HasGoodCrc(Unescape(piece))) piece.back() = static_cast<char>(ByteAt(piece, piece.size() - 1) == 0x00 ? 0x01 : 0x00);
    if (HasGoodCrc(Unescape(piece))) continue;
    out += piece;
    out.push_back(static_cast<char>(kFlag));
    ++aPieces;
  }
  return out;
}

// A run without a flag, closed by one; its content never passes a CRC check, so a receiver
// counts it as one damaged frame however long it is.
TByteString MakeUnflagged(size_t aBytes, TRandom& aRnd) {
  TByteString run;
  run.reserve(std::max<size_t>(aBytes, 3) + 1);
  while (run.size() < std::max<size_t>(aBytes, 3)) {
    const auto b = static_cast<uint8_t>(aRnd.Int(0, 255));
    if (b != kFlag) run.push_back(static_cast<char>(b));
  }
  // As in MakeGarbage: no lone escape right before the flag.
  if (ByteAt(run, run.size() - 1) == kEscape) run.back() = 0x00;
  if (HasGoodCrc(Unescape(run))) run.back() = static_cast<char>(ByteAt(run, run.size() - 1) == 0x00 ? 0x01 : 0x00);
  run.push_back(static_cast<char>(kFlag));
  return run;
}

int CeilMs(std::chrono::steady_clock::duration aDuration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(aDuration).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

}  // namespace

const char* ModeName(TSimMode aMode) {
  for (const auto& m : kModeNames)
    if (m.Mode == aMode) return m.Name;
  return "?";
}

std::optional<TSimMode> ModeFromName(std::string_view aName) {
  for (const auto& m : kModeNames)
    if (aName == m.Name) return m.Mode;
  return std::nullopt;
}

TSimulatedModem::TSimulatedModem(TSimConfig aConfig)
    : FConfig(Validated(std::move(aConfig))),
      FMode(FConfig.Mode),
      FActiveMode(FConfig.Mode == TSimMode::Cycle ? kCycle.front() : FConfig.Mode),
      FScenario(FConfig.Seed, FConfig.Channels),
      FEncoder(FConfig.Seed, FConfig.Esn),
      FFaultRnd(FConfig.Seed ^ 0x5EEDFA17ull) {
  const std::string min = LastDigits(FConfig.Min, "the MIN");
  const std::string dn = LastDigits(FConfig.DirectoryNumber, "the directory number");
  FIdentity.Esn = FConfig.Esn;
  FIdentity.Min1 = EncodeMin1(min);
  FIdentity.Min2 = FConfig.Min.size() == 10 ? EncodeMin2(FConfig.Min.substr(0, 3)) : 0;
  FIdentity.Dn1 = EncodeMin1(dn);
  FIdentity.LacWord = EncodeLacWord(FConfig.Lac);

  char esn[9];
  std::snprintf(esn, sizeof esn, "%08X", FConfig.Esn);
  FTruth.Identity.Esn = esn;
  FTruth.Identity.Min = min;
  FTruth.Identity.Dn = dn;
  FTruth.Identity.Lac = FConfig.Lac;
  FTruth.Identity.Imsi = "38360" + FConfig.Lac + dn;
  FTruth.Mode = FActiveMode;
  FTruth.Channels = FScenario.Channels();
  FScenario.SetLinkType(FActiveMode);
  FScenario.SetWeakSignal(FConfig.WeakSignal);

  FWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FWake < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

TSimulatedModem::~TSimulatedModem() {
  Stop();
  ::close(FWake);
}

void TSimulatedModem::Start() {
  {
    std::lock_guard lock(FLock);
    if (FRunning) throw std::logic_error("the simulated modem is already running");
    PlugLocked();
    FWallBase = TClock::now();
    FVirtualBase = FVirtualMs;
    FRunning = true;
  }
  FThread = std::jthread([this](std::stop_token aStop) { Run(aStop); });
}

void TSimulatedModem::Stop() {
  {
    std::lock_guard lock(FLock);
    if (!FRunning) return;
  }
  FThread.request_stop();
  Wake();
  if (FThread.joinable()) FThread.join();
  std::lock_guard lock(FLock);
  UnplugLocked();
  FRunning = false;
  FChanged.notify_all();
}

bool TSimulatedModem::Running() const {
  std::lock_guard lock(FLock);
  return FRunning;
}

std::string TSimulatedModem::SlavePath() const {
  std::lock_guard lock(FLock);
  return FPty.SlavePath();
}

bool TSimulatedModem::Plugged() const {
  std::lock_guard lock(FLock);
  return FPty.IsOpen();
}

void TSimulatedModem::SetMode(TSimMode aMode) {
  std::lock_guard lock(FLock);
  FMode = aMode;
  SwitchActiveMode(ActiveModeFor(FVirtualMs));
  Wake();
}

TSimMode TSimulatedModem::Mode() const {
  std::lock_guard lock(FLock);
  return FMode;
}

void TSimulatedModem::SetRxLevel(std::optional<double> aDbm) {
  std::lock_guard lock(FLock);
  FScenario.SetRxLevel(aDbm);
}

void TSimulatedModem::SetChannels(std::vector<uint16_t> aChannels) {
  CheckChannels(aChannels);
  std::lock_guard lock(FLock);
  FScenario.SetChannels(std::move(aChannels));
  FTruth.Channels = FScenario.Channels();
  BuildSchedule();
  Wake();
}

void TSimulatedModem::SplitFrames(bool aOn) {
  std::lock_guard lock(FLock);
  FSplit = aOn;
}

void TSimulatedModem::DamageNextCrcs(unsigned aCount) {
  std::lock_guard lock(FLock);
  FDamageNext += aCount;
}

void TSimulatedModem::InjectGarbage(size_t aBytes) {
  std::lock_guard lock(FLock);
  if (!FPty.IsOpen() || aBytes == 0) return;
  EnqueueGarbage(aBytes);
  Wake();
}

void TSimulatedModem::InjectUnflagged(size_t aBytes) {
  std::lock_guard lock(FLock);
  if (!FPty.IsOpen() || aBytes == 0) return;
  EnqueueGarbageFrame(MakeUnflagged(aBytes, FFaultRnd), 1);
  Wake();
}

void TSimulatedModem::UnplugMidFrame() {
  std::lock_guard lock(FLock);
  if (!FPty.IsOpen()) return;
  FUnplugMidFrame = true;
  Wake();
}

void TSimulatedModem::Stall(bool aOn) {
  std::lock_guard lock(FLock);
  FStalled = aOn;
  Wake();
}

void TSimulatedModem::SetFaultRates(const TFaultRates& aRates) {
  std::lock_guard lock(FLock);
  FFaults = aRates;
}

void TSimulatedModem::Unplug() {
  std::lock_guard lock(FLock);
  UnplugLocked();
  FChanged.notify_all();
}

std::string TSimulatedModem::Replug() {
  std::lock_guard lock(FLock);
  if (!FRunning) throw std::logic_error("the simulated modem is not running");
  UnplugLocked();
  PlugLocked();
  Wake();
  FChanged.notify_all();
  return FPty.SlavePath();
}

TSimTruth TSimulatedModem::Truth() const {
  std::lock_guard lock(FLock);
  return FTruth;
}

TSimCounters TSimulatedModem::Counters() const {
  std::lock_guard lock(FLock);
  TSimCounters counters = FCounters;
  if (FStreamingSince) counters.StreamingSeconds += std::chrono::duration<double>(TClock::now() - *FStreamingSince).count();
  return counters;
}

bool TSimulatedModem::LoggingOn() const {
  std::lock_guard lock(FLock);
  return FMask.Any();
}

bool TSimulatedModem::WaitUntil(const std::function<bool(const TSimCounters&)>& aCondition,
                                std::chrono::milliseconds aTimeout) const {
  std::unique_lock lock(FLock);
  return FChanged.wait_for(lock, aTimeout, [&] { return aCondition(FCounters); });
}

void TSimulatedModem::Wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(FWake, &one, sizeof one);
}

void TSimulatedModem::PlugLocked() {
  FPty.Open();
  ++FPlugGeneration;
  ++FCounters.Plugs;
  FMasterHungUp = false;
  SetMask(TLogMask());
  FDeframer = TCommandDeframer();
  if (!FConfig.LinkPath.empty()) {
    try {
      PlaceSymlink(FConfig.LinkPath, FPty.SlavePath());
    } catch (...) {
      FPty.Close();
      throw;
    }
  }
}

void TSimulatedModem::UnplugLocked() {
  if (!FPty.IsOpen()) return;
  if (!FConfig.LinkPath.empty()) RemoveSymlink(FConfig.LinkPath, FPty.SlavePath());
  FPty.Close();
  ++FPlugGeneration;
  ++FCounters.Unplugs;
  if (!FOut.empty() && FOut.front().Offset > 0) ++FCounters.CutFrames;
  FUnplugMidFrame = false;
  FCutSince.reset();
  // Whatever was on its way is lost with the device; a replugged modem starts with logging off.
  FOut.clear();
  FOutBytes = 0;
  FReplies.clear();
  SetMask(TLogMask());
  FDeframer = TCommandDeframer();
  Wake();
}

TSimMode TSimulatedModem::ActiveModeFor(double aVirtualMs) const {
  if (FMode != TSimMode::Cycle) return FMode;
  const auto step = static_cast<uint64_t>(aVirtualMs / (FConfig.CycleSeconds * 1000.0));
  return kCycle[step % kCycle.size()];
}

void TSimulatedModem::SwitchActiveMode(TSimMode aMode) {
  if (aMode == FActiveMode) return;
  const bool wasAsleep = FActiveMode == TSimMode::Sleep;
  FActiveMode = aMode;
  FScenario.SetLinkType(aMode);
  FTruth.Mode = aMode;
  BuildSchedule();
  // Waking up is reported once, so that a receiver does not go on believing the modem asleep.
  if (wasAsleep && FPty.IsOpen() && !FStalled && FMask.Enabled(logcode::kPilotSetsB))
    EnqueueLog(FEncoder.Encode(logcode::kPilotSetsB, FScenario, 0, LogTimestampNow()));
}

void TSimulatedModem::BuildSchedule() {
  using namespace logcode;
  struct TPlan {
    uint16_t Code;
    double PeriodMs;
    bool PerCarrier;
  };
  std::vector<TPlan> plan;
  switch (FActiveMode) {
    case TSimMode::Ev1x:
      plan = {{kPilotSet, 100, false}, {kPagingChannel, 1000, false}, {kIdentity, 10000, false}};
      break;
    case TSimMode::RevA:
      plan = {{kRevAPower, 100, false},    {kArqA, 100, false},          {kNeighbors, 500, false},
              {kAccessChannel, 1000, false}, {kServingSector, 2000, false}, {kAttemptCounters, 2000, false},
              {kForwardA, 1000, false},    {kReverseA, 1000, false},     {kRevAMarker, 2000, false},
              {kIdentity, 10000, false}};
      break;
    case TSimMode::RevB:
      plan = {{kRevAPower, 100, false},     {kArqB, 100, false},           {kRevBPower, 200, false},
              {kPilotSetsB, 1000, false},   {kForwardB, 1000, true},       {kReverseB, 1000, true},
              {kRevBMarker, 2000, false},   {kNeighbors, 500, false},      {kAccessChannel, 1000, false},
              {kServingSector, 2000, false}, {kAttemptCounters, 2000, false}, {kIdentity, 10000, false}};
      break;
    case TSimMode::Sleep:
    case TSimMode::Cycle:
      plan = {{kPilotSetsB, 500, false}, {kRevBMarker, 2000, false}, {kNeighbors, 2000, false},
              {kServingSector, 5000, false}, {kIdentity, 10000, false}};
      break;
  }
  FSchedule.clear();
  double phase = 0;
  for (const TPlan& p : plan) {
    const int carriers = p.PerCarrier ? FScenario.CarrierCount() : 1;
    for (int c = 0; c < carriers; ++c) {
      FSchedule.push_back({p.Code, c, p.PeriodMs, FVirtualMs + phase});
      phase += 7;  // spread the first packets over a few milliseconds
    }
  }
  FSeenSectorEpoch = FScenario.SectorEpoch();
}

void TSimulatedModem::AdvanceVirtualTime(TClock::time_point aNow) {
  if (FConfig.MaxRate) return;
  const double elapsed = std::chrono::duration<double, std::milli>(aNow - FWallBase).count();
  FVirtualMs = std::max(FVirtualMs, FVirtualBase + elapsed * FConfig.Rate);
}

size_t TSimulatedModem::Backlog() const { return FOutBytes; }

void TSimulatedModem::Generate() {
  if (FSchedule.empty()) BuildSchedule();
  bool anyEnabled = false;
  for (const auto& e : FSchedule) anyEnabled = anyEnabled || FMask.Enabled(e.Code);
  if (FConfig.MaxRate && (!anyEnabled || FStalled)) return;

  size_t backlog = Backlog();
  for (int made = 0; made < kMaxBurst;) {
    auto next = std::min_element(FSchedule.begin(), FSchedule.end(),
                                 [](const TScheduleEntry& a, const TScheduleEntry& b) { return a.NextDue < b.NextDue; });
    if (next == FSchedule.end()) return;
    const double due = next->NextDue;
    if (FConfig.MaxRate) {
      if (backlog >= kMaxBacklog) return;
      FVirtualMs = std::max(FVirtualMs, due);
    } else if (due > FVirtualMs) {
      return;
    }
    FScenario.AdvanceTo(due);
    const TSimMode mode = ActiveModeFor(due);
    if (mode != FActiveMode) {
      SwitchActiveMode(mode);
      continue;
    }
    if (FScenario.SectorEpoch() != FSeenSectorEpoch) {
      // A new serving sector is announced at once.
      FSeenSectorEpoch = FScenario.SectorEpoch();
      for (auto& e : FSchedule)
        if (e.Code == logcode::kServingSector || e.Code == logcode::kAttemptCounters ||
            e.Code == logcode::kAccessChannel || e.Code == logcode::kPagingChannel)
          e.NextDue = std::min(e.NextDue, due);
      continue;
    }
    const uint16_t code = next->Code;
    const int carrier = next->Carrier;
    next->NextDue += next->PeriodMs;
    // After a long pause (stall, full port) the schedule picks up from now rather than catching up.
    if (next->NextDue < FVirtualMs - 5 * next->PeriodMs) next->NextDue = FVirtualMs;
    if (!FMask.Enabled(code) || FStalled) continue;
    if (backlog > kMaxBacklog) {
      ++FCounters.LogsDropped;
      continue;
    }
    EnqueueLog(FEncoder.Encode(code, FScenario, carrier, LogTimestampNow()));
    backlog = Backlog();
    ++made;
  }
}

void TSimulatedModem::Shape(TOutFrame& aFrame, bool aLog) {
  const bool split = FSplit || (aLog && FFaults.Split > 0 && FFaultRnd.Chance(FFaults.Split));
  if (!split || aFrame.Wire.size() < 2) return;
  const int pieces = static_cast<int>(FFaultRnd.Int(2, 4));
  for (int i = 1; i < pieces; ++i)
    aFrame.Cuts.push_back(static_cast<size_t>(FFaultRnd.Int(1, static_cast<int64_t>(aFrame.Wire.size()) - 1)));
  std::sort(aFrame.Cuts.begin(), aFrame.Cuts.end());
  aFrame.Cuts.erase(std::unique(aFrame.Cuts.begin(), aFrame.Cuts.end()), aFrame.Cuts.end());
  aFrame.Pause = std::chrono::milliseconds(FFaultRnd.Int(1, 3));
}

void TSimulatedModem::EnqueueLog(TEncodedLog aLog) {
  if (FFaults.Garbage > 0 && FFaultRnd.Chance(FFaults.Garbage)) EnqueueGarbage(FFaults.GarbageBytes);
  TOutFrame frame;
  frame.MadeAt = FVirtualMs;
  frame.Kind = TOutFrame::TKind::Log;
  frame.Code = aLog.Code;
  if (FDamageNext > 0) {
    --FDamageNext;
    frame.Damaged = true;
  } else if (FFaults.DamageCrc > 0 && FFaultRnd.Chance(FFaults.DamageCrc)) {
    frame.Damaged = true;
  }
  const auto damage = frame.Damaged ? static_cast<uint16_t>(FFaultRnd.Int(1, 0xFFFF)) : uint16_t{0};
  frame.Wire = EncodeFrame(aLog.Content, damage);
  if (!frame.Damaged) {
    const uint64_t timestamp = [&] {
      uint64_t t = 0;
      for (size_t i = 0; i < 8; ++i) t |= static_cast<uint64_t>(ByteAt(aLog.Content, 8 + i)) << (8 * i);
      return t;
    }();
    frame.Commit = [commit = std::move(aLog.Commit), code = aLog.Code, timestamp](TSimTruth& aTruth) {
      if (commit) commit(aTruth);
      aTruth.LastTimestamp[code] = timestamp;
    };
  }
  Shape(frame, true);
  FOutBytes += frame.Wire.size();
  FOut.push_back(std::move(frame));
}

void TSimulatedModem::EnqueueGarbage(size_t aBytes) {
  uint32_t pieces = 0;
  TByteString wire = MakeGarbage(aBytes, FFaultRnd, pieces);
  EnqueueGarbageFrame(std::move(wire), pieces);
}

void TSimulatedModem::EnqueueGarbageFrame(TByteString aWire, uint32_t aPieces) {
  TOutFrame frame;
  frame.MadeAt = FVirtualMs;
  frame.Kind = TOutFrame::TKind::Garbage;
  frame.Wire = std::move(aWire);
  frame.GarbagePieces = aPieces;
  FOutBytes += frame.Wire.size();
  FOut.push_back(std::move(frame));
}

void TSimulatedModem::ArmMidFrameUnplug() {
  // The first log packet not yet begun; replies and garbage go out whole before it.
  for (TOutFrame& f : FOut) {
    if (f.Kind != TOutFrame::TKind::Log || f.Offset != 0 || f.Wire.size() < 4) continue;
    f.UnplugAt = f.Wire.size() / 2;
    f.Cuts.push_back(f.UnplugAt);
    std::sort(f.Cuts.begin(), f.Cuts.end());
    f.Cuts.erase(std::unique(f.Cuts.begin(), f.Cuts.end()), f.Cuts.end());
    FUnplugMidFrame = false;
    return;
  }
}

void TSimulatedModem::EnqueueReply(TByteString aContent) {
  TOutFrame frame;
  frame.MadeAt = FVirtualMs;
  frame.Kind = TOutFrame::TKind::Reply;
  frame.Code = aContent.empty() ? 0 : ByteAt(aContent, 0);
  if (FDamageNext > 0) {
    --FDamageNext;
    frame.Damaged = true;
  }
  frame.Wire = EncodeFrame(aContent, frame.Damaged ? static_cast<uint16_t>(FFaultRnd.Int(1, 0xFFFF)) : uint16_t{0});
  Shape(frame, false);
  FReplies.push_back(std::move(frame));
}

bool TSimulatedModem::CutFrameTaken(TClock::time_point aNow) const {
  using namespace std::chrono_literals;
  // The bytes pass the pseudo-terminal's own buffer before a reader can see them: a moment's
  // grace, then the reader's queue must be empty; nobody reading does not hold it up for long.
  const auto since = aNow - *FCutSince;
  return since >= 1s || (since >= 20ms && FPty.UnreadBySlave() == 0);
}

bool TSimulatedModem::CanWrite(TClock::time_point aNow) const {
  if (FStalled || !FPty.IsOpen() || FCutSince) return false;
  const bool frameBoundary = FOut.empty() || FOut.front().Offset == 0;
  if (!FReplies.empty() && frameBoundary) return true;
  return !FOut.empty() && (!FOut.front().HoldUntil || *FOut.front().HoldUntil <= aNow);
}

bool TSimulatedModem::Flush(TClock::time_point aNow) {
  if (FUnplugMidFrame) ArmMidFrameUnplug();
  if (!CanWrite(aNow)) return false;
  // Replies go out at the next frame boundary, ahead of queued log packets.
  if (!FReplies.empty() && (FOut.empty() || FOut.front().Offset == 0)) {
    while (!FReplies.empty()) {
      FOutBytes += FReplies.back().Wire.size();
      FOut.push_front(std::move(FReplies.back()));
      FReplies.pop_back();
    }
  }
  std::array<iovec, kMaxIovecs> iov{};
  std::array<double, kMaxIovecs> madeAt{};
  int count = 0;
  size_t bytes = 0;
  for (auto& f : FOut) {
    if (count == kMaxIovecs || bytes >= kMaxWriteBatch) break;
    if (f.HoldUntil && aNow < *f.HoldUntil) break;
    const auto cut = std::upper_bound(f.Cuts.begin(), f.Cuts.end(), f.Offset);
    const size_t end = cut == f.Cuts.end() ? f.Wire.size() : *cut;
    madeAt[static_cast<size_t>(count)] = f.MadeAt;
    iov[static_cast<size_t>(count++)] = {f.Wire.data() + f.Offset, end - f.Offset};
    bytes += end - f.Offset;
    if (end < f.Wire.size()) break;  // the rest of this frame waits for its pause
  }
  if (count == 0) return false;
  const ssize_t written = ::writev(FPty.Master(), iov.data(), count);
  if (written <= 0) return false;
  FCounters.BytesWritten += static_cast<uint64_t>(written);
  if (FConfig.WireTap) {
    // Frame by frame, each at the scenario time it was made: at the maximum rate one write
    // carries seconds of the scenario.
    size_t tapped = 0;
    for (size_t i = 0; i < static_cast<size_t>(count) && tapped < static_cast<size_t>(written); ++i) {
      const size_t length = std::min(iov[i].iov_len, static_cast<size_t>(written) - tapped);
      FConfig.WireTap(true, TByteView(static_cast<const char*>(iov[i].iov_base), length), madeAt[i]);
      tapped += length;
    }
  }
  auto left = static_cast<size_t>(written);
  while (left > 0 && !FOut.empty()) {
    TOutFrame& f = FOut.front();
    const auto cut = std::upper_bound(f.Cuts.begin(), f.Cuts.end(), f.Offset);
    const size_t end = cut == f.Cuts.end() ? f.Wire.size() : *cut;
    const size_t take = std::min(left, end - f.Offset);
    f.Offset += take;
    FOutBytes -= take;
    left -= take;
    f.HoldUntil.reset();
    if (f.UnplugAt != 0 && f.Offset == f.UnplugAt) {
      FCutSince = aNow;
      return true;
    }
    if (f.Offset == f.Wire.size()) {
      Completed(f);
      FOut.pop_front();
    } else if (f.Offset == end) {
      f.HoldUntil = aNow + f.Pause;
      break;
    }
  }
  return true;
}

void TSimulatedModem::Completed(TOutFrame& aFrame) {
  if (!aFrame.Cuts.empty()) ++FCounters.SplitFrames;
  if (aFrame.Damaged) ++FCounters.DamagedFrames;
  switch (aFrame.Kind) {
    case TOutFrame::TKind::Log:
      FCounters.LogBytesWritten += aFrame.Wire.size();
      if (aFrame.Damaged) {
        ++FCounters.LogsDamaged[aFrame.Code];
      } else {
        ++FCounters.LogsSent[aFrame.Code];
        if (aFrame.Commit) aFrame.Commit(FTruth);
      }
      break;
    case TOutFrame::TKind::Reply:
      ++FCounters.RepliesSent;
      break;
    case TOutFrame::TKind::Garbage:
      ++FCounters.GarbageBursts;
      FCounters.GarbageFrames += aFrame.GarbagePieces;
      FCounters.GarbageBytes += aFrame.Wire.size();
      break;
  }
}

void TSimulatedModem::ReadCommands() {
  std::array<char, 4096> buffer{};
  for (int round = 0; round < 16; ++round) {
    const ssize_t n = ::read(FPty.Master(), buffer.data(), buffer.size());
    if (n <= 0) {
      if (n < 0 && errno == EIO) FMasterHungUp = true;
      return;
    }
    if (FConfig.WireTap) FConfig.WireTap(false, TByteView(buffer.data(), static_cast<size_t>(n)), FVirtualMs);
    TCommandDeframer::TResult result;
    FDeframer.Feed(TByteView(buffer.data(), static_cast<size_t>(n)), result);
    FCounters.BadCrcCommands += result.BadCrc;
    FCounters.OverlongCommands += result.Overlong;
    for (const auto& command : result.Commands) {
      if (FStalled) {
        ++FCounters.CommandsIgnored;
        continue;
      }
      ++FCounters.CommandsReceived;
      HandleCommand(command);
    }
    if (static_cast<size_t>(n) < buffer.size()) return;
  }
}

uint16_t TSimulatedModem::ModeWord() const {
  if (FConfig.ModeWord) return *FConfig.ModeWord;
  switch (FActiveMode) {
    case TSimMode::RevB:
    case TSimMode::Sleep: return 5;
    case TSimMode::RevA: return 4;
    default: return 1;
  }
}

void TSimulatedModem::HandleCommand(const TByteString& aCommand) {
  TCommandOutcome outcome = sim::HandleCommand(aCommand, FIdentity, ModeWord());
  if (!aCommand.empty() && ByteAt(aCommand, 0) == 0x0C) FTruth.Identity.ModeWord = ModeWord();
  if (outcome.NewMask) {
    const bool wasOn = FMask.Any();
    if (!(*outcome.NewMask == FMask)) {
      // Packets made under the old mask and not yet begun are thrown away with it.
      std::erase_if(FOut, [](const TOutFrame& f) { return f.Kind == TOutFrame::TKind::Log && f.Offset == 0; });
      FOutBytes = 0;
      for (const auto& f : FOut) FOutBytes += f.Wire.size() - f.Offset;
    }
    SetMask(*outcome.NewMask);
    if (!wasOn && FMask.Any()) BuildSchedule();
  }
  if (outcome.BadCommand) ++FCounters.BadCommandReplies;
  if (!outcome.Reply.empty()) EnqueueReply(std::move(outcome.Reply));
}

void TSimulatedModem::SetMask(const TLogMask& aMask) {
  const auto now = TClock::now();
  if (FStreamingSince && !aMask.Any()) {
    FCounters.StreamingSeconds += std::chrono::duration<double>(now - *FStreamingSince).count();
    FStreamingSince.reset();
  } else if (!FStreamingSince && aMask.Any()) {
    FStreamingSince = now;
  }
  FMask = aMask;
}

int TSimulatedModem::PollTimeoutMs(TClock::time_point aNow) const {
  if (!FPty.IsOpen()) return -1;
  if (FCutSince) return 5;
  if (FMasterHungUp) return 50;
  int timeout = 1000;
  if (!FStalled && !FOut.empty() && FOut.front().HoldUntil) timeout = std::min(timeout, CeilMs(*FOut.front().HoldUntil - aNow));
  if (FMask.Any() && !FStalled && !FConfig.MaxRate && !FSchedule.empty()) {
    double due = FSchedule.front().NextDue;
    for (const auto& e : FSchedule) due = std::min(due, e.NextDue);
    const double wallMs = (due - FVirtualBase) / FConfig.Rate;
    const auto at = FWallBase + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double, std::milli>(wallMs));
    timeout = std::min(timeout, CeilMs(at - aNow));
  }
  return timeout;
}

void TSimulatedModem::Run(std::stop_token aStop) {
  std::unique_lock lock(FLock);
  while (!aStop.stop_requested()) {
    TClock::time_point now = TClock::now();
    if (FCutSince && CutFrameTaken(now)) UnplugLocked();
    if (FPty.IsOpen()) {
      AdvanceVirtualTime(now);
      FScenario.AdvanceTo(FVirtualMs);
      SwitchActiveMode(ActiveModeFor(FVirtualMs));
      if (FMask.Any()) Generate();
      // Bounded, so that the lock is let go now and then even while the port takes all we write.
      for (int round = 0; round < 32 && !aStop.stop_requested() && Flush(now); ++round) {
        if (FConfig.MaxRate && FMask.Any()) Generate();
      }
    }
    FChanged.notify_all();

    const uint64_t generation = FPlugGeneration;
    std::array<pollfd, 2> fds{};
    fds[0] = {FWake, POLLIN, 0};
    nfds_t count = 1;
    if (FPty.IsOpen() && !FMasterHungUp) {
      fds[1] = {FPty.Master(), static_cast<short>(POLLIN | (CanWrite(now) ? POLLOUT : 0)), 0};
      count = 2;
    }
    const int timeout = PollTimeoutMs(now);
    // A master that reported a hang-up is left out of one short wait, then looked at again.
    FMasterHungUp = false;
    lock.unlock();
    const int ready = ::poll(fds.data(), count, timeout);
    lock.lock();
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t drained = 0;
      [[maybe_unused]] const ssize_t n = ::read(FWake, &drained, sizeof drained);
    }
    if (count == 2 && generation == FPlugGeneration) {
      if (fds[1].revents & POLLIN) ReadCommands();
      if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & POLLIN)) FMasterHungUp = true;
    }
  }
}

}  // namespace sim
