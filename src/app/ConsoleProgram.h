// The monitor with its console view: the window's logic on a poll loop of our own, commands
// read from standard input, lines written to standard output.
#pragma once

#include "app/CommandLine.h"

// Runs until "quit", SIGINT or SIGTERM; stops the modem cleanly and returns the exit status.
int RunConsoleMonitor(const TMonitorOptions& aOptions);
