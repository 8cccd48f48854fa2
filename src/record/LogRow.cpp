// The field log's rows as named column values, and back; times, numbers and texts in the forms
// every log format shares.
#include "record/LogRow.h"

#include <charconv>
#include <cmath>
#include <ctime>

#include "window/MainView.h"
#include "window/SignalCharts.h"

namespace {

struct TFixModeName {
  TFixMode Mode;
  std::string_view Name;
};
constexpr std::array<TFixModeName, 3> kFixModeNames = {{
    {TFixMode::None, "none"},
    {TFixMode::Fix2D, "2D"},
    {TFixMode::Fix3D, "3D"},
}};

struct TBandCaption {
  TRxBand Band;
  std::string_view Caption;
};
constexpr std::array<TBandCaption, 3> kBandCaptions = {{
    {TRxBand::Excellent, "Excelent."},
    {TRxBand::Good, "Good."},
    {TRxBand::Bad, "Bad."},
}};

constexpr std::string_view kSampleKind = "sample";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

constexpr TMonitorEventKind kEventKinds[] = {
    TMonitorEventKind::SectorChanged, TMonitorEventKind::LinkTypeChanged, TMonitorEventKind::SignalLost,
    TMonitorEventKind::SignalBack,    TMonitorEventKind::ModemLost,       TMonitorEventKind::ModemFound,
    TMonitorEventKind::DialupState,   TMonitorEventKind::PingReply,       TMonitorEventKind::PingLoss,
};

// The length of the valid UTF-8 sequence at aText[aAt] that XML can carry, or 0.
size_t CarriableSequence(std::string_view aText, size_t aAt) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(aText[i]); };
  const unsigned char lead = byte(aAt);
  if (lead < 0x80) return (lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r') ? 1 : 0;
  size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (aAt + length > aText.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(aAt + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(aAt + i) & 0x3F);
  }
  const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || code > 0x10FFFF) return 0;   // overlong or beyond Unicode
  if (code >= 0xD800 && code <= 0xDFFF) return 0;          // surrogates
  if (code == 0xFFFE || code == 0xFFFF) return 0;          // not characters for XML
  return length;
}

std::string CleanText(std::string_view aText) {
  std::string clean;
  clean.reserve(aText.size());
  for (size_t i = 0; i < aText.size();) {
    if (const size_t length = CarriableSequence(aText, i)) {
      clean.append(aText.substr(i, length));
      i += length;
    } else {
      clean.append(kReplacement);
      ++i;
    }
  }
  return clean;
}

TLogValue Text(std::string aText) { return {TLogValueType::Text, std::move(aText)}; }
TLogValue Number(std::string aText) { return {TLogValueType::Number, std::move(aText)}; }
TLogValue Bool(bool aValue) { return {TLogValueType::Bool, aValue ? "1" : "0"}; }
TLogValue OptionalText(const std::string& aText) { return aText.empty() ? TLogValue{} : Text(aText); }
// A number that is not one (NaN, infinite) is no value: JSON and the readers have no word for it.
TLogValue Fixed(double aValue, int aDecimals) {
  return std::isfinite(aValue) ? Number(FormatFixed(aValue, aDecimals)) : TLogValue{};
}
TLogValue OptionalFixed(const std::optional<double>& aValue, int aDecimals) {
  return aValue ? Fixed(*aValue, aDecimals) : TLogValue{};
}
TLogValue Shortest(float aValue) { return std::isfinite(aValue) ? Number(FormatShortest(aValue)) : TLogValue{}; }

void PutSample(TLogValues& aValues, const TCycleSample& aSample) {
  const auto put = [&](TLogColumn aColumn, TLogValue aValue) { aValues[ColumnIndex(aColumn)] = std::move(aValue); };
  put(TLogColumn::Kind, Text(std::string(kSampleKind)));
  put(TLogColumn::Icon, Number(std::to_string(aSample.Icon)));
  put(TLogColumn::Present, Bool(aSample.Present));
  // Without a modem the figures are nobody's: only the icon and the absence are recorded.
  if (!aSample.Present) return;
  put(TLogColumn::LinkType, Text(aSample.LinkType));
  put(TLogColumn::Rx, Shortest(aSample.Rx));
  put(TLogColumn::Tx, Shortest(aSample.Tx));
  put(TLogColumn::Drc, Shortest(aSample.Drc));
  put(TLogColumn::Cell, Number(std::to_string(aSample.Cell)));
  put(TLogColumn::Sector, Number(std::to_string(aSample.Sector)));
  put(TLogColumn::Pn, Number(std::to_string(aSample.Pn)));
  put(TLogColumn::UpKbps, Number(std::to_string(aSample.UpKbps)));
  put(TLogColumn::DownKbps, Number(std::to_string(aSample.DownKbps)));
  put(TLogColumn::Sleeping, Bool(aSample.Sleeping));
  put(TLogColumn::NoData, Bool(aSample.NoData));
}

void PutEvent(TLogValues& aValues, const TMonitorEvent& aEvent) {
  const auto put = [&](TLogColumn aColumn, TLogValue aValue) { aValues[ColumnIndex(aColumn)] = std::move(aValue); };
  put(TLogColumn::Kind, Text(std::string(MonitorEventName(aEvent.Kind))));
  put(TLogColumn::From, OptionalText(aEvent.From));
  put(TLogColumn::To, OptionalText(aEvent.To));
  put(TLogColumn::Text, OptionalText(aEvent.Text));
  if (aEvent.RoundTripMs) put(TLogColumn::RttMs, Number(std::to_string(*aEvent.RoundTripMs)));
}

void PutPosition(TLogValues& aValues, const TPosition& aPosition) {
  const auto put = [&](TLogColumn aColumn, TLogValue aValue) { aValues[ColumnIndex(aColumn)] = std::move(aValue); };
  put(TLogColumn::Fix, Text(std::string(FixModeName(aPosition.Mode))));
  if (!aPosition.Known()) return;
  // 7 decimals of a degree are about a centimetre, well below any receiver's error.
  put(TLogColumn::Lat, Fixed(aPosition.Latitude, 7));
  put(TLogColumn::Lon, Fixed(aPosition.Longitude, 7));
  put(TLogColumn::AltM, OptionalFixed(aPosition.AltitudeM, 2));
  put(TLogColumn::HerrM, OptionalFixed(aPosition.HorizontalErrorM, 2));
  put(TLogColumn::SpeedMps, OptionalFixed(aPosition.SpeedMps, 2));
  put(TLogColumn::CourseDeg, OptionalFixed(aPosition.CourseDeg, 1));
  if (aPosition.FixTime) put(TLogColumn::FixTime, Text(FormatLogTime(*aPosition.FixTime)));
}

template <typename T>
std::optional<T> ParseNumber(std::optional<std::string_view> aText) {
  if (!aText || aText->empty()) return std::nullopt;
  T value{};
  const char* end = aText->data() + aText->size();
  const auto [stop, error] = std::from_chars(aText->data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  if constexpr (std::is_floating_point_v<T>)
    if (!std::isfinite(value)) return std::nullopt;
  return value;
}

bool ParseFlag(std::optional<std::string_view> aText) { return aText && *aText == "1"; }

std::optional<TMonitorEventKind> EventKindNamed(std::string_view aName) {
  for (const TMonitorEventKind kind : kEventKinds)
    if (MonitorEventName(kind) == aName) return kind;
  return std::nullopt;
}

TPosition ParsePosition(const TLogTexts& aTexts) {
  const auto text = [&](TLogColumn aColumn) { return aTexts[ColumnIndex(aColumn)]; };
  TPosition position;
  const std::optional<std::string_view> fix = text(TLogColumn::Fix);
  const std::optional<double> lat = ParseNumber<double>(text(TLogColumn::Lat));
  const std::optional<double> lon = ParseNumber<double>(text(TLogColumn::Lon));
  if (!fix || !lat || !lon || std::abs(*lat) > 90 || std::abs(*lon) > 180) return position;
  if (*fix == "2D")
    position.Mode = TFixMode::Fix2D;
  else if (*fix == "3D")
    position.Mode = TFixMode::Fix3D;
  else
    return position;
  position.Latitude = *lat;
  position.Longitude = *lon;
  position.AltitudeM = ParseNumber<double>(text(TLogColumn::AltM));
  position.HorizontalErrorM = ParseNumber<double>(text(TLogColumn::HerrM));
  position.SpeedMps = ParseNumber<double>(text(TLogColumn::SpeedMps));
  position.CourseDeg = ParseNumber<double>(text(TLogColumn::CourseDeg));
  if (const auto fixTime = text(TLogColumn::FixTime)) position.FixTime = ParseLogTime(*fixTime);
  return position;
}

}  // namespace

std::string_view FixModeName(TFixMode aMode) {
  for (const TFixModeName& entry : kFixModeNames)
    if (entry.Mode == aMode) return entry.Name;
  return "none";
}

std::string_view RxBandCaption(TRxBand aBand) {
  for (const TBandCaption& entry : kBandCaptions)
    if (entry.Band == aBand) return entry.Caption;
  return "Bad.";
}

TRxBand RxBandOf(const TCycleSample& aSample) {
  if (!aSample.Present || aSample.NoData) return TRxBand::Bad;
  const double value = ChartPoint(TChartFeed::RxScale, aSample.Rx).Value;
  if (value < 0 || value > kChart1AxisMax) return TRxBand::Bad;
  const double third = kChart1AxisMax / 3;
  if (value >= 2 * third) return TRxBand::Excellent;
  if (value >= third) return TRxBand::Good;
  return TRxBand::Bad;
}

TWallClock::time_point TLogRow::Time() const {
  return std::visit([](const auto& aEntry) { return aEntry.Time; }, Entry);
}

TLogRow CleanLogRow(TLogRow aRow) {
  TPosition& position = aRow.Position;
  const auto finite = [](std::optional<double>& aValue) {
    if (aValue && !std::isfinite(*aValue)) aValue.reset();
  };
  if (!std::isfinite(position.Latitude) || !std::isfinite(position.Longitude) || std::abs(position.Latitude) > 90 ||
      std::abs(position.Longitude) > 180)
    position = TPosition{};
  for (std::optional<double>* value :
       {&position.AltitudeM, &position.HorizontalErrorM, &position.SpeedMps, &position.CourseDeg})
    finite(*value);
  if (TCycleSample* sample = std::get_if<TCycleSample>(&aRow.Entry)) {
    sample->LinkType = CleanText(sample->LinkType);
    sample->Port = CleanText(sample->Port);
    sample->Device = CleanText(sample->Device);
  } else if (TMonitorEvent* event = std::get_if<TMonitorEvent>(&aRow.Entry)) {
    event->From = CleanText(event->From);
    event->To = CleanText(event->To);
    event->Text = CleanText(event->Text);
  }
  return aRow;
}

TLogValues LogRowValues(const TLogRow& aRow) {
  TLogValues values;
  values[ColumnIndex(TLogColumn::Time)] = Text(FormatLogTime(aRow.Time()));
  if (const TCycleSample* sample = aRow.Sample()) PutSample(values, *sample);
  if (const TMonitorEvent* event = aRow.Event()) PutEvent(values, *event);
  PutPosition(values, aRow.Position);
  return values;
}

std::optional<TLogRow> ParseLogRow(const TLogTexts& aTexts) {
  const auto text = [&](TLogColumn aColumn) { return aTexts[ColumnIndex(aColumn)]; };
  const auto owned = [&](TLogColumn aColumn) { return std::string(text(aColumn).value_or("")); };
  const std::optional<std::string_view> timeText = text(TLogColumn::Time);
  const std::optional<std::string_view> kind = text(TLogColumn::Kind);
  if (!timeText || !kind) return std::nullopt;
  const std::optional<TWallClock::time_point> time = ParseLogTime(*timeText);
  if (!time) return std::nullopt;

  TLogRow row;
  if (*kind == kSampleKind) {
    TCycleSample sample;
    sample.Time = *time;
    sample.Icon = ParseNumber<int>(text(TLogColumn::Icon)).value_or(kNoDeviceIcon);
    sample.Present = ParseFlag(text(TLogColumn::Present));
    if (sample.Present) {
      sample.LinkType = owned(TLogColumn::LinkType);
      sample.Rx = ParseNumber<float>(text(TLogColumn::Rx)).value_or(0);
      sample.Tx = ParseNumber<float>(text(TLogColumn::Tx)).value_or(0);
      sample.Drc = ParseNumber<float>(text(TLogColumn::Drc)).value_or(0);
      sample.Cell = ParseNumber<int>(text(TLogColumn::Cell)).value_or(0);
      sample.Sector = ParseNumber<int>(text(TLogColumn::Sector)).value_or(0);
      sample.Pn = ParseNumber<int>(text(TLogColumn::Pn)).value_or(0);
      sample.UpKbps = ParseNumber<uint32_t>(text(TLogColumn::UpKbps)).value_or(0);
      sample.DownKbps = ParseNumber<uint32_t>(text(TLogColumn::DownKbps)).value_or(0);
      sample.Sleeping = ParseFlag(text(TLogColumn::Sleeping));
      sample.NoData = ParseFlag(text(TLogColumn::NoData));
    }
    row.Entry = std::move(sample);
  } else if (const std::optional<TMonitorEventKind> eventKind = EventKindNamed(*kind)) {
    TMonitorEvent event;
    event.Kind = *eventKind;
    event.Time = *time;
    event.From = owned(TLogColumn::From);
    event.To = owned(TLogColumn::To);
    event.Text = owned(TLogColumn::Text);
    event.RoundTripMs = ParseNumber<uint32_t>(text(TLogColumn::RttMs));
    row.Entry = std::move(event);
  } else {
    return std::nullopt;
  }
  row.Position = ParsePosition(aTexts);
  return CleanLogRow(std::move(row));
}

std::string FormatLogTime(TWallClock::time_point aTime) {
  const int64_t ms = std::chrono::floor<std::chrono::milliseconds>(aTime.time_since_epoch()).count();
  const int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  const int millis = static_cast<int>(ms - seconds * 1000);
  const std::time_t whole = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&whole, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return text;
}

std::optional<TWallClock::time_point> ParseLogTime(std::string_view aText) {
  // YYYY-MM-DDTHH:MM:SS, then optionally '.' and 1..9 digits, then 'Z'.
  const auto digits = [&](size_t aAt, size_t aCount) -> std::optional<int> {
    if (aAt + aCount > aText.size()) return std::nullopt;
    int value = 0;
    for (size_t i = aAt; i < aAt + aCount; ++i) {
      if (aText[i] < '0' || aText[i] > '9') return std::nullopt;
      value = value * 10 + (aText[i] - '0');
    }
    return value;
  };
  const auto at = [&](size_t aIndex, char aChar) { return aIndex < aText.size() && aText[aIndex] == aChar; };
  const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
  const auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || !at(4, '-') || !at(7, '-') || !at(10, 'T') ||
      !at(13, ':') || !at(16, ':'))
    return std::nullopt;
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60)
    return std::nullopt;
  size_t i = 19;
  int64_t nanos = 0;
  if (at(i, '.')) {
    ++i;
    int64_t scale = 100000000;
    const size_t first = i;
    while (i < aText.size() && aText[i] >= '0' && aText[i] <= '9') {
      if (i - first >= 9) return std::nullopt;
      nanos += (aText[i] - '0') * scale;
      scale /= 10;
      ++i;
    }
    if (i == first) return std::nullopt;
  }
  if (!at(i, 'Z') || i + 1 != aText.size()) return std::nullopt;
  std::tm utc{};
  utc.tm_year = *year - 1900;
  utc.tm_mon = *month - 1;
  utc.tm_mday = *day;
  utc.tm_hour = *hour;
  utc.tm_min = *minute;
  utc.tm_sec = *second;
  const std::time_t seconds = timegm(&utc);
  return TWallClock::time_point(std::chrono::duration_cast<TWallClock::duration>(
      std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos)));
}

std::string FormatFixed(double aValue, int aDecimals) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, aValue, std::chars_format::fixed, aDecimals);
  if (error != std::errc()) return "0";
  return std::string(text, end);
}

std::string FormatShortest(float aValue) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, aValue);
  if (error != std::errc()) return "0";
  return std::string(text, end);
}
