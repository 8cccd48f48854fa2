// The window's side of the field log: "Record…" and "Stop recording" in the main window's context
// menu, "REC", the samples written and the GPS state in the first status panel, and the
// recorder's warnings as message boxes.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "app/FieldLog.h"

class QAction;
class TMainWindow;
class TMonitorWindow;

class TRecordingControls final : public QObject {
 public:
  explicit TRecordingControls(const TMonitorOptions& aOptions);
  ~TRecordingControls() override;

  // The command line's --log files, before the window is made and the modem searched. Throws
  // ELogFileError.
  void StartFromCommandLine(const TMonitorOptions& aOptions);
  // The window whose samples are recorded, whose menu and status panel show the recording.
  void Attach(TMonitorWindow& aMonitor);
  // Before the window's logic goes: the recording ends with its files complete.
  void Stop();

  // What the two menu entries do; StartRecording tells a refusal in a message box.
  void StartRecording(const QString& aPath);
  void StopRecording();

  QAction* RecordAction() const { return FRecord; }
  QAction* StopAction() const { return FStop; }
  // "REC 12 3D fix", "REC stopped by an error", or empty when not recording.
  QString PanelText() const;

 private:
  void ChooseFile();
  void Notice(const TRecorderNotice& aNotice);
  void Refresh();

  TFieldLog FLog;
  TMainWindow* FWindow = nullptr;
  int FPanelWidth = 0;  // the first status panel's designed width
  QAction* FRecord = nullptr;
  QAction* FStop = nullptr;
  QTimer FRefresh;
};
