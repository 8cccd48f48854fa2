// The monitor's command line.
#include <gtest/gtest.h>

#include <map>

#include "app/CommandLine.h"
#include "app/MonitorTexts.h"

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

TEST(CommandLine, MetricsAddressesAndTheServiceMode) {
  struct TCase {
    std::string Value;
    std::string Host;
    uint16_t Port;
  };
  for (const TCase& c : std::vector<TCase>{{"9860", "127.0.0.1", 9860},
                                           {"0.0.0.0:9860", "0.0.0.0", 9860},
                                           {"[::1]:80", "::1", 80},
                                           {"localhost:65535", "localhost", 65535}}) {
    const TMonitorOptions o = ParseCommandLine({"--metrics", c.Value});
    ASSERT_TRUE(o.Metrics) << c.Value;
    EXPECT_EQ(o.Metrics->Host, c.Host) << c.Value;
    EXPECT_EQ(o.Metrics->Port, c.Port) << c.Value;
    EXPECT_FALSE(o.MetricsIdentity || o.Headless);
  }
  const TMonitorOptions service = ParseCommandLine({"--headless", "--metrics=9860", "--metrics-identity"});
  EXPECT_TRUE(service.Headless && service.MetricsIdentity);
  EXPECT_EQ(ParseCommandLine({"--metrics", "[::1]:9860"}).Metrics->Text(), "[::1]:9860");
  const TMonitorOptions none = ParseCommandLine({});
  EXPECT_FALSE(none.Metrics || none.Headless);
}

TEST(CommandLine, AlignmentOptions) {
  const TMonitorOptions o = ParseCommandLine({"--align", "--align-figure", "ecio", "--align-range=-15.5:-2", "--no-tone"});
  EXPECT_TRUE(o.Align);
  EXPECT_EQ(o.AlignFigure, TAlignFigure::EcIo);
  EXPECT_EQ(o.AlignRange, (TAlignRange{-15.5, -2}));
  EXPECT_TRUE(o.NoTone);
  const TMonitorOptions none = ParseCommandLine({});
  EXPECT_FALSE(none.Align || none.NoTone || none.AlignRange);
  EXPECT_EQ(none.AlignFigure, TAlignFigure::Rx);
  EXPECT_EQ(ParseCommandLine({"--align-range", "-110:-50"}).AlignRange, (TAlignRange{-110, -50}));
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
      {"--metrics"},
      {"--metrics", "65536"},
      {"--metrics", "host:"},
      {"--metrics", ":9860"},
      {"--metrics", "::1:9860"},          // IPv6 without brackets
      {"--metrics", "127.0.0.1:98a"},
      {"--metrics-identity"},             // without --metrics
      {"--headless=yes"},
      {"--align=yes"},
      {"--align-figure", "snr"},
      {"--align-range", "-50:-110"},  // low above high
      {"--align-range", "-50:-50"},
      {"--align-range", "-110"},
      {"--align-range", "-110:"},
      {"--align-range", "nan:0"},
      {"--align-range", "-110:-50dB"},
      {"--log", "drive.txt"},          // no log format
      {"--log"},
      {"--gps", "host:0"},             // no port
      {"--convert", "in.csv"},         // no output
      {"--convert", "in.csv", "out.pdf"},
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
  for (const char* word : {"--console", "--demo", "--port DEVICE", "--report-url URL", "--headless", "--metrics",
                           "--metrics-identity", "report", "send", "ping", "entries", "select NAME", "connect",
                           "disconnect", "quit", "--align", "--align-figure", "--align-range", "--no-tone", "peak",
                           "figure FIGURE", "mute", "unmute", "volume N", "--log FILE", "--gps HOST:PORT",
                           "--convert LOG.csv", "log FILE", "--capture FILE",
                           "--replay FILE", "--replay-speed", "--dump FILE", "--json"})
    EXPECT_NE(usage.find(word), std::string::npos) << word;
  EXPECT_EQ(VersionText().rfind("cdma-monitor ", 0), 0u);
}

// The table --help, the manual page and the completion are made from, and the parser, know the
// same options: each row parses (every choice of it too), and nothing outside the table does.
TEST(CommandLine, ParsesEveryOptionOfItsTableAndNoOther) {
  const std::map<std::string, std::vector<std::string>> tries = {
      {"--console", {"--console"}},
      {"--demo", {"--demo"}},
      {"--demo-mode", {"--demo-mode", "revb"}},
      {"--port", {"--port", "/dev/ttyUSB0"}},
      {"--report-url", {"--report-url", "http://reports.example/upload.php"}},
      {"--headless", {"--headless"}},
      {"--metrics", {"--metrics", "9860"}},
      {"--metrics-identity", {"--metrics", "9860", "--metrics-identity"}},
      {"--align", {"--align"}},
      {"--align-figure", {"--align-figure", "drc"}},
      {"--align-range", {"--align-range", "-100:-60"}},
      {"--no-tone", {"--no-tone"}},
      {"--log", {"--log", "drive.csv", "--log", "drive.kml"}},
      {"--gps", {"--gps", "127.0.0.1:2947"}},
      {"--convert", {"--convert", "drive.csv", "drive.gpx"}},
      {"--capture", {"--capture", "drive.pcap"}},
      {"--replay", {"--replay", "drive.pcap"}},
      {"--replay-speed", {"--replay", "drive.pcap", "--replay-speed", "max"}},
      {"--dump", {"--dump", "drive.pcap"}},
      {"--json", {"--dump", "drive.pcap", "--json"}},
      {"--help", {"--help"}},
      {"--version", {"--version"}},
  };
  const std::span<const TOptionRow> rows = MonitorTexts().Options;
  for (const TOptionRow& row : rows) {
    const auto found = tries.find(std::string(row.Name));
    ASSERT_NE(found, tries.end()) << "no command line to try " << row.Name << " with";
    EXPECT_NO_THROW(ParseCommandLine(found->second)) << row.Name;
    // A value where none goes, or none where one must.
    const std::vector<std::string> wrong = {std::string(row.Name) + (row.TakesValue() ? "" : "=1")};
    EXPECT_THROW(ParseCommandLine(wrong), ECommandLineError) << wrong[0];
    if (!row.Alias.empty()) {
      EXPECT_NO_THROW(ParseCommandLine({std::string(row.Alias)})) << row.Alias;
    }
    for (const std::string_view choice : row.ChoiceList()) {
      EXPECT_NO_THROW(ParseCommandLine({std::string(row.Name), std::string(choice)})) << row.Name << " " << choice;
      EXPECT_NE(row.Help.find(choice), std::string_view::npos) << row.Name << "'s help does not name " << choice;
    }
  }
  for (const auto& [name, args] : tries) EXPECT_NE(FindOption(rows, name), nullptr) << name << " is not in the table";
}
