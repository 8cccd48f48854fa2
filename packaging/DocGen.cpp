// cdma-docgen: makes the manual pages, the bash completion, the AppStream release list and the
// Debian changelog from the programs' option tables and the release list, at build time.
//
//   cdma-docgen man PROGRAM TEMPLATE RELEASES OUT [KEY=VALUE]...
//   cdma-docgen completion PROGRAM OUT
//   cdma-docgen metainfo TEMPLATE RELEASES OUT [KEY=VALUE]...
//   cdma-docgen changelog RELEASES MAINTAINER OUT
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/MonitorTexts.h"
#include "sim/SimTexts.h"

#ifndef CDMA_VERSION
#define CDMA_VERSION "0.0.0"
#endif

namespace {

struct TRelease {
  std::string Version;
  std::string Date;  // YYYY-MM-DD
  std::vector<std::string> Notes;
};

const TProgramTexts& TextsOf(const std::string& aProgram) {
  if (aProgram == MonitorTexts().Program) return MonitorTexts();
  if (aProgram == sim::SimTexts().Program) return sim::SimTexts();
  throw std::runtime_error("no option table for " + aProgram);
}

std::string ReadFile(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + aPath);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& aPath, const std::string& aText) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out << aText;
  if (!out.flush()) throw std::runtime_error("cannot write " + aPath);
}

std::vector<TRelease> ReadReleases(const std::string& aPath) {
  std::vector<TRelease> releases;
  std::istringstream in(ReadFile(aPath));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.starts_with("- ")) {
      if (releases.empty()) throw std::runtime_error(aPath + ": a note before any release");
      releases.back().Notes.push_back(line.substr(2));
      continue;
    }
    std::istringstream fields(line);
    TRelease release;
    fields >> release.Version >> release.Date;
    if (release.Date.size() != 10) throw std::runtime_error(aPath + ": not \"VERSION YYYY-MM-DD\": " + line);
    releases.push_back(std::move(release));
  }
  if (releases.empty()) throw std::runtime_error(aPath + ": no release");
  // One version everywhere: a version bump without its release entry stops the build here.
  if (releases.front().Version != CDMA_VERSION)
    throw std::runtime_error(aPath + ": the newest release is " + releases.front().Version + ", the project is " +
                             CDMA_VERSION + "; add the release");
  return releases;
}

// Each "@KEY@" in the template gets its value; a marker left without one stops the build.
std::string Substitute(std::string aText, const std::map<std::string, std::string>& aValues) {
  for (const auto& [key, value] : aValues) {
    const std::string marker = "@" + key + "@";
    for (size_t at = aText.find(marker); at != std::string::npos; at = aText.find(marker, at + value.size()))
      aText.replace(at, marker.size(), value);
  }
  std::smatch left;
  if (std::regex_search(aText, left, std::regex("@[A-Z_]+@"))) throw std::runtime_error("nothing to put in for " + left.str());
  return aText;
}

// ---- Manual pages -------------------------------------------------------------------------------

// Text for a roff text line: a dash that starts a word (an option, a minus sign) is a minus, not a
// hyphen; a word with a dash is never broken at it ("\%"); backslashes are printed as such.
std::string Roff(std::string_view aText, bool aKeepWordsWhole = true) {
  std::string out;
  char previous = ' ';
  for (size_t i = 0; i < aText.size(); ++i) {
    const char c = aText[i];
    if (aKeepWordsWhole && previous == ' ') {
      const std::string_view word = aText.substr(i, aText.find(' ', i) - i);
      if (word.find('-') != std::string_view::npos) out += "\\%";
    }
    if (c == '\\') out += "\\e";
    else if (c == '-' && !std::isalnum(static_cast<unsigned char>(previous))) out += "\\-";
    else out += c;
    previous = c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string ManOptionItem(const TOptionRow& aRow, bool aOptional) {
  // "\\%" before the bracket keeps the whole item on one line.
  std::string item = "\\fB" + Roff(aRow.Name, false) + "\\fR";
  if (aRow.TakesValue()) item += "\\~\\fI" + Roff(aRow.Value, false) + "\\fR";
  if (!aOptional) return "\\%" + item;
  return "\\%[" + item + "]" + (aRow.Repeatable ? "..." : "");
}

std::string ManSynopsis(const TProgramTexts& aTexts) {
  std::string out;
  for (const TSynopsisLine& line : SynopsisLines(aTexts)) {
    out += ".SY " + std::string(aTexts.Program) + "\n";
    if (line.WithAbove) out += "\\&...\n";
    for (size_t i = 0; i < line.Rows.size(); ++i)
      out += (line.Alternative(i) ? "| " : "") + ManOptionItem(*line.Rows[i], line.Optional(i)) + "\n";
    out += ".YS\n";
  }
  return out;
}

std::string ManOptions(const TProgramTexts& aTexts) {
  std::string out;
  for (const TOptionRow& row : aTexts.Options) {
    out += ".TP\n";
    std::string head = "\\fB" + Roff(row.Name) + "\\fR";
    if (row.TakesValue()) head += " \\fI" + Roff(row.Value) + "\\fR";
    if (!row.Alias.empty()) head += ", \\fB" + Roff(row.Alias) + "\\fR";
    out += head + "\n" + Roff(row.Help) + "\n";
  }
  return out;
}

std::string ManCommands(const TProgramTexts& aTexts) {
  std::string out = Roff(aTexts.CommandsHeading) + "\n";
  for (const TCommandRow& row : aTexts.Commands) {
    const std::string_view name = row.Name;
    const size_t space = name.find(' ');
    out += ".TP\n\\fB" + Roff(name.substr(0, space)) + "\\fR";
    if (space != std::string_view::npos) out += " \\fI" + Roff(name.substr(space + 1)) + "\\fR";
    out += "\n" + Roff(row.Help) + "\n";
  }
  return out;
}

// ---- Bash completion ------------------------------------------------------------------------------

std::string ShellName(std::string_view aProgram) {
  std::string name = "_";
  for (const char c : aProgram) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

std::string Completion(const TProgramTexts& aTexts) {
  const std::string function = ShellName(aTexts.Program);
  std::string words, cases, freeValues, twoValues;
  bool devices = false;
  for (const TOptionRow& row : aTexts.Options) {
    words += (words.empty() ? "" : " ") + std::string(row.Name) + (row.Alias.empty() ? "" : " " + std::string(row.Alias));
    const std::string name(row.Name);
    if (row.ValueCount() == 2) twoValues += (twoValues.empty() ? "" : "|") + name;
    switch (row.Kind) {
      case TOptionValue::None:
        break;
      case TOptionValue::Text:
        freeValues += (freeValues.empty() ? "" : "|") + name;
        break;
      case TOptionValue::Choice:
        cases += "        " + name + ")\n            mapfile -t COMPREPLY < <(compgen -W '" + std::string(row.Choices) +
                 "' -- \"$cur\")\n            return 0 ;;\n";
        break;
      case TOptionValue::SerialDevice:
        devices = true;
        cases += "        " + name + ")\n            " + function + "_serial_devices \"$cur\"\n            return 0 ;;\n";
        break;
      case TOptionValue::File:
        cases += "        " + name + ")\n            compopt -o filenames 2>/dev/null\n"
                 "            mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n            return 0 ;;\n";
        break;
    }
  }
  if (!freeValues.empty()) cases += "        " + freeValues + ")\n            return 0 ;;  # nothing to offer\n";

  std::string out = "# bash completion for " + std::string(aTexts.Program) +
                    ", made from its option table when it was built.\n\n";
  if (devices)
    out += function +
           "_serial_devices()\n"
           "{\n"
           "    # The USB modems' serial ports that are there, else the paths that begin with what was typed.\n"
           "    local cur=$1 path\n"
           "    COMPREPLY=()\n"
           "    for path in /dev/ttyUSB* /dev/ttyACM* /dev/serial/by-id/*; do\n"
           "        [[ -e $path && $path == \"$cur\"* ]] && COMPREPLY+=(\"$path\")\n"
           "    done\n"
           "    if (( ${#COMPREPLY[@]} )); then\n"
           "        return\n"
           "    elif [[ -z $cur ]]; then\n"
           "        compopt -o nospace 2>/dev/null\n"
           "        COMPREPLY=(/dev/)\n"
           "    else\n"
           "        compopt -o filenames 2>/dev/null\n"
           "        mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
           "    fi\n"
           "}\n\n";
  out += function +
         "()\n"
         "{\n"
         "    local cur=${COMP_WORDS[COMP_CWORD]} option=\n"
         "    (( COMP_CWORD > 0 )) && option=${COMP_WORDS[COMP_CWORD-1]}\n"
         "    # \"--option=value\": bash's COMP_WORDBREAKS makes \"=\" a word of its own.\n"
         "    if [[ $cur == = ]]; then\n"
         "        cur=\n"
         "    elif [[ $option == = ]] && (( COMP_CWORD > 1 )); then\n"
         "        option=${COMP_WORDS[COMP_CWORD-2]}\n"
         "    fi\n" +
         (twoValues.empty() ? std::string()
                            : "    # The second value of an option that takes two.\n"
                              "    if (( COMP_CWORD > 1 )); then\n"
                              "        case ${COMP_WORDS[COMP_CWORD-2]} in\n"
                              "            " + twoValues + ") option=${COMP_WORDS[COMP_CWORD-2]} ;;\n"
                              "        esac\n"
                              "    fi\n") +
         "    case $option in\n" +
         cases +
         "    esac\n"
         "    mapfile -t COMPREPLY < <(compgen -W '" +
         words +
         "' -- \"$cur\")\n"
         "}\n"
         "complete -F " +
         function + " " + std::string(aTexts.Program) + "\n";
  return out;
}

// ---- AppStream and the Debian changelog ---------------------------------------------------------

std::string Xml(std::string_view aText) {
  std::string out;
  for (const char c : aText) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

std::string AppStreamReleases(const std::vector<TRelease>& aReleases) {
  std::string out;
  for (const TRelease& release : aReleases) {
    out += "    <release version=\"" + Xml(release.Version) + "\" date=\"" + Xml(release.Date) + "\">\n";
    if (!release.Notes.empty()) {
      out += "      <description>\n        <ul>\n";
      for (const std::string& note : release.Notes) out += "          <li>" + Xml(note) + "</li>\n";
      out += "        </ul>\n      </description>\n";
    }
    out += "    </release>\n";
  }
  return out;
}

std::chrono::year_month_day ParseDate(const std::string& aDate) {
  const std::chrono::year_month_day date{std::chrono::year(std::stoi(aDate.substr(0, 4))),
                                         std::chrono::month(static_cast<unsigned>(std::stoi(aDate.substr(5, 2)))),
                                         std::chrono::day(static_cast<unsigned>(std::stoi(aDate.substr(8, 2))))};
  if (!date.ok()) throw std::runtime_error("not a date: " + aDate);
  return date;
}

// "Thu, 10 Dec 2026 00:00:00 +0000", as a Debian changelog's trailer has it.
std::string Rfc2822Date(const std::string& aDate) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::chrono::year_month_day date = ParseDate(aDate);
  const std::chrono::weekday day{std::chrono::sys_days(date)};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d 00:00:00 +0000", kDays[day.c_encoding()],
                static_cast<unsigned>(date.day()), kMonths[static_cast<unsigned>(date.month()) - 1],
                static_cast<int>(date.year()));
  return text;
}

std::string DebianChangelog(const std::vector<TRelease>& aReleases, const std::string& aMaintainer) {
  std::string out;
  for (const TRelease& release : aReleases) {
    out += "cdma-monitor (" + release.Version + ") unstable; urgency=medium\n\n";
    for (const std::string& note : release.Notes) {
      const std::vector<std::string> lines = WrapText(note, 76);
      for (size_t i = 0; i < lines.size(); ++i) out += (i == 0 ? "  * " : "    ") + lines[i] + "\n";
    }
    out += "\n -- " + aMaintainer + "  " + Rfc2822Date(release.Date) + "\n\n";
  }
  out.pop_back();
  return out;
}

std::map<std::string, std::string> KeyValues(int aArgc, char** aArgv, int aFirst) {
  std::map<std::string, std::string> values;
  for (int i = aFirst; i < aArgc; ++i) {
    const std::string pair = aArgv[i];
    const size_t equals = pair.find('=');
    if (equals == std::string::npos) throw std::runtime_error("not KEY=VALUE: " + pair);
    values[pair.substr(0, equals)] = pair.substr(equals + 1);
  }
  return values;
}

int Run(int aArgc, char** aArgv) {
  const std::string kind = aArgc > 1 ? aArgv[1] : "";
  if (kind == "man" && aArgc >= 6) {
    const TProgramTexts& texts = TextsOf(aArgv[2]);
    const std::vector<TRelease> releases = ReadReleases(aArgv[4]);
    std::map<std::string, std::string> values = KeyValues(aArgc, aArgv, 6);
    values["VERSION"] = CDMA_VERSION;
    values["DATE"] = releases.front().Date;
    values["SYNOPSIS"] = ManSynopsis(texts);
    values["OPTIONS"] = ManOptions(texts);
    if (!texts.Commands.empty()) values["COMMANDS"] = ManCommands(texts);
    WriteFile(aArgv[5], Substitute(ReadFile(aArgv[3]), values));
    return 0;
  }
  if (kind == "completion" && aArgc == 4) {
    WriteFile(aArgv[3], Completion(TextsOf(aArgv[2])));
    return 0;
  }
  if (kind == "metainfo" && aArgc >= 5) {
    std::map<std::string, std::string> values = KeyValues(aArgc, aArgv, 5);
    values["RELEASES"] = AppStreamReleases(ReadReleases(aArgv[3]));
    WriteFile(aArgv[4], Substitute(ReadFile(aArgv[2]), values));
    return 0;
  }
  if (kind == "changelog" && aArgc == 5) {
    WriteFile(aArgv[4], DebianChangelog(ReadReleases(aArgv[2]), aArgv[3]));
    return 0;
  }
  std::cerr << "usage: cdma-docgen man|completion|metainfo|changelog ... (see DocGen.cpp)\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "cdma-docgen: " << e.what() << "\n";
    return 1;
  }
}
