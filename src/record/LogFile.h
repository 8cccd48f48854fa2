// The files of the field log: a new file under a name nobody uses yet, writes that report the
// system's error, and a document kept whole on disk by rewriting it through a temporary file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// A log file could not be made, written or synced; the text names the file and the system's
// reason ("cannot write /media/log/out.csv: No space left on device").
class ELogFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An owned descriptor, closed with its owner.
class TFileHandle {
 public:
  TFileHandle() = default;
  explicit TFileHandle(int aFd) : FFd(aFd) {}
  ~TFileHandle() { Reset(); }
  TFileHandle(TFileHandle&& aOther) noexcept : FFd(aOther.Release()) {}
  TFileHandle& operator=(TFileHandle&& aOther) noexcept {
    if (this != &aOther) Reset(aOther.Release());
    return *this;
  }
  int Get() const { return FFd; }
  int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset(int aFd = -1);

 private:
  int FFd = -1;
};

struct TFreshFile {
  TFileHandle Fd;
  std::string Path;  // the name the file was made under
  std::string Note;  // why that is not the name asked for; empty when it is
};

// Makes aPath as a new, empty file; when anything (a file, a directory, a symbolic link) already
// has that name, the first free of "name-1.ext", "name-2.ext", ... instead. Never follows a link
// and never truncates. Throws ELogFileError when the directory refuses.
TFreshFile CreateFreshFile(const std::string& aPath);

// The whole of aBytes, or ELogFileError naming aPath.
void WriteAll(int aFd, std::string_view aBytes, const std::string& aPath);
// The file's data on the disk, or ELogFileError naming aPath.
void SyncData(int aFd, const std::string& aPath);

// A document of a fixed head, a body that only grows, and a fixed tail, whole on disk at every
// moment: appended bytes wait in memory until Commit, which writes head, body and tail to a
// temporary file beside the document and renames it over the document. The body already on disk
// is copied by the kernel from the previous file, so memory holds only what is new.
class TRewrittenDocument {
 public:
  // aFile: new and empty, from CreateFreshFile. Writes aHead and aTail to it at once.
  TRewrittenDocument(TFreshFile aFile, std::string_view aHead, std::string aTail);
  ~TRewrittenDocument();
  TRewrittenDocument(const TRewrittenDocument&) = delete;
  TRewrittenDocument& operator=(const TRewrittenDocument&) = delete;

  void Append(std::string_view aBytes) { FPending.append(aBytes); }
  bool HasPending() const { return !FPending.empty(); }
  // Throws ELogFileError; the document on disk is then the one of the last Commit.
  void Commit();
  const std::string& Path() const { return FPath; }
  uint64_t CommittedBytes() const { return FBodyEnd + FTail.size(); }

 private:
  std::string FPath;
  TFileHandle FCurrent;  // the file now under FPath
  uint64_t FBodyEnd = 0; // head and body bytes of the current file
  std::string FTail;
  std::string FPending;
};
