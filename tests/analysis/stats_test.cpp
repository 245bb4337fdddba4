// Flight statistics: agreement with the plain loops on real flights, and the
// window rules on constructed tracks whose answers are known by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/stats.h"
#include "analysis_oracle.h"
#include "track_fixtures.h"

namespace {

// Ten metres a second due east on the equator, one point a second, climbing
// `climb` m/s.
std::vector<TrackPoint> SteadyFlight(int points, double climb = 0.0) {
  fixtures::FlightBuilder f(0.0, 0.0);
  for (int i = 0; i < points; ++i) {
    f.dAltitude = 1000.0 + climb * i;
    f.Add(10.0 * i, 0.0);
    ++f.dwTime;
  }
  return f.track;
}

TrackAnalysis Statistics(const std::vector<TrackPoint>& track) {
  TrackAnalysis a = fixtures::MakeAnalysis(track);
  ComputeTrackStatistics(&a);
  return a;
}

}  // namespace

TEST(FlightStatistics, AgreeWithPlainLoopsOnRealFlights) {
  std::vector<std::string> files = fixtures::IgcFiles();
  ASSERT_GE(files.size(), 10u);
  for (const std::string& path : files) {
    std::vector<TrackPoint> track = fixtures::ReadIgcTrack(path);
    ASSERT_GE(track.size(), 5u) << path;
    TrackAnalysis fast = Statistics(track), slow = fixtures::MakeAnalysis(track);
    oracle::Statistics(&slow);
    EXPECT_EQ("", oracle::Differences(fast, slow, true)) << path;
  }
  // The public window functions walk without the shortcuts.
  std::vector<TrackPoint> track = fixtures::ReadIgcTrack(files[0]);
  for (uint32_t i = 0; i < track.size(); i += 7) {
    double top = -1, speed = -1, climb = -1;
    CalculateTopSpeed(track.data(), i, &top);
    int result = CalculateMeanSpeed(track.data(), i, &speed, &climb);
    oracle::Window w10 = oracle::WalkBack(track.data(), i, 10), w60 = oracle::WalkBack(track.data(), i, 60);
    EXPECT_EQ(top, w10.bHas ? w10.dSum * 0.36 : 0.0) << i;
    EXPECT_EQ(result, w60.bHas ? 0 : -1) << i;
    EXPECT_EQ(speed, w60.bHas ? w60.dSum * 0.06 : 0.0) << i;
    if (w60.bHas) {
      EXPECT_EQ(climb, (track[i].nGpsAltitude - w60.dStartAltitude) * 0.001666667) << i;
    }
  }
}

TEST(FlightStatistics, RepeatedAndBackwardTimesAgreeWithPlainLoops) {
  std::vector<TrackPoint> track = SteadyFlight(900, 1.0);
  for (int i = 200; i < 260; ++i) track[i].dwTime = track[200].dwTime;  // clock stuck
  for (int i = 400; i < 600; i += 3) track[i].dwTime = track[i - 1].dwTime;  // pairs
  track[700].dwTime += 30;                                                  // one jump ahead
  // A new segment 3 km away whose first time is repeated: no window may
  // reach back over the gap.
  for (int i = 750; i < 900; ++i) track[i].nLatitude += 3000 * 97;
  track[750].dwFlags |= kSegmentStart;
  track[751].dwTime = track[750].dwTime;
  track[1].dwTime = track[0].dwTime;
  TrackAnalysis fast = Statistics(track), slow = fixtures::MakeAnalysis(track);
  oracle::Statistics(&slow);
  EXPECT_EQ("", oracle::Differences(fast, slow, true));
}

TEST(FlightStatistics, WindowsNeedTimeAfterTheStartAndStopAtSegments) {
  // The 60 s window is only taken at a point whose predecessor lies more
  // than 60 s after the start; the 10 s window likewise.
  TrackAnalysis a = Statistics(SteadyFlight(62, 1.0));
  EXPECT_EQ(a.dMaxMeanSpeed, 0.0);
  EXPECT_EQ(a.dMaxClimb, 0.0);
  EXPECT_GT(a.dTopSpeed, 35.0);
  EXPECT_EQ(Statistics(SteadyFlight(12)).dTopSpeed, 0.0);

  // A segment start inside the last minute shortens that window without
  // rescaling it, so only the flight before it reaches full speed.
  std::vector<TrackPoint> track = SteadyFlight(100);
  track[70].dwFlags |= kSegmentStart;
  double speed = 0, climb = 0;
  CalculateMeanSpeed(track.data(), 99, &speed, &climb);
  EXPECT_NEAR(speed, 36.0 * 29 / 60, 0.2);
  EXPECT_EQ(CalculateMeanSpeed(track.data(), 70, &speed, &climb), -1);
  EXPECT_EQ(speed, 0.0);
}

TEST(FlightStatistics, TimeGoingBackCannotInflateTheSpeeds) {
  // A point stamped 5 s ahead of its successors: walking back over it gives a
  // step of nearly 2^32 s, which must close the window, not wrap around and
  // let it run on over more than its length.
  std::vector<TrackPoint> track = SteadyFlight(300);
  track[150].dwTime += 5;
  TrackAnalysis a = Statistics(track);
  EXPECT_LT(a.dTopSpeed, 36.5);
  EXPECT_LT(a.dMaxMeanSpeed, 36.5);
}

TEST(FlightStatistics, StuckClockDoesNotMakeTheAnalysisQuadratic) {
  // A logger whose clock and fix froze for fifty thousand points: walking
  // back point by point would take over a billion steps.
  std::vector<TrackPoint> track = SteadyFlight(50000);
  for (size_t i = 100; i < track.size(); ++i) track[i] = track[100];
  auto start = std::chrono::steady_clock::now();
  TrackAnalysis a = Statistics(track);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 20.0);
  EXPECT_NEAR(a.dTopSpeed, 36.0, 0.2);
}

TEST(FlightStatistics, AltitudesRoundToTheNearestMetreHalvesUp) {
  std::vector<TrackPoint> track = SteadyFlight(6);
  const int32_t cases[][3] = {{-15, 15, -1}, {-16, 14, -2}, {-14, 25, -1}};
  const int32_t highs[] = {2, 1, 3};
  for (int k = 0; k < 3; ++k) {
    for (auto& p : track) p.nGpsAltitude = 0;
    track[2].nGpsAltitude = cases[k][0];
    track[4].nGpsAltitude = cases[k][1];
    TrackAnalysis a = Statistics(track);
    EXPECT_EQ(a.nMinAltitude, cases[k][2]) << k;
    EXPECT_EQ(a.nMaxAltitude, highs[k]) << k;
  }
  // Beyond the old fixed extremes of +-100 km the true values still show.
  for (auto& p : track) p.nGpsAltitude = 2000000;
  TrackAnalysis a = Statistics(track);
  EXPECT_EQ(a.nMinAltitude, 200000);
  EXPECT_EQ(a.nMaxAltitude, 200000);
}
