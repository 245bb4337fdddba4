// The Syride decoders of what the instrument sends, apart from the hidraw
// device: the reply check, the product values, the flight list entries and
// the flight memory. Each takes a whole reply or memory block, as the
// transfers receive them, so anything that has the bytes in hand can decode
// them the same way.
#pragma once

#include <cstdint>

#include "common/records.h"

namespace syride {

constexpr int kMaxFlights = 255;
constexpr uint16_t kProductEarlier = 22355;
constexpr uint16_t kProductV3 = 22356;
// Data bytes of the replies the product values come in.
constexpr int kVersionBytes = 8, kSerialBytes = 12, kFlightEntryBytes = 20;

struct SyrideDevice {
  int hDevice;
  uint32_t bV3;
  uint32_t bPressure;
  uint32_t nFlights;
  uint32_t adwStartTime[kMaxFlights];  // GPS time
  uint32_t adwDuration[kMaxFlights];   // seconds, one record each
  uint32_t adwMemoryBlock[kMaxFlights];
};

// Sets the checksum byte of a report about to go out.
void USB_MakeChecksum(uint8_t* report);
// 1 when the checksum byte of a report holds, else 0.
int USB_CheckChecksum(const uint8_t* report);
// Whether a reply to a checked exchange may be taken: marker and checksum.
bool ReplyAccepted(const uint8_t* reply);
// The version and serial number replies' data of a device of `product`:
// generation and pressure flags into dev, and the product line printed.
void DecodeProductData(SyrideDevice* dev, uint16_t product, const uint8_t* version, const uint8_t* serial);
// The data of the reply about flight `index` (below kMaxFlights) into dev,
// and its line of the flight list printed.
void DecodeFlightEntry(SyrideDevice* dev, uint32_t index, const uint8_t* data);
// The bytes of flight memory that `duration` records take.
uint32_t FlightMemorySize(bool pressure, uint32_t duration);
// Decodes the records of flight `index` from `length` bytes of its memory
// into track (room for its duration); returns the points stored. Records
// beyond `length` are not read.
int DecodeFlightMemory(const SyrideDevice* dev, int index, const uint8_t* memory, uint32_t length,
                       TrackPoint* track);

}  // namespace syride
