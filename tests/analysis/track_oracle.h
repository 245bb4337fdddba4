// The speed analysis and the trim detectors written the plain way, one
// ellipsoidal distance for every comparison the rules name. The tests and
// the benchmark hold the program's faster forms against these.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/trim.h"
#include "common/conv.h"
#include "frame/state.h"

inline bool operator==(const TrackPoint& a, const TrackPoint& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

namespace oracle {

// A point `north` and `east` metres from 46 N 7 E (near enough for tests).
inline TrackPoint At(uint32_t time, double north, double east, int32_t altitudeDm = 0) {
  constexpr double kToSemicircle = 2147483648.0 / 180.0;
  return TrackPoint{0, time, static_cast<int32_t>((46.0 + north / 111132.0) * kToSemicircle),
                    static_cast<int32_t>((7.0 + east / 77330.0) * kToSemicircle), altitudeDm, 0};
}

// Hands a copy of `points` to tGps as its track array.
inline void Load(const std::vector<TrackPoint>& points) {
  std::free(tGps.pTrack);
  tGps.nTrackSize = static_cast<int32_t>(points.size()) + 1;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * tGps.nTrackSize));
  std::copy(points.begin(), points.end(), tGps.pTrack);
  tGps.nTrackPoints = static_cast<int32_t>(points.size());
}
inline std::vector<TrackPoint> Loaded() { return {tGps.pTrack, tGps.pTrack + tGps.nTrackPoints}; }

inline double Dist(const TrackPoint& from, const TrackPoint& to) {
  ArcPos a{from.nLatitude, from.nLongitude}, b{to.nLatitude, to.nLongitude};
  GeoPos ga, gb;
  ConvertArcToGeoPos(&a, &ga);
  ConvertArcToGeoPos(&b, &gb);
  double d = 0;
  return CalcDistance(&ga, &gb, &d) == 0 ? d : 0.0;
}

// The points the speed analysis keeps.
inline std::vector<TrackPoint> SpeedConsistency(const std::vector<TrackPoint>& p) {
  const size_t n = p.size();
  if (n < 10) return p;
  std::vector<double> speed(n, 0.0);
  for (size_t i = 1, ref = 0; i < n; ++i)
    if (p[i].dwTime > p[i - 1].dwTime) speed[i] = Dist(p[ref], p[i]) / (p[i].dwTime - p[i - 1].dwTime), ref = i;
  int bins[100] = {}, b = 100;
  for (size_t i = 1; i < n; ++i)
    if (std::min(speed[i], 1e6) < 100) ++bins[static_cast<int>(speed[i])];
  int64_t r = static_cast<int64_t>(n) * 19 / 20;
  for (int k = 0; k < 100 && b == 100; ++k)
    if ((r -= bins[k]) < 1) b = k;
  const double threshold = 3.0 * b + 1;
  size_t anchor = 0;
  for (size_t i = 1, run = 0; i < n && anchor == 0; ++i)
    if ((run = speed[i] < threshold ? run + 1 : 0) == 10) anchor = i;
  if (anchor == 0) return p;
  std::vector<bool> keep(n, false);
  keep[anchor] = true;
  for (size_t k = anchor, ref = anchor; k-- > 0;) {
    double s = p[k].dwTime < p[ref].dwTime ? Dist(p[ref], p[k]) / (p[ref].dwTime - p[k].dwTime) : 0.0;
    if (s < threshold) keep[k] = true, ref = k;
  }
  for (size_t k = anchor + 1, ref = anchor; k < n; ++k) {
    double s = p[k].dwTime > p[ref].dwTime ? Dist(p[ref], p[k]) / (p[k].dwTime - p[ref].dwTime) : 0.0;
    if (s < threshold) keep[k] = true, ref = k;
  }
  std::vector<TrackPoint> kept;
  for (size_t i = 0; i < n; ++i)
    if (keep[i]) kept.push_back(p[i]);
  return kept;
}

// The trim detectors with the TRIM_ settings of tGps. A still window must
// span the whole interval (one cut short by the end of the log does not
// count) and be followed by a takeoff when a takeoff detector is on.
inline TrimPoints TrimDetectors(const std::vector<TrackPoint>& p) {
  const int32_t n = static_cast<int32_t>(p.size());
  const GpsState& g = tGps;
  TrimPoints r{0, -1, 0, -1, kBoxNone, 0, 0, -1, n - 1};
  auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
  auto since = [&](int32_t later, int32_t earlier) { return p[later].dwTime - p[earlier].dwTime; };
  auto walkBack = [&](int32_t from, int32_t seconds) {
    int32_t k = from;
    while (k - 1 >= r.nStart && since(from, k - 1) <= u(seconds)) --k;
    return k;
  };
  for (int32_t i = 0; g.nTrimLocationInterval && g.nTrimLocationDistance && i + 1 < n && !r.nStart; ++i) {
    int32_t w = i;
    while (w + 1 < n && since(w + 1, i) <= u(g.nTrimLocationInterval)) ++w;
    if (w == i || (w + 1 == n && since(w, i) < u(g.nTrimLocationInterval))) continue;
    bool still = true;
    for (int32_t a = i; a <= w && still; ++a)
      for (int32_t b = a + 1; b <= w && still; ++b) still = Dist(p[a], p[b]) <= g.nTrimLocationDistance;
    if (still) r.nStart = w;
  }
  auto takeoffs = [&] {
    r.nSpeedTakeoff = r.nBoxTakeoff = r.nStart, r.nSpeedDetected = r.nBoxDetected = -1, r.nBoxReason = kBoxNone;
    for (int32_t a = r.nStart; g.nTrimTakeoffInterval && g.nTrimTakeoffDistance && a + 1 < n; ++a) {
      int32_t b = a + 1;
      while (b < n && since(b, a) < u(g.nTrimTakeoffInterval)) ++b;
      if (b < n && Dist(p[a], p[b]) >= g.nTrimTakeoffDistance) {
        r.nSpeedDetected = a, r.nSpeedTakeoff = walkBack(a, g.nTrimTakeoffPrepend);
        break;
      }
    }
    const TrackPoint& s = p[r.nStart];
    const int64_t h = int64_t{g.nTrimBoxHeight} * 10;
    for (int32_t k = r.nStart; g.nTrimBoxRadius && h && n - r.nStart >= 2 && k < n && r.nBoxDetected < 0; ++k) {
      int reason = Dist(s, p[k]) >= g.nTrimBoxRadius                     ? kBoxDistance
                   : int64_t{p[k].nGpsAltitude} - s.nGpsAltitude >= h ? kBoxAbove
                   : int64_t{s.nGpsAltitude} - p[k].nGpsAltitude >= h ? kBoxBelow
                                                                         : kBoxNone;
      if (reason != kBoxNone)
        r.nBoxDetected = k, r.nBoxReason = reason, r.nBoxTakeoff = walkBack(k, g.nTrimBoxPrepend);
    }
  };
  takeoffs();
  // A start after which an enabled takeoff detector finds nothing lies after the flight.
  if (r.nStart > 0 && ((g.nTrimTakeoffInterval && g.nTrimTakeoffDistance && r.nSpeedDetected < 0) ||
                       (g.nTrimBoxRadius && g.nTrimBoxHeight && r.nBoxDetected < 0)))
    r.nStart = 0, takeoffs();
  r.nTakeoff = std::min(r.nSpeedTakeoff, r.nBoxTakeoff);
  for (int32_t k = n - 1; g.nTrimLandingInterval && g.nTrimLandingDistance && n - r.nTakeoff > 1 && k >= r.nTakeoff;
       --k) {
    int32_t m = k;
    while (m >= r.nTakeoff && since(k, m) < u(g.nTrimLandingInterval)) --m;
    if (m >= r.nTakeoff && Dist(p[m], p[k]) >= g.nTrimLandingDistance) {
      r.nLandingDetected = r.nLanding = k;
      while (r.nLanding + 1 < n && since(r.nLanding + 1, k) <= u(g.nTrimLandingAppend)) ++r.nLanding;
      break;
    }
  }
  return r;
}

}  // namespace oracle
