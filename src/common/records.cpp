#include "common/records.h"

#include <cstdlib>
#include <cstring>

namespace {

template <typename T>
int GrowArray(T** block, int32_t* capacity, int32_t count) {
  int32_t newCapacity = *capacity > 0 ? *capacity * 2 : 1;
  if (*capacity > 0x3fffffff / static_cast<int32_t>(sizeof(T))) newCapacity = -1;
  T* grown = newCapacity > 0 ? static_cast<T*>(std::malloc(sizeof(T) * static_cast<size_t>(newCapacity))) : nullptr;
  if (grown == nullptr) {
    std::free(*block);
    *block = nullptr;
    return -1;
  }
  if (count > 0 && *block != nullptr) std::memcpy(grown, *block, sizeof(T) * static_cast<size_t>(count));
  std::free(*block);
  *block = grown;
  *capacity = newCapacity;
  return 0;
}

}  // namespace

int GrowTrackArray(TrackPoint** block, int32_t* capacity, int32_t count) {
  return GrowArray(block, capacity, count);
}

int GrowWaypointArray(Waypoint** block, int32_t* capacity, int32_t count) {
  return GrowArray(block, capacity, count);
}
