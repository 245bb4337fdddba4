// What a Garmin receiver sends, through the frame assembler and the packet
// decoders the transfers use, into the track and waypoints of tGps as the
// downloads store them. The first two bytes stand for the identification:
// they choose the data types the receiver announced, so every record layout
// is reached; a capability list or product data in the stream may change
// them, as at the start of a transfer.
//
// The rest is read twice: as the bytes on the line (noise, broken and whole
// frames), and as packets written out plainly (ID, size, data), which are
// framed and fed to the assembler, so the fuzzer need not find checksums.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/records.h"
#include "frame/state.h"
#include "fuzz_state.h"
#include "instruments/garmin.h"

namespace {

constexpr int32_t kWptTypes[] = {100, 101, 102, 103, 104, 107, 108, 109, 110, 150, 151, 152, 154, 155, 0, 106};
constexpr int32_t kTrkPointTypes[] = {300, 301, 302, 303, 304, 0, 305, 310};
constexpr int32_t kTrkProtocols[] = {300, 301, 302, 0};
constexpr int32_t kTrkHeaderTypes[] = {0, 310, 311, 312};
constexpr int kTrackRoom = 32, kWaypointRoom = 8;

// What the identification and the downloads do with one received packet.
void Receive(garmin::GarminLink* link, bool bOlderReceiver) {
  if (garmin::DecodePacket(link) < 0) return;
  // What the receiver calls itself is shown and written as one line.
  for (const char* s = link->szDescription; *s != '\0'; ++s) {
    if (static_cast<uint8_t>(*s) < 0x20) std::abort();
  }
  if (link->nPacketId == garmin::kPidProductData && bOlderReceiver) garmin::FindLibraryCapability(link);
  if (link->nPacketId == garmin::kPidProtocolArray && !bOlderReceiver) garmin::CheckCapability(link);
  if (tGps.nTrackPoints < tGps.nTrackSize) garmin::StoreTrackRecord(link);
  if (tGps.nWaypoints < tGps.nWaypointSize) garmin::StoreWaypointRecord(link);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fuzz::ResetGpsState();
  static garmin::GarminLink link;
  std::memset(&link, 0, sizeof link);
  garmin::Capability& c = link.tCapability;
  c.nWptProtocol = 100;
  c.nWptType = kWptTypes[data[0] & 15];
  c.nTrkPointType = kTrkPointTypes[data[1] & 7];
  c.nTrkProtocol = kTrkProtocols[data[1] >> 3 & 3];
  c.nTrkHeaderType = kTrkHeaderTypes[data[1] >> 5 & 3];
  bool bOlderReceiver = (data[1] & 0x80) != 0;
  link.bNewTrack = true;
  link.dwDownloadTime = 1000000000u;
  tGps.nTrackSize = kTrackRoom;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(kTrackRoom * sizeof(TrackPoint)));
  tGps.nWaypointSize = kWaypointRoom;
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(kWaypointRoom * sizeof(Waypoint)));
  if (tGps.pTrack == nullptr || tGps.pWaypoints == nullptr) return 0;
  data += 2;
  size -= 2;

  garmin::GarminReceiver line{};
  for (size_t i = 0; i < size; ++i) {
    if (garmin::FeedGarminByte(&line, &link.tPacket, data[i]) == garmin::kFramePacket) Receive(&link, bOlderReceiver);
  }

  for (size_t i = 0; i + 2 <= size;) {
    GarminPacket sent{};
    sent.nId = data[i];
    size_t n = data[i + 1] < size - i - 2 ? data[i + 1] : size - i - 2;
    sent.nSize = static_cast<uint8_t>(n);
    std::memcpy(sent.abData, data + i + 2, n);
    i += 2 + n;
    uint8_t frame[kGarminMaxFrame];
    int length = BuildGarminFrame(sent.nId, sent.abData, sent.nSize, frame);
    garmin::GarminReceiver receiver{};
    int packets = 0;
    for (int k = 0; k < length; ++k) {
      if (garmin::FeedGarminByte(&receiver, &link.tPacket, frame[k]) == garmin::kFramePacket) ++packets;
    }
    // DLE and ETX are no packet IDs: a frame that starts with one is noise.
    if (sent.nId == 0x10 || sent.nId == 0x03) continue;
    // Every frame we build must come back whole, once.
    if (packets != 1 || link.tPacket.nId != sent.nId || link.tPacket.nSize != sent.nSize ||
        std::memcmp(link.tPacket.abData, sent.abData, n) != 0) {
      std::abort();
    }
    Receive(&link, bOlderReceiver);
  }
  return 0;
}
