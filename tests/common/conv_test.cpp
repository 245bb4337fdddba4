// Geodesy against published WGS-84 figures and the UTM grid's own rules.
#include <gtest/gtest.h>

#include <numbers>
#include <random>
#include <tuple>

#include "common/conv.h"

namespace {

GeoPos Deg(double latitude, double longitude) { return GeoPos{latitude * std::numbers::pi / 180.0, longitude * std::numbers::pi / 180.0}; }

double Distance(GeoPos from, GeoPos to) {
  double d = -1.0;
  EXPECT_EQ(CalcDistance(&from, &to, &d), 0);
  return d;
}

UtmPos ToUtm(double latitude, double longitude, int32_t zone = 0) {
  GeoPos pos = Deg(latitude, longitude);
  UtmPos utm{0, 0, zone, 0};
  ConvertGeoToUtmPos(&pos, &utm);
  return utm;
}

// Meridian arcs from the equator to 45 degrees and to the pole.
constexpr double kArc45 = 4984944.378, kQuarterMeridian = 10001965.729;

}  // namespace

TEST(ConvDistance, PublishedFigures) {
  EXPECT_NEAR(Distance(Deg(0, 0), Deg(1, 0)), 110574.389, 0.001);
  EXPECT_NEAR(Distance(Deg(0, 0), Deg(0, 1)), 111319.491, 0.001);
  EXPECT_NEAR(Distance(Deg(0, 179.5), Deg(0, -179.5)), 111319.491, 0.001);  // across the date line
  EXPECT_NEAR(Distance(Deg(45, 7), Deg(46, 8)), 135869.091, 0.001);
  EXPECT_NEAR(Distance(Deg(-46, -8), Deg(-45, -7)), 135869.091, 0.001);
  // On one meridian, measured with the tiny longitude offset.
  EXPECT_NEAR(Distance(Deg(0, 13), Deg(45, 13)), kArc45, 0.001);
  EXPECT_NEAR(Distance(Deg(-90, -70), Deg(0, -70)), kQuarterMeridian, 0.001);
  // Identical and nearly identical positions are 0 m apart.
  GeoPos a = Deg(46.5, 7.25);
  EXPECT_EQ(Distance(a, a), 0.0);
  EXPECT_EQ(Distance(a, GeoPos{a.dLatitude + 1.4e-9, a.dLongitude - 0.9e-9}), 0.0);
  EXPECT_NEAR(Distance(a, GeoPos{a.dLatitude + 1.6e-9, a.dLongitude}), 0.0102, 0.0002);
  // Nearly antipodal: no convergence, and the output is left alone.
  GeoPos from = Deg(0, 0), to = Deg(0.5, 179.7);
  double d = -7.0;
  EXPECT_EQ(CalcDistance(&from, &to, &d), -1);
  EXPECT_EQ(d, -7.0);
}

TEST(ConvUtm, BandsAndZones) {
  const std::pair<double, char> bands[] = {{-80.5, 'B'}, {-80, 'C'}, {-72.01, 'C'}, {-72, 'D'}, {-0.001, 'M'},
                                           {0, 'N'},     {8, 'P'},   {71.999, 'W'}, {72, 'X'},  {83.999, 'X'},
                                           {84, 'Y'}};
  for (auto [latitude, band] : bands) EXPECT_EQ(ToUtm(latitude, 10).nBand & 0xff, band) << latitude;
  const std::tuple<double, double, int> zones[] = {
      {46, 7, 32},   {46, 5, 31},   {60, 5, 32},    {60, 2.9, 31}, {55.9, 5, 31},  {75, 10, 33},  {75, 8.9, 31},
      {75, 21, 35},  {75, 33, 37},  {75, 42, 38},   {10, -180, 1}, {10, -174, 2},  {10, 180, 60}};
  for (auto [latitude, longitude, zone] : zones) EXPECT_EQ(ToUtm(latitude, longitude).nZone, zone) << longitude;
  EXPECT_EQ(ToUtm(46, 7, 31).nZone, 31);  // a given zone is used as it is
  EXPECT_GT(ToUtm(46, 7, 31).dEasting, 800000.0);
}

TEST(ConvUtm, NorthingAndRoundTrip) {
  EXPECT_NEAR(ToUtm(45, 9).dEasting, 500000.0, 1e-6);  // 9 E is the centre of zone 32
  EXPECT_NEAR(ToUtm(45, 9).dNorthing, 0.9996 * kArc45, 0.001);
  EXPECT_NEAR(ToUtm(-45, -69).dNorthing, 10000000.0 - 0.9996 * kArc45, 0.001);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> lat(-79.9, 83.9), lon(-180.0, 179.99);
  for (int i = 0; i < 3000; ++i) {
    GeoPos pos = Deg(lat(rng), lon(rng)), back{};
    UtmPos utm{};
    ConvertGeoToUtmPos(&pos, &utm);
    utm.nBand |= 0x4100;  // only the low byte holds the letter
    ConvertUtmToGeoPos(&utm, &back);
    ASSERT_LT(Distance(pos, back), 0.001) << pos.dLatitude << " " << pos.dLongitude;
  }
  UtmPos odd = ToUtm(-33.9, 18.4);
  GeoPos back{};
  odd.nBand = 0xCE;  // a byte above 0x7f is no southern band
  ConvertUtmToGeoPos(&odd, &back);
  EXPECT_GT(back.dLatitude, 0.0);
}
