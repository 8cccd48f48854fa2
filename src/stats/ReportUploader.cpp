// Multipart report upload over libcurl.
#include "stats/ReportUploader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "common/SystemError.h"

#ifndef CDMA_REPORT_URL
#define CDMA_REPORT_URL "http://localhost:8080/upload.php"
#endif

namespace {

// The server refuses larger reports anyway; this only keeps a runaway file out of memory.
constexpr off_t kMaxReportBytes = 16 * 1024 * 1024;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TCurlEasyFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct TCurlMimeFree {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};
struct TCurlSlistFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct TCurlUrlFree {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

std::string BaseName(const std::string& aPath) {
  const auto slash = aPath.find_last_of('/');
  return slash == std::string::npos ? aPath : aPath.substr(slash + 1);
}

// Reads the report back as it is at upload time; it may have gone or been swapped meanwhile.
bool ReadReport(const std::string& aFileName, std::string& aData, std::string& aError) {
  const int fd = ::open(aFileName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    aError = "Cannot open file \"" + aFileName + "\". " + SysErrorMessage(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  int err = ok ? 0 : errno;
  if (ok && (!S_ISREG(st.st_mode) || st.st_size > kMaxReportBytes)) {
    ok = false;
    err = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
  }
  aData.clear();
  char buffer[8192];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      err = errno;
    } else if (n == 0) {
      break;
    } else {
      aData.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  if (!ok) aError = "Cannot read file \"" + aFileName + "\". " + SysErrorMessage(err);
  return ok;
}

// Only running out of memory or a libcurl without a needed feature makes these fail.
void Must(CURLcode aCode) {
  if (aCode != CURLE_OK) throw std::runtime_error(curl_easy_strerror(aCode));
}

size_t DiscardBody(char*, size_t aSize, size_t aCount, void*) { return aSize * aCount; }

// Remembers the last status line, which after redirects is the final answer's.
size_t KeepStatusLine(char* aData, size_t aSize, size_t aCount, void* aUser) {
  const size_t n = aSize * aCount;
  std::string line(aData, n);
  if (line.rfind("HTTP/", 0) == 0) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
    *static_cast<std::string*>(aUser) = line;
  }
  return n;
}

int CheckStop(void* aUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<std::stop_token*>(aUser)->stop_requested() ? 1 : 0;
}

}  // namespace

std::string DefaultReportUrl() { return CDMA_REPORT_URL; }

bool IsReportUrl(const std::string& aUrl) {
  GlobalInit();
  std::unique_ptr<CURLU, TCurlUrlFree> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, aUrl.c_str(), 0) != CURLUE_OK) return false;
  char* scheme = nullptr;
  char* host = nullptr;
  bool ok = curl_url_get(url.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
  if (ok) ok = std::string(scheme) == "http" || std::string(scheme) == "https";
  curl_free(scheme);
  curl_free(host);
  return ok;
}

TReportUploader::TReportUploader() {
  GlobalInit();
  CURLSH* share = curl_share_init();
  if (share) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  FCookies = share;
}

TReportUploader::~TReportUploader() { curl_share_cleanup(static_cast<CURLSH*>(FCookies)); }

TUploadResult TReportUploader::Upload(const TUploadRequest& aRequest, std::stop_token aStop) {
  TUploadResult result;
  try {
    std::string data;
    if (!ReadReport(aRequest.FileName, data, result.ErrorText)) return result;

    std::unique_ptr<CURL, TCurlEasyFree> handle(curl_easy_init());
    CURL* curl = handle.get();
    if (!curl || !FCookies) {
      result.ErrorText = "The HTTP client could not be initialised";
      return result;
    }
    std::unique_ptr<curl_mime, TCurlMimeFree> form(curl_mime_init(curl));
    curl_mimepart* part = curl_mime_addpart(form.get());
    Must(curl_mime_name(part, "MAX_FILE_SIZE"));
    Must(curl_mime_data(part, "300000", CURL_ZERO_TERMINATED));
    part = curl_mime_addpart(form.get());
    Must(curl_mime_name(part, "userfile"));
    Must(curl_mime_data(part, data.data(), data.size()));
    Must(curl_mime_filename(part, BaseName(aRequest.FileName).c_str()));
    Must(curl_mime_type(part, "text/plain"));
    part = curl_mime_addpart(form.get());
    Must(curl_mime_name(part, ""));
    Must(curl_mime_data(part, "--", CURL_ZERO_TERMINATED));

    std::unique_ptr<curl_slist, TCurlSlistFree> headers;
    for (const std::string& header : {std::string("Accept: ") + kReportAcceptTypes, std::string("Expect:")}) {
      curl_slist* grown = curl_slist_append(headers.get(), header.c_str());
      if (!grown) throw std::bad_alloc();
      headers.release();
      headers.reset(grown);
    }

    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string statusLine;
    // The handle points at the form, the headers and these buffers, so it goes first, also
    // when an option cannot be set.
    struct TCleanupFirst {
      std::unique_ptr<CURL, TCurlEasyFree>& Handle;
      ~TCleanupFirst() { Handle.reset(); }
    } cleanupFirst{handle};
    Must(curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer));
    Must(curl_easy_setopt(curl, CURLOPT_URL, aRequest.Url.c_str()));
    Must(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));
    Must(curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));
    Must(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
    Must(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 15L));
    Must(curl_easy_setopt(curl, CURLOPT_SHARE, static_cast<CURLSH*>(FCookies)));
    Must(curl_easy_setopt(curl, CURLOPT_COOKIEFILE, ""));  // cookie engine on, nothing read from disk
    Must(curl_easy_setopt(curl, CURLOPT_PROXY, ""));        // direct, whatever the environment says
    Must(curl_easy_setopt(curl, CURLOPT_USERAGENT, aRequest.UserAgent.c_str()));
    Must(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()));
    Must(curl_easy_setopt(curl, CURLOPT_MIMEPOST, form.get()));
    if (!aRequest.CaFile.empty()) Must(curl_easy_setopt(curl, CURLOPT_CAINFO, aRequest.CaFile.c_str()));
    Must(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    // Without these a server that accepts and then says nothing would hold the send forever.
    Must(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L));
    Must(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L));
    Must(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 120L));
    Must(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardBody));
    Must(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KeepStatusLine));
    Must(curl_easy_setopt(curl, CURLOPT_HEADERDATA, &statusLine));
    Must(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
    Must(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CheckStop));
    Must(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &aStop));

    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.HttpStatus);

    if (code != CURLE_OK) {
      result.ErrorText = TrimErrorText(errorBuffer[0] ? errorBuffer : curl_easy_strerror(code));
    } else if (result.HttpStatus < 200 || result.HttpStatus > 299) {
      result.ErrorText = !statusLine.empty() ? statusLine : "HTTP status " + std::to_string(result.HttpStatus);
    } else {
      result.Ok = true;
    }
  } catch (const std::exception& e) {
    result.Ok = false;
    result.ErrorText = e.what();
  }
  return result;
}
