// Report file naming, contents and the careful write.
#include "stats/ReportFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/SystemError.h"

namespace {

constexpr char kCrLf[] = "\r\n";

bool Unknown(const std::string& aIdentity) { return aIdentity.empty() || aIdentity == " "; }

void AddLine(std::string& aOut, const std::string& aLine) {
  aOut += aLine;
  aOut += kCrLf;
}

std::string FileError(const char* aWhat, const std::string& aFileName, int aErrno) {
  return std::string(aWhat) + " \"" + aFileName + "\". " + SysErrorMessage(aErrno);
}

class TFd {
 public:
  explicit TFd(int aFd) : FFd(aFd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  // Closing can report a delayed write error, so the writer asks for it.
  int Close() {
    const int rc = ::close(FFd);
    FFd = -1;
    return rc;
  }

 private:
  int FFd;
};

}  // namespace

std::string GetTempDirectory() {
  for (const char* name : {"TEMP", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return "/tmp";
}

std::string ReportIdentity(const std::string& aIMSI, const std::string& aMIN) {
  if (!Unknown(aIMSI)) return aIMSI;
  if (!Unknown(aMIN)) return aMIN;
  return "";
}

std::string ReportFileName(const std::string& aTempDirectory, const std::string& aIdentity, TDateTime aNow) {
  std::string name = aTempDirectory;
  if (name.empty() || name.back() != '/') name += '/';
  for (const char c : aIdentity) {
    const auto u = static_cast<unsigned char>(c);
    name += (c == '/' || u < 0x20 || u == 0x7F) ? '_' : c;
  }
  if (!aIdentity.empty()) name += '_';
  name += FormatDateTimePicture("ddMMyyyy_hhmmss", aNow);
  name += ".txt";
  return name;
}

std::string ReportText(const TReportHistograms& aHistograms, const std::string& aIdentity, TDateTime aNow) {
  std::string out;
  AddLine(out, "Report generated at: " + FormatDateTimePicture("dd.MM.yyyy hh:mm", aNow));
  AddLine(out, "Modem IMSI: " + aIdentity + kCrLf);

  const auto addBins = [&out](const char* aHeading, const TCustomQuality& aQuality) {
    AddLine(out, aHeading);
    for (const auto& [key, count] : aQuality.ValuesList()) {
      const auto caption = aQuality.HeadersList().find(key);
      AddLine(out, (caption != aQuality.HeadersList().end() ? caption->second : std::to_string(key)) + ": " +
                       std::to_string(count));
    }
    AddLine(out, "");
  };
  addBins("RX values:", aHistograms.Rx);
  addBins("TX values:", aHistograms.Tx);

  AddLine(out, "DRC values:");
  std::vector<std::pair<int32_t, int32_t>> drc(aHistograms.Drc.ValuesList().begin(), aHistograms.Drc.ValuesList().end());
  std::stable_sort(drc.begin(), drc.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  for (const auto& [key, count] : drc) AddLine(out, std::to_string(key) + ": " + std::to_string(count));
  AddLine(out, "");

  AddLine(out, "Sector values:");
  for (const auto& [key, count] : aHistograms.CellFace.ValuesList()) AddLine(out, key + ": " + std::to_string(count));
  AddLine(out, "");
  AddLine(out, "End of report.");
  return out;
}

bool WriteReportFile(const std::string& aFileName, const std::string& aText, std::string& aError) {
  // O_NONBLOCK keeps a planted FIFO from stalling the open; it changes nothing for a plain file.
  TFd fd(::open(aFileName.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (fd.Get() < 0) {
    aError = FileError("Cannot create file", aFileName, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    aError = FileError("Cannot create file", aFileName, errno);
    return false;
  }
  // A leftover report of ours is overwritten; anything else at the name is not ours to touch.
  if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1) {
    aError = FileError("Cannot create file", aFileName, EEXIST);
    return false;
  }
  const auto fail = [&](int aErrno) {
    aError = FileError("Cannot write file", aFileName, aErrno);
    ::unlink(aFileName.c_str());
    return false;
  };
  if (::fchmod(fd.Get(), 0600) != 0 || ::ftruncate(fd.Get(), 0) != 0) return fail(errno);
  size_t done = 0;
  while (done < aText.size()) {
    const ssize_t n = ::write(fd.Get(), aText.data() + done, aText.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    done += static_cast<size_t>(n);
  }
  if (fd.Close() != 0) return fail(errno);
  return true;
}
