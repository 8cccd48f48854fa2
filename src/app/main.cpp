// cdma-monitor: the program's entry point.
#include <iostream>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/ConsoleProgram.h"
#include "app/FieldLog.h"
#include "capture/FrameDump.h"
#ifdef CDMA_WITH_GUI
#include "gui/WindowProgram.h"
#endif

int main(int argc, char** argv) {
  const std::string program = "cdma-monitor";
  TMonitorOptions options;
  try {
    options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const ECommandLineError& e) {
    std::cerr << program << ": " << e.what() << "\n" << UsageText(program);
    return 2;
  }
  if (options.Help) {
    std::cout << UsageText(program);
    return 0;
  }
  if (options.Version) {
    std::cout << VersionText();
    return 0;
  }
  if (options.Convert) return RunLogConversion(options, std::cout, std::cerr);
  if (options.Dump) return DumpCaptureFile(*options.Dump, std::cout, std::cerr, options.Json);
#ifdef CDMA_WITH_GUI
  if (!options.Console && !options.Headless) {
    if (DisplayAvailable()) return RunWindowMonitor(argc, argv, options);
    std::cerr << program << ": no display (DISPLAY and WAYLAND_DISPLAY are unset), showing the console view\n";
  }
#endif
  return RunConsoleMonitor(options);
}
