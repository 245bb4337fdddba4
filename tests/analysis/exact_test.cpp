// The proven figures (--exact) against a brute force over every fix: small
// adversarial tracks and the real flights of the repository, which they
// must never fall below the sampled search on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "analysis_oracle.h"
#include "track_fixtures.h"

namespace {

constexpr double kNone = -std::numeric_limits<double>::infinity();

// open, 3, 4 and 5 points, out-and-return, flat and FAI triangle
using Figures = std::vector<double>;

Figures Values(const TrackAnalysis& a) {
  return {a.dOpenDistance,   a.d3PointDistance, a.d4PointDistance, a.d5PointDistance,
          a.dOutReturnScore, a.dFlatScore,      a.dFaiScore};
}

// Every combination of fixes: paths by the plain recurrence over all
// predecessors, closed figures by loops over every corner with the least
// gap of every pair of first and last corner.
Figures BruteForce(const std::vector<TrackPoint>& p) {
  const int n = static_cast<int>(p.size());
  std::vector<double> d(static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) d[i * n + j] = i == j ? 0.0 : oracle::Distance(p[i], p[j]);
  auto D = [&](int i, int j) { return d[i * n + j]; };
  Figures best(7, 0.0);
  std::vector<double> f(n, 0.0);
  for (int legs = 1; legs <= 4; ++legs) {
    std::vector<double> g(n, kNone);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < i; ++j)
        if (f[j] > kNone) g[i] = std::max(g[i], f[j] + D(j, i));
    f = g;
    best[legs - 1] = *std::max_element(f.begin(), f.end());
  }
  for (int s = 0; s < n; ++s)
    for (int e = s + 2; e < n; ++e)
      if (D(s, e) <= 800.0)
        for (int t = s + 1; t < e; ++t) best[4] = std::max(best[4], 2.0 * D(s, t) - D(s, e));
  // gap[a][c]: least distance from a fix before a to a fix after c.
  std::vector<double> gap(static_cast<size_t>(n) * n, std::numeric_limits<double>::infinity());
  for (int a = 1; a < n; ++a)
    for (int c = n - 2; c >= a; --c)
      gap[a * n + c] = std::min({D(a - 1, c + 1), gap[(a - 1) * n + c], gap[a * n + c + 1]});
  for (int a = 1; a < n; ++a)
    for (int c = a + 2; c < n - 1; ++c) {
      double g = gap[a * n + c];
      if (!(g < 800.0)) continue;
      for (int b = a + 1; b < c; ++b) {
        double ab = D(a, b), bc = D(b, c), ca = D(c, a), sum = ab + bc + ca;
        best[5] = std::max(best[5], sum - g);
        if (ab >= 0.28 * sum && bc >= 0.28 * sum && ca >= 0.28 * sum) best[6] = std::max(best[6], sum - g);
      }
    }
  return best;
}

TrackAnalysis Analyze(const std::vector<TrackPoint>& track, bool exact) {
  TrackAnalysis a = fixtures::MakeAnalysis(track);
  a.bExact = exact;
  testing::internal::CaptureStdout();
  EXPECT_EQ(AnalyzeTrack(&a), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(exact, out.find("Figures proven optimal over every fix\n") != std::string::npos) << out;
  EXPECT_EQ(exact, a.bExactProven != 0);
  return a;
}

// The stored figures keep their own rules: fixes in strict order, gaps,
// FAI legs, and values that are the sums of their stored legs.
void ExpectValid(const TrackAnalysis& a, const std::string& where) {
  auto increasing = [&](const uint32_t* idx, int count) {
    for (int k = 1; k < count; ++k)
      if (idx[k] <= idx[k - 1] || idx[k] >= static_cast<uint32_t>(a.nPoints)) return false;
    return true;
  };
  EXPECT_TRUE(increasing(a.adw5PointIdx, 5)) << where;
  EXPECT_DOUBLE_EQ(a.d5PointDistance, a.ad5PointLeg[0] + a.ad5PointLeg[1] + a.ad5PointLeg[2] + a.ad5PointLeg[3]);
  if (a.dOutReturnScore > 0) {
    EXPECT_TRUE(increasing(a.adwOutReturnIdx, 3)) << where;
    EXPECT_LE(a.dOutReturnClosing, 800.0) << where;
  }
  if (a.dFlatScore > 0) {
    EXPECT_TRUE(increasing(a.adwFlatIdx, 5)) << where;
    EXPECT_LT(a.dFlatClosing, 800.0) << where;
  }
  if (a.dFaiScore > 0) {
    EXPECT_TRUE(increasing(a.adwFaiIdx, 5)) << where;
    double sum = a.adFaiLeg[0] + a.adFaiLeg[1] + a.adFaiLeg[2];
    for (double leg : a.adFaiLeg) EXPECT_GE(leg, 0.28 * sum) << where;
  }
}

void ExpectOptimal(const std::vector<TrackPoint>& track, const std::string& where) {
  TrackAnalysis exact = Analyze(track, true);
  ExpectValid(exact, where);
  Figures got = Values(exact), want = BruteForce(track), sampled = Values(Analyze(track, false));
  for (int k = 0; k < 7; ++k) {
    EXPECT_NEAR(got[k], want[k], 1e-6) << where << ", figure " << k;
    EXPECT_GE(got[k], sampled[k] - 1e-6) << where << ", figure " << k;
  }
}

std::vector<TrackPoint> Polyline(const std::vector<std::pair<double, double>>& corners, double step) {
  fixtures::FlightBuilder f(46.5, 7.5);
  for (size_t k = 1; k < corners.size(); ++k) {
    auto [x0, y0] = corners[k - 1];
    auto [x1, y1] = corners[k];
    int steps = std::max(1, static_cast<int>(std::hypot(x1 - x0, y1 - y0) / step));
    for (int i = 0; i < steps; ++i) {
      f.Add(x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps);
      ++f.dwTime;
    }
  }
  f.Add(corners.back().first, corners.back().second);
  return f.track;
}

TEST(ExactFigures, EqualTheBruteForceOnAdversarialTracks) {
  std::vector<std::pair<std::string, std::vector<TrackPoint>>> cases;
  // A zigzag whose every other fix closes, and a straight glide (near-ties
  // of every turnpoint along it).
  std::vector<std::pair<double, double>> zig;
  for (int i = 0; i < 40; ++i) zig.push_back({i % 2 ? 2500.0 + 30 * i : 0.0, 120.0 * i});
  cases.push_back({"zigzag", Polyline(zig, 150.0)});
  cases.push_back({"straight glide", Polyline({{0, 0}, {30000, 200}}, 100.0)});
  // Three laps of a circle: equal triangles everywhere, closing many times.
  fixtures::FlightBuilder circle(46.5, 7.5);
  for (int i = 0; i <= 3 * 80; ++i) circle.Add(5000 * std::sin(i * 2 * M_PI / 80), 5000 * std::cos(i * 2 * M_PI / 80));
  cases.push_back({"circle laps", circle.track});
  // Figure eights through the start, larger each time.
  fixtures::FlightBuilder eights(46.5, 7.5);
  for (int i = 0; i < 240; ++i) {
    double r = 3000.0 + 40.0 * i, a = i * 2 * M_PI / 60;
    eights.Add(r * std::sin(a), r * std::sin(a) * std::cos(a));
  }
  cases.push_back({"figure eights", eights.track});
  // An equilateral triangle closed exactly is FAI; one with a leg of 27 %
  // of its perimeter is only flat.
  cases.push_back({"equilateral", Polyline({{0, 0}, {20000, 0}, {10000, 17320.5}, {0, 0}}, 250.0)});
  cases.push_back({"27 % leg", Polyline({{-500, -300}, {0, 0}, {8100, 0}, {4050, 10161}, {0, 0}, {400, -300}}, 250.0)});
  cases.push_back({"cross-country", fixtures::MakeCrossCountryFlight({{0, 0}, {3000, 2500}, {2500, -2000}, {0, 0}},
                                                                     300, 11.0, 1500.0, 3)});
  for (const auto& [name, track] : cases) ExpectOptimal(track, name);

  TrackAnalysis equilateral = Analyze(cases[4].second, true), leg27 = Analyze(cases[5].second, true);
  EXPECT_NEAR(equilateral.dFaiScore, 60000.0, 600.0);  // the builder's plane is approximate
  EXPECT_DOUBLE_EQ(equilateral.dFaiScore, equilateral.dFlatScore);
  EXPECT_LT(leg27.dFaiScore, leg27.dFlatScore - 500.0);
}

TEST(ExactFigures, RealFlightsNeverFallBelowTheSampledSearch) {
  std::vector<std::string> files = {VELMORA_TEST_DATA "/../../examples/marcourt.igc"};
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(VELMORA_TEST_DATA "/igc", ec)) {
    std::string ext = e.path().extension().string();
    if (ext == ".igc" || ext == ".IGC") files.push_back(e.path().string());
  }
  for (const std::string& file : files) {
    std::vector<TrackPoint> track = fixtures::ReadIgcTrack(file);
    if (track.size() < 5) continue;
    if (track.size() <= 400) {
      ExpectOptimal(track, file);
      continue;
    }
    TrackAnalysis exact = Analyze(track, true);
    ExpectValid(exact, file);
    Figures got = Values(exact), sampled = Values(Analyze(track, false));
    for (int k = 0; k < 7; ++k) EXPECT_GE(got[k], sampled[k] - 1e-6) << file << ", figure " << k;
  }
}

}  // namespace
