// The IGC text through the whole conversion: the reader, the analysis with
// its thinning of long tracks, the KML document, trimming and the IGC writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "analysis/analysis.h"
#include "common/string.h"
#include "formats/google.h"
#include "formats/igc.h"
#include "fuzz_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetGpsState();
  if (DecodeIgcBuffer(reinterpret_cast<const char*>(data), size) < 0 || tGps.nTrackPoints < 1) return 0;
  TrackAnalysis analysis{};
  analysis.nPoints = tGps.nTrackPoints;
  analysis.pPoints = tGps.pTrack;
  analysis.dwDownloadTime = tGps.dwDownloadTime;
  analysis.bSigned = tGps.bSigned;
  analysis.bUtcTime = tGps.bUtcTime;
  analysis.bPressureAltitude = tGps.bPressureAltitude;
  if (AnalyzeTrack(&analysis) == 0) {
    LogTxt text{};
    if (MakeGoogleFolder(&text, &analysis) == 0) FreeLogTxt(&text);
  }
  char* encoded = nullptr;
  if (EncodeIgcLog(tGps.pTrack, tGps.nTrackPoints, "pilot", nullptr, nullptr, nullptr, nullptr, tGps.szProduct,
                   nullptr, nullptr, 0, &encoded, 1) >= 0) {
    std::free(encoded);
  }
  tGps.bTrim = 1;
  TrimTrack();
  return 0;
}
