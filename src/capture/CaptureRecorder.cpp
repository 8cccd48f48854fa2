// The capture recorder's queue and writing thread.
#include "capture/CaptureRecorder.h"

namespace {

// Bytes the queue may hold while the file does not keep up (a stalled disk); later records
// are dropped and the loss is reported, rather than memory running out.
constexpr size_t kMaxQueuedBytes = 64 * 1024 * 1024;

}  // namespace

TCaptureRecorder::TCaptureRecorder(std::unique_ptr<TCaptureWriter> aWriter, TErrorHandler aOnError,
                                   std::chrono::milliseconds aFlushInterval)
    : FPath(aWriter->Path()),
      FOnError(std::move(aOnError)),
      FFlushInterval(aFlushInterval),
      FWriter(std::move(aWriter)),
      FThread([this](std::stop_token aStop) { Run(aStop); }) {}

TCaptureRecorder::~TCaptureRecorder() { Close(); }

int64_t TCaptureRecorder::NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void TCaptureRecorder::Append(int64_t aTimeUs, TCaptureDirection aDirection, TByteView aPayload) {
  std::lock_guard lock(FLock);
  if (FClosed) return;
  if (FQueue.Bytes.size() + aPayload.size() > kMaxQueuedBytes) {
    ++FDropped;
    return;
  }
  FQueue.Entries.push_back({aTimeUs, aDirection, FQueue.Bytes.size(), aPayload.size()});
  FQueue.Bytes.append(aPayload);
  ++FAppended;
}

uint64_t TCaptureRecorder::RecordsAppended() const {
  std::lock_guard lock(FLock);
  return FAppended;
}

void TCaptureRecorder::Sync() {
  std::unique_lock lock(FLock);
  const uint64_t target = FAppended;
  FSyncWanted = true;
  FChanged.notify_all();
  FChanged.wait(lock, [&] { return FWritten >= target || FThreadEnded; });
}

std::string TCaptureRecorder::Close() {
  {
    std::lock_guard lock(FLock);
    if (FClosed) return FError;
    FClosed = true;
  }
  // The thread writes what is queued before it ends, then the file is closed here.
  FThread.request_stop();
  if (FThread.joinable()) FThread.join();
  std::lock_guard lock(FLock);
  if (FWriter) {
    try {
      FWriter->Close();
    } catch (const ECaptureError& e) {
      if (FError.empty()) FError = e.what();
    }
    FWriter.reset();
  }
  FChanged.notify_all();
  return FError;
}

bool TCaptureRecorder::WriteBatch(const TBatch& aBatch) {
  try {
    for (const TEntry& e : aBatch.Entries)
      FWriter->Write(e.TimeUs, e.Direction, TByteView(aBatch.Bytes).substr(e.Offset, e.Length));
    FWriter->Flush();
    return true;
  } catch (const ECaptureError& e) {
    {
      std::lock_guard lock(FLock);
      FError = e.what();
    }
    if (FOnError) FOnError(e.what());
    return false;
  }
}

void TCaptureRecorder::Run(std::stop_token aStop) {
  TBatch batch;
  bool failed = false;
  for (;;) {
    const bool stopping = aStop.stop_requested();
    {
      std::unique_lock lock(FLock);
      if (!stopping) FChanged.wait_for(lock, aStop, FFlushInterval, [&] { return FSyncWanted; });
      FSyncWanted = false;
      std::swap(batch, FQueue);
    }
    const uint64_t count = batch.Entries.size();
    if (!failed && count > 0) failed = !WriteBatch(batch);
    uint64_t dropped = 0;
    {
      std::lock_guard lock(FLock);
      dropped = FDropped;
    }
    if (!failed && dropped > 0) {
      const std::string text = FPath + ": the file did not keep up with the port; " + std::to_string(dropped) +
                               " records were dropped";
      {
        std::lock_guard lock(FLock);
        FError = text;
      }
      if (FOnError) FOnError(text);
      failed = true;
    }
    batch.Entries.clear();
    batch.Bytes.clear();
    {
      std::lock_guard lock(FLock);
      FWritten += count;
      FThreadEnded = stopping;
    }
    FChanged.notify_all();
    if (stopping) return;
  }
}
