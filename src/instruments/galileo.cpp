// Brauniger/Flytec instruments (Compeo, Competino, Galileo, their "+"
// successors, Flytec 5020, 5030, 6020, 6030): identification, flight list,
// the instrument's own IGC text, and the waypoint list and upload, over the
// serial link at 57600 baud.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/input.h"
#include "common/progress.h"
#include "common/string.h"
#include "common/time.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "instruments/galileo.h"
#include "link/com.h"

namespace galileo {

// Far more than any sentence or log line takes: beyond it the line carries
// noise, and a transfer that only ends on silence would never end.
constexpr int kMaxBytesWithoutSentence = 4096;
constexpr int kMaxListBytes = 64 * 1024;
constexpr double kDegree = 0.01745329251994, kMinute = 0.0002908882086657, kMin1000 = 2.908882086657e-07;

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }
bool IsLineEnd(uint8_t c) { return c == '\r' || c == '\n'; }
bool IsAlnum(char c) { return IsDigit(static_cast<uint8_t>(c)) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
// What an instrument sends must not steer the terminal.
char Shown(uint8_t c) { return (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) ? '?' : static_cast<char>(c); }

void Append(char* text, int limit, char c) {
  size_t n = std::strlen(text);
  if (static_cast<int>(n) < limit) {
    text[n] = c;
    text[n + 1] = '\0';
  }
}

// Every request starts with XON, which wakes an instrument that paused the line.
void SendRequest(const char* sentence) {
  uint8_t xon = kXon;
  WriteComData(&xon, 1);
  WriteComString(sentence);
}

// ---- identification -----------------------------------------------------

void InitProductDecoder(GalileoLink* l) {
  l->nState = 0;
  l->nIndex = 0;
}

// A text field of the identification: -1 for a line end, -2 for a leading
// blank or an over-long field (when checked), else 1.
int AddProductChar(char* field, uint8_t c, bool blankFirstBad) {
  int n = static_cast<int>(std::strlen(field));
  if (IsLineEnd(c)) return -1;
  if ((blankFirstBad && n == 0 && c == ' ') || n >= kMaxText) return -2;
  field[n] = static_cast<char>(c);
  field[n + 1] = '\0';
  return 1;
}

int DecodeProductData(GalileoLink* l, uint8_t c) {
  static const char kId[] = "PBRSNP,";
  switch (l->nState) {
    case 0:
      if (c == '$') {
        l->bChecksum = 0;
        l->bReceived = 0;
        l->szModel[0] = l->szUser[0] = l->szSerial[0] = l->szFirmware[0] = '\0';
        l->nIndex = 0;
        l->nState = 1;
      }
      return 1;
    case 1:
      if (c != static_cast<uint8_t>(kId[l->nIndex])) {
        l->nState = 0;
        return DecodeProductData(l, c);
      }
      l->bChecksum ^= c;
      if (++l->nIndex == 7) l->nState = 2;
      return 1;
    case 2:
    case 3:
    case 4:
    case 5: {
      static const int kLineEndError[] = {1, 3, 5, 8};
      static const int kFieldError[] = {2, 4, 7, 9};
      char* fields[] = {l->szModel, l->szUser, l->szSerial, l->szFirmware};
      int field = l->nState - 2;
      uint8_t end = l->nState == 5 ? '*' : ',';
      if (c == end) {
        if (end == ',') l->bChecksum ^= c;
        // The user name is never used, so an empty one costs nothing.
        if (l->nState == 3) CompressString(l->szUser);
        l->nIndex = 0;
        ++l->nState;
        return 1;
      }
      l->bChecksum ^= c;
      if (l->nState == 2) c = static_cast<uint8_t>(Upper(static_cast<char>(c)));
      int added = AddProductChar(fields[field], c, l->nState != 3);
      if (added == -1) return -kLineEndError[field];
      if (added == -2) return -kFieldError[field];
      return 1;
    }
    case 6:
      if (l->nIndex < 2) {
        if (IsLineEnd(c)) return -10;
        if (abAsciiToHex[c] > 15) return -11;
        l->bReceived = static_cast<uint8_t>((l->bReceived << 4) | abAsciiToHex[c]);
        ++l->nIndex;
        return 1;
      }
      if (l->nIndex == 2) {
        if (c != '\r') return -12;
        ++l->nIndex;
        return 1;
      }
      l->nState = 0;
      return l->bReceived == l->bChecksum ? 0 : -13;
    default:
      return -14;
  }
}

void StoreProductText(const GalileoLink* l) {
  // Cut to the 80 characters the product text holds.
  char product[3 * kMaxText + 16];
  std::snprintf(product, sizeof product, "%s, SN%s, SW%s", l->szModel, l->szSerial, l->szFirmware);
  size_t n = strnlen(product, sizeof tGps.szProduct - 1);
  std::memcpy(tGps.szProduct, product, n);
  tGps.szProduct[n] = '\0';
}

int ReadProductData(GalileoLink* l) {
  FlushComFifo();
  InitProductDecoder(l);
  SendRequest("$PBRSNP,*21\r\n");
  double sent = ComClockSeconds();
  std::printf("Product: ");
  std::fflush(stdout);
  int nBytes = 0;
  for (bool done = false; !done;) {
    int waited = WaitComFifo(sent, 3.0);
    if (waited == kWaitInterrupted) return ReportInterrupted("");
    if (waited == 0 || nBytes > kMaxBytesWithoutSentence) {
      std::printf("Timeout\n");
      return -1;
    }
    while (!done && NonEmptyComFifo() && ++nBytes <= kMaxBytesWithoutSentence) {
      uint8_t c = ReadComFifo();
      if (c == kXon || c == kXoff) continue;
      int result = DecodeProductData(l, c);
      if (result == -4) {
        std::printf("Bad/missing user name\n");
        return -1;
      }
      if (result < 0) {
        std::printf("Format error %d\n", -result);
        return -1;
      }
      done = result == 0;
    }
  }
  StoreProductText(l);
  std::printf("%s\n", tGps.szProduct);
  std::fflush(stdout);
  if (PauseSeconds(1.0) == kWaitInterrupted) return ReportInterrupted("");
  return 0;
}

// ---- flight list ----------------------------------------------------------

bool HasFlightList(const GalileoLink* l) {
  struct Model {
    const char* pszName;
    const char* pszAfter;  // firmware must compare greater; null: any
  };
  static const Model kModels[] = {
      {"COMPETINO", "1.13"}, {"5020", "1.13"},   {"COMPEO", "2.19"}, {"5030", "2.19"},   {"GALILEO", "2.19"},
      {"COMPEO+", nullptr},  {"COMPETINO+", nullptr}, {"6020", nullptr},  {"6030", nullptr},
  };
  for (const Model& m : kModels) {
    if (std::strcmp(l->szModel, m.pszName) != 0) continue;
    return m.pszAfter == nullptr || std::strcmp(l->szFirmware, m.pszAfter) > 0;
  }
  return false;
}

void AddListChar(GalileoLink* l, char c) { Append(l->aszList[l->nListIndex], kListLine, c); }

void PadListField(GalileoLink* l) {
  if (std::strlen(l->aszList[l->nListIndex]) < 37) std::strcat(l->aszList[l->nListIndex], "   ");
}

int DecodeTrackListData(GalileoLink* l, uint8_t c) {
  static const char kId[] = "PBRTL,";
  switch (l->nState) {
    case 0:
      if (c == '$') {
        l->bChecksum = 0;
        l->nIndex = 0;
        l->nState = 1;
      }
      return 1;
    case 1:
      if (c != static_cast<uint8_t>(kId[l->nIndex])) {
        l->bChecksum = 0;
        l->nIndex = 0;
        l->nState = c == '$' ? 1 : 0;
        return 1;
      }
      l->bChecksum ^= c;
      if (++l->nIndex == 6) {
        l->nState = 2;
        l->dwValue = 0;
      }
      return 1;
    case 2:
    case 3:
      if (IsLineEnd(c)) return l->nState == 2 ? -1 : -3;
      l->bChecksum ^= c;
      if (c == ',') {
        if (l->nState == 3) {
          l->nListIndex = l->dwValue > 99 ? 99 : static_cast<int>(l->dwValue);
          std::snprintf(l->aszList[l->nListIndex], sizeof l->aszList[0], "%2d  ", l->nListIndex + 1);
        }
        l->dwValue = 0;
        ++l->nState;
        return 1;
      }
      if (!IsDigit(c)) return l->nState == 2 ? -2 : -4;
      if (l->dwValue < 1000) l->dwValue = l->dwValue * 10 + (c - '0');
      return 1;
    case 4:
    case 5:
    case 6:
      if (IsLineEnd(c)) return -(l->nState + 1);
      if (c == (l->nState == 6 ? '*' : ',')) {
        if (l->nState == 6) {
          l->nIndex = 0;
          l->bReceived = 0;
        } else {
          l->bChecksum ^= c;
          PadListField(l);
        }
        ++l->nState;
        return 1;
      }
      l->bChecksum ^= c;
      AddListChar(l, static_cast<char>(c));
      return 1;
    case 7:
      if (l->nIndex < 2) {
        if (IsLineEnd(c)) return -8;
        if (abAsciiToHex[c] > 15) return -9;
        l->bReceived = static_cast<uint8_t>((l->bReceived << 4) | abAsciiToHex[c]);
        ++l->nIndex;
        return 1;
      }
      if (l->nIndex == 2) {
        if (c != '\r') return -10;
        ++l->nIndex;
        return 1;
      }
      l->nState = 0;
      if (l->bReceived != l->bChecksum) return -11;
      ++l->nSentences;
      return 1;
    default:
      return -12;
  }
}

int SelectFlight(GalileoLink* l, int lines) {
  int selected;
  if (tGps.nFlightSelect < 0) {
    std::printf("Select: ");
    std::fflush(stdout);
    if (ReadInputInteger(&selected) < 0) {
      if (StopRequested()) return ReportInterrupted("");
      std::printf("No flight number found\n");
      return -1;
    }
    if (selected <= 0 || selected > kMaxFlights - 1) {
      std::printf("Flight number out of range\n");
      return -1;
    }
  } else {
    selected = tGps.nFlightSelect;
    if (selected == 0) return -1;  // only the list was asked for
    if (selected > lines) {
      std::printf("Flight number out of range\n");
      return -1;
    }
  }
  if (l->aszList[selected - 1][0] == '\0') {
    std::printf("No match for flight number %d in flight list\n", selected);
    return -1;
  }
  return selected;
}

int ReadTrackList(GalileoLink* l) {
  if (!HasFlightList(l)) return 0;
  std::memset(l->aszList, 0, sizeof l->aszList);
  l->nListIndex = 0;
  l->nSentences = 0;
  FlushComFifo();
  l->nState = 0;
  SendRequest("$PBRTL,*74\r\n");
  std::printf("Track list:\n");
  std::fflush(stdout);
  // The list has no end marker: two seconds of silence end it.
  double last = ComClockSeconds();
  int nSinceSentence = 0, nTotal = 0, nSentences = 0;
  for (;;) {
    int waited = WaitComFifo(last, 2.0);
    if (waited == kWaitInterrupted) return ReportInterrupted("");
    if (waited == 0) break;
    bool heard = false;
    while (NonEmptyComFifo()) {
      uint8_t c = ReadComFifo();
      if (++nSinceSentence > kMaxBytesWithoutSentence || ++nTotal > kMaxListBytes) {
        std::printf("Timeout\n");
        return -1;
      }
      if (c == kXon || c == kXoff) continue;
      heard = true;
      int result = DecodeTrackListData(l, c);
      if (result < 0) {
        std::printf("Format error %d\n", -result);
        return -1;
      }
      if (l->nSentences != nSentences) {
        nSentences = l->nSentences;
        nSinceSentence = 0;
      }
    }
    // Flow control bytes are no sign of life: they do not hold the silence off.
    if (heard) last = ComClockSeconds();
  }
  int lines = 0;
  for (auto& line : l->aszList) {
    if (line[0] == '\0') continue;
    ++lines;
    for (char* p = line; *p != '\0'; ++p) *p = Shown(static_cast<uint8_t>(*p));
    std::printf("%s\n", line);
  }
  if (lines == 0) {
    std::printf("No list found. Selecting latest flight\n");
    return 1;
  }
  return SelectFlight(l, lines);
}

// ---- flight download ------------------------------------------------------

// A field of `count` characters at the 1-based column `column` of the line;
// false when the line is too short or the field is not a number.
bool FieldUint(const GalileoLink* l, int length, int column, int count, uint32_t* value) {
  if (column - 1 + count > length) return false;
  char field[8];
  std::memcpy(field, l->szLine + column - 1, static_cast<size_t>(count));
  field[count] = '\0';
  return DecodeUintString(field, value) == 0;
}

bool FieldInt(const GalileoLink* l, int length, int column, int count, int32_t* value) {
  if (column - 1 + count > length) return false;
  char field[8];
  std::memcpy(field, l->szLine + column - 1, static_cast<size_t>(count));
  field[count] = '\0';
  return DecodeIntegerString(field, value) == 0;
}

int DecodeDateLine(GalileoLink* l, int length) {
  // Newer firmware writes "HFDTEDATE:ddmmyy,nn" instead of "HFDTEddmmyy".
  int column = std::strncmp(l->szLine + 5, "DATE:", 5) == 0 ? 11 : 6;
  uint32_t day, month, year;
  if (!FieldUint(l, length, column + 4, 2, &year)) return -1;
  if (!FieldUint(l, length, column + 2, 2, &month)) return -2;
  if (month == 0 || month > 12) return -3;
  if (!FieldUint(l, length, column, 2, &day)) return -4;
  if (day == 0 || day > 31) return -5;
  SystemTime st{2000 + year, month, day, 0, 0, 0};
  l->dwFlightDate = ConvertSystemTimeToGpsTime(&st);
  return 0;
}

int DecodeBRecord(GalileoLink* l, int length) {
  if (length < 35) return -24;
  const char* t = l->szLine;
  int32_t gpsAltitude, pressureAltitude;
  uint32_t v[3];
  if (!FieldInt(l, length, 31, 5, &gpsAltitude) || !FieldInt(l, length, 26, 5, &pressureAltitude)) return -7;
  if (!FieldUint(l, length, 21, 3, &v[2])) return -8;
  if (!FieldUint(l, length, 19, 2, &v[1])) return -9;
  if (!FieldUint(l, length, 16, 3, &v[0])) return -10;
  if (v[0] > 179) return -11;
  if (t[23] != 'E' && t[23] != 'W') return -12;
  GeoPos geo;
  geo.dLongitude = v[0] * kDegree + v[1] * kMinute + v[2] * kMin1000;
  if (t[23] == 'W') geo.dLongitude = -geo.dLongitude;
  if (!FieldUint(l, length, 12, 3, &v[2])) return -13;
  if (!FieldUint(l, length, 10, 2, &v[1])) return -14;
  if (!FieldUint(l, length, 8, 2, &v[0])) return -15;
  if (v[0] > 89) return -16;
  if (t[14] != 'N' && t[14] != 'S') return -17;
  geo.dLatitude = v[0] * kDegree + v[1] * kMinute + v[2] * kMin1000;
  if (t[14] == 'S') geo.dLatitude = -geo.dLatitude;
  uint32_t hour, minute, second;
  if (!FieldUint(l, length, 6, 2, &second)) return -18;
  if (second > 59) return -19;
  if (!FieldUint(l, length, 4, 2, &minute)) return -20;
  if (minute > 59) return -21;
  if (!FieldUint(l, length, 2, 2, &hour)) return -22;
  if (hour > 23) return -23;
  if (tGps.nTrackPoints >= tGps.nTrackSize &&
      GrowTrackArray(&tGps.pTrack, &tGps.nTrackSize, tGps.nTrackPoints) < 0) {
    tGps.nTrackSize = 0;
    tGps.nTrackPoints = 0;
    return -6;
  }
  uint32_t second0 = hour * 3600 + minute * 60 + second;
  TrackPoint& p = tGps.pTrack[tGps.nTrackPoints];
  if (tGps.nTrackPoints == 0) {
    if (l->dwFlightDate == 0) return -25;
    tGps.dwRawIgcStartTime = l->dwFlightDate + second0;
    l->dwDayOffset = 0;
    p.dwFlags = kSegmentStart;
  } else {
    p.dwFlags = 0;
    // A step back of an hour or more is midnight passing.
    if (second0 + 3600 <= l->dwPrevSecond) l->dwDayOffset += 86400;
  }
  p.dwTime = l->dwFlightDate + l->dwDayOffset + second0;
  l->dwPrevSecond = second0;
  ArcPos arc;
  ConvertGeoToArcPos(&geo, &arc);
  p.nLatitude = arc.nLatitude;
  p.nLongitude = arc.nLongitude;
  p.nGpsAltitude = gpsAltitude * 10;
  p.nPressureAltitude = pressureAltitude;
  ++tGps.nTrackPoints;
  return 0;
}

// One complete line (its CR, if any, still in it): 0 or a negative code.
int DecodeLogSentence(GalileoLink* l) {
  int length = l->nLineLength;
  if (length > 0 && l->szLine[length - 1] == '\r') --length;
  l->szLine[length] = '\0';
  switch (l->szLine[0]) {
    case 'A':
      if (length < 7) return -28;
      for (int i = 1; i < 7; ++i) {
        if (!IsAlnum(l->szLine[i])) return -29;
      }
      std::memcpy(l->szCode1, l->szLine + 1, 3);
      std::memcpy(l->szCode2, l->szLine + 4, 3);
      l->szCode1[3] = l->szCode2[3] = '\0';
      l->bARecord = true;
      return 0;
    case 'H':
      return (length > 10 && std::strncmp(l->szLine, "HFDTE", 5) == 0) ? DecodeDateLine(l, length) : 0;
    case 'G':
      ++l->nGRecords;
      return 0;
    case 'B':
      return DecodeBRecord(l, length);
    default:
      return 0;
  }
}

// Feeds one log byte to the line builder: 1 when it completed a line, 0 to
// go on, -1 after the message.
int FeedLogByte(GalileoLink* l, uint8_t c) {
  if (l->nLineLength == 0) {
    if (IsLineEnd(c)) return 0;
    if (c < 'A' || c > 'Z') {
      std::printf(" Bad record type %c (%02X)\n", Shown(c), c);
      return -1;
    }
    l->szLine[l->nLineLength++] = static_cast<char>(c);
    return 0;
  }
  if (l->nLineLength > kMaxLogLine) {
    std::printf(" Too long log sentence\n");
    return -1;
  }
  if (c != '\n') {
    l->szLine[l->nLineLength++] = static_cast<char>(c);
    return 0;
  }
  int result = DecodeLogSentence(l);
  l->nLineLength = 0;
  if (result < 0) {
    std::printf(" Format error %d\n", -result);
    return -1;
  }
  int points = tGps.nTrackPoints;
  if (points > 0 && points % 100 == 0 && points != l->tProgress.nShown) ProgressUpdate(&l->tProgress, points);
  return 1;
}

int StoreRawByte(uint8_t c) {
  if (tGps.nRawIgcLength >= tGps.nRawIgcSize) {
    if (tGps.nRawIgcSize >= kMaxRawIgc) {
      std::printf(" Log larger than %d bytes\n", kMaxRawIgc);
      return -1;
    }
    int32_t size = tGps.nRawIgcSize * 2 > kMaxRawIgc ? kMaxRawIgc : tGps.nRawIgcSize * 2;
    auto* grown = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (grown == nullptr) {
      std::printf(" Memory allocation error\n");
      return -1;
    }
    std::memcpy(grown, tGps.pRawIgc, static_cast<size_t>(tGps.nRawIgcLength));
    std::free(tGps.pRawIgc);
    tGps.pRawIgc = grown;
    tGps.nRawIgcSize = size;
  }
  tGps.pRawIgc[tGps.nRawIgcLength++] = c;
  return 0;
}

// The raw text and the track array, both empty; -1 after the message.
int StartRawLog() {
  std::free(tGps.pRawIgc);
  std::free(tGps.pTrack);
  tGps.pRawIgc = static_cast<uint8_t*>(std::malloc(20000));
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(1000 * sizeof(TrackPoint)));
  tGps.nRawIgcLength = 0;
  tGps.nTrackPoints = 0;
  tGps.nRawIgcSize = tGps.pRawIgc != nullptr ? 20000 : 0;
  tGps.nTrackSize = tGps.pTrack != nullptr ? 1000 : 0;
  if (tGps.pRawIgc == nullptr || tGps.pTrack == nullptr) {
    std::printf("Memory allocation error\n");
    return -1;
  }
  return 0;
}

int ReadTrackLog(GalileoLink* l, int flight) {
  if (StartRawLog() < 0) return -1;
  FlushComFifo();
  l->nLineLength = 0;
  if (flight == 0) {
    SendRequest("$PBRIGC,*21\r\n");
  } else {
    char request[32];
    int n = std::snprintf(request, sizeof request, "$PBRTR,%02d", (flight - 1) % 100);
    uint8_t sum = 0;
    for (int i = 1; i < n; ++i) sum ^= static_cast<uint8_t>(request[i]);
    std::snprintf(request + n, sizeof request - static_cast<size_t>(n), "*%02X\r\n", sum);
    SendRequest(request);
  }
  ProgressStart(&l->tProgress, "Points", static_cast<int>(tGps.bScroll));
  l->dwFlightDate = 0;
  l->nGRecords = 0;
  l->bARecord = false;
  l->szCode1[0] = l->szCode2[0] = '\0';

  // The log has no end marker: two seconds of silence end it.
  double last = ComClockSeconds();
  int nSinceLine = 0;
  for (;;) {
    int waited = WaitComFifo(last, 2.0);
    if (waited == kWaitInterrupted) return ReportInterrupted(" ");
    if (waited == 0) break;
    bool heard = false;
    while (NonEmptyComFifo()) {
      uint8_t c = ReadComFifo();
      if (++nSinceLine > kMaxBytesWithoutSentence) {
        std::printf(" Timeout\n");
        return -1;
      }
      if (c == kXon || c == kXoff) continue;
      heard = true;
      if (StoreRawByte(c) < 0) return -1;
      int fed = FeedLogByte(l, c);
      if (fed < 0) return -1;
      if (fed > 0) nSinceLine = 0;
    }
    // Flow control bytes are no sign of life: they do not hold the silence off.
    if (heard) last = ComClockSeconds();
  }
  ProgressFinish(&l->tProgress, tGps.nTrackPoints);
  // Silence inside a line is a cut transfer, not the end of the flight.
  if (l->nLineLength > 0) {
    std::printf("Transfer ended inside a record\n");
    return -1;
  }
  if (tGps.nTrackPoints == 0) return -1;
  if (!l->bARecord) {
    std::printf("Bad or missing A-record\n");
    return -1;
  }
  tGps.bSigned = l->nGRecords > 0 ? 1 : 0;
  if (l->nGRecords == 0) std::printf("No G-records found\n");
  tGps.bUtcTime = 1;
  tGps.bPressureAltitude = 1;
  tGps.dwDownloadTime = GetGpsTimeNow();
  return 0;
}

// ---- waypoints ------------------------------------------------------------

void InitDecodeWptByte(GalileoLink* l) { l->nState = 0; }

// The end of a latitude (state 2 or 3) or longitude number, in radians.
void EndAngle(GalileoLink* l, bool latitude, bool fraction) {
  if (!fraction) l->dMinutes = (l->dwValue / 100) * 60.0 + l->dwValue % 100;
  (latitude ? l->dLatitude : l->dLongitude) = l->dMinutes * kMinute;
}

int DecodeWptByte(GalileoLink* l, uint8_t c) {
  static const char kId[] = "PBRWPS,";
  // The checksum covers the characters between "$" and "*".
  if (l->nState >= 1 && l->nState <= 12 && c != '*') l->bChecksum ^= c;
  bool latitude = l->nState <= 5;
  switch (l->nState) {
    case 0:
      if (c == '$') {
        l->bChecksum = 0;
        l->nIndex = 0;
        l->nState = 1;
      }
      return 1;
    case 1:
      if (c != static_cast<uint8_t>(kId[l->nIndex])) {
        l->nState = 0;
        return DecodeWptByte(l, c);
      }
      if (++l->nIndex == 7) {
        l->nState = 2;
        l->dwValue = 0;
        l->dLatitude = l->dLongitude = 0;
        l->szId[0] = l->szName[0] = '\0';
        l->nAltitude = l->nAltChars = 0;
        l->bAltNegative = false;
      }
      return 1;
    case 2:
    case 6:
      if (IsDigit(c)) {
        if (l->dwValue > (latitude ? 895u : 1795u)) return latitude ? -1 : -6;
        l->dwValue = l->dwValue * 10 + (c - '0');
        return 1;
      }
      if (c == '.') {
        EndAngle(l, latitude, false);
        l->dWeight = 0.1;
        ++l->nState;
        return 1;
      }
      if (c == ',') {
        EndAngle(l, latitude, false);
        l->nState += 2;
        return 1;
      }
      return latitude ? -2 : -7;
    case 3:
    case 7:
      if (IsDigit(c)) {
        l->dMinutes += (c - '0') * l->dWeight;
        l->dWeight /= 10;
        return 1;
      }
      if (c != ',') return latitude ? -3 : -8;
      EndAngle(l, latitude, true);
      ++l->nState;
      return 1;
    case 4:
    case 8: {
      char south = latitude ? 'S' : 'W', north = latitude ? 'N' : 'E';
      if (c == ',') {
        l->nState += 2;
        l->dwValue = 0;
        return 1;
      }
      if (c != north && c != south) return latitude ? -4 : -9;
      if (c == south) (latitude ? l->dLatitude : l->dLongitude) *= -1;
      ++l->nState;
      return 1;
    }
    case 5:
    case 9:
      if (c != ',') return latitude ? -5 : -10;
      ++l->nState;
      l->dwValue = 0;
      return 1;
    case 10:
      if (c == ',' || c == '*') {
        l->nState = c == ',' ? 11 : 13;
        l->nIndex = 0;
        return 1;
      }
      if (IsLineEnd(c)) return -11;
      if (std::strlen(l->szId) >= kMaxWptId) return -12;
      Append(l->szId, kMaxWptId, static_cast<char>(c));
      return 1;
    case 11:
      if (c == ',') {
        l->nState = 12;
        return 1;
      }
      if (IsLineEnd(c)) return -13;
      if (std::strlen(l->szName) >= kMaxWptName) return -14;
      Append(l->szName, kMaxWptName, static_cast<char>(c));
      return 1;
    case 12:
      if (c == '*') {
        if (l->bAltNegative) l->nAltitude = -l->nAltitude;
        l->nState = 13;
        l->nIndex = 0;
        return 1;
      }
      if (!IsDigit(c) && !(c == '-' && l->nAltChars == 0)) return -15;
      if (++l->nAltChars > 5) return -16;
      if (c == '-') {
        l->bAltNegative = true;
      } else {
        l->nAltitude = l->nAltitude * 10 + (c - '0');
      }
      return 1;
    case 13:
    case 14: {
      int digit = IsDigit(c) ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (digit < 0) return l->nState == 13 ? -17 : -18;
      l->bReceived = static_cast<uint8_t>(l->nState == 13 ? digit << 4 : l->bReceived | digit);
      ++l->nState;
      return 1;
    }
    case 15:
      if (c != '\r') return -19;
      l->nState = 16;
      return 1;
    case 16:
      if (c != '\n') return -21;
      l->nState = 0;
      return l->bReceived == l->bChecksum ? 0 : -20;
    default:
      return -22;
  }
}

// The first word of a compressed text, upper-cased, at most 6 characters.
bool FirstWord(const char* text, char* name) {
  int i = 0;
  for (; i < 6 && text[i] != '\0' && text[i] != ' '; ++i) name[i] = Upper(text[i]);
  name[i] = '\0';
  return i > 0;
}

int StoreWaypoint(GalileoLink* l, uint32_t now) {
  if (tGps.nWaypoints >= kMaxWaypoints) {
    std::printf(" Too many waypoints\n");
    return -1;
  }
  if (tGps.nWaypoints >= tGps.nWaypointSize &&
      GrowWaypointArray(&tGps.pWaypoints, &tGps.nWaypointSize, tGps.nWaypoints) < 0) {
    tGps.nWaypointSize = 0;
    tGps.nWaypoints = 0;
    std::printf(" Memory allocation error\n");
    return -1;
  }
  Waypoint& w = tGps.pWaypoints[tGps.nWaypoints];
  std::memset(&w, 0, sizeof w);
  GeoPos geo{l->dLatitude, l->dLongitude};
  ArcPos arc;
  ConvertGeoToArcPos(&geo, &arc);
  w.nLatitude = arc.nLatitude;
  w.nLongitude = arc.nLongitude;
  w.nAltitudeM = l->nAltitude;
  w.dwTime = now;
  CompressString(l->szId);
  CompressString(l->szName);
  if (!FirstWord(l->szId, w.szName) && !FirstWord(l->szName, w.szName)) std::strcpy(w.szName, "Z");
  for (int i = 0; l->szName[i] != '\0' && i < 40; ++i) w.szComment[i] = Upper(l->szName[i]);
  ++tGps.nWaypoints;
  if (tGps.nWaypoints % 10 == 0) ProgressUpdate(&l->tProgress, tGps.nWaypoints);
  return 0;
}

int ReadWaypoints(GalileoLink* l) {
  std::free(tGps.pWaypoints);
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(100 * sizeof(Waypoint)));
  tGps.nWaypoints = 0;
  tGps.nWaypointSize = tGps.pWaypoints != nullptr ? 100 : 0;
  if (tGps.pWaypoints == nullptr) {
    std::printf("Memory allocation error\n");
    return -1;
  }
  FlushComFifo();
  InitDecodeWptByte(l);
  SendRequest("$PBRWPS,*38\r\n");
  ProgressStart(&l->tProgress, "Waypoints", static_cast<int>(tGps.bScroll));
  uint32_t now = GetGpsTimeNow();
  // The list has no end marker: two seconds of silence end it.
  double last = ComClockSeconds();
  int nSinceWaypoint = 0;
  for (;;) {
    int waited = WaitComFifo(last, 2.0);
    if (waited == kWaitInterrupted) return ReportInterrupted(" ");
    if (waited == 0) break;
    bool heard = false;
    while (NonEmptyComFifo()) {
      uint8_t c = ReadComFifo();
      if (++nSinceWaypoint > kMaxBytesWithoutSentence) {
        std::printf(" Timeout\n");
        return -1;
      }
      if (c == kXon || c == kXoff) continue;
      heard = true;
      int result = DecodeWptByte(l, c);
      if (result < 0) {
        std::printf(" Format error %d\n", -result);
        return -1;
      }
      if (result == 0) {
        if (StoreWaypoint(l, now) < 0) return -1;
        nSinceWaypoint = 0;
      }
    }
    // Flow control bytes are no sign of life: they do not hold the silence off.
    if (heard) last = ComClockSeconds();
  }
  ProgressFinish(&l->tProgress, tGps.nWaypoints);
  return tGps.nWaypoints > 0 ? 0 : -1;
}

int WriteWaypoints(GalileoLink* l) {
  ProgressStart(&l->tProgress, "Waypoints", static_cast<int>(tGps.bScroll));
  for (int i = 0; i < tGps.nWaypoints; ++i) {
    const Waypoint& w = tGps.pWaypoints[i];
    ArcPos arc{w.nLatitude, w.nLongitude};
    GeoPos geo;
    ConvertArcToGeoPos(&arc, &geo);
    int32_t lat = RoundHalfAwayFromZero((geo.dLatitude < 0 ? -geo.dLatitude : geo.dLatitude) * kRadianToMin1000);
    int32_t lon = RoundHalfAwayFromZero((geo.dLongitude < 0 ? -geo.dLongitude : geo.dLongitude) * kRadianToMin1000);
    // The instrument shows the comment as the name; a waypoint read without
    // a comment would arrive nameless, so it goes under its identifier.
    const char* name = w.szComment[0] != '\0' ? w.szComment : w.szName;
    int32_t altitude = w.nAltitudeM < 0 ? 0 : (w.nAltitudeM > 9999 ? 9999 : w.nAltitudeM);
    char sentence[128];
    int n = std::snprintf(sentence, sizeof sentence, "$PBRWPR,%04d.%03d,%c,%05d.%03d,%c,,%-17.17s,%04d",
                          (lat / 60000) * 100 + (lat % 60000) / 1000, lat % 1000, geo.dLatitude < 0 ? 'S' : 'N',
                          (lon / 60000) * 100 + (lon % 60000) / 1000, lon % 1000, geo.dLongitude < 0 ? 'W' : 'E',
                          name, altitude);
    uint8_t sum = 0;
    for (int k = 1; k < n; ++k) sum ^= static_cast<uint8_t>(sentence[k]);
    std::snprintf(sentence + n, sizeof sentence - static_cast<size_t>(n), "*%02X\r\n", sum);
    WriteComString(sentence);
    if (PauseSeconds(0.3) == kWaitInterrupted) return ReportInterrupted(" ");
    ProgressUpdate(&l->tProgress, i + 1);
  }
  return 0;
}

// Opens the port, identifies the instrument and runs one transfer; the port
// is closed on every path.
int RunTransfer(int (*transfer)(GalileoLink*)) {
  static GalileoLink link;
  std::memset(&link, 0, sizeof link);
  if (OpenComPort() != 0) return -1;
  int result = ReadProductData(&link);
  if (result == 0) result = transfer(&link);
  CloseComPort();
  return result < 0 ? -1 : 0;
}

}  // namespace galileo

using namespace galileo;

int DownloadGalileoTrackLog() {
  return RunTransfer([](GalileoLink* link) {
    int flight = ReadTrackList(link);
    return flight < 0 ? -1 : ReadTrackLog(link, flight);
  });
}

int DownloadGalileoWaypoints() { return RunTransfer(ReadWaypoints); }

int UploadGalileoWaypoints() { return RunTransfer(WriteWaypoints); }
