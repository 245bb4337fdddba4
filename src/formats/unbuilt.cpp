// Output and input formats not in this build yet: each says so and fails.
#include <cstdio>
#include <cstdlib>

#include "formats/file.h"
#include "formats/igc.h"

namespace {
int FormatNotBuilt(const char* what) {
  std::printf("%s is not in this build\n", what);
  return -1;
}
}  // namespace

int SaveTracklog() { return FormatNotBuilt("Track log saving"); }
int SaveOziWaypoints() { return FormatNotBuilt("OziExplorer waypoint output"); }
int SaveGpxWaypoints() { return FormatNotBuilt("GPX waypoint output"); }
int SaveKmlWaypoints() { return FormatNotBuilt("KML waypoint output"); }
int ReadWaypointFile() { return FormatNotBuilt("Waypoint file reading"); }
int EncodeIgcLog(const TrackPoint*, int32_t, const char*, const char*, const char*, const char*, const char*,
                 const char*, const char*, const TaskState*, uint32_t, char**, int) {
  return FormatNotBuilt("IGC output");
}
int DecodeOziWpts(char*) { return FormatNotBuilt("OziExplorer waypoint reading"); }
int DecodeGeoWpts(char*) { return FormatNotBuilt("$FormatGEO waypoint reading"); }
