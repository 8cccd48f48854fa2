// Report naming, contents byte for byte, and the refusal to write through planted names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "ReportFixture.h"
#include "TestSupport.h"
#include "stats/ReportFile.h"

namespace {

// Sets or unsets environment variables for one scope.
class TEnvScope {
 public:
  void Set(const char* aName, const char* aValue) {
    if (!FSaved.count(aName)) {
      const char* old = std::getenv(aName);
      FSaved[aName] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (aValue)
      ::setenv(aName, aValue, 1);
    else
      ::unsetenv(aName);
  }
  ~TEnvScope() {
    for (const auto& [name, value] : FSaved) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> FSaved;
};

mode_t ModeOf(const std::string& aPath) {
  struct stat st {};
  ::lstat(aPath.c_str(), &st);
  return st.st_mode & 07777;
}

}  // namespace

TEST(ReportFile, TempDirectoryComesFromTempThenTmpdirThenSlashTmp) {
  struct TCase {
    const char* Temp;
    const char* Tmpdir;
    const char* Expected;
  };
  const TCase cases[] = {
      {"/var/a", "/var/b", "/var/a"},
      {nullptr, "/var/b", "/var/b"},
      {"", "/var/b", "/var/b"},
      {nullptr, nullptr, "/tmp"},
      {"", "", "/tmp"},
  };
  for (const TCase& c : cases) {
    TEnvScope env;
    env.Set("TEMP", c.Temp);
    env.Set("TMPDIR", c.Tmpdir);
    EXPECT_EQ(GetTempDirectory(), c.Expected);
  }
}

TEST(ReportFile, IdentityIsImsiElseMinElseEmpty) {
  EXPECT_EQ(ReportIdentity("383600421234567", "5551234"), "383600421234567");
  EXPECT_EQ(ReportIdentity(" ", "5551234"), "5551234");
  EXPECT_EQ(ReportIdentity(" ", " "), "");
  EXPECT_EQ(ReportIdentity("", "5551234"), "5551234");
  // The session builds the IMSI with a " " DN when item 0x21 answers first; that is still an IMSI.
  EXPECT_EQ(ReportIdentity("38360042 ", " "), "38360042 ");
}

TEST(ReportFile, NameIsDirectoryIdentityAndStamp) {
  const TDateTime late = CivilToDateTime({1999, 12, 31, 23, 59, 59, 999});
  EXPECT_EQ(ReportFileName("/tmp/r", "383600421234567", TReportFixture::Clock()),
            "/tmp/r/383600421234567_07032025_090504.txt");
  EXPECT_EQ(ReportFileName("/tmp/r/", "5551234", late), "/tmp/r/5551234_31121999_235959.txt");
  EXPECT_EQ(ReportFileName("/tmp/r", "", TReportFixture::Clock()), "/tmp/r/07032025_090504.txt");
  EXPECT_EQ(ReportFileName("/tmp/r", "../x/\n", late), "/tmp/r/.._x___31121999_235959.txt");
}

TEST(ReportFile, ContentsMatchTheExpectedFileByteForByte) {
  const TReportFixture fixture;
  EXPECT_EQ(ReportText(fixture.Histograms(), TReportFixture::kIMSI, TReportFixture::Clock()),
            TReportFixture::ExpectedReport());
}

TEST(ReportFile, EmptyHistogramsAndNoIdentityLeaveBareSections) {
  const TRxQuality rx;
  const TTxQuality tx;
  const TDrcQuality drc;
  const TCellFaceQuality cells;
  const std::string expected =
      "Report generated at: 31.12.1999 23:59\r\n"
      "Modem IMSI: \r\n"
      "\r\n"
      "RX values:\r\n"
      "-30..-80: 0\r\n"
      "-81..-90: 0\r\n"
      "-91..-95: 0\r\n"
      "-96..-100: 0\r\n"
      "-101..-107: 0\r\n"
      "\r\n"
      "TX values:\r\n"
      "-65..-21: 0\r\n"
      "-20..-6: 0\r\n"
      "-5..+7: 0\r\n"
      "+8..+14: 0\r\n"
      "+15..+25: 0\r\n"
      "\r\n"
      "DRC values:\r\n"
      "\r\n"
      "Sector values:\r\n"
      "\r\n"
      "End of report.\r\n";
  EXPECT_EQ(ReportText({rx, tx, drc, cells}, "", CivilToDateTime({1999, 12, 31, 23, 59, 59, 999})), expected);
}

TEST(ReportFile, NegativeDrcKeysAreWrittenWithTheirSign) {
  TReportFixture fixture;
  fixture.Drc.ClearValues();
  for (float v : {-7.9f, -7.2f, -12.5f}) fixture.Drc.AddValue(v);
  const std::string text = ReportText(fixture.Histograms(), "", TReportFixture::Clock());
  EXPECT_NE(text.find("DRC values:\r\n-7: 2\r\n-12: 1\r\n\r\nSector values:"), std::string::npos) << text;
}

TEST(ReportFile, WritesOwnerOnlyAndOverwritesALeftoverOfOurs) {
  TScratchDir dir;
  const std::string path = dir.Path() + "/report.txt";
  std::string error;
  ASSERT_TRUE(WriteReportFile(path, "one\r\n", error)) << error;
  EXPECT_EQ(ReadFileBytes(path), "one\r\n");
  EXPECT_EQ(ModeOf(path), 0600u);

  // A longer leftover, readable by all: nothing of it may survive, and it becomes private.
  WriteFileBytes(path, std::string(100, 'x'));
  ::chmod(path.c_str(), 0644);
  ASSERT_TRUE(WriteReportFile(path, "two\r\n", error)) << error;
  EXPECT_EQ(ReadFileBytes(path), "two\r\n");
  EXPECT_EQ(ModeOf(path), 0600u);
}

TEST(ReportFile, PlantedNamesAreRefusedAndNothingIsWrittenThroughThem) {
  TScratchDir dir;
  const std::string victim = dir.Path() + "/victim";
  const std::string absent = dir.Path() + "/absent";
  WriteFileBytes(victim, "precious");

  struct TCase {
    const char* Name;
    std::function<void(const std::string&)> Plant;
    const char* Reason;
  };
  const TCase cases[] = {
      {"link to a file", [&](const std::string& p) { ASSERT_EQ(::symlink(victim.c_str(), p.c_str()), 0); },
       "Too many levels of symbolic links"},
      {"dangling link", [&](const std::string& p) { ASSERT_EQ(::symlink(absent.c_str(), p.c_str()), 0); },
       "Too many levels of symbolic links"},
      {"hard link", [&](const std::string& p) { ASSERT_EQ(::link(victim.c_str(), p.c_str()), 0); }, "File exists"},
      {"fifo", [&](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }, ""},
      {"directory", [&](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, "Is a directory"},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir.Path() + "/planted" + std::to_string(n++) + ".txt";
    c.Plant(path);
    std::string error;
    EXPECT_FALSE(WriteReportFile(path, "report\r\n", error));
    EXPECT_EQ(error.rfind("Cannot create file \"" + path + "\". ", 0), 0u) << error;
    EXPECT_NE(error.find(c.Reason), std::string::npos) << error;
    EXPECT_TRUE(PathExists(path)) << "what was planted is not ours to remove";
    EXPECT_EQ(ReadFileBytes(victim), "precious");
    EXPECT_FALSE(PathExists(absent));
  }
}

TEST(ReportFile, AFileOfAnotherUserIsRefused) {
  TScratchDir dir;
  const std::string path = dir.Path() + "/foreign.txt";
  WriteFileBytes(path, "theirs");
  ::chmod(path.c_str(), 0666);
  if (::chown(path.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "handing a file to another user needs root";
  std::string error;
  EXPECT_FALSE(WriteReportFile(path, "report\r\n", error));
  EXPECT_NE(error.find("Cannot create file"), std::string::npos) << error;
  EXPECT_EQ(ReadFileBytes(path), "theirs");
}

TEST(ReportFile, AMissingDirectoryGivesTheFileError) {
  TScratchDir dir;
  const std::string path = dir.Path() + "/no/such/dir/r.txt";
  std::string error;
  EXPECT_FALSE(WriteReportFile(path, "report\r\n", error));
  EXPECT_EQ(error, "Cannot create file \"" + path + "\". No such file or directory");
}
