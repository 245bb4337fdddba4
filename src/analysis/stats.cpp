// Flight statistics: times, altitudes, top and mean speeds, climb rates and
// track length, and AnalyzeTrack, which adds the cross-country distances.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/exact.h"
#include "analysis/stats.h"
#include "common/conv.h"

namespace {

constexpr uint32_t kTopSpeedWindow = 10;   // seconds
constexpr uint32_t kMeanSpeedWindow = 60;  // seconds

// Shortcuts for the speed windows, built once per track so that a window
// costs additions instead of an ellipsoidal distance per step.
struct WindowAids {
  // Lowest index of the run of equal times that ends at point i.
  int32_t* pnRunStart;
  // Greatest l <= i where a backward walk must end: a segment start or 0.
  int32_t* pnLastStop;
  // Distance from point i to point pnRunStart[i] - 1, the next point of a
  // backward walk that lies at another time (0 when there is none).
  double* pdBackDistance;
};

struct WindowResult {
  double dSum;            // metres covered in the window
  double dStartAltitude;  // decimetres, at the start of the window
};

// Walks back from point `index` over `window` seconds. Steps between equal
// times add nothing and keep the reference point; a step that would pass the
// window's length is taken only in part. A segment start or the first point
// ends the walk early, and the shorter window is used as it is. False when
// point `index` opens the track or a segment.
bool MeasureWindow(const TrackPoint* p, uint32_t index, uint32_t window, const WindowAids* aids,
                   WindowResult* out) {
  if (index == 0 || (p[index].dwFlags & kSegmentStart)) return false;
  uint32_t ref = index;
  uint32_t elapsed = 0;  // always below `window`
  double sum = 0.0;
  double startAltitude = p[index].nGpsAltitude;
  for (;;) {
    uint32_t k;
    double d;
    if (aids) {
      int32_t runStart = aids->pnRunStart[ref];
      if (runStart < static_cast<int32_t>(ref) && aids->pnLastStop[ref - 1] >= runStart) break;
      k = static_cast<uint32_t>(runStart - 1);
      d = aids->pdBackDistance[ref];
    } else {
      k = ref - 1;
      bool ended = false;
      while (p[k].dwTime == p[ref].dwTime) {
        if ((p[k].dwFlags & kSegmentStart) || k == 0) {
          ended = true;
          break;
        }
        --k;
      }
      if (ended) break;
      d = CalcLegDistance(&p[ref], &p[k]);
    }
    // Unsigned on purpose: a time stamp that goes backwards gives a huge
    // step, which closes the window at once. Comparing against the time left
    // keeps that from wrapping around.
    uint32_t dt = p[ref].dwTime - p[k].dwTime;
    ref = k;
    if (dt >= window - elapsed) {
      double q = static_cast<double>(window - elapsed) / static_cast<double>(dt);
      sum += d * q;
      startAltitude += q * (p[k].nGpsAltitude - startAltitude);
      break;
    }
    sum += d;
    elapsed += dt;
    startAltitude = p[k].nGpsAltitude;
    if ((p[k].dwFlags & kSegmentStart) || k == 0) break;
  }
  out->dSum = sum;
  out->dStartAltitude = startAltitude;
  return true;
}

double MeasureTopSpeed(const TrackPoint* p, uint32_t index, const WindowAids* aids) {
  WindowResult w;
  if (!MeasureWindow(p, index, kTopSpeedWindow, aids, &w)) return 0.0;
  return w.dSum * 0.36;
}

int MeasureMeanSpeed(const TrackPoint* p, uint32_t index, const WindowAids* aids, double* speed,
                     double* climb) {
  WindowResult w;
  if (!MeasureWindow(p, index, kMeanSpeedWindow, aids, &w)) {
    *speed = 0.0;
    return -1;
  }
  *speed = w.dSum * 0.06;
  *climb = (p[index].nGpsAltitude - w.dStartAltitude) * 0.001666667;
  return 0;
}

void ToGeoPos(const TrackPoint* p, GeoPos* out) {
  ArcPos arc{p->nLatitude, p->nLongitude};
  ConvertArcToGeoPos(&arc, out);
}

// Builds the window shortcuts and the track length in one pass. False when
// memory runs out; the caller then walks the windows the slow way.
bool BuildWindowAids(const TrackPoint* p, int32_t n, WindowAids* aids, double* trackLength) {
  size_t count = static_cast<size_t>(n);
  aids->pnRunStart = static_cast<int32_t*>(std::malloc(count * sizeof(int32_t)));
  aids->pnLastStop = static_cast<int32_t*>(std::malloc(count * sizeof(int32_t)));
  aids->pdBackDistance = static_cast<double*>(std::malloc(count * sizeof(double)));
  if (!aids->pnRunStart || !aids->pnLastStop || !aids->pdBackDistance) {
    std::free(aids->pnRunStart);
    std::free(aids->pnLastStop);
    std::free(aids->pdBackDistance);
    return false;
  }
  aids->pnRunStart[0] = 0;
  aids->pnLastStop[0] = 0;
  aids->pdBackDistance[0] = 0.0;
  double length = 0.0;
  GeoPos prev;
  ToGeoPos(&p[0], &prev);
  for (int32_t i = 1; i < n; ++i) {
    GeoPos cur;
    ToGeoPos(&p[i], &cur);
    double d = 0.0;
    CalcDistance(&prev, &cur, &d);
    length += d;
    int32_t runStart = p[i].dwTime == p[i - 1].dwTime ? aids->pnRunStart[i - 1] : i;
    aids->pnRunStart[i] = runStart;
    aids->pnLastStop[i] = (p[i].dwFlags & kSegmentStart) ? i : aids->pnLastStop[i - 1];
    double back = 0.0;
    if (runStart > 0) {
      GeoPos before;
      ToGeoPos(&p[runStart - 1], &before);
      CalcDistance(&cur, &before, &back);
    }
    aids->pdBackDistance[i] = back;
    prev = cur;
  }
  *trackLength = length;
  return true;
}

}  // namespace

double CalcLegDistance(const TrackPoint* from, const TrackPoint* to) {
  GeoPos a, b;
  ToGeoPos(from, &a);
  ToGeoPos(to, &b);
  double d = 0.0;
  if (CalcDistance(&a, &b, &d) != 0) d = 0.0;
  return d;
}

void CalculateTopSpeed(const TrackPoint* points, uint32_t index, double* speed) {
  *speed = MeasureTopSpeed(points, index, nullptr);
}

int CalculateMeanSpeed(const TrackPoint* points, uint32_t index, double* speed, double* climb) {
  return MeasureMeanSpeed(points, index, nullptr, speed, climb);
}

void ComputeTrackStatistics(TrackAnalysis* a) {
  const TrackPoint* p = a->pPoints;
  int32_t n = a->nPoints;
  a->dwStartTime = p[0].dwTime;
  a->dwEndTime = p[n - 1].dwTime;
  a->dwDuration = a->dwEndTime - a->dwStartTime;

  // From the first point rather than from fixed extremes, so that any
  // altitude an instrument can deliver is reported as it is.
  int32_t minAltitude = p[0].nGpsAltitude;
  int32_t maxAltitude = p[0].nGpsAltitude;
  for (int32_t i = 1; i < n; ++i) {
    if (p[i].nGpsAltitude < minAltitude) minAltitude = p[i].nGpsAltitude;
    if (p[i].nGpsAltitude > maxAltitude) maxAltitude = p[i].nGpsAltitude;
  }
  a->nMinAltitude = RoundTenths(minAltitude);
  a->nMaxAltitude = RoundTenths(maxAltitude);

  WindowAids aids{};
  double trackLength = 0.0;
  const WindowAids* pAids = BuildWindowAids(p, n, &aids, &trackLength) ? &aids : nullptr;

  a->dTopSpeed = 0.0;
  a->dMaxMeanSpeed = 0.0;
  a->dMinClimb = 0.0;
  a->dMaxClimb = 0.0;
  double length = 0.0;
  for (int32_t i = 1; i < n; ++i) {
    if (!pAids) length += CalcLegDistance(&p[i - 1], &p[i]);
    uint32_t sinceStart = p[i - 1].dwTime - a->dwStartTime;
    if (sinceStart > kTopSpeedWindow) {
      double speed = MeasureTopSpeed(p, static_cast<uint32_t>(i), pAids);
      if (speed > a->dTopSpeed) a->dTopSpeed = speed;
    }
    if (sinceStart > kMeanSpeedWindow) {
      double speed = 0.0, climb = 0.0;
      if (MeasureMeanSpeed(p, static_cast<uint32_t>(i), pAids, &speed, &climb) == 0) {
        if (climb < a->dMinClimb) a->dMinClimb = climb;
        if (climb > a->dMaxClimb) a->dMaxClimb = climb;
      }
      if (speed > a->dMaxMeanSpeed) a->dMaxMeanSpeed = speed;
    }
  }
  a->dTrackLength = pAids ? trackLength : length;
  if (pAids) {
    std::free(aids.pnRunStart);
    std::free(aids.pnLastStop);
    std::free(aids.pdBackDistance);
  }
}

int AnalyzeTrack(TrackAnalysis* a) {
  // Every search below needs five points; callers check this first, this
  // keeps a stray call from reading past the track.
  if (!a->pPoints || a->nPoints < 5) {
    printf("Too few points for a .kml file\n");
    return -1;
  }
  printf("Computing statistics\n");
  ComputeTrackStatistics(a);
  a->bExactProven = 0;
  if (FindCrossCountryDistances(a) != 0) return -1;
  return a->bExact ? FindExactCrossCountryDistances(a) : 0;
}
