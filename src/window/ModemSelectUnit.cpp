// The modem selection request.
#include "window/ModemSelectUnit.h"

#include "window/MainView.h"

std::vector<std::string> TModemSelectFm::ListLines(const std::vector<std::string>& aEntries) {
  std::vector<std::string> lines;
  lines.reserve(aEntries.size());
  for (size_t i = 0; i < aEntries.size(); ++i) lines.push_back("Modem #" + std::to_string(i + 1) + " " + aEntries[i]);
  return lines;
}

std::optional<size_t> TModemSelectFm::Execute(TMainView& aView, const std::vector<std::string>& aEntries) {
  const std::optional<size_t> choice = aView.SelectModem(ListLines(aEntries));
  if (!choice || *choice >= aEntries.size()) return std::nullopt;
  return choice;
}
