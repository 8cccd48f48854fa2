// Starting and stopping the field log for the console and the window programs, and the converter.
#include "app/FieldLog.h"

#include <csignal>
#include <thread>

#include "record/LogConverter.h"
#include "window/MainUnit.h"

namespace {

std::string Joined(const std::vector<std::string>& aPaths) {
  std::string text;
  for (const std::string& path : aPaths) text += (text.empty() ? "" : ", ") + path;
  return text;
}

}  // namespace

TFieldLog::TFieldLog(const TMonitorOptions& aOptions, TPost aPost, TOnNotice aOnNotice)
    : FGpsd(ParseGpsdAddress(aOptions.Gps.value_or(TGpsdAddress().Text()))),
      FPost(std::move(aPost)),
      FOnNotice(std::make_shared<TOnNotice>(std::move(aOnNotice))) {}

TFieldLog::~TFieldLog() {
  if (FRecorder) FRecorder->Stop();
}

void TFieldLog::Start(const std::vector<std::string>& aPaths) {
  if (FRecorder) throw ELogFileError("recording already to " + Joined(FRecorder->Paths()) + " (log stop ends it)");
  TFieldRecorderOptions options;
  options.Paths = aPaths;
  options.Gpsd = FGpsd;
  // What the recorder says while it is made comes on this thread and is told at once; what its
  // threads say is posted, and dropped once this field log has gone.
  options.OnNotice = [here = std::this_thread::get_id(), post = FPost, weak = std::weak_ptr<TOnNotice>(FOnNotice)](
                         const TRecorderNotice& aNotice) {
    const auto deliver = [weak, aNotice] {
      if (const std::shared_ptr<TOnNotice> onNotice = weak.lock()) (*onNotice)(aNotice);
    };
    if (std::this_thread::get_id() == here)
      deliver();
    else
      post(deliver);
  };
  // A limit on the size of files must not end the monitor: a write beyond it fails as on a full
  // disk, and the recorder reports it.
  std::signal(SIGXFSZ, SIG_IGN);
  FRecorder = std::make_unique<TFieldRecorder>(std::move(options));
  if (FWindow) FWindow->AddSink(*FRecorder);
  Tell(TRecorderNotice::TKind::Info, "log: recording to " + Joined(FRecorder->Paths()));
}

void TFieldLog::Attach(TMainFm& aWindow) {
  FWindow = &aWindow;
  if (FRecorder) FWindow->AddSink(*FRecorder);
}

void TFieldLog::Stop() {
  if (!FRecorder) return;
  if (FWindow) FWindow->RemoveSink(*FRecorder);
  FRecorder->Stop();
  const std::string summary = "log: stopped; " + std::to_string(FRecorder->Samples()) + " samples in " +
                              Joined(FRecorder->Paths());
  FRecorder.reset();
  Tell(TRecorderNotice::TKind::Info, summary);
}

std::string TFieldLog::StatusLine() const {
  if (!FRecorder) return "log: not recording";
  std::string line = "log: " + std::string(FRecorder->Recording() ? "recording to " : "stopped by an error: ") +
                     Joined(FRecorder->Paths()) + ": " + std::to_string(FRecorder->Samples()) + " samples";
  if (const std::optional<TGpsState> gps = FRecorder->GpsState()) line += ", gps: " + std::string(GpsStateText(*gps));
  return line;
}

void TFieldLog::Tell(TRecorderNotice::TKind aKind, std::string aText) {
  (*FOnNotice)(TRecorderNotice{aKind, std::move(aText)});
}

bool TFieldLog::Command(const std::string& aLine) {
  if (aLine == "log") {
    Tell(TRecorderNotice::TKind::Info, StatusLine());
  } else if (aLine == "log stop") {
    if (FRecorder)
      Stop();
    else
      Tell(TRecorderNotice::TKind::Info, "log: not recording");
  } else if (aLine.starts_with("log ")) {
    try {
      Start({aLine.substr(4)});
    } catch (const ELogFileError& e) {
      Tell(TRecorderNotice::TKind::Error, std::string("log: ") + e.what());
    }
  } else {
    return false;
  }
  return true;
}

int RunLogConversion(const TMonitorOptions& aOptions, std::ostream& aOut, std::ostream& aErr) {
  try {
    const TConversion conversion = ConvertCsvLog(aOptions.Convert->first, aOptions.Convert->second);
    if (!conversion.Note.empty()) aOut << "convert: " << conversion.Note << "\n";
    aOut << "convert: " << conversion.Rows << " rows, " << conversion.Positions << " with a position, from "
         << aOptions.Convert->first << " to " << conversion.OutputPath << "\n";
    if (conversion.Unreadable > 0)
      aOut << "convert: " << conversion.Unreadable << " rows without a readable time or kind left out\n";
    if (conversion.CutOff) aOut << "convert: the log ends inside a row (cut off while written); that row is left out\n";
    return 0;
  } catch (const ELogFileError& e) {
    aErr << "cdma-monitor: " << e.what() << "\n";
    return 1;
  }
}
