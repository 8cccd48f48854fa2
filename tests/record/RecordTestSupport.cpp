// Running the programs that read the field log back.
#include "RecordTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

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

namespace {

// Whether something accepts connections on 127.0.0.1:aPort.
bool LoopbackPortAnswers(int aPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(aPort));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

TGpsFake::TGpsFake(const std::string& aNmeaFile, int aPort, const std::string& aLogFile) : FPort(aPort) {
  // Two sentences (RMC, GGA) per fix every half second: a fix per polling cycle.
  const std::vector<std::string> args = {"gpsfake", "-q", "-c", "0.25", "-P", std::to_string(aPort), aNmeaFile};
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, aLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0) FGroup = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

bool TGpsFake::WaitReady() {
  if (FGroup <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(FGroup, &status, WNOHANG) == FGroup) {
      kill(-FGroup, SIGKILL);
      FGroup = -1;
      return false;
    }
    const bool connected = LoopbackPortAnswers(FPort);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

void TGpsFake::Stop() {
  if (FGroup <= 0) return;
  // gpsfake leaves its gpsd running when told to stop: the group goes together.
  kill(-FGroup, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  int status = 0;
  bool reaped = false;
  while (!reaped && std::chrono::steady_clock::now() < deadline) {
    reaped = waitpid(FGroup, &status, WNOHANG) == FGroup;
    if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(-FGroup, SIGKILL);
  if (!reaped) waitpid(FGroup, &status, 0);
  // The daemon, no child of ours, is gone once its port refuses.
  for (int i = 0; i < 200; ++i) {
    const bool connected = LoopbackPortAnswers(FPort);
    if (!connected) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  FGroup = -1;
}

std::vector<std::pair<double, double>> NmeaPositions(const std::string& aPath) {
  std::vector<std::pair<double, double>> positions;
  std::istringstream lines(ReadFileBytes(aPath));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("$GPGGA,", 0) != 0) continue;
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ',');) fields.push_back(field);
    const auto degrees = [](const std::string& aText, int aDegreeDigits) {
      return std::stod(aText.substr(0, static_cast<size_t>(aDegreeDigits))) +
             std::stod(aText.substr(static_cast<size_t>(aDegreeDigits))) / 60;
    };
    double lat = degrees(fields[2], 2), lon = degrees(fields[4], 3);
    if (fields[3] == "S") lat = -lat;
    if (fields[5] == "W") lon = -lon;
    positions.emplace_back(lat, lon);
  }
  return positions;
}

}  // namespace record_test
