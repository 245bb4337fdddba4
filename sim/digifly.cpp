// The Digifly Graviter: answers "V" with its product line and "y" with the
// image of its whole log memory, with faults on request.
//
// Every event is one flushed line on standard output:
//   FLIGHT <k> <yyyy-mm-dd hh:mm:ss> <points> points <source>
//   BLOCK <address> type <t> records <n> points <p> [flight <k>]
//   IMAGE <bytes> bytes, first block at <address>
//   CLIENT / HANGUP / STOP, RX <command>, SEND PRODUCT, SEND IMAGE <bytes>,
//   SILENT, NOISE, IGNORED <why>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "digifly_image.h"
#include "families.h"
#include "flight.h"
#include "pty.h"

namespace sim {

namespace {

const option kOptions[] = {
    {"flight", required_argument, nullptr, 'f'},    {"repeat", required_argument, nullptr, 'r'},
    {"points", required_argument, nullptr, 'n'},    {"product", required_argument, nullptr, 'p'},
    {"wrap", required_argument, nullptr, 'w'},      {"empty", no_argument, nullptr, 'e'},
    {"loop", no_argument, nullptr, 'l'},            {"bad-pointer", required_argument, nullptr, 'b'},
    {"short", required_argument, nullptr, 's'},     {"poke", required_argument, nullptr, 'k'},
    {"truncate", required_argument, nullptr, 't'},  {"bad-frame", no_argument, nullptr, 'F'},
    {"bad-checksum", no_argument, nullptr, 'C'},    {"silent", required_argument, nullptr, 'S'},
    {"noise", required_argument, nullptr, 'N'},     {"pace", no_argument, nullptr, 'P'},
    {"image-out", required_argument, nullptr, 'o'}, {nullptr, 0, nullptr, 0},
};

}  // namespace

const char* const kDigiflyUsage =
    "    --flight FILE.igc   a flight in the memory (repeatable, oldest first); without it a\n"
    "                        built-in synthetic flight of 401 points\n"
    "    --repeat N          the flights N times over, each round a day later (many flights)\n"
    "    --points N          keep only the first N fixes of each flight\n"
    "    --product TEXT      the answer to V (\"Digifly Graviter V3.21 SN00815\")\n"
    "    --wrap=record|pointer|header|none  where the circular memory wraps: inside a record of\n"
    "                        the first flight (the default), inside the second block's pointer,\n"
    "                        inside the first block's header, or not at all\n"
    "    --empty             no flight: the first pointer ends the chain\n"
    "    --loop              the last block points back to the first\n"
    "    --bad-pointer=first|next  the first-block pointer, or the first block's next pointer,\n"
    "                        outside the memory\n"
    "    --short N           the image holds only the first N bytes of the log area\n"
    "    --poke OFFSET:VALUE set the byte OFFSET bytes into the chain (repeatable)\n"
    "    --truncate N        send only the first N bytes of the image\n"
    "    --bad-frame         the image lacks its \"*\"\n"
    "    --bad-checksum      the image's checksum is wrong\n"
    "    --silent=product|image   leave V or y unanswered\n"
    "    --noise=product|image    answer V or y with endless noise\n"
    "    --pace              send at the instrument's 38400 baud, 10 bits a byte\n"
    "    --image-out FILE    write the image to FILE and exit, without a pseudo-terminal";

namespace {

constexpr int kBaud = 38400;
// Without --pace: fast, yet in small frames 2 ms apart, so that a
// reader with a small receive buffer keeps up.
constexpr size_t kFastFrame = 128;

struct Options {
  std::vector<std::string> flightFiles;
  unsigned nRepeat = 1;
  unsigned nPoints = 0;
  std::string szProduct = "Digifly Graviter V3.21 SN00815";
  ImageLayout layout;
  long nTruncate = -1;
  bool bBadFrame = false, bBadChecksum = false, bPace = false;
  std::string szSilent, szNoise, szImageOut;
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

bool Number(const char* text, unsigned long max, unsigned long* value) {
  char* end;
  *value = std::strtoul(text, &end, 0);
  return *text >= '0' && *text <= '9' && *end == '\0' && *value <= max;
}

bool ParseOptions(int argc, char** argv, Options* o) {
  optind = 1;
  opterr = 0;
  int c, index = 0;
  // argv[-1] is the family name, in the place getopt expects the program's.
  while ((c = getopt_long(argc + 1, argv - 1, "", kOptions, &index)) != -1) {
    unsigned long n = 0;
    std::string v = optarg != nullptr ? optarg : "";
    bool ok = true;
    switch (c) {
      case 'f': o->flightFiles.push_back(v); break;
      case 'r': ok = Number(optarg, 10000, &n) && n > 0, o->nRepeat = static_cast<unsigned>(n); break;
      case 'n': ok = Number(optarg, 100000, &n) && n > 0, o->nPoints = static_cast<unsigned>(n); break;
      case 'p': ok = v.size() <= 300 && v.find_first_of("\r\n") == std::string::npos, o->szProduct = v; break;
      case 'w':
        ok = v == "record" || v == "pointer" || v == "header" || v == "none";
        o->layout.eWrap = v == "pointer"  ? ImageLayout::kWrapPointer
                          : v == "header" ? ImageLayout::kWrapHeader
                          : v == "none"   ? ImageLayout::kWrapNone
                                          : ImageLayout::kWrapRecord;
        break;
      case 'e': o->layout.bEmpty = true; break;
      case 'l': o->layout.bLoop = true; break;
      case 'b':
        ok = v == "first" || v == "next";
        o->layout.eBadPointer = v == "first" ? ImageLayout::kPointerFirst : ImageLayout::kPointerNext;
        break;
      case 's': ok = Number(optarg, kLogSize, &n) && n > 0, o->layout.nShort = static_cast<uint32_t>(n); break;
      case 'k': {
        size_t colon = v.find(':');
        unsigned long value = 0;
        ok = colon != std::string::npos && Number(v.substr(0, colon).c_str(), kLogSize, &n) &&
             Number(v.substr(colon + 1).c_str(), 255, &value);
        o->layout.pokes.emplace_back(static_cast<uint32_t>(n), static_cast<uint8_t>(value));
        break;
      }
      case 't': ok = Number(optarg, 1000000, &n), o->nTruncate = static_cast<long>(n); break;
      case 'F': o->bBadFrame = true; break;
      case 'C': o->bBadChecksum = true; break;
      case 'S': ok = v == "product" || v == "image", o->szSilent = v; break;
      case 'N': ok = v == "product" || v == "image", o->szNoise = v; break;
      case 'P': o->bPace = true; break;
      case 'o': o->szImageOut = v; break;
      default:
        std::printf("velmora-sim: unknown digifly option or missing value: %s\n", argv[optind - 2]);
        return false;
    }
    if (!ok) {
      std::printf("velmora-sim: bad value for --%s: %s\n", kOptions[index].name, v.c_str());
      return false;
    }
  }
  if (optind <= argc) {
    std::printf("velmora-sim: unexpected argument %s\n", argv[optind - 1]);
    return false;
  }
  return true;
}

bool LoadFlights(const Options& o, std::vector<Flight>* flights) {
  std::vector<Flight> base;
  for (const std::string& path : o.flightFiles) {
    Flight flight;
    int skipped = 0;
    std::string error;
    if (!ReadIgcFlight(path, &flight, &skipped, &error)) {
      std::printf("velmora-sim: %s\n", error.c_str());
      return false;
    }
    base.push_back(std::move(flight));
  }
  if (base.empty()) base.push_back(MakeSyntheticFlight());
  for (Flight& f : base) {
    if (o.nPoints > 0 && f.points.size() > o.nPoints) f.points.resize(o.nPoints);
  }
  for (unsigned round = 0; round < o.nRepeat; ++round) {
    for (const Flight& f : base) {
      Flight copy = f;
      for (FlightPoint& p : copy.points) p.dwTime += round * 86400u;
      flights->push_back(std::move(copy));
    }
  }
  return true;
}

struct Session {
  int master;
  const Options* pOptions;
  const std::vector<uint8_t>* pImage;
};

bool Send(const Session& s, const void* data, size_t length) {
  if (s.pOptions->bPace) return WriteAll(s.master, data, length, kBaud);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t sent = 0; sent < length; sent += kFastFrame) {
    if (sent > 0) SleepMs(2);
    if (!WriteAll(s.master, p + sent, std::min(kFastFrame, length - sent))) return false;
  }
  return true;
}

// Answers one command; false once the client is gone.
bool Answer(const Session& s, char command) {
  const Options& o = *s.pOptions;
  const char* stage = command == 'V' ? "product" : "image";
  if (o.szSilent == stage) {
    Log("SILENT");
    return true;
  }
  if (o.szNoise == stage) {
    Log("NOISE");
    const std::string noise(256, 'x');  // no line end, no frame: never an answer
    while (Send(s, noise.data(), noise.size())) {
    }
    return false;
  }
  if (command == 'V') {
    Log("SEND PRODUCT");
    std::string line = o.szProduct + "\r\n";
    return Send(s, line.data(), line.size());
  }
  size_t length = s.pImage->size();
  if (o.nTruncate >= 0 && static_cast<size_t>(o.nTruncate) < length) length = static_cast<size_t>(o.nTruncate);
  Log("SEND IMAGE %zu", length);
  return Send(s, s.pImage->data(), length);
}

void Serve(const Session& s) {
  ByteInput input;
  input.master = s.master;
  for (;;) {
    int c = ReadByte(&input, 500);
    if (c == kReadGone) return;
    if (c == kReadTimeout) continue;
    if (c != 'V' && c != 'y') {
      Log("IGNORED byte 0x%02X", c);
      continue;
    }
    Log("RX %c", c);
    if (!Answer(s, static_cast<char>(c))) return;
  }
}

}  // namespace

int RunDigifly(int argc, char** argv) {
  Options o;
  std::vector<Flight> flights;
  if (!ParseOptions(argc, argv, &o) || !LoadFlights(o, &flights)) {
    std::printf("options of velmora-sim digifly:\n%s\n", kDigiflyUsage);
    return 2;
  }
  std::vector<uint8_t> image;
  std::vector<BlockNote> notes;
  std::string error;
  if (!BuildImage(flights, o.layout, &image, &notes, &error)) {
    std::printf("velmora-sim: %s\n", error.c_str());
    return 2;
  }
  if (o.bBadFrame) image[image.size() - 4] = '#';
  if (o.bBadChecksum) image[image.size() - 3] ^= 0x5A;
  if (!o.szImageOut.empty()) {
    std::ofstream out(o.szImageOut, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return out ? 0 : 1;
  }

  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  for (size_t k = 0; k < flights.size(); ++k) {
    const Flight& f = flights[k];
    CalendarTime t = SplitSecondsSince2000(f.points.front().dwTime);
    Log("FLIGHT %zu %04d-%02d-%02d %02d:%02d:%02d %zu points %s", k + 1, t.nYear, t.nMonth, t.nDay, t.nHour,
        t.nMinute, t.nSecond, f.points.size(), f.szSource.c_str());
  }
  for (const BlockNote& b : notes) {
    Log("BLOCK %u type %d records %zu points %zu flight %d", b.dwAddress, b.nType, b.nRecords, b.nPoints,
        b.nFlight);
  }
  Log("IMAGE %zu bytes, first block at %u", image.size(), notes.empty() ? 0u : notes.front().dwAddress);
  Session session{master, &o, &image};
  if (WaitForClient(master)) {
    Log("CLIENT");
    Serve(session);
    if (!StopRequested()) Log("HANGUP");
  }
  if (StopRequested()) Log("STOP");
  close(master);
  return 0;
}

}  // namespace sim
