// The report upload: one multipart POST of the report file to the report server, with libcurl.
#pragma once

#include <stop_token>
#include <string>

inline constexpr char kReportUserAgent[] = "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko";
inline constexpr char kReportAcceptTypes[] = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

// The report-upload URL built into the program (CMake cache variable CDMA_REPORT_URL).
std::string DefaultReportUrl();

// True for an absolute http:// or https:// URL with a host, the only kinds the upload sends to.
bool IsReportUrl(const std::string& aUrl);

struct TUploadRequest {
  std::string Url;
  std::string FileName;  // the report file; the form carries its base name
  std::string UserAgent = kReportUserAgent;
  std::string CaFile;    // extra trust anchors for HTTPS; empty: the system's store
};

struct TUploadResult {
  bool Ok = false;         // a completed POST answered with a 2xx status
  long HttpStatus = 0;     // 0 when no answer came
  std::string ErrorText;   // for the user when !Ok
};

// Keeps the cookies the server sets for its lifetime (in memory only) and sends them with later
// uploads. Not for concurrent use: one Upload at a time, on any one thread.
class TReportUploader {
 public:
  TReportUploader();
  ~TReportUploader();
  TReportUploader(const TReportUploader&) = delete;
  TReportUploader& operator=(const TReportUploader&) = delete;

  // Blocks until the server has answered, the transfer failed, or aStop was requested.
  // Never throws; every failure comes back as a result with its text.
  TUploadResult Upload(const TUploadRequest& aRequest, std::stop_token aStop = {});

 private:
  void* FCookies;  // CURLSH* sharing the cookie store between the uploads' handles
};
