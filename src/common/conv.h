// Angle units, rounding rules and the WGS-84 geodesy of the program.
#pragma once

#include <cstdint>

struct GeoPos {
  double dLatitude;   // radians, north positive
  double dLongitude;  // radians, east positive
};

struct MapPos {
  double dX;  // metres east of the central meridian
  double dY;  // metres north of the equator
};

struct UtmPos {
  double dEasting;
  double dNorthing;
  int32_t nZone;
  int32_t nBand;  // ASCII code of the band letter
};

// A pair of semicircle or arc values: latitude, longitude.
struct ArcPos {
  int32_t nLatitude;
  int32_t nLongitude;
};

constexpr double kSemicircleToRadian = 1.4629180792671596e-9;
constexpr double kRadianToSemicircle = 683565275.5764316;
// The literal factors the file formats use: degrees, and thousandths of an
// arc-minute, per radian.
constexpr double kRadianToDegree = 57.29577951308;
constexpr double kRadianToMin1000 = 3437746.770785;

// Half away from zero, as the angle conversions round.
int32_t RoundHalfAwayFromZero(double value);
// Nearest integer, halves upward, also below zero: floor(value + 0.5).
int32_t RoundHalfUp(double value);
// Tenths (of a metre) to whole units, nearest, halves upward: floor((tenths + 5) / 10).
int32_t RoundTenths(int32_t tenths);

void ConvertArcToGeoPos(const ArcPos* in, GeoPos* out);
void ConvertGeoToArcPos(const GeoPos* in, ArcPos* out);
void ConvertArcToGeoSec100(const ArcPos* in, ArcPos* out);
void ConvertArcToGeoMin1000(const ArcPos* in, ArcPos* out);

// Vincenty's inverse formula: 0 with the distance in metres, or -1 (output
// untouched) when the iteration does not converge.
int CalcDistance(const GeoPos* from, const GeoPos* to, double* distance);
void ConvertGeoToMapPos(const GeoPos* pos, const double* centralLongitude, MapPos* out);
void ConvertGeoToUtmPos(const GeoPos* pos, UtmPos* out);
void ConvertUtmToGeoPos(const UtmPos* utm, GeoPos* out);
