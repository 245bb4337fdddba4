// MLR receivers: product data in text at 4800 baud, then the track log in
// binary sentences at 38400 baud. The line is switched in mid-transfer and
// back again for the abort command that ends every exchange.
#include "instruments/mlr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/progress.h"
#include "common/string.h"
#include "common/time.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "link/com.h"

namespace {

constexpr char kProductRequest[] = "$PMLR,26,01,01,0339\r\n";
constexpr char kTrackLogRequest[] = "$PMLR,24,02,0101,0399\r\n";
constexpr char kAbortTransfer[] = "$PMLR,06,00,02A9\r\n";
// What follows the "$" of the product reply before its first field.
constexpr char kProductPrefix[] = "PMLR,IDGPS,01,";
// The instrument's time origin, 1980-01-06, lies this far before ours.
constexpr uint32_t kTimeOffset = 315100800u;
// Old firmware logs GPS time, which ran this far ahead of UTC.
constexpr uint32_t kLeapSeconds = 14;
// Far more than a whole sentence between two complete sentences: the line
// carries noise, not a log, and the transfer must not wait on it for ever.
constexpr int kMaxBytesBetweenSentences = 4096;
// Bounds the version numbers read from the reply, so that a long string of
// digits cannot overflow them.
constexpr int kMaxVersionNumber = 100000000;

}  // namespace

namespace mlr {

void InitProductDecoder(MlrDecoder* d) {
  d->nState = 0;
  d->nIndex = 0;
}

// Starts a reply at `c` when it is the "$", else waits for one.
void RestartProduct(MlrDecoder* d, uint8_t c) {
  d->nState = 0;
  if (c != '$') return;
  for (char* field : d->aszField) field[0] = '\0';
  d->bChecksum = 0;
  d->bReceivedChecksum = 0;
  d->nIndex = 1;
  d->nState = 1;
}

// Adds a character to field `n`: leading spaces dropped, at most 40 kept.
void AddFieldChar(MlrDecoder* d, int n, uint8_t c) {
  d->bChecksum ^= c;
  char* field = d->aszField[n];
  size_t length = std::strlen(field);
  if (c == ' ' && length == 0) return;
  if (length >= kFieldSize - 1) return;
  field[length] = static_cast<char>(c);
  field[length + 1] = '\0';
}

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AppendChar(char* field, char c) {
  size_t length = std::strlen(field);
  if (length >= kFieldSize - 1) return;
  field[length] = c;
  field[length + 1] = '\0';
}

// Field 1 becomes the product name with "  SW" and the version; decides
// whether the firmware logs GPS time instead of UTC.
void CheckSoftwareVersion(MlrDecoder* d) {
  char* name = d->aszField[0];
  CompressString(name);
  AppendChar(name, ' ');
  AppendChar(name, ' ');
  AppendChar(name, 'S');
  AppendChar(name, 'W');
  d->nMajor = 0;
  d->nMinor = 0;
  bool afterPoint = false;
  int minorDigits = 0;
  for (const char* p = d->aszField[3]; *p != '\0'; ++p) {
    char c = *p;
    if (c == '.' && !afterPoint) {
      afterPoint = true;
    } else if (c >= '0' && c <= '9') {
      int& number = afterPoint ? d->nMinor : d->nMajor;
      if (number < kMaxVersionNumber) number = number * 10 + (c - '0');
      if (afterPoint) ++minorDigits;
    } else {
      break;
    }
    AppendChar(name, c);
  }
  if (minorDigits == 1) d->nMinor *= 10;
  bool old = d->nMajor <= 1 || (d->nMajor == 2 && d->nMinor <= 71) || (d->nMajor == 9 && d->nMinor >= 90);
  d->bLeapCorrection = std::strncmp(name, "SP24", 4) == 0 && old ? 1 : 0;
}

// One byte of the product reply: 1 go on, 0 the reply is complete and
// intact, negative a format error.
int DecodeProductData(MlrDecoder* d, uint8_t c) {
  bool lineEnd = c == '\r' || c == '\n';
  switch (d->nState) {
    case 0:
      RestartProduct(d, c);
      return 1;
    case 1:
      if (c != static_cast<uint8_t>(kProductPrefix[d->nIndex - 1])) {
        RestartProduct(d, c);
        return 1;
      }
      d->bChecksum ^= c;
      if (kProductPrefix[d->nIndex++] == '\0') {
        d->nState = 2;
        d->nIndex = 0;
      }
      return 1;
    case 2:
    case 3:
    case 4:
      if (lineEnd) return -1 - 2 * (d->nState - 2);
      if (c == ',') {
        d->bChecksum ^= c;
        ++d->nState;
        d->nIndex = 0;
        return 1;
      }
      AddFieldChar(d, d->nState - 2, c);
      return 1;
    case 5:
      if (lineEnd) return -7;
      if (c == ',') {
        d->bChecksum ^= c;
        d->nState = 6;
      } else if (c == '*') {
        CheckSoftwareVersion(d);
        d->nState = 7;
        d->nIndex = 0;
      } else {
        AddFieldChar(d, 3, c);
      }
      return 1;
    case 6:
      if (lineEnd) return -9;
      if (c == '*') {
        d->nState = 7;
        d->nIndex = 0;
      } else {
        AddFieldChar(d, 4, c);
      }
      return 1;
    case 7:
      if (d->nIndex < 2) {
        if (lineEnd) return -11;
        int value = HexValue(c);
        if (value < 0) return -12;
        d->bReceivedChecksum = static_cast<uint8_t>(d->bReceivedChecksum << 4 | value);
      } else if (d->nIndex == 2) {
        if (c != '\r') return -13;
      } else {
        d->nState = 0;
        return d->bReceivedChecksum == d->bChecksum ? 0 : -14;
      }
      ++d->nIndex;
      return 1;
    default:
      return -15;
  }
}

int ReadProductData(MlrDecoder* d) {
  FlushComFifo();
  InitProductDecoder(d);
  WriteComString(kProductRequest);
  double sent = ComClockSeconds();
  std::printf("Product: ");
  std::fflush(stdout);
  for (;;) {
    int waited = WaitComFifo(sent, 3.0);
    if (waited == kWaitInterrupted) return ReportInterrupted("");
    // The time-out runs from the request, so a line full of noise ends too.
    if (waited == 0 || ComClockSeconds() - sent >= 3.0) {
      std::printf("Timeout\n");
      return -1;
    }
    while (NonEmptyComFifo()) {
      int result = DecodeProductData(d, ReadComFifo());
      if (result < 0) {
        std::printf("Format error %d\n", -result);
        return -1;
      }
      if (result == 0) {
        std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "%s", d->aszField[0]);
        std::printf("%s\n", tGps.szProduct);
        return 0;
      }
    }
  }
}

void InitDecodeSentenceByte(MlrDecoder* d) { d->nSentenceState = 0; }

// Takes `c` as a possible sync byte after an unexpected one.
void RestartSentence(MlrDecoder* d, uint8_t c) {
  d->nSentenceState = 0;
  if (c != kSync) return;
  d->wSum = kSync;
  d->wReceivedSum = 0;
  d->nSentenceState = 1;
}

// One byte of a binary sentence: 0 incomplete, the sentence kind when one is
// complete, negative a format error.
int DecodeSentenceByte(MlrDecoder* d, uint8_t c) {
  int state = d->nSentenceState;
  if (state >= 1 && state <= 12) d->wSum = static_cast<uint16_t>(d->wSum + c);
  // The letters that must follow in each state of the start and end sentences.
  static constexpr char kLetters[] = "\0\0T\x01\0EBUTIN";
  switch (state) {
    case 0:
      RestartSentence(d, c);
      return 0;
    case 1:
      d->bSequence = c;
      d->nSentenceState = 2;
      return 0;
    case 2:
    case 3:
    case 5:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
      if (c != static_cast<uint8_t>(kLetters[state])) {
        RestartSentence(d, c);
        return 0;
      }
      d->nSentenceState = (state == 8 || state == 10) ? 13 : state + 1;
      return 0;
    case 4:
      if (c == 'D') {
        d->nKind = kKindStart;
        d->nSentenceState = 5;
      } else if (c == 'F') {
        d->nKind = kKindEnd;
        d->nSentenceState = 9;
      } else if (c == 0) {
        d->nKind = kKindData;
        d->nSentenceState = 11;
      } else {
        RestartSentence(d, c);
      }
      return 0;
    case 11:
      if (c == 0 || c > kMaxRecords) return -1;
      d->nRecords = c;
      d->nExpected = kRecordSize * c;
      d->nDataIndex = 0;
      d->nSentenceState = 12;
      return 0;
    case 12:
      d->abData[d->nDataIndex++] = c;
      if (d->nDataIndex >= d->nExpected) d->nSentenceState = 13;
      return 0;
    case 13:
      d->wReceivedSum = static_cast<uint16_t>(c << 8);
      d->nSentenceState = 14;
      return 0;
    case 14:
      d->wReceivedSum = static_cast<uint16_t>(d->wReceivedSum | c);
      if (d->wReceivedSum != d->wSum) return -2;
      d->nSentenceState = 15;
      return 0;
    case 15:
      if (c != '\r') return -3;
      d->nSentenceState = 16;
      return 0;
    case 16:
      if (c != '\n') return -4;
      d->nSentenceState = 0;
      return d->nKind;
    default:
      d->nSentenceState = 0;
      return 0;
  }
}

uint32_t Uint32At(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

// Appends the records of a data sentence; -1 after the message.
int StoreRecords(MlrDecoder* d) {
  for (int i = 0; i < d->nRecords; ++i) {
    const uint8_t* r = d->abData + i * kRecordSize;
    ++d->dwPointNumber;
    // The instrument's point number is 16 bits wide: longer logs wrap it.
    if (static_cast<uint16_t>(d->dwPointNumber) != static_cast<uint16_t>(r[0] << 8 | r[1])) {
      std::printf(" Bad track point sequence\n");
      return -1;
    }
    if (tGps.nTrackPoints >= tGps.nTrackSize &&
        GrowTrackArray(&tGps.pTrack, &tGps.nTrackSize, tGps.nTrackPoints) < 0) {
      tGps.nTrackSize = 0;
      tGps.nTrackPoints = 0;
      std::printf(" Track log memory allocation error\n");
      return -1;
    }
    TrackPoint& p = tGps.pTrack[tGps.nTrackPoints];
    p.dwFlags = (tGps.nTrackPoints == 0 || r[17] == 1) ? kSegmentStart : 0;
    p.dwTime = Uint32At(r + 2) - kTimeOffset - (d->bLeapCorrection ? kLeapSeconds : 0);
    p.nLatitude = static_cast<int32_t>(Uint32At(r + 6));
    p.nLongitude = static_cast<int32_t>(Uint32At(r + 10));
    uint32_t altitude = static_cast<uint32_t>(r[14]) << 16 | static_cast<uint32_t>(r[15]) << 8 | r[16];
    p.nGpsAltitude = static_cast<int32_t>(altitude ^ 0x800000u) - 0x800000;
    p.nPressureAltitude = 0;
    ++tGps.nTrackPoints;
    if (tGps.nTrackPoints % 100 == 0) ProgressUpdate(&d->tProgress, tGps.nTrackPoints);
  }
  return 0;
}

// One complete sentence: 1 go on, 0 the log has ended, -1 after the message.
int DecodeNewSentence(MlrDecoder* d, int kind) {
  if (!d->bStarted) {
    if (kind != kKindStart) return 1;
    d->bStarted = true;
    d->bPreviousSequence = d->bSequence;
    d->dwPointNumber = 0;
    return 1;
  }
  if (kind == kKindStart) {
    std::printf(" Bad sentence type sequence\n");
    return -1;
  }
  if (d->bSequence != static_cast<uint8_t>(d->bPreviousSequence + 1)) {
    std::printf(" Bad sentence sequence\n");
    return -1;
  }
  if (kind == kKindEnd) return 0;
  d->bPreviousSequence = d->bSequence;
  return StoreRecords(d) < 0 ? -1 : 1;
}

// Back to the command speed, and the abort that ends the transfer.
int AbortTransfer() {
  SetComSpeed(4800);
  int paused = PauseSeconds(0.3);
  WriteComString(kAbortTransfer);
  return paused;
}

int ReadTrackLog(MlrDecoder* d) {
  std::free(tGps.pTrack);
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(1000 * sizeof(TrackPoint)));
  tGps.nTrackPoints = 0;
  if (tGps.pTrack == nullptr) {
    tGps.nTrackSize = 0;
    std::printf("Memory allocation error\n");
    return -1;
  }
  tGps.nTrackSize = 1000;
  FlushComFifo();
  InitDecodeSentenceByte(d);
  d->bStarted = false;
  WriteComString(kTrackLogRequest);
  ProgressStart(&d->tProgress, "Points", static_cast<int>(tGps.bScroll));

  // The instrument answers at 38400 once it has taken the request.
  if (PauseSeconds(0.3) == kWaitInterrupted) {
    WriteComString(kAbortTransfer);
    return ReportInterrupted(" ");
  }
  SetComSpeed(38400);
  double lastByte = ComClockSeconds();
  int nBytesSinceSentence = 0;
  int result = 1;
  while (result > 0) {
    int waited = WaitComFifo(lastByte, 2.0);
    if (waited == kWaitInterrupted) {
      AbortTransfer();
      return ReportInterrupted(" ");
    }
    if (waited == 0 || nBytesSinceSentence > kMaxBytesBetweenSentences) {
      std::printf(" Transfer stopped\n");
      return -1;
    }
    while (NonEmptyComFifo() && result > 0 && nBytesSinceSentence <= kMaxBytesBetweenSentences) {
      int kind = DecodeSentenceByte(d, ReadComFifo());
      if (kind < 0) {
        if (AbortTransfer() == kWaitInterrupted) return ReportInterrupted(" ");
        std::printf(" Format error %d\n", -kind);
        return -1;
      }
      if (kind == 0) {
        ++nBytesSinceSentence;
        continue;
      }
      nBytesSinceSentence = 0;
      result = DecodeNewSentence(d, kind);
    }
    lastByte = ComClockSeconds();
  }
  if (AbortTransfer() == kWaitInterrupted) return ReportInterrupted(" ");
  if (result < 0) return -1;
  ProgressFinish(&d->tProgress, tGps.nTrackPoints);
  if (tGps.nTrackPoints == 0) return -1;
  tGps.bSigned = 1;
  tGps.bUtcTime = 1;
  tGps.bPressureAltitude = 0;
  tGps.dwDownloadTime = GetGpsTimeNow();
  return 0;
}

}  // namespace mlr

using namespace mlr;

int DownloadMlrTrackLog() {
  static MlrDecoder decoder;
  std::memset(&decoder, 0, sizeof decoder);
  if (OpenComPort() != 0) return -1;
  int result = ReadProductData(&decoder);
  if (result == 0) result = ReadTrackLog(&decoder);
  CloseComPort();
  return result < 0 ? -1 : 0;
}
