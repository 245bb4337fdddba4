// Cross-country distances and closed figures: agreement with the plain loops
// (same indices, bit-identical doubles) on real and adversarial tracks, and
// the figures of constructed flights whose answers are known by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "analysis/stats.h"
#include "analysis_oracle.h"
#include "track_fixtures.h"

namespace {

// Runs both forms; the track must stay small enough for the cubic loops.
void ExpectAgreement(const std::vector<TrackPoint>& track, const std::string& where) {
  TrackAnalysis fast = fixtures::MakeAnalysis(track), slow = fast;
  testing::internal::CaptureStdout();
  ASSERT_EQ(AnalyzeTrack(&fast), 0) << where;
  testing::internal::GetCapturedStdout();
  oracle::Analyze(&slow);
  EXPECT_EQ("", oracle::Differences(fast, slow)) << where;
}

TrackAnalysis Analyze(const std::vector<TrackPoint>& track) {
  TrackAnalysis a = fixtures::MakeAnalysis(track);
  testing::internal::CaptureStdout();
  EXPECT_EQ(AnalyzeTrack(&a), 0);
  testing::internal::GetCapturedStdout();
  return a;
}

// A polygon flown at `step` metres a point through the given corners (metres
// east and north of a launch in the Alps).
std::vector<TrackPoint> Polygon(const std::vector<std::pair<double, double>>& corners, double step) {
  fixtures::FlightBuilder f(46.0, 7.0);
  for (size_t k = 0; k + 1 < corners.size(); ++k) {
    auto [x0, y0] = corners[k];
    auto [x1, y1] = corners[k + 1];
    int n = std::max(1, static_cast<int>(std::hypot(x1 - x0, y1 - y0) / step));
    for (int i = 0; i < n; ++i, ++f.dwTime) f.Add(x0 + (x1 - x0) * i / n, y0 + (y1 - y0) * i / n);
  }
  f.Add(corners.back().first, corners.back().second);
  return f.track;
}

std::vector<TrackPoint> Scatter(int points, double radius, uint32_t seed) {
  fixtures::FlightBuilder f(46.0, 7.0);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(-radius, radius);
  for (int i = 0; i < points; ++i, ++f.dwTime) f.Add(u(rng), u(rng));
  return f.track;
}

class RealFlight : public testing::TestWithParam<std::string> {};

}  // namespace

// Every file, thinned to at most 600 points so the plain loops stay quick.
TEST_P(RealFlight, ThinnedAgreesWithPlainLoops) {
  std::vector<TrackPoint> track = fixtures::ReadIgcTrack(GetParam());
  ASSERT_GE(track.size(), 5u);
  size_t step = (track.size() + 599) / 600;
  std::vector<TrackPoint> thin;
  for (size_t i = 0; i < track.size(); i += step) thin.push_back(track[i]);
  ExpectAgreement(thin, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Igc, RealFlight, testing::ValuesIn(fixtures::IgcFiles()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = std::filesystem::path(info.param).stem().string();
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

TEST(CrossCountry, SampledTracksAgreeWithPlainLoops) {
  // Real flights of thousands of points sampled down to 2000 (these never
  // come back near an earlier point often enough to make the loops slow).
  for (const char* name : {"line.igc", "discontinuity.igc"})
    ExpectAgreement(fixtures::ReadIgcTrack(std::string(VELMORA_TESTDATA_DIR "/igc/") + name), name);
  // Exactly 2000 points are all samples, 2001 are sampled to 2000.
  for (int points : {2000, 2001}) ExpectAgreement(Polygon({{0, 0}, {0, 3.0 * points}}, 3.0), "line");
}

TEST(CrossCountry, ClosedAndDegenerateTracksAgreeWithPlainLoops) {
  // Every pair of points within the closing gap, from a flight that stays
  // near launch; large enough for the search's seeding stage.
  ExpectAgreement(Scatter(450, 350.0, 3), "within 800 m of launch");
  // A loop flown three times: every pair qualifies and many figures tie.
  std::vector<std::pair<double, double>> loop;
  for (int k = 0; k <= 48; ++k) loop.push_back({300 * std::sin(k * 3.14159265 / 8), 300 * std::cos(k * 3.14159265 / 8)});
  ExpectAgreement(Polygon(loop, 9.0), "loop");
  // Equal distances everywhere: one spot, and two spots in turn.
  ExpectAgreement(std::vector<TrackPoint>(300, Scatter(1, 10.0, 1)[0]), "one spot");
  std::vector<std::pair<double, double>> zigzag;
  for (int k = 0; k < 400; ++k) zigzag.push_back({0, k % 2 ? 500.0 : 0.0});
  ExpectAgreement(Polygon(zigzag, 1000.0), "two spots");
  // Closed triangles and out-and-returns of a few kilometres.
  ExpectAgreement(fixtures::MakeCrossCountryFlight({{0, 0}, {4000, 5000}, {7000, -1000}, {0, 0}}, 700, 40.0, 1e9),
                  "triangle");
  ExpectAgreement(Polygon({{0, 0}, {0, 6000}, {300, 100}, {2500, 2000}, {200, -200}}, 25.0), "two closures");
}

TEST(CrossCountry, TinyTracksAgreeWithPlainLoops) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    int points = 5 + round % 16;
    std::vector<TrackPoint> track = Scatter(points, round % 3 ? 2000.0 : 500.0, 100 + round);
    if (round % 4 == 0) track[points / 2] = track[0];  // one exact return
    if (round % 5 == 0) track[1] = track[2];           // one repeated point
    ExpectAgreement(track, "round " + std::to_string(round));
  }
}

TEST(CrossCountry, FineStagesAgreeWithPlainLoopsAtTheTrackEnds) {
  std::vector<TrackPoint> track = Scatter(12, 900.0, 5);
  TrackAnalysis a = fixtures::MakeAnalysis(track);
  std::mt19937 rng(2);
  for (int round = 0; round < 400; ++round) {
    uint32_t idx[5];
    for (uint32_t& v : idx) v = rng() % 12;
    std::sort(idx, idx + 5);
    for (int k = 1; k < 5; ++k) idx[k] = std::max(idx[k], idx[k - 1] + 1);  // may pass the end by a little
    for (int points = 2; points <= 5; ++points) {
      if (idx[points - 1] > 13) continue;
      uint32_t fast[5], slow[5];
      std::copy(idx, idx + 5, fast);
      std::copy(idx, idx + 5, slow);
      if (points == 2) CheckTp0Distance(&a, &fast[0], &fast[1]);
      if (points == 3) CheckTp1Distance(&a, &fast[0], &fast[1], &fast[2]);
      if (points == 4) CheckTp2Distance(&a, &fast[0], &fast[1], &fast[2], &fast[3]);
      if (points == 5) CheckTp3Distance(&a, &fast[0], &fast[1], &fast[2], &fast[3], &fast[4]);
      oracle::RefineDistance(&a, points, slow);
      EXPECT_TRUE(std::equal(fast, fast + points, slow)) << round << " " << points;
    }
    uint32_t fast[5], slow[5];
    std::copy(idx, idx + 5, fast);
    std::copy(idx, idx + 5, slow);
    CheckOutAndReturn(&a, &fast[0], &fast[1], &fast[2]);
    oracle::RefineOutAndReturn(&a, slow);
    EXPECT_TRUE(std::equal(fast, fast + 3, slow)) << round;
    for (bool fai : {false, true}) {
      std::copy(idx, idx + 5, fast);
      std::copy(idx, idx + 5, slow);
      if (fai)
        CheckFaiTriangle(&a, &fast[0], &fast[1], &fast[2], &fast[3], &fast[4]);
      else
        CheckFlatTriangle(&a, &fast[0], &fast[1], &fast[2], &fast[3], &fast[4]);
      oracle::RefineTriangle(&a, fai, slow);
      EXPECT_TRUE(std::equal(fast, fast + 5, slow)) << round << " " << fai;
    }
  }
}

TEST(CrossCountry, ClosedFiguresOfConstructedFlights) {
  // An equilateral triangle of 3 km sides flown from its first corner and
  // closed exactly.
  double h = 3000 * std::sqrt(3.0) / 2;
  TrackAnalysis a = Analyze(Polygon({{0, 0}, {3000, 0}, {1500, h}, {0, 0}}, 10.0));
  EXPECT_NEAR(a.dFaiScore, 9000.0, 60.0);
  EXPECT_NEAR(a.dFlatScore, 9000.0, 60.0);
  EXPECT_DOUBLE_EQ(a.dFaiScore, a.adFaiLeg[0] + a.adFaiLeg[1] + a.adFaiLeg[2] - a.dFaiClosing);
  for (double leg : a.adFaiLeg) EXPECT_GE(leg, 0.28 * (a.adFaiLeg[0] + a.adFaiLeg[1] + a.adFaiLeg[2]));

  // The same after an approach from 3 km away and before leaving again:
  // start and finish are the closest pair around the corners, not the ends
  // of the track, and the approach may lend the figure a longer first leg.
  std::vector<TrackPoint> track = Polygon({{-3000, 0}, {0, 0}, {3000, 0}, {1500, h}, {0, 0}, {0, -3000}}, 10.0);
  TrackAnalysis around = Analyze(track);
  EXPECT_GT(around.dFaiScore, 9000.0 - 60.0);
  EXPECT_GT(around.adwFaiIdx[0], 150u);
  EXPECT_LT(around.adwFaiIdx[4], track.size() - 150);
  EXPECT_LT(around.dFaiClosing, 800.0);

  // One leg of 27 % of the perimeter: the whole figure is the flat triangle;
  // the FAI triangle must cut the long legs short to reach 28 %.
  double c = 2700, side = 3650, height = std::sqrt(side * side - c * c / 4);
  TrackAnalysis thin = Analyze(Polygon({{0, 0}, {c, 0}, {c / 2, height}, {0, 0}}, 10.0));
  EXPECT_NEAR(thin.dFlatScore, 10000.0, 60.0);
  EXPECT_LT(thin.dFaiScore, thin.dFlatScore - 300.0);
  EXPECT_GT(thin.dFaiScore, 2700.0 / 0.28 - 100.0);

  // Five kilometres out and back.
  TrackAnalysis oar = Analyze(Polygon({{0, 0}, {0, 5000}, {0, 0}}, 10.0));
  EXPECT_NEAR(oar.dOutReturnScore, 10000.0, 30.0);
  EXPECT_NEAR(oar.dOutReturnLeg, 5000.0, 15.0);
  EXPECT_EQ(oar.dOutReturnScore, 2 * oar.dOutReturnLeg - oar.dOutReturnClosing);
}

TEST(CrossCountry, BadInputGivesResultsNotCrashes) {
  // Positions anywhere on (and off) the globe, as a corrupt log may hold.
  fixtures::FlightBuilder f(0, 0);
  std::mt19937 rng(9);
  for (int i = 0; i < 300; ++i, ++f.dwTime) {
    f.Add(0, 0);
    f.track.back().nLatitude = static_cast<int32_t>(rng());
    f.track.back().nLongitude = static_cast<int32_t>(rng());
  }
  ExpectAgreement(f.track, "positions anywhere");
  TrackAnalysis a = Analyze(f.track);
  for (uint32_t i : a.adw5PointIdx) EXPECT_LT(i, f.track.size());
  for (uint32_t i : a.adwFaiIdx) EXPECT_LT(i, f.track.size());
  EXPECT_TRUE(std::isfinite(a.d5PointDistance) && std::isfinite(a.dFlatScore) && std::isfinite(a.dTrackLength));

  TrackAnalysis few = fixtures::MakeAnalysis(std::vector<TrackPoint>(f.track.begin(), f.track.begin() + 4));
  testing::internal::CaptureStdout();
  EXPECT_EQ(AnalyzeTrack(&few), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Too few points for a .kml file\n");
}

TEST(CrossCountry, PrintsItsProgressLines) {
  std::vector<TrackPoint> track = Scatter(40, 300.0, 4);
  TrackAnalysis a = fixtures::MakeAnalysis(track);
  testing::internal::CaptureStdout();
  ASSERT_EQ(AnalyzeTrack(&a), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Computing statistics\nFinding greatest out-and-return (gap = 800m)\n"
            "Finding greatest triangles (gap = 800m)\n");
}
