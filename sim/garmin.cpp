// A Garmin receiver on its serial packet link: product data and capability
// list, track log and waypoint transfers to the host, and waypoint uploads
// into its memory, with faults on request. Written from the receiver's side
// of the published record layouts.
//
// Every event is one flushed line on standard output:
//   CLIENT / HANGUP / STOP
//   RX <pid> <size> <data hex>   every valid packet from the host
//   TX <pid> <size> <data hex>   every packet sent but ACK and NAK (with --log-acks those too)
//   BAD FRAME <why>              a host frame that did not add up (answered with NAK)
//   ABORT                        the host's Cmnd_Abort_Transfer
//   STORED <ident>|<comment> <lat> <lon> <alt> <symbol> [<time>]   an uploaded waypoint
//   UPLOAD <received> of <announced>   Pid_Xfer_Cmplt of an upload
//   RESEND <pid>, GIVING UP, SILENT, CUT, GARBAGE, IGNORED <why>
#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "families.h"
#include "flight.h"
#include "pty.h"

namespace sim {

namespace {

const option kGarminOptions[] = {
    {"product", required_argument, nullptr, 'p'},   {"version", required_argument, nullptr, 'v'},
    {"description", required_argument, nullptr, 'd'}, {"ext", required_argument, nullptr, 'e'},
    {"no-protocols", no_argument, nullptr, 'n'},    {"trk-protocol", required_argument, nullptr, 'P'},
    {"trk-header", required_argument, nullptr, 'H'}, {"trk-type", required_argument, nullptr, 'T'},
    {"wpt-type", required_argument, nullptr, 'W'},  {"flight", required_argument, nullptr, 'f'},
    {"segment-at", required_argument, nullptr, 's'}, {"flag-byte", required_argument, nullptr, 'F'},
    {"no-fix-at", required_argument, nullptr, 'x'}, {"bad-time-at", required_argument, nullptr, 't'},
    {"points", required_argument, nullptr, 'N'},    {"pace", no_argument, nullptr, 'c'},
    {"stay", no_argument, nullptr, 'y'},            {"log-acks", no_argument, nullptr, 'a'},
    {"nak", required_argument, nullptr, 'K'},       {"bad-checksum", required_argument, nullptr, 'B'},
    {"silent-after", required_argument, nullptr, 'S'}, {"short-record", required_argument, nullptr, 'R'},
    {"records-off", required_argument, nullptr, 'O'}, {"cut-frame", required_argument, nullptr, 'C'},
    {"garbage-after", required_argument, nullptr, 'G'}, {nullptr, 0, nullptr, 0},
};

}  // namespace

const char* const kGarminUsage =
    "    --product ID        product ID of the product data (130)\n"
    "    --version N         software version times 100 (350)\n"
    "    --description TEXT  product description (\"Trail GPS Software Version 3.50\")\n"
    "    --ext TEXT          send an extended product data packet with TEXT (repeatable)\n"
    "    --no-protocols      an older receiver: no capability list after the product data\n"
    "    --trk-type N        track point type 300..304 (301)\n"
    "    --trk-protocol N    track protocol 300..302 (300 for D300, 301 for D301/D302, 302 otherwise)\n"
    "    --trk-header N      track header type 310..312 (310 with A301, 311 with D303, 312 with D304)\n"
    "    --wpt-type N        waypoint type 100..110, 150..155 (108)\n"
    "    --flight FILE.igc   the track log; without it a built-in synthetic flight\n"
    "    --points N          the track log holds the first N points (repeated when there are fewer)\n"
    "    --segment-at N      point N starts a new track (repeatable; points count from 1)\n"
    "    --flag-byte V       the value of a new-track byte that is set (1)\n"
    "    --no-fix-at N       point N has no fix (both coordinates 0x7FFFFFFF; repeatable)\n"
    "    --bad-time-at N     point N is stamped 0xFFFFFFFF (repeatable)\n"
    "    --pace              carry the bytes both ways at 9600 baud, 10 bits a byte\n"
    "    --stay              serve the next client after a hang-up (the waypoint memory stays)\n"
    "    --log-acks          log ACK and NAK packets sent as TX lines too\n"
    "  Faults (packets count from 1 over all the receiver sends but ACK and NAK; host packets\n"
    "  over all the host sends but ACK and NAK; records from 1 after Pid_Records):\n"
    "    --nak N             answer host packet N with NAK and ignore it\n"
    "    --bad-checksum N    packet N goes out once with a wrong checksum (resent 3 s later)\n"
    "    --silent-after N    send nothing at all, ACKs included, once N packets are out\n"
    "    --short-record N    record N is one byte short\n"
    "    --records-off K     Pid_Records announces K records more than sent (K may be negative)\n"
    "    --cut-frame N       packet N breaks off half way\n"
    "    --garbage-after N   after N packets, an endless stream of bytes that makes no packet";

namespace {

constexpr uint8_t kDle = 0x10, kEtx = 0x03;
constexpr uint8_t kAck = 6, kCommand = 10, kXferCmplt = 12, kNak = 21, kRecords = 27, kTrkData = 34,
                  kWptData = 35, kTrkHdr = 99, kExtProduct = 248, kProtocolArray = 253, kProductRqst = 254,
                  kProductData = 255;
constexpr uint16_t kAbortTransfer = 0, kTransferTrk = 6, kTransferWpt = 7;
constexpr int kBaud = 9600;
constexpr int kResendMs = 3000;
constexpr int kResends = 2;
constexpr int kByteTimeoutMs = 1000;
constexpr uint32_t kGpsSecondsOf2000 = 3653u * 86400u;  // 1989-12-31 to 2000-01-01
constexpr float kUnknownFloat = 1.0e25f;

struct Options {
  uint16_t wProduct = 130;
  uint16_t wVersion = 350;
  std::string szDescription = "Trail GPS Software Version 3.50";
  std::vector<std::string> ext;
  bool bNoProtocols = false;
  int nTrkType = 301, nTrkProtocol = 0, nTrkHeader = 0, nWptType = 108;
  std::string szFlight;
  long nPoints = 0;
  std::vector<long> segmentAt, noFixAt, badTimeAt;
  uint8_t bFlagByte = 1;
  bool bPace = false, bStay = false, bLogAcks = false;
  long nNak = 0, nBadChecksum = 0, nSilentAfter = -1, nShortRecord = 0, nRecordsOff = 0, nCutFrame = 0,
       nGarbageAfter = -1;
};

// A waypoint as the receiver keeps it.
struct StoredWaypoint {
  std::string szIdent, szComment;
  int32_t nLat, nLon;  // semicircles
  double dAltitude;    // metres
  uint16_t wSymbol;
  uint32_t dwTime;  // GPS seconds; 0xFFFFFFFF none
};

struct Packet {
  uint8_t nId = 0;
  std::vector<uint8_t> data;
};

struct Session {
  int master = -1;
  ByteInput input;
  const Options* o = nullptr;
  std::vector<Packet> trackRecords;
  std::vector<StoredWaypoint>* memory = nullptr;
  long nSent = 0;       // packets out, ACK and NAK not counted
  long nHostPackets = 0;
  bool bSilent = false;
  long nAnnounced = -1, nReceived = 0;  // an upload in progress
};

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

std::string Hex(const std::vector<uint8_t>& data) {
  std::string text;
  char byte[4];
  for (uint8_t b : data) {
    std::snprintf(byte, sizeof byte, "%s%02X", text.empty() ? "" : " ", b);
    text += byte;
  }
  return text;
}

void LogPacket(const char* direction, const Packet& p) {
  Log("%s %d %zu%s%s", direction, p.nId, p.data.size(), p.data.empty() ? "" : " ", Hex(p.data).c_str());
}

// ---- record layouts -------------------------------------------------------

void Put16(std::vector<uint8_t>& d, size_t at, uint16_t v) {
  d[at] = static_cast<uint8_t>(v);
  d[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& d, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutReal(std::vector<uint8_t>& d, size_t at, float f) {
  uint32_t v;
  std::memcpy(&v, &f, 4);
  Put32(d, at, v);
}
uint32_t Get32(const std::vector<uint8_t>& d, size_t at) {
  return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}
uint16_t Get16(const std::vector<uint8_t>& d, size_t at) { return static_cast<uint16_t>(d[at] | d[at + 1] << 8); }
float GetReal(const std::vector<uint8_t>& d, size_t at) {
  uint32_t v = Get32(d, at);
  float f;
  std::memcpy(&f, &v, 4);
  return f;
}
void PutText(std::vector<uint8_t>& d, size_t at, const std::string& s, size_t width) {
  for (size_t i = 0; i < width; ++i) d[at + i] = i < s.size() ? static_cast<uint8_t>(s[i]) : ' ';
}

// Where the fields of each waypoint type stand (-1: not in the type). Fixed
// types hold ident[6] and cmnt[40]; string types start their strings (ident,
// comment, facility, city, address, cross road) at nStrings.
struct WptLayout {
  int nType, nSize, nIdent, nLat, nCmnt, nStrings, nAltReal, nAltInt, nSmbl8, nSmbl16, nTime, nClass;
};
constexpr WptLayout kWptLayouts[] = {
    // type size ident lat cmnt strings altReal altInt smbl8 smbl16 time class
    {100, 58, 0, 6, 18, -1, -1, -1, -1, -1, -1, -1},
    {101, 63, 0, 6, 18, -1, -1, -1, 62, -1, -1, -1},   // + dst float at 58
    {102, 64, 0, 6, 18, -1, -1, -1, -1, 62, -1, -1},   // + dst float at 58
    {103, 60, 0, 6, 18, -1, -1, -1, 58, -1, -1, -1},   // + dspl at 59
    {104, 65, 0, 6, 18, -1, -1, -1, -1, 62, -1, -1},   // + dst at 58, dspl at 64
    {107, 65, 0, 6, 18, -1, -1, -1, 58, -1, -1, -1},   // + dspl 59, dst 60, color 64
    {108, 48, -1, 24, -1, 48, 32, -1, -1, 4, -1, 0},   // class 0, color 1, dspl 2, attr 3
    {109, 52, -1, 24, -1, 52, 32, -1, -1, 4, -1, 1},   // dtyp 0, class 1, dspl_color 2, attr 3
    {110, 62, -1, 24, -1, 62, 32, -1, -1, 4, 56, 1},   // + temp 52, time 56, category 60
    {150, 115, 0, 9, 75, -1, -1, 17, -1, -1, -1, 8},   // cc 6, city 19, state 43, name 45
    {151, 124, 0, 6, 18, -1, -1, 118, -1, -1, -1, 123},  // dst 58, name 62, city 92, state 116, cc 120
    {152, 124, 0, 6, 18, -1, -1, 118, -1, -1, -1, 123},
    {154, 126, 0, 6, 18, -1, -1, 118, -1, 124, -1, 123},
    {155, 127, 0, 6, 18, -1, -1, 118, -1, 124, -1, 123},  // + dspl 126
};
// The user waypoint class of the D15x types.
uint8_t UserClass(int type) { return type == 151 ? 2 : 4; }

const WptLayout* FindWptLayout(int type) {
  for (const WptLayout& l : kWptLayouts) {
    if (l.nType == type) return &l;
  }
  return nullptr;
}

std::vector<uint8_t> EncodeWaypoint(const WptLayout& l, const StoredWaypoint& w) {
  std::vector<uint8_t> d(static_cast<size_t>(l.nSize), 0);
  Put32(d, l.nLat, static_cast<uint32_t>(w.nLat));
  Put32(d, l.nLat + 4, static_cast<uint32_t>(w.nLon));
  if (l.nIdent >= 0) {
    PutText(d, l.nIdent, w.szIdent.substr(0, 6), 6);
    PutText(d, l.nCmnt, w.szComment.substr(0, 40), 40);
  }
  if (l.nAltReal >= 0) PutReal(d, l.nAltReal, static_cast<float>(w.dAltitude));
  if (l.nAltInt >= 0) Put16(d, l.nAltInt, static_cast<uint16_t>(static_cast<int16_t>(std::lround(w.dAltitude))));
  if (l.nSmbl8 >= 0) d[l.nSmbl8] = static_cast<uint8_t>(w.wSymbol == 16384 ? 8 : 0);
  if (l.nSmbl16 >= 0) Put16(d, l.nSmbl16, w.wSymbol);
  if (l.nType == 108) {
    d[1] = 255;  // user class 0, default colour
    d[3] = 0x60;
  } else if (l.nType >= 109 && l.nType <= 110) {
    d[0] = 1;  // user class 0 at byte 1
    d[2] = 0x1F;
    d[3] = l.nType == 109 ? 0x70 : 0x80;
  }
  if (l.nType >= 108 && l.nType <= 110) {
    for (int i = 6; i < 24; ++i) d[i] = i < 12 ? 0 : 0xFF;  // subclass of a user waypoint
    PutReal(d, 36, kUnknownFloat);  // depth
    PutReal(d, 40, kUnknownFloat);  // proximity distance
    d[44] = d[45] = d[46] = d[47] = ' ';
    if (l.nType == 110) {
      PutReal(d, 52, kUnknownFloat);  // temperature
      Put32(d, 56, w.dwTime);
    }
    for (const std::string* s : {&w.szIdent, &w.szComment}) {
      d.insert(d.end(), s->begin(), s->end());
      d.push_back(0);
    }
    d.insert(d.end(), 4, 0);  // facility, city, address, cross road: empty
  } else if (l.nClass >= 0) {
    d[l.nClass] = UserClass(l.nType);
  }
  return d;
}

// Reads an uploaded waypoint; empty text when it fits the layout, else why not.
std::string DecodeWaypoint(const WptLayout& l, const std::vector<uint8_t>& d, StoredWaypoint* w) {
  if (d.size() < static_cast<size_t>(l.nSize)) return "record too short";
  w->nLat = static_cast<int32_t>(Get32(d, l.nLat));
  w->nLon = static_cast<int32_t>(Get32(d, l.nLat + 4));
  w->dAltitude = l.nAltReal >= 0 ? GetReal(d, l.nAltReal) : l.nAltInt >= 0 ? static_cast<int16_t>(Get16(d, l.nAltInt)) : 0;
  w->wSymbol = l.nSmbl16 >= 0 ? Get16(d, l.nSmbl16) : l.nSmbl8 >= 0 ? d[l.nSmbl8] : 0;
  w->dwTime = l.nTime >= 0 ? Get32(d, l.nTime) : 0xFFFFFFFFu;
  if (l.nIdent >= 0) {
    w->szIdent.assign(reinterpret_cast<const char*>(&d[l.nIdent]), 6);
    w->szComment.assign(reinterpret_cast<const char*>(&d[l.nCmnt]), 40);
    return "";
  }
  if (l.nType == 109 && (d[0] != 1 || d[3] != 0x70)) return "bad dtyp or attr";
  if (l.nType == 110 && (d[0] != 1 || d[3] != 0x80)) return "bad dtyp or attr";
  std::string* fields[2] = {&w->szIdent, &w->szComment};
  size_t at = static_cast<size_t>(l.nSize);
  for (std::string* field : fields) {
    field->clear();
    while (at < d.size() && d[at] != 0) field->push_back(static_cast<char>(d[at++]));
    if (at >= d.size()) return "unterminated string";
    ++at;
  }
  return "";
}

// The memory a receiver leaves the factory with here: upper and lower case,
// a blank comment, below sea level, an airfield, a name longer than the six
// characters of the older types, and a comment with a comma, markup, a
// control character and a Latin-1 byte.
std::vector<StoredWaypoint> DefaultMemory() {
  auto semis = [](double degrees) { return static_cast<int32_t>(std::lround(degrees * 2147483648.0 / 180.0)); };
  const uint32_t created = kGpsSecondsOf2000 + 8932u * 86400u + 37800u;  // 2024-06-15 10:30:00
  return {
      {"LAUNCH", "Forclaz launch west", semis(45.8139), semis(6.2464), 1250.0, 18, created},
      {"lz1", "doussard landing  ", semis(45.7797), semis(6.2208), 450.0, 16384, 0xFFFFFFFFu},
      {"SEA", "", semis(-33.5), semis(-70.25), -12.5, 18, created + 60},
      {"Planpraz top", "Planpraz, top <1>\x01\xE9", semis(45.938), semis(-6.842), 2000.0, 18, created + 120},
  };
}

// ---- track log ------------------------------------------------------------

bool Listed(const std::vector<long>& list, long n) {
  for (long v : list) {
    if (v == n) return true;
  }
  return false;
}

std::vector<Packet> EncodeTrack(const Options& o, const Flight& flight) {
  std::vector<Packet> records;
  size_t count = o.nPoints > 0 ? static_cast<size_t>(o.nPoints) : flight.points.size();
  uint32_t lapOffset = 0;
  uint16_t tracks = 0;
  for (size_t i = 0; i < count; ++i) {
    const FlightPoint& p = flight.points[i % flight.points.size()];
    if (i > 0 && i % flight.points.size() == 0) {
      lapOffset += flight.points.back().dwTime - flight.points.front().dwTime + 1;
    }
    long number = static_cast<long>(i) + 1;
    bool newTrack = i == 0 || Listed(o.segmentAt, number);
    if (newTrack && o.nTrkProtocol != 300) {
      Packet h{kTrkHdr, {}};
      if (o.nTrkHeader == 311) {
        h.data = {static_cast<uint8_t>(tracks), static_cast<uint8_t>(tracks >> 8)};
      } else {
        h.data = {1, 0xFF};  // displayed, default colour, then the name
        std::string name = "TRACK " + std::to_string(number);
        h.data.insert(h.data.end(), name.begin(), name.end());
        h.data.push_back(0);
      }
      records.push_back(h);
      ++tracks;
    }
    static const int kSizes[] = {13, 21, 25, 17, 23};
    std::vector<uint8_t> d(static_cast<size_t>(kSizes[o.nTrkType - 300]), 0);
    bool fix = !Listed(o.noFixAt, number);
    // 1/60000 degree to semicircles: 2^31 / (180 * 60000).
    double scale = 2147483648.0 / 10800000.0;
    Put32(d, 0, fix ? static_cast<uint32_t>(std::lround(p.nLatitude * scale)) : 0x7FFFFFFFu);
    Put32(d, 4, fix ? static_cast<uint32_t>(std::lround(p.nLongitude * scale)) : 0x7FFFFFFFu);
    Put32(d, 8, Listed(o.badTimeAt, number) ? 0xFFFFFFFFu : p.dwTime + lapOffset + kGpsSecondsOf2000);
    uint8_t flag = newTrack ? o.bFlagByte : 0;
    float altitude = fix ? static_cast<float>(p.nGpsAltitude) : kUnknownFloat;
    switch (o.nTrkType) {
      case 300: d[12] = flag; break;
      case 301: PutReal(d, 12, altitude), PutReal(d, 16, kUnknownFloat), d[20] = flag; break;
      case 302: PutReal(d, 12, altitude), PutReal(d, 16, kUnknownFloat), PutReal(d, 20, kUnknownFloat), d[24] = flag; break;
      case 303: PutReal(d, 12, altitude), d[16] = 0xFF; break;  // no heart rate
      default: PutReal(d, 12, altitude), PutReal(d, 16, kUnknownFloat), d[20] = 0, d[21] = 0xFF, d[22] = 0; break;
    }
    records.push_back({kTrkData, d});
  }
  return records;
}

// ---- link -----------------------------------------------------------------

std::vector<uint8_t> Frame(const Packet& p, bool badChecksum) {
  std::vector<uint8_t> f = {kDle};
  uint8_t sum = 0;
  auto stuff = [&](uint8_t b) {
    f.push_back(b);
    if (b == kDle) f.push_back(kDle);
    sum = static_cast<uint8_t>(sum + b);
  };
  stuff(p.nId);
  stuff(static_cast<uint8_t>(p.data.size()));
  for (uint8_t b : p.data) stuff(b);
  stuff(static_cast<uint8_t>(-sum + (badChecksum ? 1 : 0)));
  f.push_back(kDle);
  f.push_back(kEtx);
  return f;
}

using Clock = std::chrono::steady_clock;
constexpr auto kByteTime = std::chrono::nanoseconds(10 * 1000000000LL / kBaud);

// Paced, each byte goes out the moment its last bit would have crossed the
// line, counted from the frame's start, so the pacing itself adds no delay.
bool Write(Session* s, const std::vector<uint8_t>& bytes) {
  if (!s->o->bPace) return WriteAll(s->master, bytes.data(), bytes.size());
  Clock::time_point start = Clock::now();
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::this_thread::sleep_until(start + kByteTime * static_cast<long>(i + 1));
    if (!WriteAll(s->master, &bytes[i], 1)) return false;
  }
  return true;
}

// The host's bytes take their time on a real line too.
void PaceReceived(Session* s, size_t bytes) {
  if (s->o->bPace) std::this_thread::sleep_for(kByteTime * static_cast<long>(bytes));
}

bool SendAckOrNak(Session* s, uint8_t kind, uint8_t pid) {
  if (s->bSilent) return true;
  Packet p{kind, {pid, 0}};
  if (s->o->bLogAcks) LogPacket("TX", p);
  return Write(s, Frame(p, false));
}

// A stream of bytes without a single DLE, at the line's pace, until the
// host sends anything (its abort) or hangs up.
void SendGarbage(Session* s) {
  Log("GARBAGE");
  std::vector<uint8_t> noise(96);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(0x20 + (i * 37) % 90);
  uint8_t answer[64];
  while (WriteAll(s->master, noise.data(), noise.size(), kBaud)) {
    int n = ReadSome(s->master, answer, sizeof answer, 0);
    if (n < 0) return;
    if (n > 0) {  // the host gave up: its abort
      Log("GARBAGE ENDS");
      return;
    }
  }
}

enum FrameResult { kFrameOk, kFrameBad, kFrameTimeout, kFrameGone };

// Reads one frame of the host; a broken one says why in *why.
FrameResult ReadFrame(Session* s, Packet* p, int timeoutMs, std::string* why) {
  int c;
  do {
    c = ReadByte(&s->input, timeoutMs);
    if (c == kReadGone) return kFrameGone;
    if (c == kReadTimeout) return kFrameTimeout;
  } while (c != kDle);
  size_t bytes = 1;
  auto next = [&]() {
    int b = ReadByte(&s->input, kByteTimeoutMs);
    if (b >= 0) ++bytes;
    return b;
  };
  int id = next();
  if (id < 0) return id == kReadGone ? kFrameGone : kFrameBad;
  if (id == kDle || id == kEtx) {
    *why = "no packet ID";
    return kFrameBad;
  }
  p->nId = static_cast<uint8_t>(id);
  p->data.clear();
  uint8_t sum = p->nId;
  // Size, data and checksum, each DLE doubled.
  auto unstuffed = [&]() {
    int b = next();
    if (b == kDle) {
      b = next();
      if (b >= 0 && b != kDle) {
        *why = "single DLE inside the frame";
        return -3;
      }
    }
    if (b >= 0) sum = static_cast<uint8_t>(sum + b);
    return b;
  };
  int size = unstuffed();
  for (int i = 0; size >= 0 && i <= size; ++i) {
    int b = unstuffed();
    if (b < 0) {
      size = b;
      break;
    }
    if (i < size) p->data.push_back(static_cast<uint8_t>(b));
  }
  if (size == kReadGone) return kFrameGone;
  if (size < 0) {
    if (why->empty()) *why = "frame breaks off";
    return kFrameBad;
  }
  if (next() != kDle || next() != kEtx) {
    *why = "no DLE ETX";
    return kFrameBad;
  }
  PaceReceived(s, bytes);
  if (sum != 0) {
    *why = "bad checksum";
    return kFrameBad;
  }
  return kFrameOk;
}

// Reads the host's next packet, answering a bad frame with NAK; the packet
// is logged, numbered and, unless --nak picks it, acknowledged when `ack`.
// kFrameBad here means the packet was refused with NAK.
FrameResult Receive(Session* s, Packet* p, int timeoutMs, bool ack) {
  for (;;) {
    std::string why;
    FrameResult r = ReadFrame(s, p, timeoutMs, &why);
    if (r == kFrameBad) {
      Log("BAD FRAME %s", why.c_str());
      if (!SendAckOrNak(s, kNak, p->nId)) return kFrameGone;
      continue;
    }
    if (r != kFrameOk) return r;
    LogPacket("RX", *p);
    if (p->nId == kAck || p->nId == kNak) return kFrameOk;
    if (++s->nHostPackets == s->o->nNak) {
      Log("NAK %d", p->nId);
      return SendAckOrNak(s, kNak, p->nId) ? kFrameBad : kFrameGone;
    }
    if (ack && !SendAckOrNak(s, kAck, p->nId)) return kFrameGone;
    return kFrameOk;
  }
}

bool IsAbort(const Packet& p) { return p.nId == kCommand && p.data.size() >= 2 && Get16(p.data, 0) == kAbortTransfer; }

enum SendResult { kSendAcked, kSendStopped, kSendGone };

// Sends one packet and waits for its ACK, resending after a NAK or silence.
SendResult SendReliably(Session* s, const Packet& p) {
  const Options& o = *s->o;
  if (s->bSilent) return kSendStopped;
  long number = ++s->nSent;
  if (o.nSilentAfter >= 0 && number > o.nSilentAfter) {
    Log("SILENT");
    s->bSilent = true;
    return kSendStopped;
  }
  if (o.nGarbageAfter >= 0 && number > o.nGarbageAfter) {
    SendGarbage(s);
    return kSendGone;
  }
  for (int attempt = 0; attempt <= kResends; ++attempt) {
    std::vector<uint8_t> frame = Frame(p, attempt == 0 && number == o.nBadChecksum);
    LogPacket("TX", p);
    if (attempt == 0 && number == o.nCutFrame) {
      Log("CUT");
      frame.resize(frame.size() / 2);
    }
    if (!Write(s, frame)) return kSendGone;
    for (;;) {
      Packet answer;
      FrameResult r = Receive(s, &answer, kResendMs, false);
      if (r == kFrameGone) return kSendGone;
      if (r == kFrameTimeout) break;
      if (r == kFrameBad) continue;
      if (answer.nId == kAck && !answer.data.empty() && answer.data[0] == p.nId) return kSendAcked;
      if (answer.nId == kNak) break;
      if (answer.nId == kAck) continue;
      if (!SendAckOrNak(s, kAck, answer.nId)) return kSendGone;
      if (IsAbort(answer)) {
        Log("ABORT");
        return kSendStopped;
      }
      Log("IGNORED packet %d while waiting for an ACK", answer.nId);
    }
    if (attempt < kResends) Log("RESEND %d", p.nId);
  }
  Log("GIVING UP");
  return kSendStopped;
}

bool SendAll(Session* s, const std::vector<Packet>& packets) {
  for (const Packet& p : packets) {
    SendResult r = SendReliably(s, p);
    if (r != kSendAcked) return r != kSendGone;
  }
  return true;
}

Packet Text(uint8_t id, const std::string& text, std::vector<uint8_t> head = {}) {
  Packet p{id, std::move(head)};
  p.data.insert(p.data.end(), text.begin(), text.end());
  p.data.push_back(0);
  return p;
}

bool AnswerProductRequest(Session* s) {
  const Options& o = *s->o;
  std::vector<Packet> packets;
  packets.push_back(Text(kProductData, o.szDescription,
                         {static_cast<uint8_t>(o.wProduct), static_cast<uint8_t>(o.wProduct >> 8),
                          static_cast<uint8_t>(o.wVersion), static_cast<uint8_t>(o.wVersion >> 8)}));
  if (!o.bNoProtocols) {
    for (const std::string& text : o.ext) packets.push_back(Text(kExtProduct, text));
    Packet array{kProtocolArray, {}};
    std::vector<std::pair<char, int>> entries = {{'P', 0}, {'L', 1}, {'A', 10}, {'A', 100}, {'D', o.nWptType},
                                                 {'A', o.nTrkProtocol}};
    if (o.nTrkProtocol != 300) entries.push_back({'D', o.nTrkHeader});
    entries.push_back({'D', o.nTrkType});
    entries.push_back({'A', 800});
    entries.push_back({'D', 800});
    for (auto [tag, number] : entries) {
      array.data.push_back(static_cast<uint8_t>(tag));
      array.data.push_back(static_cast<uint8_t>(number));
      array.data.push_back(static_cast<uint8_t>(number >> 8));
    }
    packets.push_back(array);
  }
  return SendAll(s, packets);
}

bool Transfer(Session* s, uint16_t command) {
  const Options& o = *s->o;
  std::vector<Packet> records;
  if (command == kTransferTrk) {
    records = s->trackRecords;
  } else {
    const WptLayout& layout = *FindWptLayout(o.nWptType);
    for (const StoredWaypoint& w : *s->memory) records.push_back({kWptData, EncodeWaypoint(layout, w)});
  }
  if (o.nShortRecord > 0 && static_cast<size_t>(o.nShortRecord) <= records.size()) {
    records[static_cast<size_t>(o.nShortRecord) - 1].data.pop_back();
  }
  uint16_t announced = static_cast<uint16_t>(static_cast<long>(records.size()) + o.nRecordsOff);
  std::vector<Packet> packets = {{kRecords, {static_cast<uint8_t>(announced), static_cast<uint8_t>(announced >> 8)}}};
  packets.insert(packets.end(), records.begin(), records.end());
  packets.push_back({kXferCmplt, {static_cast<uint8_t>(command), 0}});
  return SendAll(s, packets);
}

void StoreUpload(Session* s, const Packet& p) {
  ++s->nReceived;
  StoredWaypoint w;
  std::string why = DecodeWaypoint(*FindWptLayout(s->o->nWptType), p.data, &w);
  if (!why.empty()) {
    Log("IGNORED waypoint: %s", why.c_str());
    return;
  }
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " %d %d %g %u", w.nLat, w.nLon, w.dAltitude, w.wSymbol);
  char time[16] = "";
  if (FindWptLayout(s->o->nWptType)->nTime >= 0) std::snprintf(time, sizeof time, " %u", w.dwTime);
  Log("STORED %s|%s%s%s", w.szIdent.c_str(), w.szComment.c_str(), numbers, time);
  // A waypoint of the same name takes the place of the stored one.
  for (StoredWaypoint& old : *s->memory) {
    if (old.szIdent == w.szIdent) {
      old = w;
      return;
    }
  }
  s->memory->push_back(w);
}

// Serves one client until it hangs up (or a stop is requested).
void Serve(Session* s) {
  s->input = ByteInput{};
  s->input.master = s->master;
  s->nSent = s->nHostPackets = 0;
  s->bSilent = s->o->nSilentAfter == 0;
  for (;;) {
    Packet p;
    FrameResult r = Receive(s, &p, 500, true);
    if (r == kFrameGone) return;
    if (r != kFrameOk || p.nId == kAck || p.nId == kNak) continue;
    bool alive = true;
    if (p.nId == kProductRqst) {
      alive = AnswerProductRequest(s);
    } else if (IsAbort(p)) {
      Log("ABORT");
    } else if (p.nId == kCommand && p.data.size() >= 2 &&
               (Get16(p.data, 0) == kTransferTrk || Get16(p.data, 0) == kTransferWpt)) {
      alive = Transfer(s, Get16(p.data, 0));
    } else if (p.nId == kRecords && p.data.size() >= 2) {
      s->nAnnounced = Get16(p.data, 0);
      s->nReceived = 0;
    } else if (p.nId == kWptData) {
      StoreUpload(s, p);
    } else if (p.nId == kXferCmplt) {
      Log("UPLOAD %ld of %ld", s->nReceived, s->nAnnounced);
      s->nAnnounced = -1;
    } else {
      Log("IGNORED packet %d", p.nId);
    }
    if (!alive) return;
  }
}

long Number(const char* text, long low, long high, bool* ok) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < low || v > high) *ok = false;
  return v;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  // getopt_long expects the program name first.
  std::vector<char*> args = {const_cast<char*>("velmora-sim garmin")};
  args.insert(args.end(), argv, argv + argc);
  optind = 1;
  bool ok = true;
  int c;
  while (ok && (c = getopt_long(static_cast<int>(args.size()), args.data(), "", kGarminOptions, nullptr)) != -1) {
    const char* v = optarg;
    switch (c) {
      case 'p': o->wProduct = static_cast<uint16_t>(Number(v, 1, 65535, &ok)); break;
      case 'v': o->wVersion = static_cast<uint16_t>(Number(v, 0, 65535, &ok)); break;
      case 'd': o->szDescription = v; ok = o->szDescription.size() < 200; break;
      case 'e': o->ext.push_back(v); ok = std::strlen(v) < 200; break;
      case 'n': o->bNoProtocols = true; break;
      case 'P': o->nTrkProtocol = static_cast<int>(Number(v, 300, 302, &ok)); break;
      case 'H': o->nTrkHeader = static_cast<int>(Number(v, 310, 312, &ok)); break;
      case 'T': o->nTrkType = static_cast<int>(Number(v, 300, 304, &ok)); break;
      case 'W': o->nWptType = static_cast<int>(Number(v, 100, 155, &ok)); ok = ok && FindWptLayout(o->nWptType) != nullptr; break;
      case 'f': o->szFlight = v; break;
      case 'N': o->nPoints = Number(v, 1, 60000, &ok); break;
      case 's': o->segmentAt.push_back(Number(v, 1, 1000000, &ok)); break;
      case 'F': o->bFlagByte = static_cast<uint8_t>(Number(v, 1, 255, &ok)); break;
      case 'x': o->noFixAt.push_back(Number(v, 1, 1000000, &ok)); break;
      case 't': o->badTimeAt.push_back(Number(v, 1, 1000000, &ok)); break;
      case 'c': o->bPace = true; break;
      case 'y': o->bStay = true; break;
      case 'a': o->bLogAcks = true; break;
      case 'K': o->nNak = Number(v, 1, 1000000, &ok); break;
      case 'B': o->nBadChecksum = Number(v, 1, 1000000, &ok); break;
      case 'S': o->nSilentAfter = Number(v, 0, 1000000, &ok); break;
      case 'R': o->nShortRecord = Number(v, 1, 1000000, &ok); break;
      case 'O': o->nRecordsOff = Number(v, -60000, 60000, &ok); break;
      case 'C': o->nCutFrame = Number(v, 1, 1000000, &ok); break;
      case 'G': o->nGarbageAfter = Number(v, 0, 1000000, &ok); break;
      default: ok = false; break;
    }
    if (!ok && v != nullptr) std::printf("velmora-sim: bad value %s\n", v);
  }
  if (ok && optind < static_cast<int>(args.size())) {
    std::printf("velmora-sim: unexpected argument %s\n", args[static_cast<size_t>(optind)]);
    ok = false;
  }
  if (o->nTrkProtocol == 0) o->nTrkProtocol = o->nTrkType == 300 ? 300 : o->nTrkType <= 302 ? 301 : 302;
  if (o->nTrkHeader == 0) o->nTrkHeader = o->nTrkProtocol == 301 ? 310 : o->nTrkType == 303 ? 311 : 312;
  return ok;
}

}  // namespace

int RunGarmin(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::printf("options of velmora-sim garmin:\n%s\n", kGarminUsage);
    return 2;
  }
  Flight flight;
  if (o.szFlight.empty()) {
    flight = MakeSyntheticFlight();
  } else {
    int skipped = 0;
    std::string error;
    if (!ReadIgcFlight(o.szFlight, &flight, &skipped, &error)) {
      std::printf("velmora-sim: %s\n", error.c_str());
      return 2;
    }
  }
  std::vector<StoredWaypoint> memory = DefaultMemory();
  Session session;
  session.o = &o;
  session.memory = &memory;
  session.trackRecords = EncodeTrack(o, flight);
  session.master = OpenAnnouncedPty();
  if (session.master < 0) return 1;
  do {
    if (!WaitForClient(session.master)) break;
    Log("CLIENT");
    Serve(&session);
    if (StopRequested()) break;
    Log("HANGUP");
  } while (o.bStay);
  if (StopRequested()) Log("STOP");
  close(session.master);
  return 0;
}

}  // namespace sim
