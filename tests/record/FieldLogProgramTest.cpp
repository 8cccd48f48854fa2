// cdma-monitor --console recording for real: positions from gpsd (gpsfake replaying a short drive)
// stopped and started again, the simulated modem's events in their places, a crash and the
// converter, a disk that fills up, and log paths that are taken or cannot be made.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "ConsoleProgramSupport.h"
#include "RecordTestSupport.h"
#include "record/LogRow.h"

namespace {

using namespace std::chrono_literals;
using namespace console_test;
using namespace record_test;

const std::string kDrive = std::string(CDMA_RECORD_TEST_DIR) + "/data/short-drive.nmea";

// Keeps the program's output flowing for aTime.
void KeepReading(TProgram& aProgram, std::chrono::milliseconds aTime) {
  const auto until = std::chrono::steady_clock::now() + aTime;
  while (std::chrono::steady_clock::now() < until) aProgram.ReadLine(50ms);
}

// Keeps the output flowing until aDone, or false after the long limit.
bool RunUntil(TProgram& aProgram, const std::function<bool()>& aDone) {
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (!aDone()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    KeepReading(aProgram, 200ms);
  }
  return true;
}

// The log's rows as they stand now, read with the log's own reader (the files are read back by
// Python at the end of each test).
std::vector<std::map<std::string, std::string>> RowsNow(const std::string& aPath) {
  const std::string text = ReadFileBytes(aPath);
  std::vector<std::map<std::string, std::string>> rows;
  size_t start = text.find('\n');
  while (start != std::string::npos && start + 1 < text.size()) {
    const size_t end = text.find('\n', start + 1);
    if (end == std::string::npos) break;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = start + 1; i < end; ++i) {
      if (text[i] == ',') {
        fields.push_back(field);
        field.clear();
      } else if (text[i] != '\r') {
        field += text[i];
      }
    }
    fields.push_back(field);
    if (fields.size() == kLogColumns.size()) {
      std::map<std::string, std::string> row;
      for (size_t i = 0; i < fields.size(); ++i) row[std::string(kLogColumns[i])] = fields[i];
      rows.push_back(std::move(row));
    }
    start = end;
  }
  return rows;
}

size_t CountRows(const std::string& aPath, const std::function<bool(const std::map<std::string, std::string>&)>& aWhich) {
  size_t count = 0;
  for (const auto& row : RowsNow(aPath)) count += aWhich(row) ? 1 : 0;
  return count;
}

bool Positioned(const std::map<std::string, std::string>& aRow) {
  return aRow.at("kind") == "sample" && !aRow.at("lat").empty();
}

TWallClock::time_point TimeOf(const QJsonObject& aRow) { return *ParseLogTime(Text(aRow["time"])); }

// The index of the drive's position a row carries; none for a row without one, -1 for one that
// is not on the drive.
std::optional<int> DriveIndex(const QJsonObject& aRow, const std::vector<std::pair<double, double>>& aDrive) {
  if (Text(aRow["lat"]).empty()) return std::nullopt;
  const double lat = std::stod(Text(aRow["lat"])), lon = std::stod(Text(aRow["lon"]));
  for (size_t i = 0; i < aDrive.size(); ++i)
    if (std::abs(aDrive[i].first - lat) < 1e-6 && std::abs(aDrive[i].second - lon) < 1e-6) return static_cast<int>(i);
  return -1;
}

std::string ClosedPort() { return "127.0.0.1:" + std::to_string(FreeLocalPort()); }

class FieldLogProgram : public ::testing::Test {
 protected:
  void RequirePrograms(std::initializer_list<const char*> aPrograms) {
    for (const char* program : aPrograms)
      if (!HaveProgram(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
  }
  std::string Path(const std::string& aName) const { return FDir.Path() + "/" + aName; }
  TScratchDir FDir;
};

TEST_F(FieldLogProgram, RowsCarryTheDrivesPositionsInOrderAndNoneWhileGpsdIsAway) {
  RequirePrograms({"gpsfake", "gpsbabel", "xmllint", "python3"});
  const int port = FreeLocalPort();
  const std::string gpsd = "127.0.0.1:" + std::to_string(port);
  auto fake = std::make_unique<TGpsFake>(kDrive, port, Path("gpsfake.log"));
  ASSERT_TRUE(fake->WaitReady()) << ReadFileBytes(Path("gpsfake.log"));

  TProgram program({"--console", "--demo", "--gps", gpsd, "--log", Path("drive.csv"), "--log", Path("drive.gpx"),
                    "--log", Path("drive.kml")});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "log: recording to "); }));
  EXPECT_EQ(program.Seen.back(),
            "log: recording to " + Path("drive.csv") + ", " + Path("drive.gpx") + ", " + Path("drive.kml"));
  // gpsd's first report may come from the drive's RMC sentence alone: a 2D fix.
  const std::regex fixFrom("(gps: |gps: position back: )[23]D fix from gpsd at " + gpsd);
  ASSERT_TRUE(program.ReadUntil([&](const std::string& l) { return StartsWith(l, "gps: "); }));
  EXPECT_TRUE(std::regex_match(program.Seen.back(), fixFrom)) << program.Seen.back();
  ASSERT_TRUE(RunUntil(program, [&] { return CountRows(Path("drive.csv"), Positioned) >= 6; }));

  // gpsd goes away: one line, and the rows go on without positions.
  fake->Stop();
  const auto stopped = TWallClock::now();
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "gps: "); }));
  EXPECT_EQ(program.Seen.back(), "gps: position lost: gpsd at " + gpsd + " closed the connection");
  KeepReading(program, 4s);

  // And comes back: found again by itself.
  const auto restarted = TWallClock::now();
  fake = std::make_unique<TGpsFake>(kDrive, port, Path("gpsfake.log"));
  ASSERT_TRUE(fake->WaitReady()) << ReadFileBytes(Path("gpsfake.log"));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "gps: "); }));
  EXPECT_TRUE(StartsWith(program.Seen.back(), "gps: position back: ")) << program.Seen.back();
  EXPECT_TRUE(std::regex_match(program.Seen.back(), fixFrom)) << program.Seen.back();
  const size_t before = CountRows(Path("drive.csv"), Positioned);
  ASSERT_TRUE(RunUntil(program, [&] { return CountRows(Path("drive.csv"), Positioned) >= before + 4; }));
  program.Write("quit");
  ASSERT_EQ(program.Wait(), 0);
  for (const std::string& line : program.Seen) EXPECT_FALSE(StartsWith(line, "log: cannot")) << line;

  std::string error;
  const QJsonArray rows = ReadBack("csv", Path("drive.csv"), FDir, &error)["rows"].toArray();
  ASSERT_FALSE(rows.isEmpty()) << error;
  const auto drive = NmeaPositions(kDrive);
  int lastIndex = -1, firstPhase = 0, gap = 0, secondPhase = 0;
  bool reset = false;
  size_t positionedSamples = 0;
  for (const QJsonValue& value : rows) {
    const QJsonObject row = value.toObject();
    if (Text(row["kind"]) != "sample") continue;
    const TWallClock::time_point time = TimeOf(row);
    const std::optional<int> index = DriveIndex(row, drive);
    SCOPED_TRACE(Text(row["time"]));
    if (index) {
      ++positionedSamples;
      ASSERT_GE(*index, 0) << "a position that is not on the drive: " << Text(row["lat"]) << ", " << Text(row["lon"]);
      EXPECT_TRUE(Text(row["fix"]) == "3D" || Text(row["fix"]) == "2D") << Text(row["fix"]);
      EXPECT_EQ(Text(row["alt_m"]).empty(), Text(row["fix"]) == "2D");
    }
    if (time < stopped) {
      if (index) {
        EXPECT_GE(*index, lastIndex) << "positions out of the drive's order";
        firstPhase += *index > lastIndex;
        lastIndex = *index;
      }
    } else if (time > stopped + 2500ms && time < restarted) {
      // A fix older than 2 s is none; gpsd gone is none at once.
      EXPECT_FALSE(index) << "a position while gpsd was away";
      EXPECT_EQ(Text(row["fix"]), "none");
      ++gap;
    } else if (time > restarted && index) {
      if (!reset) lastIndex = -1, reset = true;  // gpsfake replays the drive from its start
      EXPECT_GE(*index, lastIndex) << "positions out of the drive's order";
      secondPhase += *index > lastIndex;
      lastIndex = *index;
    }
  }
  EXPECT_GE(firstPhase, 3) << "the drive moved on under the first gpsd";
  EXPECT_GE(gap, 2);
  EXPECT_GE(secondPhase, 2) << "the drive moved on under the second gpsd";

  // The maps: gpsbabel finds a point per sample with a position in each.
  for (const std::string& document : {Path("drive.gpx"), Path("drive.kml")}) {
    const TCommandResult lint = RunCommand({"xmllint", "--noout", document}, FDir);
    EXPECT_EQ(lint.Status, 0) << lint.Err;
  }
  const QJsonArray track = GpsbabelPoints("gpx", Path("drive.gpx"), FDir, &error)["rows"].toArray();
  EXPECT_EQ(track.size(), static_cast<qsizetype>(positionedSamples)) << error;
  const QJsonArray placemarks = GpsbabelPoints("kml", Path("drive.kml"), FDir, &error)["rows"].toArray();
  qsizetype points = 0;
  for (const QJsonValue& placemark : placemarks) points += Text(placemark.toObject()["Name"]).rfind("Sector ", 0) != 0;
  EXPECT_EQ(points, static_cast<qsizetype>(positionedSamples)) << error;
}

TEST_F(FieldLogProgram, ACrashLeavesACsvTheConverterTurnsIntoAGpx) {
  RequirePrograms({"gpsfake", "gpsbabel", "python3"});
  const int port = FreeLocalPort();
  TGpsFake fake(kDrive, port, Path("gpsfake.log"));
  ASSERT_TRUE(fake.WaitReady()) << ReadFileBytes(Path("gpsfake.log"));
  TProgram program({"--console", "--demo", "--gps", "127.0.0.1:" + std::to_string(port), "--log", Path("crash.csv")});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "gps: "); }));
  ASSERT_TRUE(RunUntil(program, [&] { return CountRows(Path("crash.csv"), Positioned) >= 5; }));
  program.Signal(SIGKILL);
  EXPECT_EQ(program.Wait(), -1);

  std::string error;
  const QJsonArray rows = ReadBack("csv", Path("crash.csv"), FDir, &error)["rows"].toArray();
  ASSERT_FALSE(rows.isEmpty()) << "every row written before the crash is whole: " << error;
  qsizetype positioned = 0;
  for (const QJsonValue& row : rows)
    positioned += Text(row.toObject()["kind"]) == "sample" && !Text(row.toObject()["lat"]).empty();

  const TCommandResult convert = RunCommand({CDMA_MONITOR, "--convert", Path("crash.csv"), Path("crash.gpx")}, FDir);
  ASSERT_EQ(convert.Status, 0) << convert.Err;
  EXPECT_NE(convert.Out.find(" to " + Path("crash.gpx") + "\n"), std::string::npos) << convert.Out;
  const QJsonArray track = GpsbabelPoints("gpx", Path("crash.gpx"), FDir, &error)["rows"].toArray();
  ASSERT_GE(positioned, 5);
  EXPECT_EQ(track.size(), positioned) << error;
}

TEST_F(FieldLogProgram, SectorAndLinkTypeChangesAndAnUnplugAreRowsInTheirPlaces) {
  RequirePrograms({"python3"});
  TProgram program({"--console", "--demo", "--demo-mode", "cycle", "--gps", ClosedPort()});
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }));
  program.Write("log " + Path("events.csv"));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "log: "); }));
  EXPECT_EQ(program.Seen.back(), "log: recording to " + Path("events.csv"));
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "gps: "); }));
  EXPECT_TRUE(StartsWith(program.Seen.back(), "gps: no position: no gpsd at 127.0.0.1:")) << program.Seen.back();

  const auto has = [&](const char* aKind, bool aWithFrom) {
    return CountRows(Path("events.csv"), [&](const auto& aRow) {
             return aRow.at("kind") == aKind && (!aWithFrom || !aRow.at("from").empty());
           }) > 0;
  };
  ASSERT_TRUE(RunUntil(program, [&] { return has("link_type_changed", true) && has("sector_changed", true); }));
  program.Write("unplug");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return l == "status: device not found."; }));
  KeepReading(program, 1500ms);
  program.Write("plug");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "status: COM"); }));
  ASSERT_TRUE(RunUntil(program, [&] { return has("modem_found", false) && CountRows(Path("events.csv"), [](const auto& r) {
                                                  return r.at("kind") == "sample";
                                                }) > 0; }));
  const size_t samples = CountRows(Path("events.csv"), [](const auto& r) { return r.at("kind") == "sample"; });
  ASSERT_TRUE(RunUntil(program, [&] {
    return CountRows(Path("events.csv"), [](const auto& r) { return r.at("kind") == "sample"; }) >= samples + 2;
  }));
  program.Write("log");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "log: "); }));
  EXPECT_TRUE(StartsWith(program.Seen.back(), "log: recording to " + Path("events.csv") + ": ")) << program.Seen.back();
  EXPECT_NE(program.Seen.back().find(" samples, gps: no gpsd"), std::string::npos) << program.Seen.back();
  program.Write("log stop");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "log: "); }));
  EXPECT_TRUE(StartsWith(program.Seen.back(), "log: stopped; ")) << program.Seen.back();
  program.Write("quit");
  EXPECT_EQ(program.Wait(), 0);

  std::string error;
  const QJsonArray read = ReadBack("csv", Path("events.csv"), FDir, &error)["rows"].toArray();
  ASSERT_FALSE(read.isEmpty()) << error;
  std::vector<QJsonObject> rows;
  for (const QJsonValue& row : read) rows.push_back(row.toObject());
  const auto sector = [](const QJsonObject& aRow) {
    return Text(aRow["cell"]) + "-" + Text(aRow["sector"]) + "/" + Text(aRow["pn"]);
  };
  // The sample before an event row and the one after it, by index; -1 for none.
  const auto neighbour = [&](size_t aAt, int aStep) {
    for (int i = static_cast<int>(aAt) + aStep; i >= 0 && i < static_cast<int>(rows.size()); i += aStep)
      if (Text(rows[static_cast<size_t>(i)]["kind"]) == "sample") return i;
    return -1;
  };
  int linkChanges = 0, sectorChanges = 0, lost = 0, found = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const QJsonObject& row = rows[i];
    const std::string kind = Text(row["kind"]);
    SCOPED_TRACE(kind + " at " + Text(row["time"]));
    const int before = neighbour(i, -1), after = neighbour(i, +1);
    if (kind == "link_type_changed") {
      ++linkChanges;
      ASSERT_TRUE(before >= 0 && after >= 0);
      EXPECT_EQ(Text(rows[static_cast<size_t>(before)]["link_type"]), Text(row["from"]));
      EXPECT_EQ(Text(rows[static_cast<size_t>(after)]["link_type"]), Text(row["to"]));
    } else if (kind == "sector_changed" && !Text(row["from"]).empty()) {
      ++sectorChanges;
      ASSERT_TRUE(before >= 0 && after >= 0);
      // The cycle may read the new sector just before its message is handled.
      EXPECT_EQ(sector(rows[static_cast<size_t>(after)]), Text(row["to"]));
      const std::string previous = sector(rows[static_cast<size_t>(before)]);
      EXPECT_TRUE(previous == Text(row["from"]) || previous == Text(row["to"])) << previous;
    } else if (kind == "modem_lost") {
      ++lost;
      EXPECT_TRUE(StartsWith(Text(row["text"]), "COM")) << Text(row["text"]);
      ASSERT_GE(before, 0);
      EXPECT_EQ(Text(rows[static_cast<size_t>(before)]["present"]), "1");
      // Nothing is polled until the modem is found again.
      for (size_t j = i + 1; j < rows.size() && Text(rows[j]["kind"]) != "modem_found"; ++j)
        EXPECT_NE(Text(rows[j]["present"]), "1") << Text(rows[j]["time"]);
    } else if (kind == "modem_found") {
      ++found;
      ASSERT_GE(after, 0);
      EXPECT_EQ(Text(rows[static_cast<size_t>(after)]["present"]), "1");
    }
  }
  EXPECT_GE(linkChanges, 1);
  EXPECT_GE(sectorChanges, 1);
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(found, 1) << "the modem found after the plug (the first was before the log)";
}

TEST_F(FieldLogProgram, AFullDiskIsSaidOnceAFileTheMonitorGoesOnAndTheRowsWrittenStayWhole) {
  RequirePrograms({"python3"});
  // A limit on file sizes stands for the full disk: the writes beyond it fail.
  constexpr rlim_t kLimit = 2500;
  TProgram program({"--console", "--demo", "--gps", ClosedPort(), "--log", Path("full.csv"), "--log", Path("full.jsonl")},
                   [] {
                     const rlimit limit{kLimit, kLimit};
                     setrlimit(RLIMIT_FSIZE, &limit);
                   });
  const auto failed = [](const std::string& l) { return StartsWith(l, "log: cannot write "); };
  ASSERT_TRUE(program.ReadUntil(failed));
  EXPECT_EQ(program.Seen.back(), "log: cannot write " + Path("full.jsonl") + ": File too large; that file stays as it is");
  ASSERT_TRUE(program.ReadUntil(failed));
  EXPECT_EQ(program.Seen.back(), "log: cannot write " + Path("full.csv") + ": File too large; recording stopped");
  // The monitor goes on.
  for (int cycles = 0; cycles < 3;) cycles += program.ReadUntil([](const std::string& l) { return StartsWith(l, "RX: "); }) ? 1 : 100;
  program.Write("log");
  ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "log: "); }));
  EXPECT_TRUE(StartsWith(program.Seen.back(), "log: stopped by an error: ")) << program.Seen.back();
  program.Write("quit");
  EXPECT_EQ(program.Wait(), 0);
  size_t messages = 0;
  for (const std::string& line : program.Seen) messages += failed(line);
  EXPECT_EQ(messages, 2u) << "one message a file";

  std::string error;
  const QJsonArray csv = ReadBack("csv", Path("full.csv"), FDir, &error)["rows"].toArray();
  EXPECT_GE(csv.size(), 5) << error;
  const QJsonArray jsonl = ReadBack("jsonl", Path("full.jsonl"), FDir, &error)["rows"].toArray();
  EXPECT_GE(jsonl.size(), 3) << error;
  EXPECT_LE(ReadFileBytes(Path("full.csv")).size(), kLimit);
}

TEST_F(FieldLogProgram, APathInUseIsKeptAndADirectoryThatCannotBeWrittenEndsTheStart) {
  WriteFileBytes(Path("taken.csv"), "an earlier drive\n");
  WriteFileBytes(Path("elsewhere.txt"), "not a log\n");
  ASSERT_EQ(::mkdir(Path("folder.gpx").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(Path("elsewhere.txt").c_str(), Path("link.kml").c_str()), 0);
  {
    TProgram program({"--console", "--demo", "--gps", ClosedPort(), "--log", Path("taken.csv"), "--log",
                      Path("folder.gpx"), "--log", Path("link.kml")});
    ASSERT_TRUE(program.ReadUntil([](const std::string& l) { return StartsWith(l, "log: recording to "); }));
    program.Write("quit");
    EXPECT_EQ(program.Wait(), 0);
    const std::vector<std::string> expected = {
        "log: " + Path("taken.csv") + " exists (a file); writing " + Path("taken-1.csv"),
        "log: " + Path("folder.gpx") + " exists (a directory); writing " + Path("folder-1.gpx"),
        "log: " + Path("link.kml") + " exists (a symbolic link to " + Path("elsewhere.txt") + "); writing " +
            Path("link-1.kml"),
        "log: recording to " + Path("taken-1.csv") + ", " + Path("folder-1.gpx") + ", " + Path("link-1.kml"),
    };
    EXPECT_EQ(std::vector<std::string>(program.Seen.begin(), program.Seen.begin() + 4), expected);
  }
  EXPECT_EQ(ReadFileBytes(Path("taken.csv")), "an earlier drive\n");
  EXPECT_EQ(ReadFileBytes(Path("elsewhere.txt")), "not a log\n");
  EXPECT_EQ(ReadFileBytes(Path("taken-1.csv")).rfind("time,kind,", 0), 0u);

  // A directory that is not there: said on standard error, status 2, and no modem searched.
  const std::string errors = Path("stderr.txt");
  TProgram refused({"--console", "--demo", "--log", Path("missing/drive.csv")}, [&errors] {
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
  });
  EXPECT_EQ(refused.Wait(), 2);
  EXPECT_EQ(ReadFileBytes(errors),
            "cdma-monitor: cannot create " + Path("missing/drive.csv") + ": No such file or directory\n");
  EXPECT_TRUE(refused.Seen.empty()) << refused.Seen.front();
}

}  // namespace
