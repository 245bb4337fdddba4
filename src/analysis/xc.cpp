// The greatest cross-country distances (open, 3, 4 and 5 points) and closed
// figures (out-and-return, flat and FAI triangles) of a track.
//
// Up to 2000 sampled points are projected onto a plane and every search runs
// exactly over a matrix of whole-metre distances between them; the results
// are then refined on the full track with ellipsoidal distances. The matrix is
// kept square, so that both legs met by a corner run over contiguous memory,
// and the cubic triangle search skips, with exact upper bounds, every
// combination that cannot reach the best one: the results are those of the
// plain nested loops, ties included (the later candidate wins).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "analysis/analysis.h"
#include "analysis/stats.h"
#include "common/conv.h"

namespace {

constexpr int32_t kMaxSamples = 2000;
// Closing gap, whole metres on the plane, metres on the ellipsoid.
constexpr int32_t kMaxGap = 800;
constexpr double kMaxGapMetres = 800.0;
// Planar distances are capped far beyond any flight (twice around the earth)
// so that garbage positions cannot overflow the integer sums below: four
// cells, or seven times three cells, stay within 32 bits.
constexpr int32_t kMaxCell = 80000000;
constexpr int32_t kNoGap = 999999999;
// The legs met at a triangle's second corner are bounded by the greatest and
// least distance of each row over blocks of samples, and over super-blocks of
// kBlocksPerSuper blocks that screen the blocks.
constexpr int32_t kBlock = 16;
constexpr int32_t kBlocksPerSuper = 8;
constexpr int32_t kSuper = kBlock * kBlocksPerSuper;
// The triangle search first runs exactly on about this many evenly spaced
// samples; their best figures are genuine candidates and let the full search
// skip, from the start, everything that cannot reach them.
constexpr int32_t kSeedSamples = 160;

struct SampleMatrix {
  int32_t m;
  int32_t nBlocks;
  int32_t nSupers;
  uint32_t* pdwIndex;    // track index of each sample
  int32_t* pnD;          // m x m, D(i, j) at i * m + j, symmetric
  int32_t* pnBlockMax;   // m x nBlocks, greatest D(i, j) over the block of j
  int32_t* pnBlockMin;   // m x nBlocks, least D(i, j) over the block of j
  int32_t* pnSuperMax;   // m x nSupers, the same over super-blocks
  int32_t* pnSuperMin;
  int32_t* pnMaxFwd;     // greatest D(i, j) over j >= i
  int32_t* pnFwd;        // first j where it is reached
  int32_t* pnMaxBwd;     // greatest D(i, j) over i <= j
  int32_t* pnBwd;        // first i where it is reached
  int32_t* pnGapRow;     // working rows of the triangle search: 4 x m
  // Closing gap of every pair a < c: the least D(s, f) over s <= a and
  // f >= c, capped at 65535 (only gaps below 800 m matter), row a holding
  // c = a + 1 ... m - 1.
  uint16_t* pwGap;
};

int32_t MaxOf(const int32_t* p, int32_t count) {
  int32_t best = INT32_MIN;
  for (int32_t k = 0; k < count; ++k) best = p[k] > best ? p[k] : best;
  return best;
}

int32_t MinOf(const int32_t* p, int32_t count) {
  int32_t best = INT32_MAX;
  for (int32_t k = 0; k < count; ++k) best = p[k] < best ? p[k] : best;
  return best;
}

int32_t MaxOfSums(const int32_t* p, const int32_t* q, int32_t count) {
  int32_t best = INT32_MIN;
  for (int32_t k = 0; k < count; ++k) {
    int32_t v = p[k] + q[k];
    best = v > best ? v : best;
  }
  return best;
}

// Last k in [0, count) with p[k] + q[k] == value, or -1.
int32_t FindLastSum(const int32_t* p, const int32_t* q, int32_t count, int32_t value) {
  for (int32_t k = count - 1; k >= 0; --k)
    if (p[k] + q[k] == value) return k;
  return -1;
}

// What an FAI triangle with corners a and c scoring at least the goal needs
// of the legs x = D(a, b) and y = D(b, c), e = D(a, c) given. With the
// perimeter P = x + y + e >= goal + gap and every leg >= floor(7·P / 25),
// that is 7·P <= 25·leg + 24:
//   x + y >= nNeed                      (the goal)
//   x, y >= nLeg = floor(7·(goal + gap) / 25)
//   x + y <= nUpper = floor((18·e + 24) / 7)   (leg e)
//   18·x - 7·y >= nBalance = 7·e - 24, and the same with x and y swapped,
// and, these combined, each of x and y within a band around e:
//   11·leg >= 7·e - 24 = nBalance and 7·leg <= 11·e + 24 = nBand.
struct FaiBounds {
  int32_t nNeed;
  int32_t nLeg;
  int32_t nUpper;
  int32_t nBalance;
  int32_t nBand;
};

// Whether a block whose legs lie within [xMin, xMax] and [yMin, yMax] can
// hold such a corner b; every test is necessary for one of its points.
inline bool FaiBlockMayHold(int32_t xMax, int32_t yMax, int32_t xMin, int32_t yMin, const FaiBounds& f) {
  return (xMax >= f.nLeg) & (yMax >= f.nLeg) & (xMax + yMax >= f.nNeed) & (xMin + yMin <= f.nUpper) &
         (18 * xMax - 7 * yMin >= f.nBalance) & (18 * yMax - 7 * xMin >= f.nBalance) &
         (11 * xMax >= f.nBalance) & (11 * yMax >= f.nBalance) & (7 * xMin <= f.nBand) & (7 * yMin <= f.nBand);
}

bool AnyFaiBlock(const int32_t* xMax, const int32_t* yMax, const int32_t* xMin, const int32_t* yMin,
                 int32_t count, const FaiBounds& f) {
  int any = 0;
  for (int32_t k = 0; k < count; ++k) any |= FaiBlockMayHold(xMax[k], yMax[k], xMin[k], yMin[k], f);
  return any != 0;
}

// Planar distance in whole metres, rounded half up and capped; NaN from an
// unprojectable position gives the cap.
inline int32_t ToCell(double squared) {
  double r = __builtin_sqrt(squared) + 0.5;
  return static_cast<int32_t>(r < kMaxCell ? r : kMaxCell);
}

// Row i of the matrix. Square roots are correctly rounded in either form, so
// the two lanes give the same cells as the plain loop.
void FillDistanceRow(const double* x, const double* y, int32_t i, int32_t m, int32_t* row) {
  double xi = x[i], yi = y[i];
  int32_t j = 0;
#if defined(__SSE2__)
  const __m128d vxi = _mm_set1_pd(xi), vyi = _mm_set1_pd(yi);
  const __m128d half = _mm_set1_pd(0.5), cap = _mm_set1_pd(kMaxCell);
  for (; j + 2 <= m; j += 2) {
    __m128d dx = _mm_sub_pd(_mm_loadu_pd(x + j), vxi);
    __m128d dy = _mm_sub_pd(_mm_loadu_pd(y + j), vyi);
    __m128d r = _mm_add_pd(_mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy))), half);
    // Keeps r where r < cap, the cap elsewhere (NaN included).
    __m128d below = _mm_cmplt_pd(r, cap);
    r = _mm_or_pd(_mm_and_pd(below, r), _mm_andnot_pd(below, cap));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + j), _mm_cvttpd_epi32(r));
  }
#endif
  for (; j < m; ++j) {
    double dx = x[j] - xi;
    double dy = y[j] - yi;
    row[j] = ToCell(dx * dx + dy * dy);
  }
}

// The matrix is the one large block (16 MB at 2000 samples) and is written
// once in full: on 2 MB pages it costs a handful of page faults instead of
// thousands. Where the system declines, ordinary pages serve as well.
int32_t* AllocateMatrix(size_t bytes) {
  constexpr size_t kHugePage = size_t{2} << 20;
  if (bytes >= kHugePage) {
    size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p) {
#if defined(MADV_HUGEPAGE)
      madvise(p, rounded, MADV_HUGEPAGE);
#endif
      return static_cast<int32_t*>(p);
    }
  }
  return static_cast<int32_t*>(std::malloc(bytes));
}

void FreeMatrix(SampleMatrix* s) {
  std::free(s->pdwIndex);
  std::free(s->pnD);
  std::free(s->pnBlockMax);
  std::free(s->pnBlockMin);
  std::free(s->pnSuperMax);
  std::free(s->pnSuperMin);
  std::free(s->pnMaxFwd);
  std::free(s->pnGapRow);
  std::free(s->pwGap);
  std::memset(s, 0, sizeof(*s));
}

void ToGeoPos(const TrackPoint* p, GeoPos* out) {
  ArcPos arc{p->nLatitude, p->nLongitude};
  ConvertArcToGeoPos(&arc, out);
}

// Samples the track, projects the samples and fills the matrix with its
// per-row maxima. -1 when memory runs out (nothing left allocated).
int BuildSampleMatrix(const TrackPoint* p, int32_t n, SampleMatrix* s) {
  std::memset(s, 0, sizeof(*s));
  int32_t m = n <= kMaxSamples ? n : kMaxSamples;
  s->m = m;
  s->nBlocks = (m + kBlock - 1) / kBlock;
  s->nSupers = (m + kSuper - 1) / kSuper;
  size_t mm = static_cast<size_t>(m) * static_cast<size_t>(m);
  s->pdwIndex = static_cast<uint32_t*>(std::malloc(m * sizeof(uint32_t)));
  s->pnD = AllocateMatrix(mm * sizeof(int32_t));
  s->pnBlockMax = static_cast<int32_t*>(std::malloc(static_cast<size_t>(m) * s->nBlocks * sizeof(int32_t)));
  s->pnBlockMin = static_cast<int32_t*>(std::malloc(static_cast<size_t>(m) * s->nBlocks * sizeof(int32_t)));
  s->pnSuperMax = static_cast<int32_t*>(std::malloc(static_cast<size_t>(m) * s->nSupers * sizeof(int32_t)));
  s->pnSuperMin = static_cast<int32_t*>(std::malloc(static_cast<size_t>(m) * s->nSupers * sizeof(int32_t)));
  s->pnMaxFwd = static_cast<int32_t*>(std::malloc(4 * static_cast<size_t>(m) * sizeof(int32_t)));
  s->pnGapRow = static_cast<int32_t*>(std::malloc(4 * static_cast<size_t>(m) * sizeof(int32_t)));
  s->pwGap = static_cast<uint16_t*>(std::malloc((static_cast<size_t>(m) * (m - 1) / 2 + 1) * sizeof(uint16_t)));
  double* xy = static_cast<double*>(std::malloc(2 * static_cast<size_t>(m) * sizeof(double)));
  if (!s->pdwIndex || !s->pnD || !s->pnBlockMax || !s->pnBlockMin || !s->pnSuperMax || !s->pnSuperMin ||
      !s->pnMaxFwd || !s->pnGapRow || !s->pwGap || !xy) {
    std::free(xy);
    FreeMatrix(s);
    return -1;
  }
  s->pnFwd = s->pnMaxFwd + m;
  s->pnMaxBwd = s->pnMaxFwd + 2 * m;
  s->pnBwd = s->pnMaxFwd + 3 * m;

  // Central meridian halfway between the extreme longitudes.
  int32_t minLon = p[0].nLongitude, maxLon = p[0].nLongitude;
  for (int32_t i = 1; i < n; ++i) {
    if (p[i].nLongitude < minLon) minLon = p[i].nLongitude;
    if (p[i].nLongitude > maxLon) maxLon = p[i].nLongitude;
  }
  double central = (minLon * kSemicircleToRadian + maxLon * kSemicircleToRadian) / 2.0;

  // Even sampling by an accumulator: exactly m samples, point 0 first.
  double* x = xy;
  double* y = xy + m;
  int64_t acc = n;
  int32_t count = 0;
  for (int32_t i = 0; i < n && count < m; ++i) {
    bool take = true;
    if (n > kMaxSamples) {
      acc += kMaxSamples - 1;
      take = acc >= n;
      if (take) acc -= n;
    }
    if (!take) continue;
    GeoPos geo;
    ToGeoPos(&p[i], &geo);
    MapPos map;
    ConvertGeoToMapPos(&geo, &central, &map);
    s->pdwIndex[count] = static_cast<uint32_t>(i);
    x[count] = map.dX;
    y[count] = map.dY;
    ++count;
  }

  // Whole metres, rounded half up. Each cell is computed from the same two
  // differences whichever way round, so the matrix is exactly symmetric.
  for (int32_t i = 0; i < m; ++i) {
    FillDistanceRow(x, y, i, m, s->pnD + static_cast<size_t>(i) * m);
    s->pnD[static_cast<size_t>(i) * m + i] = 0;
  }
  std::free(xy);

  for (int32_t i = 0; i < m; ++i) {
    const int32_t* row = s->pnD + static_cast<size_t>(i) * m;
    // Forward: over j >= i, the first j with the greatest distance.
    int32_t best = MaxOf(row + i, m - i);
    s->pnMaxFwd[i] = 0;
    s->pnFwd[i] = i < m - 1 ? i + 1 : m - 1;
    if (best > 0) {
      s->pnMaxFwd[i] = best;
      for (int32_t j = i; j < m; ++j)
        if (row[j] == best) {
          s->pnFwd[i] = j;
          break;
        }
    }
    // Backward: D(k, i) over k <= i is row i up to the diagonal.
    best = MaxOf(row, i + 1);
    s->pnMaxBwd[i] = 0;
    s->pnBwd[i] = i > 0 ? i - 1 : 0;
    if (best > 0) {
      s->pnMaxBwd[i] = best;
      for (int32_t k = 0; k <= i; ++k)
        if (row[k] == best) {
          s->pnBwd[i] = k;
          break;
        }
    }
    int32_t* blocks = s->pnBlockMax + static_cast<size_t>(i) * s->nBlocks;
    int32_t* least = s->pnBlockMin + static_cast<size_t>(i) * s->nBlocks;
    for (int32_t b = 0; b < s->nBlocks; ++b) {
      int32_t from = b * kBlock;
      int32_t len = m - from < kBlock ? m - from : kBlock;
      blocks[b] = MaxOf(row + from, len);
      least[b] = MinOf(row + from, len);
    }
    int32_t* superMax = s->pnSuperMax + static_cast<size_t>(i) * s->nSupers;
    int32_t* superMin = s->pnSuperMin + static_cast<size_t>(i) * s->nSupers;
    for (int32_t b = 0; b < s->nSupers; ++b) {
      int32_t from = b * kBlocksPerSuper;
      int32_t len = s->nBlocks - from < kBlocksPerSuper ? s->nBlocks - from : kBlocksPerSuper;
      superMax[b] = MaxOf(blocks + from, len);
      superMin[b] = MinOf(least + from, len);
    }
  }
  return 0;
}

inline const int32_t* Row(const SampleMatrix* s, int32_t i) { return s->pnD + static_cast<size_t>(i) * s->m; }

void StoreLegs(const TrackAnalysis* a, const uint32_t* idx, int legs, double* leg, double* sum) {
  double total = 0.0;
  for (int k = 0; k < legs; ++k) {
    leg[k] = CalcLegDistance(&a->pPoints[idx[k]], &a->pPoints[idx[k + 1]]);
    total += leg[k];
  }
  *sum = total;
}

void FindOpenDistances(TrackAnalysis* a, const SampleMatrix* s) {
  int32_t m = s->m;
  const uint32_t* ix = s->pdwIndex;

  // Open distance.
  int32_t best = -1, bi = 0;
  for (int32_t i = 0; i <= m - 2; ++i)
    if (s->pnMaxFwd[i] >= best) {
      best = s->pnMaxFwd[i];
      bi = i;
    }
  uint32_t p0 = ix[bi], p1 = ix[s->pnFwd[bi]];
  CheckTp0Distance(a, &p0, &p1);
  a->adwOpenIdx[0] = p0;
  a->adwOpenIdx[1] = p1;
  a->dOpenDistance = CalcLegDistance(&a->pPoints[p0], &a->pPoints[p1]);

  // Three points: the turnpoint joins its farthest earlier and later sample.
  best = -1;
  int32_t bb = 1;
  for (int32_t b = 1; b <= m - 2; ++b) {
    int32_t v = s->pnMaxBwd[b] + s->pnMaxFwd[b];
    if (v >= best) {
      best = v;
      bb = b;
    }
  }
  uint32_t q[5] = {ix[s->pnBwd[bb]], ix[bb], ix[s->pnFwd[bb]], 0, 0};
  CheckTp1Distance(a, &q[0], &q[1], &q[2]);
  std::memcpy(a->adw3PointIdx, q, 3 * sizeof(uint32_t));
  StoreLegs(a, a->adw3PointIdx, 2, a->ad3PointLeg, &a->d3PointDistance);

  // Four points: over every pair of inner turnpoints b < c, c inner.
  best = -1;
  bb = 1;
  int32_t bc = 2;
  for (int32_t b = 1; b <= m - 3; ++b) {
    const int32_t* rb = Row(s, b);
    int32_t count = m - 2 - b;  // c = b + 1 ... m - 2
    int32_t inner = MaxOfSums(rb + b + 1, s->pnMaxFwd + b + 1, count);
    int32_t v = s->pnMaxBwd[b] + inner;
    if (v >= best) {
      best = v;
      bb = b;
      bc = inner;  // the sum; its sample is looked up once, below
    }
  }
  bc = bb + 1 + FindLastSum(Row(s, bb) + bb + 1, s->pnMaxFwd + bb + 1, m - 2 - bb, bc);
  q[0] = ix[s->pnBwd[bb]];
  q[1] = ix[bb];
  q[2] = ix[bc];
  q[3] = ix[s->pnFwd[bc]];
  CheckTp2Distance(a, &q[0], &q[1], &q[2], &q[3]);
  std::memcpy(a->adw4PointIdx, q, 4 * sizeof(uint32_t));
  StoreLegs(a, a->adw4PointIdx, 3, a->ad4PointLeg, &a->d4PointDistance);

  // Five points: the best turnpoint on either side of each middle sample c.
  best = -1;
  bb = 1;
  bc = 2;
  int32_t bd = 3;
  for (int32_t c = 2; c <= m - 3; ++c) {
    const int32_t* rc = Row(s, c);
    int32_t before = MaxOfSums(s->pnMaxBwd + 1, rc + 1, c - 1);         // b = 1 ... c - 1
    int32_t after = MaxOfSums(rc + c + 1, s->pnMaxFwd + c + 1, m - 2 - c);  // d = c + 1 ... m - 2
    if (before + after >= best) {
      best = before + after;
      bc = c;
      bb = before;  // the sums; their samples are looked up once, below
      bd = after;
    }
  }
  bb = 1 + FindLastSum(s->pnMaxBwd + 1, Row(s, bc) + 1, bc - 1, bb);
  bd = bc + 1 + FindLastSum(Row(s, bc) + bc + 1, s->pnMaxFwd + bc + 1, m - 2 - bc, bd);
  q[0] = ix[s->pnBwd[bb]];
  q[1] = ix[bb];
  q[2] = ix[bc];
  q[3] = ix[bd];
  q[4] = ix[s->pnFwd[bd]];
  CheckTp3Distance(a, &q[0], &q[1], &q[2], &q[3], &q[4]);
  std::memcpy(a->adw5PointIdx, q, 5 * sizeof(uint32_t));
  StoreLegs(a, a->adw5PointIdx, 4, a->ad5PointLeg, &a->d5PointDistance);
}

void FindOutAndReturn(TrackAnalysis* a, const SampleMatrix* s) {
  printf("Finding greatest out-and-return (gap = 800m)\n");
  std::memset(a->adwOutReturnIdx, 0, sizeof(a->adwOutReturnIdx));
  a->dOutReturnLeg = 0.0;
  a->dOutReturnClosing = 0.0;
  a->dOutReturnScore = 0.0;

  int32_t m = s->m;
  int32_t best = -999999999, ba = -1, bb = 0, bc = 0;
  for (int32_t a0 = 0; a0 <= m - 3; ++a0) {
    // No turnpoint of this start can score more than twice its farthest
    // later sample; only a score that ties or beats the best matters.
    if (2 * s->pnMaxFwd[a0] < best) continue;
    const int32_t* ra = Row(s, a0);
    int32_t far = -1, farAt = a0;
    for (int32_t c = a0 + 2; c < m; ++c) {
      if (ra[c - 1] >= far) {  // the latest of equal turnpoints wins
        far = ra[c - 1];
        farAt = c - 1;
      }
      if (ra[c] < kMaxGap) {
        int32_t score = 2 * far - ra[c];
        if (score >= best) {
          best = score;
          ba = a0;
          bb = farAt;
          bc = c;
        }
      }
    }
  }
  if (ba < 0 || best < 0) return;
  uint32_t p0 = s->pdwIndex[ba], p1 = s->pdwIndex[bb], p2 = s->pdwIndex[bc];
  CheckOutAndReturn(a, &p0, &p1, &p2);
  a->adwOutReturnIdx[0] = p0;
  a->adwOutReturnIdx[1] = p1;
  a->adwOutReturnIdx[2] = p2;
  a->dOutReturnLeg = CalcLegDistance(&a->pPoints[p0], &a->pPoints[p1]);
  a->dOutReturnClosing = CalcLegDistance(&a->pPoints[p0], &a->pPoints[p2]);
  a->dOutReturnScore = 2.0 * a->dOutReturnLeg - a->dOutReturnClosing;
}

// Row a of the closing gaps; its cell [c - a - 1] belongs to sample c.
inline uint16_t* GapRow(const SampleMatrix* s, int32_t a0) {
  return s->pwGap + static_cast<size_t>(a0) * (2 * static_cast<size_t>(s->m) - a0 - 1) / 2;
}

// The closing gaps of every pair, row after row: MC(a, c) is the least of
// D(a, f) over f >= c and MC(a - 1, c).
void ComputeClosingGaps(const SampleMatrix* s) {
  int32_t m = s->m;
  for (int32_t a0 = 0; a0 <= m - 2; ++a0) {
    const int32_t* ra = Row(s, a0);
    uint16_t* row = GapRow(s, a0);
    const uint16_t* above = a0 > 0 ? GapRow(s, a0 - 1) : nullptr;
    int32_t least = kNoGap;
    for (int32_t c = m - 1; c > a0; --c) {
      if (ra[c] < least) least = ra[c];
      if (above && above[c - a0] < least) least = above[c - a0];
      row[c - a0 - 1] = static_cast<uint16_t>(least < 65535 ? least : 65535);
    }
  }
}

// The samples (s, f) where the closing gap of (a, c) is first reached: rows
// 0 ... a, walking each from the last sample down to c, this row's distance
// before the rows above it, a strictly smaller gap replacing the pair.
void FindClosingPair(const SampleMatrix* s, int32_t a, int32_t c, int32_t* start, int32_t* finish) {
  int32_t m = s->m;
  int32_t* gap = s->pnGapRow;
  int32_t* from = s->pnGapRow + m;
  int32_t* to = s->pnGapRow + 2 * m;
  for (int32_t a0 = 0; a0 <= a; ++a0) {
    const int32_t* ra = Row(s, a0);
    int32_t least = kNoGap, ls = 0, lf = 0;
    for (int32_t c0 = m - 1; c0 >= c; --c0) {
      if (ra[c0] < least) {
        least = ra[c0];
        ls = a0;
        lf = c0;
      }
      if (a0 > 0 && gap[c0] < least) {
        least = gap[c0];
        ls = from[c0];
        lf = to[c0];
      }
      gap[c0] = least;
      from[c0] = ls;
      to[c0] = lf;
    }
  }
  *start = from[c];
  *finish = to[c];
}

// 7·P <= 25·leg + 24 says leg >= floor(P · 7 / 25), the FAI share of 28 %.
inline bool IsFaiLeg(int32_t leg, int32_t perimeter) { return 7 * perimeter <= 25 * leg + 24; }

struct Figure {
  int32_t nBest;
  int32_t anIdx[5];  // samples: start, three corners, finish
};

// Exact search over every step-th sample only, with the true gaps: its best
// figures are genuine candidates, so the full search need only look for
// figures at least as good.
void SeedTriangles(const SampleMatrix* s, int32_t* seedFlat, int32_t* seedFai) {
  *seedFlat = -1;
  *seedFai = -1;
  int32_t m = s->m;
  if (m < 2 * kSeedSamples) return;
  int32_t step = (m + kSeedSamples - 1) / kSeedSamples;
  for (int32_t a0 = 0; a0 < m; a0 += step) {
    const int32_t* ra = Row(s, a0);
    const uint16_t* gaps = GapRow(s, a0);
    for (int32_t c = a0 + 2 * step; c < m; c += step) {
      int32_t closing = gaps[c - a0 - 1];
      if (closing >= kMaxGap) continue;
      const int32_t* rc = Row(s, c);
      int32_t e = ra[c];
      for (int32_t b = a0 + step; b < c; b += step) {
        int32_t x = ra[b], y = rc[b];
        int32_t perimeter = x + y + e;
        int32_t score = perimeter - closing;
        if (score > *seedFlat) *seedFlat = score;
        if (score > *seedFai && IsFaiLeg(x, perimeter) && IsFaiLeg(y, perimeter) && IsFaiLeg(e, perimeter))
          *seedFai = score;
      }
    }
  }
}

// Whether some b of a block makes an FAI triangle at the goal: x = D(a, b)
// and y = D(b, c) given for each b.
bool AnyFaiCorner(const int32_t* x, const int32_t* y, int32_t count, int32_t e, const FaiBounds& f) {
  int any = 0;
  for (int32_t k = 0; k < count; ++k) {
    int32_t legs = x[k] + y[k];
    int32_t p7 = 7 * (legs + e);
    any |= (legs >= f.nNeed) & (legs <= f.nUpper) & (p7 <= 25 * x[k] + 24) & (p7 <= 25 * y[k] + 24);
  }
  return any != 0;
}

// Bounds of one row of the matrix at one granularity.
struct RowBounds {
  const int32_t* pnMax;
  const int32_t* pnMin;
};

RowBounds BlockBounds(const SampleMatrix* s, int32_t row) {
  size_t at = static_cast<size_t>(row) * s->nBlocks;
  return {s->pnBlockMax + at, s->pnBlockMin + at};
}

RowBounds SuperBounds(const SampleMatrix* s, int32_t row) {
  size_t at = static_cast<size_t>(row) * s->nSupers;
  return {s->pnSuperMax + at, s->pnSuperMin + at};
}

void RecordTriangle(Figure* f, int32_t score, int32_t a0, int32_t b, int32_t c) {
  f->nBest = score;
  f->anIdx[1] = a0;
  f->anIdx[2] = b;
  f->anIdx[3] = c;
}

// The plain loops (first corner outermost, then the third, then the second,
// all ascending) keep the last of equal best scores. Walking the same
// candidates in the opposite order and keeping only strict improvements
// finds that same one, and lets every bound skip the ties as well.
void SearchTriangles(const SampleMatrix* s, Figure* flat, Figure* fai) {
  int32_t m = s->m;
  ComputeClosingGaps(s);
  int32_t seedFlat, seedFai;
  SeedTriangles(s, &seedFlat, &seedFai);
  flat->nBest = -1;
  fai->nBest = -1;
  bool foundFlat = false, foundFai = false;
  int32_t* nearest = s->pnGapRow;  // greatest D(a, b) over a < b < c, by c
  for (int32_t a0 = m - 3; a0 >= 0; --a0) {
    const int32_t* ra = Row(s, a0);
    const uint16_t* gaps = GapRow(s, a0);
    RowBounds blockA = BlockBounds(s, a0), superA = SuperBounds(s, a0);
    nearest[a0 + 2] = ra[a0 + 1];
    for (int32_t c = a0 + 3; c < m; ++c) nearest[c] = ra[c - 1] > nearest[c - 1] ? ra[c - 1] : nearest[c - 1];
    for (int32_t c = m - 1; c >= a0 + 2; --c) {
      int32_t closing = gaps[c - a0 - 1];
      if (closing >= kMaxGap) continue;
      int32_t e = ra[c];
      // A candidate counts when it beats the best found so far, or reaches
      // the seed while none is found: goal is the least score that counts,
      // need the least x + y of the legs that meet at b.
      int32_t goalFlat = foundFlat ? flat->nBest + 1 : seedFlat;
      int32_t goalFai = foundFai ? fai->nBest + 1 : seedFai;
      int32_t needFlat = goalFlat + closing - e;
      // Leg bounds of an FAI candidate at the goal; floor(7·P / 25) is also
      // ceil((7·P - 24) / 25), the least leg with 25·leg + 24 >= 7·P.
      FaiBounds fb{goalFai + closing - e, goalFai + closing > 0 ? 7 * (goalFai + closing) / 25 : 0,
                   (18 * e + 24) / 7, 7 * e - 24, 11 * e + 24};
      int32_t nearA = nearest[c], farC = s->pnMaxBwd[c];
      bool tryFlat = nearA + farC >= needFlat;
      bool tryFai = fb.nNeed <= fb.nUpper && nearA >= fb.nLeg && farC >= fb.nLeg && nearA + farC >= fb.nNeed;
      if (!tryFlat && !tryFai) continue;
      const int32_t* rc = Row(s, c);
      RowBounds blockC = BlockBounds(s, c), superC = SuperBounds(s, c);
      int32_t kLo = (a0 + 1) / kBlock, kHi = (c - 1) / kBlock;
      int32_t sLo = kLo / kBlocksPerSuper, sHi = kHi / kBlocksPerSuper;
      int32_t supers = sHi - sLo + 1;
      if (tryFlat) tryFlat = MaxOfSums(superA.pnMax + sLo, superC.pnMax + sLo, supers) >= needFlat;
      if (tryFai)
        tryFai = AnyFaiBlock(superA.pnMax + sLo, superC.pnMax + sLo, superA.pnMin + sLo, superC.pnMin + sLo, supers,
                             fb);
      for (int32_t sk = sHi; sk >= sLo && (tryFlat || tryFai); --sk) {
        bool flatSuper = tryFlat && superA.pnMax[sk] + superC.pnMax[sk] >= needFlat;
        bool faiSuper =
            tryFai && FaiBlockMayHold(superA.pnMax[sk], superC.pnMax[sk], superA.pnMin[sk], superC.pnMin[sk], fb);
        if (!flatSuper && !faiSuper) continue;
        int32_t kFrom = sk * kBlocksPerSuper > kLo ? sk * kBlocksPerSuper : kLo;
        int32_t kTo = (sk + 1) * kBlocksPerSuper - 1 < kHi ? (sk + 1) * kBlocksPerSuper - 1 : kHi;
        for (int32_t k = kTo; k >= kFrom; --k) {
          bool flatHere = flatSuper && blockA.pnMax[k] + blockC.pnMax[k] >= needFlat;
          bool faiHere =
              faiSuper && FaiBlockMayHold(blockA.pnMax[k], blockC.pnMax[k], blockA.pnMin[k], blockC.pnMin[k], fb);
          if (!flatHere && !faiHere) continue;
          int32_t from = k * kBlock > a0 + 1 ? k * kBlock : a0 + 1;
          int32_t to = (k + 1) * kBlock < c ? (k + 1) * kBlock : c;
          // Most blocks that pass their bounds hold no improvement: a
          // vector test of the whole block comes before the scan.
          if (flatHere) flatHere = MaxOfSums(ra + from, rc + from, to - from) >= needFlat;
          if (faiHere) faiHere = AnyFaiCorner(ra + from, rc + from, to - from, e, fb);
          if (!flatHere && !faiHere) continue;
          for (int32_t b = to - 1; b >= from; --b) {
            int32_t x = ra[b], y = rc[b];
            int32_t legs = x + y;
            if (flatHere && legs >= needFlat) {
              RecordTriangle(flat, legs + e - closing, a0, b, c);
              foundFlat = true;
              needFlat = flat->nBest + 1 + closing - e;
            }
            if (faiHere && legs >= fb.nNeed) {
              int32_t perimeter = legs + e;
              if (IsFaiLeg(x, perimeter) && IsFaiLeg(y, perimeter) && IsFaiLeg(e, perimeter)) {
                RecordTriangle(fai, perimeter - closing, a0, b, c);
                foundFai = true;
                fb.nNeed = fai->nBest + 1 + closing - e;
              }
            }
          }
        }
      }
    }
  }
  if (flat->nBest >= 0) FindClosingPair(s, flat->anIdx[1], flat->anIdx[3], &flat->anIdx[0], &flat->anIdx[4]);
  if (fai->nBest >= 0) FindClosingPair(s, fai->anIdx[1], fai->anIdx[3], &fai->anIdx[0], &fai->anIdx[4]);
}

void StoreTriangle(const TrackAnalysis* a, const SampleMatrix* s, const Figure* f, bool isFai, uint32_t* idx,
                   double* leg, double* closing, double* score) {
  if (f->nBest < 0) return;
  uint32_t q[5];
  for (int k = 0; k < 5; ++k) q[k] = s->pdwIndex[f->anIdx[k]];
  if (isFai)
    CheckFaiTriangle(a, &q[0], &q[1], &q[2], &q[3], &q[4]);
  else
    CheckFlatTriangle(a, &q[0], &q[1], &q[2], &q[3], &q[4]);
  std::memcpy(idx, q, sizeof(q));
  const TrackPoint* p = a->pPoints;
  leg[0] = CalcLegDistance(&p[q[1]], &p[q[2]]);
  leg[1] = CalcLegDistance(&p[q[2]], &p[q[3]]);
  leg[2] = CalcLegDistance(&p[q[3]], &p[q[1]]);
  *closing = CalcLegDistance(&p[q[0]], &p[q[4]]);
  *score = leg[0] + leg[1] + leg[2] - *closing;
}

void FindTriangles(TrackAnalysis* a, const SampleMatrix* s) {
  printf("Finding greatest triangles (gap = 800m)\n");
  std::memset(a->adwFlatIdx, 0, sizeof(a->adwFlatIdx));
  std::memset(a->adFlatLeg, 0, sizeof(a->adFlatLeg));
  a->dFlatClosing = 0.0;
  a->dFlatScore = 0.0;
  std::memset(a->adwFaiIdx, 0, sizeof(a->adwFaiIdx));
  std::memset(a->adFaiLeg, 0, sizeof(a->adFaiLeg));
  a->dFaiClosing = 0.0;
  a->dFaiScore = 0.0;
  Figure flat{}, fai{};
  SearchTriangles(s, &flat, &fai);
  StoreTriangle(a, s, &flat, false, a->adwFlatIdx, a->adFlatLeg, &a->dFlatClosing, &a->dFlatScore);
  StoreTriangle(a, s, &fai, true, a->adwFaiIdx, a->adFaiLeg, &a->dFaiClosing, &a->dFaiScore);
}

// ---- Refinement on the full track ----------------------------------------

constexpr int kShifts = 5;  // offsets -2 ... +2

// Distances between the candidates of two neighbouring points of a
// combination, computed once: cell [i * 5 + j] for offsets i and j. Pairs
// that no valid combination uses stay unset.
struct LegCache {
  double ad[kShifts * kShifts];
};

void FillLegCache(const TrackAnalysis* a, int64_t from, int64_t to, LegCache* cache) {
  for (int i = 0; i < kShifts; ++i)
    for (int j = 0; j < kShifts; ++j) {
      int64_t f = from + i - 2, t = to + j - 2;
      double d = 0.0;
      if (f >= 0 && f < t && t < a->nPoints) d = CalcLegDistance(&a->pPoints[f], &a->pPoints[t]);
      cache->ad[i * kShifts + j] = d;
    }
}

// k + 2 points, first outermost, offsets ascending; the last combination of
// the greatest sum wins.
void CheckTpDistance(const TrackAnalysis* a, int points, uint32_t** idx) {
  int64_t n = a->nPoints;
  int64_t base[5];
  for (int j = 0; j < points; ++j) base[j] = *idx[j];
  LegCache legs[4];
  for (int j = 0; j + 1 < points; ++j) FillLegCache(a, base[j], base[j + 1], &legs[j]);
  double best = 0.0;
  int bestShift[5] = {2, 2, 2, 2, 2};
  bool found = false;
  int shift[5] = {0, 0, 0, 0, 0};
  int total = 1;
  for (int j = 0; j < points; ++j) total *= kShifts;
  for (int combination = 0; combination < total; ++combination) {
    int rest = combination;
    for (int j = points - 1; j >= 0; --j) {
      shift[j] = rest % kShifts;
      rest /= kShifts;
    }
    bool valid = true;
    int64_t prev = -1;
    for (int j = 0; j < points && valid; ++j) {
      int64_t at = base[j] + shift[j] - 2;
      valid = at > prev && at <= n - points + j;
      prev = at;
    }
    if (!valid) continue;
    double score = 0.0;
    for (int j = 0; j + 1 < points; ++j) score += legs[j].ad[shift[j] * kShifts + shift[j + 1]];
    if (score >= best) {
      best = score;
      std::memcpy(bestShift, shift, sizeof(bestShift));
      found = true;
    }
  }
  if (!found) return;
  for (int j = 0; j < points; ++j) *idx[j] = static_cast<uint32_t>(base[j] + bestShift[j] - 2);
}

void CheckTriangle(const TrackAnalysis* a, bool isFai, uint32_t** idx) {
  int64_t n = a->nPoints;
  int64_t base[5];
  for (int j = 0; j < 5; ++j) base[j] = *idx[j];
  // Legs as scored: first to third corner, first to second, second to third.
  LegCache c13, c12, c23, gap;
  FillLegCache(a, base[1], base[3], &c13);
  FillLegCache(a, base[1], base[2], &c12);
  FillLegCache(a, base[2], base[3], &c23);
  FillLegCache(a, base[0], base[4], &gap);
  double best = 0.0;
  int bestShift[5] = {2, 2, 2, 2, 2};
  for (int s0 = 0; s0 < kShifts; ++s0) {
    int64_t i0 = base[0] + s0 - 2;
    if (i0 < 0 || i0 > n - 5) continue;
    for (int s1 = 0; s1 < kShifts; ++s1) {
      int64_t i1 = base[1] + s1 - 2;
      if (i1 <= i0 || i1 > n - 4) continue;
      for (int s2 = 0; s2 < kShifts; ++s2) {
        int64_t i2 = base[2] + s2 - 2;
        if (i2 <= i1 || i2 > n - 3) continue;
        for (int s3 = 0; s3 < kShifts; ++s3) {
          int64_t i3 = base[3] + s3 - 2;
          if (i3 <= i2 || i3 > n - 2) continue;
          for (int s4 = 0; s4 < kShifts; ++s4) {
            int64_t i4 = base[4] + s4 - 2;
            if (i4 <= i3 || i4 > n - 1) continue;
            double closing = gap.ad[s0 * kShifts + s4];
            if (!(closing < kMaxGapMetres)) continue;
            double l13 = c13.ad[s1 * kShifts + s3];
            double l12 = c12.ad[s1 * kShifts + s2];
            double l23 = c23.ad[s2 * kShifts + s3];
            double sum = l13 + l12 + l23;
            if (isFai && !(l13 >= 0.28 * sum && l12 >= 0.28 * sum && l23 >= 0.28 * sum)) continue;
            double score = sum - closing;
            if (score >= best) {
              best = score;
              int chosen[5] = {s0, s1, s2, s3, s4};
              std::memcpy(bestShift, chosen, sizeof(bestShift));
            }
          }
        }
      }
    }
  }
  if (!(best > 0.0)) return;
  for (int j = 0; j < 5; ++j) *idx[j] = static_cast<uint32_t>(base[j] + bestShift[j] - 2);
}

}  // namespace

void CheckTp0Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1) {
  uint32_t* idx[2] = {p0, p1};
  CheckTpDistance(a, 2, idx);
}

void CheckTp1Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2) {
  uint32_t* idx[3] = {p0, p1, p2};
  CheckTpDistance(a, 3, idx);
}

void CheckTp2Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3) {
  uint32_t* idx[4] = {p0, p1, p2, p3};
  CheckTpDistance(a, 4, idx);
}

void CheckTp3Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                      uint32_t* p4) {
  uint32_t* idx[5] = {p0, p1, p2, p3, p4};
  CheckTpDistance(a, 5, idx);
}

void CheckOutAndReturn(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2) {
  int64_t n = a->nPoints;
  int64_t base[3] = {*p0, *p1, *p2};
  LegCache out, gap;
  FillLegCache(a, base[0], base[1], &out);
  FillLegCache(a, base[0], base[2], &gap);
  double best = 0.0;
  int bestShift[3] = {2, 2, 2};
  for (int s0 = 0; s0 < kShifts; ++s0) {
    int64_t i0 = base[0] + s0 - 2;
    if (i0 < 0 || i0 > n - 3) continue;
    for (int s1 = 0; s1 < kShifts; ++s1) {
      int64_t i1 = base[1] + s1 - 2;
      if (i1 <= i0 || i1 > n - 2) continue;
      for (int s2 = 0; s2 < kShifts; ++s2) {
        int64_t i2 = base[2] + s2 - 2;
        if (i2 <= i1 || i2 > n - 1) continue;
        double closing = gap.ad[s0 * kShifts + s2];
        if (!(closing <= kMaxGapMetres)) continue;
        double score = 2.0 * out.ad[s0 * kShifts + s1] - closing;
        if (score >= best) {
          best = score;
          bestShift[0] = s0;
          bestShift[1] = s1;
          bestShift[2] = s2;
        }
      }
    }
  }
  if (!(best > 0.0)) return;
  *p0 = static_cast<uint32_t>(base[0] + bestShift[0] - 2);
  *p1 = static_cast<uint32_t>(base[1] + bestShift[1] - 2);
  *p2 = static_cast<uint32_t>(base[2] + bestShift[2] - 2);
}

void CheckFlatTriangle(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                       uint32_t* p4) {
  uint32_t* idx[5] = {p0, p1, p2, p3, p4};
  CheckTriangle(a, false, idx);
}

void CheckFaiTriangle(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                      uint32_t* p4) {
  uint32_t* idx[5] = {p0, p1, p2, p3, p4};
  CheckTriangle(a, true, idx);
}

int FindCrossCountryDistances(TrackAnalysis* a) {
  SampleMatrix s;
  if (BuildSampleMatrix(a->pPoints, a->nPoints, &s) != 0) {
    printf("Memory allocation error\n");
    return -1;
  }
  FindOpenDistances(a, &s);
  FindOutAndReturn(a, &s);
  FindTriangles(a, &s);
  FreeMatrix(&s);
  return 0;
}
