// XC Trainer and Top Navigator: the instrument sends its MXP2004 log on its
// own at 57600 baud, a header line and one line per position, all in
// hexadecimal text with an XOR checksum per line. We only listen.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/progress.h"
#include "common/time.h"
#include "formats/file.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "instruments/xctrainer.h"
#include "link/com.h"

namespace xctrainer {

namespace {

constexpr int kHeaderLength = 38;
constexpr int kPositionLength = 28;
// Semicircles per 1/24000 degree.
constexpr double kAngleToSemicircle = 497.1026962963;

const char* const kErrorMessages[] = {
    "Too long line",
    "Too short line",
    "Bad checksum format",
    "Bad checksum",
    "Bad identifier",
    "Bad start time entry",
    "Bad start time value",
    "Bad geodetic ID",
    "Bad track positions entry",
    "Bad interval entry",
    "Bad record number entry",
    "Bad record number sequence",
    "Bad position time entry",
    "Bad position value entry",
    "Bad height entry",
    "Memory allocation error",
    "Bad S/N entry",
    "Bad GPS pos. valid entry",
    "No positions",
};
static_assert(sizeof kErrorMessages / sizeof kErrorMessages[0] == kNoPositions, "a message for every error code");

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// `count` hexadecimal digits from `text` as an unsigned number, -1 when one is not.
int32_t GetHex(const char* text, int count) {
  int32_t value = 0;
  for (int i = 0; i < count; ++i) {
    int digit = HexDigit(text[i]);
    if (digit < 0) return -1;
    value = value << 4 | digit;
  }
  return value;
}

int32_t GetByte(const char* text) { return GetHex(text, 2); }
int32_t GetWord(const char* text) { return GetHex(text, 4); }

// Six hexadecimal digits as a 24-bit two's complement number. The value is
// only valid when *ok comes back true.
int32_t GetAngle(const char* text, bool* ok) {
  int32_t value = GetHex(text, 6);
  *ok = value >= 0;
  return (value ^ 0x800000) - 0x800000;
}

int32_t GetUint2(const char* text) {
  if (text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9') return -1;
  return (text[0] - '0') * 10 + (text[1] - '0');
}

void EmptyLineStore(LineStore* s) {
  s->nLength = 0;
  s->szLine[0] = '\0';
}

// Checks the XOR of the first `count` characters against the two digits after them.
int CheckLine(const LineStore* s, int minLength, int count) {
  if (s->nLength < minLength) return -kTooShortLine;
  int32_t claimed = GetByte(s->szLine + count);
  if (claimed < 0) return -kBadChecksumFormat;
  uint8_t sum = 0;
  for (int i = 0; i < count; ++i) sum ^= static_cast<uint8_t>(s->szLine[i]);
  return sum == claimed ? 0 : -kBadChecksum;
}

}  // namespace

void ShowErrorMessage(int code) {
  int count = static_cast<int>(sizeof kErrorMessages / sizeof kErrorMessages[0]);
  std::printf("%s\n", code >= 1 && code <= count ? kErrorMessages[code - 1] : "Unknown error");
}

int StoreLogSentence(LineStore* s, uint8_t c) {
  if (s->nLength >= kMaxLine) return -1;
  if (c == '\r' || c == '\n') {
    s->szLine[s->nLength++] = '\0';
    s->szLine[s->nLength] = '\0';
    if (c == '\r') return 1;
    ++s->nLines;
    return 0;
  }
  s->szLine[s->nLength++] = static_cast<char>(c);
  s->szLine[s->nLength] = '\0';
  return 1;
}

int HandleLogHeader(LineStore* s) {
  int result = CheckLine(s, kHeaderLength, 36);
  if (result < 0) return result;
  const char* l = s->szLine;
  bool trainer = std::strncmp(l, "@xc", 3) == 0;
  if (!trainer && std::strncmp(l, "@tn", 3) != 0) return -kBadIdentifier;
  int32_t serial = GetWord(l + 7);
  if (serial < 0) return -kBadSerialEntry;
  int32_t v[6];
  for (int i = 0; i < 6; ++i) {
    v[i] = GetUint2(l + 13 + 2 * i);
    if (v[i] < 0) return -kBadStartTimeEntry;
  }
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 24 || v[4] > 59 || v[5] > 59) {
    return -kBadStartTimeValue;
  }
  if (GetByte(l + 25) != 1) return -kBadGeodeticId;
  int32_t positions = GetWord(l + 27);
  if (positions < 0) return -kBadTrackPositionsEntry;
  if (GetByte(l + 31) < 0) return -kBadIntervalEntry;
  if (positions == 0) return -kNoPositions;
  if (trainer) {
    std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "XC Trainer V%c.%c-%c%c, S/N %d", l[3], l[4], l[5], l[6],
                  static_cast<int>(serial));
  } else {
    std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "Top Navigator V%c.%c%c%c, S/N %d", l[3], l[4], l[5], l[6],
                  static_cast<int>(serial));
  }
  SystemTime st{static_cast<uint32_t>(v[0]) + 2000, static_cast<uint32_t>(v[1]), static_cast<uint32_t>(v[2]),
                static_cast<uint32_t>(v[3]), static_cast<uint32_t>(v[4]), static_cast<uint32_t>(v[5])};
  s->dwStartTime = ConvertSystemTimeToGpsTime(&st);
  s->nPositions = positions;
  s->bHeaderSeen = true;
  EmptyLineStore(s);
  return 0;
}

int HandleLogSentence(LineStore* s) {
  int result = CheckLine(s, kPositionLength, 26);
  if (result < 0) return result;
  const char* l = s->szLine;
  int32_t record = GetWord(l);
  if (record < 0) return -kBadRecordNumberEntry;
  if (s->bFirstRecord) {
    if (record > 1) return -kBadRecordNumberSequence;
    s->wExpectedRecord = static_cast<uint16_t>(record);
    s->bFirstRecord = false;
  } else if (record != s->wExpectedRecord) {
    return -kBadRecordNumberSequence;
  }
  int32_t t = GetWord(l + 4);
  if (t < 0) return -kBadPositionTimeEntry;
  // The time is a 16-bit count of seconds: each wrap adds its full range.
  if (s->wPreviousTime > t) s->dwDayOffset += 65536;
  s->wPreviousTime = static_cast<uint16_t>(t);
  if (GetByte(l + 8) < 0) return -kBadPositionValidEntry;
  bool latOk, lonOk;
  int32_t latitude = GetAngle(l + 10, &latOk);
  int32_t longitude = GetAngle(l + 16, &lonOk);
  if (!latOk || !lonOk) return -kBadPositionValueEntry;
  int32_t height = GetWord(l + 22);
  if (height < 0) return -kBadHeightEntry;
  if (tGps.nTrackPoints >= tGps.nTrackSize &&
      GrowTrackArray(&tGps.pTrack, &tGps.nTrackSize, tGps.nTrackPoints) < 0) {
    tGps.nTrackSize = 0;
    tGps.nTrackPoints = 0;
    return -kMemoryAllocationError;
  }
  TrackPoint& p = tGps.pTrack[tGps.nTrackPoints];
  p.dwFlags = tGps.nTrackPoints == 0 ? kSegmentStart : 0;
  p.dwTime = s->dwStartTime + s->dwDayOffset + static_cast<uint32_t>(t);
  p.nLatitude = RoundHalfAwayFromZero(latitude * kAngleToSemicircle);
  p.nLongitude = RoundHalfAwayFromZero(longitude * kAngleToSemicircle);
  p.nGpsAltitude = static_cast<int16_t>(height) * 10;
  p.nPressureAltitude = 0;
  ++tGps.nTrackPoints;
  ++s->wExpectedRecord;
  if (++s->nHandled >= s->nPositions) return 0;
  EmptyLineStore(s);
  return 1;
}

}  // namespace xctrainer

namespace {

using xctrainer::LineStore;

// ReadTrackLog's result when the log ended before its announced count.
constexpr int kIncomplete = 1;

void DescribeTrack() {
  tGps.bSigned = 1;
  tGps.bUtcTime = 0;
  tGps.bPressureAltitude = 0;
  tGps.dwDownloadTime = GetGpsTimeNow();
}

// 0 with the whole log, kIncomplete when it ended early with some positions,
// -1 on failure.
int ReadTrackLog(LineStore* s) {
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
  std::memset(s, 0, sizeof *s);
  s->bFirstRecord = true;

  // The pilot starts the transfer on the instrument: 10 s for the first byte.
  double lastByte = ComClockSeconds();
  double timeout = 10.0;
  for (;;) {
    int waited = WaitComFifo(lastByte, timeout);
    if (waited == kWaitInterrupted) return ReportInterrupted(s->bHeaderSeen ? " " : "");
    if (waited == 0) break;
    while (NonEmptyComFifo()) {
      uint8_t c = ReadComFifo();
      if (c == xctrainer::kXon || c == xctrainer::kXoff) continue;
      int stored = xctrainer::StoreLogSentence(s, c);
      if (stored < 0) {
        std::printf("%sToo long line\n", s->bHeaderSeen ? " " : "");
        return -1;
      }
      if (stored > 0) continue;
      if (!s->bHeaderSeen) {
        int result = xctrainer::HandleLogHeader(s);
        if (result < 0) {
          xctrainer::ShowErrorMessage(-result);
          return -1;
        }
        std::printf("Product: %s\n", tGps.szProduct);
        if (tGps.bScroll) {
          ProgressStart(&s->tProgress, "Points", 1);
        } else {
          std::printf("Points:  0");
          s->tProgress = Progress{"Points", 0, 0};
        }
        std::fflush(stdout);
        continue;
      }
      int result = xctrainer::HandleLogSentence(s);
      if (result < 0) {
        std::printf(" ");
        xctrainer::ShowErrorMessage(-result);
        return -1;
      }
      if (result == 0) {
        ProgressFinish(&s->tProgress, tGps.nTrackPoints);
        DescribeTrack();
        return 0;
      }
      if (tGps.nTrackPoints % 100 == 0) ProgressUpdate(&s->tProgress, tGps.nTrackPoints);
    }
    lastByte = ComClockSeconds();
    timeout = 2.0;
  }
  if (!s->bHeaderSeen) return -1;
  // The instrument fell silent before the count its header announced.
  ProgressFinish(&s->tProgress, tGps.nTrackPoints);
  std::printf("Log incomplete: %d of %d positions received\n", tGps.nTrackPoints, s->nPositions);
  if (tGps.nTrackPoints == 0) return -1;
  DescribeTrack();
  return kIncomplete;
}

}  // namespace

int DownloadXctTrackLog() {
  static LineStore store;
  if (OpenComPort() != 0) return -1;
  int result = ReadTrackLog(&store);
  CloseComPort();
  // The positions of a cut log are kept, yet the run must not look like a
  // complete download.
  if (result == kIncomplete) {
    SaveTracklog();
    return -1;
  }
  return result < 0 ? -1 : 0;
}
