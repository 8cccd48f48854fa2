// Pseudo-terminal and symlink handling of the simulated modem.
#include "sim/SimPty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace sim {
namespace {

[[noreturn]] void ThrowErrno(const std::string& aWhat) {
  throw std::system_error(errno, std::generic_category(), aWhat);
}

}  // namespace

void TSimPty::Open() {
  Close();
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) ThrowErrno("posix_openpt");
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    const int error = errno;
    ::close(master);
    throw std::system_error(error, std::generic_category(), "preparing the pseudo-terminal");
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    const int error = errno;
    ::close(master);
    throw std::system_error(error, std::generic_category(), std::string("opening ") + name);
  }
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(slave, TCSANOW, &tio);
  }
  const int flags = fcntl(master, F_GETFL);
  fcntl(master, F_SETFL, flags | O_NONBLOCK);
  FMaster = master;
  FSlave = slave;
  FSlavePath = name;
}

void TSimPty::Close() {
  if (FMaster >= 0) ::close(FMaster);
  if (FSlave >= 0) ::close(FSlave);
  FMaster = FSlave = -1;
  FSlavePath.clear();
}

int TSimPty::UnreadBySlave() const {
  int queued = 0;
  if (FSlave < 0 || ::ioctl(FSlave, FIONREAD, &queued) != 0) return 0;
  return queued;
}

void PlaceSymlink(const std::string& aLink, const std::string& aTarget) {
  struct stat st {};
  if (lstat(aLink.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    throw std::system_error(EEXIST, std::generic_category(), aLink + " exists and is not a symlink");
  const std::string temporary = aLink + ".tmp" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(aTarget.c_str(), temporary.c_str()) != 0) ThrowErrno("symlink " + temporary);
  if (::rename(temporary.c_str(), aLink.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), "rename to " + aLink);
  }
}

void RemoveSymlink(const std::string& aLink, const std::string& aTarget) {
  std::vector<char> buffer(aTarget.size() + 2);
  const ssize_t n = ::readlink(aLink.c_str(), buffer.data(), buffer.size());
  if (n >= 0 && std::string(buffer.data(), static_cast<size_t>(n)) == aTarget) ::unlink(aLink.c_str());
}

}  // namespace sim
