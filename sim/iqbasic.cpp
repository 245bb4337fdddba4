// An IQ Basic or Flytec 6015: its parameters, the flight list and the
// stored IGC file of a flight, with faults on request.
//
// Every event is one flushed line on standard output: RX <command>,
// SEND LIST <n>, SEND LOG <k> <bytes>, CUT <bytes>, SILENT <what>,
// NOISE <what>, IGNORED <why>, CLIENT, HANGUP, STOP.
#include <getopt.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "families.h"
#include "galileo_memory.h"
#include "pty.h"
#include "sentence.h"

namespace sim {

const char* const kIqBasicUsage =
    "    --model iqbasic|6015  the device type answered: 1 for an IQ Basic, 0 for a 6015 (iqbasic)\n"
    "    --firmware A.B.CC   software version (1.1.05)\n"
    "    --serial N          serial number (1137)\n"
    "    --flight FILE.igc   a stored flight, served byte for byte (repeatable; listed as flights\n"
    "                        1, 2, ... in the order given). Without it a built-in flight\n"
    "    --pace              send at the instrument's 57600 baud, 10 bits a byte (else at 230400)\n"
    "    --empty-list        answer the flight list with nothing\n"
    "    --cut-at N          a flight stops after N bytes, then silence\n"
    "    --silent WHAT       no answer to serial, type, version, list or log\n"
    "    --noise WHAT        answer list or log with line ends and XON/XOFF for ever\n"
    "    --bad-value WHAT    a value that is no hexadecimal for serial, type or version";

namespace {

constexpr int kBaud = 57600;
// Without --pace the bytes go out as a USB adapter at 230400 baud hands them
// on: fast, yet in steps the tool's 500-byte receive FIFO keeps up with.
constexpr int kFastBaud = 230400;
constexpr size_t kMaxLine = 200;

const option kOptions[] = {
    {"model", required_argument, nullptr, 'm'},  {"firmware", required_argument, nullptr, 'f'},
    {"serial", required_argument, nullptr, 's'}, {"flight", required_argument, nullptr, 'F'},
    {"pace", no_argument, nullptr, 'p'},         {"empty-list", no_argument, nullptr, 'e'},
    {"cut-at", required_argument, nullptr, 'c'}, {"silent", required_argument, nullptr, 'S'},
    {"noise", required_argument, nullptr, 'N'},  {"bad-value", required_argument, nullptr, 'B'},
    {nullptr, 0, nullptr, 0},
};

struct Options {
  unsigned nType = 1, nVersion = 1105, nSerial = 1137;
  std::vector<std::string> flightFiles;
  long nCutAt = -1;
  bool bPace = false, bEmptyList = false;
  std::string szSilent, szNoise, szBadValue;
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
    std::string value = optarg != nullptr ? optarg : "";
    char* end = nullptr;
    bool ok = true;
    switch (c) {
      case 'm':
        ok = value == "iqbasic" || value == "6015";
        o->nType = value == "6015" ? 0 : 1;
        break;
      case 'f': {
        unsigned a, b, cc;
        char tail;
        ok = std::sscanf(optarg, "%u.%u.%u%c", &a, &b, &cc, &tail) == 3 && b < 10 && cc < 100 && a < 60;
        o->nVersion = a * 1000 + b * 100 + cc;
        break;
      }
      case 's':
        o->nSerial = static_cast<unsigned>(std::strtoul(optarg, &end, 10));
        ok = !value.empty() && *end == '\0';
        break;
      case 'F': o->flightFiles.push_back(value); break;
      case 'p': o->bPace = true; break;
      case 'e': o->bEmptyList = true; break;
      case 'c':
        o->nCutAt = std::strtol(optarg, &end, 10);
        ok = !value.empty() && *end == '\0' && o->nCutAt >= 0;
        break;
      case 'S': ok = OneOf(o->szSilent = value, {"serial", "type", "version", "list", "log"}); break;
      case 'N': ok = OneOf(o->szNoise = value, {"list", "log"}); break;
      case 'B': ok = OneOf(o->szBadValue = value, {"serial", "type", "version"}); break;
      default:
        std::printf("velmora-sim: unknown or incomplete iqbasic option %s\n", argv[optind - 2]);
        return false;
    }
    if (!ok) {
      std::printf("velmora-sim: bad value %s\n", value.c_str());
      return false;
    }
  }
  if (optind <= argc) {
    std::printf("velmora-sim: unexpected argument %s\n", argv[optind - 1]);
    return false;
  }
  return true;
}

// Little-endian hexadecimal pairs, as the parameters are stored.
std::string Hex(unsigned value, int bytes) {
  std::string text;
  for (int i = 0; i < bytes; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", (value >> (8 * i)) & 0xFF);
    text += pair;
  }
  return text;
}

struct Session {
  int master;
  const Options* o;
  const std::vector<StoredIgc>* flights;
};

bool Send(Session* s, std::string_view bytes) {
  return SendWhileHeard(s->master, bytes, s->o->bPace ? kBaud : kFastBaud);
}

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

bool Handle(Session* s, std::string line) {
  Log("RX %s", Printable(line).c_str());
  if (line.empty() || line.back() != '\r') {
    Log("IGNORED no carriage return");
    return true;
  }
  line.pop_back();
  const Options& o = *s->o;
  static const char* const kNames[] = {"serial", "type", "version"};
  for (int i = 0; i < 3; ++i) {
    if (line != "RPA_0" + std::to_string(i)) continue;
    if (!Answers(s, kNames[i])) return true;
    std::string value = i == 0 ? Hex(o.nSerial, 4) : i == 1 ? Hex(o.nType, 1) : Hex(o.nVersion, 2);
    if (o.szBadValue == kNames[i]) value = "7G" + value;
    return Send(s, line + "_" + value + "\r\n");
  }
  if (line == "ACT_20_  ") {
    if (!Answers(s, "list")) return true;
    size_t count = o.bEmptyList ? 0 : s->flights->size();
    Log("SEND LIST %zu", count);
    std::string text;
    for (size_t k = 0; k < count; ++k) {
      const StoredIgc& f = (*s->flights)[k];
      text += std::to_string(k + 1) + ";" + ListDate(f) + ";" + ListTime(f.dwStart) + ";" + ListTime(f.dwDuration) +
              "\r\n";
    }
    return Send(s, text);
  }
  if (line.size() == 9 && line.compare(0, 7, "ACT_21_") == 0) {
    char* end;
    unsigned long number = std::strtoul(line.c_str() + 7, &end, 16);
    if (*end != '\0') {
      Log("IGNORED bad flight number");
      return true;
    }
    if (!Answers(s, "log")) return true;
    if (number < 1 || number > s->flights->size()) {
      Log("IGNORED no flight %lu", number);
      return true;
    }
    const std::string& text = (*s->flights)[number - 1].szText;
    size_t length = o.nCutAt >= 0 && static_cast<size_t>(o.nCutAt) < text.size() ? static_cast<size_t>(o.nCutAt)
                                                                                 : text.size();
    Log("SEND LOG %lu %zu", number, length);
    if (length < text.size()) Log("CUT %zu", length);
    return Send(s, std::string_view(text).substr(0, length));
  }
  Log("IGNORED unknown command");
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

}  // namespace

int RunIqBasic(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::printf("options of velmora-sim iqbasic:\n%s\n", kIqBasicUsage);
    return 2;
  }
  IgcHeader header;
  header.szARecord = "AXIQ" + std::to_string(o.nSerial);
  header.lines = {"HFFTYFRTYPE:" + std::string(o.nType != 0 ? "IQ-BASIC" : "6015")};
  header.bSign = false;
  std::vector<StoredIgc> flights;
  if (!LoadFlights(o.flightFiles, header, &flights)) return 2;
  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  for (size_t i = 0; i < flights.size(); ++i) {
    Log("FLIGHT %zu %s %s %d fixes %zu bytes %s", i + 1, ListDate(flights[i]).c_str(),
        ListTime(flights[i].dwStart).c_str(), flights[i].nFixes, flights[i].szText.size(),
        flights[i].szSource.c_str());
  }
  Session session{master, &o, &flights};
  if (WaitForClient(master)) {
    Log("CLIENT");
    Serve(&session);
    Log(StopRequested() ? "STOP" : "HANGUP");
  }
  close(master);
  return 0;
}

}  // namespace sim
