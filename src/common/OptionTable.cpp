// Option and command tables, and the --help text made from them.
#include "common/OptionTable.h"

#include <algorithm>

namespace {

constexpr size_t kIndent = 2;
constexpr size_t kGap = 2;
constexpr size_t kWidestLabel = 20;  // a longer option label has its text on the next line

std::string OptionLabel(const TOptionRow& aRow) {
  std::string label(aRow.Name);
  if (aRow.TakesValue()) label += " " + std::string(aRow.Value);
  if (!aRow.Alias.empty()) label += ", " + std::string(aRow.Alias);
  return label;
}

// "[--port DEVICE]...", "--help".
std::string SynopsisItem(const TOptionRow& aRow, bool aOptional) {
  std::string item(aRow.Name);
  if (aRow.TakesValue()) item += " " + std::string(aRow.Value);
  if (!aOptional) return item;
  return "[" + item + "]" + (aRow.Repeatable ? "..." : "");
}

// Rows of two columns: a label, and its text wrapped beside it.
void AppendColumns(std::string& aOut, const std::vector<std::pair<std::string, std::string_view>>& aRows,
                   size_t aWidth) {
  size_t widest = 0;
  for (const auto& [label, text] : aRows)
    if (label.size() <= kWidestLabel) widest = std::max(widest, label.size());
  const size_t column = kIndent + widest + kGap;
  const std::string margin(column, ' ');
  for (const auto& [label, text] : aRows) {
    std::string line = std::string(kIndent, ' ') + label;
    const std::vector<std::string> wrapped = WrapText(text, aWidth > column + 20 ? aWidth - column : 20);
    for (size_t i = 0; i < wrapped.size(); ++i) {
      if (line.size() + 1 > column) {  // the label leaves no room: the text starts below it
        aOut += line + "\n";
        line = margin;
      }
      line.resize(column, ' ');
      aOut += line + wrapped[i] + "\n";
      line.clear();
    }
    if (wrapped.empty()) aOut += line + "\n";
  }
}

void AppendParagraphs(std::string& aOut, std::string_view aText, size_t aWidth) {
  size_t start = 0;
  while (start < aText.size()) {
    size_t end = aText.find("\n\n", start);
    if (end == std::string_view::npos) end = aText.size();
    if (start != 0) aOut += "\n";
    for (const std::string& line : WrapText(aText.substr(start, end - start), aWidth)) aOut += line + "\n";
    start = end + 2;
  }
}

}  // namespace

std::vector<std::string_view> TOptionRow::ChoiceList() const {
  std::vector<std::string_view> choices;
  size_t start = 0;
  while (start < Choices.size()) {
    size_t end = Choices.find(' ', start);
    if (end == std::string_view::npos) end = Choices.size();
    if (end > start) choices.push_back(Choices.substr(start, end - start));
    start = end + 1;
  }
  return choices;
}

size_t TOptionRow::ValueCount() const { return WrapText(Value, 1).size(); }

const TOptionRow* FindOption(std::span<const TOptionRow> aRows, std::string_view aSpelling) {
  for (const TOptionRow& row : aRows)
    if (row.Name == aSpelling || (!row.Alias.empty() && row.Alias == aSpelling)) return &row;
  return nullptr;
}

std::vector<TSynopsisLine> SynopsisLines(const TProgramTexts& aTexts) {
  std::vector<std::string_view> groups;
  for (const TOptionRow& row : aTexts.Options)
    if (!row.Alone && std::find(groups.begin(), groups.end(), row.Group) == groups.end()) groups.push_back(row.Group);

  std::vector<TSynopsisLine> lines;
  for (const std::string_view group : groups) {
    TSynopsisLine line{.WithAbove = !lines.empty()};
    for (const TOptionRow& row : aTexts.Options)
      if (!row.Alone && row.Group == group) line.Rows.push_back(&row);
    lines.push_back(std::move(line));
  }
  // Rows used on their own: a line per group of them, the ungrouped ones (--help, --version) last.
  std::vector<std::string_view> aloneGroups;
  for (const TOptionRow& row : aTexts.Options)
    if (row.Alone && !row.Group.empty() &&
        std::find(aloneGroups.begin(), aloneGroups.end(), row.Group) == aloneGroups.end())
      aloneGroups.push_back(row.Group);
  aloneGroups.push_back({});
  for (const std::string_view group : aloneGroups) {
    TSynopsisLine alone{.Alone = true, .Group = group};
    for (const TOptionRow& row : aTexts.Options)
      if (row.Alone && row.Group == group) alone.Rows.push_back(&row);
    if (!alone.Rows.empty()) lines.push_back(std::move(alone));
  }
  return lines;
}

std::string HelpText(const TProgramTexts& aTexts, size_t aWidth) {
  std::string out;
  const std::string usage = "Usage: ";
  bool first = true;
  for (const TSynopsisLine& line : SynopsisLines(aTexts)) {
    std::string text = (first ? usage : std::string(usage.size(), ' ')) + std::string(aTexts.Program);
    if (line.WithAbove) text += " ...";
    // A line too long for the width goes on under its first option.
    const size_t margin = usage.size() + aTexts.Program.size() + 1;
    for (size_t i = 0; i < line.Rows.size(); ++i) {
      const std::string item = (line.Alternative(i) ? "| " : "") + SynopsisItem(*line.Rows[i], line.Optional(i));
      const size_t lineStart = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
      if (text.size() - lineStart + 1 + item.size() > aWidth && text.size() - lineStart > margin)
        text += "\n" + std::string(margin - 1, ' ');
      text += " " + item;
    }
    out += text + "\n";
    first = false;
  }
  out += "\n";
  AppendParagraphs(out, aTexts.Description, aWidth);

  out += "\nOptions:\n";
  std::vector<std::pair<std::string, std::string_view>> options;
  for (const TOptionRow& row : aTexts.Options) options.emplace_back(OptionLabel(row), row.Help);
  AppendColumns(out, options, aWidth);

  if (!aTexts.Commands.empty()) {
    out += "\n";
    AppendParagraphs(out, aTexts.CommandsHeading, aWidth);
    std::vector<std::pair<std::string, std::string_view>> commands;
    for (const TCommandRow& row : aTexts.Commands) commands.emplace_back(std::string(row.Name), row.Help);
    AppendColumns(out, commands, aWidth);
  }
  if (!aTexts.Epilogue.empty()) {
    out += "\n";
    AppendParagraphs(out, aTexts.Epilogue, aWidth);
  }
  return out;
}

std::vector<std::string> WrapText(std::string_view aText, size_t aWidth) {
  std::vector<std::string> lines;
  std::string line;
  size_t start = 0;
  while (start < aText.size()) {
    const size_t space = aText.find_first_of(" \n", start);
    const size_t end = space == std::string_view::npos ? aText.size() : space;
    const std::string_view word = aText.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && line.size() + 1 + word.size() > aWidth) {
      lines.push_back(std::move(line));
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}
