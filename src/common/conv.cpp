#include "common/conv.h"

#include <cmath>
#include <cstdint>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kF = 0.0033528106647474805;
constexpr double kOneMinusF = 0.9966471893352525;
constexpr double kFOver16 = 0.00020955066654671753;
constexpr double kB = 6356752.314245179;
constexpr double kE2 = 0.006694379990141317;
constexpr double kEp2 = 0.006739496742276435;
constexpr double kOnePlusEp2 = 1.0067394967422765;
constexpr double kK0A = 6375585.7452;
constexpr double kInvK0A = 1.5684833362218868e-7;
constexpr double kA0 = 0.9983242984527952;
constexpr double kA2 = 0.002514607060518705;
constexpr double kA4 = 2.6390465943376217e-6;
constexpr double kA6 = 3.4180460865957886e-9;
constexpr double kRectifying = 1.571116057864735e-7;
constexpr double kF2 = 0.0025188265843906882;
constexpr double kF4 = 3.700949035620534e-6;
constexpr double kF6 = 7.447813767503948e-9;
constexpr double kF8 = 1.703599323859631e-11;
constexpr double kThreeDegrees = 0.05235987755982989;
constexpr double kRadToSixthDegree = 9.54929658551372;
constexpr double kDegree = kPi / 180.0;

}  // namespace

namespace {
// Values beyond the 32-bit range saturate and NaN gives 0: a converted
// value out of range would otherwise be undefined behaviour.
bool OutOfRange(double value, int32_t* result) {
  if (std::isnan(value)) {
    *result = 0;
  } else if (value <= -2147483648.5) {
    *result = INT32_MIN;
  } else if (value >= 2147483647.5) {
    *result = INT32_MAX;
  } else {
    return false;
  }
  return true;
}
}  // namespace

int32_t RoundHalfAwayFromZero(double p) {
  int32_t saturated;
  if (OutOfRange(p, &saturated)) return saturated;
  if (p >= 0) return static_cast<int32_t>(p + 0.5);
  return -static_cast<int32_t>(0.5 - p);
}

int32_t RoundHalfUp(double value) {
  int32_t saturated;
  if (OutOfRange(value, &saturated)) return saturated;
  return static_cast<int32_t>(std::floor(value + 0.5));
}

int32_t RoundTenths(int32_t tenths) {
  int64_t shifted = static_cast<int64_t>(tenths) + 5;
  int64_t q = shifted / 10;
  if (shifted % 10 != 0 && shifted < 0) --q;  // floor, not truncation
  return static_cast<int32_t>(q);
}

void ConvertArcToGeoPos(const ArcPos* in, GeoPos* out) {
  out->dLatitude = in->nLatitude * kSemicircleToRadian;
  out->dLongitude = in->nLongitude * kSemicircleToRadian;
}

void ConvertGeoToArcPos(const GeoPos* in, ArcPos* out) {
  out->nLatitude = RoundHalfAwayFromZero(in->dLatitude * kRadianToSemicircle);
  out->nLongitude = RoundHalfAwayFromZero(in->dLongitude * kRadianToSemicircle);
}

void ConvertArcToGeoSec100(const ArcPos* in, ArcPos* out) {
  out->nLatitude = RoundHalfAwayFromZero(in->nLatitude * 0.03017485141754);
  out->nLongitude = RoundHalfAwayFromZero(in->nLongitude * 0.03017485141754);
}

void ConvertArcToGeoMin1000(const ArcPos* in, ArcPos* out) {
  out->nLatitude = RoundHalfAwayFromZero(in->nLatitude * 0.005029141902924);
  out->nLongitude = RoundHalfAwayFromZero(in->nLongitude * 0.005029141902924);
}

int CalcDistance(const GeoPos* from, const GeoPos* to, double* distance) {
  double lat1 = from->dLatitude, lon1 = from->dLongitude;
  double lat2 = to->dLatitude, lon2 = to->dLongitude;
  if (std::fabs(lat1 - lat2) < 1.5e-9 && std::fabs(lon1 - lon2) < 1e-9) {
    *distance = 0.0;
    return 0;
  }
  double u1 = std::atan(kOneMinusF * std::tan(lat1));
  double u2 = std::atan(kOneMinusF * std::tan(lat2));
  double sinU1 = std::sin(u1), cosU1 = std::cos(u1);
  double sinU2 = std::sin(u2), cosU2 = std::cos(u2);
  double l = lon2 - lon1;
  if (std::fabs(l) < 1e-10) l = 1e-10;
  double lambda = l;
  double lambdaPrev = 0.0;
  for (int iteration = 0; iteration < 100; ++iteration) {
    double sinLambda = std::sin(lambda), cosLambda = std::cos(lambda);
    double a = cosU2 * sinLambda;
    double b = cosU1 * sinU2 - sinU1 * cosU2 * cosLambda;
    double sinSigma = std::sqrt(a * a + b * b);
    double cosSigma = sinU1 * sinU2 + cosU1 * cosU2 * cosLambda;
    double quotient = sinSigma / cosSigma;
    double sigma = std::atan(quotient);
    if (quotient < 0) sigma += kPi;
    double sinAlpha = cosU1 * cosU2 * sinLambda / sinSigma;
    double cosAlpha = std::cos(std::asin(sinAlpha));
    double cos2Alpha = cosAlpha * cosAlpha;
    double cos2SigmaM = cosSigma - 2.0 * sinU1 * sinU2 / cos2Alpha;
    double k = kFOver16 * cos2Alpha * (4.0 + kF * (4.0 - 3.0 * cos2Alpha));
    double lambdaNew =
        l + (1.0 - k) * kF * sinAlpha *
                (sigma + k * sinSigma * (cos2SigmaM + k * cosSigma * (2.0 * cos2SigmaM * cos2SigmaM - 1.0)));
    if (iteration > 0 && std::fabs((lambdaNew - lambdaPrev) / lambdaNew) < 1e-10) {
      double u2s = cos2Alpha * kEp2;
      double bigA = 1.0 + u2s * (0.25 + u2s * (-0.046875 + u2s * (0.01953125 - 0.01068115234375 * u2s)));
      double bigB = u2s * (0.25 + u2s * (-0.125 + u2s * (0.072265625 - 0.0458984375 * u2s)));
      double deltaSigma =
          bigB * sinSigma *
          (cos2SigmaM + (bigB / 4.0) * (cosSigma * (2.0 * cos2SigmaM * cos2SigmaM - 1.0) -
                                        (bigB / 6.0) * cos2SigmaM * (4.0 * sinSigma * sinSigma - 3.0) *
                                            (4.0 * cos2SigmaM * cos2SigmaM - 3.0)));
      *distance = kB * bigA * (sigma - deltaSigma);
      return 0;
    }
    lambdaPrev = lambdaNew;
    lambda = lambdaNew;
  }
  return -1;
}

void ConvertGeoToMapPos(const GeoPos* pos, const double* centralLongitude, MapPos* out) {
  double phi = pos->dLatitude;
  double s = std::sin(phi), c = std::cos(phi);
  double tanPhi = std::tan(phi);
  double t = tanPhi * tanPhi;
  double w = 1.0 - kE2 * s * s;
  double n = 1.0 / std::sqrt(w);
  double psi = w * kOnePlusEp2;
  double dl = pos->dLongitude - *centralLongitude;
  double l2 = dl * dl * c * c;
  double p5 = (((-0.2 * t + 1.0 / 30.0) * psi + t / 15.0 + 1.0 / 120.0) * psi - t / 60.0) * psi + t * t / 120.0;
  double p7 = (((-t / 5040.0 + 179.0 / 5040.0) * t - 479.0 / 5040.0) * t + 61.0 / 5040.0);
  out->dX = kK0A * n * dl * c * (1.0 + l2 * ((psi - t) / 6.0 + l2 * (p5 + l2 * p7)));
  double arc = kA0 * phi - kA2 * std::sin(2 * phi) + kA4 * std::sin(4 * phi) - kA6 * std::sin(6 * phi);
  double q6 = ((((-(4.0 / 15.0) * t + 11.0 / 90.0) * psi + (7.0 / 30.0) * t - 7.0 / 180.0) * psi -
                (2.0 / 45.0) * t + 1.0 / 720.0) *
                   psi -
               t / 360.0) *
                  psi +
              t * t / 720.0;
  double q8 = ((-t / 40320.0 + 543.0 / 40320.0) * t - 3111.0 / 40320.0) * t + 1385.0 / 40320.0;
  out->dY = kK0A * (arc + n * s * c * dl * dl *
                              (0.5 + l2 * ((psi / 6.0 + 1.0 / 24.0) * psi - t / 24.0 + l2 * (q6 + l2 * q8))));
}

void ConvertGeoToUtmPos(const GeoPos* pos, UtmPos* out) {
  double latDeg = pos->dLatitude / kDegree;
  double lonDeg = pos->dLongitude / kDegree;
  static constexpr char kBands[] = "CDEFGHJKLMNPQRSTUVW";
  char band;
  if (latDeg < -80.0) {
    band = 'B';
  } else if (latDeg < 72.0) {
    int index = static_cast<int>((latDeg + 80.0) / 8.0);
    if (index > 18) index = 18;
    band = kBands[index];
  } else if (latDeg < 84.0) {
    band = 'X';
  } else {
    band = 'Y';
  }
  int32_t zone = out->nZone;
  if (zone == 0) {
    if (band == 'V' && lonDeg >= 3.0 && lonDeg < 12.0) {
      zone = 32;
    } else if (band == 'X' && lonDeg >= 0.0 && lonDeg < 9.0) {
      zone = 31;
    } else if (band == 'X' && lonDeg >= 9.0 && lonDeg < 21.0) {
      zone = 33;
    } else if (band == 'X' && lonDeg >= 21.0 && lonDeg < 33.0) {
      zone = 35;
    } else if (band == 'X' && lonDeg >= 33.0 && lonDeg < 42.0) {
      zone = 37;
    } else {
      zone = static_cast<int32_t>(pos->dLongitude * kRadToSixthDegree + 30.0) + 1;
      if (zone < 1) zone = 1;
      if (zone > 60) zone = 60;
    }
  }
  double centralLongitude = (2 * zone - 61) * kThreeDegrees;
  MapPos map;
  ConvertGeoToMapPos(pos, &centralLongitude, &map);
  out->dEasting = map.dX + 500000.0;
  out->dNorthing = map.dY + (pos->dLatitude < 0 ? 10000000.0 : 0.0);
  out->nZone = zone;
  out->nBand = band;
}

void ConvertUtmToGeoPos(const UtmPos* utm, GeoPos* out) {
  double y = utm->dNorthing;
  // Only the low byte holds the letter; read it unsigned so that a stray byte
  // above 0x7f is not taken for a southern band.
  if ((utm->nBand & 0xff) < 'N') y -= 10000000.0;
  double mu = y * kRectifying;
  double phi1 = mu + kF2 * std::sin(2 * mu) + kF4 * std::sin(4 * mu) + kF6 * std::sin(6 * mu) + kF8 * std::sin(8 * mu);
  double s1 = std::sin(phi1);
  double t1 = std::tan(phi1);
  double t = t1 * t1;
  double w = 1.0 - kE2 * s1 * s1;
  double psi = w * kOnePlusEp2;
  double d = (utm->dEasting - 500000.0) * kInvK0A * std::sqrt(w);
  double d2 = d * d;
  double r6 = ((((0.26666666666666666 * t - 0.12222222222222222) * psi - 1.1833333333333333 * t + 0.35) * psi +
                (-0.3125 * t + 2.0416666666666665) * t - 0.3125) *
                   psi +
               (0.75 * t - 1.25) * t) *
                  psi -
              0.5 * t * t;
  double r8 = ((0.0390625 * t + 0.1015625) * t + 0.09010416666666667) * t + 0.034350198412698416;
  out->dLatitude =
      phi1 + d2 * t1 * psi * (-0.5 + d2 * ((-psi / 6.0 - 0.375 * t + 0.375) * psi + 0.5 * t + d2 * (r6 + d2 * r8)));
  double s5 = (((0.2 * t - 1.0 / 30.0) * psi - 0.5666666666666667 * t + 0.075) * psi + 0.6 * t) * psi + 0.2 * t * t;
  double s7 = ((-t / 7.0 - 0.2619047619047619) * t - 0.13134920634920635) * t - 0.012103174603174604;
  out->dLongitude = (2 * utm->nZone - 61) * kThreeDegrees +
                    (d / std::cos(phi1)) * (1.0 + d2 * (-psi / 6.0 - t / 3.0 + d2 * (s5 + d2 * s7)));
}
