// The field log's shared forms: times, numbers and texts of a row, the CSV reader, the RX bands,
// gpsd addresses and fixes, and the files made under free names.
#include <fcntl.h>
#include <gps.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../stats/TestSupport.h"
#include "record/CsvFormat.h"
#include "record/LogFile.h"
#include "record/LogRow.h"
#include "record/LogWriters.h"
#include "record/PositionSource.h"

namespace {

using namespace std::chrono_literals;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TWallClock::time_point At(int64_t aMilliseconds) { return TWallClock::time_point(std::chrono::milliseconds(aMilliseconds)); }

TLogRow SampleRow(float aRx, bool aPresent = true, bool aNoData = false) {
  TCycleSample sample;
  sample.Time = At(1715679000123);
  sample.LinkType = "Rev.A";
  sample.Rx = aRx;
  sample.Present = aPresent;
  sample.NoData = aNoData;
  return TLogRow{sample, {}};
}

TEST(LogTimes, UtcWithMillisecondsBothWays) {
  struct TCase {
    int64_t Ms;
    const char* Text;
  } const cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1715679000123, "2024-05-14T09:30:00.123Z"},
      {951782400999, "2000-02-29T00:00:00.999Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(FormatLogTime(At(c.Ms)), c.Text);
    EXPECT_EQ(ParseLogTime(c.Text), At(c.Ms)) << c.Text;
  }
  // gpsd's and other writers' forms: no fraction, or more digits than milliseconds.
  EXPECT_EQ(ParseLogTime("2024-05-14T09:30:00Z"), At(1715679000000));
  EXPECT_EQ(ParseLogTime("2024-05-14T09:30:00.5Z"), At(1715679000500));
  EXPECT_EQ(ParseLogTime("2024-05-14T09:30:00.123456Z"), At(1715679000123) + 456us);
  for (const char* bad : {"", "2024-05-14 09:30:00.123Z", "2024-05-14T09:30:00.123", "2024-13-14T09:30:00Z",
                          "2024-05-14T09:30:00.Z", "2024-05-14T09:30:00.1234567890Z", "2024-05-14T09:30:00ZZ",
                          "24-05-14T09:30:00Z"})
    EXPECT_FALSE(ParseLogTime(bad)) << bad;
}

TEST(LogRows, TextsAreMadeValidUtf8WithoutWhatXmlCannotCarry) {
  struct TCase {
    std::string In, Out;
  } const cases[] = {
      {"plain, \"quoted\"\r\n\ttab", "plain, \"quoted\"\r\n\ttab"},
      {"Zürich → 2276-3/276 😀", "Zürich → 2276-3/276 😀"},
      {std::string("nul\0bell\a", 9), "nul\uFFFDbell\uFFFD"},
      {"\xFF\xFE", "\uFFFD\uFFFD"},
      {"cut \xE2\x86", "cut \uFFFD\uFFFD"},
      {"overlong \xC0\xAF", "overlong \uFFFD\uFFFD"},
      {"surrogate \xED\xA0\x80", "surrogate \uFFFD\uFFFD\uFFFD"},
      {"not a character \xEF\xBF\xBE", "not a character \uFFFD\uFFFD\uFFFD"},
  };
  for (const TCase& c : cases) {
    TMonitorEvent event;
    event.Kind = TMonitorEventKind::DialupState;
    event.Text = c.In;
    const TLogRow clean = CleanLogRow(TLogRow{event, {}});
    EXPECT_EQ(clean.Event()->Text, c.Out) << c.In;
  }
}

TEST(LogRows, APositionOfNumbersThatAreNoneIsNoPosition) {
  TPosition position;
  position.Mode = TFixMode::Fix3D;
  position.Latitude = 52.5;
  position.Longitude = 13.4;
  position.AltitudeM = kNaN;
  position.SpeedMps = 3;
  TLogRow good = CleanLogRow(SampleRow(-80));
  good.Position = position;
  const TLogRow clean = CleanLogRow(good);
  EXPECT_TRUE(clean.Position.Known());
  EXPECT_FALSE(clean.Position.AltitudeM);
  EXPECT_EQ(clean.Position.SpeedMps, 3.0);
  for (const double latitude : {kNaN, kInf, -90.5}) {
    TLogRow bad = good;
    bad.Position.Latitude = latitude;
    EXPECT_FALSE(CleanLogRow(bad).Position.Known()) << latitude;
  }
  TLogRow nanRx = SampleRow(static_cast<float>(kNaN));
  EXPECT_EQ(LogRowValues(nanRx)[ColumnIndex(TLogColumn::Rx)].Type, TLogValueType::Absent);
}

TEST(LogRows, EveryRowComesBackFromItsCsvLine) {
  TCycleSample sample;
  sample.Time = At(1715679000123);
  sample.LinkType = "Rev.B+";
  sample.Rx = -85.4f;
  sample.Tx = -60.39f;
  sample.Drc = 2457.6f;
  sample.Cell = 2276;
  sample.Sector = 3;
  sample.Pn = 276;
  sample.UpKbps = 153;
  sample.DownKbps = 3072;
  sample.Icon = 4;
  sample.Sleeping = true;
  sample.Present = true;
  sample.NoData = false;
  TPosition position;
  position.Mode = TFixMode::Fix3D;
  position.Latitude = -33.8567844;
  position.Longitude = 151.2152967;
  position.AltitudeM = -12.5;
  position.HorizontalErrorM = 4.25;
  position.SpeedMps = 0;
  position.CourseDeg = 359.9;
  position.FixTime = At(1715678999000);
  TMonitorEvent ping;
  ping.Kind = TMonitorEventKind::PingReply;
  ping.Time = At(1715679000500);
  ping.Text = "Reply from 10.0.0.1: bytes=32 time=41ms, \"ok\"\nnext";
  ping.RoundTripMs = 41;
  TMonitorEvent sector;
  sector.Kind = TMonitorEventKind::SectorChanged;
  sector.Time = At(1715679000600);
  sector.From = "2276-2/12";
  sector.To = "2276-3/276";
  TPosition twoD;
  twoD.Mode = TFixMode::Fix2D;
  twoD.Latitude = 1;
  twoD.Longitude = -1;
  TCycleSample absent;
  absent.Time = At(1715679001000);
  absent.Icon = 6;
  absent.Present = false;
  const std::vector<TLogRow> rows = {{sample, position}, {ping, {}}, {sector, twoD}, {absent, {}}};

  for (const TLogRow& row : rows) {
    const TLogValues values = LogRowValues(row);
    std::string line;
    for (size_t i = 0; i < values.size(); ++i) line += (i > 0 ? "," : "") + CsvField(values[i].Text);
    TCsvReader reader;
    reader.Feed(line + "\r\n");
    const auto record = reader.Next();
    ASSERT_TRUE(record);
    ASSERT_EQ(record->size(), kLogColumns.size());
    TLogTexts texts;
    for (size_t i = 0; i < texts.size(); ++i)
      if (!(*record)[i].empty()) texts[i] = (*record)[i];
    const std::optional<TLogRow> back = ParseLogRow(texts);
    ASSERT_TRUE(back) << line;
    const TLogValues again = LogRowValues(*back);
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(again[i].Text, values[i].Text) << kLogColumns[i] << " of " << line;
  }
  const TLogValues sampleValues = LogRowValues(rows[0]);
  const auto text = [&](TLogColumn aColumn) { return sampleValues[ColumnIndex(aColumn)].Text; };
  EXPECT_EQ(text(TLogColumn::Rx), "-85.4");
  EXPECT_EQ(text(TLogColumn::Tx), "-60.39");
  EXPECT_EQ(text(TLogColumn::Lat), "-33.8567844");
  EXPECT_EQ(text(TLogColumn::Fix), "3D");
  EXPECT_EQ(text(TLogColumn::FixTime), "2024-05-14T09:29:59.000Z");
  // Without a modem only the icon and the absence are recorded.
  const TLogValues absentValues = LogRowValues(rows[3]);
  EXPECT_EQ(absentValues[ColumnIndex(TLogColumn::Rx)].Type, TLogValueType::Absent);
  EXPECT_EQ(absentValues[ColumnIndex(TLogColumn::Present)].Text, "0");
  EXPECT_EQ(absentValues[ColumnIndex(TLogColumn::Fix)].Text, "none");
}

TEST(LogRows, RowsWithoutATimeOrAKnownKindAreNotRead) {
  TLogTexts texts;
  texts[ColumnIndex(TLogColumn::Kind)] = "sample";
  EXPECT_FALSE(ParseLogRow(texts));
  texts[ColumnIndex(TLogColumn::Time)] = "2024-05-14T09:30:00.000Z";
  EXPECT_TRUE(ParseLogRow(texts));
  texts[ColumnIndex(TLogColumn::Kind)] = "coffee_break";
  EXPECT_FALSE(ParseLogRow(texts));
  // A position that cannot be is no position.
  texts[ColumnIndex(TLogColumn::Kind)] = "sample";
  texts[ColumnIndex(TLogColumn::Fix)] = "3D";
  texts[ColumnIndex(TLogColumn::Lat)] = "91";
  texts[ColumnIndex(TLogColumn::Lon)] = "10";
  EXPECT_FALSE(ParseLogRow(texts)->Position.Known());
  texts[ColumnIndex(TLogColumn::Lat)] = "nan";
  EXPECT_FALSE(ParseLogRow(texts)->Position.Known());
}

TEST(CsvReader, QuotedFieldsAndLineEndsComeBackWhereverTheTextIsCut) {
  const std::vector<std::vector<std::string>> records = {
      {"time", "kind", "text"},
      {"a,b", "\"quoted\"", "line\r\nbreak and\nLF"},
      {"", "", ""},
      {"trailing ", " leading", "ü→"},
  };
  std::string text;
  for (const auto& record : records) {
    for (size_t i = 0; i < record.size(); ++i) text += (i > 0 ? "," : "") + CsvField(record[i]);
    text += "\r\n";
  }
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("plain"), "plain");
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    TCsvReader reader;
    std::vector<std::vector<std::string>> read;
    reader.Feed(std::string_view(text).substr(0, cut));
    while (auto record = reader.Next()) read.push_back(*record);
    reader.Feed(std::string_view(text).substr(cut));
    while (auto record = reader.Next()) read.push_back(*record);
    EXPECT_EQ(read, records) << "cut at " << cut;
    EXPECT_FALSE(reader.HasIncompleteRecord());
  }
  // A record the end of the file cut off is told, not taken.
  TCsvReader cutOff;
  cutOff.Feed("a,b\r\nc,\"d");
  EXPECT_TRUE(cutOff.Next());
  EXPECT_FALSE(cutOff.Next());
  EXPECT_TRUE(cutOff.HasIncompleteRecord());
}

TEST(RxBands, TheThirdsOfTheRxChartWithoutAReadingAsBad) {
  struct TCase {
    float Rx;
    TRxBand Band;
  } const cases[] = {
      {-35.0f, TRxBand::Excellent},  // level 20
      {-75.0f, TRxBand::Excellent},  // level 16
      {-85.4f, TRxBand::Excellent},  // level 14, drawn at 13.6: just inside the top third
      {-88.0f, TRxBand::Good},       // level 12
      {-92.5f, TRxBand::Good},       // level 10, drawn at 9.5
      {-94.0f, TRxBand::Bad},        // level 6
      {-98.5f, TRxBand::Bad},        // level 1
      {-29.5f, TRxBand::Bad},        // off the scale (drawn at -0.5)
      {-101.2f, TRxBand::Bad},       // outside the feed's range
  };
  for (const TCase& c : cases) EXPECT_EQ(RxBandOf(*SampleRow(c.Rx).Sample()), c.Band) << c.Rx;
  EXPECT_EQ(RxBandOf(*SampleRow(-60, true, true).Sample()), TRxBand::Bad) << "no link data";
  EXPECT_EQ(RxBandOf(*SampleRow(-60, false).Sample()), TRxBand::Bad) << "no modem";
  EXPECT_EQ(RxBandCaption(TRxBand::Excellent), "Excelent.");
}

TEST(GpsdAddresses, HostAndPortOrTheDefaults) {
  struct TCase {
    const char* Text;
    const char* Host;
    const char* Port;
  } const good[] = {
      {"localhost", "localhost", "2947"},       {"127.0.0.1:29470", "127.0.0.1", "29470"},
      {"[::1]:2948", "::1", "2948"},            {"[fe80::1]", "fe80::1", "2947"},
      {"gps.example:65535", "gps.example", "65535"},
  };
  for (const TCase& c : good) {
    const auto address = ParseGpsdAddress(c.Text);
    ASSERT_TRUE(address) << c.Text;
    EXPECT_EQ(address->Host, c.Host);
    EXPECT_EQ(address->Port, c.Port);
  }
  EXPECT_EQ(ParseGpsdAddress("[::1]:2948")->Text(), "[::1]:2948");
  for (const char* bad : {"", ":2947", "host:", "host:0", "host:65536", "host:12x", "::1:2947", "[::1", "[::1]2947"})
    EXPECT_FALSE(ParseGpsdAddress(bad)) << bad;
}

TEST(GpsdFixes, FieldsThatAreNoNumbersInTheirRangeAreLeftOut) {
  const auto fix = [] {
    gps_fix_t f{};
    gps_clear_fix(&f);  // every number NaN, as libgps leaves what a report lacks
    f.mode = MODE_3D;
    f.latitude = 52.52;
    f.longitude = 13.405;
    f.altMSL = 34.5;
    f.eph = 4.5;
    f.speed = 11.1;
    f.track = 19.6;
    f.time.tv_sec = 1715679000;
    f.time.tv_nsec = 250000000;
    return f;
  };
  const TPosition full = PositionOfFix(fix());
  EXPECT_EQ(full.Mode, TFixMode::Fix3D);
  EXPECT_EQ(full.AltitudeM, 34.5);
  EXPECT_EQ(full.HorizontalErrorM, 4.5);
  EXPECT_EQ(full.SpeedMps, 11.1);
  EXPECT_EQ(full.CourseDeg, 19.6);
  EXPECT_EQ(full.FixTime, At(1715679000250));

  struct TCase {
    const char* What;
    void (*Damage)(gps_fix_t&);
    bool Known;
  } const cases[] = {
      {"no fix", [](gps_fix_t& f) { f.mode = MODE_NO_FIX; }, false},
      {"mode never seen", [](gps_fix_t& f) { f.mode = MODE_NOT_SEEN; }, false},
      {"mode out of range", [](gps_fix_t& f) { f.mode = 7; }, false},
      {"latitude NaN", [](gps_fix_t& f) { f.latitude = kNaN; }, false},
      {"longitude infinite", [](gps_fix_t& f) { f.longitude = kInf; }, false},
      {"latitude beyond the pole", [](gps_fix_t& f) { f.latitude = 90.5; }, false},
      {"altitude NaN", [](gps_fix_t& f) { f.altMSL = kNaN; }, true},
      {"error NaN", [](gps_fix_t& f) { f.eph = kNaN; }, true},
      {"speed negative", [](gps_fix_t& f) { f.speed = -1; }, true},
      {"course beyond a turn", [](gps_fix_t& f) { f.track = 400; }, true},
      {"no time", [](gps_fix_t& f) { f.time = {}; }, true},
  };
  for (const TCase& c : cases) {
    gps_fix_t damaged = fix();
    c.Damage(damaged);
    const TPosition position = PositionOfFix(damaged);
    EXPECT_EQ(position.Known(), c.Known) << c.What;
    if (!position.Known()) continue;
    for (const std::optional<double>& value :
         {position.AltitudeM, position.HorizontalErrorM, position.SpeedMps, position.CourseDeg})
      EXPECT_TRUE(!value || std::isfinite(*value)) << c.What;
  }
  gps_fix_t noAltitude = fix();
  noAltitude.altMSL = kNaN;
  EXPECT_FALSE(PositionOfFix(noAltitude).AltitudeM);
  gps_fix_t noEph = fix();
  noEph.eph = kNaN;
  noEph.epx = 3;
  noEph.epy = 4;
  EXPECT_EQ(PositionOfFix(noEph).HorizontalErrorM, 5.0) << "from the two axes' errors";
  gps_fix_t twoD = fix();
  twoD.mode = MODE_2D;
  EXPECT_EQ(PositionOfFix(twoD).Mode, TFixMode::Fix2D);
  EXPECT_FALSE(PositionOfFix(twoD).AltitudeM) << "a 2D fix has no height";
}

TEST(FreshFiles, WhatHasTheNameIsKeptAndANumberedNameUsed) {
  TScratchDir dir;
  const std::string base = dir.Path() + "/";
  WriteFileBytes(base + "taken.csv", "earlier log\n");
  WriteFileBytes(base + "elsewhere.txt", "not ours\n");
  ::mkdir((base + "folder.csv").c_str(), 0700);
  ASSERT_EQ(::symlink((base + "elsewhere.txt").c_str(), (base + "link.csv").c_str()), 0);
  ASSERT_EQ(::symlink((base + "nowhere").c_str(), (base + "dangling.gpx").c_str()), 0);
  WriteFileBytes(base + "twice.kml", "1");
  WriteFileBytes(base + "twice-1.kml", "2");

  struct TCase {
    const char* Asked;
    const char* Made;
    const char* Said;  // part of the note; empty: none
  } const cases[] = {
      {"new.csv", "new.csv", ""},
      {"taken.csv", "taken-1.csv", "taken.csv exists (a file); writing "},
      {"folder.csv", "folder-1.csv", "(a directory)"},
      {"link.csv", "link-1.csv", "(a symbolic link to "},
      {"dangling.gpx", "dangling-1.gpx", "(a symbolic link to "},
      {"twice.kml", "twice-2.kml", "(a file)"},
      {"no-extension", "no-extension", ""},
  };
  for (const TCase& c : cases) {
    TFreshFile file = CreateFreshFile(base + c.Asked);
    EXPECT_EQ(file.Path, base + c.Made);
    EXPECT_NE(file.Note.find(c.Said), std::string::npos) << file.Note;
    EXPECT_EQ(file.Note.empty(), std::string(c.Said).empty()) << file.Note;
    struct stat info {};
    ASSERT_EQ(::lstat(file.Path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
  }
  EXPECT_EQ(ReadFileBytes(base + "taken.csv"), "earlier log\n");
  EXPECT_EQ(ReadFileBytes(base + "elsewhere.txt"), "not ours\n");
  EXPECT_FALSE(PathExists(base + "nowhere")) << "a dangling link is not followed";

  // A directory that cannot take the file: the system's reason, nothing made.
  WriteFileBytes(base + "plain", "x");
  for (const std::string& path : {base + "missing/out.csv", base + "plain/out.csv"}) {
    try {
      CreateFreshFile(path);
      ADD_FAILURE() << path;
    } catch (const ELogFileError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("cannot create " + path + ": ", 0), 0u) << e.what();
    }
  }
}

TEST(FreshFiles, AFullDiskIsAnErrorWithTheSystemsText) {
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  try {
    CreateCsvLogWriter(TFreshFile{TFileHandle(full), "/dev/full", {}});
    ADD_FAILURE() << "the header went to a full disk";
  } catch (const ELogFileError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot write /dev/full: No space left on device");
  }
}

TEST(LogFormats, TheExtensionChoosesInAnyCase) {
  EXPECT_EQ(LogFormatOfPath("drive.csv"), TLogFormat::Csv);
  EXPECT_EQ(LogFormatOfPath("/x/drive.JSONL"), TLogFormat::JsonLines);
  EXPECT_EQ(LogFormatOfPath("a.b/drive.Gpx"), TLogFormat::Gpx);
  EXPECT_EQ(LogFormatOfPath("drive.kml"), TLogFormat::Kml);
  for (const char* other : {"drive.txt", "drive", ".csv", "dir.csv/", "drive.csv.bak", "drive.kmz"})
    EXPECT_FALSE(LogFormatOfPath(other)) << other;
}

}  // namespace
