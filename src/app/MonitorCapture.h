// The capture and the replay of one run of the monitor, as its command line asks: the recording
// devices and loop, the replayed port with its plug and unplug, and the replay's loop and clock.
#pragma once

#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "app/CommandLine.h"
#include "capture/CaptureLoops.h"
#include "capture/RecordingDevice.h"
#include "capture/ReplaySource.h"
#include "serial/PortNotifications.h"
#include "serial/PortTable.h"
#include "window/MainUnit.h"

class TMonitorCapture {
 public:
  // Null when the replay's capture cannot be played or the capture file cannot be made; the
  // reason is one line on aNotes, and the program ends with status 2. Notes of a run (the file
  // a capture goes to, a replay whose last record was cut off) go to aNotes too.
  static std::unique_ptr<TMonitorCapture> Create(const TMonitorOptions& aOptions, std::ostream& aNotes,
                                                 TPortTable& aTable = TPortTable::Instance());
  // Closes the capture.
  ~TMonitorCapture();
  TMonitorCapture(const TMonitorCapture&) = delete;
  TMonitorCapture& operator=(const TMonitorCapture&) = delete;

  bool Capturing() const { return FRecorder != nullptr; }
  bool Replaying() const { return FReplay != nullptr; }
  const std::string& CapturePath() const;

  // The replayed port's plug and unplug for the window's notifications; null when not replaying.
  std::unique_ptr<TPortEventSource> EventSource();
  // Fits the window logic's platform: the replayed port as the only one, the devices that record
  // and replay, the replay's clock on samples and events.
  void Adjust(TMainFmOptions& aOptions);
  // The loop to give the window logic: aInner itself, or a loop around it that marks the timers
  // in the capture or runs them on the replay's clock. Call once; it lives as long as this.
  TUiLoop& Loop(TUiLoop& aInner);
  // Once the window logic exists: its session's port records from here on.
  void Attach(TMainFm& aFm);
  // The replay's loop at the maximum speed, for a program whose own loop rests by itself and
  // must call its Advance when idle; null otherwise.
  TReplayUiLoop* ReplayLoop() { return FReplayLoop.get(); }
  // Writes what is left and closes the capture file (a failure goes to the notes). Idempotent.
  void Close();

 private:
  TMonitorCapture(const TMonitorOptions& aOptions, std::ostream& aNotes, TPortTable& aTable);
  TSerialDeviceFactory BaseDevices();

  std::ostream& FNotes;
  TPortTable& FTable;
  std::unique_ptr<TCaptureRecorder> FRecorder;
  std::unique_ptr<TCaptureTap> FTap;
  std::unique_ptr<TReplaySource> FReplay;
  std::unique_ptr<TExtraPortEvents> FReplayEvents;
  std::unique_ptr<TReplayUiLoop> FReplayLoop;
  std::unique_ptr<TRecordingUiLoop> FRecordingLoop;
  std::mutex FNotesLock;  // the recorder reports from its own thread
  bool FReported = false;
  bool FClosed = false;
};
