// What a Syride sends, in the order a download receives it, through the
// decoders the transfers use: a selector byte (bit 0: a V3, else an earlier
// model), the version, serial number and flight count replies, one flight
// list reply per flight, a byte choosing the flight, and that flight's
// memory, decoded into the track of tGps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/records.h"
#include "fuzz_state.h"
#include "instruments/syride.h"
#include "link/hid.h"

namespace {

// The next reply of the input, or null when the input ends first. The
// decoders also see replies the transfer would have retried: what they
// decode is the data bytes either way.
const uint8_t* NextReply(const uint8_t** data, size_t* size) {
  if (*size < static_cast<size_t>(kHidReportSize)) return nullptr;
  const uint8_t* reply = *data;
  *data += kHidReportSize;
  *size -= kHidReportSize;
  syride::ReplyAccepted(reply);
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::ResetGpsState();
  static syride::SyrideDevice dev;
  std::memset(&dev, 0, sizeof dev);
  dev.hDevice = -1;
  uint16_t product = (data[0] & 1) != 0 ? syride::kProductV3 : syride::kProductEarlier;
  ++data;
  --size;
  const uint8_t* version = NextReply(&data, &size);
  const uint8_t* serial = NextReply(&data, &size);
  const uint8_t* count = NextReply(&data, &size);
  if (count == nullptr) return 0;
  syride::DecodeProductData(&dev, product, version + 1, serial + 1);
  dev.nFlights = count[1];
  if (dev.nFlights == 0) return 0;
  for (uint32_t i = 0; i < dev.nFlights; ++i) {
    const uint8_t* entry = NextReply(&data, &size);
    if (entry == nullptr) return 0;
    syride::DecodeFlightEntry(&dev, i, entry + 1);
  }
  if (size < 1) return 0;
  int index = static_cast<int>(data[0] % dev.nFlights);
  ++data;
  --size;
  uint32_t duration = dev.adwDuration[index];
  uint32_t length = syride::FlightMemorySize(dev.bPressure != 0, duration);
  if (size < length) length = static_cast<uint32_t>(size);
  // Room for the duration, as the transfer makes, but no more than the
  // records the bytes hold: a long flight with little memory stays cheap.
  uint32_t capacity = std::min(duration, length / 14 + 1);
  if (capacity == 0) capacity = 1;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(capacity * sizeof(TrackPoint)));
  if (tGps.pTrack == nullptr) return 0;
  tGps.nTrackSize = static_cast<int32_t>(capacity);
  tGps.nTrackPoints = syride::DecodeFlightMemory(&dev, index, data, length, tGps.pTrack);
  return 0;
}
