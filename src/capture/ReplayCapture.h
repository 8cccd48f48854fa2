// A capture read whole for a replay: its records in order, their bytes in one block.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/CaptureFile.h"

struct TReplayRecord {
  int64_t TimeUs = 0;
  TCaptureDirection Direction = TCaptureDirection::FromModem;
  size_t Offset = 0;  // of the payload in the block
  size_t Length = 0;
};

class TReplayCapture {
 public:
  // Throws ECaptureError (one line naming the file, and the record where there is one) for what
  // cannot be replayed: no capture, another link type, a damaged record, nothing from the modem.
  // A capture that ends inside its last record loads the records before it; Warning says so.
  static std::shared_ptr<const TReplayCapture> Load(const std::string& aPath);
  static std::shared_ptr<const TReplayCapture> Load(TCaptureReader& aReader);
  // Records already in memory (tests); the same checks.
  static std::shared_ptr<const TReplayCapture> FromRecords(const std::string& aName,
                                                           const std::vector<TCaptureRecord>& aRecords);

  // The file's name without its directory.
  const std::string& Name() const { return FName; }
  const std::string& Warning() const { return FWarning; }

  size_t Size() const { return FRecords.size(); }
  const TReplayRecord& operator[](size_t aIndex) const { return FRecords[aIndex]; }
  TByteView Payload(size_t aIndex) const {
    return TByteView(FBytes).substr(FRecords[aIndex].Offset, FRecords[aIndex].Length);
  }
  uint64_t ModemBytes() const { return FModemBytes; }
  // Whether the monitor that made it marked its timers' ticks (a capture of the monitor's own,
  // not of the simulated modem's).
  bool HasTimerMarks() const { return FTimerMarks; }
  // Time from the first record to the last, in microseconds.
  int64_t SpanUs() const { return FRecords.empty() ? 0 : FRecords.back().TimeUs - FRecords.front().TimeUs; }

 private:
  void Add(const TCaptureRecord& aRecord);
  void Check(const std::string& aName) const;

  std::string FName;
  std::string FWarning;
  std::vector<TReplayRecord> FRecords;
  TByteString FBytes;
  uint64_t FModemBytes = 0;
  bool FTimerMarks = false;
};
