// Tests of the cdma-modem-sim program.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "SimTestSupport.h"
#include "sim/SimTexts.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

struct TChild {
  pid_t Pid = -1;
  int Out = -1;
  int Err = -1;
};

TChild Spawn(const std::vector<std::string>& aArgs) {
  int out[2], err[2];
  EXPECT_EQ(pipe(out), 0);
  EXPECT_EQ(pipe(err), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  std::vector<char*> argv;
  for (const auto& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  TChild child;
  EXPECT_EQ(posix_spawn(&child.Pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  child.Out = out[0];
  child.Err = err[0];
  return child;
}

std::string ReadLine(int aFd) {
  std::string line;
  char c;
  while (read(aFd, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

std::string ReadAll(int aFd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(aFd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

int Wait(pid_t aPid) {
  int status = 0;
  waitpid(aPid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SimProgram, PrintsItsPortKeepsTheLinkAndEndsOnInterrupt) {
  const std::filesystem::path link = std::filesystem::temp_directory_path() / ("sim-program-" + std::to_string(getpid()));
  TChild child = Spawn({SIM_PROGRAM, "--mode", "revb", "--seed", "3", "--rate", "20", "--link", link.string()});
  const std::string path = ReadLine(child.Out);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);

  simtest::TSlavePort port(link.string());
  ASSERT_GE(port.Fd(), 0);
  ASSERT_TRUE(port.Send(simtest::LogMaskCommand()));
  ASSERT_TRUE(port.NextReply(0x73, 30s));
  auto f = port.Next(30s);
  ASSERT_TRUE(f && f->IsLog());

  kill(child.Pid, SIGINT);
  const std::string report = ReadAll(child.Err);
  EXPECT_EQ(Wait(child.Pid), 0) << report;
  EXPECT_NE(report.find("log packets"), std::string::npos) << report;
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  close(child.Out);
  close(child.Err);
}

TEST(SimProgram, RefusesBadArguments) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {SIM_PROGRAM, "--mode", "revc"}, {SIM_PROGRAM, "--rate", "fast"}, {SIM_PROGRAM, "--seed"}, {SIM_PROGRAM, "--min", "12"},
           {SIM_PROGRAM, "--version=1"}, {SIM_PROGRAM, "--frobnicate", "1"}}) {
    TChild child = Spawn(args);
    const std::string text = ReadAll(child.Err);
    EXPECT_NE(Wait(child.Pid), 0) << args[1];
    EXPECT_NE(text.find("cdma-modem-sim:"), std::string::npos);
    close(child.Out);
    close(child.Err);
  }
}

// Every option of the table the help, the manual and the completion are made from is one the
// program runs with: all of them at once, with a value each, for a moment.
TEST(SimProgram, RunsWithEveryOptionOfItsTable) {
  const std::filesystem::path link = std::filesystem::temp_directory_path() / ("sim-options-" + std::to_string(getpid()));
  const std::map<std::string, std::string> values = {
      {"--mode", "cycle"},  {"--signal", "weak"},       {"--seed", "9"},       {"--rate", "max"},
      {"--link", link},     {"--duration", "0.3"},      {"--carriers", "1,2"}, {"--esn", "ABC"},
      {"--min", "5551234"}, {"--dn", "5550188"},        {"--lac", "095"},         {"--split", "0.1"},
      {"--damage", "0.1"},  {"--garbage", "0.1"},       {"--capture", link.string() + ".pcap"}};
  std::vector<std::string> args = {SIM_PROGRAM};
  for (const TOptionRow& row : sim::SimTexts().Options) {
    if (row.Alone) continue;
    ASSERT_TRUE(values.contains(std::string(row.Name))) << "no value to try " << row.Name << " with";
    args.push_back(std::string(row.Name) + "=" + values.at(std::string(row.Name)));
  }
  ASSERT_EQ(args.size(), values.size() + 1) << "a value for an option the table does not have";
  TChild child = Spawn(args);
  EXPECT_FALSE(ReadLine(child.Out).empty());
  const std::string report = ReadAll(child.Err);
  EXPECT_EQ(Wait(child.Pid), 0) << report;
  close(child.Out);
  close(child.Err);
  std::filesystem::remove(link.string() + ".pcap");

  for (const char* option : {"--help", "-h", "--version"}) {
    TChild alone = Spawn({SIM_PROGRAM, option});
    const std::string text = ReadAll(alone.Out);
    EXPECT_EQ(Wait(alone.Pid), 0) << option;
    EXPECT_TRUE(text.starts_with(std::string(option) == "--version" ? "cdma-modem-sim " CDMA_VERSION "\n" : "Usage: cdma-modem-sim "))
        << option << ": " << text;
    close(alone.Out);
    close(alone.Err);
  }
}

}  // namespace
