// Records shared by every part of the program: one logged position and one
// named waypoint, and the doubling growth of the arrays that hold them.
#pragma once

#include <cstdint>

struct TrackPoint {
  uint32_t dwFlags;  // bit 0: segment start; bit 31: keep mark of the speed analysis
  uint32_t dwTime;   // GPS time of the fix
  int32_t nLatitude;   // semicircles
  int32_t nLongitude;  // semicircles
  int32_t nGpsAltitude;       // decimetres
  int32_t nPressureAltitude;  // metres, 0 when the instrument gives none
};

struct Waypoint {
  int32_t nLatitude;   // semicircles
  int32_t nLongitude;  // semicircles
  int32_t nAltitudeM;  // metres
  char szName[7];
  char szComment[41];
  uint32_t dwTime;     // GPS time of creation
  uint32_t bAirfield;  // 1 = airfield
};

constexpr uint32_t kSegmentStart = 1u;
constexpr uint32_t kKeepMark = 0x80000000u;

// Doubles the capacity of a heap array of `count` records. On success the old
// block is freed and *block and *capacity describe the new one; when memory
// runs out the old block is freed as well, *block becomes null and the result
// is -1. The caller prints its own message.
int GrowTrackArray(TrackPoint** block, int32_t* capacity, int32_t count);
int GrowWaypointArray(Waypoint** block, int32_t* capacity, int32_t count);
