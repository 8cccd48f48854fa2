#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <utility>

#include "common/DateTime.h"

TEST(DateTime, CivilConversionRoundTripsAtKnownDays) {
  struct Case {
    TCivilTime Civil;
    double Days;
  } cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1980, 1, 6, 0, 0, 0, 0}, 29226.0},
      {{2000, 2, 29, 12, 0, 0, 0}, 36585.5},
      {{1899, 12, 29, 18, 0, 0, 0}, -0.25},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(CivilToDateTime(c.Civil), c.Days);
    const TCivilTime back = DateTimeToCivil(c.Days);
    EXPECT_EQ(back.Year, c.Civil.Year);
    EXPECT_EQ(back.Month, c.Civil.Month);
    EXPECT_EQ(back.Day, c.Civil.Day);
    EXPECT_EQ(back.Hour, c.Civil.Hour);
  }
}

TEST(DateTime, NonFiniteValuesDoNotCrash) {
  EXPECT_EQ(DateTimeToCivil(std::numeric_limits<double>::quiet_NaN()).Year, 1899);
  (void)DateTimeToCivil(std::numeric_limits<double>::infinity());
  (void)FormatShortDate(1e300);
}

TEST(DateTime, PictureFormatsFileStamps) {
  const TDateTime t = CivilToDateTime({2026, 3, 7, 9, 5, 4, 12});
  EXPECT_EQ(FormatDateTimePicture("ddMMyyyy_hhmmss", t), "07032026_090504");
  EXPECT_EQ(FormatDateTimePicture("d.M.yy hh:nn:ss.zzz", t), "7.3.26 09:05:04.012");
}

TEST(DateTime, LocaleFormatsFollowTheCLocale) {
  std::setlocale(LC_TIME, "C");
  const TDateTime t = CivilToDateTime({2026, 3, 7, 9, 5, 4, 0});
  EXPECT_EQ(FormatShortDate(t), "03/07/26");
  EXPECT_EQ(FormatLongTime(t), "09:05:04");
}

TEST(DateTime, BiasIsStandardTimeMinutesWestOfUtcAndFollowsTheZone) {
  const char* saved = std::getenv("TZ");
  const std::string restore = saved ? saved : "";
  for (const auto& [zone, bias] : {std::pair{"EST5EDT", 300}, {"CET-1CEST", -60}, {"UTC0", 0}}) {
    setenv("TZ", zone, 1);
    EXPECT_EQ(TimeZoneBiasMinutes(), bias) << zone;
  }
  if (saved)
    setenv("TZ", restore.c_str(), 1);
  else
    unsetenv("TZ");
}
