// A capture taken apart: one line per frame (and per mark of the monitor), with the time, the
// direction, the length, whether the CRC held, what the frame is and the figures it set in a
// session fed with the whole capture, as text or as JSON Lines.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <variant>
#include <vector>

#include "capture/CaptureFile.h"

// A figure a frame set: a number, a text or a list of numbers.
using TDumpValue = std::variant<int64_t, double, std::string, std::vector<int64_t>, std::vector<double>>;

struct TDumpLine {
  int64_t TimeUs = 0;
  TCaptureDirection Direction = TCaptureDirection::FromModem;
  size_t Length = 0;  // of the frame's content, without CRC and flag
  bool CrcGood = true;
  std::string Kind;  // "log", "reply", "command", "unknown", "unfinished", "mark"
  std::string Code;  // "0x1069", "0x0C"; empty for a mark
  std::string Name;
  std::vector<std::pair<std::string, TDumpValue>> Figures;
};

std::string DumpLineText(const TDumpLine& aLine);
std::string DumpLineJson(const TDumpLine& aLine);

// Hands each line to aLine, in order. Returns the reader's last result (End, CutOff or Damaged).
TCaptureReader::TResult DumpRecords(TCaptureReader& aReader, const std::function<void(const TDumpLine&)>& aLine);

// Writes the lines to aOut. Returns the exit status: 0, or 2 when a record is damaged (the
// lines before it are written; the reason goes to aErrors, one line). A capture cut off in its
// last record is dumped up to it, with a note on aErrors.
int DumpCapture(TCaptureReader& aReader, std::ostream& aOut, std::ostream& aErrors, bool aJson);
// As DumpCapture; a file that cannot be opened or is no capture of ours is status 2 as well.
int DumpCaptureFile(const std::string& aPath, std::ostream& aOut, std::ostream& aErrors, bool aJson);
