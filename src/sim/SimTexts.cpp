// cdma-modem-sim's option table.
#include "sim/SimTexts.h"

namespace sim {
namespace {

using enum TOptionValue;

constexpr TOptionRow kOptions[] = {
    {.Name = "--mode",
     .Value = "MODE",
     .Kind = Choice,
     .Choices = "1x reva revb sleep cycle",
     .Help = "the link to play: 1x, reva (default), revb (up to three carriers), sleep (the searcher asleep), or "
             "cycle (each in turn)"},
    {.Name = "--signal",
     .Value = "LEVEL",
     .Kind = Choice,
     .Choices = "normal weak",
     .Help = "normal (default), or weak: RX kept below -100 dBm, as at the edge of coverage"},
    {.Name = "--seed", .Value = "N", .Kind = Text, .Help = "the scenario's random seed (default 1): one seed, one run"},
    {.Name = "--rate",
     .Value = "N|max",
     .Kind = Text,
     .Help = "scale the log packets per second by N (default 1, tens a second as a real modem), or max: as fast as "
             "the pseudo-terminal takes them"},
    {.Name = "--link",
     .Value = "PATH",
     .Kind = File,
     .Help = "keep a symbolic link at PATH pointing at the pseudo-terminal"},
    {.Name = "--duration",
     .Value = "SECONDS",
     .Kind = Text,
     .Help = "stop after this many seconds (default: run until interrupted)"},
    {.Name = "--split",
     .Value = "P",
     .Kind = Text,
     .Group = "faults",
     .Help = "the chance (0..1) that a log packet is written in pieces"},
    {.Name = "--damage",
     .Value = "P",
     .Kind = Text,
     .Group = "faults",
     .Help = "the chance (0..1) that a log packet is written with a damaged CRC"},
    {.Name = "--garbage",
     .Value = "P",
     .Kind = Text,
     .Group = "faults",
     .Help = "the chance (0..1) that a burst of garbage comes before a log packet"},
    {.Name = "--capture",
     .Value = "FILE",
     .Kind = File,
     .Group = "faults",
     .Help = "write what crossed the port to a pcap file as cdma-monitor --capture does (a new name with a number "
             "when FILE exists); with --rate max its times are the scenario's, so that it plays back at the pace of "
             "a real modem"},
    {.Name = "--carriers",
     .Value = "CH[,CH[,CH]]",
     .Kind = Text,
     .Group = "identity",
     .Help = "the Rev B carriers' channel numbers (default 283,384,425); the first also serves 1x and Rev A"},
    {.Name = "--esn", .Value = "HEX", .Kind = Text, .Group = "identity", .Help = "the modem's ESN (default 9F3A05C1)"},
    {.Name = "--min",
     .Value = "DIGITS",
     .Kind = Text,
     .Group = "identity",
     .Help = "the MIN: seven digits, or ten with the area code first (default 5551234)"},
    {.Name = "--dn",
     .Value = "DIGITS",
     .Kind = Text,
     .Group = "identity",
     .Help = "the directory number: seven digits, or ten of which the last seven count (default 5550188)"},
    {.Name = "--lac", .Value = "DIGITS", .Kind = Text, .Group = "identity", .Help = "the three-digit LAC (default 095)"},
    {.Name = "--help", .Alias = "-h", .Alone = true, .Help = "print this text and exit"},
    {.Name = "--version", .Alone = true, .Help = "print the version and exit"},
};

constexpr TProgramTexts kTexts{
    .Program = "cdma-modem-sim",
    .Description = "Plays a CDMA2000 1x / EV-DO modem's diagnostic port on a pseudo-terminal: prints the "
                   "pseudo-terminal's path on standard output, answers the monitor's requests and streams the "
                   "modem's log packets on it until interrupted (SIGINT, SIGTERM, SIGHUP) or for the given duration, "
                   "then writes what it sent on standard error.",
    .Options = kOptions,
};

}  // namespace

const TProgramTexts& SimTexts() { return kTexts; }

}  // namespace sim
