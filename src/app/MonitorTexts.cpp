// cdma-monitor's option and command table.
#include "app/MonitorTexts.h"

#ifndef CDMA_REPORT_URL
#define CDMA_REPORT_URL "http://localhost:8080/upload.php"
#endif

namespace {

using enum TOptionValue;

constexpr TOptionRow kOptions[] = {
    {.Name = "--console", .Help = "show the window as lines of text on standard output, and take commands on standard input"},
    {.Name = "--demo", .Help = "start a simulated modem in-process and find it like any port"},
    {.Name = "--demo-mode",
     .Value = "MODE",
     .Kind = Choice,
     .Choices = "1x reva revb sleep cycle weak",
     .Help = "the simulated modem's link: 1x, reva (default), revb, sleep, cycle (each in turn), or weak (Rev A "
             "with RX below -100 dBm)"},
    {.Name = "--port",
     .Value = "DEVICE",
     .Kind = SerialDevice,
     .Repeatable = true,
     .Help = "also probe this serial device (a USB modem's port, a /dev/serial/by-id/ link, a pseudo-terminal); the "
             "monitor follows the path as it comes and goes"},
    {.Name = "--report-url",
     .Value = "URL",
     .Kind = Text,
     .Help = "where \"Send report\" uploads (default " CDMA_REPORT_URL ")"},

    {.Name = "--headless",
     .Group = "service",
     .Help = "no view and no commands: the monitor's work alone, for a service; one line on standard error at start, "
             "for each modem found or lost and for each error; SIGTERM stops it cleanly"},
    {.Name = "--metrics",
     .Value = "[ADDRESS:]PORT",
     .Kind = Text,
     .Group = "service",
     .Help = "serve the figures for Prometheus at http://ADDRESS:PORT/metrics (ADDRESS 127.0.0.1 when only a port "
             "is given; [::1]:PORT for IPv6, 0.0.0.0:PORT for every address)"},
    {.Name = "--metrics-identity",
     .Group = "service",
     .Help = "with --metrics, also put the modem's ESN and MIN in the metrics (they identify a subscriber)"},

    {.Name = "--align",
     .Group = "align",
     .Help = "open the alignment mode at start: big figures, peak hold, a tone (in the window also by the key A or "
             "the context menu)"},
    {.Name = "--align-figure",
     .Value = "FIGURE",
     .Kind = Choice,
     .Choices = "rx drc ecio",
     .Group = "align",
     .Help = "the figure to aim by: rx (RX power, default), drc (the DRC label's figure), ecio (the pilot's Ec/Io)"},
    {.Name = "--align-range",
     .Value = "LOW:HIGH",
     .Kind = Text,
     .Group = "align",
     .Help = "the span of that figure the tone's 300..1800 Hz cover (default rx -110:-50 dBm, ecio -20:0 dB, drc by "
             "the link type)"},
    {.Name = "--no-tone", .Group = "align", .Help = "the alignment mode without its tone"},

    {.Name = "--log",
     .Value = "FILE",
     .Kind = File,
     .Repeatable = true,
     .Group = "log",
     .Help = "record every cycle and event with its position to FILE: .csv, .jsonl, .gpx or .kml by the "
             "extension; any number of files; a file that exists is kept and a numbered name used instead"},
    {.Name = "--gps",
     .Value = "HOST:PORT",
     .Kind = Text,
     .Group = "log",
     .Help = "gpsd to take the log's positions from (default localhost:2947)"},
    {.Name = "--convert",
     .Value = "LOG.csv OUT.gpx|OUT.kml",
     .Kind = File,
     .Alone = true,
     .Group = "convert",
     .Help = "write a CSV log again as OUT (.gpx or .kml, also .csv or .jsonl) and exit"},

    {.Name = "--capture",
     .Value = "FILE",
     .Kind = File,
     .Group = "capture",
     .Help = "record every read and write of the modem's port, with the time of each, into a pcap file (a new "
             "name with a number when FILE exists); it holds the modem's identity (ESN, MIN, IMSI)"},
    {.Name = "--replay",
     .Value = "FILE",
     .Kind = File,
     .Group = "capture",
     .Help = "play a capture back as the only port (\"Replay of FILE\"); at its end the replayed modem is "
             "unplugged"},
    {.Name = "--replay-speed",
     .Value = "FACTOR|max",
     .Kind = Text,
     .Group = "capture",
     .Help = "with --replay, the recorded spacing divided by FACTOR (default 1), or max: as fast as the monitor "
             "reads, its clock following the capture's"},
    {.Name = "--dump",
     .Value = "FILE",
     .Kind = File,
     .Alone = true,
     .Group = "dump",
     .Help = "one line per frame of a capture: time, direction, length, CRC, what it is and the figures it set; "
             "then exit"},
    {.Name = "--json", .Alone = true, .Group = "dump", .Help = "with --dump, the frames as JSON Lines"},

    {.Name = "--help", .Alias = "-h", .Alone = true, .Help = "print this text and exit"},
    {.Name = "--version", .Alone = true, .Help = "print the version and exit"},
};

constexpr TCommandRow kCommands[] = {
    {"report", "print the report window's contents"},
    {"send", "send the report to the report server"},
    {"ping", "the Ping button: starts pinging the connection's far end, or stops"},
    {"stats", "frames the modem session dispatched and dropped as damaged"},
    {"entries", "the connection list: \"entries: N\", one \"entry: NAME\" line each, then \"selected: NAME\" when "
                "one is chosen"},
    {"select NAME", "choose the connection list's entry NAME"},
    {"connect", "press the connection button (Connect or Disconnect, as its caption says)"},
    {"disconnect", "the same button: both words press it"},
    {"unplug", "(--demo) pull the simulated modem out"},
    {"plug", "(--demo) plug it back in"},
    {"rx DBM", "(--demo) hold the simulated receive power at DBM dBm; rx auto: fading again"},
    {"peak", "(--align) reset the peak"},
    {"figure FIGURE", "(--align) aim by rx, drc or ecio"},
    {"mute", "(--align) the tone off"},
    {"unmute", "(--align) the tone on"},
    {"volume N", "(--align) the tone's loudness, 0..100"},
    {"log FILE", "start recording to FILE (as --log); log stop ends it, log alone tells how it goes"},
    {"quit", "stop the modem and leave (so do Ctrl-C and SIGTERM)"},
};

constexpr TProgramTexts kTexts{
    .Program = "cdma-monitor",
    .Description = "Finds a CDMA2000 1x / EV-DO modem's diagnostic port and shows its signal every 500 ms in its "
                   "window, or as lines of text where there is no display (DISPLAY and WAYLAND_DISPLAY unset).",
    .Options = kOptions,
    .Commands = kCommands,
    .CommandsHeading = "Console commands (--console), one per line on standard input:",
    .Epilogue = "With --align the console view writes one \"align: \" line per 100 ms sample. The connection panel "
                "writes \"dialup: \" and its status line, \"button: \" and the button's caption, each when it "
                "changes, and \"ping: \" and each ping line. The entries are NetworkManager's connection profiles; "
                "with --demo, one demo connection.",
};

}  // namespace

const TProgramTexts& MonitorTexts() { return kTexts; }
