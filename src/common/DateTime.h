// Date-time values counted in days from 1899-12-30 (the fraction is the time of day), the
// time-zone bias and the locale's date and time formats.
#pragma once

#include <cstdint>
#include <string>

using TDateTime = double;

struct TCivilTime {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

TCivilTime DateTimeToCivil(TDateTime aValue);
TDateTime CivilToDateTime(const TCivilTime& aCivil);

// The computer's local time now.
TDateTime NowDateTime();

// Minutes to add to local standard time to get UTC (UTC = local + bias); daylight saving is
// deliberately left out.
int TimeZoneBiasMinutes();

// The user's locale formats (LC_TIME): long time and short date.
std::string FormatLongTime(TDateTime aValue);
std::string FormatShortDate(TDateTime aValue);

// Formats with a picture of Delphi-style tokens: yyyy, yy, MM, M, dd, d, hh, h, mm, nn, ss, zzz;
// other characters are copied. Enough for the file-name and report stamps the program writes.
std::string FormatDateTimePicture(const std::string& aPicture, TDateTime aValue);
