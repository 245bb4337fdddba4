// The speed analysis and the trim detectors written the plain way, one
// ellipsoidal distance for every comparison the rules name. The tests and
// the benchmark hold the program's faster forms against these.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "analysis/trim.h"
#include "common/conv.h"
#include "frame/state.h"

inline bool operator==(const TrackPoint& a, const TrackPoint& b) {
  return a.dwFlags == b.dwFlags && a.dwTime == b.dwTime && a.nLatitude == b.nLatitude &&
         a.nLongitude == b.nLongitude && a.nGpsAltitude == b.nGpsAltitude &&
         a.nPressureAltitude == b.nPressureAltitude;
}

namespace oracle {

// A point `north` and `east` metres from 46 N 7 E (near enough for tests).
inline TrackPoint At(uint32_t time, double north, double east, int32_t altitudeDm = 0) {
  constexpr double kToSemicircle = 2147483648.0 / 180.0;
  double latitude = 46.0 + north / 111132.0, longitude = 7.0 + east / 77330.0;
  return TrackPoint{0, time, static_cast<int32_t>(latitude * kToSemicircle),
                    static_cast<int32_t>(longitude * kToSemicircle), altitudeDm, 0};
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

// The points the speed analysis keeps (all of them when it does not apply).
inline std::vector<TrackPoint> SpeedConsistency(std::vector<TrackPoint> p, bool noAnalysis) {
  size_t n = p.size();
  if (noAnalysis || n < 10) return p;
  std::vector<double> speed(n, 0.0);
  size_t ref = 0;
  for (size_t i = 1; i < n; ++i) {
    if (p[i].dwTime > p[i - 1].dwTime) {
      speed[i] = Dist(p[ref], p[i]) / (p[i].dwTime - p[i - 1].dwTime);
      ref = i;
    }
  }
  int bins[100] = {};
  for (size_t i = 1; i < n; ++i) {
    double s = speed[i] > 1e6 ? 1e6 : speed[i];
    if (s < 100) ++bins[static_cast<int>(s)];
  }
  int64_t r = static_cast<int64_t>(n) * 19 / 20;
  int b = 100;
  for (int k = 0; k < 100; ++k) {
    r -= bins[k];
    if (r < 1) {
      b = k;
      break;
    }
  }
  double threshold = 3.0 * b + 1;
  size_t anchor = 0, run = 0;
  for (size_t i = 1; i < n && anchor == 0; ++i) {
    run = speed[i] < threshold ? run + 1 : 0;
    if (run == 10) anchor = i;
  }
  if (anchor == 0) return p;
  std::vector<bool> keep(n, false);
  keep[anchor] = true;
  ref = anchor;
  for (size_t k = anchor; k-- > 0;) {
    double s = p[k].dwTime < p[ref].dwTime ? Dist(p[ref], p[k]) / (p[ref].dwTime - p[k].dwTime) : 0.0;
    if (s < threshold) keep[k] = true, ref = k;
  }
  ref = anchor;
  for (size_t k = anchor + 1; k < n; ++k) {
    double s = p[k].dwTime > p[ref].dwTime ? Dist(p[ref], p[k]) / (p[k].dwTime - p[ref].dwTime) : 0.0;
    if (s < threshold) keep[k] = true, ref = k;
  }
  std::vector<TrackPoint> kept;
  for (size_t i = 0; i < n; ++i)
    if (keep[i]) kept.push_back(p[i]);
  return kept;
}

// The trim detectors with the TRIM_ settings of tGps.
inline TrimPoints TrimDetectors(const std::vector<TrackPoint>& p) {
  const int32_t n = static_cast<int32_t>(p.size());
  TrimPoints r{0, -1, 0, -1, kBoxNone, 0, 0, -1, n - 1};
  auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
  auto walkBack = [&](int32_t from, uint32_t seconds) {
    int32_t k = from;
    while (k - 1 >= r.nStart && p[from].dwTime - p[k - 1].dwTime <= seconds) --k;
    return k;
  };
  if (tGps.nTrimLocationInterval != 0 && tGps.nTrimLocationDistance != 0 && n >= 2) {
    for (int32_t i = 0; i + 1 < n && r.nStart == 0; ++i) {
      int32_t w = i;
      while (w + 1 < n && p[w + 1].dwTime - p[i].dwTime <= u(tGps.nTrimLocationInterval)) ++w;
      if (w == i || (w + 1 == n && p[w].dwTime - p[i].dwTime < u(tGps.nTrimLocationInterval))) continue;
      bool still = true;
      for (int32_t a = i; a <= w && still; ++a)
        for (int32_t b = a + 1; b <= w && still; ++b) still = Dist(p[a], p[b]) <= tGps.nTrimLocationDistance;
      if (still) r.nStart = w;
    }
  }
  r.nSpeedTakeoff = r.nBoxTakeoff = r.nStart;
  if (tGps.nTrimTakeoffInterval != 0 && tGps.nTrimTakeoffDistance != 0 && n - r.nStart >= 2) {
    for (int32_t a = r.nStart; a + 1 < n; ++a) {
      int32_t b = a + 1;
      while (b < n && p[b].dwTime - p[a].dwTime < u(tGps.nTrimTakeoffInterval)) ++b;
      if (b < n && Dist(p[a], p[b]) >= tGps.nTrimTakeoffDistance) {
        r.nSpeedDetected = a;
        r.nSpeedTakeoff = walkBack(a, u(tGps.nTrimTakeoffPrepend));
        break;
      }
    }
  }
  if (tGps.nTrimBoxRadius != 0 && tGps.nTrimBoxHeight != 0 && n - r.nStart >= 2) {
    const TrackPoint& s = p[r.nStart];
    int64_t h = int64_t{tGps.nTrimBoxHeight} * 10;
    for (int32_t k = r.nStart; k < n && r.nBoxDetected < 0; ++k) {
      int reason = Dist(s, p[k]) >= tGps.nTrimBoxRadius                   ? kBoxDistance
                   : int64_t{p[k].nGpsAltitude} - s.nGpsAltitude >= h ? kBoxAbove
                   : int64_t{s.nGpsAltitude} - p[k].nGpsAltitude >= h ? kBoxBelow
                                                                         : kBoxNone;
      if (reason == kBoxNone) continue;
      r.nBoxDetected = k;
      r.nBoxReason = reason;
      r.nBoxTakeoff = walkBack(k, u(tGps.nTrimBoxPrepend));
    }
  }
  r.nTakeoff = std::min(r.nSpeedTakeoff, r.nBoxTakeoff);
  if (tGps.nTrimLandingInterval != 0 && tGps.nTrimLandingDistance != 0 && n - r.nTakeoff > 1) {
    for (int32_t k = n - 1; k >= r.nTakeoff; --k) {
      int32_t m = k;
      while (m >= r.nTakeoff && p[k].dwTime - p[m].dwTime < u(tGps.nTrimLandingInterval)) --m;
      if (m >= r.nTakeoff && Dist(p[m], p[k]) >= tGps.nTrimLandingDistance) {
        r.nLandingDetected = r.nLanding = k;
        while (r.nLanding + 1 < n && p[r.nLanding + 1].dwTime - p[k].dwTime <= u(tGps.nTrimLandingAppend))
          ++r.nLanding;
        break;
      }
    }
  }
  return r;
}

}  // namespace oracle
