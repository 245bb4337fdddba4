// A Digifly Graviter memory image, as received, through the decoder of its
// block chain and records, and each track it yields through the IGC writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "formats/igc.h"
#include "fuzz_state.h"
#include "instruments/digifly.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(kDigiflyImageCapacity)) return 0;
  fuzz::ResetGpsState();
  DigiflyLog log;
  if (DecodeDigiflyImage(data, static_cast<int32_t>(size), &log) != 0) return 0;
  for (int32_t i = 0; i < log.nTracks; ++i) {
    const DigiflyTrack& track = log.pTracks[i];
    char* text = nullptr;
    if (track.nPoints > 0 &&
        EncodeIgcLog(track.pPoints, track.nPoints, nullptr, nullptr, nullptr, nullptr, nullptr, "Digifly", nullptr,
                     nullptr, 0, &text, 1) >= 0) {
      std::free(text);
    }
  }
  FreeDigiflyLog(&log);
  return 0;
}
