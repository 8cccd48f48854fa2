// "Send report": writes the report file, uploads it on a worker thread while the user-interface
// thread keeps its events flowing, removes the file and tells the user how it went.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/DateTime.h"
#include "common/EventPump.h"
#include "common/MessageBoxes.h"
#include "stats/ReportFile.h"
#include "stats/ReportUploader.h"

enum class TReportSendResult {
  Busy,             // a send was already running; nothing done, nothing shown
  NoTempDirectory,  // "Could not determine tmp directory."
  FileError,        // the report file could not be created or written
  UploadFailed,     // the client's error text was shown
  Sent,             // "Report successfully sended."
  Cancelled,        // the program was closing: the upload was abandoned, nothing shown
};

inline constexpr char kReportBoxCaption[] = "telvo";

// Owned by the main window; every call on the user-interface thread. The boxes and the pump
// must outlive it. The upload thread it starts is joined before SendReport returns, and the
// destructor stops and joins one that is still running.
class TReportSender {
 public:
  TReportSender(TMessageBoxes& aBoxes, TEventPump& aPump);
  ~TReportSender();
  TReportSender(const TReportSender&) = delete;
  TReportSender& operator=(const TReportSender&) = delete;

  // Throws std::invalid_argument unless the URL is an http:// or https:// URL.
  void SetReportUrl(const std::string& aUrl);
  const std::string& ReportUrl() const { return FUrl; }
  void SetUserAgent(const std::string& aUserAgent) { FUserAgent = aUserAgent; }
  // Extra trust anchors for an HTTPS report server with a private CA; empty: the system's store.
  void SetCaFile(const std::string& aCaFile) { FCaFile = aCaFile; }
  // A fixed directory for the report file; nullopt (the default) takes GetTempDirectory.
  void SetTempDirectory(std::optional<std::string> aDirectory) { FTempDirectory = std::move(aDirectory); }
  // Where the report's time stamp comes from; NowDateTime by default.
  void SetClock(std::function<TDateTime()> aClock) { FClock = aClock ? std::move(aClock) : NowDateTime; }

  bool Sending() const { return FSending; }

  // The whole send. Re-entered from the pump while a send runs, it returns Busy at once.
  TReportSendResult SendReport(const TReportHistograms& aHistograms, const std::string& aIMSI, const std::string& aMIN);
  // The program is closing: a send in progress (this is then called from inside its pump)
  // stops its upload and returns Cancelled at once, whatever the server does; none running:
  // nothing happens.
  void Cancel();

 private:
  void ShowBox(const std::string& aText, TMessageBoxKind aKind);
  bool UploadFinished() const;

  TMessageBoxes& FBoxes;
  TEventPump& FPump;
  std::string FUrl;
  std::string FUserAgent = kReportUserAgent;
  std::string FCaFile;
  std::optional<std::string> FTempDirectory;
  std::function<TDateTime()> FClock = NowDateTime;
  bool FSending = false;
  bool FCancelled = false;

  TReportUploader FUploader;  // used only by the upload thread while one runs
  mutable std::mutex FLock;   // guards FResult between the upload thread and the UI thread
  std::optional<TUploadResult> FResult;
  std::jthread FUploadThread;  // declared last: stopped and joined before the rest goes
};
