// Comma-separated values as RFC 4180 has them: fields quoted where they need it, records ended
// by CR LF, and a reader that takes them back, quoted line ends and doubled quotes included.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// aText as one field: as it is, or in double quotes with its quotes doubled when it holds a
// comma, a quote, a CR or an LF.
std::string CsvField(std::string_view aText);

// Reads records from text handed over in pieces of any size.
class TCsvReader {
 public:
  using TRecord = std::vector<std::string>;

  // Appends aBytes; the records they complete can then be taken with Next.
  void Feed(std::string_view aBytes);
  // The next complete record (its line end, CR LF or LF alone, consumed), or none for now.
  std::optional<TRecord> Next();
  // Text after the last complete record: a record cut off by the end of the file.
  bool HasIncompleteRecord() const { return FConsumed < FText.size(); }

 private:
  std::string FText;
  size_t FConsumed = 0;
};
