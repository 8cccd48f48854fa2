// The program's field log: the recorder the command line or the user starts, added to the main
// window's sinks, with its notices brought to the window's thread; the console's log commands and
// the converter's run.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "record/FieldRecorder.h"

class TMainFm;

class TFieldLog {
 public:
  // Runs a task on the window's thread later; callable from any thread.
  using TPost = std::function<void(std::function<void()>)>;
  using TOnNotice = std::function<void(const TRecorderNotice&)>;

  // aOnNotice runs on the window's thread: at once for what Start, Stop and Command say, posted
  // for what the recorder's threads say.
  TFieldLog(const TMonitorOptions& aOptions, TPost aPost, TOnNotice aOnNotice);
  // Stops the recording; the window it was attached to must be gone already or Stop called.
  ~TFieldLog();
  TFieldLog(const TFieldLog&) = delete;
  TFieldLog& operator=(const TFieldLog&) = delete;

  // Starts recording to aPaths, and tells where ("log: recording to ..."). Throws ELogFileError
  // (nothing recorded then); one recording at a time.
  void Start(const std::vector<std::string>& aPaths);
  // The window whose samples are recorded, now and by later Starts.
  void Attach(TMainFm& aWindow);
  // Ends the recording, files complete; tells what was written. Nothing when none runs.
  void Stop();

  const TFieldRecorder* Recorder() const { return FRecorder.get(); }
  bool Recording() const { return FRecorder && FRecorder->Recording(); }
  // "log: recording to A, B: 12 samples, gps: 3D fix", or "log: not recording".
  std::string StatusLine() const;
  // The console's commands "log FILE", "log stop" and "log"; false for any other line. The
  // answers are notices.
  bool Command(const std::string& aLine);

 private:
  void Tell(TRecorderNotice::TKind aKind, std::string aText);

  std::optional<TGpsdAddress> FGpsd;
  TPost FPost;
  // Shared with the recorder's notices in flight, so that none arrives after this is gone.
  std::shared_ptr<TOnNotice> FOnNotice;
  TMainFm* FWindow = nullptr;
  std::unique_ptr<TFieldRecorder> FRecorder;
};

// cdma-monitor --convert: the lines it prints go to aOut, an error to aErr; the exit status.
int RunLogConversion(const TMonitorOptions& aOptions, std::ostream& aOut, std::ostream& aErr);
