// The track analysis in its plain form: every statistic and search written as
// the straightforward nested loops over the triangular sample matrix, with a
// fresh ellipsoidal distance wherever one is needed. The fast analysis must
// give exactly these indices and these doubles, bit for bit. Slow (cubic in
// the samples for closed flights): keep the tracks given to it small.
#pragma once

#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/analysis.h"
#include "common/conv.h"
#include "common/records.h"

namespace oracle {

inline double Distance(const TrackPoint& from, const TrackPoint& to) {
  ArcPos a{from.nLatitude, from.nLongitude}, b{to.nLatitude, to.nLongitude};
  GeoPos ga, gb;
  ConvertArcToGeoPos(&a, &ga);
  ConvertArcToGeoPos(&b, &gb);
  double d = 0.0;
  if (CalcDistance(&ga, &gb, &d) != 0) d = 0.0;
  return d;
}

struct Window {
  bool bHas;
  double dSum;
  double dStartAltitude;
};

inline Window WalkBack(const TrackPoint* p, uint32_t index, uint32_t w) {
  Window r{false, 0.0, 0.0};
  if (index == 0 || (p[index].dwFlags & 1)) return r;
  r.bHas = true;
  uint32_t ref = index;
  uint32_t elapsed = 0;
  double startAltitude = p[index].nGpsAltitude;
  bool fraction = false;
  double q = 0.0, dLast = 0.0;
  uint32_t kLast = 0;
  for (uint32_t k = index - 1;; --k) {
    double d = Distance(p[ref], p[k]);
    uint32_t dt = p[ref].dwTime - p[k].dwTime;
    if (dt != 0) {
      ref = k;
      if (static_cast<uint64_t>(elapsed) + dt >= w) {
        q = static_cast<double>(w - elapsed) / static_cast<double>(dt);
        fraction = true;
        dLast = d;
        kLast = k;
        break;
      }
      r.dSum += d;
      elapsed += dt;
      startAltitude = p[k].nGpsAltitude;
    }
    if ((p[k].dwFlags & 1) || k == 0) break;
  }
  if (fraction) {
    r.dSum += dLast * q;
    startAltitude += q * (p[kLast].nGpsAltitude - startAltitude);
  }
  r.dStartAltitude = startAltitude;
  return r;
}

inline void Statistics(TrackAnalysis* a) {
  const TrackPoint* p = a->pPoints;
  int32_t n = a->nPoints;
  a->dwStartTime = p[0].dwTime;
  a->dwEndTime = p[n - 1].dwTime;
  a->dwDuration = a->dwEndTime - a->dwStartTime;
  int32_t lo = p[0].nGpsAltitude, hi = p[0].nGpsAltitude;
  for (int32_t i = 0; i < n; ++i) {
    if (p[i].nGpsAltitude < lo) lo = p[i].nGpsAltitude;
    if (p[i].nGpsAltitude > hi) hi = p[i].nGpsAltitude;
  }
  a->nMinAltitude = static_cast<int32_t>(std::floor((lo + 5) / 10.0));
  a->nMaxAltitude = static_cast<int32_t>(std::floor((hi + 5) / 10.0));
  a->dTopSpeed = a->dMaxMeanSpeed = a->dTrackLength = a->dMinClimb = a->dMaxClimb = 0.0;
  for (int32_t i = 1; i < n; ++i) {
    a->dTrackLength += Distance(p[i - 1], p[i]);
    if (p[i - 1].dwTime - a->dwStartTime > 10) {
      Window w = WalkBack(p, i, 10);
      double speed = w.bHas ? w.dSum * 0.36 : 0.0;
      if (speed > a->dTopSpeed) a->dTopSpeed = speed;
    }
    if (p[i - 1].dwTime - a->dwStartTime > 60) {
      Window w = WalkBack(p, i, 60);
      double speed = w.bHas ? w.dSum * 0.06 : 0.0;
      if (speed > a->dMaxMeanSpeed) a->dMaxMeanSpeed = speed;
      if (w.bHas) {
        double climb = (p[i].nGpsAltitude - w.dStartAltitude) * 0.001666667;
        if (climb < a->dMinClimb) a->dMinClimb = climb;
        if (climb > a->dMaxClimb) a->dMaxClimb = climb;
      }
    }
  }
}

// The fine stages: k indices each moved by -2 ... +2 (the first outermost),
// strictly increasing inside the track. The set with the greatest score (a
// tie goes to the later) replaces idx when its score is positive, or
// always. `score` returns false for a set that does not qualify.
template <typename Score>
inline void Refine(const TrackAnalysis* a, int k, uint32_t* idx, bool always, Score score) {
  int64_t n = a->nPoints, base[5], cur[5], best[5];
  for (int j = 0; j < k; ++j) best[j] = base[j] = idx[j];
  double bestScore = 0.0;
  int total = 1;
  for (int j = 0; j < k; ++j) total *= 5;
  for (int c = 0; c < total; ++c) {
    for (int j = k - 1, rest = c; j >= 0; --j, rest /= 5) cur[j] = base[j] + rest % 5 - 2;
    bool valid = true;
    for (int j = 0; j < k; ++j) valid = valid && cur[j] >= (j > 0 ? cur[j - 1] + 1 : 0) && cur[j] <= n - k + j;
    const TrackPoint* p = a->pPoints;
    double s = 0.0;
    if (!valid || !score(p, cur, &s) || !(s >= bestScore)) continue;
    bestScore = s;
    std::memcpy(best, cur, sizeof best);
  }
  if (always || bestScore > 0)
    for (int j = 0; j < k; ++j) idx[j] = static_cast<uint32_t>(best[j]);
}

inline void RefineDistance(const TrackAnalysis* a, int k, uint32_t* idx) {
  Refine(a, k, idx, true, [k](const TrackPoint* p, const int64_t* c, double* score) {
    for (int j = 0; j + 1 < k; ++j) *score += Distance(p[c[j]], p[c[j + 1]]);
    return true;
  });
}

inline void RefineOutAndReturn(const TrackAnalysis* a, uint32_t* idx) {
  Refine(a, 3, idx, false, [](const TrackPoint* p, const int64_t* c, double* score) {
    double gap = Distance(p[c[0]], p[c[2]]);
    *score = 2 * Distance(p[c[0]], p[c[1]]) - gap;
    return !(gap > 800.0);
  });
}

inline void RefineTriangle(const TrackAnalysis* a, bool fai, uint32_t* idx) {
  Refine(a, 5, idx, false, [fai](const TrackPoint* p, const int64_t* c, double* score) {
    double gap = Distance(p[c[0]], p[c[4]]);
    if (!(gap < 800.0)) return false;
    double l13 = Distance(p[c[1]], p[c[3]]);
    double l12 = Distance(p[c[1]], p[c[2]]);
    double l23 = Distance(p[c[2]], p[c[3]]);
    double sum = l13 + l12 + l23;
    *score = sum - gap;
    return !fai || (l13 >= 0.28 * sum && l12 >= 0.28 * sum && l23 >= 0.28 * sum);
  });
}

inline void Legs(const TrackAnalysis* a, const uint32_t* idx, int legs, double* leg, double* sum) {
  *sum = 0.0;
  for (int k = 0; k < legs; ++k) {
    leg[k] = Distance(a->pPoints[idx[k]], a->pPoints[idx[k + 1]]);
    *sum += leg[k];
  }
}

inline void Distances(TrackAnalysis* a) {
  const TrackPoint* p = a->pPoints;
  int32_t n = a->nPoints;
  double lo = 1e300, hi = -1e300;
  for (int32_t i = 0; i < n; ++i) {
    double lon = p[i].nLongitude * kSemicircleToRadian;
    if (lon < lo) lo = lon;
    if (lon > hi) hi = lon;
  }
  double central = (lo + hi) / 2.0;
  std::vector<uint32_t> ix;
  std::vector<MapPos> xy;
  int64_t acc = n;
  for (int32_t i = 0; i < n; ++i) {
    if (n > 2000) {
      acc += 1999;
      if (acc < n) continue;
      acc -= n;
    }
    ArcPos arc{p[i].nLatitude, p[i].nLongitude};
    GeoPos geo;
    ConvertArcToGeoPos(&arc, &geo);
    MapPos map;
    ConvertGeoToMapPos(&geo, &central, &map);
    ix.push_back(static_cast<uint32_t>(i));
    xy.push_back(map);
  }
  int32_t m = static_cast<int32_t>(ix.size());
  std::vector<int64_t> row(m);
  for (int32_t i = 0; i + 1 < m; ++i) row[i + 1] = row[i] + m - i - 1;
  std::vector<int32_t> D(static_cast<size_t>(m) * (m + 1) / 2), MC(D.size()), MA(D.size());
  auto d = [&](int32_t i, int32_t j) -> int32_t& { return D[row[i] + j]; };
  std::vector<int32_t> maxFwd(m, 0), fwd(m), maxBwd(m, 0), bwd(m);
  for (int32_t i = 0; i < m; ++i) {
    fwd[i] = i < m - 1 ? i + 1 : m - 1;
    bwd[i] = i > 0 ? i - 1 : 0;
  }
  for (int32_t i = 0; i < m; ++i)
    for (int32_t j = i; j < m; ++j) {
      double dx = xy[i].dX - xy[j].dX, dy = xy[i].dY - xy[j].dY;
      double r = std::sqrt(dx * dx + dy * dy) + 0.5;
      if (!(r < 80000000.0)) r = 80000000.0;
      d(i, j) = i == j ? 0 : static_cast<int32_t>(r);
      if (d(i, j) > maxFwd[i]) maxFwd[i] = d(i, j), fwd[i] = j;
      if (d(i, j) > maxBwd[j]) maxBwd[j] = d(i, j), bwd[j] = i;
    }

  int32_t best = 0, bi = 0;
  for (int32_t i = 0; i <= m - 2; ++i)
    if (maxFwd[i] >= best) best = maxFwd[i], bi = i;
  uint32_t q[5] = {ix[bi], ix[fwd[bi]]};
  RefineDistance(a, 2, q);
  std::memcpy(a->adwOpenIdx, q, 2 * 4);
  a->dOpenDistance = Distance(p[q[0]], p[q[1]]);

  best = 0;
  int32_t bb = 1;
  for (int32_t b = 1; b <= m - 2; ++b)
    if (maxBwd[b] + maxFwd[b] >= best) best = maxBwd[b] + maxFwd[b], bb = b;
  q[0] = ix[bwd[bb]], q[1] = ix[bb], q[2] = ix[fwd[bb]];
  RefineDistance(a, 3, q);
  std::memcpy(a->adw3PointIdx, q, 3 * 4);
  Legs(a, q, 2, a->ad3PointLeg, &a->d3PointDistance);

  best = 0;
  bb = 1;
  int32_t bc = 2;
  for (int32_t b = 1; b <= m - 3; ++b)
    for (int32_t c = b + 1; c <= m - 2; ++c)
      if (maxBwd[b] + d(b, c) + maxFwd[c] >= best) best = maxBwd[b] + d(b, c) + maxFwd[c], bb = b, bc = c;
  q[0] = ix[bwd[bb]], q[1] = ix[bb], q[2] = ix[bc], q[3] = ix[fwd[bc]];
  RefineDistance(a, 4, q);
  std::memcpy(a->adw4PointIdx, q, 4 * 4);
  Legs(a, q, 3, a->ad4PointLeg, &a->d4PointDistance);

  best = 0;
  int32_t b5 = 1, c5 = 2, d5 = 3;
  for (int32_t c = 2; c <= m - 3; ++c) {
    int32_t vb = 0, ib = 1, vd = 0, id = c + 1;
    for (int32_t b = 1; b <= c - 1; ++b)
      if (maxBwd[b] + d(b, c) >= vb) vb = maxBwd[b] + d(b, c), ib = b;
    for (int32_t e = c + 1; e <= m - 2; ++e)
      if (d(c, e) + maxFwd[e] >= vd) vd = d(c, e) + maxFwd[e], id = e;
    if (vb + vd >= best) best = vb + vd, b5 = ib, c5 = c, d5 = id;
  }
  q[0] = ix[bwd[b5]], q[1] = ix[b5], q[2] = ix[c5], q[3] = ix[d5], q[4] = ix[fwd[d5]];
  RefineDistance(a, 5, q);
  std::memcpy(a->adw5PointIdx, q, 5 * 4);
  Legs(a, q, 4, a->ad5PointLeg, &a->d5PointDistance);

  // Out-and-return.
  std::memset(a->adwOutReturnIdx, 0, sizeof(a->adwOutReturnIdx));
  a->dOutReturnLeg = a->dOutReturnClosing = a->dOutReturnScore = 0.0;
  best = -999999999;
  int32_t oa = 0, ob = 0, oc = 0;
  for (int32_t i = 0; i <= m - 3; ++i)
    for (int32_t c = i + 2; c <= m - 1; ++c)
      if (d(i, c) < 800)
        for (int32_t b = i + 1; b <= c - 1; ++b)
          if (2 * d(i, b) - d(i, c) >= best) best = 2 * d(i, b) - d(i, c), oa = i, ob = b, oc = c;
  if (best >= 0) {
    q[0] = ix[oa], q[1] = ix[ob], q[2] = ix[oc];
    RefineOutAndReturn(a, q);
    std::memcpy(a->adwOutReturnIdx, q, 3 * 4);
    a->dOutReturnLeg = Distance(p[q[0]], p[q[1]]);
    a->dOutReturnClosing = Distance(p[q[0]], p[q[2]]);
    a->dOutReturnScore = 2 * a->dOutReturnLeg - a->dOutReturnClosing;
  }

  // Triangles.
  std::memset(a->adwFlatIdx, 0, sizeof(a->adwFlatIdx));
  std::memset(a->adFlatLeg, 0, sizeof(a->adFlatLeg));
  a->dFlatClosing = a->dFlatScore = 0.0;
  std::memset(a->adwFaiIdx, 0, sizeof(a->adwFaiIdx));
  std::memset(a->adFaiLeg, 0, sizeof(a->adFaiLeg));
  a->dFaiClosing = a->dFaiScore = 0.0;
  auto mc = [&](int32_t i, int32_t j) -> int32_t& { return MC[row[i] + j]; };
  auto ma = [&](int32_t i, int32_t j) -> int32_t& { return MA[row[i] + j]; };
  {
    int32_t least = 999999999, at = 0;
    for (int32_t c = m - 1; c >= 1; --c) {
      if (d(0, c) < least) least = d(0, c), at = c;
      mc(0, c) = least;
      ma(0, c) = at;
    }
  }
  for (int32_t i = 1; i <= m - 2; ++i) {
    int32_t least = 999999999, at = 0;
    for (int32_t c = m - 1; c >= i + 1; --c) {
      if (d(i, c) < least) least = d(i, c), at = i * 65536 + c;
      if (mc(i - 1, c) < least) least = mc(i - 1, c), at = ma(i - 1, c);
      mc(i, c) = least;
      ma(i, c) = at;
    }
  }
  int32_t bestFlat = -1, bestFai = -1;
  int32_t flat[5] = {}, fai[5] = {};
  for (int32_t i = 0; i <= m - 3; ++i)
    for (int32_t c = i + 2; c <= m - 1; ++c) {
      int32_t gap = mc(i, c);
      if (gap >= 800) continue;
      int32_t s = ma(i, c) / 65536, f = ma(i, c) % 65536;
      for (int32_t b = i + 1; b <= c - 1; ++b) {
        int32_t l1 = d(i, b), l2 = d(b, c), l3 = d(i, c);
        int32_t perimeter = l1 + l2 + l3;
        if (perimeter - gap >= bestFlat) {
          bestFlat = perimeter - gap;
          flat[0] = s, flat[1] = i, flat[2] = b, flat[3] = c, flat[4] = f;
        }
        int64_t share = static_cast<int64_t>(perimeter) * 7 / 25;
        if (l1 >= share && l2 >= share && l3 >= share && perimeter - gap >= bestFai) {
          bestFai = perimeter - gap;
          fai[0] = s, fai[1] = i, fai[2] = b, fai[3] = c, fai[4] = f;
        }
      }
    }
  struct Kind {
    int32_t best;
    int32_t* samples;
    bool fai;
    uint32_t* idx;
    double* leg;
    double* closing;
    double* score;
  } kinds[2] = {{bestFlat, flat, false, a->adwFlatIdx, a->adFlatLeg, &a->dFlatClosing, &a->dFlatScore},
                {bestFai, fai, true, a->adwFaiIdx, a->adFaiLeg, &a->dFaiClosing, &a->dFaiScore}};
  for (Kind& k : kinds) {
    if (k.best < 0) continue;
    for (int j = 0; j < 5; ++j) q[j] = ix[k.samples[j]];
    RefineTriangle(a, k.fai, q);
    std::memcpy(k.idx, q, 5 * 4);
    k.leg[0] = Distance(p[q[1]], p[q[2]]);
    k.leg[1] = Distance(p[q[2]], p[q[3]]);
    k.leg[2] = Distance(p[q[3]], p[q[1]]);
    *k.closing = Distance(p[q[0]], p[q[4]]);
    *k.score = k.leg[0] + k.leg[1] + k.leg[2] - *k.closing;
  }
}

// The whole analysis; the record's inputs must be filled.
inline void Analyze(TrackAnalysis* a) {
  Statistics(a);
  Distances(a);
}

// Names and values of every result field where two records differ: indices
// must be equal and doubles bit-identical. Empty when they agree. With
// `statisticsOnly` the distance fields are left out.
inline std::string Differences(const TrackAnalysis& fast, const TrackAnalysis& slow, bool statisticsOnly = false) {
  std::string out;
  char text[200];
  // Arrays of indices and of doubles, element by element; one value is an array of 1.
  auto integers = [&](const char* name, const auto* f, const auto* s, int count) {
    for (int k = 0; k < count; ++k) {
      if (static_cast<int64_t>(f[k]) == static_cast<int64_t>(s[k])) continue;
      std::snprintf(text, sizeof text, "%s[%d]: %lld, plain loops %lld\n", name, k, static_cast<long long>(f[k]),
                    static_cast<long long>(s[k]));
      out += text;
    }
  };
  auto reals = [&](const char* name, const double* f, const double* s, int count) {
    for (int k = 0; k < count; ++k) {
      if (std::bit_cast<uint64_t>(f[k]) == std::bit_cast<uint64_t>(s[k])) continue;
      std::snprintf(text, sizeof text, "%s[%d]: %.17g, plain loops %.17g\n", name, k, f[k], s[k]);
      out += text;
    }
  };
#define VELMORA_INTEGERS(field, n) integers(#field, &fast.field, &slow.field, n)
#define VELMORA_REALS(field, n) reals(#field, &fast.field, &slow.field, n)
  VELMORA_INTEGERS(dwStartTime, 1), VELMORA_INTEGERS(dwEndTime, 1), VELMORA_INTEGERS(dwDuration, 1);
  VELMORA_INTEGERS(nMinAltitude, 1), VELMORA_INTEGERS(nMaxAltitude, 1);
  VELMORA_REALS(dTopSpeed, 1), VELMORA_REALS(dMaxMeanSpeed, 1), VELMORA_REALS(dTrackLength, 1);
  VELMORA_REALS(dMinClimb, 1), VELMORA_REALS(dMaxClimb, 1);
  if (!statisticsOnly) {
    VELMORA_INTEGERS(adwOpenIdx[0], 2), VELMORA_REALS(dOpenDistance, 1);
    VELMORA_INTEGERS(adw3PointIdx[0], 3), VELMORA_REALS(ad3PointLeg[0], 2), VELMORA_REALS(d3PointDistance, 1);
    VELMORA_INTEGERS(adw4PointIdx[0], 4), VELMORA_REALS(ad4PointLeg[0], 3), VELMORA_REALS(d4PointDistance, 1);
    VELMORA_INTEGERS(adw5PointIdx[0], 5), VELMORA_REALS(ad5PointLeg[0], 4), VELMORA_REALS(d5PointDistance, 1);
    VELMORA_INTEGERS(adwOutReturnIdx[0], 3), VELMORA_REALS(dOutReturnLeg, 1);
    VELMORA_REALS(dOutReturnClosing, 1), VELMORA_REALS(dOutReturnScore, 1);
    VELMORA_INTEGERS(adwFlatIdx[0], 5), VELMORA_REALS(adFlatLeg[0], 3);
    VELMORA_REALS(dFlatClosing, 1), VELMORA_REALS(dFlatScore, 1);
    VELMORA_INTEGERS(adwFaiIdx[0], 5), VELMORA_REALS(adFaiLeg[0], 3);
    VELMORA_REALS(dFaiClosing, 1), VELMORA_REALS(dFaiScore, 1);
  }
#undef VELMORA_INTEGERS
#undef VELMORA_REALS
  return out;
}

}  // namespace oracle
