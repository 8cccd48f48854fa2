// The gpsd position source against a gpsd of the test's own on a TCP socket: good reports, reports
// that are malformed, unexpected or carry NaN, a fix growing old, the daemon going and coming back;
// and the recorder attaching positions as rows come and writing them out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <mutex>
#include <thread>

#include "../stats/TestSupport.h"
#include "record/CsvFormat.h"
#include "record/FieldRecorder.h"
#include "record/PositionSource.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr auto kLong = 20s;  // never reached when the code works

bool WaitUntil(const std::function<bool()>& aCondition, std::chrono::milliseconds aLimit = kLong) {
  const auto deadline = TClock::now() + aLimit;
  while (!aCondition()) {
    if (TClock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A daemon of the test's own: accepts, waits for the client's WATCH, then sends what the test
// says. Connections that close without asking (a reachability probe) are passed over.
class TFakeGpsd {
 public:
  TFakeGpsd() {
    FListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(FListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(FListener, 4) != 0 ||
        getsockname(FListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      std::abort();
    FPort = ntohs(address.sin_port);
  }
  ~TFakeGpsd() {
    Drop();
    close(FListener);
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }

  // Waits for a client that asks for a WATCH; false when none came in time.
  bool AcceptWatcher() {
    const auto deadline = TClock::now() + kLong;
    while (TClock::now() < deadline) {
      pollfd p{FListener, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int fd = accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string asked;
      char buffer[256];
      for (;;) {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, 2000) <= 0) break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        asked.append(buffer, static_cast<size_t>(n));
        if (asked.find("?WATCH=") != std::string::npos && asked.find('\n') != std::string::npos) {
          FClient = fd;
          Send(R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})");
          return true;
        }
      }
      close(fd);
    }
    return false;
  }
  void Send(const std::string& aLine) {
    const std::string line = aLine + "\n";
    ASSERT_EQ(write(FClient, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }
  void Drop() {
    if (FClient >= 0) close(FClient);
    FClient = -1;
  }

 private:
  int FListener = -1;
  int FClient = -1;
  int FPort = 0;
};

std::string Tpv(double aLat, double aLon) {
  return R"({"class":"TPV","device":"/dev/pts/1","mode":3,"time":"2024-05-14T09:30:00.000Z","lat":)" +
         std::to_string(aLat) + R"(,"lon":)" + std::to_string(aLon) + R"(,"altMSL":34.5,"eph":4.2,"speed":11.1,"track":19.6})";
}

class GpsdSource : public ::testing::Test {
 protected:
  std::unique_ptr<TGpsdPositionSource> Start(const std::string& aAddress, std::chrono::milliseconds aMaxAge = 2000ms) {
    TGpsdPositionSource::TOptions options;
    options.Address = *ParseGpsdAddress(aAddress);
    options.MaxFixAge = aMaxAge;
    options.ReconnectDelay = 100ms;
    options.OnStateChange = [this](TGpsState aState, const std::string& aDetail) {
      const std::lock_guard lock(FLock);
      FChanges.emplace_back(aState, aDetail);
    };
    return std::make_unique<TGpsdPositionSource>(std::move(options));
  }
  std::vector<std::pair<TGpsState, std::string>> Changes() {
    const std::lock_guard lock(FLock);
    return FChanges;
  }
  bool ReportedLast(TGpsState aState) {
    return WaitUntil([&] {
      const auto changes = Changes();
      return !changes.empty() && changes.back().first == aState;
    });
  }

  std::mutex FLock;
  std::vector<std::pair<TGpsState, std::string>> FChanges;
};

TEST_F(GpsdSource, KeepsTheLatestGoodFixAndNothingThatIsNoNumber) {
  TFakeGpsd gpsd;
  const auto source = Start(gpsd.Address());
  ASSERT_TRUE(gpsd.AcceptWatcher());
  gpsd.Send(Tpv(52.52, 13.405));
  ASSERT_TRUE(WaitUntil([&] { return source->Current().Known(); }));
  const TPosition first = source->Current();
  EXPECT_EQ(first.Mode, TFixMode::Fix3D);
  EXPECT_DOUBLE_EQ(first.Latitude, 52.52);
  EXPECT_EQ(first.AltitudeM, 34.5);
  EXPECT_EQ(first.FixTime, TWallClock::time_point(std::chrono::seconds(1715679000)));
  EXPECT_EQ(source->State(), TGpsState::Fix3D);
  ASSERT_TRUE(ReportedLast(TGpsState::Fix3D));
  EXPECT_EQ(Changes().back().second, "3D fix from gpsd at " + gpsd.Address());

  // Lines that are no fix leave the fix alone: malformed, other classes, bytes that are no
  // text, a line longer than any report.
  for (const std::string& line :
       {std::string("garbage {{{"), std::string(R"({"class":"SKY","satellites":[]})"),
        std::string(R"({"class":"FOO","bar":1})"), std::string("\x00\xff\xfe", 3), std::string(20000, 'x'),
        std::string(R"({"class":"DEVICE","path":"/dev/pts/1","activated":"x"})"), std::string("{\"class\":")})
    gpsd.Send(line);
  gpsd.Send(Tpv(52.53, 13.406));
  ASSERT_TRUE(WaitUntil([&] { return source->Current().Latitude == 52.53; }));

  // A report whose numbers are not numbers is no position, not a position of NaN.
  struct TCase {
    const char* What;
    std::string Line;
  } const bad[] = {
      {"latitude as text", R"({"class":"TPV","mode":3,"lat":"NaN","lon":2.5})"},
      {"latitude NaN", R"({"class":"TPV","mode":3,"lat":NaN,"lon":2.5})"},
      {"latitude beyond a double", R"({"class":"TPV","mode":2,"lat":1e999,"lon":2.5})"},
      {"mode as text", R"({"class":"TPV","mode":"x","lat":1.5,"lon":2.5})"},
      {"no fix", R"({"class":"TPV","mode":1,"lat":1.5,"lon":2.5})"},
      {"cut short", R"({"class":"TPV","mode":3,"lat":1.5)"},
  };
  int step = 0;
  for (const TCase& c : bad) {
    const double latitude = 10 + ++step;
    gpsd.Send(c.Line);
    EXPECT_TRUE(WaitUntil([&] { return !source->Current().Known(); })) << c.What;
    EXPECT_EQ(source->State(), TGpsState::NoFix) << c.What;
    gpsd.Send(Tpv(latitude, 13.4));
    ASSERT_TRUE(WaitUntil([&] { return source->Current().Latitude == latitude; })) << c.What;
    const TPosition back = source->Current();
    for (const std::optional<double>& value : {back.AltitudeM, back.HorizontalErrorM, back.SpeedMps, back.CourseDeg})
      EXPECT_TRUE(value && std::isfinite(*value)) << c.What;
  }
  // Fields of a good report that are NaN are left out of it.
  gpsd.Send(R"({"class":"TPV","mode":3,"lat":1.5,"lon":2.5,"altMSL":NaN,"eph":"x","speed":-1,"track":400})");
  ASSERT_TRUE(WaitUntil([&] { return source->Current().Latitude == 1.5; }));
  const TPosition partial = source->Current();
  EXPECT_FALSE(partial.AltitudeM || partial.HorizontalErrorM || partial.SpeedMps || partial.CourseDeg);
}

TEST_F(GpsdSource, AnOldFixIsNoneAndAGoneDaemonIsWaitedForAndFoundAgain) {
  TFakeGpsd gpsd;
  const auto source = Start(gpsd.Address(), 400ms);
  ASSERT_TRUE(gpsd.AcceptWatcher());
  gpsd.Send(Tpv(52.52, 13.405));
  ASSERT_TRUE(ReportedLast(TGpsState::Fix3D));
  // Nothing more from the receiver: the fix grows old and is no position any longer.
  ASSERT_TRUE(ReportedLast(TGpsState::NoFix));
  EXPECT_FALSE(source->Current().Known());
  EXPECT_EQ(Changes().back().second, "gpsd at " + gpsd.Address() + " has no fix");

  gpsd.Send(Tpv(52.521, 13.405));
  ASSERT_TRUE(ReportedLast(TGpsState::Fix3D));
  gpsd.Drop();
  ASSERT_TRUE(ReportedLast(TGpsState::NoGpsd));
  EXPECT_EQ(source->State(), TGpsState::NoGpsd);
  EXPECT_FALSE(source->Current().Known());
  EXPECT_EQ(Changes().back().second, "gpsd at " + gpsd.Address() + " closed the connection");

  // It tries again by itself.
  ASSERT_TRUE(gpsd.AcceptWatcher());
  gpsd.Send(Tpv(52.522, 13.405));
  ASSERT_TRUE(WaitUntil([&] { return source->Current().Latitude == 52.522; }));
  ASSERT_TRUE(ReportedLast(TGpsState::Fix3D));
}

TEST_F(GpsdSource, NoDaemonIsSaidOnceAndTheSourceStopsAtOnce) {
  const std::string address = "127.0.0.1:" + std::to_string(FreeLocalPort());
  const auto started = TClock::now();
  auto source = Start(address);
  ASSERT_TRUE(ReportedLast(TGpsState::NoGpsd));
  EXPECT_EQ(Changes().back().second, "no gpsd at " + address + " (Connection refused)");
  std::this_thread::sleep_for(300ms);  // a few tries
  EXPECT_EQ(Changes().size(), 1u) << "each try is not said again";
  source.reset();
  EXPECT_LT(TClock::now() - started, 5s);
}

// Positions set by the test.
class TSetPositions final : public TPositionSource {
 public:
  void Set(const TPosition& aPosition) {
    const std::lock_guard lock(FLock);
    FPosition = aPosition;
  }
  TPosition Current() const override {
    const std::lock_guard lock(FLock);
    return FPosition;
  }
  TGpsState State() const override { return Current().Known() ? TGpsState::Fix3D : TGpsState::NoFix; }

 private:
  mutable std::mutex FLock;
  TPosition FPosition;
};

TEST(FieldRecorder, RowsCarryThePositionOfTheirMomentAndReachEveryFileInOrder) {
  TScratchDir dir;
  WriteFileBytes(dir.Path() + "/drive.gpx", "an older drive");
  auto positions = std::make_unique<TSetPositions>();
  TSetPositions* const set = positions.get();
  std::vector<std::string> notices;
  TFieldRecorderOptions options;
  options.Paths = {dir.Path() + "/drive.csv", dir.Path() + "/drive.gpx"};
  options.Positions = std::move(positions);
  options.OnNotice = [&](const TRecorderNotice& aNotice) { notices.push_back(aNotice.Text); };
  TFieldRecorder recorder(std::move(options));
  ASSERT_EQ(notices.size(), 1u) << "said before the recorder is made";
  EXPECT_EQ(notices[0], "log: " + dir.Path() + "/drive.gpx exists (a file); writing " + dir.Path() + "/drive-1.gpx");
  EXPECT_EQ(recorder.Paths()[1], dir.Path() + "/drive-1.gpx");

  constexpr int kSamples = 300;
  for (int i = 0; i < kSamples; ++i) {
    TPosition position;
    if (i % 3 != 2) {
      position.Mode = TFixMode::Fix2D;
      position.Latitude = i * 0.001;
      position.Longitude = 1;
    }
    set->Set(position);
    TCycleSample sample;
    sample.Time = TWallClock::time_point(std::chrono::milliseconds(i));
    sample.Present = true;
    sample.Cell = i;
    recorder.Consume(sample);
    if (i % 50 == 0) {
      TMonitorEvent event;
      event.Kind = TMonitorEventKind::SignalLost;
      event.Time = sample.Time;
      recorder.Consume(event);
    }
  }
  recorder.Stop();
  EXPECT_EQ(recorder.Samples(), static_cast<uint64_t>(kSamples));
  EXPECT_FALSE(recorder.Recording());
  EXPECT_EQ(notices.size(), 1u) << notices.back();

  TCsvReader reader;
  reader.Feed(ReadFileBytes(recorder.Paths()[0]));
  ASSERT_TRUE(reader.Next());  // the header
  int samples = 0, events = 0;
  while (const auto record = reader.Next()) {
    const auto field = [&](TLogColumn aColumn) { return (*record)[ColumnIndex(aColumn)]; };
    if (field(TLogColumn::Kind) != "sample") {
      EXPECT_EQ(samples % 50, 1) << "each event right after its sample";
      ++events;
      continue;
    }
    EXPECT_EQ(field(TLogColumn::Cell), std::to_string(samples));
    EXPECT_EQ(field(TLogColumn::Fix), samples % 3 == 2 ? "none" : "2D");
    if (samples % 3 != 2) {
      EXPECT_DOUBLE_EQ(std::stod(field(TLogColumn::Lat)), samples * 0.001);
    }
    ++samples;
  }
  EXPECT_EQ(samples, kSamples);
  EXPECT_EQ(events, kSamples / 50);
  EXPECT_FALSE(reader.HasIncompleteRecord());
  // The document: a track point per sample with a position, closed complete.
  const std::string gpx = ReadFileBytes(recorder.Paths()[1]);
  size_t points = 0;
  for (size_t at = 0; (at = gpx.find("<trkpt ", at)) != std::string::npos; ++at) ++points;
  EXPECT_EQ(points, static_cast<size_t>(kSamples - kSamples / 3));
  EXPECT_NE(gpx.find("</trkseg>\n</trk>\n</gpx>"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(dir.Path() + "/drive.gpx"), "an older drive");
}

TEST(FieldRecorder, AFileThatCannotBeMadeMakesNone) {
  TScratchDir dir;
  TFieldRecorderOptions options;
  options.Paths = {dir.Path() + "/fine.csv", dir.Path() + "/missing/drive.kml"};
  try {
    TFieldRecorder recorder(std::move(options));
    ADD_FAILURE() << "made";
  } catch (const ELogFileError& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot create " + dir.Path() + "/missing/drive.kml: No such file or directory");
  }
  EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>()) << "the first file went again";
}

}  // namespace
