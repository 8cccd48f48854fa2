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
  const TMonitorOptions none = ParseCommandLine({});
  EXPECT_FALSE(none.Console || none.Demo);
  EXPECT_EQ(none.DemoMode, "reva");
}

TEST(CommandLine, CaptureReplayAndDump) {
  const TMonitorOptions capture = ParseCommandLine({"--console", "--demo", "--capture", "drive.pcap"});
  EXPECT_EQ(capture.Capture, "drive.pcap");
  const TMonitorOptions replay = ParseCommandLine({"--replay=drive.pcap", "--replay-speed", "max", "--capture", "again.pcap"});
  EXPECT_EQ(replay.Replay, "drive.pcap");
  EXPECT_TRUE(replay.ReplayMax);
  const TMonitorOptions faster = ParseCommandLine({"--replay", "drive.pcap", "--replay-speed=2.5"});
  EXPECT_FALSE(faster.ReplayMax);
  EXPECT_EQ(faster.ReplayFactor, 2.5);
  EXPECT_EQ(ParseCommandLine({"--replay", "drive.pcap"}).ReplayFactor, 1.0);
  const TMonitorOptions dump = ParseCommandLine({"--dump", "drive.pcap", "--json"});
  EXPECT_EQ(dump.Dump, "drive.pcap");
  EXPECT_TRUE(dump.Json);
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
      {"--capture="},
      {"--replay-speed", "2"},                          // without --replay
      {"--replay", "a.pcap", "--replay-speed", "0"},    // not positive
      {"--replay", "a.pcap", "--replay-speed", "fast"},
      {"--replay", "a.pcap", "--demo"},                 // the replay is the only port
      {"--replay", "a.pcap", "--port", "/dev/pts/3"},
      {"--json"},                                       // without --dump
      {"--dump", "a.pcap", "--console"},
  };
  for (const auto& args : bad) EXPECT_THROW(ParseCommandLine(args), ECommandLineError) << args[0];
}

TEST(CommandLine, UsageNamesTheCommands) {
  const std::string usage = UsageText("cdma-monitor");
  for (const char* word : {"--console", "--demo", "--port DEVICE", "--report-url URL", "--capture FILE",
                           "--replay FILE", "--replay-speed", "--dump FILE", "--json", "report", "send", "ping",
                           "entries", "select NAME", "connect", "disconnect", "quit"})
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  EXPECT_EQ(VersionText().rfind("cdma-monitor ", 0), 0u);
}
