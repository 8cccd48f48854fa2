// Reading a CSV field log row by row into the writer of another format.
#include "record/LogConverter.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/SystemError.h"
#include "record/CsvFormat.h"
#include "record/LogWriters.h"

namespace {

using TColumnMap = std::array<std::optional<size_t>, kLogColumns.size()>;

// Where each of the log's columns is in the file's header; none when the header lacks the two a
// row cannot do without.
std::optional<TColumnMap> MapColumns(const TCsvReader::TRecord& aHeader) {
  TColumnMap map;
  for (size_t field = 0; field < aHeader.size(); ++field)
    for (size_t column = 0; column < kLogColumns.size(); ++column)
      if (aHeader[field] == kLogColumns[column] && !map[column]) map[column] = field;
  if (!map[ColumnIndex(TLogColumn::Time)] || !map[ColumnIndex(TLogColumn::Kind)]) return std::nullopt;
  return map;
}

std::optional<TLogRow> RowOf(const TCsvReader::TRecord& aRecord, const TColumnMap& aMap) {
  TLogTexts texts;
  for (size_t column = 0; column < texts.size(); ++column)
    if (aMap[column] && *aMap[column] < aRecord.size() && !aRecord[*aMap[column]].empty())
      texts[column] = aRecord[*aMap[column]];
  return ParseLogRow(texts);
}

}  // namespace

TConversion ConvertCsvLog(const std::string& aInput, const std::string& aOutput) {
  const std::optional<TLogFormat> format = LogFormatOfPath(aOutput);
  if (!format) throw ELogFileError("unknown log format: " + aOutput + " (use " + kLogExtensions + ")");
  TFileHandle input(open(aInput.c_str(), O_RDONLY | O_CLOEXEC));
  if (input.Get() < 0) throw ELogFileError("cannot read " + aInput + ": " + SysErrorMessage(errno));

  TCsvReader reader;
  std::optional<TColumnMap> columns;
  std::unique_ptr<TLogWriter> writer;
  TConversion conversion;
  std::string made;
  try {
    std::array<char, 64 * 1024> buffer;
    for (;;) {
      const ssize_t got = read(input.Get(), buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw ELogFileError("cannot read " + aInput + ": " + SysErrorMessage(errno));
      if (got == 0) break;
      reader.Feed(std::string_view(buffer.data(), static_cast<size_t>(got)));
      while (const std::optional<TCsvReader::TRecord> record = reader.Next()) {
        if (!columns) {
          columns = MapColumns(*record);
          if (!columns) throw ELogFileError(aInput + " is no field log: its first line names no time and kind columns");
          TFreshFile file = CreateFreshFile(aOutput);
          made = file.Path;
          conversion.OutputPath = file.Path;
          conversion.Note = file.Note;
          writer = CreateLogWriter(std::move(file), *format);
          continue;
        }
        const std::optional<TLogRow> row = RowOf(*record, *columns);
        if (!row) {
          ++conversion.Unreadable;
          continue;
        }
        writer->Write(*row);
        ++conversion.Rows;
        if (row->Position.Known()) ++conversion.Positions;
      }
    }
    if (!columns) throw ELogFileError(aInput + " is no field log: it has no header line");
    conversion.CutOff = reader.HasIncompleteRecord();
    writer->Close();
  } catch (const ELogFileError&) {
    writer.reset();
    if (!made.empty()) unlink(made.c_str());
    throw;
  }
  return conversion;
}
