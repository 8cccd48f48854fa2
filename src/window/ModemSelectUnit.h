// The "Select modem" question: one line per answering port, and the user's pick or none.
#pragma once

#include <optional>
#include <string>
#include <vector>

class TMainView;

inline constexpr char kModemSelectCaption[] = "Select modem";

class TModemSelectFm {
 public:
  // "Modem #" + 1-based ordinal + " " + discovery entry, for each entry in order.
  static std::vector<std::string> ListLines(const std::vector<std::string>& aEntries);
  // Shows the modal dialog on aView; the index of the chosen entry, none for Cancel or Escape
  // (or an answer that names no listed entry).
  static std::optional<size_t> Execute(TMainView& aView, const std::vector<std::string>& aEntries);
};
