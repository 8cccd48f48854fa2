// Running the programs that read the field log back.
#include "RecordTestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace record_test {

TCommandResult RunCommand(const std::vector<std::string>& aArgv, const TScratchDir& aScratch) {
  static int count = 0;
  const std::string stem = aScratch.Path() + "/command-" + std::to_string(++count);
  std::vector<char*> argv;
  for (const std::string& arg : aArgv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (stem + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (stem + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  TCommandResult result;
  if (rc != 0) return result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.Out = ReadFileBytes(stem + ".out");
  result.Err = ReadFileBytes(stem + ".err");
  return result;
}

bool HaveProgram(const std::string& aName) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    if (access((dirs.substr(start, end - start) + "/" + aName).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

QJsonObject ReadBack(const std::string& aKind, const std::string& aPath, const TScratchDir& aScratch,
                     std::string* aError) {
  const TCommandResult result =
      RunCommand({"python3", std::string(CDMA_RECORD_TEST_DIR) + "/read_back.py", aKind, aPath}, aScratch);
  if (aError) *aError = result.Err;
  if (result.Status != 0) return {};
  return QJsonDocument::fromJson(QByteArray::fromStdString(result.Out)).object();
}

QJsonObject GpsbabelPoints(const std::string& aFormat, const std::string& aPath, const TScratchDir& aScratch,
                           std::string* aError) {
  const std::string out = aPath + ".unicsv";
  std::vector<std::string> argv = {"gpsbabel"};
  if (aFormat == "gpx") argv.push_back("-t");
  for (const std::string& arg : {std::string("-i"), aFormat, std::string("-f"), aPath, std::string("-o"),
                                 std::string("unicsv,utc=0"), std::string("-F"), out})
    argv.push_back(arg);
  const TCommandResult result = RunCommand(argv, aScratch);
  if (result.Status != 0) {
    if (aError) *aError = result.Err;
    return {};
  }
  return ReadBack("csv", out, aScratch, aError);
}

std::string Text(const QJsonValue& aValue) { return aValue.toString().toStdString(); }

}  // namespace record_test
