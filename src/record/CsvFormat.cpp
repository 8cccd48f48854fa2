// RFC 4180 fields and records, written and read.
#include "record/CsvFormat.h"

std::string CsvField(std::string_view aText) {
  if (aText.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(aText);
  std::string quoted = "\"";
  for (const char c : aText) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

void TCsvReader::Feed(std::string_view aBytes) {
  // What has been taken is dropped before the buffer grows.
  if (FConsumed > 0) {
    FText.erase(0, FConsumed);
    FConsumed = 0;
  }
  FText.append(aBytes);
}

std::optional<TCsvReader::TRecord> TCsvReader::Next() {
  TRecord record;
  std::string field;
  bool quoted = false;      // inside a quoted field
  bool wasQuoted = false;   // the field began with a quote
  for (size_t i = FConsumed; i < FText.size(); ++i) {
    const char c = FText[i];
    if (quoted) {
      if (c != '"') {
        field += c;
      } else if (i + 1 < FText.size() && FText[i + 1] == '"') {
        field += '"';
        ++i;
      } else if (i + 1 < FText.size()) {
        quoted = false;
      } else {
        return std::nullopt;  // a closing quote or a doubled one: the next piece tells
      }
      continue;
    }
    if (c == '"' && field.empty() && !wasQuoted) {
      quoted = wasQuoted = true;
    } else if (c == ',') {
      record.push_back(std::move(field));
      field.clear();
      wasQuoted = false;
    } else if (c == '\n' || (c == '\r' && i + 1 < FText.size() && FText[i + 1] == '\n')) {
      record.push_back(std::move(field));
      FConsumed = i + (c == '\r' ? 2 : 1);
      return record;
    } else if (c == '\r' && i + 1 == FText.size()) {
      return std::nullopt;  // perhaps the first half of CR LF
    } else {
      // A stray character (a quote inside an unquoted field, text after a closing quote) is
      // kept as text rather than refusing the record.
      field += c;
    }
  }
  return std::nullopt;
}
