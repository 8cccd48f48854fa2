// The recorder: rows queued on the window's thread, positions attached as they come, files
// written, synced once a second and closed complete on a thread of the recorder's own.
#include "record/FieldRecorder.h"

#include <unistd.h>

#include <utility>

namespace {

constexpr std::chrono::seconds kSyncInterval{1};

}  // namespace

TFieldRecorder::TFieldRecorder(TFieldRecorderOptions aOptions) : FOnNotice(std::move(aOptions.OnNotice)) {
  try {
    for (const std::string& path : aOptions.Paths) {
      const std::optional<TLogFormat> format = LogFormatOfPath(path);
      if (!format) throw ELogFileError("unknown log format: " + path + " (use " + kLogExtensions + ")");
      TFreshFile file = CreateFreshFile(path);
      if (!file.Note.empty()) Notify(TRecorderNotice::TKind::NameTaken, "log: " + file.Note);
      FPaths.push_back(file.Path);
      FWriters.push_back(CreateLogWriter(std::move(file), *format));
    }
  } catch (const ELogFileError&) {
    // Only what this recorder has just made, still empty of rows, goes again.
    FWriters.clear();
    for (const std::string& made : FPaths) unlink(made.c_str());
    throw;
  }

  if (aOptions.Positions) {
    FPositions = std::move(aOptions.Positions);
  } else if (aOptions.Gpsd) {
    TGpsdPositionSource::TOptions gpsd;
    gpsd.Address = *aOptions.Gpsd;
    gpsd.OnStateChange = [this](TGpsState aState, const std::string& aDetail) { PositionChanged(aState, aDetail); };
    FPositions = std::make_unique<TGpsdPositionSource>(std::move(gpsd));
  }
  FThread = std::jthread([this](std::stop_token aStop) { Run(aStop); });
}

TFieldRecorder::~TFieldRecorder() { Stop(); }

void TFieldRecorder::Consume(const TCycleSample& aSample) {
  TLogRow row;
  row.Entry = aSample;
  Enqueue(std::move(row));
}

void TFieldRecorder::Consume(const TMonitorEvent& aEvent) {
  TLogRow row;
  row.Entry = aEvent;
  Enqueue(std::move(row));
}

void TFieldRecorder::Enqueue(TLogRow aRow) {
  // The position of the moment the window made the row, not of when the thread writes it.
  if (FPositions) aRow.Position = FPositions->Current();
  {
    const std::lock_guard lock(FLock);
    if (FStopped) return;
    if (FQueue.size() >= kMaxQueuedRows) {
      ++FDropped;
      return;
    }
    FQueue.push_back(std::move(aRow));
  }
  FWake.notify_one();
}

std::optional<TGpsState> TFieldRecorder::GpsState() const {
  if (!FPositions) return std::nullopt;
  return FPositions->State();
}

void TFieldRecorder::Stop() {
  {
    const std::lock_guard lock(FLock);
    if (FStopped) return;
    FStopped = true;
  }
  // No position notice after this: the source's thread ends first.
  FPositions.reset();
  FThread.request_stop();
  if (FThread.joinable()) FThread.join();
  FRecording = false;
}

void TFieldRecorder::Run(std::stop_token aStop) {
  auto lastSync = std::chrono::steady_clock::now();
  for (;;) {
    std::deque<TLogRow> rows;
    uint64_t dropped = 0;
    bool stopping = false;
    {
      std::unique_lock lock(FLock);
      FWake.wait_for(lock, aStop, kSyncInterval, [&] { return !FQueue.empty(); });
      rows.swap(FQueue);
      dropped = std::exchange(FDropped, 0);
      stopping = aStop.stop_requested();
    }
    if (dropped > 0)
      Notify(TRecorderNotice::TKind::Error,
             "log: the files fall behind the monitor; " + std::to_string(dropped) + " rows were not written");
    WriteRows(rows);
    if (stopping) break;
    if (const auto now = std::chrono::steady_clock::now(); now - lastSync >= kSyncInterval) {
      SyncWriters(false);
      lastSync = now;
    }
  }
  for (size_t i = 0; i < FWriters.size(); ++i) {
    if (!FWriters[i]) continue;
    try {
      FWriters[i]->Close();
    } catch (const ELogFileError& e) {
      Drop(i, e);
    }
  }
}

void TFieldRecorder::WriteRows(std::deque<TLogRow>& aRows) {
  for (TLogRow& queued : aRows) {
    const TLogRow row = CleanLogRow(std::move(queued));
    bool written = false;
    for (size_t i = 0; i < FWriters.size(); ++i) {
      if (!FWriters[i]) continue;
      try {
        FWriters[i]->Write(row);
        written = true;
      } catch (const ELogFileError& e) {
        Drop(i, e);
      }
    }
    if (written && row.Sample()) ++FSamples;
  }
}

void TFieldRecorder::SyncWriters(bool aForce) {
  for (size_t i = 0; i < FWriters.size(); ++i) {
    if (!FWriters[i]) continue;
    try {
      FWriters[i]->Sync(aForce);
    } catch (const ELogFileError& e) {
      Drop(i, e);
    }
  }
}

void TFieldRecorder::Drop(size_t aIndex, const ELogFileError& aError) {
  FWriters[aIndex].reset();
  bool anyLeft = false;
  for (const auto& writer : FWriters) anyLeft = anyLeft || writer != nullptr;
  if (!anyLeft) FRecording = false;
  Notify(TRecorderNotice::TKind::Error,
         std::string("log: ") + aError.what() + (anyLeft ? "; that file stays as it is" : "; recording stopped"));
}

void TFieldRecorder::Notify(TRecorderNotice::TKind aKind, std::string aText) {
  if (FOnNotice) FOnNotice(TRecorderNotice{aKind, std::move(aText)});
}

void TFieldRecorder::PositionChanged(TGpsState aState, const std::string& aDetail) {
  const bool hasPosition = aState == TGpsState::Fix2D || aState == TGpsState::Fix3D;
  const std::optional<bool> had = std::exchange(FHadPosition, hasPosition);
  if (had == hasPosition) return;
  std::string text;
  if (hasPosition)
    text = had ? "gps: position back: " + aDetail : "gps: " + aDetail;
  else
    text = had.value_or(false) ? "gps: position lost: " + aDetail
                               : "gps: no position: " + aDetail + "; recording without positions";
  Notify(TRecorderNotice::TKind::Position, std::move(text));
}
