// A program's options and console commands as tables: the one source of its --help text, its
// manual page and its shell completion, and the list its parser looks an option up in.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

// What an option's value is, for the completion to offer the right things.
enum class TOptionValue {
  None,          // a switch
  Text,          // a number, an address, a URL: nothing to offer
  Choice,        // one of Choices
  SerialDevice,  // a serial device's path
  File,          // a file's path
};

struct TOptionRow {
  std::string_view Name;        // "--port"
  std::string_view Value = {};  // its value's name in the texts ("DEVICE"); empty for a switch;
                                // one name per value where it takes several ("IN OUT")
  TOptionValue Kind = TOptionValue::None;
  std::string_view Choices = {};  // Choice: the values, separated by spaces
  std::string_view Alias = {};    // a short spelling ("-h"), or empty
  bool Repeatable = false;        // may be given several times
  bool Alone = false;             // used on its own (--help, --version): a synopsis line of its
                                  // own, shared with the Alone rows of its Group
  std::string_view Group = {};    // options used together share a synopsis line
  std::string_view Help;          // one paragraph, wrapped by whoever shows it

  bool TakesValue() const { return !Value.empty(); }
  size_t ValueCount() const;
  std::vector<std::string_view> ChoiceList() const;
};

// A line typed on standard input while the program runs.
struct TCommandRow {
  std::string_view Name;  // with its arguments: "select NAME"
  std::string_view Help;
};

// Everything the texts of one program are made of.
struct TProgramTexts {
  std::string_view Program;      // "cdma-monitor"
  std::string_view Description;  // the paragraph under the synopsis in --help
  std::span<const TOptionRow> Options;
  std::span<const TCommandRow> Commands = {};  // may be empty
  std::string_view CommandsHeading = {};  // the line above them in --help
  std::string_view Epilogue = {};         // a last paragraph in --help, or empty
};

// The row for a spelling (name or alias), or null.
const TOptionRow* FindOption(std::span<const TOptionRow> aRows, std::string_view aSpelling);

// The synopsis: one line per group of options, in the order the groups first appear; a line after
// the first goes with the options above it ("cdma-monitor ... [--align]"). The Alone rows follow,
// a line per group ("cdma-monitor --convert IN OUT"), the ungrouped ones last
// ("cdma-monitor --help | --version").
struct TSynopsisLine {
  bool WithAbove = false;
  bool Alone = false;
  std::string_view Group = {};
  std::vector<const TOptionRow*> Rows = {};
  // How the row at aIndex stands in its line: after a "|" (the ungrouped Alone rows are
  // alternatives: "--help | --version"), and in brackets as optional (every row but the first
  // of a group used alone: "--dump FILE [--json]"; every row of a running program's line).
  bool Alternative(size_t aIndex) const { return Alone && Group.empty() && aIndex > 0; }
  bool Optional(size_t aIndex) const { return !Alone || (!Group.empty() && aIndex > 0); }
};
std::vector<TSynopsisLine> SynopsisLines(const TProgramTexts& aTexts);

// The text --help prints, wrapped at aWidth columns.
std::string HelpText(const TProgramTexts& aTexts, size_t aWidth = 80);

// aText broken into lines of at most aWidth characters (a longer word stands alone).
std::vector<std::string> WrapText(std::string_view aText, size_t aWidth);
