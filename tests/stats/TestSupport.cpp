// Test support for the stats tests.
#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

std::string SystemTempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

}  // namespace

TScratchDir::TScratchDir() {
  std::string pattern = SystemTempDir() + "/cdma-stats-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  FPath = pattern;
}

TScratchDir::~TScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

std::string TScratchDir::Sub(const std::string& aName) const {
  const std::string path = FPath + "/" + aName;
  ::mkdir(path.c_str(), 0700);
  return path;
}

std::string ReadFileBytes(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::string& aPath, const std::string& aData) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out << aData;
}

std::vector<std::string> ListDir(const std::string& aPath) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(aPath, ec)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool PathExists(const std::string& aPath) {
  struct stat st {};
  return ::lstat(aPath.c_str(), &st) == 0;
}

int FreeLocalPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    throw std::runtime_error("no free port");
  ::close(fd);
  return ntohs(addr.sin_port);
}

TChildProcess::TChildProcess(const std::vector<std::string>& aArgv, const std::map<std::string, std::string>& aEnv,
                             const std::string& aLogFile)
    : FLogFile(aLogFile) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (!aEnv.count(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
  }
  for (const auto& [name, value] : aEnv) envStrings.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (const auto& a : aArgv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, aLogFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int rc = ::posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) FPid = -1;
}

TChildProcess::~TChildProcess() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  int status = 0;
  while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool TChildProcess::WaitAccepting(int aPort, std::chrono::seconds aTimeout) {
  if (FPid <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + aTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      FPid = -1;
      return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(aPort));
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TPhpServer::TPhpServer(const std::string& aRouter, const std::map<std::string, std::string>& aEnv,
                       const std::string& aLogFile)
    : FPort(FreeLocalPort()),
      FProcess({"php", "-d", "enable_post_data_reading=0", "-S", "127.0.0.1:" + std::to_string(FPort), aRouter}, aEnv,
               aLogFile),
      FStarted(FProcess.WaitAccepting(FPort)) {}

std::string TPhpServer::Url(const std::string& aPath) const {
  return "http://127.0.0.1:" + std::to_string(FPort) + aPath;
}

std::string TPhpServer::Log() const { return ReadFileBytes(FProcess.LogFile()); }

void TScriptedPump::ProcessMessages() {
  ++ProcessCount;
  if (OnProcess) OnProcess();
}

void TScriptedPump::Idle(std::chrono::milliseconds aMax) { std::this_thread::sleep_for(aMax); }

std::string ServerScript() { return std::string(CDMA_SOURCE_DIR) + "/server/upload.php"; }

std::string TestScript(const std::string& aName) { return std::string(CDMA_SOURCE_DIR) + "/tests/stats/" + aName; }
