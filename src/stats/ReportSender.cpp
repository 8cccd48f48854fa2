// The send-report operation.
#include "stats/ReportSender.h"

#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

// How long the waiting loop rests between looks at the upload when no event arrives.
constexpr std::chrono::milliseconds kWaitSlice{20};

}  // namespace

TReportSender::TReportSender(TMessageBoxes& aBoxes, TEventPump& aPump)
    : FBoxes(aBoxes), FPump(aPump), FUrl(DefaultReportUrl()) {}

TReportSender::~TReportSender() {
  if (FUploadThread.joinable()) {
    FUploadThread.request_stop();
    FUploadThread.join();
  }
}

void TReportSender::SetReportUrl(const std::string& aUrl) {
  if (!IsReportUrl(aUrl)) throw std::invalid_argument("Not an http or https URL: " + aUrl);
  FUrl = aUrl;
}

void TReportSender::ShowBox(const std::string& aText, TMessageBoxKind aKind) {
  FBoxes.ShowMessageBox(kReportBoxCaption, aText, aKind);
}

void TReportSender::Cancel() {
  if (!FSending) return;
  // A server that never answers would otherwise hold the program for the transfer's time-outs.
  FCancelled = true;
  FUploadThread.request_stop();
}

bool TReportSender::UploadFinished() const {
  std::lock_guard lock(FLock);
  return FResult.has_value();
}

TReportSendResult TReportSender::SendReport(const TReportHistograms& aHistograms, const std::string& aIMSI,
                                            const std::string& aMIN) {
  if (FSending) return TReportSendResult::Busy;
  FSending = true;
  struct TIdleAgain {
    bool& Flag;
    ~TIdleAgain() { Flag = false; }
  } idleAgain{FSending};

  const std::string directory = FTempDirectory ? *FTempDirectory : GetTempDirectory();
  if (directory.empty()) {
    ShowBox("Could not determine tmp directory.", TMessageBoxKind::Error);
    return TReportSendResult::NoTempDirectory;
  }
  const TDateTime now = FClock();
  const std::string identity = ReportIdentity(aIMSI, aMIN);
  const std::string fileName = ReportFileName(directory, identity, now);
  std::string fileError;
  if (!WriteReportFile(fileName, ReportText(aHistograms, identity, now), fileError)) {
    ShowBox(fileError, TMessageBoxKind::Error);
    return TReportSendResult::FileError;
  }

  {
    std::lock_guard lock(FLock);
    FResult.reset();
  }
  FCancelled = false;
  TUploadRequest request{FUrl, fileName, FUserAgent, FCaFile};
  try {
    FUploadThread = std::jthread([this, request = std::move(request)](std::stop_token aStop) {
      TUploadResult result = FUploader.Upload(request, aStop);
      std::lock_guard lock(FLock);
      FResult = std::move(result);
    });
  } catch (const std::system_error& e) {
    ::unlink(fileName.c_str());
    ShowBox(e.what(), TMessageBoxKind::Error);
    return TReportSendResult::UploadFailed;
  }

  // A close during the upload abandons it rather than wait for the server.
  if (!FPump.PumpWhile([this] { return !UploadFinished(); }, kWaitSlice)) Cancel();
  FUploadThread.join();
  FUploadThread = std::jthread();

  ::unlink(fileName.c_str());

  TUploadResult result;
  {
    std::lock_guard lock(FLock);
    result = std::move(*FResult);
    FResult.reset();
  }
  if (FCancelled) return TReportSendResult::Cancelled;
  if (!result.Ok) {
    ShowBox(result.ErrorText, TMessageBoxKind::Error);
    return TReportSendResult::UploadFailed;
  }
  ShowBox("Report successfully sended.", TMessageBoxKind::Information);
  return TReportSendResult::Sent;
}
