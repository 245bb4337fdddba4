// Takeoff and landing trimming: the detectors behind TrimTrack, open to the
// tests and the benchmark that hold them against the plain rules.
#pragma once

#include <cstdint>

#include "common/conv.h"
#include "common/records.h"

// What the four detectors found, as indices into the track; -1 where a
// detector is off or found nothing.
struct TrimPoints {
  int32_t nStart;
  int32_t nSpeedDetected;
  int32_t nSpeedTakeoff;
  int32_t nBoxDetected;
  int32_t nBoxReason;  // a BoxExitReason
  int32_t nBoxTakeoff;
  int32_t nTakeoff;
  int32_t nLandingDetected;
  int32_t nLanding;
};

enum BoxExitReason { kBoxNone = 0, kBoxDistance = 1, kBoxAbove = 2, kBoxBelow = 3 };

// A position in both forms: geographic for CalcDistance, earth-centred
// cartesian (metres, on the ellipsoid) for the chord bound.
struct TrimPos {
  GeoPos tGeo;
  double dX, dY, dZ;
};

void ConvertPointToTrimPos(const TrackPoint* point, TrimPos* out);

// CalcDistance(from, to) (0 when it fails) compared with a threshold.
// Where the straight-line chord already decides the comparison, with a wide
// safety margin, the ellipsoidal distance is not computed.
bool IsDistanceAbove(const TrimPos* from, const TrimPos* to, double threshold);
bool IsDistanceAtLeast(const TrimPos* from, const TrimPos* to, double threshold);

// Runs the detectors over `count` points with the TRIM_ settings of tGps.
// -1 (nothing found, no message) when working memory cannot be had.
int FindTrimPoints(const TrackPoint* points, int32_t count, TrimPoints* result);
