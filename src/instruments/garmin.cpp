// Garmin receivers: the serial packet link, identification from the
// receiver's protocol capability list (or the built-in product table), the
// track log download and the waypoint download and upload, at 9600 baud.
#include "instruments/garmin.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/progress.h"
#include "common/records.h"
#include "common/time.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "link/com.h"

using namespace garmin;

namespace {

constexpr uint8_t kDle = 0x10, kEtx = 0x03;

// Commands of Pid_Command_Data.
constexpr uint8_t kCmdAbortTransfer = 0, kCmdTransferTrk = 6, kCmdTransferWpt = 7;

constexpr uint16_t kSymbolAirport = 16384, kSymbolWaypoint = 18;
constexpr uint32_t kNoFix = 0x7FFFFFFFu;  // latitude and longitude of a point without a fix
constexpr uint32_t kNoTime = 0xFFFFFFFFu;

// Receivers that send no capability list, by product ID and, within one
// product, by descending software version range.
constexpr Capability atProtocolLibrary[] = {
    {7, 0, 65535, 100, 100, 0, 0, 0},         {13, 0, 65535, 100, 100, 300, 0, 300},
    {14, 0, 65535, 100, 100, 0, 0, 0},        {15, 0, 65535, 100, 151, 0, 0, 0},
    {18, 0, 65535, 100, 100, 300, 0, 300},    {22, 0, 65535, 100, 152, 300, 0, 300},
    {23, 0, 65535, 100, 100, 300, 0, 300},    {24, 0, 65535, 100, 100, 300, 0, 300},
    {25, 0, 65535, 100, 100, 300, 0, 300},    {29, 400, 65535, 100, 102, 300, 0, 300},
    {29, 0, 399, 100, 101, 300, 0, 300},      {31, 0, 65535, 100, 100, 300, 0, 300},
    {35, 0, 65535, 100, 100, 300, 0, 300},    {36, 300, 65535, 100, 152, 300, 0, 300},
    {36, 0, 299, 100, 152, 300, 0, 300},      {39, 0, 65535, 100, 151, 300, 0, 300},
    {41, 0, 65535, 100, 100, 300, 0, 300},    {42, 0, 65535, 100, 100, 300, 0, 300},
    {44, 0, 65535, 100, 101, 300, 0, 300},    {45, 0, 65535, 100, 152, 300, 0, 300},
    {47, 0, 65535, 100, 100, 300, 0, 300},    {48, 0, 65535, 100, 154, 300, 0, 300},
    {49, 0, 65535, 100, 102, 300, 0, 300},    {50, 0, 65535, 100, 152, 300, 0, 300},
    {53, 0, 65535, 100, 152, 300, 0, 300},    {55, 0, 65535, 100, 100, 300, 0, 300},
    {56, 0, 65535, 100, 100, 300, 0, 300},    {59, 0, 65535, 100, 100, 300, 0, 300},
    {61, 0, 65535, 100, 100, 300, 0, 300},    {62, 0, 65535, 100, 100, 300, 0, 300},
    {71, 0, 65535, 100, 155, 300, 0, 300},    {72, 0, 65535, 100, 104, 300, 0, 300},
    {73, 0, 65535, 100, 103, 300, 0, 300},    {74, 0, 65535, 100, 100, 300, 0, 300},
    {76, 0, 65535, 100, 102, 300, 0, 300},    {77, 361, 65535, 100, 103, 300, 0, 300},
    {77, 350, 360, 100, 103, 300, 0, 300},    {77, 301, 349, 100, 103, 300, 0, 300},
    {77, 0, 300, 100, 100, 300, 0, 300},      {87, 0, 65535, 100, 103, 300, 0, 300},
    {88, 0, 65535, 100, 102, 300, 0, 300},    {95, 0, 65535, 100, 103, 300, 0, 300},
    {96, 0, 65535, 100, 103, 300, 0, 300},    {97, 0, 65535, 100, 103, 300, 0, 300},
    {100, 0, 65535, 100, 103, 300, 0, 300},   {105, 0, 65535, 100, 103, 300, 0, 300},
    {106, 0, 65535, 100, 103, 300, 0, 300},   {112, 0, 65535, 100, 152, 300, 0, 300},
    {0, 0, 0, 0, 0, 0, 0, 0},
};

// Track point data types: where altitude and the new-track flag stand
// (-1: the type has none).
struct TrackPointFormat {
  int32_t nType;
  uint32_t nMinSize;
  int nAltitudeAt;
  int nNewTrackAt;
};
constexpr TrackPointFormat kTrackPointFormats[] = {
    {300, 13, -1, 12}, {301, 21, 12, 20}, {302, 25, 12, 24}, {303, 17, 12, -1}, {304, 23, 12, -1},
};

// Waypoint data types, both ways. Fixed-field types carry a 6-byte
// identifier and a 40-byte comment; string types carry both as
// NUL-terminated strings after nSize bytes.
enum AltitudeKind { kNoAltitude, kFloatAltitude, kShortAltitude };
struct WaypointFormat {
  int32_t nType;
  uint32_t nSize;  // the whole record, or the part before the strings
  int nLatitudeAt;  // the longitude follows
  AltitudeKind eAltitude;
  int nAltitudeAt;
  int nSymbolAt;   // 16-bit symbol, -1: none
  int nSymbolByteAt;  // a one-byte symbol always sent as kSymbolWaypoint, -1: none
  int nIdentAt;    // fixed fields; -1 for string types
  int nCommentAt;
  int nTimeAt;     // -1: none
  int nMarks;      // bytes 0..3 are sent as abMarks (4), and checked on receipt (2: bytes 0 and 3)
  uint8_t abMarks[4];
};
constexpr WaypointFormat kWaypointFormats[] = {
    {100, 58, 6, kNoAltitude, 0, -1, -1, 0, 18, -1, 0, {}},
    {101, 63, 6, kNoAltitude, 0, -1, 62, 0, 18, -1, 0, {}},
    {102, 64, 6, kNoAltitude, 0, 62, -1, 0, 18, -1, 0, {}},
    {103, 60, 6, kNoAltitude, 0, -1, -1, 0, 18, -1, 0, {}},
    {104, 65, 6, kNoAltitude, 0, 62, -1, 0, 18, -1, 0, {}},
    {107, 65, 6, kNoAltitude, 0, -1, -1, 0, 18, -1, 0, {}},
    {108, 48, 24, kFloatAltitude, 32, 4, -1, -1, -1, -1, 4, {0, 255, 0, 0x60}},
    {109, 52, 24, kFloatAltitude, 32, 4, -1, -1, -1, -1, 2, {1, 0, 31, 0x70}},
    {110, 62, 24, kFloatAltitude, 32, 4, -1, -1, -1, 56, 2, {1, 0, 31, 0x80}},
    {150, 115, 9, kShortAltitude, 17, -1, -1, 0, 75, -1, 0, {}},
    {151, 124, 6, kShortAltitude, 118, -1, -1, 0, 18, -1, 0, {}},
    {152, 124, 6, kShortAltitude, 118, -1, -1, 0, 18, -1, 0, {}},
    {154, 126, 6, kShortAltitude, 118, 124, -1, 0, 18, -1, 0, {}},
    {155, 127, 6, kShortAltitude, 118, 124, -1, 0, 18, -1, 0, {}},
};

template <typename T, size_t N>
const T* FindFormat(const T (&table)[N], int32_t type) {
  for (const T& format : table) {
    if (format.nType == type) return &format;
  }
  return nullptr;
}

const char* Prefix(const GarminLink* link) { return link->bCounter ? " " : ""; }

uint16_t U16At(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32At(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
float FloatAt(const uint8_t* p) {
  uint32_t bits = U32At(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
void PutU16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
void PutU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutFloat(uint8_t* p, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(p, bits);
}

// ---------------------------------------------------------------- link

void SendPacket(uint8_t id, const uint8_t* data, int size) {
  uint8_t frame[kGarminMaxFrame];
  WriteComData(frame, static_cast<size_t>(BuildGarminFrame(id, data, size, frame)));
}

void SendTwoBytes(uint8_t id, uint8_t low, uint8_t high) {
  const uint8_t data[2] = {low, high};
  SendPacket(id, data, 2);
}

void SendAckResponse(uint8_t pid) { SendTwoBytes(kPidAck, pid, 0); }
void SendAbortRequest() { SendTwoBytes(kPidCommand, kCmdAbortTransfer, 0); }
void SendRecordCount(int n) { SendTwoBytes(kPidRecords, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)); }
void SendTransferComplete() { SendTwoBytes(kPidXferCmplt, kCmdTransferWpt, 0); }
void SendProductDataRequest() { SendPacket(kPidProductRqst, nullptr, 0); }
void SendTrackLogRequest() { SendTwoBytes(kPidCommand, kCmdTransferTrk, 0); }
void SendWptDownloadRequest() { SendTwoBytes(kPidCommand, kCmdTransferWpt, 0); }

// Abandons the transfer with the receiver and reports why; a null format
// aborts silently (the decoder has told why).
int Abort(const GarminLink* link, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Abort(const GarminLink* link, const char* format, ...) {
  SendAbortRequest();
  if (format == nullptr) return -1;
  std::fputs(Prefix(link), stdout);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  return -1;
}

int Fail(const GarminLink* link, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Fail(const GarminLink* link, const char* format, ...) {
  std::fputs(Prefix(link), stdout);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
  return -1;
}

// ---------------------------------------------------------------- decoding

int BadLength(const GarminLink* link) { return Fail(link, "Bad packet length\n"); }

// Upper-cases and drops trailing blanks, keeping at least `keep` characters.
void TidyName(char* text, size_t keep) {
  size_t n = std::strlen(text);
  for (size_t i = 0; i < n; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
  }
  while (n > keep && text[n - 1] == ' ') text[--n] = '\0';
}

void CheckWptName1(GarminLink* link, const uint8_t* ident, const uint8_t* comment) {
  Waypoint& w = link->tWaypoint;
  std::memcpy(w.szName, ident, 6);
  w.szName[6] = '\0';
  std::memcpy(w.szComment, comment, 40);
  w.szComment[40] = '\0';
  TidyName(w.szName, 1);
  TidyName(w.szComment, 1);
}

// Copies one NUL-terminated string of the packet (or the rest of it) and
// returns where the next one starts.
const uint8_t* CopyString(const uint8_t* from, const uint8_t* end, char* to, size_t max) {
  size_t n = 0;
  while (from < end && *from != 0) {
    if (n < max) to[n++] = static_cast<char>(*from);
    ++from;
  }
  to[n] = '\0';
  return from < end ? from + 1 : end;
}

void CheckWptName2(GarminLink* link, const uint8_t* strings) {
  Waypoint& w = link->tWaypoint;
  const uint8_t* end = link->tPacket.abData + link->tPacket.nSize;
  strings = CopyString(strings, end, w.szName, 6);
  CopyString(strings, end, w.szComment, 40);
  TidyName(w.szName, 0);
  TidyName(w.szComment, 0);
}

}  // namespace

namespace garmin {

FrameResult FeedGarminByte(GarminReceiver* r, GarminPacket* packet, uint8_t c) {
  if (r->nState >= kSize && r->nState <= kChecksum) {
    // Stuffed bytes: a DLE counts once it is doubled.
    if (r->bHeldDle) {
      r->bHeldDle = false;
      if (c != kDle) {
        r->nState = kHunt;
        return kFrameBad;
      }
    } else if (c == kDle) {
      r->bHeldDle = true;
      return kFrameMore;
    }
    r->bSum = static_cast<uint8_t>(r->bSum + c);
  }
  switch (r->nState) {
    case kHunt:
      if (c == kDle) r->nState = kId;
      return kFrameMore;
    case kId:
      if (c == kDle || c == kEtx) {
        r->nState = kHunt;
        return kFrameBad;
      }
      packet->nId = c;
      r->bSum = c;
      r->nState = kSize;
      return kFrameMore;
    case kSize:
      packet->nSize = c;
      r->nCount = 0;
      r->nState = c == 0 ? kChecksum : kData;
      return kFrameMore;
    case kData:
      packet->abData[r->nCount++] = c;
      if (r->nCount == packet->nSize) r->nState = kChecksum;
      return kFrameMore;
    case kChecksum:
      r->nState = r->bSum == 0 ? kEndDle : kHunt;
      return r->nState == kHunt ? kFrameBad : kFrameMore;
    case kEndDle:
      r->nState = c == kDle ? kEndEtx : kHunt;
      return r->nState == kHunt ? kFrameBad : kFrameMore;
    case kEndEtx:
      r->nState = kHunt;
      return c == kEtx ? kFramePacket : kFrameBad;
  }
  r->nState = kHunt;
  return kFrameBad;
}

int DecodeAck(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  if (p.nSize < 1) return BadLength(link);
  link->nAckId = p.abData[0];
  return 0;
}

int DecodeRecordCount(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  if (p.nSize < 2) return BadLength(link);
  link->nRecords = U16At(p.abData);
  return 0;
}

int DecodeTrackPoint(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  const TrackPointFormat* f = FindFormat(kTrackPointFormats, link->tCapability.nTrkPointType);
  if (f == nullptr) return Fail(link, "Unsupported track protocol (%d)\n", link->tCapability.nTrkPointType);
  if (p.nSize < f->nMinSize) return BadLength(link);
  TrackPoint& t = link->tPoint;
  t.nLatitude = static_cast<int32_t>(U32At(p.abData));
  t.nLongitude = static_cast<int32_t>(U32At(p.abData + 4));
  t.dwTime = U32At(p.abData + 8);
  t.nPressureAltitude = 0;
  t.nGpsAltitude = 0;
  if (f->nAltitudeAt >= 0) {
    // Above 1.0e10 the receiver had no altitude; values whose decimetres
    // leave the 32-bit range (or are not numbers) are no altitude either.
    double decimetres = FloatAt(p.abData + f->nAltitudeAt) * 10.0 + 0.5;
    if (decimetres > -2147483648.0 && decimetres < 2147483647.0) {
      t.nGpsAltitude = static_cast<int32_t>(decimetres);
    }
  }
  // The new-track flag is one bit, whatever value the receiver puts in its byte.
  t.dwFlags = (f->nNewTrackAt >= 0 && p.abData[f->nNewTrackAt] != 0) ? kSegmentStart : 0;
  // Fitness receivers log points without a fix with both coordinates at
  // 0x7FFFFFFF: they are no positions.
  link->bPointHasFix = !(U32At(p.abData) == kNoFix && U32At(p.abData + 4) == kNoFix);
  return 0;
}

int DecodeTrackHeader(GarminLink* link) {
  // A D311 header is a bare 16-bit track index; the others add a display
  // flag, a colour and at least the NUL of a name.
  return link->tPacket.nSize < (link->tCapability.nTrkHeaderType == 311 ? 2 : 3) ? BadLength(link) : 0;
}

int DecodeWaypoint(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  const uint8_t* d = p.abData;
  const WaypointFormat* f = FindFormat(kWaypointFormats, link->tCapability.nWptType);
  if (f == nullptr) return Fail(link, "Unsupported waypoint protocol (%d)\n", link->tCapability.nWptType);
  if (p.nSize < f->nSize) return BadLength(link);
  if (f->nMarks == 2 && (d[0] != f->abMarks[0] || d[3] != f->abMarks[3])) {
    return Fail(link, "Bad type or attribute value for waypoint\n");
  }
  Waypoint& w = link->tWaypoint;
  std::memset(&w, 0, sizeof w);
  w.dwTime = link->dwDownloadTime;
  w.nLatitude = static_cast<int32_t>(U32At(d + f->nLatitudeAt));
  w.nLongitude = static_cast<int32_t>(U32At(d + f->nLatitudeAt + 4));
  if (f->eAltitude == kFloatAltitude) {
    double metres = FloatAt(d + f->nAltitudeAt);
    if (metres >= -20000.0 && metres <= 20000.0) w.nAltitudeM = static_cast<int32_t>(std::round(metres));
  } else if (f->eAltitude == kShortAltitude) {
    w.nAltitudeM = static_cast<int16_t>(U16At(d + f->nAltitudeAt));
  }
  if (f->nSymbolAt >= 0) w.bAirfield = U16At(d + f->nSymbolAt) == kSymbolAirport ? 1 : 0;
  // A time of all ones is the receiver's "no time": the download time stays.
  if (f->nTimeAt >= 0 && U32At(d + f->nTimeAt) != kNoTime) w.dwTime = U32At(d + f->nTimeAt);
  if (f->nIdentAt >= 0) {
    CheckWptName1(link, d + f->nIdentAt, d + f->nCommentAt);
  } else {
    CheckWptName2(link, d + f->nSize);
  }
  return 0;
}

int DecodeProtocolArray(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  link->nProtocols = p.nSize / 3;
  for (int i = 0; i < link->nProtocols; ++i) {
    link->acTag[i] = static_cast<char>(p.abData[3 * i]);
    link->awNumber[i] = U16At(p.abData + 3 * i + 1);
  }
  return 0;
}

int DecodeProductData(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  if (p.nSize < 5) return BadLength(link);
  link->wProductId = U16At(p.abData);
  link->wSoftwareVersion = U16At(p.abData + 2);
  size_t n = strnlen(reinterpret_cast<const char*>(p.abData + 4), p.nSize - 4u);
  // The description goes to the terminal and into the header of the IGC
  // file, where a line break would start a record of its own: control
  // characters become blanks.
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = p.abData[4 + i];
    link->szDescription[i] = c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
  }
  link->szDescription[n] = '\0';
  return 0;
}

int DecodePacket(GarminLink* link) {
  const GarminPacket& p = link->tPacket;
  link->nPacketId = p.nId;
  link->nPacketSize = p.nSize;
  switch (p.nId) {
    case kPidAck:
    case kPidNak:
      return DecodeAck(link);
    case kPidXferCmplt:
      return p.nSize < 2 ? BadLength(link) : 0;
    case kPidRecords:
      return DecodeRecordCount(link);
    case kPidTrkData:
      return DecodeTrackPoint(link);
    case kPidWptData:
      return DecodeWaypoint(link);
    case kPidTrkHdr:
      return DecodeTrackHeader(link);
    case kPidExtProductData:
      return 0;
    case kPidProtocolArray:
      return DecodeProtocolArray(link);
    case kPidProductData:
      return DecodeProductData(link);
    default:
      return Fail(link, "Unhandled packet (%d)\n", p.nId);
  }
}

int CheckCapability(GarminLink* link) {
  Capability& c = link->tCapability;
  int32_t current = 0;
  for (int i = 0; i < link->nProtocols; ++i) {
    int32_t number = link->awNumber[i];
    switch (link->acTag[i]) {
      case 'A':
        if (number == 100) {
          c.nWptProtocol = 100;
          current = 100;
        } else if (number >= 300 && number <= 302) {
          c.nTrkProtocol = number;
          current = 300;
        } else {
          current = 0;
        }
        break;
      case 'D':
        if (current == 100) {
          c.nWptType = number;
        } else if (current == 300 && number >= 300 && number <= 304) {
          c.nTrkPointType = number;
        } else if (current == 300 && number >= 310 && number <= 312) {
          c.nTrkHeaderType = number;
        }
        break;
      case 'P':
      case 'L':
      case 'T':
        break;
      default:
        std::printf("Unknown protocol tag character (%c)\n", link->acTag[i]);
        return -1;
    }
  }
  return 0;
}

bool FindLibraryCapability(GarminLink* link) {
  for (const Capability* c = atProtocolLibrary; c->nProductId != 0; ++c) {
    if (c->nProductId == link->wProductId && c->nLowVersion <= link->wSoftwareVersion &&
        link->wSoftwareVersion <= c->nHighVersion) {
      link->tCapability = *c;
      return true;
    }
  }
  return false;
}

TrackRecordResult StoreTrackRecord(GarminLink* link) {
  if (link->nPacketId == kPidTrkData) {
    if (link->bPointHasFix) {
      TrackPoint& point = tGps.pTrack[tGps.nTrackPoints++];
      point = link->tPoint;
      if (link->bNewTrack) point.dwFlags = kSegmentStart;
      link->bNewTrack = false;
    }
    return kTrackRecordStored;
  }
  if (link->nPacketId == kPidTrkHdr) {
    if (link->tCapability.nTrkProtocol == 300) return kTrackRecordMismatch;
    link->bNewTrack = true;
    return kTrackRecordStored;
  }
  return kTrackRecordBad;
}

bool StoreWaypointRecord(GarminLink* link) {
  if (link->nPacketId != kPidWptData) return false;
  tGps.pWaypoints[tGps.nWaypoints++] = link->tWaypoint;
  return true;
}

}  // namespace garmin

namespace {

// Reads and decodes the next packet: 0, or -1 after the abort and the
// message (the time-out's, the decoder's, or the interruption's).
int ReceivePacket(GarminLink* link, const char* timeoutMessage) {
  int read = ReadGarminPacket(&link->tPacket);
  if (read == kGarminInterrupted) {
    SendAbortRequest();
    return ReportInterrupted(Prefix(link));
  }
  if (read < 0) return Abort(link, "%s\n", timeoutMessage);
  if (DecodePacket(link) < 0) return Abort(link, nullptr);
  return 0;
}

// ---------------------------------------------------------------- identification

int ShowProduct() {
  std::printf("Product: %s\n", tGps.szProduct);
  std::fflush(stdout);
  return 0;
}

int ReadProductData(GarminLink* link) {
  FlushComFifo();
  SendProductDataRequest();
  for (int i = 0; i < 2; ++i) {
    if (ReceivePacket(link, "Product data request response timeout") < 0) return -1;
    if (link->nPacketId != kPidAck) break;
  }
  if (link->nPacketId != kPidProductData) return Abort(link, "Bad product data request response\n");
  std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "%.80s", link->szDescription);
  std::memset(&link->tCapability, 0, sizeof link->tCapability);
  SendAckResponse(kPidProductData);

  int read = ReadGarminPacket(&link->tPacket);
  if (read == kGarminInterrupted) {
    SendAbortRequest();
    return ReportInterrupted("");
  }
  if (read < 0) {
    // No capability list: an older receiver, known by its product ID.
    if (FindLibraryCapability(link)) return ShowProduct();
    std::printf("GPS model not supported\n");
    return -1;
  }
  if (DecodePacket(link) < 0) return Abort(link, nullptr);
  while (link->nPacketId == kPidExtProductData) {
    SendAckResponse(kPidExtProductData);
    if (ReceivePacket(link, "Protocol support: Missing support definition packet") < 0) return -1;
  }
  if (link->nPacketId != kPidProtocolArray) return Abort(link, "Protocol support: Bad response\n");
  SendAckResponse(kPidProtocolArray);
  link->tCapability.nProductId = link->wProductId;
  link->tCapability.nLowVersion = link->wSoftwareVersion;
  link->tCapability.nHighVersion = link->wSoftwareVersion;
  if (CheckCapability(link) < 0) return -1;
  return ShowProduct();
}

// ---------------------------------------------------------------- transfers

// The request, its acknowledgement and the record count that opens a
// download; the count, or -1 after the abort and the message.
int StartDownload(GarminLink* link, void (*request)(), const char* what) {
  FlushComFifo();
  request();
  char message[64];
  std::snprintf(message, sizeof message, "%s request: Response timeout", what);
  if (ReceivePacket(link, message) < 0) return -1;
  if (link->nPacketId != kPidAck) return Abort(link, "%s request: Bad response packet (%d)\n", what, link->nPacketId);
  std::snprintf(message, sizeof message, "%s records: Response timeout", what);
  if (ReceivePacket(link, message) < 0) return -1;
  if (link->nPacketId != kPidRecords) return Abort(link, "%s records: Bad response packet (%d)\n", what, link->nPacketId);
  SendAckResponse(kPidRecords);
  return static_cast<int>(link->nRecords);
}

int FinishDownload(GarminLink* link) {
  if (ReceivePacket(link, "Transfer complete: Response timeout") < 0) return -1;
  if (link->nPacketId != kPidXferCmplt) {
    return Abort(link, "Transfer complete: Bad response packet (%d)\n", link->nPacketId);
  }
  SendAckResponse(kPidXferCmplt);
  return 0;
}

void StartCounter(GarminLink* link, const char* label) {
  ProgressStart(&link->tProgress, label, static_cast<int>(tGps.bScroll));
  link->bCounter = !tGps.bScroll;
}

void FinishCounter(GarminLink* link, int count) {
  ProgressFinish(&link->tProgress, count);
  link->bCounter = false;
}

int ReadTrackLog(GarminLink* link) {
  tGps.nTrackPoints = 0;
  int records = StartDownload(link, SendTrackLogRequest, "Track log");
  if (records < 0) return -1;
  if (records > 0) {
    std::free(tGps.pTrack);
    tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * static_cast<size_t>(records)));
    tGps.nTrackSize = tGps.pTrack != nullptr ? records : 0;
    if (tGps.pTrack == nullptr) return Abort(link, "Memory allocation error\n");
    bool bCounter = !tGps.bDebug;
    if (bCounter) StartCounter(link, "Points");
    link->bNewTrack = true;  // the first point, and the first after a track header
    // One packet, and at most one point, per record: the array holds them.
    for (int i = 0; i < records; ++i) {
      if (ReceivePacket(link, "Response timeout") < 0) return -1;
      TrackRecordResult stored = StoreTrackRecord(link);
      if (stored == kTrackRecordMismatch) return Abort(link, "Packet type/protocol mismatch\n");
      if (stored == kTrackRecordBad) return Abort(link, "Bad data\n");
      SendAckResponse(static_cast<uint8_t>(link->nPacketId));
      if (bCounter && tGps.nTrackPoints > 0 && tGps.nTrackPoints % 5 == 0) {
        ProgressUpdate(&link->tProgress, tGps.nTrackPoints);
      }
    }
    if (bCounter) FinishCounter(link, tGps.nTrackPoints);
  }
  if (FinishDownload(link) < 0 || tGps.nTrackPoints == 0) return -1;
  tGps.bSigned = 1;
  tGps.bUtcTime = 1;
  tGps.bPressureAltitude = 0;
  tGps.dwDownloadTime = GetGpsTimeNow();
  return 0;
}

int ReadWaypoints(GarminLink* link) {
  tGps.nWaypoints = 0;
  int records = StartDownload(link, SendWptDownloadRequest, "Wpt. download");
  if (records < 0) return -1;
  link->dwDownloadTime = GetGpsTimeNow();
  if (records > 0) {
    std::free(tGps.pWaypoints);
    tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(sizeof(Waypoint) * static_cast<size_t>(records)));
    tGps.nWaypointSize = tGps.pWaypoints != nullptr ? records : 0;
    if (tGps.pWaypoints == nullptr) return Abort(link, "Memory allocation error\n");
    bool bCounter = !tGps.bDebug;
    if (bCounter) StartCounter(link, "Waypoints");
    for (int i = 0; i < records; ++i) {
      if (ReceivePacket(link, "Response timeout") < 0) return -1;
      if (!StoreWaypointRecord(link)) return Abort(link, "Bad data\n");
      SendAckResponse(kPidWptData);
      if (bCounter && tGps.nWaypoints % 5 == 0) ProgressUpdate(&link->tProgress, tGps.nWaypoints);
    }
    if (bCounter) FinishCounter(link, tGps.nWaypoints);
  }
  if (FinishDownload(link) < 0 || tGps.nWaypoints == 0) return -1;
  return 0;
}

// The receiver's character set: upper-case letters, digits, blank and "-".
char MapWptChar(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '-') return c;
  return ' ';
}

// Writes up to `max` mapped characters; padded with blanks to `max` for a
// fixed field, or followed by a NUL for a string field. Returns the bytes used.
int PutWptText(uint8_t* to, const char* text, int max, bool fixed) {
  int n = 0;
  for (; n < max && text[n] != '\0'; ++n) to[n] = static_cast<uint8_t>(MapWptChar(text[n]));
  if (!fixed) {
    to[n] = 0;
    return n + 1;
  }
  for (; n < max; ++n) to[n] = ' ';
  return max;
}

// Builds the Pid_Wpt_Data frame of one waypoint in the link's frame buffer;
// returns its length.
int EncodeWaypointPacket(GarminLink* link, const Waypoint& w) {
  const WaypointFormat& f = *FindFormat(kWaypointFormats, link->tCapability.nWptType);
  uint8_t data[255] = {};
  int size = static_cast<int>(f.nSize);
  PutU32(data + f.nLatitudeAt, static_cast<uint32_t>(w.nLatitude));
  PutU32(data + f.nLatitudeAt + 4, static_cast<uint32_t>(w.nLongitude));
  if (f.eAltitude == kFloatAltitude) {
    PutFloat(data + f.nAltitudeAt, static_cast<float>(w.nAltitudeM));
  } else if (f.eAltitude == kShortAltitude) {
    // Negative altitudes go as 0; beyond 16 bits the highest value, not a wrapped one.
    int32_t metres = w.nAltitudeM < 0 ? 0 : w.nAltitudeM > 32767 ? 32767 : w.nAltitudeM;
    PutU16(data + f.nAltitudeAt, static_cast<uint16_t>(metres));
  }
  if (f.nSymbolAt >= 0) PutU16(data + f.nSymbolAt, w.bAirfield == 1 ? kSymbolAirport : kSymbolWaypoint);
  if (f.nSymbolByteAt >= 0) data[f.nSymbolByteAt] = kSymbolWaypoint;
  if (f.nMarks > 0) std::memcpy(data, f.abMarks, 4);
  if (f.nTimeAt >= 0) PutU32(data + f.nTimeAt, w.dwTime);
  if (f.nIdentAt >= 0) {
    PutWptText(data + f.nIdentAt, w.szName, 6, true);
    PutWptText(data + f.nCommentAt, w.szComment, 40, true);
  } else {
    size += PutWptText(data + size, w.szName, 6, false);
    size += PutWptText(data + size, w.szComment, 40, false);
  }
  return BuildGarminFrame(kPidWptData, data, size, link->abFrame);
}

// Waits for the receiver's acknowledgement of packet `pid`: 0, or -1 after
// the step's message (with the abort).
int ReceiveAck(GarminLink* link, uint8_t pid, const char* step) {
  char message[80];
  std::snprintf(message, sizeof message, "Wpt. upload: %s response timeout", step);
  if (ReceivePacket(link, message) < 0) return -1;
  if (link->nPacketId != kPidAck) {
    return Abort(link, "Wpt. upload: Bad %s response packet (%d)\n", step, link->nPacketId);
  }
  if (link->nAckId != pid) return Abort(link, "Wpt. upload: Bad %s response ID (%d)\n", step, link->nAckId);
  return 0;
}

int WriteWaypoints(GarminLink* link) {
  int32_t type = link->tCapability.nWptType;
  if (FindFormat(kWaypointFormats, type) == nullptr) {
    std::printf("Wpt. upload: Unsupported wpt. data protocol (%d)\n", type);
    return -1;
  }
  // The record count is a 16-bit number.
  if (tGps.nWaypoints > 65535) {
    std::printf("Wpt. upload: Too many waypoints (%d)\n", tGps.nWaypoints);
    return -1;
  }
  FlushComFifo();
  SendRecordCount(tGps.nWaypoints);
  if (ReceiveAck(link, kPidRecords, "record count") < 0) return -1;
  StartCounter(link, "Waypoints");
  for (int i = 0; i < tGps.nWaypoints; ++i) {
    int length = EncodeWaypointPacket(link, tGps.pWaypoints[i]);
    WriteComData(link->abFrame, static_cast<size_t>(length));
    if (ReceiveAck(link, kPidWptData, "data") < 0) return -1;
    if (i % 5 == 0) ProgressUpdate(&link->tProgress, i + 1);
  }
  FinishCounter(link, tGps.nWaypoints);

  SendTransferComplete();
  int read = ReadGarminPacket(&link->tPacket);
  if (read == kGarminInterrupted) {
    SendAbortRequest();
    return ReportInterrupted("");
  }
  if (read < 0) return Abort(link, "Wpt. upload: Transfer complete response timeout\n");
  if (DecodePacket(link) < 0) return -1;
  if (link->nPacketId != kPidAck) {
    return Fail(link, "Wpt. upload: Bad transfer complete response packet (%d)\n", link->nPacketId);
  }
  if (link->nAckId != kPidXferCmplt) {
    return Fail(link, "Wpt. upload: Bad transfer complete response ID (%d)\n", link->nAckId);
  }
  return 0;
}

// Opens the port, identifies the receiver and runs one transfer; the port
// is closed on every path.
int RunTransfer(int (*transfer)(GarminLink*)) {
  static GarminLink link;
  std::memset(&link, 0, sizeof link);
  if (OpenComPort() != 0) return -1;
  int result = ReadProductData(&link);
  if (result == 0) result = transfer(&link);
  CloseComPort();
  return result < 0 ? -1 : 0;
}

}  // namespace

int BuildGarminFrame(uint8_t id, const uint8_t* data, int size, uint8_t* frame) {
  int n = 0;
  frame[n++] = kDle;
  uint8_t sum = 0;
  auto put = [&](uint8_t byte) {
    frame[n++] = byte;
    if (byte == kDle) frame[n++] = kDle;
    sum = static_cast<uint8_t>(sum + byte);
  };
  put(id);
  put(static_cast<uint8_t>(size));
  for (int i = 0; i < size; ++i) put(data[i]);
  put(static_cast<uint8_t>(-sum));
  frame[n++] = kDle;
  frame[n++] = kEtx;
  return n;
}

void DumpGarminPacket(const GarminPacket* packet) {
  std::printf("%02X %02X", packet->nId, packet->nSize);
  for (int i = 0; i < packet->nSize; ++i) {
    if (i > 0 && i % 16 == 0) std::printf("\n     ");
    std::printf(" %02X", packet->abData[i]);
  }
  std::printf("\n");
  std::fflush(stdout);
}

int ReadGarminPacket(GarminPacket* packet) {
  double since = ComClockSeconds();
  GarminReceiver receiver{};
  for (;;) {
    int waited = WaitComFifo(since, kGarminTimeout);
    if (waited == kWaitInterrupted) return kGarminInterrupted;
    if (waited == 0) return -1;
    while (NonEmptyComFifo()) {
      if (FeedGarminByte(&receiver, packet, ReadComFifo()) == kFramePacket) {
        if (tGps.bDebug) DumpGarminPacket(packet);
        return 0;
      }
    }
    // A line busy with bytes that never make a packet ends at the time-out too.
    if (ComClockSeconds() - since >= kGarminTimeout) return -1;
  }
}

int DownloadGarminTrackLog() { return RunTransfer(ReadTrackLog); }
int DownloadGarminWaypoints() { return RunTransfer(ReadWaypoints); }
int UploadGarminWaypoints() { return RunTransfer(WriteWaypoints); }
