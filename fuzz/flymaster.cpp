// What a Flymaster instrument sends, through the decoders the transfers use:
// the identification, flight list and waypoint sentences, the download
// blocks with the track they build, and the answers to uploads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/records.h"
#include "fuzz_state.h"
#include "instruments/flymaster.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetGpsState();
  static flymaster::FlymasterLink link;
  std::memset(&link, 0, sizeof link);
  tGps.nTrackSize = 16;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(16 * sizeof(TrackPoint)));
  tGps.nWaypointSize = 1;
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(sizeof(Waypoint)));
  if (tGps.pTrack == nullptr || tGps.pWaypoints == nullptr) return 0;
  for (size_t i = 0; i < size; ++i) {
    // Sentences and blocks share the stream, as on the line.
    if (flymaster::CollectSentenceByte(&link, data[i])) {
      const char* s = link.szSentence;
      if (std::strncmp(s, "$PBRSNP", 7) == 0) {
        flymaster::DecodeProductSentence(&link);
      } else if (std::strncmp(s, "$PFMLST", 7) == 0) {
        flymaster::DecodeFlightListSentence(&link);
      } else if (std::strncmp(s, "$PFMWPL", 7) == 0) {
        if (tGps.nWaypoints < tGps.nWaypointSize) flymaster::DecodeWaypointSentence(&link, 0);
      } else {
        flymaster::CheckWaypointResponse(&link, "NAME            ");
      }
    }
    if (flymaster::StoreDataBlock(&link, data[i]) == flymaster::kBlockDone &&
        link.bBlockType != flymaster::kBlockEnd) {
      flymaster::ApplyBlock(&link);
    }
  }
  return 0;
}
