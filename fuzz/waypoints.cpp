// Ozi and $FormatGEO waypoint files through the three writers and the task
// declaration made from them. The first byte picks the reader.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "formats/file.h"
#include "fuzz_state.h"
#include "logger/nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::ResetGpsState();
  std::vector<char> text(data + 1, data + size);
  text.push_back('\0');
  int read = (data[0] & 1) ? DecodeGeoWpts(text.data()) : DecodeOziWpts(text.data());
  if (read < 0 || tGps.nWaypoints < 1) return 0;
  std::snprintf(tGps.szFileName, sizeof tGps.szFileName, "%sw", fuzz::ScratchFolder());
  SaveGpxWaypoints();
  SaveOziWaypoints();
  SaveKmlWaypoints();
  static NmeaState nmea;
  std::memset(&nmea, 0, sizeof nmea);
  MakeTaskPoints(&nmea);
  return 0;
}
