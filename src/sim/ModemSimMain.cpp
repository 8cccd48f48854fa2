// cdma-modem-sim: runs the simulated modem on a pseudo-terminal until interrupted.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "capture/CaptureRecorder.h"
#include "sim/SimTexts.h"
#include "sim/SimulatedModem.h"

#ifndef CDMA_VERSION
#define CDMA_VERSION "0.0.0"
#endif

namespace {

void Usage(std::FILE* aOut) { std::fputs(HelpText(sim::SimTexts()).c_str(), aOut); }

[[noreturn]] void Fail(const std::string& aMessage) {
  std::fprintf(stderr, "cdma-modem-sim: %s\n", aMessage.c_str());
  Usage(stderr);
  std::exit(2);
}

double ParseChance(const std::string& aText, const char* aWhat) {
  char* end = nullptr;
  const double v = std::strtod(aText.c_str(), &end);
  if (aText.empty() || *end != '\0' || !(v >= 0 && v <= 1)) Fail(std::string("bad ") + aWhat + ": " + aText);
  return v;
}

double ParseNumber(const std::string& aText, const char* aWhat) {
  char* end = nullptr;
  const double v = std::strtod(aText.c_str(), &end);
  if (aText.empty() || *end != '\0' || !(v > 0)) Fail(std::string("bad ") + aWhat + ": " + aText);
  return v;
}

uint64_t ParseUnsigned(const std::string& aText, int aBase, const char* aWhat) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(aText.c_str(), &end, aBase);
  if (aText.empty() || *end != '\0' || errno != 0 || aText[0] == '-') Fail(std::string("bad ") + aWhat + ": " + aText);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  sim::TSimConfig config;
  sim::TFaultRates faults;
  std::string capturePath;
  double duration = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inlineValue;  // --mode=revb
    if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string::npos) {
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    // An option missing from the table would be missing from --help, the manual and the completion.
    const TOptionRow* row = FindOption(sim::SimTexts().Options, arg);
    if (!row) Fail("unknown option: " + arg);
    if (!row->TakesValue() && inlineValue) Fail(arg + " takes no value");
    if (row->Name == "--help") {
      Usage(stdout);
      return 0;
    }
    if (row->Name == "--version") {
      std::printf("cdma-modem-sim %s\n", CDMA_VERSION);
      return 0;
    }
    if (!inlineValue && i + 1 >= argc) Fail("missing value after " + arg);
    const std::string value = inlineValue ? *inlineValue : argv[++i];
    if (arg == "--mode") {
      const auto mode = sim::ModeFromName(value);
      if (!mode) Fail("unknown mode: " + value);
      config.Mode = *mode;
    } else if (arg == "--signal") {
      if (value != "normal" && value != "weak") Fail("unknown signal: " + value);
      config.WeakSignal = value == "weak";
    } else if (arg == "--seed") {
      config.Seed = ParseUnsigned(value, 10, "seed");
    } else if (arg == "--rate") {
      if (value == "max") config.MaxRate = true;
      else config.Rate = ParseNumber(value, "rate");
    } else if (arg == "--link") {
      config.LinkPath = value;
    } else if (arg == "--carriers") {
      config.Channels.clear();
      std::stringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) {
        const uint64_t channel = ParseUnsigned(item, 10, "channel");
        if (channel > 0xFFFF) Fail("bad channel: " + item);
        config.Channels.push_back(static_cast<uint16_t>(channel));
      }
    } else if (arg == "--esn") {
      const uint64_t esn = ParseUnsigned(value, 16, "ESN");
      if (esn > 0xFFFFFFFFull) Fail("bad ESN: " + value);
      config.Esn = static_cast<uint32_t>(esn);
    } else if (arg == "--min") {
      config.Min = value;
    } else if (arg == "--dn") {
      config.DirectoryNumber = value;
    } else if (arg == "--lac") {
      config.Lac = value;
    } else if (arg == "--duration") {
      duration = ParseNumber(value, "duration");
    } else if (arg == "--split") {
      faults.Split = ParseChance(value, "chance");
    } else if (arg == "--damage") {
      faults.DamageCrc = ParseChance(value, "chance");
    } else if (arg == "--garbage") {
      faults.Garbage = ParseChance(value, "chance");
    } else if (arg == "--capture") {
      if (value.empty()) Fail("--capture needs a file name");
      capturePath = value;
    } else {
      Fail("unknown option: " + arg);
    }
  }

  // The signals are taken by sigtimedwait below; the device thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  try {
    // Made before the device, whose thread feeds it, and closed after the device has stopped.
    std::unique_ptr<TCaptureRecorder> recorder;
    if (!capturePath.empty()) {
      std::unique_ptr<TCaptureWriter> writer = TCaptureWriter::Create(capturePath);
      std::fprintf(stderr, "cdma-modem-sim: capturing to %s\n", writer->Path().c_str());
      recorder = std::make_unique<TCaptureRecorder>(std::move(writer), [](const std::string& aText) {
        std::fprintf(stderr, "cdma-modem-sim: %s; the capture ends there\n", aText.c_str());
      });
      const int64_t startUs = TCaptureRecorder::NowUs();
      const bool scenarioTime = config.MaxRate;
      config.WireTap = [rec = recorder.get(), startUs, scenarioTime](bool aFromModem, TByteView aBytes, double aMs) {
        const int64_t us = scenarioTime ? startUs + static_cast<int64_t>(aMs * 1000) : TCaptureRecorder::NowUs();
        rec->Append(us, aFromModem ? TCaptureDirection::FromModem : TCaptureDirection::ToModem, aBytes);
      };
    }
    sim::TSimulatedModem modem(config);
    modem.SetFaultRates(faults);
    modem.Start();
    std::printf("%s\n", modem.SlavePath().c_str());
    std::fflush(stdout);

    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(duration));
    for (;;) {
      timespec wait{1, 0};
      if (duration > 0) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        wait = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      }
      const int sig = sigtimedwait(&signals, nullptr, &wait);
      if (sig > 0) break;
    }
    modem.Stop();
    if (recorder) {
      const std::string error = recorder->Close();
      std::fprintf(stderr, "cdma-modem-sim: %llu records captured in %s%s%s\n",
                   static_cast<unsigned long long>(recorder->RecordsAppended()), recorder->Path().c_str(),
                   error.empty() ? "" : "; ", error.c_str());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const sim::TSimCounters c = modem.Counters();
    std::fprintf(stderr,
                 "cdma-modem-sim: ran %.2f s; %llu log packets, %.3f MB of log traffic in %.2f s of logging (%.2f MB/s); "
                 "%llu dropped, %llu damaged, %llu commands\n",
                 seconds, static_cast<unsigned long long>(c.TotalLogsSent()), c.LogBytesWritten / 1e6, c.StreamingSeconds,
                 c.StreamingSeconds > 0 ? c.LogBytesWritten / 1e6 / c.StreamingSeconds : 0.0, static_cast<unsigned long long>(c.LogsDropped),
                 static_cast<unsigned long long>(c.DamagedFrames), static_cast<unsigned long long>(c.CommandsReceived));
    std::string perCode;
    for (const auto& [code, count] : c.LogsSent) {
      char item[32];
      std::snprintf(item, sizeof item, " %04X:%llu", code, static_cast<unsigned long long>(count));
      perCode += item;
    }
    if (!perCode.empty()) std::fprintf(stderr, "cdma-modem-sim: per code%s\n", perCode.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cdma-modem-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
