// The converter: a CSV field log read back and written again as GPX or KML (or any log format),
// for the maps of a recording whose documents were cut short.
#pragma once

#include <cstddef>
#include <string>

#include "record/LogFile.h"

struct TConversion {
  std::string OutputPath;  // the name the output was made under
  std::string Note;        // why that is not the name asked for; empty when it is
  size_t Rows = 0;         // rows read and written
  size_t Positions = 0;    // of them, rows with a position
  size_t Unreadable = 0;   // rows without a readable time or kind, left out
  bool CutOff = false;     // the log ended inside a row (a crash while it was written)
};

// Throws ELogFileError when the input cannot be read or is no field log, or the output cannot be
// made or written; a new output that fails is removed.
TConversion ConvertCsvLog(const std::string& aInput, const std::string& aOutput);
