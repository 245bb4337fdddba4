// The Digifly Graviter's log memory as the instrument writes it: one block
// per flight in a circular area, chained by pointers, each holding its
// fixes as bit-packed records, and the framed image it sends on "y".
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "flight.h"

namespace sim {

// Addresses of the memory; the image starts at kImageAddress.
constexpr uint32_t kImageAddress = 1696;
constexpr uint32_t kLogFirst = 1700;
constexpr uint32_t kLogEnd = 0x20000;
constexpr uint32_t kLogSize = kLogEnd - kLogFirst;

struct ImageLayout {
  // Where the wrap from the last address to the first falls: nowhere (the
  // log starts at the first address), inside a record of the first flight,
  // inside the pointer of the second block, or inside the first header.
  enum Wrap { kWrapNone, kWrapRecord, kWrapPointer, kWrapHeader } eWrap = kWrapRecord;
  bool bEmpty = false;                 // no flight: the first pointer ends the chain
  bool bLoop = false;                  // the last block points back to the first
  enum BadPointer { kPointerSound, kPointerFirst, kPointerNext } eBadPointer = kPointerSound;
  uint32_t nShort = 0;                 // the image holds only this many log bytes (0: all)
  std::vector<std::pair<uint32_t, uint8_t>> pokes;  // bytes counted from the first block
};

struct BlockNote {
  uint32_t dwAddress;
  int nType;
  size_t nRecords;  // records written, position-less and repeated ones included
  size_t nPoints;   // distinct fixes
  int nFlight;      // 1-based, 0 for a block without a track
};

// Builds the framed image of `flights` (oldest first). Flights that do not
// fit are left out from the oldest on, as the instrument overwrites them.
// False with a message when a flight cannot be stored at all.
bool BuildImage(const std::vector<Flight>& flights, const ImageLayout& layout, std::vector<uint8_t>* image,
                std::vector<BlockNote>* notes, std::string* error);

}  // namespace sim
