// A Brauniger/Flytec instrument: identification, flight list, the stored
// IGC text of a flight, the waypoint memory and waypoint uploads, with
// faults on request.
//
// Every event is one flushed line on standard output:
//   RX <bytes>                   each request line (XON shown as \x11)
//   WPT <sentence>               each uploaded waypoint, byte for byte
//   STORED <fields> / REFUSED <why>   what became of it
//   SEND LIST <n>, SEND WPS <n>, SEND LOG <k> <bytes>   answers
//   CUT <bytes>, SILENT <what>, NOISE <what>, IGNORED <why>, CLIENT, HANGUP, STOP
#include <getopt.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "families.h"
#include "galileo_memory.h"
#include "pty.h"
#include "sentence.h"

namespace sim {

const char* const kGalileoUsage =
    "    --model TEXT        model the identification names (Compeo+); with COMPETINO or 5020 up to\n"
    "                        firmware 1.13, and COMPEO, 5030 or GALILEO up to 2.19, no flight list\n"
    "    --firmware TEXT     firmware version (1.21)\n"
    "    --serial TEXT       serial number (8304)\n"
    "    --user TEXT         the pilot name stored in the instrument (Anna Berg)\n"
    "    --flight FILE.igc   a stored flight, served byte for byte (repeatable; the first is the\n"
    "                        latest, listed first). Without it a built-in signed flight\n"
    "    --waypoints FILE    the waypoint memory: one waypoint a line as the instrument sends it,\n"
    "                        the fields between \"$PBRWPS,\" and \"*\"\n"
    "    --flow N            XOFF and XON after every N lines of a flight\n"
    "    --pace              send at the instrument's 57600 baud, 10 bits a byte (else at 230400)\n"
    "    --lower-case        checksums in lower-case hexadecimal\n"
    "    --empty-list        answer the flight list with nothing\n"
    "    --cut-at N          a flight stops after N bytes, then silence\n"
    "    --silent WHAT       no answer to ident, list, log or wpt\n"
    "    --noise WHAT        answer ident, list, log or wpt with line ends and XON/XOFF for ever\n"
    "    --bad-checksum WHAT the first sentence answering ident, list or wpt has a wrong checksum\n"
    "    --refuse-upload N   refuse uploaded waypoint N (counted from 1)";

namespace {

constexpr int kBaud = 57600;
// Without --pace the bytes go out as a USB adapter at 230400 baud hands them
// on: fast, yet in steps the tool's 500-byte receive FIFO keeps up with.
constexpr int kFastBaud = 230400;
constexpr size_t kMaxLine = 200;
constexpr size_t kMaxWaypoints = 1000;

const option kOptions[] = {
    {"model", required_argument, nullptr, 'm'},      {"firmware", required_argument, nullptr, 'f'},
    {"serial", required_argument, nullptr, 's'},     {"user", required_argument, nullptr, 'u'},
    {"flight", required_argument, nullptr, 'F'},     {"waypoints", required_argument, nullptr, 'w'},
    {"flow", required_argument, nullptr, 'x'},       {"pace", no_argument, nullptr, 'p'},
    {"lower-case", no_argument, nullptr, 'l'},       {"empty-list", no_argument, nullptr, 'e'},
    {"cut-at", required_argument, nullptr, 'c'},     {"silent", required_argument, nullptr, 'S'},
    {"noise", required_argument, nullptr, 'N'},      {"bad-checksum", required_argument, nullptr, 'B'},
    {"refuse-upload", required_argument, nullptr, 'r'}, {nullptr, 0, nullptr, 0},
};

struct Options {
  std::string szModel = "Compeo+", szFirmware = "1.21", szSerial = "8304", szUser = "Anna Berg";
  std::vector<std::string> flightFiles;
  std::string szWaypointFile;
  long nFlow = 0, nCutAt = -1, nRefuse = 0;
  bool bPace = false, bLower = false, bEmptyList = false;
  std::string szSilent, szNoise, szBadChecksum;
};

struct Session {
  int master;
  const Options* o;
  const std::vector<StoredIgc>* flights;
  std::vector<std::string>* waypoints;
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
  return SendWhileHeard(s->master, bytes, s->o->bPace ? kBaud : kFastBaud);
}

// "$" body "*" checksum CR LF, spoiled or in lower case on request.
std::string Sentence(Session* s, std::string_view body, bool spoil) {
  char tail[8];
  std::snprintf(tail, sizeof tail, s->o->bLower ? "*%02x\r\n" : "*%02X\r\n", XorChecksum(body) ^ (spoil ? 0x21 : 0));
  std::string text(1, '$');
  text.append(body);
  text.append(tail);
  return text;
}

bool ParseNumber(const char* text, long* value) {
  char* end;
  *value = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && *value >= 0;
}

bool OneOf(const std::string& value, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (value == name) return true;
  }
  return false;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  optind = 1;
  opterr = 0;
  int c;
  // getopt_long skips its argv[0]: the family name stands there.
  while ((c = getopt_long(argc + 1, argv - 1, "", kOptions, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
      case 'm': o->szModel = optarg; break;
      case 'f': o->szFirmware = optarg; break;
      case 's': o->szSerial = optarg; break;
      case 'u': o->szUser = optarg; break;
      case 'F': o->flightFiles.emplace_back(optarg); break;
      case 'w': o->szWaypointFile = optarg; break;
      case 'x': ok = ParseNumber(optarg, &o->nFlow); break;
      case 'p': o->bPace = true; break;
      case 'l': o->bLower = true; break;
      case 'e': o->bEmptyList = true; break;
      case 'c': ok = ParseNumber(optarg, &o->nCutAt); break;
      case 'S': ok = OneOf(o->szSilent = optarg, {"ident", "list", "log", "wpt"}); break;
      case 'N': ok = OneOf(o->szNoise = optarg, {"ident", "list", "log", "wpt"}); break;
      case 'B': ok = OneOf(o->szBadChecksum = optarg, {"ident", "list", "wpt"}); break;
      case 'r': ok = ParseNumber(optarg, &o->nRefuse); break;
      default:
        std::printf("velmora-sim: unknown or incomplete galileo option %s\n", argv[optind - 2]);
        return false;
    }
    if (!ok) {
      std::printf("velmora-sim: bad value %s\n", optarg);
      return false;
    }
  }
  if (optind <= argc) {
    std::printf("velmora-sim: unexpected argument %s\n", argv[optind - 1]);
    return false;
  }
  return true;
}

bool HasList(const Options& o) {
  std::string model;
  for (char c : o.szModel) model += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (model == "COMPEO+" || model == "COMPETINO+" || model == "6020" || model == "6030") return true;
  if (model == "COMPETINO" || model == "5020") return o.szFirmware > "1.13";
  if (model == "COMPEO" || model == "5030" || model == "GALILEO") return o.szFirmware > "2.19";
  return false;
}

// ---- answers --------------------------------------------------------------

// Silence or noise in place of an answer; true when the answer goes out.
bool Answers(Session* s, const char* what) {
  if (s->o->szSilent == what) {
    Log("SILENT %s", what);
    return false;
  }
  if (s->o->szNoise == what) {
    Log("NOISE %s", what);
    SendNoiseForever(s->master, s->o->bPace ? kBaud : kFastBaud);
    return false;
  }
  return true;
}

bool SendFlight(Session* s, size_t index) {
  if (!Answers(s, "log")) return true;
  if (index >= s->flights->size()) {
    Log("IGNORED no flight %zu", index + 1);
    return true;
  }
  const std::string& text = (*s->flights)[index].szText;
  size_t length = s->o->nCutAt >= 0 && static_cast<size_t>(s->o->nCutAt) < text.size()
                      ? static_cast<size_t>(s->o->nCutAt)
                      : text.size();
  Log("SEND LOG %zu %zu", index + 1, length);
  std::string bytes;
  long lines = 0;
  for (size_t i = 0; i < length; ++i) {
    bytes += text[i];
    if (text[i] == '\n' && s->o->nFlow > 0 && ++lines % s->o->nFlow == 0) bytes += "\x13\x11";
  }
  if (length < text.size()) Log("CUT %zu", length);
  return Send(s, bytes);
}

bool SendList(Session* s) {
  if (!HasList(*s->o)) {
    Log("IGNORED this firmware has no flight list");
    return true;
  }
  if (!Answers(s, "list")) return true;
  size_t count = s->o->bEmptyList ? 0 : s->flights->size();
  Log("SEND LIST %zu", count);
  std::string bytes;
  for (size_t i = 0; i < count; ++i) {
    const StoredIgc& f = (*s->flights)[i];
    std::string body = "PBRTL," + std::to_string(count) + "," + std::to_string(i) + "," + ListDate(f) + "," +
                       ListTime(f.dwStart) + "," + ListTime(f.dwDuration);
    bytes += Sentence(s, body, i == 0 && s->o->szBadChecksum == "list");
  }
  return Send(s, bytes);
}

bool SendWaypoints(Session* s) {
  if (!Answers(s, "wpt")) return true;
  Log("SEND WPS %zu", s->waypoints->size());
  std::string bytes;
  for (size_t i = 0; i < s->waypoints->size(); ++i) {
    bytes += Sentence(s, "PBRWPS," + (*s->waypoints)[i], i == 0 && s->o->szBadChecksum == "wpt");
  }
  return Send(s, bytes);
}

bool Digits(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "ddmm.mmm" or "dddmm.mmm" with minutes below 60 and the angle within range.
bool WireAngle(std::string_view t, size_t degreeDigits, int maxDegrees) {
  if (t.size() != degreeDigits + 6 || t[degreeDigits + 2] != '.' || !Digits(t.substr(0, degreeDigits + 2)) ||
      !Digits(t.substr(degreeDigits + 3))) {
    return false;
  }
  int degrees = std::atoi(std::string(t.substr(0, degreeDigits)).c_str());
  int minutes = std::atoi(std::string(t.substr(degreeDigits, 2)).c_str());
  return minutes < 60 && (degrees < maxDegrees || (degrees == maxDegrees && t.substr(degreeDigits) == "00.000"));
}

// Checks an uploaded waypoint; an empty result means it is stored.
std::string CheckUpload(Session* s, std::string_view text) {
  std::string_view body;
  int claimed = -1;
  if (!SplitSentence(text, &body, &claimed)) return "no checksum";
  if (claimed != XorChecksum(body)) return "bad checksum";
  std::vector<std::string_view> f = SplitFields(body);
  if (f.size() != 8) return "expected 8 fields, got " + std::to_string(f.size());
  if (!WireAngle(f[1], 2, 90) || (f[2] != "N" && f[2] != "S")) return "bad latitude";
  if (!WireAngle(f[3], 3, 180) || (f[4] != "E" && f[4] != "W")) return "bad longitude";
  if (!f[5].empty()) return "the ID field is not empty";
  if (f[6].size() != 17) return "name is " + std::to_string(f[6].size()) + " characters, not 17";
  if (f[7].size() != 4 || !Digits(f[7])) return "bad altitude";
  if (s->waypoints->size() >= kMaxWaypoints) return "waypoint memory full";
  if (s->nUploads == s->o->nRefuse) return "refused on request";
  // The instrument makes the ID of the name's first word.
  std::string id;
  for (char c : f[6]) {
    if (c == ' ' || id.size() == 6) break;
    id += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  std::string stored = std::string(f[1]) + "," + std::string(f[2]) + "," + std::string(f[3]) + "," +
                       std::string(f[4]) + "," + id + "," + std::string(f[6]) + "," + std::string(f[7]);
  s->waypoints->push_back(stored);
  Log("STORED %s", stored.c_str());
  return "";
}

bool Handle(Session* s, const std::string& raw) {
  bool upload = raw.compare(0, 8, "$PBRWPR,") == 0;
  Log("%s %s", upload ? "WPT" : "RX", Printable(raw).c_str());
  std::string line = raw;
  if (!line.empty() && line[0] == '\x11') line.erase(0, 1);
  if (line.empty() || line.back() != '\r') {
    Log("IGNORED no carriage return");
    return true;
  }
  line.pop_back();
  if (upload) {
    ++s->nUploads;
    std::string refusal = CheckUpload(s, line);
    if (!refusal.empty()) Log("REFUSED %s", refusal.c_str());
    return true;  // uploads are never answered
  }
  if (line == "$PBRSNP,*21") {
    if (!Answers(s, "ident")) return true;
    const Options& o = *s->o;
    return Send(s, Sentence(s, "PBRSNP," + o.szModel + "," + o.szUser + "," + o.szSerial + "," + o.szFirmware,
                            o.szBadChecksum == "ident"));
  }
  if (line == "$PBRTL,*74") return SendList(s);
  if (line == "$PBRWPS,*38") return SendWaypoints(s);
  if (line == "$PBRIGC,*21") return SendFlight(s, 0);
  std::string_view body;
  int claimed;
  if (line.size() == 12 && line.compare(0, 7, "$PBRTR,") == 0 && SplitSentence(line, &body, &claimed) &&
      Digits(body.substr(6, 2)) && claimed == XorChecksum(body)) {
    return SendFlight(s, static_cast<size_t>(std::atoi(std::string(body.substr(6, 2)).c_str())));
  }
  Log("IGNORED unknown request");
  return true;
}

void Serve(Session* s) {
  ByteInput input;
  input.master = s->master;
  std::string line;
  for (;;) {
    int c = ReadByte(&input, 500);
    if (c == kReadGone) return;
    if (c == kReadTimeout) continue;
    if (c != '\n') {
      if (line.size() < kMaxLine) line += static_cast<char>(c);
      continue;
    }
    if (!Handle(s, line)) return;
    line.clear();
  }
}

bool ReadWaypointFile(const std::string& path, std::vector<std::string>* list) {
  std::ifstream in(path);
  if (!in) {
    std::printf("velmora-sim: cannot open %s\n", path.c_str());
    return false;
  }
  list->clear();
  std::string line;
  while (std::getline(in, line) && list->size() < kMaxWaypoints) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) list->push_back(line);
  }
  return true;
}

}  // namespace

int RunGalileo(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::printf("options of velmora-sim galileo:\n%s\n", kGalileoUsage);
    return 2;
  }
  IgcHeader header;
  header.szARecord = "AFLY" + std::string(o.szSerial.size() < 3 ? 3 - o.szSerial.size() : 0, '0') + o.szSerial;
  header.lines = {"HFPLTPILOT:" + o.szUser, "HFGTYGLIDERTYPE:", "HFRFWFIRMWAREVERSION:" + o.szFirmware,
                  "HFFTYFRTYPE:" + o.szModel};
  std::vector<StoredIgc> flights;
  if (!LoadFlights(o.flightFiles, header, &flights)) return 2;
  std::vector<std::string> waypoints = {
      "4548.834,N,00614.784,E,FORCLA,Forclaz launch,1250",
      "4546.782,N,00613.248,E,DOUSSA,Doussard LZ,0450",
      "2016.152,S,07006.234,W,ALTOHO,Alto Hospicio,0550",
  };
  if (!o.szWaypointFile.empty() && !ReadWaypointFile(o.szWaypointFile, &waypoints)) return 2;

  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  for (size_t i = 0; i < flights.size(); ++i) {
    Log("FLIGHT %zu %s %s %d fixes %zu bytes %s", i + 1, ListDate(flights[i]).c_str(),
        ListTime(flights[i].dwStart).c_str(), flights[i].nFixes, flights[i].szText.size(),
        flights[i].szSource.c_str());
  }
  Session session{master, &o, &flights, &waypoints};
  if (WaitForClient(master)) {
    Log("CLIENT");
    Serve(&session);
    Log(StopRequested() ? "STOP" : "HANGUP");
  }
  close(master);
  return 0;
}

}  // namespace sim
