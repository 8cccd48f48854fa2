// The field log's writers, one per format, chosen by the file's extension: CSV and JSON Lines
// (a row per sample or event, each on disk as soon as written), GPX and KML (documents kept whole
// on disk, rewritten every few seconds).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "record/LogFile.h"
#include "record/LogRow.h"

enum class TLogFormat { Csv, JsonLines, Gpx, Kml };

// By the extension, in any case: .csv, .jsonl, .gpx, .kml.
std::optional<TLogFormat> LogFormatOfPath(std::string_view aPath);
inline constexpr char kLogExtensions[] = ".csv, .jsonl, .gpx or .kml";

// Every call comes from one thread at a time. Write and Sync throw ELogFileError; after one the
// writer is of no further use, but what reached the file before stays there whole.
class TLogWriter {
 public:
  virtual ~TLogWriter() = default;
  virtual void Write(const TLogRow& aRow) = 0;
  // What was written reaches the disk: the rows at once; a document at its rewrite interval, or
  // now with aForce.
  virtual void Sync(bool aForce) = 0;
  // The file complete and on disk; nothing is written after.
  virtual void Close() = 0;
  virtual const std::string& Path() const = 0;
};

// The shortest and longest time between two rewrites of a GPX or KML document: the interval grows
// with the document so that rewriting costs the disk about kDocumentRewriteRate.
inline constexpr std::chrono::seconds kMinDocumentRewriteInterval{5};
inline constexpr std::chrono::seconds kMaxDocumentRewriteInterval{60};
inline constexpr uint64_t kDocumentRewriteRate = 256 * 1024;  // bytes per second

// Makes the file (under a free name: aFile from CreateFreshFile) and writes its opening: the CSV
// header, or a valid empty document. Throws ELogFileError.
std::unique_ptr<TLogWriter> CreateLogWriter(TFreshFile aFile, TLogFormat aFormat);

// The formats' own parts, for the factory.
std::unique_ptr<TLogWriter> CreateCsvLogWriter(TFreshFile aFile);
std::unique_ptr<TLogWriter> CreateJsonLinesLogWriter(TFreshFile aFile);
std::unique_ptr<TLogWriter> CreateGpxLogWriter(TFreshFile aFile);
std::unique_ptr<TLogWriter> CreateKmlLogWriter(TFreshFile aFile);

// aText (UTF-8) as a JSON string, quotes included.
std::string JsonString(std::string_view aText);
