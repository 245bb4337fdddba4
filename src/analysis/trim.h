// Takeoff and landing trimming: the detectors behind TrimTrack, open to the
// tests and the benchmark that hold them against the plain rules.
#pragma once

#include <cstdint>

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

// Runs the detectors over `count` points with the TRIM_ settings of tGps.
// -1 (nothing found, no message) when working memory cannot be had.
int FindTrimPoints(const TrackPoint* points, int32_t count, TrimPoints* result);
