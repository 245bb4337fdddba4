// Geodesy against figures that do not come from the code under test:
// published WGS-84 distances, a numerically integrated meridian arc, and the
// UTM grid's band and zone rules.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "common/conv.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

GeoPos Deg(double latitude, double longitude) { return GeoPos{latitude * kPi / 180.0, longitude * kPi / 180.0}; }

double Distance(GeoPos from, GeoPos to) {
  double d = -12345.0;
  EXPECT_EQ(CalcDistance(&from, &to, &d), 0);
  return d;
}

// Meridian arc from the equator to `latitude` (radians), by Simpson's rule
// over the meridian radius of curvature a(1-e2)/(1-e2 sin^2)^1.5.
double IntegratedMeridianArc(double latitude) {
  const double a = 6378137.0, f = 1.0 / 298.257223563, e2 = f * (2.0 - f);
  auto radius = [&](double phi) {
    double s = std::sin(phi);
    return a * (1.0 - e2) / std::pow(1.0 - e2 * s * s, 1.5);
  };
  const int steps = 20000;
  double h = latitude / steps, sum = radius(0.0) + radius(latitude);
  for (int i = 1; i < steps; ++i) sum += radius(i * h) * (i % 2 ? 4.0 : 2.0);
  return sum * h / 3.0;
}

UtmPos ToUtm(double latitude, double longitude, int32_t zone = 0) {
  GeoPos pos = Deg(latitude, longitude);
  UtmPos utm{};
  utm.nZone = zone;
  ConvertGeoToUtmPos(&pos, &utm);
  return utm;
}

}  // namespace

TEST(ConvDistance, PublishedWgs84Figures) {
  EXPECT_NEAR(Distance(Deg(0, 0), Deg(1, 0)), 110574.389, 0.001);
  EXPECT_NEAR(Distance(Deg(0, 0), Deg(0, 1)), 111319.491, 0.001);
  EXPECT_NEAR(Distance(Deg(0, 179.5), Deg(0, -179.5)), 111319.491, 0.001);  // across the date line
  EXPECT_NEAR(Distance(Deg(45, 7), Deg(46, 8)), 135869.091, 0.001);
  // The distance does not depend on the direction of travel or the hemisphere.
  EXPECT_NEAR(Distance(Deg(46, 8), Deg(45, 7)), 135869.091, 0.001);
  EXPECT_NEAR(Distance(Deg(-45, -7), Deg(-46, -8)), 135869.091, 0.001);
}

TEST(ConvDistance, MeridianArcs) {
  // Same longitude: measured with the tiny longitude offset, still the arc.
  for (double latitude : {1.0, 10.0, 45.0, 80.0}) {
    double expected = IntegratedMeridianArc(latitude * kPi / 180.0);
    EXPECT_NEAR(Distance(Deg(0, 13), Deg(latitude, 13)), expected, 0.001) << latitude;
    EXPECT_NEAR(Distance(Deg(-latitude, -70), Deg(0, -70)), expected, 0.001) << latitude;
  }
  // A meridian arc that does not start at the equator.
  EXPECT_NEAR(Distance(Deg(45, 6), Deg(46, 6)),
              IntegratedMeridianArc(46 * kPi / 180) - IntegratedMeridianArc(45 * kPi / 180), 0.001);
}

TEST(ConvDistance, IdenticalAndNearlyIdenticalPositions) {
  GeoPos a = Deg(46.5, 7.25);
  EXPECT_EQ(Distance(a, a), 0.0);
  GeoPos b{a.dLatitude + 1.4e-9, a.dLongitude - 0.9e-9};
  EXPECT_EQ(Distance(a, b), 0.0);
  // Just beyond the latitude tolerance a real (centimetre) distance is measured.
  GeoPos c{a.dLatitude + 1.6e-9, a.dLongitude};
  double d = Distance(a, c);
  EXPECT_GT(d, 0.009);
  EXPECT_LT(d, 0.011);
  // One semicircle unit of longitude is above the longitude tolerance.
  GeoPos e{a.dLatitude, a.dLongitude + kSemicircleToRadian};
  EXPECT_GT(Distance(a, e), 0.0);
}

TEST(ConvDistance, NearlyAntipodalFailsAndLeavesOutputAlone) {
  GeoPos from = Deg(0, 0), to = Deg(0.5, 179.7);
  double d = -7.0;
  EXPECT_EQ(CalcDistance(&from, &to, &d), -1);
  EXPECT_EQ(d, -7.0);
}

TEST(ConvDistance, RandomPairsAreFiniteAndSymmetric) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> lat(-87.0, 87.0), lon(-180.0, 180.0), step(-2.0, 2.0);
  for (int i = 0; i < 2000; ++i) {
    GeoPos a = Deg(lat(rng), lon(rng));
    GeoPos b{a.dLatitude + step(rng) * kPi / 180, a.dLongitude + step(rng) * kPi / 180};
    double ab = -1, ba = -1;
    ASSERT_EQ(CalcDistance(&a, &b, &ab), 0);
    ASSERT_EQ(CalcDistance(&b, &a, &ba), 0);
    ASSERT_TRUE(std::isfinite(ab));
    EXPECT_NEAR(ab, ba, 1e-6);
    EXPECT_LT(ab, 2.83 * 111700.0);  // never more than the 2-degree box diagonal
  }
}

TEST(ConvUtm, BandLetters) {
  struct Case {
    double latitude;
    char band;
  } cases[] = {{-80.5, 'B'}, {-80.0, 'C'}, {-72.01, 'C'}, {-72.0, 'D'}, {-8.0, 'M'}, {-0.001, 'M'},
               {0.0, 'N'},   {7.999, 'N'}, {8.0, 'P'},     {60.0, 'V'},  {64.0, 'W'}, {71.999, 'W'},
               {72.0, 'X'},  {83.999, 'X'}, {84.0, 'Y'},   {89.0, 'Y'}};
  for (const Case& c : cases) EXPECT_EQ(ToUtm(c.latitude, 10).nBand & 0xff, c.band) << c.latitude;
}

TEST(ConvUtm, ZoneRulesAndExceptions) {
  EXPECT_EQ(ToUtm(46, 7).nZone, 32);
  EXPECT_EQ(ToUtm(46, 5).nZone, 31);
  EXPECT_EQ(ToUtm(60, 5).nZone, 32);     // south-western Norway
  EXPECT_EQ(ToUtm(60, 2.9).nZone, 31);
  EXPECT_EQ(ToUtm(55.9, 5).nZone, 31);   // band U has no exception
  EXPECT_EQ(ToUtm(75, 10).nZone, 33);    // Svalbard
  EXPECT_EQ(ToUtm(75, 8.9).nZone, 31);
  EXPECT_EQ(ToUtm(75, 21).nZone, 35);
  EXPECT_EQ(ToUtm(75, 33).nZone, 37);
  EXPECT_EQ(ToUtm(75, 42).nZone, 38);
  EXPECT_EQ(ToUtm(10, -180).nZone, 1);
  EXPECT_EQ(ToUtm(10, -177.01).nZone, 1);
  EXPECT_EQ(ToUtm(10, -174).nZone, 2);
  EXPECT_EQ(ToUtm(10, 180).nZone, 60);   // 61 before clamping
  // A given zone is used as it is, also outside the grid.
  UtmPos forced = ToUtm(46, 7, 31);
  EXPECT_EQ(forced.nZone, 31);
  EXPECT_GT(forced.dEasting, 800000.0);
  EXPECT_EQ(ToUtm(46, 7, 70).nZone, 70);
}

TEST(ConvUtm, CentralMeridianNorthingIsTheScaledArc) {
  for (double latitude : {0.0, 12.5, 45.0, 71.0}) {
    UtmPos utm = ToUtm(latitude, 9);  // 9 E is the centre of zone 32
    EXPECT_NEAR(utm.dEasting, 500000.0, 1e-6);
    EXPECT_NEAR(utm.dNorthing, 0.9996 * IntegratedMeridianArc(latitude * kPi / 180), 0.001) << latitude;
  }
  UtmPos south = ToUtm(-45, -69);  // centre of zone 19, southern hemisphere
  EXPECT_NEAR(south.dNorthing, 10000000.0 - 0.9996 * IntegratedMeridianArc(45 * kPi / 180), 0.001);
  EXPECT_EQ(south.nBand & 0xff, 'G');
}

TEST(ConvUtm, RoundTripIsSubMillimetre) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> lat(-79.9, 83.9), lon(-180.0, 179.99);
  for (int i = 0; i < 3000; ++i) {
    GeoPos pos = Deg(lat(rng), lon(rng));
    UtmPos utm{};
    ConvertGeoToUtmPos(&pos, &utm);
    GeoPos back{};
    ConvertUtmToGeoPos(&utm, &back);
    double d = -1;
    ASSERT_EQ(CalcDistance(&pos, &back, &d), 0);
    ASSERT_LT(d, 0.001) << pos.dLatitude * 180 / kPi << " " << pos.dLongitude * 180 / kPi;
  }
}

TEST(ConvUtm, InverseReadsOnlyTheLowByteOfTheBand) {
  UtmPos utm = ToUtm(-33.9, 18.4);
  GeoPos back{};
  utm.nBand = (utm.nBand & 0xff) | 0x7700;  // stray high bits are ignored
  ConvertUtmToGeoPos(&utm, &back);
  EXPECT_NEAR(back.dLatitude, -33.9 * kPi / 180, 1e-9);
  utm.nBand = 0x80 | 'N';  // a byte above 0x7f is not "below N"
  ConvertUtmToGeoPos(&utm, &back);
  EXPECT_GT(back.dLatitude, 0.0);
}
