// The field log as a sink of the main window: every sample and event, with the position of the
// moment, written to any number of files on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "record/LogWriters.h"
#include "record/PositionSource.h"
#include "window/CycleSample.h"

// What the recorder tells the user: a file that failed, a name chosen instead of one in use, the
// position lost or back. Texts start with "log: " or "gps: ".
struct TRecorderNotice {
  enum class TKind { Info, NameTaken, Error, Position };
  TKind Kind = TKind::Info;
  std::string Text;
};

struct TFieldRecorderOptions {
  std::vector<std::string> Paths;  // each with a known extension (LogFormatOfPath)
  // Where positions come from: gpsd at this address, or none at all.
  std::optional<TGpsdAddress> Gpsd;
  // Instead of gpsd: a source of the caller's (tests).
  std::unique_ptr<TPositionSource> Positions;
  // Called on the recorder's threads; must return at once (post it to the window).
  std::function<void(const TRecorderNotice&)> OnNotice;
};

class TFieldRecorder final : public TCycleSink {
 public:
  // Rows that may wait for the writing thread; more are dropped and counted.
  static constexpr size_t kMaxQueuedRows = 4096;

  // Makes every file at once, or none: ELogFileError names the first one the system refused
  // (those already made are removed again, being empty). The notices of names chosen instead of
  // the ones asked for come before this returns, on the calling thread.
  explicit TFieldRecorder(TFieldRecorderOptions aOptions);
  // Stop().
  ~TFieldRecorder() override;
  TFieldRecorder(const TFieldRecorder&) = delete;
  TFieldRecorder& operator=(const TFieldRecorder&) = delete;

  // The window's thread; only a copy under the queue's lock.
  void Consume(const TCycleSample& aSample) override;
  void Consume(const TMonitorEvent& aEvent) override;

  // Writes what is queued and closes every file complete; no notices come after it. Rows that
  // come later are dropped.
  void Stop();

  // The names of the files, as made.
  const std::vector<std::string>& Paths() const { return FPaths; }
  // Samples written to at least one file.
  uint64_t Samples() const { return FSamples.load(); }
  // False once every file has failed, or after Stop.
  bool Recording() const { return FRecording.load(); }
  std::optional<TGpsState> GpsState() const;

 private:
  void Enqueue(TLogRow aRow);
  void Run(std::stop_token aStop);
  void WriteRows(std::deque<TLogRow>& aRows);
  void SyncWriters(bool aForce);
  // A writer's failure: one notice, and the file is left as it stands.
  void Drop(size_t aIndex, const ELogFileError& aError);
  void Notify(TRecorderNotice::TKind aKind, std::string aText);
  void PositionChanged(TGpsState aState, const std::string& aDetail);

  std::function<void(const TRecorderNotice&)> FOnNotice;
  std::vector<std::unique_ptr<TLogWriter>> FWriters;  // the writing thread's; null once failed
  std::vector<std::string> FPaths;
  std::atomic<uint64_t> FSamples{0};
  std::atomic<bool> FRecording{true};

  std::mutex FLock;  // the queue and the stop
  std::condition_variable_any FWake;
  std::deque<TLogRow> FQueue;
  uint64_t FDropped = 0;
  bool FStopped = false;

  std::optional<bool> FHadPosition;  // the position thread's: what the last position notice said
  std::unique_ptr<TPositionSource> FPositions;
  std::jthread FThread;
};
