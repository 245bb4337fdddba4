// What an XC Trainer or Top Navigator sends, through the line store and the
// header and position decoders the transfer uses, into the track of tGps.
// A log ends where the transfer's would: at an error or the last announced
// position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/records.h"
#include "fuzz_state.h"
#include "instruments/xctrainer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetGpsState();
  static xctrainer::LineStore store;
  std::memset(&store, 0, sizeof store);
  store.bFirstRecord = true;
  // Fewer points than the transfer starts with, so that short inputs grow
  // the track as well.
  tGps.nTrackSize = 4;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(4 * sizeof(TrackPoint)));
  if (tGps.pTrack == nullptr) return 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == xctrainer::kXon || data[i] == xctrainer::kXoff) continue;
    int stored = xctrainer::StoreLogSentence(&store, data[i]);
    if (stored < 0) return 0;
    if (stored > 0) continue;
    if (!store.bHeaderSeen) {
      int result = xctrainer::HandleLogHeader(&store);
      if (result == 0) continue;
      xctrainer::ShowErrorMessage(-result);
      return 0;
    }
    int result = xctrainer::HandleLogSentence(&store);
    if (result < 0) xctrainer::ShowErrorMessage(-result);
    if (result <= 0) return 0;
  }
  return 0;
}
