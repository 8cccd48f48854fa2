// One row of the field log: a polling cycle's sample or a monitor event, with the position it
// was taken at, and the named columns every log format writes it as.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "window/CycleSample.h"

enum class TFixMode { None, Fix2D, Fix3D };

// "none", "2D", "3D".
std::string_view FixModeName(TFixMode aMode);

// Where the monitor was. Only Mode is set without a position; latitude and longitude are set
// with a 2D or 3D fix, the rest when the receiver reported them.
struct TPosition {
  TFixMode Mode = TFixMode::None;
  double Latitude = 0;   // degrees, WGS 84
  double Longitude = 0;  // degrees, WGS 84
  std::optional<double> AltitudeM;         // above mean sea level
  std::optional<double> HorizontalErrorM;  // the receiver's estimate
  std::optional<double> SpeedMps;          // over ground
  std::optional<double> CourseDeg;         // from true north
  std::optional<TWallClock::time_point> FixTime;

  bool Known() const { return Mode != TFixMode::None; }
};

struct TLogRow {
  std::variant<TCycleSample, TMonitorEvent> Entry;
  TPosition Position;

  const TCycleSample* Sample() const { return std::get_if<TCycleSample>(&Entry); }
  const TMonitorEvent* Event() const { return std::get_if<TMonitorEvent>(&Entry); }
  TWallClock::time_point Time() const;
};

// Every text of a row made valid UTF-8 (anything else becomes U+FFFD) and free of the control
// characters XML cannot carry, and a position of numbers that are no numbers or out of range
// dropped, so that each format can hold it. The writers take rows made so.
TLogRow CleanLogRow(TLogRow aRow);

enum class TLogValueType { Absent, Text, Number, Bool };

struct TLogValue {
  TLogValueType Type = TLogValueType::Absent;
  std::string Text;  // numbers in C notation; booleans "1" or "0"
};

// The columns, in the order the CSV header names them; JSON Lines uses the same names.
enum class TLogColumn : size_t {
  Time, Kind, LinkType, Rx, Tx, Drc, Cell, Sector, Pn, UpKbps, DownKbps, Icon, Sleeping, Present, NoData,
  From, To, Text, RttMs, Fix, Lat, Lon, AltM, HerrM, SpeedMps, CourseDeg, FixTime, Count
};
inline constexpr std::array<std::string_view, static_cast<size_t>(TLogColumn::Count)> kLogColumns = {
    "time",   "kind",    "link_type", "rx_dbm",  "tx_dbm", "drc",       "cell",       "sector", "pn",
    "up_kbps", "down_kbps", "icon",   "sleeping", "present", "no_data", "from",       "to",     "text",
    "rtt_ms", "fix",     "lat",       "lon",     "alt_m",  "herr_m",    "speed_mps",  "course_deg", "fix_time"};
constexpr size_t ColumnIndex(TLogColumn aColumn) { return static_cast<size_t>(aColumn); }

using TLogValues = std::array<TLogValue, kLogColumns.size()>;

// The row's values, one per column; what a row does not carry is Absent.
TLogValues LogRowValues(const TLogRow& aRow);

// The row again from the texts of its columns (none where the log has no such column or leaves
// it empty): what the converter reads back. None when the time or the kind cannot be read.
using TLogTexts = std::array<std::optional<std::string_view>, kLogColumns.size()>;
std::optional<TLogRow> ParseLogRow(const TLogTexts& aTexts);

// "2024-05-01T12:34:56.789Z": UTC with milliseconds.
std::string FormatLogTime(TWallClock::time_point aTime);
std::optional<TWallClock::time_point> ParseLogTime(std::string_view aText);

// Numbers as the log writes them: C notation whatever the locale.
std::string FormatFixed(double aValue, int aDecimals);
std::string FormatShortest(float aValue);

// The band of the RX chart a sample's RX falls in, as the window draws it: the top, middle and
// bottom third of the chart's 0..20 scale. A sample without a reading (no modem, no link data)
// and a reading off the scale count as Bad.
enum class TRxBand { Excellent, Good, Bad };
TRxBand RxBandOf(const TCycleSample& aSample);
// The chart's caption of the band: "Excelent.", "Good.", "Bad.".
std::string_view RxBandCaption(TRxBand aBand);
