// The monitor's command line.
#include <gtest/gtest.h>

#include "app/CommandLine.h"

TEST(CommandLine, TakesEveryOptionInBothSpellings) {
  const TMonitorOptions o = ParseCommandLine({"--console", "--demo", "--port", "/dev/pts/7", "--port=/dev/ttyUSB1",
                                              "--report-url", "https://reports.example/upload.php", "--demo-mode=revb"});
  EXPECT_TRUE(o.Console);
  EXPECT_TRUE(o.Demo);
  EXPECT_EQ(o.DemoMode, "revb");
  EXPECT_EQ(o.Ports, (std::vector<std::string>{"/dev/pts/7", "/dev/ttyUSB1"}));
  EXPECT_EQ(o.ReportUrl, "https://reports.example/upload.php");
  EXPECT_FALSE(o.Help);
  EXPECT_TRUE(ParseCommandLine({"--help"}).Help);
  EXPECT_TRUE(ParseCommandLine({"-h"}).Help);
  EXPECT_TRUE(ParseCommandLine({"--version"}).Version);
  const TMonitorOptions log =
      ParseCommandLine({"--log", "drive.csv", "--log=drive.KML", "--gps", "[::1]:2948", "--convert", "in.csv", "out.gpx"});
  EXPECT_EQ(log.Logs, (std::vector<std::string>{"drive.csv", "drive.KML"}));
  EXPECT_EQ(log.Gps, "[::1]:2948");
  EXPECT_EQ(log.Convert, std::make_pair(std::string("in.csv"), std::string("out.gpx")));
  const TMonitorOptions none = ParseCommandLine({});
  EXPECT_FALSE(none.Console || none.Demo || none.Gps || none.Convert || !none.Logs.empty());
  EXPECT_EQ(none.DemoMode, "reva");
}

TEST(CommandLine, RefusesWhatItCannotRun) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port"},                      // no value
      {"--port="},                     // empty device
      {"--report-url", "ftp://x/"},    // not http(s)
      {"--report-url"},
      {"--console=yes"},               // takes no value
      {"--demo-mode", "lte"},
      {"--frobnicate"},
      {"COM3"},
      {"--log", "drive.txt"},          // no log format
      {"--log"},
      {"--gps", "host:0"},             // no port
      {"--convert", "in.csv"},         // no output
      {"--convert", "in.csv", "out.pdf"},
  };
  for (const auto& args : bad) EXPECT_THROW(ParseCommandLine(args), ECommandLineError) << args[0];
}

TEST(CommandLine, UsageNamesTheCommands) {
  const std::string usage = UsageText("cdma-monitor");
  for (const char* word : {"--console", "--demo", "--port DEVICE", "--report-url URL", "report", "send", "ping",
                           "entries", "select NAME", "connect", "disconnect", "quit", "--log FILE",
                           "--gps HOST:PORT", "--convert LOG.csv", "log FILE", "log stop"})
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  EXPECT_EQ(VersionText().rfind("cdma-monitor ", 0), 0u);
}
