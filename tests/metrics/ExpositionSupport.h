// Reading Prometheus text back for the tests: series values by name and labels, family types,
// and promtool's verdict on a page.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

namespace exposition_test {

struct TParsedPage {
  std::map<std::string, std::string> Types;   // family -> "gauge", "counter", "histogram"
  std::map<std::string, std::string> Values;  // "name{labels}" exactly as written -> value text
};

inline TParsedPage ParsePage(const std::string& aText) {
  TParsedPage page;
  std::istringstream lines(aText);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("# TYPE ", 0) == 0) {
      const std::string rest = line.substr(7);
      const size_t space = rest.find(' ');
      page.Types[rest.substr(0, space)] = rest.substr(space + 1);
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    page.Values[line.substr(0, space)] = line.substr(space + 1);
  }
  return page;
}

inline bool HaveProgram(const char* aName) {
  const std::string command = std::string("command -v ") + aName + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// promtool's exit status for the page, and what it said.
inline int PromtoolCheckMetrics(const std::string& aPage, std::string& aSaid) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string stem = "cdma-metrics-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand());
  const std::filesystem::path in = dir / (stem + ".prom"), out = dir / (stem + ".out");
  std::ofstream(in) << aPage;
  const std::string command = "promtool check metrics < " + in.string() + " > " + out.string() + " 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream said(out);
  aSaid.assign(std::istreambuf_iterator<char>(said), {});
  std::filesystem::remove(in);
  std::filesystem::remove(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace exposition_test
