#include <gtest/gtest.h>

#include <cstdlib>

#include <cstdio>
#include <random>
#include <string>

#include "analysis/analysis.h"
#include "common/time.h"
#include "track_fixtures.h"
#include "track_oracle.h"

using oracle::At;
using Track = std::vector<TrackPoint>;

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
Track Flight(int still, int moving, double pace, int climb = 0) {
  Track p;
  for (int i = 0; i < still + moving; ++i) {
    int flown = i < still ? 0 : i - still;
    p.push_back(At(t0 + i, flown * pace + (i % 3) * 0.5, (i % 2) * 0.7, 10000 + flown * climb));
  }
  return p;
}

// The eleven TRIM_ settings in configuration order; the rest stay 0.
void Settings(std::initializer_list<int32_t> values) {
  int32_t* fields[] = {&tGps.nTrimLocationInterval, &tGps.nTrimLocationDistance, &tGps.nTrimTakeoffInterval,
                       &tGps.nTrimTakeoffDistance,  &tGps.nTrimTakeoffPrepend,   &tGps.nTrimBoxRadius,
                       &tGps.nTrimBoxHeight,        &tGps.nTrimBoxPrepend,       &tGps.nTrimLandingInterval,
                       &tGps.nTrimLandingDistance,  &tGps.nTrimLandingAppend};
  auto value = values.begin();
  for (int32_t* field : fields) *field = value != values.end() ? *value++ : 0;
}

struct Trimmed {
  std::string out;
  TrimPoints found;
};

// TrimTrack on `p`: what it printed, what it found, and the cut it made.
Trimmed Cut(const Track& p) {
  Trimmed r;
  EXPECT_EQ(FindTrimPoints(p.data(), static_cast<int32_t>(p.size()), &r.found), 0);
  oracle::Load(p);
  testing::internal::CaptureStdout();
  EXPECT_EQ(TrimTrack(), 0);
  r.out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(oracle::Loaded(), Track(p.begin() + r.found.nTakeoff, p.begin() + r.found.nLanding + 1));
  return r;
}

bool Has(const Trimmed& r, const std::string& lines) { return r.out.find(lines) != std::string::npos; }

class Trim : public testing::Test {
 protected:
  void TearDown() override {
    std::free(tGps.pTrack);
    tGps.pTrack = nullptr;
    tGps.nTrackSize = tGps.nTrackPoints = 0;
  }
};

}  // namespace

TEST_F(Trim, NoDetectorKeepsTheWholeTrack) {
  Settings({});
  EXPECT_EQ(Cut(Flight(10, 20, 10)).out, "\nTrack trim results:\n" + Line(0, "First logged position") +
                                             Line(0, "Start point") + Line(0, "Takeoff") + Line(29, "Landing") +
                                             Line(29, "Last logged position\n"));
}

TEST_F(Trim, LocationStartAndSpeedTakeoff) {
  Settings({30, 10});
  EXPECT_TRUE(Has(Cut(Flight(60, 60, 5)), Line(30, "Start point")));  // the window's last second counts
  EXPECT_EQ(Cut(Flight(0, 120, 0.4)).found.nStart, 0);                // 12 m in every window
  EXPECT_EQ(Cut(Flight(0, 120, 8)).found.nStart, 0);  // the log's last seconds are no still window

  Settings({0, 0, 10, 45, 20});  // alone it reports, but does not cut
  EXPECT_TRUE(Has(Cut(Flight(100, 50, 10)), Line(95, "Speed takeoff detected") + Line(75, "Speed takeoff") +
                                                Line(0, "Takeoff")));
  Settings({0, 0, 10, 45, 500});  // the lead-in stops at the start point
  EXPECT_EQ(Cut(Flight(100, 50, 10)).found.nSpeedTakeoff, 0);
  Settings({30, 10, 10, 45, 500});
  EXPECT_EQ(Cut(Flight(100, 50, 10)).found.nSpeedTakeoff, 30);
  // A log begun in the air: the pilot standing after landing is no start.
  Track landed = Flight(0, 100, 20);
  for (int i = 1; i <= 100; ++i) landed.push_back(At(t0 + 99 + i, 1980, 0));
  EXPECT_EQ(Cut(landed).found.nStart, 0);
  Settings({30, 10});
  EXPECT_EQ(Cut(landed).found.nStart, 129);  // without a takeoff detector nothing tells
}

TEST_F(Trim, BoxExitAndBothTakeoffDetectors) {
  Settings({0, 0, 0, 0, 0, 100, 50, 10});
  EXPECT_TRUE(Has(Cut(Flight(50, 60, 0, 20)),  // exactly 50 m up after 25 s counts
                  Line(75, "Box exit takeoff detected (altitude above start point)") + Line(65, "Box exit takeoff") +
                      Line(0, "Takeoff")));
  EXPECT_TRUE(Has(Cut(Flight(50, 60, 0, -19)), Line(77, "Box exit takeoff detected (altitude below start point)")));
  EXPECT_TRUE(Has(Cut(Flight(50, 60, 8)), Line(63, "Box exit takeoff detected (distance from start point)")));

  // Both on, the earlier wins: a climb over launch before flying off, and flying off at once.
  Settings({0, 0, 10, 45, 0, 100, 50, 10});
  Track thermal = Flight(50, 40, 0, 20);
  for (int i = 1; i <= 30; ++i) thermal.push_back(At(t0 + 89 + i, i * 10.0, 0, thermal.back().nGpsAltitude));
  Trimmed r = Cut(thermal);
  EXPECT_EQ(r.found.nSpeedDetected, 84);
  EXPECT_TRUE(Has(r, Line(65, "Box exit takeoff") + Line(65, "Takeoff")));
  EXPECT_TRUE(Has(Cut(Flight(50, 60, 8)), Line(53, "Box exit takeoff") + Line(46, "Takeoff")));
}

TEST_F(Trim, LandingAndAppend) {
  Track p = Flight(0, 301, 10);
  for (int i = 1; i < 100; ++i) p.push_back(At(t0 + 300 + i, 3000, 0));  // landed
  Settings({0, 0, 0, 0, 0, 0, 0, 0, 10, 45, 30});
  EXPECT_TRUE(Has(Cut(p), Line(305, "Landing detected") + Line(335, "Landing") + Line(399, "Last logged position\n")));
  Settings({0, 0, 0, 0, 0, 0, 0, 0, 10, 45, 500});  // the append stops at the last point
  EXPECT_EQ(Cut(p).found.nLanding, 399);
}

TEST_F(Trim, MatchesThePlainRules) {
  std::mt19937 rng(3);
  auto pick = [&](int32_t most) { return rng() % 4 == 0 ? 0 : static_cast<int32_t>(rng() % most) + 1; };
  for (int round = 0; round < 400; ++round) {
    Settings({pick(20), pick(40), pick(15), pick(80), pick(20), pick(150), pick(30), pick(20), pick(15), pick(80),
              pick(20)});
    Track p;
    uint32_t t = rng() % 3 ? 5000 : 0xFFFFFFC0u;  // some cross the wrap of the time
    double north = 0, east = 0, pace = (rng() % 40) / 4.0;
    int32_t altitude = 5000;
    for (int i = 2 + static_cast<int>(rng() % 150); i > 0; --i) {
      int kind = static_cast<int>(rng() % 20);  // repeated, jumping and backward times
      t += kind == 0 ? 0 : kind == 1 ? 7 : kind == 2 ? static_cast<uint32_t>(-5) : 1;
      if (rng() % 30 == 0) pace = (rng() % 40) / 4.0;  // stop, walk, fly
      north += pace * ((rng() % 7) - 3.0) / 3.0;
      east += pace * ((rng() % 7) - 3.0) / 3.0;
      altitude += static_cast<int32_t>(rng() % 41) - 20;
      TrackPoint q = At(t, north, east, altitude);
      if (rng() % 60 == 0) q.nLatitude = -q.nLatitude, q.nLongitude += 0x80000000u;  // antipodal outlier
      p.push_back(q);
    }
    TrimPoints fast, plain = oracle::TrimDetectors(p);
    ASSERT_EQ(FindTrimPoints(p.data(), static_cast<int32_t>(p.size()), &fast), 0);
    ASSERT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0) << "round " << round;
  }
}

// Real flights from the shared test files (B records only), through the
// speed analysis and the detectors with settings a pilot would use.
TEST_F(Trim, RealFlightsMatchThePlainRules) {
  for (const char* name : {"tri.igc", "line.igc", "20180427.igc", "marcourt.igc"}) {
    Track p = fixtures::ReadIgcTrack(std::string(VELMORA_TESTDATA_DIR) + "/igc/" + name);
    ASSERT_GT(p.size(), 200u) << name;
    oracle::Load(p);
    testing::internal::CaptureStdout();
    CheckForSpeedConsistency();
    testing::internal::GetCapturedStdout();
    Track kept = oracle::Loaded();
    EXPECT_EQ(kept, oracle::SpeedConsistency(p)) << name;
    EXPECT_GT(kept.size(), p.size() * 99 / 100) << name;  // a clean flight loses next to nothing
    Settings({60, 20, 10, 50, 20, 100, 30, 20, 60, 30, 30});
    TrimPoints fast, plain = oracle::TrimDetectors(kept);
    ASSERT_EQ(FindTrimPoints(kept.data(), static_cast<int32_t>(kept.size()), &fast), 0);
    EXPECT_EQ(std::memcmp(&fast, &plain, sizeof fast), 0) << name;
    EXPECT_LT(fast.nTakeoff, 30) << name;  // each log starts at or just before launch
  }
}
