// What a Brauniger/Flytec instrument sends, through the decoders the
// transfers use: the identification, the flight list, the waypoint list and
// the IGC log, kept raw and decoded line by line into the track. One stream
// feeds them all, each with a link of its own, so that every kind of
// sentence can stand anywhere; a decoder that reports an error starts over,
// as the next transfer would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/records.h"
#include "fuzz_state.h"
#include "instruments/galileo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::ResetGpsState();
  static galileo::GalileoLink product, list, log, waypoints;
  std::memset(&product, 0, sizeof product);
  std::memset(&list, 0, sizeof list);
  std::memset(&log, 0, sizeof log);
  std::memset(&waypoints, 0, sizeof waypoints);

  // The first byte: bit 0 swaps the transfer's starting blocks for tiny
  // ones, so that short inputs reach the growth of the raw text and track.
  if (galileo::StartRawLog() < 0) return 0;
  if ((data[0] & 1) != 0) {
    std::free(tGps.pRawIgc);
    std::free(tGps.pTrack);
    tGps.pRawIgc = static_cast<uint8_t*>(std::malloc(16));
    tGps.pTrack = static_cast<TrackPoint*>(std::malloc(2 * sizeof(TrackPoint)));
    tGps.nRawIgcSize = tGps.pRawIgc != nullptr ? 16 : 0;
    tGps.nTrackSize = tGps.pTrack != nullptr ? 2 : 0;
    if (tGps.pRawIgc == nullptr || tGps.pTrack == nullptr) return 0;
  }
  tGps.nWaypointSize = 1;
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(sizeof(Waypoint)));
  if (tGps.pWaypoints == nullptr) return 0;

  galileo::InitProductDecoder(&product);
  galileo::InitDecodeWptByte(&waypoints);
  ProgressStart(&log.tProgress, "Points", 0);
  ProgressStart(&waypoints.tProgress, "Waypoints", 0);
  for (size_t i = 1; i < size; ++i) {
    uint8_t c = data[i];
    if (c == galileo::kXon || c == galileo::kXoff) continue;

    int result = galileo::DecodeProductData(&product, c);
    if (result == 0) {
      galileo::StoreProductText(&product);
    } else if (result < 0) {
      galileo::InitProductDecoder(&product);
    }

    if (galileo::DecodeTrackListData(&list, c) < 0) list.nState = 0;

    result = galileo::DecodeWptByte(&waypoints, c);
    if (result == 0) {
      if (galileo::StoreWaypoint(&waypoints, 0) < 0) return 0;
    } else if (result < 0) {
      galileo::InitDecodeWptByte(&waypoints);
    }

    if (galileo::StoreRawByte(c) < 0) return 0;
    if (galileo::FeedLogByte(&log, c) < 0) log.nLineLength = 0;
  }
  return 0;
}
