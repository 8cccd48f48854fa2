// Capture files: pcap files of link type USER0 whose records are what crossed the modem's
// diagnostic port, one read or write each, its first byte telling the direction.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/ByteString.h"

// The link type of every capture: the first of the types set aside for private use.
constexpr int kCaptureLinkType = 147;
// The largest record, its direction byte included; longer reads and writes take several records.
constexpr uint32_t kCaptureSnapLength = 262144;
constexpr size_t kCaptureMaxPayload = kCaptureSnapLength - 1;

enum class TCaptureDirection : uint8_t {
  FromModem = 0,
  ToModem = 1,
  // Not on the wire: something the monitor did that a replay must do at the same place.
  Monitor = 2,
};

// The payload's first byte in a Monitor record.
enum class TMonitorMark : uint8_t {
  ReaderStarted = 1,  // a reader began waiting on the port: what follows is read by it
  TimerTick = 2,      // one of the monitor's timers ran; a second byte gives the timer's number
};

struct TCaptureRecord {
  int64_t TimeUs = 0;  // microseconds since the Unix epoch
  TCaptureDirection Direction = TCaptureDirection::FromModem;
  TByteString Payload;  // the bytes after the direction byte
};

// A capture that cannot be made or read; the text names the file (and the record) and says why.
class ECaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes a new capture file. Not thread-safe: one owner writes and flushes.
class TCaptureWriter {
 public:
  // Never replaces a file: when aPath exists, "name-1.ext", "name-2.ext", ... is tried in turn.
  // The file is owner-only (it holds the modem's identity). Its header is on disk when this
  // returns. Throws ECaptureError with the system's text.
  static std::unique_ptr<TCaptureWriter> Create(const std::string& aPath);
  ~TCaptureWriter();
  TCaptureWriter(const TCaptureWriter&) = delete;
  TCaptureWriter& operator=(const TCaptureWriter&) = delete;

  // The name chosen.
  const std::string& Path() const { return FPath; }
  // A payload longer than kCaptureMaxPayload is written as several records of the same time.
  void Write(int64_t aTimeUs, TCaptureDirection aDirection, TByteView aPayload);
  // Hands what is buffered to the system. Throws ECaptureError once writing has failed.
  void Flush();
  // Flushes and closes; further writes are ignored. Throws like Flush.
  void Close();
  uint64_t RecordsWritten() const { return FRecords; }

 private:
  struct TPcap;
  TCaptureWriter(std::string aPath, std::unique_ptr<TPcap> aPcap);

  std::string FPath;
  std::unique_ptr<TPcap> FPcap;
  uint64_t FRecords = 0;
  TByteString FRecord;  // direction byte and payload of the record being written
};

// Reads a capture record by record.
class TCaptureReader {
 public:
  enum class TResult {
    Record,   // aRecord holds the next record
    End,      // the file ended after a whole record
    CutOff,   // the file ends inside a record (a writer that did not finish): the ones before stand
    Damaged,  // a record that cannot be a capture's; nothing after it can be trusted
  };

  // Throws ECaptureError when the file cannot be opened, is no capture or has another link type.
  explicit TCaptureReader(const std::string& aPath);
  // Takes the stream (closed with the reader); aName stands for the file in messages.
  TCaptureReader(std::FILE* aFile, std::string aName);
  ~TCaptureReader();
  TCaptureReader(const TCaptureReader&) = delete;
  TCaptureReader& operator=(const TCaptureReader&) = delete;

  TResult Next(TCaptureRecord& aRecord);
  // The number of the record last read or found cut off or damaged, from 1.
  uint64_t RecordNumber() const { return FRecordNumber; }
  // For CutOff and Damaged: one line naming the file and the record.
  const std::string& Problem() const { return FProblem; }
  const std::string& Name() const { return FName; }

 private:
  struct TPcap;
  void Open(std::FILE* aFile);

  std::string FName;
  std::unique_ptr<TPcap> FPcap;
  uint64_t FRecordNumber = 0;
  std::string FProblem;
  bool FDone = false;
};

// "drive.pcap", 3 -> "drive-3.pcap"; "drive", 3 -> "drive-3".
std::string NumberedCaptureName(const std::string& aPath, unsigned aNumber);
