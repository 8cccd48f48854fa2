// The monitor with its window: Qt's application, the Auric style, the main window and its logic.
#pragma once

#include <functional>

#include "app/CommandLine.h"

class TMonitorWindow;

// Whether a window can be shown: DISPLAY or WAYLAND_DISPLAY is set for the platform Qt will use,
// or QT_QPA_PLATFORM names one that needs no display (offscreen, for instance).
bool DisplayAvailable();

// Runs until the window is closed (or SIGINT/SIGTERM closes it); stops the modem cleanly and
// returns the exit status. aOnShown, if given, runs once the window was asked to show, before
// the event loop starts (measurements hook in there).
int RunWindowMonitor(int& argc, char** argv, const TMonitorOptions& aOptions,
                     const std::function<void(TMonitorWindow&)>& aOnShown = {});
