#include "analysis/chord.h"

#include <cmath>

namespace {

constexpr double kSemiMajorAxis = 6378137.0;
constexpr double kE2 = 0.006694379990141317;
// Largest curvature of the ellipsoid, a / b^2 (the meridian at the equator),
// taken a little larger. A geodesic, whose curvature cannot exceed it, is no
// longer than the circular arc of that curvature over the same chord.
constexpr double kMaxCurvature = 1.0 / 6335439.0 * 1.000001;
// Far below the antipodal region where the distance may not be computable.
constexpr double kBracketLimit = 2000000.0;

}  // namespace

void ConvertPointToTrackPos(const TrackPoint* point, TrackPos* out) {
  ArcPos tArc{point->nLatitude, point->nLongitude};
  ConvertArcToGeoPos(&tArc, &out->tGeo);
  double s = std::sin(out->tGeo.dLatitude), c = std::cos(out->tGeo.dLatitude);
  double dPrimeVertical = kSemiMajorAxis / std::sqrt(1.0 - kE2 * s * s);
  out->dX = dPrimeVertical * c * std::cos(out->tGeo.dLongitude);
  out->dY = dPrimeVertical * c * std::sin(out->tGeo.dLongitude);
  out->dZ = dPrimeVertical * (1.0 - kE2) * s;
}

double CalcTrackDistance(const TrackPos* from, const TrackPos* to) {
  double dDistance = 0.0;
  if (CalcDistance(&from->tGeo, &to->tGeo, &dDistance) != 0) dDistance = 0.0;
  return dDistance;
}

// The margin (5 cm plus a millionth) covers the rounding of both
// computations, the tiny longitude offset CalcDistance adds on a meridian
// and the centimetre it rounds down to 0 m, with room to spare.
bool CalcDistanceBracket(const TrackPos* from, const TrackPos* to, double* low, double* high) {
  double dx = from->dX - to->dX, dy = from->dY - to->dY, dz = from->dZ - to->dZ;
  double dChord = std::sqrt(dx * dx + dy * dy + dz * dz);
  if (dChord >= kBracketLimit) return false;
  double dMargin = 0.05 + 1e-6 * dChord;
  *low = dChord - dMargin;
  *high = 2.0 / kMaxCurvature * std::asin(kMaxCurvature * dChord / 2.0) + dMargin;
  return true;
}

bool IsDistanceAbove(const TrackPos* from, const TrackPos* to, double threshold) {
  double dLow, dHigh;
  if (CalcDistanceBracket(from, to, &dLow, &dHigh)) {
    if (dLow > threshold) return true;
    if (dHigh < threshold) return false;
  }
  return CalcTrackDistance(from, to) > threshold;
}

bool IsDistanceAtLeast(const TrackPos* from, const TrackPos* to, double threshold) {
  double dLow, dHigh;
  if (CalcDistanceBracket(from, to, &dLow, &dHigh)) {
    if (dLow > threshold) return true;
    if (dHigh < threshold) return false;
  }
  return CalcTrackDistance(from, to) >= threshold;
}
