// cdma-monitor --console as a child process on pipes, and the shapes of the lines it prints;
// shared by the tests that run the program.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace console_test {

using namespace std::chrono_literals;

constexpr auto kLong = 90s;  // never reached when the program works

// The program on pipes: lines in, lines out; standard error goes to the test's.
class TProgram {
 public:
  // aEnvironment: "NAME=value" settings added to the program's environment.
  explicit TProgram(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnvironment = {})
      : TProgram(aArgs, aEnvironment, {}) {}
  // aInChild runs in the child just before the program is started (limits, a file for its
  // standard error).
  TProgram(const std::vector<std::string>& aArgs, const std::function<void()>& aInChild)
      : TProgram(aArgs, {}, aInChild) {}
  TProgram(const std::vector<std::string>& aArgs, const std::vector<std::string>& aEnvironment,
           const std::function<void()>& aInChild) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    FPid = fork();
    if (FPid == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[0]);
      close(in[1]);
      close(out[0]);
      close(out[1]);
      for (const std::string& setting : aEnvironment) putenv(const_cast<char*>(setting.c_str()));
      if (aInChild) aInChild();
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(CDMA_MONITOR));
      for (const std::string& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(CDMA_MONITOR, argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FIn = in[1];
    FOut = out[0];
  }
  ~TProgram() {
    CloseInput();
    if (FPid > 0 && !FExited) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    close(FOut);
  }

  void Write(const std::string& aLine) {
    const std::string text = aLine + "\n";
    ASSERT_EQ(write(FIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    if (FIn >= 0) close(FIn);
    FIn = -1;
  }
  void Signal(int aSignal) { kill(FPid, aSignal); }

  // The next line written, none at the end of output or when the time is up.
  std::optional<std::string> ReadLine(std::chrono::milliseconds aLimit = kLong) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    for (;;) {
      if (const size_t end = FBuffer.find('\n'); end != std::string::npos) {
        std::string line = FBuffer.substr(0, end);
        FBuffer.erase(0, end + 1);
        Seen.push_back(line);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{FOut, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(FOut, buffer, sizeof buffer);
      if (n <= 0) return std::nullopt;
      FBuffer.append(buffer, static_cast<size_t>(n));
    }
  }
  // Reads until a line satisfies aWanted; that line, or none.
  std::optional<std::string> ReadUntil(const std::function<bool(const std::string&)>& aWanted) {
    while (const auto line = ReadLine())
      if (aWanted(*line)) return line;
    return std::nullopt;
  }

  // Exit status, or -1 for a signal or no end within the limit.
  int Wait(std::chrono::milliseconds aLimit = kLong) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      // Keep the pipe drained so that the program never blocks on its output.
      ReadLine(10ms);
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FExited = true;
        while (ReadLine(10ms)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
    }
    return -1;
  }

  std::vector<std::string> Seen;

 private:
  pid_t FPid = -1;
  int FIn = -1, FOut = -1;
  bool FExited = false;
  std::string FBuffer;
};

// "RX | Cell | TX | DRC | type | up | down | icon N", as the window shows the labels.
inline bool IsCycleLine(const std::string& aLine) {
  static const std::regex kParts(
      R"(^RX: [ \-0-9]{3,}[.,][0-9] \| Cell: [ 0-9]{4,} Sect: [0-9]+ Pn: [ 0-9]{4,} \| )"
      R"(     TX: [ \-0-9]{3,}[.,][0-9] \| (    DRC: [ \-0-9]{3,}[.,][0-9]|    RX: n/a) \| )"
      R"((Sleep|undefined|1x|Rev\.0|Rev\.A|Rev\.B|Rev\.B\+) \| )"
      R"((0 Kbps| [0-9]+ kbps| +[0-9]+[.,][0-9] Mbps) \| (0 Kbps| [0-9]+ kbps| +[0-9]+[.,][0-9] Mbps) \| icon [0-6]$)");
  return std::regex_match(aLine, kParts);
}

inline bool StartsWith(const std::string& aLine, const std::string& aPrefix) { return aLine.rfind(aPrefix, 0) == 0; }

}  // namespace console_test
