// Takeoff and landing trimming for --trim: four detectors find where the
// flight begins and ends, and the track array is cut down to it.
#include "analysis/trim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/chord.h"
#include "common/time.h"
#include "frame/state.h"

namespace {

// Walks back from `from` while the points stay within `seconds` of it and
// not before `first`; returns the earliest point reached.
int32_t WalkBack(const TrackPoint* p, int32_t from, int32_t first, uint32_t seconds) {
  int32_t k = from;
  while (k > first && p[from].dwTime - p[k - 1].dwTime <= seconds) --k;
  return k;
}

// Location start: every pair of points of the window i..w must lie within
// the distance. anLow[b] is the lowest point known to lie near b (all
// points from there up to b do); abFar[b] says the point just below it lies
// too far. A pair is therefore measured once however many windows hold it.
bool IsWindowStill(const TrackPos* pPos, int32_t i, int32_t w, double dDistance, int32_t* anLow, uint8_t* abFar) {
  for (int32_t b = i + 1; b <= w; ++b) {
    if (anLow[b] <= i) continue;
    if (abFar[b] != 0) return false;
    for (int32_t a = anLow[b] - 1; a >= i; --a) {
      if (IsDistanceAbove(&pPos[a], &pPos[b], dDistance)) {
        abFar[b] = 1;
        anLow[b] = a + 1;
        return false;
      }
      anLow[b] = a;
    }
  }
  return true;
}

int FindStart(const TrackPoint* p, const TrackPos* pPos, int32_t n, uint32_t dwInterval, double dDistance,
              int32_t* pnStart) {
  *pnStart = 0;
  int32_t* anLow = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(n)));
  uint8_t* abFar = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(n), 1));
  if (anLow == nullptr || abFar == nullptr) {
    std::free(anLow);
    std::free(abFar);
    return -1;
  }
  for (int32_t b = 0; b < n; ++b) anLow[b] = b;
  for (int32_t i = 0; i + 1 < n; ++i) {
    int32_t w = i;
    while (w + 1 < n && p[w + 1].dwTime - p[i].dwTime <= dwInterval) ++w;
    // A window cut short by the end of the log has not seen the pilot for
    // the whole interval. Taken as still, the last few points of any flight
    // would make the start, and the trimmed flight would shrink to them.
    bool bWhole = w + 1 < n || p[w].dwTime - p[i].dwTime >= dwInterval;
    if (w > i && bWhole && IsWindowStill(pPos, i, w, dDistance, anLow, abFar)) {
      *pnStart = w;
      break;
    }
  }
  std::free(anLow);
  std::free(abFar);
  return 0;
}

uint32_t Setting(int32_t nValue) { return static_cast<uint32_t>(nValue); }

// The speed and box exit takeoff detectors, searching from r->nStart.
void FindTakeoffs(const TrackPoint* p, const TrackPos* pPos, int32_t n, TrimPoints* r) {
  int32_t nStart = r->nStart;
  r->nSpeedDetected = r->nBoxDetected = -1;
  r->nBoxReason = kBoxNone;
  uint32_t dwTakeoffInterval = Setting(tGps.nTrimTakeoffInterval);
  uint32_t dwTakeoffDistance = Setting(tGps.nTrimTakeoffDistance);
  r->nSpeedTakeoff = nStart;
  if (dwTakeoffInterval != 0 && dwTakeoffDistance != 0 && n - nStart >= 2) {
    for (int32_t a = nStart; a + 1 < n; ++a) {
      int32_t b = a + 1;
      while (b < n && p[b].dwTime - p[a].dwTime < dwTakeoffInterval) ++b;
      if (b < n && IsDistanceAtLeast(&pPos[a], &pPos[b], dwTakeoffDistance)) {
        r->nSpeedDetected = a;
        r->nSpeedTakeoff = WalkBack(p, a, nStart, Setting(tGps.nTrimTakeoffPrepend));
        break;
      }
    }
  }

  uint32_t dwBoxRadius = Setting(tGps.nTrimBoxRadius);
  int64_t nBoxHeight = static_cast<int64_t>(Setting(tGps.nTrimBoxHeight)) * 10;  // decimetres
  r->nBoxTakeoff = nStart;
  if (dwBoxRadius != 0 && nBoxHeight != 0 && n - nStart >= 2) {
    int64_t nStartAltitude = p[nStart].nGpsAltitude;
    for (int32_t k = nStart; k < n; ++k) {
      int nReason = kBoxNone;
      if (IsDistanceAtLeast(&pPos[nStart], &pPos[k], dwBoxRadius)) {
        nReason = kBoxDistance;
      } else if (p[k].nGpsAltitude - nStartAltitude >= nBoxHeight) {
        nReason = kBoxAbove;
      } else if (nStartAltitude - p[k].nGpsAltitude >= nBoxHeight) {
        nReason = kBoxBelow;
      }
      if (nReason != kBoxNone) {
        r->nBoxDetected = k;
        r->nBoxReason = nReason;
        r->nBoxTakeoff = WalkBack(p, k, nStart, Setting(tGps.nTrimBoxPrepend));
        break;
      }
    }
  }
}

}  // namespace

int FindTrimPoints(const TrackPoint* p, int32_t n, TrimPoints* r) {
  *r = TrimPoints{0, -1, 0, -1, kBoxNone, 0, 0, -1, n > 0 ? n - 1 : 0};
  if (p == nullptr || n <= 0) return -1;
  TrackPos* pPos = static_cast<TrackPos*>(std::malloc(sizeof(TrackPos) * static_cast<size_t>(n)));
  if (pPos == nullptr) return -1;
  for (int32_t i = 0; i < n; ++i) ConvertPointToTrackPos(&p[i], &pPos[i]);

  uint32_t dwLocationInterval = Setting(tGps.nTrimLocationInterval);
  uint32_t dwLocationDistance = Setting(tGps.nTrimLocationDistance);
  if (dwLocationInterval != 0 && dwLocationDistance != 0 && n >= 2) {
    if (FindStart(p, pPos, n, dwLocationInterval, dwLocationDistance, &r->nStart) != 0) {
      std::free(pPos);
      return -1;
    }
  }
  FindTakeoffs(p, pPos, n, r);
  // A still window after which a takeoff detector that is on finds no
  // takeoff lies after the flight: the log began in the air and the window
  // is the pilot standing after landing. Cutting there would keep only the
  // minutes after the landing, so the search starts from the first point.
  bool bSpeedOn = tGps.nTrimTakeoffInterval != 0 && tGps.nTrimTakeoffDistance != 0;
  bool bBoxOn = tGps.nTrimBoxRadius != 0 && tGps.nTrimBoxHeight != 0;
  if (r->nStart > 0 && ((bSpeedOn && r->nSpeedDetected < 0) || (bBoxOn && r->nBoxDetected < 0))) {
    r->nStart = 0;
    FindTakeoffs(p, pPos, n, r);
  }
  r->nTakeoff = r->nSpeedTakeoff < r->nBoxTakeoff ? r->nSpeedTakeoff : r->nBoxTakeoff;
  int32_t nTakeoff = r->nTakeoff;

  uint32_t dwLandingInterval = Setting(tGps.nTrimLandingInterval);
  uint32_t dwLandingDistance = Setting(tGps.nTrimLandingDistance);
  if (dwLandingInterval != 0 && dwLandingDistance != 0 && n - nTakeoff > 1) {
    for (int32_t k = n - 1; k >= nTakeoff; --k) {
      int32_t m = k;
      while (m >= nTakeoff && p[k].dwTime - p[m].dwTime < dwLandingInterval) --m;
      if (m >= nTakeoff && IsDistanceAtLeast(&pPos[m], &pPos[k], dwLandingDistance)) {
        r->nLandingDetected = k;
        int32_t nLanding = k;
        uint32_t dwAppend = Setting(tGps.nTrimLandingAppend);
        while (nLanding + 1 < n && p[nLanding + 1].dwTime - p[k].dwTime <= dwAppend) ++nLanding;
        r->nLanding = nLanding;
        break;
      }
    }
  }
  std::free(pPos);
  return 0;
}

void PrintTrimInformation(uint32_t index, const char* label) {
  if (tGps.pTrack == nullptr || tGps.nTrackPoints <= 0 || index >= static_cast<uint32_t>(tGps.nTrackPoints)) return;
  SystemTime tTime;
  ConvertGpsTimeToSystemTime(tGps.pTrack[index].dwTime, &tTime);
  std::printf("%02d:%02d:%02d %s\n", static_cast<int>(tTime.wHour), static_cast<int>(tTime.wMinute),
              static_cast<int>(tTime.wSecond), label);
}

int TrimTrack() {
  if (tGps.pTrack == nullptr || tGps.nTrackPoints <= 0) return -1;
  TrimPoints tFound;
  if (FindTrimPoints(tGps.pTrack, tGps.nTrackPoints, &tFound) != 0) {
    std::puts("Memory allocation error");
    return -1;
  }
  static constexpr const char* kBoxMessages[] = {
      "", "Box exit takeoff detected (distance from start point)",
      "Box exit takeoff detected (altitude above start point)",
      "Box exit takeoff detected (altitude below start point)"};
  std::puts("\nTrack trim results:");
  PrintTrimInformation(0, "First logged position");
  PrintTrimInformation(tFound.nStart, "Start point");
  if (tFound.nSpeedDetected >= 0) {
    PrintTrimInformation(tFound.nSpeedDetected, "Speed takeoff detected");
    PrintTrimInformation(tFound.nSpeedTakeoff, "Speed takeoff");
  }
  if (tFound.nBoxDetected >= 0) {
    PrintTrimInformation(tFound.nBoxDetected, kBoxMessages[tFound.nBoxReason]);
    PrintTrimInformation(tFound.nBoxTakeoff, "Box exit takeoff");
  }
  PrintTrimInformation(tFound.nTakeoff, "Takeoff");
  if (tFound.nLandingDetected >= 0) PrintTrimInformation(tFound.nLandingDetected, "Landing detected");
  PrintTrimInformation(tFound.nLanding, "Landing");
  PrintTrimInformation(tGps.nTrackPoints - 1, "Last logged position\n");

  int32_t nCount = tFound.nLanding - tFound.nTakeoff + 1;
  TrackPoint* pTrimmed = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * static_cast<size_t>(nCount)));
  if (pTrimmed == nullptr) {
    std::puts("Memory allocation error");
    return -1;
  }
  std::memcpy(pTrimmed, tGps.pTrack + tFound.nTakeoff, sizeof(TrackPoint) * static_cast<size_t>(nCount));
  std::free(tGps.pTrack);
  tGps.pTrack = pTrimmed;
  tGps.nTrackPoints = nCount;
  tGps.nTrackSize = nCount;
  return 0;
}
