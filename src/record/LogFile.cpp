// New log files under free names, writes with the system's error texts, and the document that is
// replaced whole through a temporary file.
#include "record/LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/SystemError.h"

namespace {

constexpr int kMaxNumberedNames = 9999;

std::string Failure(const char* aWhat, const std::string& aPath, int aError) {
  return std::string("cannot ") + aWhat + " " + aPath + ": " + SysErrorMessage(aError);
}

std::string DirectoryOf(const std::string& aPath) {
  const size_t slash = aPath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : aPath.substr(0, slash);
}

// "dir/out.csv", 2 -> "dir/out-2.csv"; the extension is the last dot's in the file's own name.
std::string NumberedName(const std::string& aPath, int aNumber) {
  const size_t nameStart = aPath.rfind('/') == std::string::npos ? 0 : aPath.rfind('/') + 1;
  size_t dot = aPath.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) dot = aPath.size();
  return aPath.substr(0, dot) + "-" + std::to_string(aNumber) + aPath.substr(dot);
}

// What is in the way at aPath, in words.
std::string WhatIsAt(const std::string& aPath) {
  struct stat info {};
  if (lstat(aPath.c_str(), &info) != 0) return "taken";
  if (S_ISDIR(info.st_mode)) return "a directory";
  if (S_ISLNK(info.st_mode)) {
    std::vector<char> target(4096);
    const ssize_t length = readlink(aPath.c_str(), target.data(), target.size() - 1);
    return length > 0 ? "a symbolic link to " + std::string(target.data(), static_cast<size_t>(length))
                      : "a symbolic link";
  }
  if (S_ISREG(info.st_mode)) return "a file";
  return "not a regular file";
}

// Copies aLength bytes from the start of aFrom to the end of aTo, in the kernel where it can.
void CopyPrefix(int aFrom, int aTo, uint64_t aLength, const std::string& aPath) {
  loff_t in = 0;
  uint64_t left = aLength;
  while (left > 0) {
    const ssize_t copied = copy_file_range(aFrom, &in, aTo, nullptr, left, 0);
    if (copied > 0) {
      left -= static_cast<uint64_t>(copied);
      continue;
    }
    if (copied < 0 && errno == EINTR) continue;
    if (copied == 0 || errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) break;
    throw ELogFileError(Failure("write", aPath, errno));
  }
  // Where the file system cannot copy by itself: through a buffer.
  std::vector<char> buffer(64 * 1024);
  while (left > 0) {
    const ssize_t got = pread(aFrom, buffer.data(), std::min<uint64_t>(buffer.size(), left), in);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw ELogFileError(Failure("read", aPath, errno));
    if (got == 0) throw ELogFileError("cannot read " + aPath + ": the file is shorter than written");
    WriteAll(aTo, std::string_view(buffer.data(), static_cast<size_t>(got)), aPath);
    in += got;
    left -= static_cast<uint64_t>(got);
  }
}

}  // namespace

void TFileHandle::Reset(int aFd) {
  if (FFd >= 0) close(FFd);
  FFd = aFd;
}

TFreshFile CreateFreshFile(const std::string& aPath) {
  for (int number = 0; number <= kMaxNumberedNames; ++number) {
    const std::string path = number == 0 ? aPath : NumberedName(aPath, number);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      TFreshFile file{TFileHandle(fd), path, {}};
      if (number > 0) file.Note = aPath + " exists (" + WhatIsAt(aPath) + "); writing " + path;
      return file;
    }
    if (errno != EEXIST) throw ELogFileError(Failure("create", path, errno));
  }
  throw ELogFileError("cannot create " + aPath + ": every numbered name up to " + std::to_string(kMaxNumberedNames) +
                      " is taken");
}

void WriteAll(int aFd, std::string_view aBytes, const std::string& aPath) {
  while (!aBytes.empty()) {
    const ssize_t written = write(aFd, aBytes.data(), aBytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) throw ELogFileError(Failure("write", aPath, errno));
    if (written == 0) throw ELogFileError(Failure("write", aPath, EIO));
    aBytes.remove_prefix(static_cast<size_t>(written));
  }
}

void SyncData(int aFd, const std::string& aPath) {
  if (fdatasync(aFd) != 0 && errno != EINVAL) throw ELogFileError(Failure("write", aPath, errno));
}

TRewrittenDocument::TRewrittenDocument(TFreshFile aFile, std::string_view aHead, std::string aTail)
    : FPath(std::move(aFile.Path)), FCurrent(std::move(aFile.Fd)), FBodyEnd(aHead.size()), FTail(std::move(aTail)) {
  WriteAll(FCurrent.Get(), aHead, FPath);
  WriteAll(FCurrent.Get(), FTail, FPath);
  SyncData(FCurrent.Get(), FPath);
}

TRewrittenDocument::~TRewrittenDocument() = default;

void TRewrittenDocument::Commit() {
  const std::string directory = DirectoryOf(FPath);
  const size_t slash = FPath.rfind('/');
  std::string pattern = directory + "/." + (slash == std::string::npos ? FPath : FPath.substr(slash + 1)) + ".XXXXXX";
  TFileHandle temporary(mkostemp(pattern.data(), O_CLOEXEC));
  if (temporary.Get() < 0) throw ELogFileError(Failure("create", pattern, errno));
  try {
    // The document keeps the permissions it was made with.
    struct stat info {};
    if (fstat(FCurrent.Get(), &info) == 0) fchmod(temporary.Get(), info.st_mode & 07777);
    CopyPrefix(FCurrent.Get(), temporary.Get(), FBodyEnd, FPath);
    WriteAll(temporary.Get(), FPending, FPath);
    WriteAll(temporary.Get(), FTail, FPath);
    SyncData(temporary.Get(), FPath);
    if (rename(pattern.c_str(), FPath.c_str()) != 0) throw ELogFileError(Failure("replace", FPath, errno));
  } catch (...) {
    unlink(pattern.c_str());
    throw;
  }
  // The rename itself reaches the disk with the directory.
  TFileHandle directoryFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd.Get() >= 0) fsync(directoryFd.Get());
  FCurrent = std::move(temporary);
  FBodyEnd += FPending.size();
  FPending.clear();
}
