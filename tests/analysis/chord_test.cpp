#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "analysis/chord.h"
#include "track_oracle.h"

// The bracket must hold the distance on every scale the detectors meet, and
// the comparisons built on it must agree with the distance exactly at and
// around the threshold.
TEST(Chord, BracketHoldsTheDistanceAndDecidesLikeIt) {
  std::mt19937 rng(9);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < 20000; ++i) {
    double scale = std::pow(10.0, -3.0 + 10.0 * unit(rng));  // 1 mm .. 10000 km
    double north = unit(rng) * 9e6 - 5.9e6, east = unit(rng) * 3e7, bearing = unit(rng) * 6.283185307179586;
    TrackPoint a = oracle::At(0, north, east);
    TrackPoint b = oracle::At(0, north + scale * std::cos(bearing), east + scale * std::sin(bearing));
    TrackPos pa, pb;
    ConvertPointToTrackPos(&a, &pa);
    ConvertPointToTrackPos(&b, &pb);
    double d = oracle::Dist(a, b), low, high;
    if (CalcDistanceBracket(&pa, &pb, &low, &high)) {
      ASSERT_LE(low + 0.04, d) << d;  // the margin is never used up
      ASSERT_GE(high - 0.04, d) << d;
    }
    for (double threshold : {d, std::nextafter(d, 0.0), std::nextafter(d, 1e300), d * 0.999, d * 1.001, d - 0.04,
                             d + 0.04, d * 0.5, d * 2, 0.0}) {
      ASSERT_EQ(IsDistanceAbove(&pa, &pb, threshold), d > threshold) << d << " " << threshold;
      ASSERT_EQ(IsDistanceAtLeast(&pa, &pb, threshold), d >= threshold) << d << " " << threshold;
    }
  }
}
