// What an MLR instrument sends, through the decoders the download uses: the
// product data reply (whose software version decides the time correction of
// the track) and the binary track log sentences, into the track of tGps.
// Both decoders see the whole stream; each starts again where the download
// would have ended, so one input can hold several replies and logs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/progress.h"
#include "common/records.h"
#include "frame/state.h"
#include "fuzz_state.h"
#include "instruments/mlr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetGpsState();
  static mlr::MlrDecoder decoder;
  std::memset(&decoder, 0, sizeof decoder);
  // Small, so that the track grows as a long download's does.
  tGps.nTrackSize = 4;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(4 * sizeof(TrackPoint)));
  if (tGps.pTrack == nullptr) return 0;
  mlr::InitProductDecoder(&decoder);
  mlr::InitDecodeSentenceByte(&decoder);
  ProgressStart(&decoder.tProgress, "Points", 0);
  for (size_t i = 0; i < size; ++i) {
    if (mlr::DecodeProductData(&decoder, data[i]) <= 0) mlr::InitProductDecoder(&decoder);
    int kind = mlr::DecodeSentenceByte(&decoder, data[i]);
    if (kind < 0) {
      mlr::InitDecodeSentenceByte(&decoder);
    } else if (kind > 0 && mlr::DecodeNewSentence(&decoder, kind) <= 0) {
      decoder.bStarted = false;
    }
  }
  return 0;
}
