// The proven greatest cross-country figures over every fix.
//
// Every fix is placed in earth-centred cartesian space, and a binary tree of
// index ranges keeps the bounding box of each range. The straight chord
// between two positions bounds their ellipsoidal distance from below, and the
// circular arc of the ellipsoid's greatest curvature over the same chord
// bounds it from above (a geodesic curves no more than that); both are taken
// with a margin far beyond the rounding of CalcDistance. Box-to-box chords so
// bound every distance between two ranges of fixes, and the searches skip
// whatever these bounds prove cannot beat the best figure known, starting
// from the sampled search's. What they cannot skip is measured with
// CalcDistance itself, so the results are the true greatest figures.
//
// Distances over 1 to 4 legs run as a dynamic programme over the fixes (the
// greatest path of j legs that ends at each fix), in which a fix takes part
// only where block bounds leave it a chance to beat the known distance; a
// branch and bound over boxes would drown in the near-ties of straight glides.
// Out-and-return and triangles run as a best-first branch and bound over
// tuples of ranges (the corners, or the start and the turnpoint). The
// closing gap of a tuple is the least distance between any start and finish
// its ranges allow, found by a small best-first search of its own (after a
// table of block-to-block bounds has not already ruled the tuple out) and
// remembered, since many tuples share it.
#include "analysis/exact.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <queue>
#include <unordered_map>
#include <vector>

#include "analysis/stats.h"
#include "common/conv.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMaxGapMetres = 800.0;
constexpr double kSemiMajorAxis = 6378137.0;
constexpr double kE2 = 0.006694379990141317;
// a / b^2, the curvature of the meridian at the equator, taken larger.
constexpr double kMaxCurvature = 1.0 / 6335439.0 * 1.000001;
// A best-first search that would need more states than this (about 64 MB)
// gives up and keeps the best figure it has found.
constexpr size_t kMaxStates = size_t{2} << 20;

// Upper bound of CalcDistance between positions at most `chord` apart.
// The arc (2 / k)·asin(k·c / 2) is bounded with asin(x) <= x + x³ / (6·(1 -
// x²)), whose series dominates that of asin term by term. Beyond x = 0.5
// (6300 km) half the circumference bounds every distance.
inline double UpperOfChord(double chord) {
  // Only the same position (distinct positions lie millimetres apart at
  // least) has no chord, and CalcDistance gives it 0: fixes of a pilot
  // standing still then tie exactly and are skipped.
  if (chord == 0.0) return 0.0;
  double x = 0.5 * kMaxCurvature * chord;
  if (!(x < 0.5)) return 2.1e7;
  double x2 = x * x;
  return chord * (1.0 + x2 / (6.0 * (1.0 - x2))) * (1.0 + 1e-8) + 1e-4;
}

// Lower bound of CalcDistance between positions at least `chord` apart.
// CalcDistance gives 0 for positions within 1.5e-9 rad of latitude and 1e-9
// rad of longitude (about 1.2 cm), and may fail (0 as well) only for nearly
// antipodal positions.
inline double LowerOfChord(double chord) {
  if (chord < 0.02 || chord > 1.2e7) return 0.0;
  return chord * (1.0 - 1e-8) - 1e-4;
}

struct Box {
  double lo[3];
  double hi[3];
};

inline double MaxChord(const Box& a, const Box& b) {
  double s = 0.0;
  for (int k = 0; k < 3; ++k) {
    double d = std::max(a.hi[k] - b.lo[k], b.hi[k] - a.lo[k]);
    s += d * d;
  }
  return std::sqrt(s);
}

inline double MinChord(const Box& a, const Box& b) {
  double s = 0.0;
  for (int k = 0; k < 3; ++k) {
    double d = std::max(0.0, std::max(a.lo[k] - b.hi[k], b.lo[k] - a.hi[k]));
    s += d * d;
  }
  return std::sqrt(s);
}

inline double Diagonal2(const Box& a) {
  double s = 0.0;
  for (int k = 0; k < 3; ++k) s += (a.hi[k] - a.lo[k]) * (a.hi[k] - a.lo[k]);
  return s;
}

// A node of the tree: the aligned range [k·2^level, (k+1)·2^level) clipped
// to the track.
struct Node {
  int32_t k;
  int32_t level;
};

// A fix as CalcDistance sees it, with the sine and cosine of its reduced
// latitude computed once instead of at every distance.
struct Fix {
  double lat, lon, sinU, cosU;
};

// Constants of the ellipsoid as CalcDistance uses them.
constexpr double kPi = 3.14159265358979323846;
constexpr double kF = 0.0033528106647474805;
constexpr double kOneMinusF = 0.9966471893352525;
constexpr double kFOver16 = 0.00020955066654671753;
constexpr double kB = 6356752.314245179;
constexpr double kEp2 = 0.006739496742276435;

Fix MakeFix(const GeoPos& g) {
  double u = std::atan(kOneMinusF * std::tan(g.dLatitude));
  return Fix{g.dLatitude, g.dLongitude, std::sin(u), std::cos(u)};
}

// CalcDistance(from, to), 0 where it fails: the same operations in the same
// order on the same values, so the same double (the tests hold the searches
// to the brute force with CalcDistance itself).
double FixDistance(const Fix& from, const Fix& to) {
  if (std::fabs(from.lat - to.lat) < 1.5e-9 && std::fabs(from.lon - to.lon) < 1e-9) return 0.0;
  const double sinU1 = from.sinU, cosU1 = from.cosU, sinU2 = to.sinU, cosU2 = to.cosU;
  double l = to.lon - from.lon;
  if (std::fabs(l) < 1e-10) l = 1e-10;
  double lambda = l, lambdaPrev = 0.0;
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
      return kB * bigA * (sigma - deltaSigma);
    }
    lambdaPrev = lambdaNew;
    lambda = lambdaNew;
  }
  return 0.0;
}

struct Track {
  int32_t n = 0;
  std::vector<Fix> geo;
  std::vector<std::vector<Box>> boxes;  // by level; level 0 holds the fixes
  int32_t blockLevel = 0;               // the level of the bounding tables
  int32_t nBlocks = 0;

  int32_t Lo(Node a) const { return a.k << a.level; }
  int32_t Hi(Node a) const {
    int64_t hi = (static_cast<int64_t>(a.k) + 1) << a.level;
    return hi < n ? static_cast<int32_t>(hi) : n;
  }
  const Box& BoxOf(Node a) const { return boxes[a.level][a.k]; }
  const Box& Point(int32_t i) const { return boxes[0][i]; }
  int32_t Block(int32_t i) const { return i >> blockLevel; }
  Node Root() const { return Node{0, static_cast<int32_t>(boxes.size()) - 1}; }
  double Distance(int32_t from, int32_t to) const { return FixDistance(geo[from], geo[to]); }
};

void BuildTrack(const TrackAnalysis* a, Track* t) {
  int32_t n = a->nPoints;
  t->n = n;
  t->geo.resize(n);
  std::vector<Box> fixes(n);
  for (int32_t i = 0; i < n; ++i) {
    ArcPos arc{a->pPoints[i].nLatitude, a->pPoints[i].nLongitude};
    GeoPos g;
    ConvertArcToGeoPos(&arc, &g);
    t->geo[i] = MakeFix(g);
    double s = std::sin(g.dLatitude), c = std::cos(g.dLatitude);
    double primeVertical = kSemiMajorAxis / std::sqrt(1.0 - kE2 * s * s);
    double xyz[3] = {primeVertical * c * std::cos(g.dLongitude), primeVertical * c * std::sin(g.dLongitude),
                     primeVertical * (1.0 - kE2) * s};
    for (int k = 0; k < 3; ++k) fixes[i].lo[k] = fixes[i].hi[k] = xyz[k];
  }
  t->boxes.push_back(std::move(fixes));
  while (t->boxes.back().size() > 1) {
    const std::vector<Box>& below = t->boxes.back();
    std::vector<Box> up((below.size() + 1) / 2);
    for (size_t k = 0; k < up.size(); ++k) {
      up[k] = below[2 * k];
      if (2 * k + 1 < below.size())
        for (int d = 0; d < 3; ++d) {
          up[k].lo[d] = std::min(up[k].lo[d], below[2 * k + 1].lo[d]);
          up[k].hi[d] = std::max(up[k].hi[d], below[2 * k + 1].hi[d]);
        }
    }
    t->boxes.push_back(std::move(up));
  }
  // Blocks of about the square root of the track: the tables stay small and
  // the fixes of a block few.
  int32_t level = 0;
  while ((int64_t{1} << (2 * level + 2)) <= n) ++level;
  t->blockLevel = std::min(level, static_cast<int32_t>(t->boxes.size()) - 1);
  t->nBlocks = static_cast<int32_t>(t->boxes[t->blockLevel].size());
}

// ---- Distances over 1 to 4 legs --------------------------------------------

// The greatest path of `legs` legs over fixes in strict track order, when
// one reaches `known` (the value of a path that exists): its value, with its
// fixes in idx; -inf otherwise.
double ExactPath(const Track& t, int legs, double known, uint32_t* idx) {
  const int32_t n = t.n, nb = t.nBlocks;
  const std::vector<Box>& blocks = t.boxes[t.blockLevel];
  std::vector<double> up(static_cast<size_t>(nb) * nb);
  for (int32_t x = 0; x < nb; ++x)
    for (int32_t y = x; y < nb; ++y)
      up[static_cast<size_t>(x) * nb + y] = up[static_cast<size_t>(y) * nb + x] =
          UpperOfChord(MaxChord(blocks[x], blocks[y]));
  // fwd[j][b] bounds the paths of j legs that end in block b, bwd[j][b] those
  // that start there.
  std::vector<double> fwd(static_cast<size_t>(legs + 1) * nb, 0.0), bwd(fwd);
  for (int j = 1; j <= legs; ++j)
    for (int32_t b = 0; b < nb; ++b) {
      double f = -kInf, g = -kInf;
      for (int32_t c = 0; c <= b; ++c) f = std::max(f, fwd[(j - 1) * nb + c] + up[static_cast<size_t>(c) * nb + b]);
      for (int32_t c = b; c < nb; ++c) g = std::max(g, bwd[(j - 1) * nb + c] + up[static_cast<size_t>(b) * nb + c]);
      fwd[j * nb + b] = f;
      bwd[j * nb + b] = g;
    }
  const double floor = known - 1e-3;
  // F[j][i]: the greatest path of j legs ending at fix i, or -inf where no
  // path through fix i at position j can reach the floor.
  std::vector<double> F(static_cast<size_t>(legs + 1) * n);
  std::vector<int32_t> pred(static_cast<size_t>(legs + 1) * n, -1);
  for (int32_t i = 0; i < n; ++i) F[i] = bwd[legs * nb + t.Block(i)] >= floor ? 0.0 : -kInf;
  std::vector<double> blockBest(nb);
  std::vector<std::pair<double, int32_t>> candidates;
  for (int j = 1; j <= legs; ++j) {
    const double* prev = &F[static_cast<size_t>(j - 1) * n];
    double* cur = &F[static_cast<size_t>(j) * n];
    int32_t* from = &pred[static_cast<size_t>(j) * n];
    for (int32_t b = 0; b < nb; ++b) {
      double m = -kInf;
      for (int32_t i = b << t.blockLevel; i < std::min(n, (b + 1) << t.blockLevel); ++i) m = std::max(m, prev[i]);
      blockBest[b] = m;
    }
    for (int32_t bi = 0; bi < nb; ++bi) {
      int32_t iLo = bi << t.blockLevel, iHi = std::min(n, (bi + 1) << t.blockLevel);
      double need = floor - bwd[(legs - j) * nb + bi];
      candidates.clear();
      if (fwd[j * nb + bi] >= need)
        for (int32_t c = 0; c <= bi; ++c) {
          double bound = blockBest[c] + up[static_cast<size_t>(c) * nb + bi];
          if (bound >= need) candidates.emplace_back(bound, c);
        }
      std::sort(candidates.begin(), candidates.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
      for (int32_t i = iLo; i < iHi; ++i) {
        double best = need - 1e-6;
        int32_t arg = -1;
        const Box& fix = t.Point(i);
        for (const auto& [bound, c] : candidates) {
          if (bound <= best) break;
          if (blockBest[c] + UpperOfChord(MaxChord(blocks[c], fix)) <= best) continue;
          int32_t hi = std::min(i, std::min(n, (c + 1) << t.blockLevel));
          for (int32_t q = c << t.blockLevel; q < hi; ++q) {
            if (prev[q] == -kInf || prev[q] + UpperOfChord(MaxChord(t.Point(q), fix)) <= best) continue;
            double v = prev[q] + t.Distance(q, i);
            if (v > best) {
              best = v;
              arg = q;
            }
          }
        }
        cur[i] = arg >= 0 ? best : -kInf;
        from[i] = arg;
      }
    }
  }
  double best = -kInf;
  int32_t end = -1;
  for (int32_t i = 0; i < n; ++i)
    if (F[static_cast<size_t>(legs) * n + i] > best) {
      best = F[static_cast<size_t>(legs) * n + i];
      end = i;
    }
  if (end < 0) return -kInf;
  for (int j = legs; j >= 0; --j) {
    idx[j] = static_cast<uint32_t>(end);
    if (j > 0) end = pred[static_cast<size_t>(j) * n + end];
  }
  return best;
}

// ---- Closing gaps -----------------------------------------------------------

// The aligned nodes that cover [lo, hi) exactly.
void Cover(const Track& t, int32_t lo, int32_t hi, std::vector<Node>* out) {
  out->clear();
  const int32_t top = static_cast<int32_t>(t.boxes.size()) - 1;
  while (lo < hi) {
    int32_t level = 0;
    while (level < top && (lo & ((1 << (level + 1)) - 1)) == 0 &&
           std::min<int64_t>(int64_t{lo} + (int64_t{1} << (level + 1)), t.n) <= hi)
      ++level;
    out->push_back(Node{lo >> level, level});
    lo = t.Hi(Node{lo >> level, level});
  }
}

struct Gap {
  double d;  // +inf when no pair is close enough
  int32_t s, f;
};

// The least CalcDistance(s, f) of at most `limit` over s in [sLo, sHi) and f
// in [fLo, fHi): best first over pairs of nodes, nearest lower bound first,
// until no pair left can be strictly nearer than the best found.
Gap LeastGap(const Track& t, int32_t sLo, int32_t sHi, int32_t fLo, int32_t fHi, double limit) {
  Gap g{kInf, -1, -1};
  if (sLo >= sHi || fLo >= fHi) return g;
  struct Pair {
    double lower;
    Node s, f;
    bool operator<(const Pair& o) const { return lower > o.lower; }
  };
  auto lowerOf = [&t](Node s, Node f) {
    if (s.level == 0 && f.level == 0) return t.Distance(s.k, f.k);
    return LowerOfChord(MinChord(t.BoxOf(s), t.BoxOf(f)));
  };
  std::vector<Node> ss, fs;
  Cover(t, sLo, sHi, &ss);
  Cover(t, fLo, fHi, &fs);
  std::priority_queue<Pair> heap;
  for (Node s : ss)
    for (Node f : fs) {
      double lower = lowerOf(s, f);
      if (lower <= limit) heap.push(Pair{lower, s, f});
    }
  while (!heap.empty()) {
    Pair p = heap.top();
    heap.pop();
    // Pairs that can at best tie, such as the fixes of a pilot standing
    // still, are of no use.
    if (p.lower >= g.d) break;
    if (p.s.level == 0 && p.f.level == 0) {
      g = Gap{p.lower, p.s.k, p.f.k};
      break;
    }
    Node s = p.s, f = p.f;
    Node& split = s.level >= f.level ? s : f;
    Node parent = split;
    for (int c = 0; c < 2; ++c) {
      split = Node{2 * parent.k + c, parent.level - 1};
      if (t.Lo(split) >= t.n) continue;
      double lower = lowerOf(s, f);
      if (lower <= limit) heap.push(Pair{lower, s, f});
    }
  }
  return g;
}

// table[x][y]: a lower bound of the least distance between a fix of block x
// or before and a fix of block y or after.
std::vector<float> GapTable(const Track& t) {
  const int32_t nb = t.nBlocks;
  const std::vector<Box>& blocks = t.boxes[t.blockLevel];
  std::vector<float> table(static_cast<size_t>(nb) * nb);
  for (int32_t x = 0; x < nb; ++x)
    for (int32_t y = nb - 1; y >= 0; --y) {
      // Rounded down into a float, so that it stays a lower bound.
      double d = LowerOfChord(MinChord(blocks[x], blocks[y]));
      float v = std::nextafter(static_cast<float>(d), 0.0f);
      if (v < 0.0f) v = 0.0f;
      if (x > 0) v = std::min(v, table[static_cast<size_t>(x - 1) * nb + y]);
      if (y + 1 < nb) v = std::min(v, table[static_cast<size_t>(x) * nb + y + 1]);
      table[static_cast<size_t>(x) * nb + y] = v;
    }
  return table;
}

// ---- Out-and-return and triangles ---------------------------------------------

enum class Figure { kOutReturn, kFlat, kFai };

struct State {
  double ub;
  Node node[3];
  bool operator<(const State& o) const { return ub < o.ub; }
};

struct Legs {
  double lo, hi;
};

class ClosedSearch {
 public:
  ClosedSearch(const Track& t, const std::vector<float>& table, Figure figure)
      : t_(t), table_(table), figure_(figure), nodes_(figure == Figure::kOutReturn ? 2 : 3) {}

  // Seeds the search with a figure that exists, score and five indices
  // (start, corners, finish; out-and-return: start, turnpoint, finish).
  void Seed(double score, const uint32_t* idx) {
    best_ = score;
    std::memcpy(bestIdx_, idx, sizeof(bestIdx_));
    found_ = true;
  }

  // Runs the search; false when it gave up on memory (the best figure found
  // stands, unproven).
  bool Run() {
    std::priority_queue<State> heap;
    State root{};
    for (int j = 0; j < nodes_; ++j) root.node[j] = t_.Root();
    root.ub = kInf;
    heap.push(root);
    while (!heap.empty()) {
      State s = heap.top();
      heap.pop();
      if (s.ub <= best_) break;
      int split = -1;
      double widest = -1.0;
      for (int j = 0; j < nodes_; ++j) {
        if (s.node[j].level == 0) continue;
        double d = Diagonal2(t_.BoxOf(s.node[j]));
        if (split < 0 || d > widest || (d == widest && s.node[j].level > s.node[split].level)) {
          split = j;
          widest = d;
        }
      }
      if (split < 0) {
        Evaluate(s);
        continue;
      }
      Node parent = s.node[split];
      for (int c = 0; c < 2; ++c) {
        State child = s;
        child.node[split] = Node{2 * parent.k + c, parent.level - 1};
        if (t_.Lo(child.node[split]) >= t_.n) continue;
        child.ub = Bound(child);
        if (child.ub > best_) heap.push(child);
      }
      if (heap.size() > kMaxStates) return false;
    }
    return true;
  }

  bool Found() const { return found_; }
  const uint32_t* Indices() const { return bestIdx_; }

 private:
  Legs Pair(Node from, Node to) {
    if (from.level == 0 && to.level == 0) {
      double d = t_.Distance(from.k, to.k);
      return Legs{d, d};
    }
    const Box& a = t_.BoxOf(from);
    const Box& b = t_.BoxOf(to);
    return Legs{LowerOfChord(MinChord(a, b)), UpperOfChord(MaxChord(a, b))};
  }

  // The least gap of a triangle with corners a and c: a start before a, a
  // finish after c (memoised).
  const Gap& TriangleGap(int32_t a, int32_t c) {
    uint64_t key = (static_cast<uint64_t>(a) << 32) | static_cast<uint32_t>(c);
    auto it = gaps_.find(key);
    if (it != gaps_.end()) return it->second;
    return gaps_.emplace(key, LeastGap(t_, 0, a, c + 1, t_.n, kMaxGapMetres)).first->second;
  }

  // The least gap of an out-and-return that starts in `start` and finishes
  // at fix `from` or later (memoised).
  const Gap& ReturnGap(Node start, int32_t from) {
    uint64_t key = (static_cast<uint64_t>(start.level) << 58) ^ (static_cast<uint64_t>(start.k) << 29) ^
                   static_cast<uint64_t>(from);
    auto it = gaps_.find(key);
    if (it != gaps_.end()) return it->second;
    return gaps_.emplace(key, LeastGap(t_, t_.Lo(start), t_.Hi(start), from, t_.n, kMaxGapMetres)).first->second;
  }

  // A lower bound of the gap from the tables: starts at fix sMax or before,
  // finishes at fix fMin or after.
  double TableGap(int32_t sMax, int32_t fMin) const {
    if (sMax < 0 || fMin >= t_.n) return kInf;
    return table_[static_cast<size_t>(t_.Block(sMax)) * t_.nBlocks + t_.Block(fMin)];
  }

  bool Ordered(const State& s) const {
    // A triangle's start comes before its first corner; an out-and-return's
    // first node is its start.
    int32_t next = figure_ == Figure::kOutReturn ? 0 : 1;
    for (int j = 0; j < nodes_; ++j) {
      int32_t at = std::max(next, t_.Lo(s.node[j]));
      if (at >= t_.Hi(s.node[j])) return false;
      next = at + 1;
    }
    return next <= t_.n - 1;  // and a finish last
  }

  double Bound(const State& s) {
    if (!Ordered(s)) return -kInf;
    if (figure_ == Figure::kOutReturn) {
      Node a = s.node[0], b = s.node[1];
      double gap = ReturnGap(a, std::max(t_.Lo(a), t_.Lo(b)) + 1).d;
      if (gap > kMaxGapMetres) return -kInf;
      return 2.0 * Pair(a, b).hi - gap;
    }
    Node a = s.node[0], b = s.node[1], c = s.node[2];
    // The tables first, then the least gap itself from a start before the
    // last fix of a to a finish after the first of c.
    if (!(TableGap(t_.Hi(a) - 2, t_.Lo(c) + 2) < kMaxGapMetres)) return -kInf;
    double gap = TriangleGap(t_.Hi(a) - 1, t_.Lo(c)).d;
    if (!(gap < kMaxGapMetres)) return -kInf;
    Legs ab = Pair(a, b), bc = Pair(b, c), ca = Pair(c, a);
    double perimeter = ab.hi + bc.hi + ca.hi;
    if (figure_ == Figure::kFai) {
      // Each leg at least 28 % of the perimeter: the perimeter is at most
      // any leg / 0.28, and each leg must be able to reach 28 % of the least
      // the other two can be.
      constexpr double kSlack = 1.0 + 1e-9;
      if (0.72 * ab.hi * kSlack < 0.28 * (bc.lo + ca.lo) || 0.72 * bc.hi * kSlack < 0.28 * (ab.lo + ca.lo) ||
          0.72 * ca.hi * kSlack < 0.28 * (ab.lo + bc.lo))
        return -kInf;
      perimeter = std::min(perimeter, std::min(ab.hi, std::min(bc.hi, ca.hi)) / 0.28 * kSlack);
    }
    return perimeter - gap;
  }

  void Evaluate(const State& s) {
    if (figure_ == Figure::kOutReturn) {
      int32_t start = s.node[0].k, turn = s.node[1].k;
      if (turn <= start) return;
      const Gap& g = ReturnGap(s.node[0], turn + 1);
      if (!(g.d <= kMaxGapMetres)) return;
      double score = 2.0 * t_.Distance(start, turn) - g.d;
      if (score > best_) {
        best_ = score;
        uint32_t idx[5] = {static_cast<uint32_t>(start), static_cast<uint32_t>(turn), static_cast<uint32_t>(g.f), 0,
                           0};
        std::memcpy(bestIdx_, idx, sizeof(idx));
        found_ = true;
      }
      return;
    }
    int32_t a = s.node[0].k, b = s.node[1].k, c = s.node[2].k;
    const Gap& g = TriangleGap(a, c);
    if (!(g.d < kMaxGapMetres)) return;
    double ab = t_.Distance(a, b), bc = t_.Distance(b, c), ca = t_.Distance(c, a);
    double sum = ab + bc + ca;
    if (figure_ == Figure::kFai && !(ab >= 0.28 * sum && bc >= 0.28 * sum && ca >= 0.28 * sum)) return;
    double score = sum - g.d;
    if (score > best_) {
      best_ = score;
      uint32_t idx[5] = {static_cast<uint32_t>(g.s), static_cast<uint32_t>(a), static_cast<uint32_t>(b),
                         static_cast<uint32_t>(c), static_cast<uint32_t>(g.f)};
      std::memcpy(bestIdx_, idx, sizeof(idx));
      found_ = true;
    }
  }

  const Track& t_;
  const std::vector<float>& table_;
  Figure figure_;
  int nodes_;
  double best_ = 0.0;  // a figure must score above 0
  uint32_t bestIdx_[5] = {0, 0, 0, 0, 0};
  bool found_ = false;
  std::unordered_map<uint64_t, Gap> gaps_;
};

// ---- Storing the figures ------------------------------------------------------

double Leg(const TrackAnalysis* a, uint32_t from, uint32_t to) {
  return CalcLegDistance(&a->pPoints[from], &a->pPoints[to]);
}

void StorePath(const TrackAnalysis* a, const uint32_t* found, int legs, uint32_t* idx, double* leg, double* sum) {
  double total = 0.0;
  for (int k = 0; k < legs; ++k) {
    idx[k] = found[k];
    leg[k] = Leg(a, found[k], found[k + 1]);
    total += leg[k];
  }
  idx[legs] = found[legs];
  *sum = total;
}

bool Increasing(const uint32_t* idx, int count, int32_t n) {
  for (int k = 0; k < count; ++k)
    if (idx[k] >= static_cast<uint32_t>(n) || (k > 0 && idx[k] <= idx[k - 1])) return false;
  return true;
}

// The sampled search's out-and-return, when it is one by the rules here.
double SampledOutReturn(const TrackAnalysis* a) {
  const uint32_t* q = a->adwOutReturnIdx;
  if (!(a->dOutReturnScore > 0.0) || !Increasing(q, 3, a->nPoints)) return -kInf;
  double closing = Leg(a, q[0], q[2]);
  if (!(closing <= kMaxGapMetres)) return -kInf;
  return 2.0 * Leg(a, q[0], q[1]) - closing;
}

double SampledTriangle(const TrackAnalysis* a, const uint32_t* q, double score, bool fai) {
  if (!(score > 0.0) || !Increasing(q, 5, a->nPoints)) return -kInf;
  double closing = Leg(a, q[0], q[4]);
  if (!(closing < kMaxGapMetres)) return -kInf;
  double ab = Leg(a, q[1], q[2]), bc = Leg(a, q[2], q[3]), ca = Leg(a, q[3], q[1]);
  double sum = ab + bc + ca;
  if (fai && !(ab >= 0.28 * sum && bc >= 0.28 * sum && ca >= 0.28 * sum)) return -kInf;
  return sum - closing;
}

// Runs one closed-figure search; false when it gave up.
bool SearchClosed(const Track& t, const std::vector<float>& table, Figure figure, double seed, const uint32_t* seedIdx,
                  bool* found, uint32_t* idx) {
  ClosedSearch search(t, table, figure);
  if (seed > 0.0) search.Seed(seed, seedIdx);
  bool complete = search.Run();
  *found = search.Found();
  std::memcpy(idx, search.Indices(), 5 * sizeof(uint32_t));
  return complete;
}

int FindExact(TrackAnalysis* a) {
  Track t;
  BuildTrack(a, &t);
  bool proven = true;

  struct PathFigure {
    int legs;
    uint32_t* idx;
    double* leg;
    double* sum;
  } paths[4] = {{1, a->adwOpenIdx, nullptr, &a->dOpenDistance},
                {2, a->adw3PointIdx, a->ad3PointLeg, &a->d3PointDistance},
                {3, a->adw4PointIdx, a->ad4PointLeg, &a->d4PointDistance},
                {4, a->adw5PointIdx, a->ad5PointLeg, &a->d5PointDistance}};
  for (const PathFigure& p : paths) {
    uint32_t found[5];
    double known = Increasing(p.idx, p.legs + 1, a->nPoints) ? *p.sum : 0.0;
    if (!(ExactPath(t, p.legs, known, found) > -kInf)) continue;
    double legs[4];
    StorePath(a, found, p.legs, p.idx, p.leg ? p.leg : legs, p.sum);
  }

  std::vector<float> table = GapTable(t);
  uint32_t idx[5];
  bool found = false;
  uint32_t seed[5] = {a->adwOutReturnIdx[0], a->adwOutReturnIdx[1], a->adwOutReturnIdx[2], 0, 0};
  proven &= SearchClosed(t, table, Figure::kOutReturn, SampledOutReturn(a), seed, &found, idx);
  std::memset(a->adwOutReturnIdx, 0, sizeof(a->adwOutReturnIdx));
  a->dOutReturnLeg = a->dOutReturnClosing = a->dOutReturnScore = 0.0;
  if (found) {
    std::memcpy(a->adwOutReturnIdx, idx, sizeof(a->adwOutReturnIdx));
    a->dOutReturnLeg = Leg(a, idx[0], idx[1]);
    a->dOutReturnClosing = Leg(a, idx[0], idx[2]);
    a->dOutReturnScore = 2.0 * a->dOutReturnLeg - a->dOutReturnClosing;
  }

  struct TriangleFigure {
    Figure figure;
    uint32_t* idx;
    double* leg;
    double* closing;
    double* score;
  } triangles[2] = {{Figure::kFlat, a->adwFlatIdx, a->adFlatLeg, &a->dFlatClosing, &a->dFlatScore},
                    {Figure::kFai, a->adwFaiIdx, a->adFaiLeg, &a->dFaiClosing, &a->dFaiScore}};
  for (const TriangleFigure& f : triangles) {
    double known = SampledTriangle(a, f.idx, *f.score, f.figure == Figure::kFai);
    proven &= SearchClosed(t, table, f.figure, known, f.idx, &found, idx);
    std::memset(f.idx, 0, 5 * sizeof(uint32_t));
    std::memset(f.leg, 0, 3 * sizeof(double));
    *f.closing = *f.score = 0.0;
    if (!found) continue;
    std::memcpy(f.idx, idx, 5 * sizeof(uint32_t));
    f.leg[0] = Leg(a, idx[1], idx[2]);
    f.leg[1] = Leg(a, idx[2], idx[3]);
    f.leg[2] = Leg(a, idx[3], idx[1]);
    *f.closing = Leg(a, idx[0], idx[4]);
    *f.score = f.leg[0] + f.leg[1] + f.leg[2] - *f.closing;
  }
  return proven ? 0 : 1;
}

}  // namespace

int FindExactCrossCountryDistances(TrackAnalysis* a) {
  printf("Proving the greatest distances over every fix\n");
  try {
    int result = FindExact(a);
    a->bExactProven = result == 0;
    if (result == 0)
      printf("Figures proven optimal over every fix\n");
    else
      printf("Exact search stopped at its memory limit: best figures found kept\n");
    return 0;
  } catch (const std::bad_alloc&) {
    printf("Memory allocation error\n");
    return -1;
  }
}
