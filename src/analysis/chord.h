// A cheap, safe bracket around the ellipsoidal distance: the straight-line
// chord between two positions bounds their geodesic from below, and the
// ellipsoid's largest curvature bounds it from above. The cleaning and the
// trimming use it to skip CalcDistance where the bracket already decides a
// comparison; where it does not, they compute the distance itself, so every
// decision is the one the distance would have made.
#pragma once

#include <cstdint>

#include "common/conv.h"
#include "common/records.h"

// A position in both forms: geographic for CalcDistance, earth-centred
// cartesian (metres, on the ellipsoid) for the chord.
struct TrackPos {
  GeoPos tGeo;
  double dX, dY, dZ;
};

void ConvertPointToTrackPos(const TrackPoint* point, TrackPos* out);

// CalcDistance(from, to), 0 when it fails.
double CalcTrackDistance(const TrackPos* from, const TrackPos* to);

// Writes *low <= CalcTrackDistance(from, to) <= *high, with a margin of
// 5 cm and a millionth on each side that dwarfs the rounding of both
// computations, and returns true; false (nothing written) for positions too
// far apart for the bracket.
bool CalcDistanceBracket(const TrackPos* from, const TrackPos* to, double* low, double* high);

// CalcTrackDistance(from, to) > threshold, and >= threshold.
bool IsDistanceAbove(const TrackPos* from, const TrackPos* to, double threshold);
bool IsDistanceAtLeast(const TrackPos* from, const TrackPos* to, double threshold);
