// The Flymaster decoders of what the instrument sends, apart from the port:
// the transfers feed them byte by byte from the receive FIFO, and anything
// that has the bytes in hand (a capture, a fuzzer) can feed them the same way.
#pragma once

#include <cstdint>

#include "common/progress.h"

namespace flymaster {

constexpr int kMaxSentence = 99;
constexpr int kMaxFlights = 100;
// Far more than any sentence or block takes: beyond it the line carries noise.
constexpr int kMaxBytesPerSentence = 1024;
constexpr int kMaxBytesPerBlock = 1024;
constexpr int kMaxResends = 16;
constexpr uint8_t kBlockInfo = 0xA0, kBlockKey = 0xA1, kBlockChanges = 0xA2, kBlockEnd = 0xA3;
constexpr uint8_t kAck = 0xB1, kResend = 0xB2, kCancel = 0xB3;

enum ParseState { kWaitDollar, kCollecting, kWaitLineFeed };
enum BlockState { kBlockType, kBlockTypeAgain, kBlockLength, kBlockData, kBlockChecksum };
enum BlockResult { kBlockError = -1, kBlockDone = 0, kBlockMore = 1 };

struct FlymasterLink {
  ParseState nParseState;
  int nSentenceLength;
  char szSentence[kMaxSentence + 1];

  BlockState nBlockState;
  uint8_t bBlockType;
  int nBlockLength;
  uint8_t bChecksum;
  int nDataCount;
  uint8_t abData[256];

  char szModel[41];
  char szSecondField[15];
  char szSerial[11];
  char szFirmware[11];

  uint32_t adwFlightStart[kMaxFlights];
  uint32_t adwFlightDuration[kMaxFlights];
  int nFlights;

  bool bInfoSeen;
  bool bKeySeen;
  int32_t nLatitude;   // 1/60000 degree, north positive
  int32_t nLongitude;  // 1/60000 degree, west positive
  int32_t nAltitude;   // metres
  int32_t nPressure;   // tenths of a hectopascal
  uint32_t dwTime;     // seconds since 2000-01-01
  Progress tProgress;
};

// Feeds one byte to the sentence collector; true when a sentence is complete
// in link->szSentence.
bool CollectSentenceByte(FlymasterLink* link, uint8_t c);
// The identification sentence into the link and tGps.szProduct; -1 after
// its message.
int DecodeProductSentence(FlymasterLink* link);
// One "$PFMLST" sentence into the flight directory; -1 after its message.
int DecodeFlightListSentence(FlymasterLink* link);
// Feeds one byte of a download to the block assembler.
BlockResult StoreDataBlock(FlymasterLink* link, uint8_t c);
// Applies one complete block to the track of tGps; -1 after cancelling.
int ApplyBlock(FlymasterLink* link);
// One "$PFMWPL" sentence appended to the waypoints of tGps (room for it
// must be there); -1 after its message.
int DecodeWaypointSentence(FlymasterLink* link, uint32_t now);
// The answer to one uploaded waypoint in link->szSentence: 0, or the error
// type 1..5.
int CheckWaypointResponse(FlymasterLink* link, const char* name);

}  // namespace flymaster
