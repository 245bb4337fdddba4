// The XC Trainer / Top Navigator decoders of what the instrument sends, apart
// from the port: the transfer feeds the log byte by byte from the receive
// FIFO into a line store, and hands each complete line to the header or the
// position decoder. Anything that has the bytes in hand can do the same.
#pragma once

#include <cstdint>

#include "common/progress.h"

namespace xctrainer {

constexpr uint8_t kXon = 17, kXoff = 19;
constexpr int kMaxLine = 100;

// Failures of the decoders; they return the code negated.
enum ErrorCode {
  kTooLongLine = 1,
  kTooShortLine,
  kBadChecksumFormat,
  kBadChecksum,
  kBadIdentifier,
  kBadStartTimeEntry,
  kBadStartTimeValue,
  kBadGeodeticId,
  kBadTrackPositionsEntry,
  kBadIntervalEntry,
  kBadRecordNumberEntry,
  kBadRecordNumberSequence,
  kBadPositionTimeEntry,
  kBadPositionValueEntry,
  kBadHeightEntry,
  kMemoryAllocationError,
  kBadSerialEntry,
  kBadPositionValidEntry,
  kNoPositions,
};

// The line being assembled and what the log has said so far. Zero-filled
// with bFirstRecord set before a log.
struct LineStore {
  bool bHeaderSeen;
  char szLine[kMaxLine + 1];
  int nLength;
  int nLines;
  uint32_t dwStartTime;  // GPS time of the header
  int nPositions;        // announced by the header
  int nHandled;
  uint16_t wExpectedRecord;
  uint32_t dwDayOffset;
  uint16_t wPreviousTime;
  bool bFirstRecord;
  Progress tProgress;
};

// Prints the message of an error code as a line.
void ShowErrorMessage(int code);
// One byte (not XON or XOFF) into the line: 1 stored (or a carriage
// return), 0 the line is complete, -1 the line is too long.
int StoreLogSentence(LineStore* s, uint8_t c);
// The complete header line: start time, position count and tGps.szProduct;
// 0, or a negated error code.
int HandleLogHeader(LineStore* s);
// One complete position line appended to the track of tGps (grown as
// needed): 0 the last announced position is in, 1 go on, or a negated error
// code.
int HandleLogSentence(LineStore* s);

}  // namespace xctrainer
