// The Flymaster instrument: identification, flight list, binary flight
// download, waypoint list and waypoint upload, with faults on request.
//
// Everything the emulator does is logged on standard output, one flushed
// line per event, so that a test can follow the conversation:
//   FLIGHT <k> <yyyy-mm-dd hh:mm:ss> <points> points <seconds> s <source>
//   CLIENT / HANGUP / STOP       a client opened / closed the line, SIGTERM
//   RX <sentence>                every sentence received except uploads
//   WPT <sentence>               every uploaded waypoint, byte for byte
//   TX <sentence>                every answer to an uploaded waypoint
//   IGNORED <why>, REFUSED <why>  a sentence left unanswered, an upload refused
//   SEND <n> <type> <length> [BADCS], SEND END    each block of a download
//   ACK, NAK, CANCEL             the client's bytes 0xB1, 0xB2, 0xB3
//   SILENT, NO ANSWER, NO REPLY, GIVING UP        the transfer stops there
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "families.h"
#include "flight.h"
#include "options.h"
#include "pty.h"
#include "sentence.h"

namespace sim {

const char* const kFlymasterSummary = "a Flymaster instrument: flight list, binary flight download, waypoints";

namespace {

constexpr int kBaud = 57600;
constexpr size_t kMaxSentence = 160;   // longer lines are line noise, not commands
constexpr size_t kMaxWaypoints = 500;  // the emulated waypoint memory
constexpr size_t kMaxChangeBytes = 252;  // whole 6-byte records within the 255-byte limit
constexpr int kAnswerTimeoutMs = 10000;  // the client itself gives up after 2 s
constexpr int kMaxResends = 16;
constexpr size_t kNameLength = 16;  // names in the instrument's waypoint memory
constexpr uint8_t kAccept = 0xB1, kResend = 0xB2, kCancel = 0xB3;
constexpr uint8_t kInfoBlock = 0xA0, kKeyBlock = 0xA1, kChangeBlock = 0xA2, kEndBlock = 0xA3;

enum BadLength { kBadLengthNone, kBadLengthKey, kBadLengthChange, kBadLengthInfo };

// A waypoint fault for one upload (nOnly, counting from 1) or for all (0).
struct UploadFault {
  bool bOn = false;
  int nOnly = 0;
};

struct Options {
  std::string szModel = "GpsTrio";
  std::string szSecond = "0";
  std::string szSerial = "12345";
  std::string szFirmware = "1.14";
  std::vector<std::string> flightFiles;
  std::string szWaypointFile;
  bool bEmptyList = false;
  bool bNoInfo = false;
  bool bPace = false;
  bool bStay = false;
  int nBadChecksum = 0;  // 0: none
  int nSilentAfter = -1;  // -1: never
  BadLength eBadLength = kBadLengthNone;
  TrackFaults faults;
  UploadFault wptBadEcho, wptNak, wptSilent;
};

struct StoredWaypoint {
  double dLatitude;   // degrees, north positive
  double dLongitude;  // degrees, east positive
  int nAltitude;      // metres
  bool bAirfield;
  std::string szName;
};

struct Block {
  uint8_t nType;
  std::vector<uint8_t> data;
};

struct Session {
  int master;
  ByteInput input;
  const Options* pOptions;
  const std::vector<Flight>* pFlights;
  std::vector<StoredWaypoint>* pWaypoints;
  int nUploads = 0;
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

bool Send(Session* s, std::string_view bytes) {
  return WriteAll(s->master, bytes.data(), bytes.size(), s->pOptions->bPace ? kBaud : 0);
}

// ---- options ------------------------------------------------------------

bool ParseCount(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  *value = v;
  return true;
}

// Texts that go into a sentence field must not end or split the sentence.
bool FieldText(std::string_view text) {
  if (text.size() > 80) return false;
  for (char c : text) {
    if (c == ',' || c == '*' || c == '$' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

enum OptionId {
  kModel, kSecond, kSerial, kFirmware, kFlight, kEmptyList, kNoInfo, kBadChecksum, kSilentAfter, kBadLengthOpt,
  kPace, kStill, kPauseAfter, kBackwardAt, kSpikeAt, kWaypoints, kWptBadEcho, kWptNak, kWptSilent, kStay,
};

const OptionSpec kOptions[] = {
    {"model", required_argument, kModel, "TEXT", "model name the identification answers (GpsTrio)"},
    {"second", required_argument, kSecond, "TEXT", "the identification's second field (0)"},
    {"serial", required_argument, kSerial, "TEXT", "serial number (12345)"},
    {"firmware", required_argument, kFirmware, "TEXT",
     "firmware version (1.14); 1.14 echoes an uploaded waypoint's name as\n"
     "sent, later versions answer ACK with the name upper-cased and letters\n"
     "and digits only, and from 1.19 on waypoints carry an airfield flag"},
    {"flight", required_argument, kFlight, "FILE.igc",
     "serve this flight (repeatable; listed in the order given, the first\n"
     "as flight 1). Without it a built-in synthetic flight of 401 points"},
    {"empty-list", no_argument, kEmptyList, "", "the memory holds no flight"},
    {"no-info", no_argument, kNoInfo, "", "leave out the flight information block"},
    {"bad-checksum", required_argument, kBadChecksum, "N",
     "corrupt the checksum of block N once (blocks count from 1, the\n"
     "information block first) and send it again after 0xB2"},
    {"silent-after", required_argument, kSilentAfter, "N", "send nothing more after block N"},
    {"bad-length", optional_argument, kBadLengthOpt, "key|change|info",
     "the first key block 16 bytes long (the default), the first\n"
     "change block half a record (3 bytes) short, or the information\n"
     "block 62 bytes"},
    {"pace", no_argument, kPace, "", "send at the instrument's 57600 baud, 10 bits a byte"},
    {"still", required_argument, kStill, "SECONDS",
     "the pilot stands at the first position for SECONDS fixes before it\n(at most 86400)"},
    {"pause-after", required_argument, kPauseAfter, "N:SECONDS",
     "the points after point N come SECONDS later (repeatable)"},
    {"backward-at", required_argument, kBackwardAt, "N",
     "point N is stamped 30 s before the point ahead of it (repeatable)"},
    {"spike-at", required_argument, kSpikeAt, "N",
     "point N lies some 6 km north-east of the track (repeatable)\n"
     "Points count from 1 as sent, --still points included; the track\n"
     "options apply to every flight served."},
    {"waypoints", required_argument, kWaypoints, "FILE",
     "the waypoint memory: one waypoint a line, LAT LON ALT AIRFIELD NAME\n"
     "(decimal degrees north and east positive, metres, 0 or 1, the name\n"
     "to the end of the line); '#' starts a comment line"},
    {"wpt-bad-echo", optional_argument, kWptBadEcho, "N",
     "answer upload N (every upload without N) with a wrong name"},
    {"wpt-nak", optional_argument, kWptNak, "N", "answer upload N with NAK in place of ACK"},
    {"wpt-silent", optional_argument, kWptSilent, "N", "leave upload N unanswered"},
    {"stay", no_argument, kStay, "", "wait for the next client after a hang-up instead of exiting"},
};

const char* const kNotes =
    "  Every event is one line on standard output: RX, WPT and TX sentences, SEND of each\n"
    "  block, ACK, NAK and CANCEL for the client's answers, IGNORED and REFUSED with the\n"
    "  reason, HANGUP.";

bool TakeOption(Options* o, int id, const char* value) {
  std::string_view v = value != nullptr ? value : "";
  uint32_t n = 0;
  switch (id) {
    case kModel:
    case kSecond:
    case kSerial:
    case kFirmware: {
      if (!FieldText(v)) return false;
      std::string& target = id == kModel    ? o->szModel
                            : id == kSerial ? o->szSerial
                            : id == kSecond ? o->szSecond
                                            : o->szFirmware;
      target = std::string(v);
      return true;
    }
    case kFlight: o->flightFiles.emplace_back(v); return true;
    case kWaypoints: o->szWaypointFile = std::string(v); return true;
    case kEmptyList: o->bEmptyList = true; return true;
    case kNoInfo: o->bNoInfo = true; return true;
    case kPace: o->bPace = true; return true;
    case kStay: o->bStay = true; return true;
    case kBadChecksum:
      if (!ParseCount(v, &n) || n == 0) return false;
      o->nBadChecksum = static_cast<int>(n);
      return true;
    case kSilentAfter:
      if (!ParseCount(v, &n)) return false;
      o->nSilentAfter = static_cast<int>(n);
      return true;
    case kStill:
      if (!ParseCount(v, &n) || n > 86400) return false;  // a day on launch is plenty, and bounds the memory
      o->faults.nStillSeconds = n;
      return true;
    case kBackwardAt:
    case kSpikeAt:
      if (!ParseCount(v, &n)) return false;
      (id == kBackwardAt ? o->faults.backwardAt : o->faults.spikeAt).push_back(n);
      return true;
    case kPauseAfter: {
      size_t colon = v.find(':');
      uint32_t seconds = 0;
      if (colon == std::string_view::npos || !ParseCount(v.substr(0, colon), &n) ||
          !ParseCount(v.substr(colon + 1), &seconds)) {
        return false;
      }
      o->faults.pauses.push_back({n, seconds});
      return true;
    }
    case kBadLengthOpt:
      if (value == nullptr || v == "key") {
        o->eBadLength = kBadLengthKey;
      } else if (v == "change") {
        o->eBadLength = kBadLengthChange;
      } else if (v == "info") {
        o->eBadLength = kBadLengthInfo;
      } else {
        return false;
      }
      return true;
    default: {  // the three upload faults
      UploadFault& fault = id == kWptBadEcho ? o->wptBadEcho : id == kWptNak ? o->wptNak : o->wptSilent;
      fault.bOn = true;
      if (value != nullptr) {
        if (!ParseCount(v, &n) || n == 0) return false;
        fault.nOnly = static_cast<int>(n);
      }
      return true;
    }
  }
}

bool FaultHits(const UploadFault& fault, int upload) { return fault.bOn && (fault.nOnly == 0 || fault.nOnly == upload); }

// ---- waypoint memory ----------------------------------------------------

std::string FixedName(std::string_view name) {
  std::string fixed(name.substr(0, kNameLength));
  for (char& c : fixed) {
    if (c == ',' || c == '*' || c == '$' || static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  fixed.resize(kNameLength, ' ');
  return fixed;
}

std::vector<StoredWaypoint> DefaultWaypoints() {
  // A few sites of both hemispheres and both sides of Greenwich, one of them
  // a landing field marked as airfield.
  return {
      {45.813900, 6.246400, 1250, false, FixedName("Forclaz launch")},
      {45.779700, 6.220800, 450, true, FixedName("Doussard LZ")},
      {45.938000, 6.842000, 2000, false, FixedName("Planpraz")},
      {-20.269200, -70.103900, 550, false, FixedName("Alto Hospicio")},
      {19.188900, -100.129400, 2300, false, FixedName("El Penon")},
  };
}

bool ReadWaypointFile(const std::string& path, std::vector<StoredWaypoint>* list, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  list->clear();
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream fields(line);
    StoredWaypoint w;
    int airfield = 0;
    std::string name;
    if (!(fields >> w.dLatitude >> w.dLongitude >> w.nAltitude >> airfield) || (airfield != 0 && airfield != 1) ||
        std::fabs(w.dLatitude) > 90.0 || std::fabs(w.dLongitude) > 180.0 || w.nAltitude < -9999 ||
        w.nAltitude > 99999) {
      *error = path + ":" + std::to_string(number) + ": expected LAT LON ALT AIRFIELD NAME";
      return false;
    }
    std::getline(fields >> std::ws, name);
    if (name.empty()) {
      *error = path + ":" + std::to_string(number) + ": the waypoint has no name";
      return false;
    }
    if (list->size() >= kMaxWaypoints) {
      *error = path + ": more waypoints than the instrument holds";
      return false;
    }
    w.bAirfield = airfield == 1;
    w.szName = FixedName(name);
    list->push_back(w);
  }
  return true;
}

// ---- flight encoding ----------------------------------------------------

// The instrument logs static pressure, the tool turns it back into an
// altitude: h = trunc((1 - (p / 1013.25)^0.190284) * 44307.69 + 0.5), p in
// hPa. Among the tenths of a hectopascal next to the exact inverse we take
// the one for which that formula gives the logged altitude back. It does
// exactly from below sea level up to about 1980 m; above, a tenth of a
// hectopascal spans more than a metre and some altitudes come back 1 m off
// (2 m above 9000 m).
int ToolAltitude(int pressureTenths) {
  return static_cast<int>((1.0 - std::pow(std::fabs(pressureTenths / 10.0 / 1013.25), 0.190284)) * 44307.69 + 0.5);
}

int16_t PressureForAltitude(int altitude) {
  double base = 1.0 - altitude / 44307.69;
  if (base <= 0.0) return 1;  // beyond the standard atmosphere: the lowest pressure there is
  double exact = 10.0 * 1013.25 * std::pow(base, 1.0 / 0.190284);
  long centre = std::lround(exact);
  long best = -1;
  int bestError = std::numeric_limits<int>::max();
  for (long candidate = centre - 4; candidate <= centre + 4; ++candidate) {
    if (candidate < 1 || candidate > std::numeric_limits<int16_t>::max()) continue;
    int error = std::abs(ToolAltitude(static_cast<int>(candidate)) - altitude);
    if (error < bestError || (error == bestError && std::fabs(candidate - exact) < std::fabs(best - exact))) {
      best = candidate;
      bestError = error;
    }
  }
  if (best < 0) best = exact < 1.0 ? 1 : std::numeric_limits<int16_t>::max();
  return static_cast<int16_t>(best);
}

int16_t Clamp16(int32_t value) {
  return static_cast<int16_t>(std::clamp<int32_t>(value, std::numeric_limits<int16_t>::min(),
                                                  std::numeric_limits<int16_t>::max()));
}

// One fix as the instrument sends it: longitude west positive, pressure in
// tenths of a hectopascal, time in seconds since 2000.
struct WireFix {
  int32_t nLatitude;
  int32_t nLongitudeWest;
  int16_t nAltitude;
  int16_t nPressure;
  uint32_t dwTime;
};

WireFix ToWire(const FlightPoint& p) {
  return WireFix{p.nLatitude, -p.nLongitude, Clamp16(p.nGpsAltitude), PressureForAltitude(p.nPressureAltitude),
                 p.dwTime};
}

void PutLe(std::vector<uint8_t>* bytes, uint32_t value, int count) {
  for (int i = 0; i < count; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Block KeyBlock(const WireFix& w) {
  Block b{kKeyBlock, {}};
  b.data.push_back(0);
  PutLe(&b.data, static_cast<uint32_t>(w.nLatitude), 4);
  PutLe(&b.data, static_cast<uint32_t>(w.nLongitudeWest), 4);
  PutLe(&b.data, static_cast<uint16_t>(w.nAltitude), 2);
  PutLe(&b.data, static_cast<uint16_t>(w.nPressure), 2);
  PutLe(&b.data, w.dwTime, 4);
  return b;
}

// The information block's content is the emulator's own choice: the tool
// only checks its length.
Block InfoBlock(const Flight& flight, const Options& o) {
  Block b{kInfoBlock, {}};
  uint32_t serial = 0;
  ParseCount(o.szSerial, &serial);
  PutLe(&b.data, serial, 4);
  PutLe(&b.data, flight.points.front().dwTime, 4);
  PutLe(&b.data, flight.points.back().dwTime, 4);
  PutLe(&b.data, static_cast<uint32_t>(flight.points.size()), 4);
  std::string model = o.szModel.substr(0, 32);
  model.resize(32, '\0');
  b.data.insert(b.data.end(), model.begin(), model.end());
  b.data.resize(63, 0);
  return b;
}

bool FitsChange(const WireFix& from, const WireFix& to) {
  auto fits8 = [](int64_t d) { return d >= -128 && d <= 127; };
  int64_t dt = int64_t{to.dwTime} - from.dwTime;
  return fits8(int64_t{to.nLatitude} - from.nLatitude) && fits8(int64_t{to.nLongitudeWest} - from.nLongitudeWest) &&
         fits8(int64_t{to.nAltitude} - from.nAltitude) && fits8(int64_t{to.nPressure} - from.nPressure) && dt >= 0 &&
         dt <= 255;
}

std::vector<Block> EncodeFlight(const Flight& flight, const Options& o) {
  std::vector<Block> blocks;
  if (!o.bNoInfo) blocks.push_back(InfoBlock(flight, o));
  Block change{kChangeBlock, {}};
  auto flush = [&]() {
    if (!change.data.empty()) blocks.push_back(change);
    change.data.clear();
  };
  bool haveKey = false;
  WireFix current{};
  for (const FlightPoint& point : flight.points) {
    WireFix w = ToWire(point);
    if (haveKey && FitsChange(current, w)) {
      change.data.push_back(0);
      change.data.push_back(static_cast<uint8_t>(w.nLatitude - current.nLatitude));
      change.data.push_back(static_cast<uint8_t>(w.nLongitudeWest - current.nLongitudeWest));
      change.data.push_back(static_cast<uint8_t>(w.nAltitude - current.nAltitude));
      change.data.push_back(static_cast<uint8_t>(w.nPressure - current.nPressure));
      change.data.push_back(static_cast<uint8_t>(w.dwTime - current.dwTime));
      if (change.data.size() + 6 > kMaxChangeBytes) flush();
    } else {
      // First fix, or a step too large for a change record (a backward time
      // step included): the instrument starts again from a full position.
      flush();
      blocks.push_back(KeyBlock(w));
      haveKey = true;
    }
    current = w;
  }
  flush();
  // A change block loses half a record: its length is still a multiple of
  // three, so only a check for whole six-byte records refuses it.
  auto spoil = [&](uint8_t type, size_t length) {
    for (Block& b : blocks) {
      if (b.nType != type) continue;
      b.data.resize(length == 0 ? b.data.size() - 3 : length);
      return true;
    }
    return false;
  };
  bool spoiled = o.eBadLength == kBadLengthNone ? true
                 : o.eBadLength == kBadLengthKey ? spoil(kKeyBlock, 16)
                 : o.eBadLength == kBadLengthInfo ? spoil(kInfoBlock, 62)
                                                  : spoil(kChangeBlock, 0);
  if (!spoiled) Log("IGNORED --bad-length: the flight has no such block");
  return blocks;
}

std::string PackBlock(const Block& b, bool corrupt) {
  std::string bytes;
  bytes.push_back(static_cast<char>(b.nType));
  bytes.push_back(static_cast<char>(b.nType));
  uint8_t length = static_cast<uint8_t>(b.data.size());
  bytes.push_back(static_cast<char>(length));
  uint8_t sum = length;
  for (uint8_t byte : b.data) {
    bytes.push_back(static_cast<char>(byte));
    sum ^= byte;
  }
  bytes.push_back(static_cast<char>(corrupt ? sum ^ 0xFF : sum));
  return bytes;
}

uint32_t FlightDuration(const Flight& f) {
  uint32_t last = f.points.front().dwTime;
  for (const FlightPoint& p : f.points) last = std::max(last, p.dwTime);
  return last - f.points.front().dwTime;
}

// ---- conversation -------------------------------------------------------

enum AnswerResult { kAnswerAccept, kAnswerResend, kAnswerCancel, kAnswerNone, kAnswerSentence, kAnswerGone };

AnswerResult WaitForAnswer(Session* s) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return kAnswerNone;
    int c = ReadByte(&s->input, static_cast<int>(left.count()));
    if (c == kReadGone) return kAnswerGone;
    if (c == kReadTimeout) return kAnswerNone;
    if (c == kAccept) return kAnswerAccept;
    if (c == kResend) return kAnswerResend;
    if (c == kCancel) return kAnswerCancel;
    if (c == '$') {
      UnreadByte(&s->input);
      return kAnswerSentence;
    }
    Log("RX stray byte 0x%02X", c);
  }
}

// Plays one flight download. False once the client is gone.
bool SendFlight(Session* s, const Flight& flight) {
  const Options& o = *s->pOptions;
  std::vector<Block> blocks = EncodeFlight(flight, o);
  bool corrupted = false;
  for (size_t i = 0; i < blocks.size(); ++i) {
    int number = static_cast<int>(i) + 1;
    if (o.nSilentAfter >= 0 && number > o.nSilentAfter) {
      Log("SILENT");
      return true;
    }
    int resends = 0;
    for (;;) {
      bool corrupt = number == o.nBadChecksum && !corrupted;
      corrupted = corrupted || corrupt;
      Log("SEND %d %02X %zu%s", number, blocks[i].nType, blocks[i].data.size(), corrupt ? " BADCS" : "");
      if (!Send(s, PackBlock(blocks[i], corrupt))) return false;
      AnswerResult answer = WaitForAnswer(s);
      if (answer == kAnswerGone) return false;
      if (answer == kAnswerAccept) {
        Log("ACK");
        break;
      }
      if (answer == kAnswerCancel) {
        Log("CANCEL");
        return true;
      }
      if (answer == kAnswerNone) {
        Log("NO ANSWER");
        return true;
      }
      if (answer == kAnswerSentence) {
        Log("IGNORED the rest of the flight: the client sent a sentence");
        return true;
      }
      Log("NAK");
      if (++resends > kMaxResends) {
        Log("GIVING UP after %d resends", kMaxResends);
        return true;
      }
    }
  }
  if (o.nSilentAfter >= 0) {  // silent after the last block: the end marker stays away
    Log("SILENT");
    return true;
  }
  Log("SEND END");
  const char end[2] = {static_cast<char>(kEndBlock), static_cast<char>(kEndBlock)};
  return Send(s, std::string_view(end, 2));
}

bool AnswerIdentification(Session* s) {
  const Options& o = *s->pOptions;
  return Send(s, BuildSentence("PBRSNP," + o.szModel + "," + o.szSecond + "," + o.szSerial + "," + o.szFirmware));
}

bool AnswerFlightList(Session* s) {
  const auto& flights = *s->pFlights;
  for (size_t i = 0; i < flights.size(); ++i) {
    CalendarTime start = SplitSecondsSince2000(flights[i].points.front().dwTime);
    uint32_t duration = FlightDuration(flights[i]);
    char body[96];
    std::snprintf(body, sizeof body, "PFMLST,%zu,%zu,%02d.%02d.%02d,%02d:%02d:%02d,%02u:%02u:%02u", flights.size(), i,
                  start.nDay, start.nMonth, start.nYear % 100, start.nHour, start.nMinute, start.nSecond,
                  duration / 3600, duration % 3600 / 60, duration % 60);
    if (!Send(s, BuildSentence(body))) return false;
  }
  return true;  // then silence: the client ends the list after 2 s without a byte
}

bool AnswerDownload(Session* s, std::string_view stamp) {
  int v[6];
  for (int i = 0; i < 6; ++i) {
    char a = stamp[2 * i], b = stamp[2 * i + 1];
    v[i] = (a - '0') * 10 + (b - '0');
  }
  int64_t start = SecondsSince2000(2000 + v[0], v[1], v[2], v[3], v[4], v[5]);
  for (const Flight& flight : *s->pFlights) {
    if (flight.points.front().dwTime == start) return SendFlight(s, flight);
  }
  Log("IGNORED no flight starts at %.*s", static_cast<int>(stamp.size()), stamp.data());
  return true;
}

bool NewFirmware(const Options& o) { return o.szFirmware != "1.14"; }
bool FlagFirmware(const Options& o) { return o.szFirmware >= std::string("1.19"); }

bool AnswerWaypointList(Session* s) {
  bool flag = FlagFirmware(*s->pOptions);
  for (const StoredWaypoint& w : *s->pWaypoints) {
    char body[128];
    std::snprintf(body, sizeof body, "PFMWPL,%.6f,%c,%.6f,%c,%d,%s", std::fabs(w.dLatitude), w.dLatitude < 0 ? 'S' : 'N',
                  std::fabs(w.dLongitude), w.dLongitude < 0 ? 'W' : 'E', w.nAltitude, w.szName.c_str());
    std::string text = body;
    if (flag) text += w.bAirfield ? ",1" : ",0";
    if (!Send(s, BuildSentence(text))) return false;
  }
  return true;
}

// "DDMM.mmm" (degreeDigits 2) or "DDDMM.mmm" (3) into 1/60000 degree.
bool ParseWireMinutes(std::string_view text, size_t degreeDigits, int* units) {
  if (text.size() != degreeDigits + 6 || text[degreeDigits + 2] != '.') return false;
  uint32_t degrees, minutes, thousandths;
  if (!ParseCount(text.substr(0, degreeDigits), &degrees) || !ParseCount(text.substr(degreeDigits, 2), &minutes) ||
      !ParseCount(text.substr(degreeDigits + 3, 3), &thousandths) || minutes > 59) {
    return false;
  }
  *units = static_cast<int>(degrees * 60000 + minutes * 1000 + thousandths);
  return true;
}

// Checks an uploaded waypoint and stores it; an empty result means accepted.
std::string StoreUpload(Session* s, std::string_view body, const char* lineFault, std::string* name) {
  const Options& o = *s->pOptions;
  std::vector<std::string_view> f = SplitFields(body);
  if (f.size() > 6) *name = std::string(f[6]);
  if (lineFault != nullptr) return lineFault;
  if (f.size() != 8 && f.size() != 9) return "expected 8 or 9 fields, got " + std::to_string(f.size());
  int lat = 0, lon = 0;
  uint32_t altitude = 0;
  if (!ParseWireMinutes(f[1], 2, &lat) || lat > 90 * 60000 || (f[2] != "N" && f[2] != "S")) return "bad latitude";
  if (!ParseWireMinutes(f[3], 3, &lon) || lon > 180 * 60000 || (f[4] != "E" && f[4] != "W")) return "bad longitude";
  if (!f[5].empty()) return "field 5 is not empty";
  if (f[6].size() != kNameLength) return "name is " + std::to_string(f[6].size()) + " characters, not 16";
  if (f[7].size() != 4 || !ParseCount(f[7], &altitude)) return "bad altitude";
  if (f.size() == 9 && (f[8] != "1" || !FlagFirmware(o))) return "unexpected airfield field";
  if (s->pWaypoints->size() >= kMaxWaypoints) return "waypoint memory full";
  StoredWaypoint w;
  w.dLatitude = (f[2] == "S" ? -lat : lat) / 60000.0;
  w.dLongitude = (f[4] == "W" ? -lon : lon) / 60000.0;
  w.nAltitude = static_cast<int>(altitude);
  w.bAirfield = f.size() == 9;
  if (NewFirmware(o)) {
    // Later firmware keeps upper-case letters and digits only.
    for (char& c : *name) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) c = ' ';
    }
  }
  w.szName = *name;
  s->pWaypoints->push_back(w);
  return "";
}

// lineFault: what is wrong with the sentence as a line (checksum, line end), or null.
bool AnswerUpload(Session* s, std::string_view body, const char* lineFault) {
  const Options& o = *s->pOptions;
  int upload = ++s->nUploads;
  std::string name;
  std::string refusal = StoreUpload(s, body, lineFault, &name);
  if (!refusal.empty()) Log("REFUSED %s", refusal.c_str());
  if (FaultHits(o.wptSilent, upload)) {
    Log("NO REPLY");
    return true;
  }
  if (FaultHits(o.wptBadEcho, upload) && !name.empty()) name[0] = name[0] == 'X' ? 'Y' : 'X';
  std::string answer;
  if (!refusal.empty() || FaultHits(o.wptNak, upload)) {
    answer = NewFirmware(o) ? "PFMWPR,NAK," + name : "PFMWPR,NAK";
  } else {
    answer = NewFirmware(o) ? "PFMWPR,ACK," + name : "PFMWPR," + name;
  }
  std::string sentence = BuildSentence(answer);
  Log("TX %s", Printable(std::string_view(sentence).substr(0, sentence.size() - 2)).c_str());
  return Send(s, sentence);
}

bool IsDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Handles one received sentence (without its line end). False once the client is gone.
bool HandleSentence(Session* s, std::string_view text, bool hadCr) {
  std::string_view body;
  int claimed = -1;
  bool wellFormed = SplitSentence(text, &body, &claimed);
  bool upload = wellFormed && body.substr(0, 7) == "PFMWPR,";
  Log("%s %s", upload ? "WPT" : "RX", Printable(text).c_str());
  if (!hadCr) Log("IGNORED the line ends without a carriage return");
  if (!wellFormed) {
    Log("IGNORED no checksum");
    return true;
  }
  // The flight list request is stored with the checksum 72, which the
  // instrument takes as it comes (the XOR of its characters is 56).
  bool checksumOk = claimed == XorChecksum(body) || (body == "PFMDNL,LST," && claimed == 0x72);
  if (upload) return AnswerUpload(s, body, !checksumOk ? "bad checksum" : !hadCr ? "no carriage return" : nullptr);
  if (!hadCr) return true;
  if (!checksumOk) {
    Log("IGNORED bad checksum, the characters give %02X", XorChecksum(body));
    return true;
  }
  if (body == "PBRSNP,") return AnswerIdentification(s);
  if (body == "PFMDNL,LST,") return AnswerFlightList(s);
  if (body == "PFMWPL,") return AnswerWaypointList(s);
  if (body.size() == 20 && body.substr(0, 7) == "PFMDNL," && body.back() == ',' && IsDigits(body.substr(7, 12))) {
    return AnswerDownload(s, body.substr(7, 12));
  }
  Log("IGNORED unknown command");
  return true;
}

// Serves one client until it hangs up (or a stop is requested).
void Serve(Session* s) {
  s->input = ByteInput{};
  s->input.master = s->master;
  for (;;) {
    int c = ReadByte(&s->input, 500);
    if (c == kReadGone) return;
    if (c == kReadTimeout) continue;
    if (c == kAccept || c == kResend || c == kCancel) {
      // Answers after a transfer has stopped, e.g. the cancel that follows --silent-after.
      Log(c == kAccept ? "ACK" : c == kResend ? "NAK" : "CANCEL");
      continue;
    }
    if (c != '$') continue;  // line noise between sentences
    std::string text = "$";
    bool overlong = false;
    for (;;) {
      c = ReadByte(&s->input, 1000);
      if (c == kReadGone) return;
      if (c == kReadTimeout) {
        Log("IGNORED incomplete sentence %s", Printable(text).c_str());
        text.clear();
        break;
      }
      if (c == '$') {
        Log("IGNORED incomplete sentence %s", Printable(text).c_str());
        text.assign(1, '$');
        overlong = false;
        continue;
      }
      if (c == '\n') break;
      if (text.size() < kMaxSentence) {
        text.push_back(static_cast<char>(c));
      } else {
        overlong = true;
      }
    }
    if (text.empty()) continue;
    if (overlong) {
      Log("IGNORED sentence longer than %zu bytes", kMaxSentence);
      continue;
    }
    bool hadCr = text.size() > 1 && text.back() == '\r';
    if (hadCr) text.pop_back();
    if (!HandleSentence(s, text, hadCr)) return;
  }
}

}  // namespace

int RunFlymaster(int argc, char** argv) {
  Options options;
  Parsed parsed = ParseFamilyOptions("flymaster", argc, argv, kOptions, kNotes,
                                     [&](int id, const char* value) { return TakeOption(&options, id, value); });
  if (parsed != Parsed::kOk) return parsed == Parsed::kHelp ? 0 : 2;
  std::vector<Flight> flights;
  if (!options.bEmptyList) {
    for (const std::string& path : options.flightFiles) {
      Flight flight;
      int skipped = 0;
      std::string error;
      if (!ReadIgcFlight(path, &flight, &skipped, &error)) {
        std::printf("velmora-sim: %s\n", error.c_str());
        return 2;
      }
      flights.push_back(std::move(flight));
    }
    if (flights.empty()) flights.push_back(MakeSyntheticFlight());
  }
  std::vector<std::string> warnings;
  for (Flight& flight : flights) ApplyTrackFaults(options.faults, &flight, &warnings);
  std::vector<StoredWaypoint> waypoints = DefaultWaypoints();
  if (!options.szWaypointFile.empty()) {
    std::string error;
    if (!ReadWaypointFile(options.szWaypointFile, &waypoints, &error)) {
      std::printf("velmora-sim: %s\n", error.c_str());
      return 2;
    }
  }

  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  for (const std::string& warning : warnings) Log("IGNORED %s", warning.c_str());
  for (size_t i = 0; i < flights.size(); ++i) {
    CalendarTime t = SplitSecondsSince2000(flights[i].points.front().dwTime);
    Log("FLIGHT %zu %04d-%02d-%02d %02d:%02d:%02d %zu points %u s %s", i + 1, t.nYear, t.nMonth, t.nDay, t.nHour,
        t.nMinute, t.nSecond, flights[i].points.size(), FlightDuration(flights[i]), flights[i].szSource.c_str());
  }
  Session session{master, ByteInput{}, &options, &flights, &waypoints};
  do {
    if (!WaitForClient(master)) break;
    Log("CLIENT");
    Serve(&session);
    if (StopRequested()) break;
    Log("HANGUP");
  } while (options.bStay);
  if (StopRequested()) Log("STOP");
  close(master);
  return 0;
}

}  // namespace sim
