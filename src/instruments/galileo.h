// The Brauniger/Flytec decoders of what the instrument sends, apart from the
// port: the transfers feed them byte by byte from the receive FIFO (XON and
// XOFF already dropped), and anything that has the bytes in hand (a capture,
// a fuzzer) can feed them the same way.
#pragma once

#include <cstdint>

#include "common/progress.h"

namespace galileo {

constexpr int kMaxText = 80;
constexpr int kMaxFlights = 100;
constexpr int kListLine = 39;
constexpr int kMaxLogLine = 81;
constexpr int kMaxWptId = 6;
constexpr int kMaxWptName = 17;
constexpr uint8_t kXon = 0x11, kXoff = 0x13;
// A day of fixes at one a second is some 3.5 MB of IGC text.
constexpr int32_t kMaxRawIgc = 32 * 1024 * 1024;
constexpr int32_t kMaxWaypoints = 65536;

struct GalileoLink {
  int nState;
  int nIndex;
  uint8_t bChecksum;
  uint8_t bReceived;
  int nSentences;

  char szUser[kMaxText + 1];
  char szModel[kMaxText + 1];
  char szSerial[kMaxText + 1];
  char szFirmware[kMaxText + 1];

  char aszList[kMaxFlights][kListLine + 1];
  int nListIndex;

  char szLine[kMaxLogLine + 2];
  int nLineLength;
  char szCode1[4], szCode2[4];
  bool bARecord;
  uint32_t dwFlightDate;
  uint32_t dwDayOffset;
  uint32_t dwPrevSecond;
  int nGRecords;

  uint32_t dwValue;
  double dMinutes, dWeight;
  double dLatitude, dLongitude;
  char szId[kMaxWptId + 1];
  char szName[kMaxWptName + 1];
  int nAltitude, nAltChars;
  bool bAltNegative;
  Progress tProgress;
};

// The identification answer, one byte at a time: 1 to go on, 0 when the
// sentence is complete with a good checksum, else a negative error code.
void InitProductDecoder(GalileoLink* l);
int DecodeProductData(GalileoLink* l, uint8_t c);
// The decoded identification as tGps.szProduct.
void StoreProductText(const GalileoLink* l);
// The flight list sentences into l->aszList: 1 to go on (l->nSentences
// counts the complete ones), else a negative error code.
int DecodeTrackListData(GalileoLink* l, uint8_t c);

// One complete log line of l->szLine into the A-record codes, the flight
// date, the G-record count or a track point of tGps: 0 or a negative code.
int DecodeLogSentence(GalileoLink* l);
// Feeds one log byte to the line builder: 1 when it completed a line, 0 to
// go on, -1 after the message.
int FeedLogByte(GalileoLink* l, uint8_t c);
// The raw IGC text of tGps and its track array, both empty; -1 after the
// message.
int StartRawLog();
// Appends one byte to the raw IGC text of tGps, growing it up to
// kMaxRawIgc; -1 after the message.
int StoreRawByte(uint8_t c);

// The waypoint list sentences, one byte at a time: 1 to go on, 0 when a
// waypoint is complete in the link, else a negative error code.
void InitDecodeWptByte(GalileoLink* l);
int DecodeWptByte(GalileoLink* l, uint8_t c);
// The waypoint just decoded appended to the waypoints of tGps (grown as
// needed); -1 after the message.
int StoreWaypoint(GalileoLink* l, uint32_t now);

}  // namespace galileo
