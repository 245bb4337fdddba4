// A GPS receiver or variometer that talks NMEA 0183: it replays a recorded
// receiver log, or it makes RMC and GGA sentences at one fix per second from
// an IGC flight, from a built-in flight or from a whole day of flying, with
// optional pressure sentences, line noise and checksum errors.
#include <poll.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "families.h"
#include "options.h"
#include "pty.h"

namespace sim {

const char* const kNmeaSummary = "a GPS receiver sending NMEA 0183: a recorded log replayed, or made fixes";

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kEarthRadius = 6371000.0;
constexpr long long kDaysTo2000 = 10957;  // from 1970-01-01

struct Options {
  std::string replay, flight;
  bool day = false, stampPacing = true, comments = true, exitAtEnd = false;
  int lineMs = 100, stand = 120, fly = 300, garbage = 0, badChecksum = 0, baud = 0;
  double speed = 1.0;
  std::string talker = "GP", baro, date = "210713", time = "100000";
};

// One fix of the made-up receiver. Times count seconds since 2000-01-01.
struct Fix {
  long long nTime;
  double dLat, dLon;    // degrees
  double dAltitude;     // GNSS altitude, metres
  double dPressureAlt;  // metres
  double dSpeedKn, dCourse;
};

struct Counters {
  int nRmc = 0, nGga = 0, nBaro = 0, nBad = 0, nLines = 0;
};

long long DaysFromCivil(int y, int m, int d) {  // days since 2000-01-01
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  long long yoe = y - era * 400;
  long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468 - kDaysTo2000;
}

void CivilFromDays(long long z, int* y, int* m, int* d) {
  z += kDaysTo2000 + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

long long TimeOf(const std::string& ddmmyy, const std::string& hhmmss) {
  if (ddmmyy.size() != 6 || hhmmss.size() != 6) return -1;
  int d = std::atoi(ddmmyy.substr(0, 2).c_str()), mo = std::atoi(ddmmyy.substr(2, 2).c_str());
  int y = 2000 + std::atoi(ddmmyy.substr(4, 2).c_str());
  int h = std::atoi(hhmmss.substr(0, 2).c_str()), mi = std::atoi(hhmmss.substr(2, 2).c_str());
  int s = std::atoi(hhmmss.substr(4, 2).c_str());
  return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

std::string WithChecksum(const std::string& body, bool spoil) {
  unsigned sum = 0;
  for (unsigned char c : body) sum ^= c;
  if (spoil) sum ^= 0x5A;
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
  return "$" + body + tail;
}

std::string Angle(double degrees, int degreeDigits, char positive, char negative) {
  char text[32];
  double a = std::fabs(degrees);
  int whole = static_cast<int>(a);
  double minutes = (a - whole) * 60.0;
  if (minutes >= 59.99995) {
    ++whole;
    minutes = 0.0;
  }
  std::snprintf(text, sizeof text, "%0*d%07.4f,%c", degreeDigits, whole, minutes, degrees < 0 ? negative : positive);
  return text;
}

std::string Rmc(const Fix& f, const Options& o, bool spoil) {
  int y, m, d;
  CivilFromDays(f.nTime / 86400, &y, &m, &d);
  long long s = f.nTime % 86400;
  char body[160];
  std::snprintf(body, sizeof body, "%sRMC,%02lld%02lld%02lld.00,A,%s,%s,%.1f,%.1f,%02d%02d%02d,,,A", o.talker.c_str(),
                s / 3600, s / 60 % 60, s % 60, Angle(f.dLat, 2, 'N', 'S').c_str(), Angle(f.dLon, 3, 'E', 'W').c_str(),
                f.dSpeedKn, f.dCourse, d, m, y % 100);
  return WithChecksum(body, spoil);
}

std::string Gga(const Fix& f, const Options& o, bool spoil) {
  long long s = f.nTime % 86400;
  char body[160];
  std::snprintf(body, sizeof body, "%sGGA,%02lld%02lld%02lld.00,%s,%s,1,08,1.0,%.1f,M,48.0,M,,", o.talker.c_str(),
                s / 3600, s / 60 % 60, s % 60, Angle(f.dLat, 2, 'N', 'S').c_str(), Angle(f.dLon, 3, 'E', 'W').c_str(),
                f.dAltitude);
  return WithChecksum(body, spoil);
}

double PressureOf(double metres) { return 101325.0 * std::pow(1.0 - metres / 44330.0, 1.0 / 0.190295); }

std::string Baro(const Fix& f, const Options& o) {
  char text[120];
  if (o.baro == "lk8ex1") {
    std::snprintf(text, sizeof text, "LK8EX1,%.0f,99999,0,20,999", PressureOf(f.dPressureAlt));
  } else if (o.baro == "ptas1") {
    std::snprintf(text, sizeof text, "PTAS1,0,0,%.0f,30", f.dPressureAlt / 0.3048 + 2000.0);
  } else {
    std::snprintf(text, sizeof text, "PRS %X\r\n", static_cast<unsigned>(PressureOf(f.dPressureAlt) + 0.5));
    return text;
  }
  return WithChecksum(text, false);
}

// Line noise: bytes a serial line picks up, none of which starts a sentence.
std::string Garbage(unsigned* seed) {
  std::string noise;
  int n = 3 + static_cast<int>(rand_r(seed) % 20);
  for (int i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(rand_r(seed) % 256);
    if (c == '$' || (c >= 'A' && c <= 'Z') || c == '\n' || c == '\r') c = '~';
    noise.push_back(static_cast<char>(c));
  }
  return noise + "\r\n";
}

bool ClientGone(int master) {
  pollfd pfd{master, POLLOUT, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP) != 0;
}

bool Send(int master, const std::string& text, const Options& o) {
  if (ClientGone(master)) return false;
  return WriteAll(master, text.data(), text.size(), o.baud);
}

// Moves a position `metres` along `course` degrees.
void Move(Fix* f, double metres, double course) {
  double c = course * kPi / 180.0;
  f->dLat += metres * std::cos(c) / kEarthRadius * 180.0 / kPi;
  f->dLon += metres * std::sin(c) / (kEarthRadius * std::cos(f->dLat * kPi / 180.0)) * 180.0 / kPi;
}

struct Phase {
  int seconds;
  double speed;  // metres per second over ground
  double turn;   // degrees per second
  double climb;  // metres per second
};

std::vector<Fix> MakeFixes(const Options& o, const std::vector<Phase>& phases) {
  std::vector<Fix> fixes;
  Fix f{TimeOf(o.date, o.time), 46.4, 7.2, 1500.0, 1500.0, 0.0, 90.0};
  if (f.nTime < 0) return fixes;
  for (const Phase& p : phases) {
    for (int s = 0; s < p.seconds; ++s) {
      f.dSpeedKn = p.speed * 1.943844;
      fixes.push_back(f);
      Move(&f, p.speed, f.dCourse);
      f.dCourse = std::fmod(f.dCourse + p.turn + 360.0, 360.0);
      f.dAltitude += p.climb;
      f.dPressureAlt += p.climb;
      ++f.nTime;
    }
  }
  return fixes;
}

std::vector<Fix> BuiltInFlight(const Options& o) {
  return MakeFixes(o, {{60, 0, 0, 0}, {120, 9, 0, 1.5}, {180, 8, 6, 1.0}, {240, 11, 0.5, -2.0}, {60, 0, 0, 0}});
}

std::vector<Fix> Day(const Options& o) {
  int half = o.fly / 2;
  return MakeFixes(o, {{o.stand, 0, 0, 0},
                       {half, 10, 2, 1.0},
                       {o.fly - half, 10, -1, -2.0},
                       {o.stand, 0, 0, 0},
                       {half, 9, -2, 0.5},
                       {o.fly - half, 9, 1, -1.0},
                       {o.stand, 0, 0, 0}});
}

bool LoadIgcFlight(const std::string& path, std::vector<Fix>* fixes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line, date = "210713";
  std::vector<Fix> records;
  long long dayOffset = 0, lastSecond = -1;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.rfind("HFDTE", 0) == 0) {
      size_t digits = line.find_first_of("0123456789");
      if (digits != std::string::npos && digits + 6 <= line.size()) date = line.substr(digits, 6);
      continue;
    }
    if (line.size() < 35 || line[0] != 'B') continue;
    long long second = std::atoll(line.substr(1, 2).c_str()) * 3600 + std::atoll(line.substr(3, 2).c_str()) * 60 +
                       std::atoll(line.substr(5, 2).c_str());
    if (lastSecond >= 0 && second < lastSecond) dayOffset += 86400;  // past midnight
    lastSecond = second;
    Fix f{};
    f.nTime = TimeOf(date, "000000") + dayOffset + second;
    f.dLat = std::atoi(line.substr(7, 2).c_str()) + std::atoi(line.substr(9, 5).c_str()) / 60000.0;
    if (line[14] == 'S') f.dLat = -f.dLat;
    f.dLon = std::atoi(line.substr(15, 3).c_str()) + std::atoi(line.substr(18, 5).c_str()) / 60000.0;
    if (line[23] == 'W') f.dLon = -f.dLon;
    f.dPressureAlt = std::atoi(line.substr(25, 5).c_str());
    f.dAltitude = std::atoi(line.substr(30, 5).c_str());
    if (!records.empty() && f.nTime <= records.back().nTime) continue;
    records.push_back(f);
  }
  // One fix per second, straight between the records.
  for (size_t i = 0; i + 1 < records.size(); ++i) {
    const Fix& a = records[i];
    const Fix& b = records[i + 1];
    long long span = b.nTime - a.nTime;
    for (long long t = 0; t < span && span <= 3600; ++t) {
      double k = static_cast<double>(t) / static_cast<double>(span);
      Fix f = a;
      f.nTime = a.nTime + t;
      f.dLat += (b.dLat - a.dLat) * k;
      f.dLon += (b.dLon - a.dLon) * k;
      f.dAltitude += (b.dAltitude - a.dAltitude) * k;
      f.dPressureAlt += (b.dPressureAlt - a.dPressureAlt) * k;
      fixes->push_back(f);
    }
  }
  if (!records.empty()) fixes->push_back(records.back());
  return !fixes->empty();
}

int PlayFixes(int master, const std::vector<Fix>& fixes, const Options& o, Counters* n) {
  unsigned seed = 1;
  int sentences = 0;
  auto next = [&](const std::string& text) {
    ++sentences;
    std::string out = text;
    if (o.garbage > 0 && sentences % o.garbage == 0) out += Garbage(&seed);
    return Send(master, out, o);
  };
  int fixSentences = 0;
  auto spoil = [&] {
    ++fixSentences;
    bool bad = o.badChecksum > 0 && fixSentences % o.badChecksum == 0;
    if (bad) ++n->nBad;
    return bad;
  };
  int periodMs = static_cast<int>(1000.0 / o.speed);
  for (const Fix& f : fixes) {
    if (StopRequested()) break;
    if (!o.baro.empty()) {
      if (!next(Baro(f, o))) return 0;
      ++n->nBaro;
    }
    if (!next(Rmc(f, o, spoil()))) return 0;
    ++n->nRmc;
    if (!next(Gga(f, o, spoil()))) return 0;
    ++n->nGga;
    SleepMs(periodMs > 0 ? periodMs : 1);
  }
  return 0;
}

// The time of day of an RMC or GGA sentence, or -1.
double StampOf(const std::string& line) {
  if (line.size() < 8 || line[0] != '$') return -1;
  std::string kind = line.substr(3, 3);
  if (kind != "RMC" && kind != "GGA") return -1;
  size_t comma = line.find(',');
  if (comma == std::string::npos) return -1;
  double hhmmss = std::atof(line.c_str() + comma + 1);
  if (hhmmss <= 0) return -1;
  int whole = static_cast<int>(hhmmss);
  return whole / 10000 * 3600 + whole / 100 % 100 * 60 + whole % 100 + (hhmmss - whole);
}

int Replay(int master, const Options& o, Counters* n) {
  std::ifstream in(o.replay, std::ios::binary);
  if (!in) {
    std::printf("nmea: cannot read %s\n", o.replay.c_str());
    return 1;
  }
  std::string line;
  double lastStamp = -1;
  unsigned seed = 1;
  while (std::getline(in, line)) {
    if (StopRequested()) break;
    if (!o.comments && !line.empty() && line[0] == '#') continue;
    std::string text = line + "\n";  // the log keeps its own carriage returns
    if (o.stampPacing) {
      double stamp = StampOf(line);
      if (stamp >= 0 && lastStamp >= 0 && stamp > lastStamp) {
        double gap = stamp - lastStamp;
        if (gap > 5) gap = 5;  // a log with a hole need not keep the line silent for long
        SleepMs(static_cast<int>(gap * 1000.0 / o.speed));
      }
      if (stamp >= 0 && stamp > lastStamp) lastStamp = stamp;
    } else {
      SleepMs(static_cast<int>(o.lineMs / o.speed));
    }
    if (o.garbage > 0 && (n->nLines + 1) % o.garbage == 0) text += Garbage(&seed);
    if (!Send(master, text, o)) return 0;
    ++n->nLines;
  }
  return 0;
}

enum OptionId {
  kReplay, kPace, kLineMs, kNoComments, kFlight, kBuiltin, kDay, kStand, kFly, kDate, kTime, kSpeed, kTalker,
  kBaro, kGarbage, kBadChecksum, kBaud, kExitAtEnd,
};

const OptionSpec kOptions[] = {
    {"replay", required_argument, kReplay, "FILE", "send a receiver log as it stands"},
    {"pace", required_argument, kPace, "stamps|lines",
     "replay paced by the log's time stamps (default) or one line per --line-ms"},
    {"line-ms", required_argument, kLineMs, "N", "milliseconds between replayed lines (default 100)"},
    {"no-comments", no_argument, kNoComments, "", "leave out the log's '#' lines"},
    {"flight", required_argument, kFlight, "FILE.igc", "make one fix per second from the B records of an IGC file"},
    {"builtin", no_argument, kBuiltin, "", "a built-in flight (the default without --replay, --flight, --day)"},
    {"day", no_argument, kDay, "", "standing at launch, a flight, landing, standing, a second flight, standing"},
    {"stand", required_argument, kStand, "S", "the day's standing phases in seconds (default 120)"},
    {"fly", required_argument, kFly, "S", "the day's flying phases in seconds (default 300)"},
    {"date", required_argument, kDate, "DDMMYY", "the day the made flight starts (default 210713)"},
    {"time", required_argument, kTime, "HHMMSS", "the time the made flight starts (default 100000)"},
    {"speed", required_argument, kSpeed, "N", "N times faster than real time (default 1)"},
    {"talker", required_argument, kTalker, "XX", "talker of the RMC and GGA sentences (default GP)"},
    {"baro", required_argument, kBaro, "lk8ex1|ptas1|prs", "also send the pressure altitude in that form"},
    {"garbage", required_argument, kGarbage, "N", "line noise after every N-th sentence"},
    {"bad-checksum", required_argument, kBadChecksum, "N", "every N-th RMC or GGA sentence with a wrong checksum"},
    {"baud", required_argument, kBaud, "N", "pace the bytes as a line of N baud would"},
    {"exit-at-end", no_argument, kExitAtEnd, "", "end when everything is sent instead of waiting for the hang-up"},
};

bool TakeOption(Options* o, int id, const char* value) {
  std::string v = value != nullptr ? value : "";
  auto number = [&](int* out) {
    *out = std::atoi(v.c_str());
    return *out >= 0;
  };
  switch (id) {
    case kReplay: o->replay = v; return true;
    case kPace:
      o->stampPacing = v == "stamps";
      return v == "stamps" || v == "lines";
    case kLineMs: return number(&o->lineMs);
    case kNoComments: o->comments = false; return true;
    case kFlight: o->flight = v; return true;
    case kBuiltin: return true;
    case kDay: o->day = true; return true;
    case kStand: return number(&o->stand);
    case kFly: return number(&o->fly);
    case kDate: o->date = v; return v.size() == 6;
    case kTime: o->time = v; return v.size() == 6;
    case kSpeed: return (o->speed = std::atof(v.c_str())) > 0;
    case kTalker: o->talker = v; return v.size() == 2;
    case kBaro:
      o->baro = v;
      return v == "lk8ex1" || v == "ptas1" || v == "prs";
    case kGarbage: return number(&o->garbage);
    case kBadChecksum: return number(&o->badChecksum);
    case kBaud: return number(&o->baud);
    default: o->exitAtEnd = true; return true;  // kExitAtEnd
  }
}

}  // namespace

int RunNmea(int argc, char** argv) {
  Options o;
  Parsed parsed = ParseFamilyOptions("nmea", argc, argv, kOptions, nullptr,
                                     [&](int id, const char* value) { return TakeOption(&o, id, value); });
  if (parsed != Parsed::kOk) return parsed == Parsed::kHelp ? 0 : 2;
  std::vector<Fix> fixes;
  if (o.replay.empty()) {
    if (!o.flight.empty()) {
      if (!LoadIgcFlight(o.flight, &fixes)) {
        std::printf("nmea: no B records in %s\n", o.flight.c_str());
        return 1;
      }
    } else {
      fixes = o.day ? Day(o) : BuiltInFlight(o);
    }
  }
  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  if (!WaitForClient(master)) return 0;
  // A client programs the line right after opening it, discarding what has
  // arrived: give it that moment, as a receiver that is simply on would.
  SleepMs(200);
  Counters n;
  int status = o.replay.empty() ? PlayFixes(master, fixes, o, &n) : Replay(master, o, &n);
  std::printf("nmea: sent %d RMC, %d GGA, %d pressure, %d bad checksums, %d log lines\n", n.nRmc, n.nGga, n.nBaro,
              n.nBad, n.nLines);
  std::fflush(stdout);
  if (status != 0 || o.exitAtEnd) return status;
  // Everything is out: keep the line open, silent, until the client hangs up.
  while (!StopRequested() && !ClientGone(master)) SleepMs(50);
  return 0;
}

}  // namespace sim
