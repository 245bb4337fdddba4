// An XC Trainer or Top Navigator sending its MXP2004 log: once a client has
// the line open (and the pilot has pressed the button, --delay), a header
// line and one line per position at 57600 baud, hexadecimal with an XOR
// checksum per line. It hears nothing; a client at another speed receives
// nothing.
//
// One flushed line per event on standard output:
//   HEADER <line>     the header sent (without its line end)
//   CLIENT, HANGUP, STOP, LINE <baud>, LOST <why>
//   PAUSE <s>         the log stops for a while, XON keeping the line alive
//   SENT <n>          positions sent when the log ends, SILENT when cut short
#include <getopt.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "families.h"
#include "flight.h"
#include "mlr_line.h"
#include "pty.h"
#include "sentence.h"

namespace sim {

namespace {

const option kOptions[] = {
    {"flight", required_argument, nullptr, 'f'},      {"points", required_argument, nullptr, 'n'},
    {"top-navigator", no_argument, nullptr, 't'},     {"firmware", required_argument, nullptr, 'w'},
    {"serial", required_argument, nullptr, 's'},      {"datum", required_argument, nullptr, 'd'},
    {"first-record", required_argument, nullptr, 'r'}, {"delay", required_argument, nullptr, 'D'},
    {"pace", no_argument, nullptr, 'P'},              {"silent", no_argument, nullptr, 'S'},
    {"cut-after", required_argument, nullptr, 'c'},   {"garbage-at", required_argument, nullptr, 'g'},
    {"bad-checksum", required_argument, nullptr, 'b'}, {"xon-pause", required_argument, nullptr, 'x'},
    {"lowercase", no_argument, nullptr, 'l'},         {nullptr, 0, nullptr, 0},
};

}  // namespace

const char* const kXctrainerUsage =
    "    --flight FILE.igc   send this flight (default: the built-in flight)\n"
    "    --points N          send a steady flight of N fixes instead (southern, western, some below 0 m)\n"
    "    --top-navigator     a Top Navigator (@tn) instead of an XC Trainer (@xc)\n"
    "    --firmware XXXX     the four firmware characters of the header (1203)\n"
    "    --serial N          serial number, 0 to 65535 (4711)\n"
    "    --datum N           geodetic datum ID of the header (1, WGS-84)\n"
    "    --first-record N    number of the first position line (1)\n"
    "    --delay MS          the pilot starts the transfer MS ms after the client opens the line (200)\n"
    "    --pace              send at 57600 baud, 10 bits a byte\n"
    "    --silent            send nothing\n"
    "    --cut-after N       stop after N positions, though the header announces them all\n"
    "    --garbage-at N      a garbage line before position N (0: before the header)\n"
    "    --bad-checksum N    position N with a wrong checksum\n"
    "    --xon-pause N:S     halfway through position N, pause S seconds with XOFF, then XON every 0.5 s\n"
    "    --lowercase         hexadecimal digits in lower case";

namespace {

constexpr int kBaud = 57600;
constexpr char kXon = 17, kXoff = 19;

struct Options {
  std::string flight, firmware = "1203";
  uint32_t points = 0, serial = 4711, datum = 1, firstRecord = 1, delayMs = 200;
  uint32_t cutAfter = 0, garbageAt = UINT32_MAX, badChecksum = 0, pauseAt = 0, pauseSeconds = 0;
  bool topNavigator = false, pace = false, silent = false, lowercase = false, cut = false;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  optind = 1;
  int c;
  uint32_t n = 0;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    if (std::strchr("nsdrDcgb", c) != nullptr && !ParseNumber(optarg, 10000000, &n)) {
      std::printf("velmora-sim: bad number %s\n", optarg);
      return false;
    }
    switch (c) {
      case 'f': o->flight = optarg; break;
      case 'n': o->points = n; break;
      case 't': o->topNavigator = true; break;
      case 'w':
        o->firmware = optarg;
        if (o->firmware.size() != 4) return false;
        break;
      case 's':
        if (n > 0xFFFF) return false;
        o->serial = n;
        break;
      case 'd': o->datum = n & 0xFF; break;
      case 'r': o->firstRecord = n & 0xFFFF; break;
      case 'D': o->delayMs = n; break;
      case 'P': o->pace = true; break;
      case 'S': o->silent = true; break;
      case 'c':
        o->cutAfter = n;
        o->cut = true;
        break;
      case 'g': o->garbageAt = n; break;
      case 'b': o->badChecksum = n; break;
      case 'x':
        if (!ParsePair(optarg, &o->pauseAt, &o->pauseSeconds)) return false;
        break;
      case 'l': o->lowercase = true; break;
      default: return false;
    }
  }
  return optind == argc;
}

std::string Hex(uint32_t value, int digits, bool lower) {
  char text[16];
  std::snprintf(text, sizeof text, lower ? "%0*x" : "%0*X", digits, value);
  return text;
}

// The line with its checksum (XOR of every character) and CR LF.
std::string WithChecksum(const std::string& text, bool bad, bool lower) {
  uint32_t sum = XorChecksum(text);
  return text + Hex(bad ? sum ^ 0x21 : sum, 2, lower) + "\r\n";
}

std::string Header(const Options& o, const Flight& f) {
  CalendarTime t = SplitSecondsSince2000(f.points.front().dwTime);
  char dateTime[16];
  std::snprintf(dateTime, sizeof dateTime, "%02d%02d%02d%02d%02d%02d", t.nYear % 100, t.nMonth, t.nDay, t.nHour,
                t.nMinute, t.nSecond);
  std::string line = (o.topNavigator ? "@tn" : "@xc") + o.firmware + Hex(o.serial, 4, o.lowercase) + "00" + dateTime;
  line += Hex(o.datum, 2, o.lowercase) + Hex(static_cast<uint32_t>(f.points.size()) & 0xFFFF, 4, o.lowercase);
  line += Hex(1, 2, o.lowercase) + "000";
  return WithChecksum(line, false, o.lowercase);
}

// 1/60000 degree to 1/24000 degree, nearest, halves away from zero.
uint32_t Angle24(int32_t units) {
  return static_cast<uint32_t>(static_cast<int32_t>(std::lround(units * 0.4))) & 0xFFFFFF;
}

std::string Position(const Options& o, const Flight& f, size_t i) {
  const FlightPoint& p = f.points[i];
  uint32_t seconds = (p.dwTime - f.points.front().dwTime) & 0xFFFF;
  std::string line = Hex((o.firstRecord + static_cast<uint32_t>(i)) & 0xFFFF, 4, o.lowercase) +
                     Hex(seconds, 4, o.lowercase) + Hex(1, 2, o.lowercase) + Hex(Angle24(p.nLatitude), 6, o.lowercase) +
                     Hex(Angle24(p.nLongitude), 6, o.lowercase) +
                     Hex(static_cast<uint32_t>(p.nGpsAltitude) & 0xFFFF, 4, o.lowercase);
  return WithChecksum(line, i + 1 == o.badChecksum, o.lowercase);
}

// Pauses with XOFF first, then XON every half second. False once the client is gone.
bool KeepAlivePause(PacedLine* line, uint32_t seconds) {
  Log("PAUSE %u", seconds);
  if (!SendPaced(line, &kXoff, 1)) return false;
  for (uint32_t half = 0; half < 2 * seconds; ++half) {
    SleepMs(500);
    if (StopRequested() || !SendPaced(line, &kXon, 1)) return false;
  }
  Restart(line, line->baud);
  return true;
}

void SendLog(const Options& o, const Flight& f, PacedLine* line) {
  const std::string garbage = "NOISE ON THE LINE ##########\r\n";
  SleepMs(static_cast<int>(o.delayMs));
  if (StopRequested()) return;
  if (o.silent) {
    Log("SILENT");
    return;
  }
  int baud = ClientBaud(line->master);
  if (baud != kBaud) {
    Log("LOST the log: the line is at %d", baud);
    return;
  }
  Restart(line, o.pace ? kBaud : 0);
  if (o.garbageAt == 0 && !SendPaced(line, garbage)) return;
  std::string header = Header(o, f);
  Log("HEADER %s", header.substr(0, header.size() - 2).c_str());
  if (!SendPaced(line, header)) return;
  for (size_t i = 0; i < f.points.size(); ++i) {
    if (o.cut && i >= o.cutAfter) {
      Log("SILENT after %zu positions", i);
      return;
    }
    if (i + 1 == o.garbageAt && !SendPaced(line, garbage)) return;
    std::string text = Position(o, f, i);
    if (i + 1 == o.pauseAt) {
      if (!SendPaced(line, text.substr(0, 10)) || !KeepAlivePause(line, o.pauseSeconds)) return;
      text.erase(0, 10);
    }
    if (!SendPaced(line, text)) return;
  }
  Log("SENT %zu", f.points.size());
}

}  // namespace

int RunXctrainer(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc + 1, argv - 1, &o)) {
    std::printf("options of velmora-sim xctrainer:\n%s\n", kXctrainerUsage);
    return 2;
  }
  Flight flight;
  if (!LoadFlight(o.flight, o.points, &flight)) return 2;
  if (flight.points.size() > 0xFFFF) {
    std::printf("velmora-sim: the log holds at most 65535 positions\n");
    return 2;
  }
  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  PacedLine line;
  line.master = master;
  if (WaitForClient(master)) {
    Log("CLIENT");
    SendLog(o, flight, &line);
    // Wait for the hang-up, throwing away whatever the client sends.
    uint8_t buffer[256];
    while (ReadSome(master, buffer, sizeof buffer, 100) >= 0) {
    }
    Log(StopRequested() ? "STOP" : "HANGUP");
  }
  close(master);
  return 0;
}

}  // namespace sim
