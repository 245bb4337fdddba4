// Families whose protocol is not in this build yet. Each entry point says so
// in one line and fails, so a pilot is never left guessing.
#include <cstdio>

#include "instruments/entry_points.h"

int FamilyNotBuilt(const char* family) {
  std::printf("%s support is not in this build\n", family);
  return -1;
}

int DownloadGarminTrackLog() { return FamilyNotBuilt("Garmin"); }
int DownloadGarminWaypoints() { return FamilyNotBuilt("Garmin"); }
int UploadGarminWaypoints() { return FamilyNotBuilt("Garmin"); }
int DownloadDigiflyGraviterTrackLog() { return FamilyNotBuilt("Digifly Graviter"); }
