// The live NMEA byte stream through the receive FIFO, the sentence
// assembler, the pairing of fixes and task mode with its flight files. The
// first byte switches task mode on or off.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_state.h"
#include "link/com.h"
#include "logger/nmea.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::ResetGpsState();
  bool taskMode = (data[0] & 1) != 0;
  tGps.bTaskMode = taskMode ? 1 : 0;
  std::snprintf(tGps.szFileName, sizeof tGps.szFileName, "%s", fuzz::ScratchFolder());
  tGps.nTrackSize = kLoggerTrackSize;
  tGps.pTrack = static_cast<TrackPoint*>(std::calloc(kLoggerTrackSize, sizeof(TrackPoint)));
  if (tGps.pTrack == nullptr) return 0;
  static NmeaState nmea;
  std::memset(&nmea, 0, sizeof nmea);
  std::memset(&tTask, 0, sizeof tTask);
  // The FIFO holds at most 499 bytes: feed it the way the reader thread does.
  for (size_t at = 1; at < size;) {
    size_t chunk = size - at < 400 ? size - at : 400;
    for (size_t i = 0; i < chunk; ++i) WriteComFifo(data[at + i]);
    at += chunk;
    while (NonEmptyComFifo()) {
      if (DrainNmeaFifo(&nmea, taskMode) < 0) return 0;
    }
  }
  if (taskMode) RestartTask(&nmea);
  return 0;
}
