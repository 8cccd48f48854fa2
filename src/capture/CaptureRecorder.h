// Records for a capture file, taken from any thread at the cost of a copy into memory; a thread
// of the recorder's own writes them and flushes the file at least every second.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureFile.h"

class TCaptureRecorder {
 public:
  using TErrorHandler = std::function<void(const std::string& aText)>;

  // aOnError hears, once and on the recorder's thread, why writing stopped.
  explicit TCaptureRecorder(std::unique_ptr<TCaptureWriter> aWriter, TErrorHandler aOnError = {},
                            std::chrono::milliseconds aFlushInterval = std::chrono::milliseconds(250));
  // Closes.
  ~TCaptureRecorder();
  TCaptureRecorder(const TCaptureRecorder&) = delete;
  TCaptureRecorder& operator=(const TCaptureRecorder&) = delete;

  const std::string& Path() const { return FPath; }

  // Any thread; never waits for the file.
  void Append(int64_t aTimeUs, TCaptureDirection aDirection, TByteView aPayload);
  void Append(TCaptureDirection aDirection, TByteView aPayload) { Append(NowUs(), aDirection, aPayload); }

  // Writes what was appended, closes the file and ends the thread; later appends are dropped.
  // Idempotent. Returns what went wrong, empty when nothing did.
  std::string Close();
  // Waits until everything appended so far has been written and flushed.
  void Sync();

  uint64_t RecordsAppended() const;

  // Microseconds since the Unix epoch, as records are stamped.
  static int64_t NowUs();

 private:
  struct TEntry {
    int64_t TimeUs;
    TCaptureDirection Direction;
    size_t Offset, Length;
  };
  struct TBatch {
    TByteString Bytes;
    std::vector<TEntry> Entries;
  };

  void Run(std::stop_token aStop);
  // Writes one batch and flushes; false once writing has failed.
  bool WriteBatch(const TBatch& aBatch);

  const std::string FPath;
  const TErrorHandler FOnError;
  const std::chrono::milliseconds FFlushInterval;
  std::unique_ptr<TCaptureWriter> FWriter;  // the recorder's thread only, until it has ended

  mutable std::mutex FLock;  // the queue, the counters and the closing state
  std::condition_variable_any FChanged;
  TBatch FQueue;
  uint64_t FAppended = 0;
  uint64_t FWritten = 0;  // appended records that have been written and flushed (or dropped)
  uint64_t FDropped = 0;  // records refused because the queue was full
  bool FClosed = false;
  bool FSyncWanted = false;
  bool FThreadEnded = false;
  std::string FError;
  std::jthread FThread;  // last: started once the rest exists
};
