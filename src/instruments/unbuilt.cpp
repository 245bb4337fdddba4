// Families whose protocol is not in this build yet. Each entry point says so
// in one line and fails, so a pilot is never left guessing.
#include <cstdio>

#include "instruments/entry_points.h"

int FamilyNotBuilt(const char* family) {
  std::printf("%s support is not in this build\n", family);
  return -1;
}

int DownloadGalileoTrackLog() { return FamilyNotBuilt("Brauniger/Flytec"); }
int DownloadGalileoWaypoints() { return FamilyNotBuilt("Brauniger/Flytec"); }
int UploadGalileoWaypoints() { return FamilyNotBuilt("Brauniger/Flytec"); }
int DownloadIqBasicTrackLog() { return FamilyNotBuilt("IQ Basic"); }
