// Track cleaning before a downloaded track is saved: positions without a
// valid time, several flights in one log, time running backwards and GPS
// outliers. Every step works in place on the track array of tGps.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "analysis/analysis.h"
#include "analysis/chord.h"
#include "common/input.h"
#include "common/time.h"
#include "frame/state.h"

namespace {

constexpr int kMaxTracks = 100;
constexpr int kAnswerExamined = 256;  // characters of a selection answer that count
constexpr int kMinSpeedPoints = 10;
constexpr int kSpeedBins = 100;       // whole m/s, 0..99

enum AnswerState { kAnswerWord, kAnswerEnd };

// Reads the first blank-delimited word of the next line that holds one, as
// the prompts have always read their answer, but never more than `size` - 1
// characters of it. kAnswerEnd at the end of standard input or on a stop
// request: every prompt takes that as a refusal.
AnswerState ReadAnswerWord(char* szWord, int size) {
  char szLine[4096];  // leading blanks and the word itself fit
  for (;;) {
    if (ReadInputLine(szLine, sizeof szLine) < 0) return kAnswerEnd;
    const char* p = szLine;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') continue;
    int n = 0;
    while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) {
      if (n < size - 1) szWord[n++] = *p;
      ++p;
    }
    szWord[n] = '\0';
    return kAnswerWord;
  }
}

// A speed that reaches the highest threshold the histogram can give
// (3 * 100 + 1 m/s) is too fast for every threshold alike.
constexpr int32_t kWholeSpeedCap = 3 * kSpeedBins + 1;

int32_t CapWholeSpeed(double dSpeed) {
  return dSpeed >= kWholeSpeedCap ? kWholeSpeedCap : static_cast<int32_t>(dSpeed);
}

// The whole metres a second from `from` to `to` in dwSeconds (> 0), capped.
// Every threshold is a whole number, so a speed is below it exactly when
// its whole part is; where the chord bracket pins the whole part down the
// ellipsoidal distance is not needed.
int32_t CalcWholeSpeed(const TrackPoint& from, const TrackPoint& to, uint32_t dwSeconds) {
  TrackPos tFrom, tTo;
  ConvertPointToTrackPos(&from, &tFrom);
  ConvertPointToTrackPos(&to, &tTo);
  double dLow, dHigh;
  if (CalcDistanceBracket(&tFrom, &tTo, &dLow, &dHigh)) {
    int32_t nLow = CapWholeSpeed(dLow > 0.0 ? dLow / dwSeconds : 0.0);
    if (nLow == CapWholeSpeed(dHigh / dwSeconds)) return nLow;
  }
  return CapWholeSpeed(CalcTrackDistance(&tFrom, &tTo) / dwSeconds);
}

bool IsInvalidTime(uint32_t dwTime) { return dwTime == 0 || dwTime == 0x7FFFFFFFu || dwTime == 0xFFFFFFFFu; }

// Moves the points carrying the keep mark to the front, clears the mark and
// returns their number.
int32_t CompactKeptPoints(TrackPoint* pTrack, int32_t nPoints) {
  int32_t nKept = 0;
  for (int32_t i = 0; i < nPoints; ++i) {
    if ((pTrack[i].dwFlags & kKeepMark) == 0) continue;
    pTrack[nKept] = pTrack[i];
    pTrack[nKept].dwFlags &= ~kKeepMark;
    ++nKept;
  }
  return nKept;
}

enum SelectionState { kSelectionValid, kSelectionInvalid };

// Reads a comma-separated list of list numbers (1 = newest of nTracks) into
// abSelected, indexed by track in time order. A character other than a
// digit or a comma among the examined ones makes the whole answer invalid.
SelectionState ParseSelection(const char* szAnswer, int nTracks, bool* abSelected) {
  bool abChosen[kMaxTracks] = {};
  uint32_t dwNumber = 0;
  for (int i = 0; i < kAnswerExamined; ++i) {
    char c = szAnswer[i];
    if (c >= '0' && c <= '9') {
      // Saturates well above any list number, so a long run of digits is
      // simply too large instead of wrapping round to a valid one.
      dwNumber = dwNumber > kMaxTracks ? dwNumber : dwNumber * 10 + static_cast<uint32_t>(c - '0');
      continue;
    }
    if (c != ',' && c != '\0' && c != '\r' && c != '\n') return kSelectionInvalid;
    if (dwNumber >= 1 && dwNumber <= static_cast<uint32_t>(nTracks)) abChosen[nTracks - dwNumber] = true;
    dwNumber = 0;
    if (c != ',') break;
  }
  for (int t = 0; t < nTracks; ++t) abSelected[t] = abChosen[t];
  return kSelectionValid;
}

int RejectAllTracks() {
  tGps.nTrackPoints = 0;
  std::puts("No track selected");
  return -1;
}

}  // namespace

int CheckForInvalidTimeStamps() {
  TrackPoint* pTrack = tGps.pTrack;
  if (pTrack == nullptr || tGps.nTrackPoints <= 0) {
    tGps.nTrackPoints = 0;
    std::puts("All positions have an invalid timestamp");
    return -1;
  }
  int32_t nPoints = tGps.nTrackPoints, nKept = 0;
  for (int32_t i = 0; i < nPoints; ++i) {
    if (!IsInvalidTime(pTrack[i].dwTime)) pTrack[nKept++] = pTrack[i];
  }
  tGps.nTrackPoints = nKept;
  if (nKept == 0) {
    std::puts("All positions have an invalid timestamp");
    return -1;
  }
  if (nKept < nPoints) std::printf("%d positions with invalid timestamp have been removed\n", nPoints - nKept);
  return 0;
}

int CheckForMultipleTracks() {
  TrackPoint* pTrack = tGps.pTrack;
  int32_t nPoints = tGps.nTrackPoints;
  uint32_t dwGap = static_cast<uint32_t>(tGps.nTrackGap);
  if (pTrack == nullptr || nPoints < 2 || dwGap == 0) return 0;

  // Division scan. The reference time is the latest time seen so far, so it
  // also gives each track's end time even when its last point lies earlier.
  int32_t anFirst[kMaxTracks];
  uint32_t adwLatest[kMaxTracks];
  int nTracks = 1;
  anFirst[0] = 0;
  uint32_t dwReference = pTrack[0].dwTime;
  adwLatest[0] = dwReference;
  for (int32_t i = 1; i < nPoints; ++i) {
    uint32_t dwTime = pTrack[i].dwTime;
    if (dwTime <= dwReference) continue;
    bool bStarts = dwTime - dwReference >= dwGap || (pTrack[i].dwFlags & kSegmentStart) != 0;
    if (bStarts && nTracks < kMaxTracks) {
      anFirst[nTracks] = i;
      ++nTracks;
    }
    dwReference = dwTime;
    adwLatest[nTracks - 1] = dwTime;
  }
  if (nTracks == 1) return 0;

  std::puts("Multiple tracks detected:");
  for (int k = 1; k <= nTracks; ++k) {
    int t = nTracks - k;
    SystemTime tStart;
    ConvertGpsTimeToSystemTime(pTrack[anFirst[t]].dwTime, &tStart);
    uint32_t dwDuration = adwLatest[t] - pTrack[anFirst[t]].dwTime;
    std::printf("%-2d  %02d-%02d-%02d   %02d:%02d:%02d   %d:%02d:%02d\n", k, static_cast<int>(tStart.wDay),
                static_cast<int>(tStart.wMonth), static_cast<int>(tStart.wYear), static_cast<int>(tStart.wHour),
                static_cast<int>(tStart.wMinute), static_cast<int>(tStart.wSecond),
                static_cast<int>(dwDuration / 3600), static_cast<int>(dwDuration / 60 % 60),
                static_cast<int>(dwDuration % 60));
  }

  bool abSelected[kMaxTracks];
  for (;;) {
    std::printf("Select (a=all,0=none): ");
    std::fflush(stdout);
    char szAnswer[kAnswerExamined + 1];
    if (ReadAnswerWord(szAnswer, sizeof szAnswer) == kAnswerEnd) {
      std::printf("\n");
      return RejectAllTracks();
    }
    if ((szAnswer[0] == 'a' || szAnswer[0] == 'A') && szAnswer[1] == '\0') return 0;
    if (szAnswer[0] == '0' && szAnswer[1] == '\0') return RejectAllTracks();
    if (ParseSelection(szAnswer, nTracks, abSelected) == kSelectionValid) break;
  }

  // The chosen tracks move to the front in time order; each moves down only.
  int32_t nKept = 0;
  for (int t = 0; t < nTracks; ++t) {
    if (!abSelected[t]) continue;
    int32_t nEnd = t + 1 < nTracks ? anFirst[t + 1] : nPoints;
    int32_t nLength = nEnd - anFirst[t];
    std::memmove(pTrack + nKept, pTrack + anFirst[t], sizeof(TrackPoint) * static_cast<size_t>(nLength));
    nKept += nLength;
  }
  if (nKept == 0) return RejectAllTracks();
  tGps.nTrackPoints = nKept;
  return 0;
}

int CheckForTimestampConsistency() {
  TrackPoint* pTrack = tGps.pTrack;
  int32_t nPoints = tGps.nTrackPoints;
  if (pTrack == nullptr || nPoints < 2) return 0;
  int32_t nBackward = 0;
  uint32_t dwLatest = pTrack[0].dwTime;
  for (int32_t i = 1; i < nPoints; ++i) {
    if (pTrack[i].dwTime < dwLatest) {
      ++nBackward;
    } else {
      dwLatest = pTrack[i].dwTime;
    }
  }
  if (nBackward == 0) return 0;

  std::printf("%d positions have a timestamp going back in time. Keep anyway ? ", nBackward);
  std::fflush(stdout);
  char szAnswer[16];
  if (ReadAnswerWord(szAnswer, sizeof szAnswer) == kAnswerEnd) {
    std::printf("\n");
    // A closed input keeps the track; a pilot who stopped the run wants
    // nothing written.
    return StopRequested() ? -1 : 0;
  }
  if (szAnswer[0] != 'n' && szAnswer[0] != 'N') return 0;

  int32_t nKept = 1;
  for (int32_t i = 1; i < nPoints; ++i) {
    if (pTrack[i].dwTime >= pTrack[nKept - 1].dwTime) pTrack[nKept++] = pTrack[i];
  }
  tGps.nTrackPoints = nKept;
  return 0;
}

int CheckForSpeedConsistency() {
  TrackPoint* pTrack = tGps.pTrack;
  int32_t nPoints = tGps.nTrackPoints;
  if (tGps.bNoAnalysis != 0 || pTrack == nullptr || nPoints < kMinSpeedPoints) return 0;
  for (int32_t i = 0; i < nPoints; ++i) pTrack[i].dwFlags &= ~kKeepMark;

  // One walk gives both the speed histogram and, for each threshold the
  // histogram can yield (3b + 1 m/s for b = 0..100), the first point that
  // ends ten speeds in a row below it; a second walk over the same
  // distances would find exactly that point.
  int32_t anBins[kSpeedBins] = {};
  int32_t anRun[kSpeedBins + 1] = {};
  int32_t anAnchor[kSpeedBins + 1];
  for (int32_t& nAnchor : anAnchor) nAnchor = -1;
  int32_t nReference = 0;
  for (int32_t i = 1; i < nPoints; ++i) {
    int32_t nSpeed = 0;
    if (pTrack[i].dwTime > pTrack[i - 1].dwTime) {
      nSpeed = CalcWholeSpeed(pTrack[nReference], pTrack[i], pTrack[i].dwTime - pTrack[i - 1].dwTime);
      nReference = i;
    }
    if (nSpeed < kSpeedBins) ++anBins[nSpeed];
    for (int b = 0; b <= kSpeedBins; ++b) {
      if (nSpeed < 3 * b + 1) {
        if (++anRun[b] == kMinSpeedPoints && anAnchor[b] < 0) anAnchor[b] = i;
      } else {
        anRun[b] = 0;
      }
    }
  }

  // The threshold sits just above the speed that 95 % of the points keep.
  int64_t nRemaining = static_cast<int64_t>(nPoints) * 19 / 20;
  int nBin = kSpeedBins;
  for (int b = 0; b < kSpeedBins; ++b) {
    nRemaining -= anBins[b];
    if (nRemaining < 1) {
      nBin = b;
      break;
    }
  }
  int32_t nThreshold = 3 * nBin + 1;
  int32_t nAnchor = anAnchor[nBin];
  if (nAnchor < 0) return 0;

  // Walk outwards from the anchor; a dropped point leaves the reference
  // where it was, so the points after an outlier are measured from the last
  // good one.
  pTrack[nAnchor].dwFlags |= kKeepMark;
  nReference = nAnchor;
  for (int32_t k = nAnchor - 1; k >= 0; --k) {
    int32_t nSpeed = 0;
    if (pTrack[k].dwTime < pTrack[nReference].dwTime)
      nSpeed = CalcWholeSpeed(pTrack[nReference], pTrack[k], pTrack[nReference].dwTime - pTrack[k].dwTime);
    if (nSpeed < nThreshold) {
      pTrack[k].dwFlags |= kKeepMark;
      nReference = k;
    }
  }
  nReference = nAnchor;
  for (int32_t k = nAnchor + 1; k < nPoints; ++k) {
    int32_t nSpeed = 0;
    if (pTrack[k].dwTime > pTrack[nReference].dwTime)
      nSpeed = CalcWholeSpeed(pTrack[nReference], pTrack[k], pTrack[k].dwTime - pTrack[nReference].dwTime);
    if (nSpeed < nThreshold) {
      pTrack[k].dwFlags |= kKeepMark;
      nReference = k;
    }
  }

  int32_t nKept = CompactKeptPoints(pTrack, nPoints);
  tGps.nTrackPoints = nKept;
  if (nKept == 0) {
    std::puts("All positions removed by speed analysis");
    return -1;
  }
  if (nKept < nPoints) std::printf("%d positions have been removed in speed analysis\n", nPoints - nKept);
  return 0;
}
