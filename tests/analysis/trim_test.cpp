#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "analysis/analysis.h"
#include "analysis/trim.h"
#include "common/time.h"
#include "track_oracle.h"

using oracle::At;

namespace {

SystemTime kStart{2013, 7, 21, 11, 0, 0};
const uint32_t t0 = ConvertSystemTimeToGpsTime(&kStart);

// The result line of a point `second` seconds after 11:00:00.
std::string Line(uint32_t second, const std::string& label) {
  char text[96];
  std::snprintf(text, sizeof text, "11:%02u:%02u %s\n", second / 60, second % 60, label.c_str());
  return text;
}

// One point a second: `still` seconds at launch (with a metre of jitter),
// then `pace` metres a second north and `climb` decimetres a second up.
std::vector<TrackPoint> Flight(int still, int moving, double pace, int climb = 0) {
  std::vector<TrackPoint> p;
  for (int i = 0; i < still + moving; ++i) {
    int flown = i < still ? 0 : i - still;
    p.push_back(At(t0 + i, flown * pace + (i % 3) * 0.5, (i % 2) * 0.7, 10000 + flown * climb));
  }
  return p;
}

struct Trimmed {
  std::string out;
  TrimPoints found;
};

Trimmed Cut(const std::vector<TrackPoint>& p) {
  Trimmed r;
  EXPECT_EQ(FindTrimPoints(p.data(), static_cast<int32_t>(p.size()), &r.found), 0);
  oracle::Load(p);
  testing::internal::CaptureStdout();
  EXPECT_EQ(TrimTrack(), 0);
  r.out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(oracle::Loaded(), std::vector<TrackPoint>(p.begin() + r.found.nTakeoff, p.begin() + r.found.nLanding + 1));
  return r;
}

class Trim : public testing::Test {
 protected:
  void SetUp() override {
    int32_t* settings[] = {&tGps.nTrimLocationInterval, &tGps.nTrimLocationDistance, &tGps.nTrimTakeoffInterval,
                           &tGps.nTrimTakeoffDistance,  &tGps.nTrimTakeoffPrepend,   &tGps.nTrimBoxRadius,
                           &tGps.nTrimBoxHeight,        &tGps.nTrimBoxPrepend,       &tGps.nTrimLandingInterval,
                           &tGps.nTrimLandingDistance,  &tGps.nTrimLandingAppend};
    for (int32_t* s : settings) *s = 0;
  }
  void TearDown() override { oracle::Load({}); }
};

}  // namespace

TEST_F(Trim, NoDetectorKeepsTheWholeTrack) {
  Trimmed r = Cut(Flight(10, 20, 10));
  EXPECT_EQ(r.out, "\nTrack trim results:\n" + Line(0, "First logged position") + Line(0, "Start point") +
                       Line(0, "Takeoff") + Line(29, "Landing") + Line(29, "Last logged position\n"));
}

TEST_F(Trim, LocationStart) {
  tGps.nTrimLocationInterval = 30;
  tGps.nTrimLocationDistance = 10;
  Trimmed r = Cut(Flight(60, 60, 5));
  EXPECT_EQ(r.found.nStart, 30);  // the end of the first still window, its last second included
  EXPECT_NE(r.out.find(Line(30, "Start point")), std::string::npos);
  EXPECT_EQ(Cut(Flight(0, 120, 0.4)).found.nStart, 0);  // 12 m in every window: never still
  // The last few seconds of a log that starts in flight are no still window.
  EXPECT_EQ(Cut(Flight(0, 120, 8)).found.nStart, 0);
}

TEST_F(Trim, SpeedTakeoffAloneDoesNotCut) {
  tGps.nTrimTakeoffInterval = 10;
  tGps.nTrimTakeoffDistance = 45;
  tGps.nTrimTakeoffPrepend = 20;
  Trimmed r = Cut(Flight(100, 50, 10));
  EXPECT_NE(r.out.find(Line(95, "Speed takeoff detected") + Line(75, "Speed takeoff") + Line(0, "Takeoff")),
            std::string::npos);
  // The lead-in never reaches before the start point.
  tGps.nTrimTakeoffPrepend = 500;
  EXPECT_EQ(Cut(Flight(100, 50, 10)).found.nSpeedTakeoff, 0);
  tGps.nTrimLocationInterval = 30;
  tGps.nTrimLocationDistance = 10;
  EXPECT_EQ(Cut(Flight(100, 50, 10)).found.nSpeedTakeoff, 30);
}

TEST_F(Trim, BoxExit) {
  tGps.nTrimBoxRadius = 100;
  tGps.nTrimBoxHeight = 50;
  tGps.nTrimBoxPrepend = 10;
  // 2 m/s straight up: exactly 50 m above the start after 25 s counts.
  Trimmed r = Cut(Flight(50, 60, 0, 20));
  EXPECT_NE(r.out.find(Line(75, "Box exit takeoff detected (altitude above start point)") +
                       Line(65, "Box exit takeoff") + Line(0, "Takeoff")),  // one detector alone never cuts
            std::string::npos);
  EXPECT_EQ(Cut(Flight(50, 60, 0, -19)).found.nBoxDetected, 77);  // 49.4 m down at 76 s
  EXPECT_EQ(Cut(Flight(50, 60, 0, -19)).found.nBoxReason, kBoxBelow);
  r = Cut(Flight(50, 60, 8));
  EXPECT_EQ(r.found.nBoxReason, kBoxDistance);
  EXPECT_EQ(r.found.nBoxDetected, 63);

  // With the speed detector on as well, the earlier of the two wins: a
  // climb over launch before flying off, and flying off at once.
  tGps.nTrimTakeoffInterval = 10;
  tGps.nTrimTakeoffDistance = 45;
  std::vector<TrackPoint> thermal = Flight(50, 40, 0, 20);
  for (int i = 1; i <= 30; ++i) thermal.push_back(At(t0 + 89 + i, i * 10.0, 0, thermal.back().nGpsAltitude));
  r = Cut(thermal);
  EXPECT_EQ(r.found.nSpeedDetected, 84);
  EXPECT_EQ(r.found.nTakeoff, 65);
  r = Cut(Flight(50, 60, 8));
  EXPECT_EQ(r.found.nSpeedDetected, 46);
  EXPECT_EQ(r.found.nTakeoff, 46);
}

TEST_F(Trim, LandingAndAppend) {
  tGps.nTrimLandingInterval = 10;
  tGps.nTrimLandingDistance = 45;
  tGps.nTrimLandingAppend = 30;
  std::vector<TrackPoint> p = Flight(0, 301, 10);
  for (int i = 1; i < 100; ++i) p.push_back(At(t0 + 300 + i, 3000, 0));  // landed
  Trimmed r = Cut(p);
  EXPECT_NE(r.out.find(Line(305, "Landing detected") + Line(335, "Landing") + Line(399, "Last logged position\n")),
            std::string::npos);
  tGps.nTrimLandingAppend = 500;
  EXPECT_EQ(Cut(p).found.nLanding, 399);
}

TEST_F(Trim, MatchesThePlainRules) {
  std::mt19937 rng(3);
  auto pick = [&](int32_t most) { return rng() % 4 == 0 ? 0 : static_cast<int32_t>(rng() % most) + 1; };
  for (int round = 0; round < 400; ++round) {
    tGps.nTrimLocationInterval = pick(20), tGps.nTrimLocationDistance = pick(40);
    tGps.nTrimTakeoffInterval = pick(15), tGps.nTrimTakeoffDistance = pick(80), tGps.nTrimTakeoffPrepend = pick(20);
    tGps.nTrimBoxRadius = pick(150), tGps.nTrimBoxHeight = pick(30), tGps.nTrimBoxPrepend = pick(20);
    tGps.nTrimLandingInterval = pick(15), tGps.nTrimLandingDistance = pick(80), tGps.nTrimLandingAppend = pick(20);
    std::vector<TrackPoint> p;
    int n = 2 + static_cast<int>(rng() % 150);
    uint32_t t = rng() % 3 ? 5000 : 0xFFFFFFC0u;  // some cross the wrap of the time
    double north = 0, east = 0, pace = (rng() % 40) / 4.0;
    int32_t altitude = 5000;
    for (int i = 0; i < n; ++i) {
      int kind = static_cast<int>(rng() % 20);
      t += kind == 0 ? 0 : kind == 1 ? 7 : kind == 2 ? static_cast<uint32_t>(-5) : 1;
      if (rng() % 30 == 0) pace = (rng() % 40) / 4.0;  // stop, walk, fly
      north += pace * ((rng() % 7) - 3) / 3.0;
      east += pace * ((rng() % 7) - 3) / 3.0;
      altitude += static_cast<int32_t>(rng() % 41) - 20;
      TrackPoint q = At(t, north, east, altitude);
      if (rng() % 60 == 0) q.nLatitude = -q.nLatitude, q.nLongitude += 0x80000000u;  // antipodal outlier
      p.push_back(q);
    }
    TrimPoints fast;
    ASSERT_EQ(FindTrimPoints(p.data(), n, &fast), 0);
    TrimPoints plain = oracle::TrimDetectors(p);
    ASSERT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0) << "round " << round;
  }
}

TEST_F(Trim, ChordShortcutAgreesAtTheThreshold) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    double scale = std::pow(10.0, -3.0 + 10.0 * unit(rng));  // 1 mm .. 10000 km
    TrackPoint a = At(0, unit(rng) * 5e6 - 2.5e6, unit(rng) * 1e7);
    TrackPoint b = At(0, 0, 0);
    double bearing = unit(rng) * 6.283185307179586;
    b = At(0, (a.nLatitude / 2147483648.0 * 180.0 - 46.0) * 111132.0 + scale * std::cos(bearing),
           (a.nLongitude / 2147483648.0 * 180.0 - 7.0) * 77330.0 + scale * std::sin(bearing));
    TrimPos pa, pb;
    ConvertPointToTrimPos(&a, &pa);
    ConvertPointToTrimPos(&b, &pb);
    double d = oracle::Dist(a, b);
    for (double threshold : {d, std::nextafter(d, 0.0), std::nextafter(d, 1e300), d * 0.999, d * 1.001, d - 0.04,
                             d + 0.04, d * 0.5, d * 2, 0.0}) {
      ASSERT_EQ(IsDistanceAbove(&pa, &pb, threshold), d > threshold) << d << " " << threshold;
      ASSERT_EQ(IsDistanceAtLeast(&pa, &pb, threshold), d >= threshold) << d << " " << threshold;
    }
  }
}
