// The MLR decoders of what the instrument sends, apart from the port: the
// product data reply and the binary track log sentences. The download feeds
// them byte by byte from the receive FIFO, and anything that has the bytes in
// hand (a capture, a fuzzer) can feed them the same way.
#pragma once

#include <cstdint>

#include "common/progress.h"

namespace mlr {

constexpr int kFieldSize = 41;  // 40 characters and the terminator
constexpr int kMaxRecords = 27;
constexpr int kRecordSize = 18;
constexpr uint8_t kSync = 0x8B;

enum SentenceKind { kKindStart = 1, kKindData = 2, kKindEnd = 3 };

struct MlrDecoder {
  // product data
  int nState;
  int nIndex;
  uint8_t bChecksum;
  uint8_t bReceivedChecksum;
  int bLeapCorrection;  // the firmware logs GPS time: 14 s off UTC
  char aszField[5][kFieldSize];
  int nMajor, nMinor;
  // track log
  int nSentenceState;
  int nExpected;
  uint16_t wSum;
  uint16_t wReceivedSum;
  int nKind;
  int nRecords;
  uint8_t abData[kMaxRecords * kRecordSize];
  int nDataIndex;
  uint8_t bSequence, bPreviousSequence;
  bool bStarted;
  uint32_t dwPointNumber;
  Progress tProgress;
};

void InitProductDecoder(MlrDecoder* d);
// One byte of the product reply: 1 go on, 0 the reply is complete and
// intact (aszField[0] holds the product name with its software version),
// negative a format error.
int DecodeProductData(MlrDecoder* d, uint8_t c);

void InitDecodeSentenceByte(MlrDecoder* d);
// One byte of a binary sentence: 0 incomplete, the sentence kind when one is
// complete, negative a format error.
int DecodeSentenceByte(MlrDecoder* d, uint8_t c);
// Appends the records of a data sentence to the track of tGps, growing it
// as needed; -1 after the message.
int StoreRecords(MlrDecoder* d);
// One complete sentence: 1 go on, 0 the log has ended, -1 after the message.
int DecodeNewSentence(MlrDecoder* d, int kind);

}  // namespace mlr
