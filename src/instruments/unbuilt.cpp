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
int DownloadMlrTrackLog() { return FamilyNotBuilt("MLR"); }
int DownloadXctTrackLog() { return FamilyNotBuilt("XC Trainer"); }
int DownloadDigiflyGraviterTrackLog() { return FamilyNotBuilt("Digifly Graviter"); }
int DownloadIqBasicTrackLog() { return FamilyNotBuilt("IQ Basic"); }
int DownloadSyrideTrackLog() { return FamilyNotBuilt("Syride"); }
