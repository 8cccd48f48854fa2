// Shared by the capture tests: a private directory, captures written from records, and a
// monitor stand-in that drives a replay at the maximum speed without threads.
#pragma once

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/CaptureFile.h"
#include "capture/ReplaySource.h"
#include "protocol/FrameCodec.h"

namespace capture_test {

class TTempDir {
 public:
  TTempDir() {
    char dir[] = "/tmp/cdma-capture-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    FPath = dir;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string operator/(const std::string& aName) const { return FPath + "/" + aName; }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

inline TCaptureRecord Rec(int64_t aTimeUs, TCaptureDirection aDirection, TByteString aPayload) {
  return {aTimeUs, aDirection, std::move(aPayload)};
}
inline TCaptureRecord FromModem(int64_t aTimeUs, TByteString aPayload) {
  return Rec(aTimeUs, TCaptureDirection::FromModem, std::move(aPayload));
}
inline TCaptureRecord ToModem(int64_t aTimeUs, TByteString aPayload) {
  return Rec(aTimeUs, TCaptureDirection::ToModem, std::move(aPayload));
}
inline TCaptureRecord ReaderMark(int64_t aTimeUs) {
  return Rec(aTimeUs, TCaptureDirection::Monitor, TByteString(1, static_cast<char>(TMonitorMark::ReaderStarted)));
}

// Writes the records to a new file; returns the name it got.
inline std::string WriteCapture(const std::string& aPath, const std::vector<TCaptureRecord>& aRecords) {
  std::unique_ptr<TCaptureWriter> writer = TCaptureWriter::Create(aPath);
  for (const TCaptureRecord& r : aRecords) writer->Write(r.TimeUs, r.Direction, r.Payload);
  writer->Close();
  return writer->Path();
}

inline TByteString ReadFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return TByteString(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& aPath, TByteView aBytes) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out.write(aBytes.data(), static_cast<std::streamsize>(aBytes.size()));
}

// Every record of a capture file, through the reader.
inline std::vector<TCaptureRecord> ReadCapture(const std::string& aPath) {
  TCaptureReader reader(aPath);
  std::vector<TCaptureRecord> records;
  TCaptureRecord r;
  while (reader.Next(r) == TCaptureReader::TResult::Record) records.push_back(r);
  return records;
}

// How many records tshark finds in the file; none when tshark is not installed or fails.
inline std::optional<size_t> TsharkCount(const std::string& aPath) {
  if (access("/usr/bin/tshark", X_OK) != 0) return std::nullopt;
  const std::string command = "/usr/bin/tshark -n -r '" + aPath + "' -T fields -e frame.number 2>/dev/null";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return std::nullopt;
  size_t lines = 0;
  char line[256];
  while (std::fgets(line, sizeof line, pipe)) ++lines;
  const int status = pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return lines;
}

// The monitor's side of a replay at the maximum speed, in one thread: the reader is taken as
// idle between steps (it takes everything released at once), commands are written when the
// replay has nothing else to do.
class TMonitorStandIn {
 public:
  TMonitorStandIn(TReplaySource& aSource) : FDevice(aSource.Devices()()), FSource(aSource) {}

  int Open() { return FDevice->Open(FSource.DevicePath()); }
  // A reader that starts, as the monitor's does before each conversation.
  void StartReader() {
    FDevice->SetWaitMask(kEvRxChar);
    FDevice->SetWaitMask(0);
  }
  void Write(TByteView aBytes) {
    uint32_t written = 0;
    ASSERT_EQ(FDevice->Write(aBytes.data(), static_cast<uint32_t>(aBytes.size()), written, nullptr), 0);
  }
  // Steps until the replay blocks or ends; returns what was read meanwhile.
  TByteString Run(size_t aMaxSteps = 100000) {
    TByteString read;
    for (size_t i = 0; i < aMaxSteps; ++i) {
      Take(read);
      const TReplaySource::TStep step = FSource.Step(std::nullopt);
      if (step.Kind == TReplaySource::TStep::TKind::Blocked || step.Kind == TReplaySource::TStep::TKind::Ended) break;
    }
    Take(read);
    return read;
  }
  TSerialDevice& Device() { return *FDevice; }

 private:
  void Take(TByteString& aRead) {
    uint32_t queued = 0;
    if (FDevice->QueuedBytes(queued) != 0 || queued == 0) return;
    TByteString bytes(queued, '\0');
    uint32_t got = 0;
    if (FDevice->Read(bytes.data(), queued, got, nullptr) == 0) aRead.append(bytes, 0, got);
  }

  std::unique_ptr<TSerialDevice> FDevice;
  TReplaySource& FSource;
};

}  // namespace capture_test
