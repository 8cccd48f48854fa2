// The row-per-line writers, CSV and JSON Lines: each row goes to the file with one write as it
// comes, so that a crash loses nothing written; the disk gets it at the next Sync.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>

#include "record/CsvFormat.h"
#include "record/LogWriters.h"

namespace {

class TLineLogWriter final : public TLogWriter {
 public:
  using TFormatLine = std::function<std::string(const TLogValues&)>;

  TLineLogWriter(TFreshFile aFile, std::string_view aOpening, TFormatLine aFormatLine)
      : FFd(std::move(aFile.Fd)), FPath(std::move(aFile.Path)), FFormatLine(std::move(aFormatLine)) {
    Append(aOpening);
  }

  void Write(const TLogRow& aRow) override { Append(FFormatLine(LogRowValues(aRow))); }
  void Sync(bool) override {
    if (!FDirty || FFd.Get() < 0) return;
    SyncData(FFd.Get(), FPath);
    FDirty = false;
  }
  void Close() override {
    if (FFd.Get() < 0) return;
    Sync(true);
    FFd.Reset();
  }
  const std::string& Path() const override { return FPath; }

 private:
  // A line the disk took only in part is taken back, so that the file ends with a whole row.
  void Append(std::string_view aLine) {
    if (aLine.empty()) return;
    try {
      WriteAll(FFd.Get(), aLine, FPath);
    } catch (const ELogFileError&) {
      if (ftruncate(FFd.Get(), FSize) == 0) lseek(FFd.Get(), FSize, SEEK_SET);
      throw;
    }
    FSize += static_cast<off_t>(aLine.size());
    FDirty = true;
  }

  TFileHandle FFd;
  std::string FPath;
  TFormatLine FFormatLine;
  off_t FSize = 0;
  bool FDirty = false;
};

std::string CsvHeader() {
  std::string line;
  for (const std::string_view name : kLogColumns) {
    if (!line.empty()) line += ',';
    line += name;
  }
  return line + "\r\n";
}

std::string CsvLine(const TLogValues& aValues) {
  std::string line;
  for (size_t i = 0; i < aValues.size(); ++i) {
    if (i > 0) line += ',';
    line += CsvField(aValues[i].Text);
  }
  return line + "\r\n";
}

std::string JsonLine(const TLogValues& aValues) {
  std::string line = "{";
  for (size_t i = 0; i < aValues.size(); ++i) {
    const TLogValue& value = aValues[i];
    if (value.Type == TLogValueType::Absent) continue;
    if (line.size() > 1) line += ',';
    line += JsonString(kLogColumns[i]);
    line += ':';
    switch (value.Type) {
      case TLogValueType::Text: line += JsonString(value.Text); break;
      case TLogValueType::Number: line += value.Text; break;
      case TLogValueType::Bool: line += value.Text == "1" ? "true" : "false"; break;
      case TLogValueType::Absent: break;
    }
  }
  return line + "}\n";
}

}  // namespace

std::string JsonString(std::string_view aText) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : aText) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': quoted += "\\\""; break;
      case '\\': quoted += "\\\\"; break;
      case '\n': quoted += "\\n"; break;
      case '\r': quoted += "\\r"; break;
      case '\t': quoted += "\\t"; break;
      default:
        if (byte < 0x20) {
          quoted += "\\u00";
          quoted += kHex[byte >> 4];
          quoted += kHex[byte & 0xF];
        } else {
          quoted += c;
        }
    }
  }
  return quoted + "\"";
}

std::unique_ptr<TLogWriter> CreateCsvLogWriter(TFreshFile aFile) {
  return std::make_unique<TLineLogWriter>(std::move(aFile), CsvHeader(), CsvLine);
}

std::unique_ptr<TLogWriter> CreateJsonLinesLogWriter(TFreshFile aFile) {
  return std::make_unique<TLineLogWriter>(std::move(aFile), std::string_view(), JsonLine);
}

std::optional<TLogFormat> LogFormatOfPath(std::string_view aPath) {
  struct TExtension {
    std::string_view Text;
    TLogFormat Format;
  };
  static constexpr TExtension kExtensions[] = {
      {".csv", TLogFormat::Csv}, {".jsonl", TLogFormat::JsonLines}, {".gpx", TLogFormat::Gpx}, {".kml", TLogFormat::Kml}};
  const size_t slash = aPath.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? aPath : aPath.substr(slash + 1);
  for (const TExtension& extension : kExtensions) {
    if (name.size() <= extension.Text.size()) continue;
    const std::string_view tail = name.substr(name.size() - extension.Text.size());
    if (std::equal(tail.begin(), tail.end(), extension.Text.begin(),
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      return extension.Format;
  }
  return std::nullopt;
}

std::unique_ptr<TLogWriter> CreateLogWriter(TFreshFile aFile, TLogFormat aFormat) {
  switch (aFormat) {
    case TLogFormat::Csv: return CreateCsvLogWriter(std::move(aFile));
    case TLogFormat::JsonLines: return CreateJsonLinesLogWriter(std::move(aFile));
    case TLogFormat::Gpx: return CreateGpxLogWriter(std::move(aFile));
    case TLogFormat::Kml: return CreateKmlLogWriter(std::move(aFile));
  }
  return nullptr;
}
