// How cdma-monitor picks its view: the window by default, the console view with --console, and
// the console view with a one-line notice where there is no display.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gui/WindowProgram.h"

extern char** environ;

namespace {

struct TRun {
  int Status = -1;
  std::string Out, Err;
};

std::string ReadAll(int aFd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(aFd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// Runs the program with aArgs, aInput on its standard input and the environment less the
// variables named in aUnset (plus aExtra), and collects what it wrote.
TRun RunProgram(const std::vector<std::string>& aArgs, const std::string& aInput, const std::vector<std::string>& aUnset,
         const std::vector<std::string>& aExtra = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool drop = false;
    for (const std::string& name : aUnset) drop = drop || entry.rfind(name + "=", 0) == 0;
    if (!drop) env.push_back(entry);
  }
  env.insert(env.end(), aExtra.begin(), aExtra.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {CDMA_MONITOR_PATH};
  args.insert(args.end(), aArgs.begin(), aArgs.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  TRun run;
  if (spawned != 0) return run;
  [[maybe_unused]] const ssize_t written = write(in[1], aInput.data(), aInput.size());
  close(in[1]);
  // Both pipes are small enough for the program's few lines; read them in turn.
  run.Out = ReadAll(out[0]);
  run.Err = ReadAll(err[0]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

const std::vector<std::string> kDisplayVariables = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

}  // namespace

TEST(Program, WithoutADisplayItSaysSoOnceAndRunsTheConsoleView) {
  const TRun run = RunProgram({}, "report\nquit\n", kDisplayVariables);
  EXPECT_EQ(run.Status, 0) << run.Err;
  size_t notices = 0;
  for (size_t at = run.Err.find("no display"); at != std::string::npos; at = run.Err.find("no display", at + 1)) ++notices;
  EXPECT_EQ(notices, 1u) << run.Err;
  EXPECT_NE(run.Out.find("RX Values"), std::string::npos) << "the console view answered: " << run.Out;
}

TEST(Program, ConsoleAsksForNoDisplayAndGivesNoNotice) {
  const TRun run = RunProgram({"--console"}, "quit\n", kDisplayVariables);
  EXPECT_EQ(run.Status, 0) << run.Err;
  EXPECT_EQ(run.Err.find("no display"), std::string::npos) << run.Err;
}

TEST(Program, HelpNamesTheWindowAndTheConsoleOptions) {
  const TRun run = RunProgram({"--help"}, "", {});
  EXPECT_EQ(run.Status, 0);
  for (const char* option : {"--console", "--demo", "--port", "--report-url", "--version"})
    EXPECT_NE(run.Out.find(option), std::string::npos) << option;
  EXPECT_NE(run.Out.find("window"), std::string::npos);
}

TEST(Program, ADisplayIsThereWhenThePlatformQtWillUseHasOne) {
  struct TCase {
    const char* Display;
    const char* Wayland;
    const char* Platform;
    bool Expected;
  };
  const TCase cases[] = {
      {nullptr, nullptr, nullptr, false},
      {":0", nullptr, nullptr, true},
      {nullptr, "wayland-0", nullptr, true},
      {"", "", nullptr, false},
      {nullptr, nullptr, "offscreen", true},
      {nullptr, nullptr, "vnc:size=800x600", true},
      {nullptr, nullptr, "xcb", false},
      {":0", nullptr, "xcb", true},
      {nullptr, nullptr, "wayland;xcb", false},
      {":1", nullptr, "wayland;xcb", true},
      {nullptr, "wayland-1", "wayland-egl", true},
  };
  const auto put = [](const char* aName, const char* aValue) {
    if (aValue)
      setenv(aName, aValue, 1);
    else
      unsetenv(aName);
  };
  for (const TCase& c : cases) {
    put("DISPLAY", c.Display);
    put("WAYLAND_DISPLAY", c.Wayland);
    put("QT_QPA_PLATFORM", c.Platform);
    EXPECT_EQ(DisplayAvailable(), c.Expected) << (c.Display ? c.Display : "-") << " " << (c.Wayland ? c.Wayland : "-")
                                              << " " << (c.Platform ? c.Platform : "-");
  }
}
