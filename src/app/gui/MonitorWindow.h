// The window program's main window with its logic: the Qt loop, the widgets and TMainFm wired
// together, in the order their lives need.
#pragma once

#include <functional>
#include <memory>

#include "gui/AlignmentWindow.h"
#include "gui/MainWindow.h"
#include "gui/QtUiLoop.h"
#include "window/MainUnit.h"

class TMonitorWindow {
 public:
  // Needs a QApplication with the Auric style applied. Creating it is the form's creation: the
  // starter thread (if aOptions asks for one) posts the first search.
  // aWrapLoop, when given, returns the loop the logic gets in place of the Qt loop it is handed
  // (one that lives as long as this window).
  explicit TMonitorWindow(TMainFmOptions aOptions, const std::function<TUiLoop&(TUiLoop&)>& aWrapLoop = {});
  // Joins every thread the logic started before the widgets go.
  ~TMonitorWindow();
  TMonitorWindow(const TMonitorWindow&) = delete;
  TMonitorWindow& operator=(const TMonitorWindow&) = delete;

  TMainWindow& Window() { return FWindow; }
  TMainFm& Logic() { return *FLogic; }
  TQtUiLoop& Loop() { return FLoop; }
  TAlignmentController& Alignment() { return *FAlignment; }

 private:
  TQtUiLoop FLoop;
  TMainWindow FWindow;
  TUiLoop& FLogicLoop;  // FLoop, or what aWrapLoop made of it
  std::unique_ptr<TMainFm> FLogic;
  std::unique_ptr<TAlignmentController> FAlignment;  // last: destroyed first, it reads the logic
};
