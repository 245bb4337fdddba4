// The Digifly Graviter's memory image and its decoding into tracks. The
// decoder is a pure function of the bytes received, so it can be exercised
// without a port.
#pragma once

#include <cstdint>

#include "common/records.h"
#include "common/time.h"

// The image as it arrives: the echo "y" at address 1696, the first-block
// pointer, the memory, "*", the checksum and CR LF. Buffer index 0 is
// address 1696.
constexpr int32_t kDigiflyImageAddress = 1696;
constexpr int32_t kDigiflyImageCapacity = 140000 - kDigiflyImageAddress;
// The circular log area: after the last address reading goes on at the first.
constexpr int32_t kDigiflyLogFirst = 1700;
constexpr int32_t kDigiflyLogEnd = 0x20000;
// A complete image of the whole memory ends at this address.
constexpr int32_t kDigiflyFullImageEnd = kDigiflyLogEnd + 4;

// Failures of the frame; the block decoder's own codes run from -10 down.
constexpr int kDigiflyTooFewBytes = -1;
constexpr int kDigiflyBadFrame = -2;
constexpr int kDigiflyBadChecksum = -3;
constexpr int kDigiflyBadFirstPointer = -4;
// A block chain that comes back over memory it has already been through.
constexpr int kDigiflyChainLoops = -38;

struct DigiflyTrack {
  TrackPoint* pPoints;
  int32_t nPoints;
};

struct DigiflyLog {
  DigiflyTrack* pTracks;
  int32_t nTracks;
  int32_t nTrackSize;
};

// Decodes `length` received bytes into *log (zero-filled first). 0, also
// with no tracks, or one of the codes above; on failure *log is empty.
// Nothing outside the received bytes is read.
int DecodeDigiflyImage(const uint8_t* image, int32_t length, DigiflyLog* log);
// Prints the message of a failure code of DecodeDigiflyImage.
void PrintDigiflyError(int code);
void FreeDigiflyLog(DigiflyLog* log);
