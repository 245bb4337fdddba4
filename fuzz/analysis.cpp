// The analysis against its plain-loop form. Every 8 bytes make one step of
// a track (time, latitude, longitude, altitude deltas); a first byte of
// 0xF0 or more repeats the pattern past 2,000 points, so that long tracks
// reach the thinning of the fast search. Tracks small enough for the cubic plain loops must agree with them
// bit for bit; longer ones must analyse and make a KML document.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../tests/analysis/analysis_oracle.h"
#include "common/string.h"
#include "formats/google.h"
#include "fuzz_state.h"

namespace {

constexpr size_t kOracleLimit = 120;  // points the plain loops can afford per input

std::vector<TrackPoint> MakeTrack(const uint8_t* data, size_t size) {
  std::vector<TrackPoint> track;
  if (size < 9) return track;
  const uint8_t* steps = data + 1;
  size_t count = (size - 1) / 8;
  size_t repeats = data[0] >= 0xF0 ? (2100 + count - 1) / count : 1;
  TrackPoint p{};
  p.dwTime = 700000000;
  p.nLatitude = 46 << 24;
  p.nLongitude = 7 << 24;
  p.nGpsAltitude = 15000;
  for (size_t r = 0; r < repeats; ++r) {
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* s = steps + 8 * i;
      p.dwTime += s[0] % 8;  // steps of 0 s (a frozen clock) are allowed
      // Latitudes stop at the poles; longitudes wrap around like the
      // semicircles they are.
      int64_t latitude = int64_t{p.nLatitude} + static_cast<int16_t>(s[1] | s[2] << 8) * 64;
      p.nLatitude = static_cast<int32_t>(std::clamp<int64_t>(latitude, -(int64_t{1} << 30), int64_t{1} << 30));
      p.nLongitude = static_cast<int32_t>(static_cast<uint32_t>(p.nLongitude) +
                                          static_cast<uint32_t>(static_cast<int16_t>(s[3] | s[4] << 8) * 64));
      p.nGpsAltitude += static_cast<int8_t>(s[5]) * 10;
      p.nPressureAltitude = static_cast<int16_t>(s[6] | s[7] << 8);
      track.push_back(p);
    }
  }
  return track;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetGpsState();
  std::vector<TrackPoint> track = MakeTrack(data, size);
  if (track.size() < 5) return 0;
  TrackAnalysis fast{};
  fast.nPoints = static_cast<int32_t>(track.size());
  fast.pPoints = track.data();
  fast.dwDownloadTime = 0xFFFFFFFFu;
  TrackAnalysis slow = fast;
  if (AnalyzeTrack(&fast) != 0) return 0;
  if (track.size() <= kOracleLimit) {
    oracle::Analyze(&slow);
    std::string differences = oracle::Differences(fast, slow);
    if (!differences.empty()) {
      std::fprintf(stderr, "fast and plain analyses differ:\n%s", differences.c_str());
      std::abort();
    }
  } else {
    LogTxt text{};
    if (MakeGoogleFolder(&text, &fast) == 0) FreeLogTxt(&text);
  }
  return 0;
}
