// The IGC reader: the records this program relies on (one A record first,
// one date header before any fix, the B records) and the -x conversion of
// an IGC file into a KML document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/conv.h"
#include "common/time.h"
#include "formats/file.h"
#include "formats/igc.h"
#include "frame/state.h"

namespace {

constexpr int kMaxIgcLine = 82;        // characters kept of one line; the rest is dropped
constexpr int kFirstTrackSize = 2000;  // points
// A day of fixes at ten a second, with extensions, stays far below this; a
// larger file is not an IGC log, and reading it would only exhaust memory.
constexpr off_t kMaxIgcFileSize = 128 * 1024 * 1024;
constexpr double kMin1000ToSemicircle = 198.8410785185;
constexpr uint32_t kSecondsPerDay = 86400;

enum PosError {
  kPosHourDigits = -1,
  kPosHourRange = -2,
  kPosMinuteDigits = -3,
  kPosMinuteRange = -4,
  kPosSecondDigits = -5,
  kPosSecondRange = -6,
  kPosLatDegreeDigits = -7,
  kPosLatDegreeRange = -8,
  kPosLatMinuteDigits = -9,
  kPosLatMinuteRange = -10,
  kPosLatHemisphere = -11,
  kPosLonDegreeDigits = -12,
  kPosLonDegreeRange = -13,
  kPosLonMinuteDigits = -14,
  kPosLonMinuteRange = -15,
  kPosLonHemisphere = -16,
  kPosValidity = -17,
  kPosAltitude = -18,
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// `count` decimal digits at `pos`; false when the text is shorter or a
// character is not a digit.
bool ReadDigits(std::string_view t, size_t pos, size_t count, uint32_t* value) {
  if (t.size() < pos + count) return false;
  uint32_t v = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (!IsDigit(t[i])) return false;
    v = v * 10 + static_cast<uint32_t>(t[i] - '0');
  }
  *value = v;
  return true;
}

// Five digits, or a minus and four digits.
bool ReadAltitude(std::string_view t, size_t pos, int32_t* value) {
  uint32_t v;
  if (t.size() > pos && t[pos] == '-') {
    if (!ReadDigits(t, pos + 1, 4, &v)) return false;
    *value = -static_cast<int32_t>(v);
    return true;
  }
  if (!ReadDigits(t, pos, 5, &v)) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

int32_t ConvertMin1000ToSemicircles(int32_t thousandths) {
  double p = thousandths * kMin1000ToSemicircle;
  // 180 degrees east and west are one meridian, and only the west side has a
  // 32-bit semicircle value; rounding the east side would overflow.
  if (p >= 2147483647.5 || p <= -2147483647.5) return INT32_MIN;
  return RoundHalfAwayFromZero(p);
}

// One line's bytes without its line end, at most kMaxIgcLine of them.
struct IgcLine {
  char szText[kMaxIgcLine + 1];
  int nLength;
  bool bCrSeen;
};

struct IgcReader {
  bool bHaveA;
  bool bHaveDate;
  uint32_t dwDate;
  uint32_t dwPrevSecond;
  int nGRecords;
  int nLine;
};

int FailDecode(const char* message) {
  std::printf("%s\n", message);
  return -1;
}

// Decodes one line. `final` marks text after the last line end: a record
// there may have been cut off when the file ended, so a B record that does
// not decode is passed over rather than failing the whole file.
int DecodeIgcLine(IgcReader* r, const IgcLine& line, bool final) {
  const char* t = line.szText;
  if (line.nLength == 0) return 0;
  switch (t[0]) {
    case 'A':
      if (final) return 0;
      if (r->bHaveA) return FailDecode("Multiple A-records");
      if (line.nLength < 4) return FailDecode("Too short A-record");
      if (!IsAlnum(t[1]) || !IsAlnum(t[2]) || !IsAlnum(t[3])) {
        return FailDecode("Bad IGC manufacturer found in the A-record");
      }
      r->bHaveA = true;
      return 0;
    case 'H':
      if (final) return 0;
      if (!r->bHaveA) return FailDecode("Missing A-record");
      if (std::strncmp(t, "HFDTE", 5) == 0) {
        if (r->bHaveDate) return FailDecode("Multiple date lines");
        int result = DecodeDateSentence(t + 5, &r->dwDate);
        if (result < 0) {
          std::printf("Date error %d on line %d\n", -result, r->nLine);
          return -1;
        }
        r->bHaveDate = true;
      }
      return 0;
    case 'I':
      if (final) return 0;
      if (!r->bHaveA) return FailDecode("Missing A-record");
      return 0;
    case 'G':
      if (!r->bHaveA) return final ? 0 : FailDecode("Missing A-record");
      ++r->nGRecords;
      return 0;
    case 'B': {
      if (!r->bHaveA) return final ? 0 : FailDecode("Missing A-record");
      if (!r->bHaveDate) return final ? 0 : FailDecode("Missing date line");
      TrackPoint point{};
      int result = DecodePosSentence(t + 1, &point);
      if (result < 0) {
        if (final) return 0;
        std::printf("Pos. error %d on line %d\n", -result, r->nLine);
        return -1;
      }
      if (tGps.nTrackPoints == tGps.nTrackSize &&
          GrowTrackArray(&tGps.pTrack, &tGps.nTrackSize, tGps.nTrackPoints) < 0) {
        return FailDecode("Could not allocate memory for track log");
      }
      uint32_t second = point.dwTime;
      if (tGps.nTrackPoints == 0) {
        point.dwFlags = kSegmentStart;
      } else {
        point.dwFlags = 0;
        // A step back of an hour or more is midnight passing; a smaller one
        // is a glitch of the recorder and stays on the same day.
        if (second + 3600u <= r->dwPrevSecond) r->dwDate += kSecondsPerDay;
      }
      point.dwTime = second + r->dwDate;
      r->dwPrevSecond = second;
      tGps.pTrack[tGps.nTrackPoints++] = point;
      return 0;
    }
    default:
      return 0;  // C, D, E, F, J, K, L records and anything else
  }
}

void ReleaseTrack() {
  std::free(tGps.pTrack);
  tGps.pTrack = nullptr;
  tGps.nTrackSize = 0;
  tGps.nTrackPoints = 0;
}

// Reads the whole of a regular file; the result is a heap block or null
// after the message.
char* ReadSourceFile(const char* name, size_t* length) {
  // Non-blocking, so that naming a FIFO cannot stall the open.
  int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::printf("Couldn't open source file %s\n", name);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    std::printf("Source file %s is not a regular file\n", name);
    close(fd);
    return nullptr;
  }
  off_t size = lseek(fd, 0, SEEK_END);
  if (size < 0 || lseek(fd, 0, SEEK_SET) != 0) {
    std::printf("Source file fseek() error\n");
    close(fd);
    return nullptr;
  }
  if (size == 0) {
    std::printf("Source file ftell() error\n");
    close(fd);
    return nullptr;
  }
  if (size > kMaxIgcFileSize) {
    std::printf("Source file too large (%lld bytes, at most %lld)\n", static_cast<long long>(size),
                static_cast<long long>(kMaxIgcFileSize));
    close(fd);
    return nullptr;
  }
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  if (text == nullptr) {
    std::printf("Could not allocate memory for source file\n");
    close(fd);
    return nullptr;
  }
  size_t got = 0;
  while (got < static_cast<size_t>(size)) {
    ssize_t n = read(fd, text + got, static_cast<size_t>(size) - got);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  if (got < static_cast<size_t>(size)) {
    std::printf("Source file read() error\n");
    std::free(text);
    return nullptr;
  }
  *length = got;
  return text;
}

}  // namespace

int DecodeDateSentence(const char* text, uint32_t* date) {
  std::string_view t(text);
  size_t start = 0;
  if (t.substr(0, 5) == "DATE:") {
    start = 5;
    if (t.size() > start + 6 && t[start + 6] != ',') return -1;
  } else if (t.size() > 6) {
    return -1;
  }
  uint32_t day, month, year;
  if (!ReadDigits(t, start, 2, &day) || !ReadDigits(t, start + 2, 2, &month) ||
      !ReadDigits(t, start + 4, 2, &year)) {
    return -1;
  }
  if (day < 1 || day > 31 || month < 1 || month > 12) return -1;
  SystemTime st{2000 + year, month, day, 0, 0, 0};
  *date = ConvertSystemTimeToGpsTime(&st);
  return 0;
}

int DecodePosSentence(const char* text, TrackPoint* p) {
  std::string_view t(text);
  uint32_t hour, minute, second, latDeg, latMin, lonDeg, lonMin;
  if (!ReadDigits(t, 0, 2, &hour)) return kPosHourDigits;
  if (hour > 23) return kPosHourRange;
  if (!ReadDigits(t, 2, 2, &minute)) return kPosMinuteDigits;
  if (minute > 59) return kPosMinuteRange;
  if (!ReadDigits(t, 4, 2, &second)) return kPosSecondDigits;
  if (second > 59) return kPosSecondRange;
  if (!ReadDigits(t, 6, 2, &latDeg)) return kPosLatDegreeDigits;
  if (latDeg > 89) return kPosLatDegreeRange;
  if (!ReadDigits(t, 8, 5, &latMin)) return kPosLatMinuteDigits;
  if (latMin > 60000) return kPosLatMinuteRange;
  if (t.size() < 14 || (t[13] != 'N' && t[13] != 'S')) return kPosLatHemisphere;
  if (!ReadDigits(t, 14, 3, &lonDeg)) return kPosLonDegreeDigits;
  if (lonDeg > 179) return kPosLonDegreeRange;
  if (!ReadDigits(t, 17, 5, &lonMin)) return kPosLonMinuteDigits;
  if (lonMin > 60000) return kPosLonMinuteRange;
  if (t.size() < 23 || (t[22] != 'E' && t[22] != 'W')) return kPosLonHemisphere;
  if (t.size() < 24) return kPosValidity;  // "A" and "V" fixes are read alike
  int32_t pressure, gnss;
  if (!ReadAltitude(t, 24, &pressure) || !ReadAltitude(t, 29, &gnss)) return kPosAltitude;

  int32_t latitude = static_cast<int32_t>(latDeg * 60000u + latMin);
  int32_t longitude = static_cast<int32_t>(lonDeg * 60000u + lonMin);
  if (t[13] == 'S') latitude = -latitude;
  if (t[22] == 'W') longitude = -longitude;
  p->dwTime = hour * 3600u + minute * 60u + second;
  p->nLatitude = ConvertMin1000ToSemicircles(latitude);
  p->nLongitude = ConvertMin1000ToSemicircles(longitude);
  p->nPressureAltitude = pressure;
  p->nGpsAltitude = gnss * 10;
  return 0;
}

int DecodeIgcBuffer(const char* text, size_t length) {
  ReleaseTrack();
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kFirstTrackSize));
  if (tGps.pTrack == nullptr) return FailDecode("Could not allocate memory for track log");
  tGps.nTrackSize = kFirstTrackSize;

  IgcReader r{};
  IgcLine line{};
  int result = 0;
  for (size_t i = 0; i < length && result == 0; ++i) {
    char c = text[i];
    if (c == '\n') {
      ++r.nLine;
      line.szText[line.nLength] = '\0';
      result = DecodeIgcLine(&r, line, false);
      line.nLength = 0;
      line.bCrSeen = false;
    } else if (c == '\r') {
      line.bCrSeen = true;  // what stands between a CR and the LF is not part of the line
    } else if (!line.bCrSeen && line.nLength < kMaxIgcLine) {
      line.szText[line.nLength++] = c;
    }
  }
  if (result == 0 && line.nLength > 0) {
    ++r.nLine;
    line.szText[line.nLength] = '\0';
    result = DecodeIgcLine(&r, line, true);
  }
  if (result == 0 && !r.bHaveA) result = FailDecode("No A-record found");
  if (result == 0 && tGps.nTrackPoints == 0) result = FailDecode("No positions found");
  if (result < 0) {
    ReleaseTrack();
    return -1;
  }
  return r.nGRecords;
}

void MakeTranslatedFileName(const char* source, char* dest) {
  size_t length = strnlen(source, kTranslatedNameSize - 5);
  size_t keep = length;
  if (length > 4 && std::memcmp(source + length - 4, ".igc", 4) == 0) keep -= 4;
  std::memcpy(dest, source, keep);
  std::memcpy(dest + keep, ".kml", 5);
}

int TranslateIgcLog() {
  size_t length = 0;
  char* text = ReadSourceFile(tGps.szFileName, &length);
  if (text == nullptr) return -1;
  int decoded = DecodeIgcBuffer(text, length);
  std::free(text);
  if (decoded < 0) return -1;

  tGps.bSigned = 0;
  tGps.bUtcTime = 0;
  tGps.bPressureAltitude = 1;
  tGps.dwDownloadTime = GetGpsTimeNow();
  tGps.szProduct[0] = '\0';
  std::printf("Source file decoded (%d points)\n", tGps.nTrackPoints);

  char szKmlName[kTranslatedNameSize];
  MakeTranslatedFileName(tGps.szFileName, szKmlName);
  int saved = SaveKmlTrackLog(szKmlName, 0);
  ReleaseTrack();
  return saved == 0 ? 0 : -1;
}
