// Writes the fuzz targets' seed corpora: streams recorded from the simulated modem on a
// pseudo-terminal in every link type (with and without faults), the monitor's own command frames,
// and a few hand-made device texts and ping replies.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/FrameCodec.h"
#include "protocol/ModemStructuresUnit.h"
#include "sim/SimulatedModem.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_view_literals;

namespace {

constexpr size_t kStreamSeedBytes = 8192;
constexpr size_t kStreamSeedsPerScenario = 2;
constexpr size_t kCodecSeedBytes = 2048;
constexpr size_t kMixFrames = 24;

struct TScenario {
  const char* Name;
  sim::TSimMode Mode;
  std::vector<uint16_t> Channels;
  sim::TFaultRates Faults;
  bool PerKindSeeds;  // its frames also become one seed per frame kind
};

const std::vector<TScenario> kScenarios = {
    {"1x", sim::TSimMode::Ev1x, {283}, {}, true},
    {"reva", sim::TSimMode::RevA, {283}, {}, true},
    {"revb1", sim::TSimMode::RevB, {283}, {}, true},
    {"revb3", sim::TSimMode::RevB, {283, 384, 425}, {}, true},
    {"sleep", sim::TSimMode::Sleep, {283, 384}, {}, true},
    {"cycle", sim::TSimMode::Cycle, {283, 384, 425}, {}, false},
    {"reva-faults", sim::TSimMode::RevA, {283}, {0.1, 0, 0.1, 48}, false},
    {"revb3-faults", sim::TSimMode::RevB, {283, 384, 425}, {0.1, 0, 0.1, 48}, false},
};

TByteString Control(uint64_t aValue) {
  TByteString bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(aValue >> (8 * i)));
  return bytes;
}

void WriteSeed(const fs::path& aDir, const std::string& aName, TByteView aBytes) {
  fs::create_directories(aDir);
  std::ofstream out(aDir / aName, std::ios::binary | std::ios::trunc);
  out.write(aBytes.data(), static_cast<std::streamsize>(aBytes.size()));
  if (!out) throw std::runtime_error("cannot write " + (aDir / aName).string());
}

// What the monitor writes at start-up: the identity requests, then the log masks.
std::vector<TByteString> StartupCommands(bool aOneX) {
  std::vector<TByteString> frames;
  for (std::string_view command : {kNvItem20Command, kStatusRequestCommand, kNvItem21Command, kNvItem21Command,
                                   kLogMaskCommand})
    frames.push_back(ComposeCommand(command));
  if (aOneX) frames.push_back(ComposeCommand(kLogMask1xCommand));
  return frames;
}

TByteString Record(const TScenario& aScenario, size_t aBytes) {
  sim::TSimConfig config;
  config.Mode = aScenario.Mode;
  config.Channels = aScenario.Channels;
  config.Seed = 7;
  config.MaxRate = true;
  sim::TSimulatedModem modem(config);
  modem.SetFaultRates(aScenario.Faults);
  modem.Start();
  const int fd = ::open(modem.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + modem.SlavePath());
  for (const TByteString& frame : StartupCommands(aScenario.Mode == sim::TSimMode::Ev1x))
    if (::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
      throw std::runtime_error("short write to the simulated modem");

  TByteString stream;
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (stream.size() < aBytes && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) stream.append(buffer, static_cast<size_t>(n));
  }
  const TByteString off = ComposeCommand(kLoggingOffCommand);
  (void)!::write(fd, off.data(), off.size());
  ::close(fd);
  modem.Stop();
  if (stream.size() < aBytes) throw std::runtime_error(std::string("too little from the modem in ") + aScenario.Name);
  stream.resize(aBytes);
  return stream;
}

// Content escaped and ended by the flag, without a CRC: what modem_frames takes.
TByteString WithoutCrc(TByteView aContent) {
  TByteString out;
  for (char c : aContent) {
    if (c == '\x7E' || c == '\x7D') {
      out.push_back('\x7D');
      out.push_back(static_cast<char>(c ^ 0x20));
    } else {
      out.push_back(c);
    }
  }
  out.push_back('\x7E');
  return out;
}

// "10-1069", "26-21", "0C": first byte, and the log code or NV item where there is one.
std::string KindOf(TByteView aFrame) {
  char text[16];
  const auto b = [&](size_t i) { return i < aFrame.size() ? static_cast<unsigned>(static_cast<uint8_t>(aFrame[i])) : 0u; };
  if (b(0) == 0x10)
    std::snprintf(text, sizeof text, "10-%04X", b(6) | b(7) << 8);
  else if (b(0) == 0x26)
    std::snprintf(text, sizeof text, "26-%02X", b(1));
  else
    std::snprintf(text, sizeof text, "%02X", b(0));
  return text;
}

// Per-carrier Rev B logs differ with the number of carriers; their three-carrier form is kept too.
bool KeepPerScenario(const std::string& aKind) {
  return aKind == "10-1298" || aKind == "10-129C" || aKind == "10-129F" || aKind == "10-12A2";
}

void WriteModemSeeds(const fs::path& aCorpus) {
  std::set<std::string> kindsSeen;
  uint64_t n = 0;
  for (const TScenario& scenario : kScenarios) {
    const TByteString stream = Record(scenario, kStreamSeedBytes * kStreamSeedsPerScenario);
    std::printf("recorded %zu bytes in %s\n", stream.size(), scenario.Name);
    const uint64_t type = scenario.Mode == sim::TSimMode::Ev1x ? evtEv1X
                          : scenario.Mode == sim::TSimMode::RevA ? evtRevA
                                                                 : evtRevB;
    for (size_t i = 0; i < kStreamSeedsPerScenario; ++i) {
      // The first slice with the start-up probe on and no type yet; later ones with the type set.
      const uint64_t control = i == 0 ? 1 : type << 1 | (++n << 8);
      WriteSeed(aCorpus / "modem_stream", std::string(scenario.Name) + "-" + std::to_string(i),
                stream.substr(i * kStreamSeedBytes, kStreamSeedBytes) + Control(control));
    }
    WriteSeed(aCorpus / "frame_codec", std::string(scenario.Name) + "-stream",
              stream.substr(0, kCodecSeedBytes) + Control(++n * 0x9E3779B97F4A7C15ull));

    TFrameSplitter splitter;
    TFrameList frames;
    splitter.Split(stream, frames);
    TByteString mix;
    for (size_t i = 0; i < frames.Count(); ++i) {
      if (frames[i].empty()) continue;
      if (i < kMixFrames) mix += WithoutCrc(frames[i]);
      if (!scenario.PerKindSeeds) continue;
      const std::string kind = KindOf(frames[i]);
      const std::string key = KeepPerScenario(kind) ? kind + "-" + scenario.Name : kind;
      if (!kindsSeen.insert(key).second) continue;
      WriteSeed(aCorpus / "modem_frames", key, WithoutCrc(frames[i]) + Control(type << 1));
    }
    WriteSeed(aCorpus / "modem_frames", std::string("mix-") + scenario.Name, mix + Control(1 | ++n << 8));
  }
}

void WriteCodecAndCommandSeeds(const fs::path& aCorpus) {
  const std::vector<std::pair<std::string, std::string_view>> commands = {
      {"status", kStatusRequestCommand}, {"nv20", kNvItem20Command},   {"nv21", kNvItem21Command},
      {"logmask", kLogMaskCommand},      {"logmask1x", kLogMask1xCommand}, {"loggingoff", kLoggingOffCommand}};
  uint64_t n = 0;
  TByteString startup;
  for (const auto& [name, text] : commands) {
    const TByteString frame = ComposeCommand(text);
    // The command text itself: frame_codec composes its input's leading text.
    WriteSeed(aCorpus / "frame_codec", "text-" + name, TByteString(text) + Control(++n));
    WriteSeed(aCorpus / "sim_commands", name, frame + Control(++n << 16));
    if (name != "loggingoff") startup += frame;
  }
  WriteSeed(aCorpus / "sim_commands", "startup", startup + Control(0x0005000000000000ull));
  // The head of the input doubles as the modem's identity digits on its command line.
  WriteSeed(aCorpus / "sim_commands", "identity-digits", TByteString("5551234\x7E", 8) + Control(4));
  WriteSeed(aCorpus / "sim_commands", "lac-digits", TByteString("012\x7E", 4) + Control(5));
  // A damaged request among good ones, and a stray flag.
  TByteString damaged = ComposeCommand(kStatusRequestCommand);
  damaged[0] = '\x0D';
  WriteSeed(aCorpus / "sim_commands", "damaged", damaged + "\x7E" + ComposeCommand(kNvItem21Command) + Control(3));

  // The bound target cuts its input in two around a long run: frames on either side.
  const TByteString status = FrameBytes(Bytes({0x0C}));
  WriteSeed(aCorpus / "frame_bound", "empty", Control(0));
  WriteSeed(aCorpus / "frame_bound", "frames", status + status + Control(1));
  WriteSeed(aCorpus / "frame_bound", "escapes", FrameBytes(Bytes({0x7E, 0x7D, 0x7E})) + Control(2));
  WriteSeed(aCorpus / "frame_bound", "partial", TByteString("\x10\x00\x26\x00", 4) + Control(5));
}

// The input layout of port_description: five strings each ended by a backslash and another
// character, the byte that says which are present, then the device name.
TByteString DescriptionInput(std::initializer_list<std::string_view> aStrings, uint8_t aPresent, std::string_view aName) {
  TByteString input;
  for (std::string_view s : aStrings) {
    for (char c : s) {
      input.push_back(c);
      if (c == '\\') input.push_back(c);
    }
    input += "\\ ";
  }
  input.push_back(static_cast<char>(aPresent));
  input += aName;
  return input;
}

void WriteDescriptionSeeds(const fs::path& aCorpus) {
  const fs::path dir = aCorpus / "port_description";
  WriteSeed(dir, "database", DescriptionInput({"Acme", "CDMA Modem", "Diagnostics", "Modem", "option1"}, 0x1F, "ttyUSB0"));
  WriteSeed(dir, "product", DescriptionInput({"", "", "", "Mobile Broadband Modem", "option1"}, 0x18, "ttyUSB1"));
  WriteSeed(dir, "interface", DescriptionInput({"", "", "Modem Interface", "", "cdc_acm"}, 0x14, "ttyACM0"));
  WriteSeed(dir, "driver-only", DescriptionInput({"", "", "", "", "serial8250"}, 0x10, "ttyS4"));
  WriteSeed(dir, "blank", DescriptionInput({"  \n\t", " ", " 0 ", "", ""}, 0x1F, "ttyUSB2"));
  WriteSeed(dir, "controls", DescriptionInput({"Acme\r\x1b[2J"sv, "Modem\x7f\n"sv, "Iface\0x"sv, "a  b"sv, ".."sv}, 0x1F, "tty\n"));
  WriteSeed(dir, "long-utf8", DescriptionInput({"", std::string(60, 'x') + "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", "", "", ""}, 0x02, "ttyUSB9"));
}

// aHeaderWords: the IP header's length in 32-bit words (5 without options); 0 for none.
TByteString EchoReply(uint8_t aHeaderWords, uint16_t aSequence, uint16_t aIdent, size_t aData, uint8_t aType = 0) {
  TByteString packet;
  if (aHeaderWords) {
    packet = Bytes({static_cast<uint8_t>(0x40 | aHeaderWords), 0x00, 0x00, 0x3C, 0x1C, 0x46, 0x40, 0x00, 0x40, 0x01,
                    0x00, 0x00, 10, 64, 0, 1, 10, 64, 0, 2});
    packet.resize(4u * aHeaderWords, '\x01');  // options: no-operation
  }
  packet += Bytes({aType, 0x00, 0x12, 0x34, static_cast<uint8_t>(aIdent >> 8), static_cast<uint8_t>(aIdent),
                   static_cast<uint8_t>(aSequence >> 8), static_cast<uint8_t>(aSequence)});
  packet += TByteString(aData, '\0');
  return packet;
}

void WriteEchoSeeds(const fs::path& aCorpus) {
  const fs::path dir = aCorpus / "echo_reply";
  // The first byte: bit 0 says raw, the rest is the sequence number the harness waits for.
  WriteSeed(dir, "ping-socket", TByteString(1, '\x0A') + EchoReply(0, 5, 0x4D2, 32));
  WriteSeed(dir, "raw", TByteString(1, '\x0B') + EchoReply(5, 5, 0x4D2, 32));
  WriteSeed(dir, "raw-options", TByteString(1, '\x0D') + EchoReply(6, 6, 0x4D2, 0));
  WriteSeed(dir, "unreachable", TByteString(1, '\x0B') + EchoReply(5, 5, 0x4D2, 28, 3));
  WriteSeed(dir, "other-ident", TByteString(1, '\x0B') + EchoReply(5, 5, 0x1111, 32));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: record_seeds CORPUS-DIR\n");
    return 2;
  }
  try {
    const fs::path corpus = argv[1];
    WriteModemSeeds(corpus);
    WriteCodecAndCommandSeeds(corpus);
    WriteDescriptionSeeds(corpus);
    WriteEchoSeeds(corpus);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "record_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
