// The four writers on one table of rows, each file read back by a program of its own kind:
// Python's csv and json modules, gpsbabel for GPX and KML, xmllint; the converter's documents
// against the writers' own; a GPX document whole on disk when its disk fills.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>

#include "RecordTestSupport.h"
#include "record/LogConverter.h"
#include "record/LogWriters.h"

namespace {

using namespace record_test;

TWallClock::time_point At(int aHalfSeconds) {
  return TWallClock::time_point(std::chrono::milliseconds(1715679000000LL + aHalfSeconds * 500LL + 7));
}

TPosition Fix3D(double aLat, double aLon, std::optional<double> aAlt = 34.5) {
  TPosition p;
  p.Mode = TFixMode::Fix3D;
  p.Latitude = aLat;
  p.Longitude = aLon;
  p.AltitudeM = aAlt;
  p.HorizontalErrorM = 3.2;
  p.SpeedMps = 11.1;
  p.CourseDeg = 19.6;
  p.FixTime = TWallClock::time_point(std::chrono::seconds(1715679000));
  return p;
}

TCycleSample Sample(int aAt, const char* aLinkType, float aRx, bool aNoData = false) {
  TCycleSample s;
  s.Time = At(aAt);
  s.LinkType = aLinkType;
  s.Rx = aRx;
  s.Tx = aNoData ? -60.39f : 2.5f;
  s.Drc = 1228.8f;
  s.Cell = 2276;
  s.Sector = 3;
  s.Pn = 276;
  s.UpKbps = 153;
  s.DownKbps = 921;
  s.Icon = 4;
  s.Present = true;
  s.NoData = aNoData;
  return s;
}

TMonitorEvent Event(int aAt, TMonitorEventKind aKind, std::string aText, std::string aFrom = {}, std::string aTo = {}) {
  TMonitorEvent e;
  e.Kind = aKind;
  e.Time = At(aAt);
  e.Text = std::move(aText);
  e.From = std::move(aFrom);
  e.To = std::move(aTo);
  return e;
}

// A row and what every reader must find in it.
struct TCase {
  TLogRow Row;
  const char* Kind;
  const char* Time;
  const char* Text;  // the text column after writing (invalid bytes replaced)
  const char* Lat;   // "" without a position
  const char* Lon;
  const char* Alt;
  const char* PointName;  // the KML point's name; "" for none
};

std::vector<TCase> Table() {
  TCycleSample absent;
  absent.Time = At(8);
  absent.Icon = 6;
  TMonitorEvent ping = Event(6, TMonitorEventKind::PingReply, "Reply from 10.0.0.1: bytes=32 time=41ms TTL=64");
  ping.RoundTripMs = 41;
  TPosition twoD;
  twoD.Mode = TFixMode::Fix2D;
  twoD.Latitude = 52.5201;
  twoD.Longitude = 13.40505;
  return {
      {{Sample(0, "Rev.A", -75.5f), Fix3D(52.52, 13.405)},
       "sample", "2024-05-14T09:30:00.007Z", "", "52.5200000", "13.4050000", "34.50", "09:30:00.007"},
      {{Event(1, TMonitorEventKind::DialupState, "Connecting to \"Demo, Inc.\"\r\n<done> & 100%"), Fix3D(52.52, 13.405)},
       "dialup_state", "2024-05-14T09:30:00.507Z", "Connecting to \"Demo, Inc.\"\r\n<done> & 100%", "52.5200000",
       "13.4050000", "34.50", ""},
      {{Sample(2, "1x", -100, true), twoD},
       "sample", "2024-05-14T09:30:01.007Z", "", "52.5201000", "13.4050500", "", "09:30:01.007"},
      {{Sample(3, "Rev.A", -80), {}}, "sample", "2024-05-14T09:30:01.507Z", "", "", "", "", ""},
      {{Event(4, TMonitorEventKind::SectorChanged, "", "2276-2/12", "2276-3/276"), Fix3D(52.5203, 13.4051)},
       "sector_changed", "2024-05-14T09:30:02.007Z", "", "52.5203000", "13.4051000", "34.50", "Sector 2276-3/276"},
      {{Sample(5, "Rev.B", -88), Fix3D(52.5204, 13.4052, 35)},
       "sample", "2024-05-14T09:30:02.507Z", "", "52.5204000", "13.4052000", "35.00", "09:30:02.507"},
      {{ping, {}}, "ping_reply", "2024-05-14T09:30:03.007Z", "Reply from 10.0.0.1: bytes=32 time=41ms TTL=64", "", "",
       "", ""},
      {{Event(7, TMonitorEventKind::ModemFound, "COM3    Modem ü→ (/dev/ttyUSB1)\x01\xFF]]>"), {}},
       "modem_found", "2024-05-14T09:30:03.507Z", "COM3    Modem ü→ (/dev/ttyUSB1)\uFFFD\uFFFD]]>", "", "", "", ""},
      {{absent, Fix3D(52.5205, 13.4053)},
       "sample", "2024-05-14T09:30:04.007Z", "", "52.5205000", "13.4053000", "34.50", "09:30:04.007"},
      {{Event(9, TMonitorEventKind::LinkTypeChanged, "", "Rev.A", "Rev.B"), {}},
       "link_type_changed", "2024-05-14T09:30:04.507Z", "", "", "", "", ""},
      {{Event(10, TMonitorEventKind::PingLoss, "Request timed out."), {}},
       "ping_loss", "2024-05-14T09:30:05.007Z", "Request timed out.", "", "", "", ""},
      {{Sample(11, "Rev.A", -95.5f), Fix3D(-33.8567844, -151.2152967, -2.25)},
       "sample", "2024-05-14T09:30:05.507Z", "", "-33.8567844", "-151.2152967", "-2.25", "09:30:05.507"},
  };
}

std::string WriteWith(TLogFormat aFormat, const std::string& aPath, const std::vector<TCase>& aTable) {
  std::unique_ptr<TLogWriter> writer = CreateLogWriter(CreateFreshFile(aPath), aFormat);
  for (const TCase& c : aTable) writer->Write(CleanLogRow(c.Row));
  writer->Close();
  return writer->Path();
}

bool Near(const std::string& aText, const std::string& aExpected, double aTolerance) {
  if (aText.empty() || aExpected.empty()) return aText == aExpected;
  return std::abs(std::stod(aText) - std::stod(aExpected)) <= aTolerance;
}

class LogReadBack : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* program : {"python3", "gpsbabel", "xmllint"})
      if (!HaveProgram(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
  }
  TScratchDir FDir;
  const std::vector<TCase> FTable = Table();
};

TEST_F(LogReadBack, PythonReadsTheCsvAndTheJsonLinesToTheSameRows) {
  const std::string csv = WriteWith(TLogFormat::Csv, FDir.Path() + "/log.csv", FTable);
  const std::string jsonl = WriteWith(TLogFormat::JsonLines, FDir.Path() + "/log.jsonl", FTable);
  std::string error;
  const QJsonObject fromCsv = ReadBack("csv", csv, FDir, &error);
  ASSERT_FALSE(fromCsv.isEmpty()) << error;
  const QJsonObject fromJson = ReadBack("jsonl", jsonl, FDir, &error);
  ASSERT_FALSE(fromJson.isEmpty()) << error;

  const QJsonArray header = fromCsv["header"].toArray();
  ASSERT_EQ(header.size(), static_cast<qsizetype>(kLogColumns.size()));
  for (size_t i = 0; i < kLogColumns.size(); ++i) EXPECT_EQ(Text(header[static_cast<qsizetype>(i)]), kLogColumns[i]);
  const QJsonArray csvRows = fromCsv["rows"].toArray();
  const QJsonArray jsonRows = fromJson["rows"].toArray();
  ASSERT_EQ(csvRows.size(), static_cast<qsizetype>(FTable.size()));
  ASSERT_EQ(jsonRows.size(), static_cast<qsizetype>(FTable.size()));
  for (size_t i = 0; i < FTable.size(); ++i) {
    const TCase& c = FTable[i];
    const QJsonObject r = csvRows[static_cast<qsizetype>(i)].toObject();
    const QJsonObject j = jsonRows[static_cast<qsizetype>(i)].toObject();
    SCOPED_TRACE(std::string("row ") + std::to_string(i) + " " + c.Kind);
    EXPECT_EQ(Text(r["kind"]), c.Kind);
    EXPECT_EQ(Text(j["kind"]), c.Kind);
    EXPECT_EQ(Text(r["time"]), c.Time);
    EXPECT_EQ(Text(j["time"]), c.Time);
    EXPECT_EQ(Text(r["text"]), c.Text);
    EXPECT_EQ(Text(j["text"]), c.Text);
    EXPECT_EQ(Text(r["lat"]), c.Lat);
    EXPECT_EQ(Text(r["lon"]), c.Lon);
    EXPECT_EQ(Text(r["alt_m"]), c.Alt);
    EXPECT_EQ(j.contains("lat"), *c.Lat != 0);
    if (*c.Lat) {
      EXPECT_NEAR(j["lat"].toDouble(), std::stod(c.Lat), 1e-9);
      EXPECT_NEAR(j["lon"].toDouble(), std::stod(c.Lon), 1e-9);
    }
    EXPECT_EQ(Text(r["fix"]), Text(j["fix"]));
    if (const TCycleSample* s = c.Row.Sample(); s && s->Present) {
      EXPECT_TRUE(j["rx_dbm"].isDouble());
      EXPECT_FLOAT_EQ(static_cast<float>(j["rx_dbm"].toDouble()), s->Rx);
      EXPECT_FLOAT_EQ(std::stof(Text(r["rx_dbm"])), s->Rx);
      EXPECT_EQ(j["no_data"].toBool(), s->NoData);
      EXPECT_EQ(Text(r["no_data"]), s->NoData ? "1" : "0");
      EXPECT_EQ(j["present"], QJsonValue(true));
      EXPECT_EQ(j["cell"].toInt(), 2276);
    }
  }
  // What only some rows carry.
  EXPECT_EQ(Text(csvRows[4].toObject()["from"]), "2276-2/12");
  EXPECT_EQ(Text(jsonRows[4].toObject()["to"]), "2276-3/276");
  EXPECT_EQ(jsonRows[6].toObject()["rtt_ms"].toInt(), 41);
  EXPECT_EQ(Text(csvRows[8].toObject()["present"]), "0");
  EXPECT_FALSE(jsonRows[8].toObject().contains("rx_dbm")) << "no modem, no figures";
  EXPECT_EQ(Text(csvRows[2].toObject()["fix"]), "2D");
  EXPECT_EQ(Text(csvRows[3].toObject()["fix"]), "none");
  EXPECT_EQ(Text(csvRows[0].toObject()["fix_time"]), "2024-05-14T09:30:00.000Z");
  EXPECT_EQ(Text(csvRows[0].toObject()["speed_mps"]), "11.10");
}

TEST_F(LogReadBack, GpsbabelReadsTheGpxAndTheKmlToTheSamePoints) {
  const std::string gpx = WriteWith(TLogFormat::Gpx, FDir.Path() + "/log.gpx", FTable);
  const std::string kml = WriteWith(TLogFormat::Kml, FDir.Path() + "/log.kml", FTable);
  for (const std::string& path : {gpx, kml}) {
    const TCommandResult lint = RunCommand({"xmllint", "--noout", path}, FDir);
    EXPECT_EQ(lint.Status, 0) << path << ": " << lint.Err;
  }

  // GPX: one track point per sample with a position, in order.
  std::string error;
  const QJsonArray track = GpsbabelPoints("gpx", gpx, FDir, &error)["rows"].toArray();
  std::vector<const TCase*> samples, points;
  for (const TCase& c : FTable) {
    if (!*c.Lat) continue;
    if (c.Row.Sample()) samples.push_back(&c);
    if (*c.PointName) points.push_back(&c);
  }
  ASSERT_EQ(track.size(), static_cast<qsizetype>(samples.size())) << error;
  for (size_t i = 0; i < samples.size(); ++i) {
    const QJsonObject p = track[static_cast<qsizetype>(i)].toObject();
    const TCase& c = *samples[i];
    SCOPED_TRACE(c.Time);
    EXPECT_TRUE(Near(Text(p["Latitude"]), c.Lat, 1e-6));
    EXPECT_TRUE(Near(Text(p["Longitude"]), c.Lon, 1e-6));
    EXPECT_TRUE(Near(Text(p["Altitude"]), c.Alt, 0.051)) << Text(p["Altitude"]);  // written with one decimal
    EXPECT_EQ(Text(p["Date"]) + "T" + Text(p["Time"]) + "Z", std::string(c.Time).replace(4, 1, "/").replace(7, 1, "/"));
  }

  // KML: the same samples as points, and the sector change where it happened.
  const QJsonArray placemarks = GpsbabelPoints("kml", kml, FDir, &error)["rows"].toArray();
  ASSERT_EQ(placemarks.size(), static_cast<qsizetype>(points.size())) << error;
  for (size_t i = 0; i < points.size(); ++i) {
    const QJsonObject p = placemarks[static_cast<qsizetype>(i)].toObject();
    const TCase& c = *points[i];
    SCOPED_TRACE(c.Time);
    EXPECT_EQ(Text(p["Name"]), c.PointName);
    EXPECT_TRUE(Near(Text(p["Latitude"]), c.Lat, 1e-6));
    EXPECT_TRUE(Near(Text(p["Longitude"]), c.Lon, 1e-6));
  }
  // Each point in its RX band's colours, the chart's (KML writes alpha, blue, green, red).
  const std::string text = ReadFileBytes(kml);
  for (const char* style : {"<Style id=\"rx-excellent\"><IconStyle><color>c800ff00</color>",
                            "<Style id=\"rx-good\"><IconStyle><color>c800d8ff</color>",
                            "<Style id=\"rx-bad\"><IconStyle><color>c80000ff</color>"})
    EXPECT_NE(text.find(style), std::string::npos) << style;
  size_t excellent = 0, good = 0, bad = 0;
  for (size_t at = 0; (at = text.find("<styleUrl>#rx-", at)) != std::string::npos; ++at) {
    const std::string band = text.substr(at + 14, 4);
    excellent += band == "exce";
    good += band == "good";
    bad += band == "bad<";
  }
  // -75.5 dBm; -88 dBm; no link data, no modem and -95.5 dBm.
  EXPECT_EQ(excellent, 1u);
  EXPECT_EQ(good, 1u);
  EXPECT_EQ(bad, 3u);
}

TEST_F(LogReadBack, TheConverterWritesTheDocumentsTheRecordingWould) {
  const std::string csv = WriteWith(TLogFormat::Csv, FDir.Path() + "/log.csv", FTable);
  for (const auto& [format, extension, firstRow] :
       {std::tuple{TLogFormat::Gpx, ".gpx", "<trkseg>"}, std::tuple{TLogFormat::Kml, ".kml", "<Placemark>"}}) {
    const std::string direct = WriteWith(format, FDir.Path() + "/direct" + extension, FTable);
    const TConversion conversion = ConvertCsvLog(csv, FDir.Path() + "/converted" + extension);
    EXPECT_EQ(conversion.Rows, FTable.size());
    EXPECT_EQ(conversion.Positions, 7u);
    EXPECT_FALSE(conversion.CutOff);
    // Only the head's time of making differs.
    const std::string a = ReadFileBytes(direct), b = ReadFileBytes(conversion.OutputPath);
    ASSERT_NE(a.find(firstRow), std::string::npos);
    EXPECT_EQ(a.substr(a.find(firstRow)), b.substr(b.find(firstRow))) << extension;
  }
  // The output's name is never one in use.
  const TConversion again = ConvertCsvLog(csv, FDir.Path() + "/converted.gpx");
  EXPECT_EQ(again.OutputPath, FDir.Path() + "/converted-1.gpx");
  EXPECT_NE(again.Note.find("exists (a file)"), std::string::npos);
  // Not a field log: said, and no output left behind.
  WriteFileBytes(FDir.Path() + "/other.csv", "a,b\r\n1,2\r\n");
  EXPECT_THROW(ConvertCsvLog(FDir.Path() + "/other.csv", FDir.Path() + "/other.gpx"), ELogFileError);
  EXPECT_FALSE(PathExists(FDir.Path() + "/other.gpx"));
  EXPECT_THROW(ConvertCsvLog(FDir.Path() + "/missing.csv", FDir.Path() + "/missing.gpx"), ELogFileError);
}

TEST_F(LogReadBack, AGpxDocumentStaysWholeOnDiskWhenTheDiskFills) {
  // In a child process with a limit on file sizes, as a full disk would refuse the rewrite.
  const std::string path = FDir.Path() + "/full.gpx";
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{6000, 6000};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
      std::unique_ptr<TLogWriter> writer = CreateLogWriter(CreateFreshFile(path), TLogFormat::Gpx);
      for (int i = 0; i < 1000; ++i) {
        TLogRow row = FTable[0].Row;
        row.Position.Latitude += i * 0.0001;
        writer->Write(row);
        writer->Sync(true);
      }
    } catch (const ELogFileError& e) {
      _exit(std::string(e.what()) == "cannot write " + path + ": File too large" ? 0 : 2);
    }
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the writer did not fail with the system's text";
  const TCommandResult lint = RunCommand({"xmllint", "--noout", path}, FDir);
  EXPECT_EQ(lint.Status, 0) << lint.Err;
  std::string error;
  const QJsonArray track = GpsbabelPoints("gpx", path, FDir, &error)["rows"].toArray();
  EXPECT_GE(track.size(), 3) << error;
  for (const std::string& name : ListDir(FDir.Path()))
    EXPECT_NE(name.rfind(".full.gpx.", 0), 0u) << "a temporary file left over: " << name;
}

}  // namespace
