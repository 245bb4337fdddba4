// Angle units, rounding rules and GPS time.
#include <gtest/gtest.h>

#include <cmath>

#include "common/conv.h"
#include "common/time.h"

namespace {

SystemTime Make(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s) {
  return SystemTime{y, mo, d, h, mi, s};
}

TEST(Units, AngleConversions) {
  ArcPos arc;
  GeoPos half{1.5707963267948966, -1.5707963267948966};
  ConvertGeoToArcPos(&half, &arc);
  EXPECT_EQ(arc.nLatitude, 1073741824);
  EXPECT_EQ(arc.nLongitude, -1073741824);

  ArcPos in{1073741824, -1}, out;
  ConvertArcToGeoMin1000(&in, &out);
  EXPECT_EQ(out.nLatitude, 5400000);
  EXPECT_EQ(out.nLongitude, 0);
  ArcPos max{2147483647, -2147483647};
  ConvertArcToGeoSec100(&max, &out);
  EXPECT_EQ(out.nLatitude, 64800000);
  EXPECT_EQ(out.nLongitude, -64800000);

  // Round trip through radians keeps every semicircle value.
  for (int32_t v : {0, 1, -1, 123456789, -987654321, 1073741824, -2147483647}) {
    ArcPos a{v / 2, v}, back;
    GeoPos g;
    ConvertArcToGeoPos(&a, &g);
    ConvertGeoToArcPos(&g, &back);
    EXPECT_EQ(back.nLatitude, a.nLatitude);
    EXPECT_EQ(back.nLongitude, a.nLongitude);
  }
}

TEST(Units, RoundingRules) {
  EXPECT_EQ(RoundHalfAwayFromZero(2.5), 3);
  EXPECT_EQ(RoundHalfAwayFromZero(-2.5), -3);
  EXPECT_EQ(RoundHalfAwayFromZero(-2.4), -2);
  EXPECT_EQ(RoundHalfUp(-12.3), -12);
  EXPECT_EQ(RoundHalfUp(-12.5), -12);
  EXPECT_EQ(RoundHalfUp(-12.6), -13);
  EXPECT_EQ(RoundHalfUp(12.5), 13);
  // Out of range saturates instead of being undefined.
  EXPECT_EQ(RoundHalfAwayFromZero(2147483648.0), 2147483647);
  EXPECT_EQ(RoundHalfAwayFromZero(-1e300), -2147483647 - 1);
  EXPECT_EQ(RoundHalfUp(std::nan("")), 0);
  EXPECT_EQ(RoundHalfAwayFromZero(2147483647.4), 2147483647);
  // Tenths of a metre: nearest metre, halves upward, also below sea level.
  EXPECT_EQ(RoundTenths(12345), 1235);
  EXPECT_EQ(RoundTenths(12344), 1234);
  EXPECT_EQ(RoundTenths(-15), -1);
  EXPECT_EQ(RoundTenths(-120), -12);
  EXPECT_EQ(RoundTenths(-14), -1);
  EXPECT_EQ(RoundTenths(-16), -2);
  EXPECT_EQ(RoundTenths(-4), 0);
  EXPECT_EQ(RoundTenths(0), 0);
  EXPECT_EQ(RoundTenths(-2147483647 - 1), -214748365);
}

TEST(Units, GpsTimeCalendar) {
  SystemTime st;
  ConvertGpsTimeToSystemTime(0, &st);
  EXPECT_EQ(st.wYear, 1989u);
  EXPECT_EQ(st.wMonth, 12u);
  EXPECT_EQ(st.wDay, 31u);
  EXPECT_EQ(st.wHour, 0u);

  SystemTime newYear = Make(1990, 1, 1, 0, 0, 0);
  EXPECT_EQ(ConvertSystemTimeToGpsTime(&newYear), 86400u);
  SystemTime y2k = Make(2000, 1, 1, 0, 0, 0);
  EXPECT_EQ(ConvertSystemTimeToGpsTime(&y2k), kGpsTimeOf2000);
  SystemTime leap = Make(1992, 2, 29, 0, 0, 0), march = Make(1992, 3, 1, 0, 0, 0);
  EXPECT_EQ(ConvertSystemTimeToGpsTime(&march) - ConvertSystemTimeToGpsTime(&leap), 86400u);

  // Every day from 1990 to 2099 converts there and back, each one day after
  // the one before.
  uint32_t previous = 0;
  for (uint32_t year = 1990; year <= 2099; ++year) {
    static const uint32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (uint32_t month = 1; month <= 12; ++month) {
      uint32_t days = kDays[month - 1] + (month == 2 && year % 4 == 0 ? 1 : 0);
      for (uint32_t day = 1; day <= days; ++day) {
        SystemTime in = Make(year, month, day, 23, 59, 58);
        uint32_t t = ConvertSystemTimeToGpsTime(&in);
        if (previous != 0) {
          ASSERT_EQ(t - previous, 86400u) << year << "-" << month << "-" << day;
        }
        previous = t;
        SystemTime back;
        EXPECT_EQ(ConvertGpsTimeToSystemTime(t, &back), t);
        ASSERT_EQ(back.wYear, year);
        ASSERT_EQ(back.wMonth, month);
        ASSERT_EQ(back.wDay, day);
        ASSERT_EQ(back.wHour, 23u);
        ASSERT_EQ(back.wMinute, 59u);
        ASSERT_EQ(back.wSecond, 58u);
      }
    }
  }
}

}  // namespace
