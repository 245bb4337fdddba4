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

int SaveKmlTrackLog(const char*, int) { return FormatNotBuilt("KML output"); }
int TranslateIgcLog() { return FormatNotBuilt("IGC conversion"); }
