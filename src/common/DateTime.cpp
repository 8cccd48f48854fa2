// Date-time arithmetic and locale formatting.
#include "common/DateTime.h"

#include <langinfo.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdlib>
#include <mutex>
#include <optional>

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

constexpr int64_t kUnixEpochDay = 25569;  // 1970-01-01 in days from 1899-12-30
constexpr int64_t kMsPerDay = 86400000;

std::tm ToTm(TDateTime aValue) {
  const TCivilTime c = DateTimeToCivil(aValue);
  std::tm t{};
  t.tm_year = c.Year - 1900;
  t.tm_mon = c.Month - 1;
  t.tm_mday = c.Day;
  t.tm_hour = c.Hour;
  t.tm_min = c.Minute;
  t.tm_sec = c.Second;
  const int64_t days = DaysFromCivil(c.Year, static_cast<unsigned>(c.Month), static_cast<unsigned>(c.Day));
  t.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  t.tm_yday = static_cast<int>(days - DaysFromCivil(c.Year, 1, 1));
  return t;
}

std::string Strftime(const char* aFormat, const std::tm& aTm) {
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, aFormat, &aTm);
  return std::string(buffer, n);
}

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

}  // namespace

TCivilTime DateTimeToCivil(TDateTime aValue) {
  if (!std::isfinite(aValue)) aValue = 0;
  // Whole milliseconds, so that 0.5 s steps and the like do not drift by rounding.
  const double msTotal = std::round(aValue * static_cast<double>(kMsPerDay));
  const double clamped = std::fmax(std::fmin(msTotal, 1e15), -1e15);
  const auto ms = static_cast<int64_t>(clamped);
  int64_t day = ms / kMsPerDay;
  int64_t msOfDay = ms % kMsPerDay;
  if (msOfDay < 0) {
    msOfDay += kMsPerDay;
    --day;
  }
  TCivilTime c;
  CivilFromDays(day - kUnixEpochDay, c.Year, c.Month, c.Day);
  c.Hour = static_cast<int>(msOfDay / 3600000);
  c.Minute = static_cast<int>(msOfDay / 60000 % 60);
  c.Second = static_cast<int>(msOfDay / 1000 % 60);
  c.Millisecond = static_cast<int>(msOfDay % 1000);
  return c;
}

TDateTime CivilToDateTime(const TCivilTime& c) {
  const int64_t days = DaysFromCivil(c.Year, static_cast<unsigned>(c.Month), static_cast<unsigned>(c.Day)) + kUnixEpochDay;
  const int64_t ms = ((c.Hour * 60 + c.Minute) * 60 + c.Second) * 1000LL + c.Millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

TDateTime NowDateTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  TCivilTime c{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<int>(ms)};
  return CivilToDateTime(c);
}

int TimeZoneBiasMinutes() {
  // The zone may change while the program runs (TZ, or the system's zone after a move); read it
  // again when TZ changes and once a minute otherwise, so a log packet does not cost a tzset.
  static std::mutex lock;
  static std::optional<std::string> readFor;  // TZ as it was when last read
  static bool read = false;
  static std::chrono::steady_clock::time_point readAt;
  static int bias = 0;
  std::lock_guard guard(lock);
  const char* tz = std::getenv("TZ");
  const std::optional<std::string> current = tz ? std::optional<std::string>(tz) : std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  if (!read || current != readFor || now - readAt > std::chrono::minutes(1)) {
    tzset();
    // glibc's `timezone` is seconds west of UTC for standard time.
    bias = static_cast<int>(timezone / 60);
    readFor = current;
    readAt = now;
    read = true;
  }
  return bias;
}

std::string FormatLongTime(TDateTime aValue) { return Strftime(nl_langinfo(T_FMT), ToTm(aValue)); }

std::string FormatShortDate(TDateTime aValue) { return Strftime(nl_langinfo(D_FMT), ToTm(aValue)); }

std::string FormatDateTimePicture(const std::string& aPicture, TDateTime aValue) {
  const TCivilTime c = DateTimeToCivil(aValue);
  struct Token {
    const char* Text;
    std::string (*Render)(const TCivilTime&);
  };
  static const Token kTokens[] = {
      {"yyyy", [](const TCivilTime& t) { return std::to_string(t.Year); }},
      {"yy", [](const TCivilTime& t) { return TwoDigits(t.Year % 100); }},
      {"MM", [](const TCivilTime& t) { return TwoDigits(t.Month); }},
      {"dd", [](const TCivilTime& t) { return TwoDigits(t.Day); }},
      {"hh", [](const TCivilTime& t) { return TwoDigits(t.Hour); }},
      {"mm", [](const TCivilTime& t) { return TwoDigits(t.Minute); }},
      {"nn", [](const TCivilTime& t) { return TwoDigits(t.Minute); }},
      {"ss", [](const TCivilTime& t) { return TwoDigits(t.Second); }},
      {"zzz",
       [](const TCivilTime& t) {
         std::string s = std::to_string(t.Millisecond);
         return std::string(3 - s.size(), '0') + s;
       }},
      {"M", [](const TCivilTime& t) { return std::to_string(t.Month); }},
      {"d", [](const TCivilTime& t) { return std::to_string(t.Day); }},
      {"h", [](const TCivilTime& t) { return std::to_string(t.Hour); }},
  };
  std::string out;
  for (size_t i = 0; i < aPicture.size();) {
    bool matched = false;
    for (const Token& token : kTokens) {
      const std::string_view text(token.Text);
      if (aPicture.compare(i, text.size(), text) == 0) {
        out += token.Render(c);
        i += text.size();
        matched = true;
        break;
      }
    }
    if (!matched) out.push_back(aPicture[i++]);
  }
  return out;
}
