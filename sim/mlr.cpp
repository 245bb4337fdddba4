// An MLR receiver: it takes "$PMLR" commands at 4800 baud, answers the
// product request in text and sends its track log in binary sentences at
// 38400 baud. It reads the speed the client has set on the line and hears
// and answers only when that speed is its own, as a real UART would.
//
// One flushed line per event on standard output:
//   POINTS <n> <GPS|UTC>          the log served, and whether its times are GPS time
//   CLIENT, HANGUP, STOP          a client came, went, SIGTERM
//   LINE <baud>                   the client set the line to this speed
//   RX <command> @<baud>          a command and the line speed it came at
//   IGNORED <why>                 a command not acted on
//   PRODUCT <reply>               the product reply sent
//   LOG <sentences> sentences at <baud>, SEND END, SILENT, LOST <n> sentences
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "families.h"
#include "flight.h"
#include "mlr_line.h"
#include "pty.h"
#include "sentence.h"

namespace sim {

namespace {

const option kOptions[] = {
    {"flight", required_argument, nullptr, 'f'},     {"points", required_argument, nullptr, 'n'},
    {"product", required_argument, nullptr, 'p'},    {"version", required_argument, nullptr, 'v'},
    {"fifth", required_argument, nullptr, '5'},      {"segment-at", required_argument, nullptr, 's'},
    {"pace", no_argument, nullptr, 'P'},             {"silent", no_argument, nullptr, 'S'},
    {"bad-product", no_argument, nullptr, 'B'},      {"bad-checksum", required_argument, nullptr, 'c'},
    {"cut", required_argument, nullptr, 'u'},        {"skip", required_argument, nullptr, 'k'},
    {"silent-after", required_argument, nullptr, 'a'}, {"refuse-speed", no_argument, nullptr, 'R'},
    {"noise", no_argument, nullptr, 'N'},            {"empty", no_argument, nullptr, 'E'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

const char* const kMlrUsage =
    "    --flight FILE.igc   serve this flight (default: the built-in flight)\n"
    "    --points N          serve a steady flight of N fixes instead (southern, western, some below 0 m)\n"
    "    --product TEXT      product name, field 1 of the product reply (SP24)\n"
    "    --version TEXT      software version, field 4 (3.10); SP24 up to 2.71 and from 9.90 logs GPS time\n"
    "    --fifth TEXT        add a fifth field to the product reply (newer firmware, logs UTC)\n"
    "    --segment-at N      point N starts a new track segment (repeatable; points count from 1)\n"
    "    --pace              send at the line's speed, 10 bits a byte\n"
    "    --silent            answer nothing\n"
    "    --bad-product       the product reply with a wrong checksum\n"
    "    --bad-checksum N    sentence N with a wrong checksum (sentences count from 1, the start sentence first)\n"
    "    --cut N             sentence N breaks off halfway, the next follows at once\n"
    "    --skip N            sentence N is not sent, its sequence number is skipped\n"
    "    --silent-after N    send nothing after sentence N\n"
    "    --refuse-speed      stay at 4800 baud for the log, so nothing reaches a client at 38400\n"
    "    --noise             line noise between the sentences\n"
    "    --empty             the log holds no point: the start and end sentences only";

namespace {

constexpr int kCommandBaud = 4800, kLogBaud = 38400;
constexpr char kProductRequest[] = "$PMLR,26,01,01,0339";
constexpr char kLogRequest[] = "$PMLR,24,02,0101,0399";
constexpr char kAbort[] = "$PMLR,06,00,02A9";
constexpr size_t kRecordsPerSentence = 27;
constexpr uint32_t kSince1980Of2000 = 630720000;  // 1980-01-06 to 2000-01-01 in seconds
constexpr uint8_t kFirstSequence = 250;  // wraps early in every log

struct Options {
  std::string flight, product = "SP24", version = "3.10", fifth;
  uint32_t points = 0, badChecksum = 0, cut = 0, skip = 0, silentAfter = 0;
  bool pace = false, silent = false, badProduct = false, refuseSpeed = false, noise = false, empty = false;
  std::vector<uint32_t> segments;
};

struct Session {
  int master;
  ByteInput input;
  PacedLine line;
  const Options* o;
  const Flight* flight;
  int lastBaud = -1;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  optind = 1;
  int c;
  uint32_t n = 0;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    bool numeric = std::strchr("nscuka", c) != nullptr;
    if (numeric && !ParseNumber(optarg, 10000000, &n)) {
      std::printf("velmora-sim: bad number %s\n", optarg);
      return false;
    }
    switch (c) {
      case 'f': o->flight = optarg; break;
      case 'n': o->points = n; break;
      case 'p': o->product = optarg; break;
      case 'v': o->version = optarg; break;
      case '5': o->fifth = optarg; break;
      case 's': o->segments.push_back(n); break;
      case 'P': o->pace = true; break;
      case 'S': o->silent = true; break;
      case 'B': o->badProduct = true; break;
      case 'c': o->badChecksum = n; break;
      case 'u': o->cut = n; break;
      case 'k': o->skip = n; break;
      case 'a': o->silentAfter = n; break;
      case 'R': o->refuseSpeed = true; break;
      case 'N': o->noise = true; break;
      case 'E': o->empty = true; break;
      default: return false;
    }
  }
  return optind == argc;
}

// The firmware history: SP24 receivers up to 2.71, and the 9.90 series,
// log GPS time, which runs 14 s ahead of UTC. Newer firmware (and any that
// sends the fifth field) logs UTC.
bool LogsGpsTime(const Options& o) {
  if (o.product.compare(0, 4, "SP24") != 0 || !o.fifth.empty()) return false;
  int major = 0, minor = 0, digits = 0;
  size_t i = 0;
  for (; i < o.version.size() && std::isdigit(static_cast<unsigned char>(o.version[i])); ++i) {
    major = major * 10 + (o.version[i] - '0');
  }
  if (i < o.version.size() && o.version[i] == '.') {
    for (++i; i < o.version.size() && digits < 2 && std::isdigit(static_cast<unsigned char>(o.version[i])); ++i) {
      minor = minor * 10 + (o.version[i] - '0');
      ++digits;
    }
  }
  if (digits == 1) minor *= 10;
  return major <= 1 || (major == 2 && minor <= 71) || (major == 9 && minor >= 90);
}

void Put16(std::string* s, uint32_t v) {
  s->push_back(static_cast<char>(v >> 8 & 0xFF));
  s->push_back(static_cast<char>(v & 0xFF));
}
void Put32(std::string* s, uint32_t v) {
  Put16(s, v >> 16);
  Put16(s, v & 0xFFFF);
}

// Sync, sequence, "T", 0x01, the body, the 16-bit sum and CR LF.
std::string Frame(uint8_t sequence, const std::string& body, bool badSum) {
  std::string s = {static_cast<char>(0x8B), static_cast<char>(sequence), 'T', 1};
  s += body;
  uint32_t sum = 0;
  for (char c : s) sum += static_cast<uint8_t>(c);
  Put16(&s, (sum + (badSum ? 1 : 0)) & 0xFFFF);
  return s + "\r\n";
}

int32_t Semicircles(int32_t units) {  // 1/60000 degree
  return static_cast<int32_t>(static_cast<uint32_t>(std::llround(units * (2147483648.0 / 10800000.0))));
}

std::vector<std::string> BuildLog(const Session& s) {
  const Options& o = *s.o;
  bool gps = LogsGpsTime(o);
  std::vector<std::string> bodies = {"DEBUT"};
  const auto& points = s.flight->points;
  for (size_t i = 0; !o.empty && i < points.size(); i += kRecordsPerSentence) {
    size_t count = std::min(kRecordsPerSentence, points.size() - i);
    std::string body(1, '\0');
    body.push_back(static_cast<char>(count));
    for (size_t k = i; k < i + count; ++k) {
      const FlightPoint& p = points[k];
      Put16(&body, static_cast<uint32_t>(k + 1) & 0xFFFF);
      Put32(&body, p.dwTime + kSince1980Of2000 + (gps ? 14 : 0));
      Put32(&body, static_cast<uint32_t>(Semicircles(p.nLatitude)));
      Put32(&body, static_cast<uint32_t>(Semicircles(p.nLongitude)));
      int32_t dm = std::clamp(p.nGpsAltitude * 10, -0x800000, 0x7FFFFF);
      Put16(&body, static_cast<uint32_t>(dm) >> 8 & 0xFFFF);
      body.push_back(static_cast<char>(dm & 0xFF));
      bool segment = std::find(o.segments.begin(), o.segments.end(), k + 1) != o.segments.end();
      body.push_back(segment ? 1 : 0);
    }
    bodies.push_back(body);
  }
  bodies.push_back("FIN");
  std::vector<std::string> log;
  uint8_t sequence = kFirstSequence;
  for (size_t i = 0; i < bodies.size(); ++i) {
    uint32_t number = static_cast<uint32_t>(i + 1);
    std::string frame = Frame(sequence++, bodies[i], number == o.badChecksum);
    if (number == o.cut) frame.resize(frame.size() / 2);
    if (number == o.skip) frame.clear();
    log.push_back(frame);
  }
  return log;
}

void NoteLineSpeed(Session* s) {
  int baud = ClientBaud(s->master);
  if (baud == s->lastBaud) return;
  s->lastBaud = baud;
  Log("LINE %d", baud);
}

// Sends at the instrument's own speed; bytes sent while the client listens
// at another speed never arrive as bytes. False once the client is gone.
bool SendAt(Session* s, int baud, const std::string& bytes, bool* lost) {
  *lost = ClientBaud(s->master) != baud;
  if (*lost) return true;
  return SendPaced(&s->line, bytes);
}

bool SendProduct(Session* s) {
  const Options& o = *s->o;
  std::string body = "PMLR,IDGPS,01," + o.product + ",MLR,0," + o.version;
  if (!o.fifth.empty()) body += "," + o.fifth;
  std::string reply = BuildSentence(body);
  if (o.badProduct) reply[reply.size() - 3] = reply[reply.size() - 3] == '0' ? '1' : '0';
  Log("PRODUCT %s", Printable(reply.substr(0, reply.size() - 2)).c_str());
  Restart(&s->line, o.pace ? kCommandBaud : 0);
  bool lost;
  if (!SendAt(s, kCommandBaud, reply, &lost)) return false;
  if (lost) Log("LOST the product reply: the line is at %d", ClientBaud(s->master));
  return true;
}

bool HandleCommand(Session* s, const std::string& text, bool* aborted);

// Takes the client's commands that have arrived while the log goes out.
bool PollCommands(Session* s, std::string* pending, bool* aborted) {
  for (;;) {
    int c = ReadByte(&s->input, 0);
    if (c == kReadGone) return false;
    if (c == kReadTimeout) return true;
    if (c != '\n') {
      if (pending->size() < 100) pending->push_back(static_cast<char>(c));
      continue;
    }
    std::string text = *pending;
    pending->clear();
    if (!HandleCommand(s, text, aborted)) return false;
  }
}

bool SendLog(Session* s) {
  const Options& o = *s->o;
  // The instrument starts once the client has had its 0.3 s to switch; one
  // that refuses the new speed then talks at the old one.
  int baud = o.refuseSpeed ? kCommandBaud : kLogBaud;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (ClientBaud(s->master) != kLogBaud && std::chrono::steady_clock::now() < deadline && !StopRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  NoteLineSpeed(s);
  std::vector<std::string> log = BuildLog(*s);
  Log("LOG %zu sentences at %d", log.size(), baud);
  Restart(&s->line, o.pace ? baud : 0);
  std::string pending;
  int lost = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    if (o.silentAfter > 0 && i >= o.silentAfter) {
      Log("SILENT");
      return true;
    }
    bool aborted = false;
    if (!PollCommands(s, &pending, &aborted)) return false;
    if (aborted) return true;
    NoteLineSpeed(s);
    std::string bytes = log[i];
    if (o.noise && i > 0) bytes = std::string("\x00\xFF\x8B\x12\r\n", 6) + bytes;
    bool wasLost;
    if (!SendAt(s, baud, bytes, &wasLost)) {
      PollCommands(s, &pending, &aborted);  // what the client said before it went
      return false;
    }
    lost += wasLost ? 1 : 0;
  }
  if (lost > 0) Log("LOST %d sentences: the line was not at %d", lost, baud);
  Log("SEND END");
  return true;
}

bool HandleCommand(Session* s, const std::string& line, bool* aborted) {
  std::string text = line;
  bool cr = !text.empty() && text.back() == '\r';
  if (cr) text.pop_back();
  int baud = ClientBaud(s->master);
  Log("RX %s @%d", Printable(text).c_str(), baud);
  if (!cr) {
    Log("IGNORED no carriage return");
    return true;
  }
  if (baud != kCommandBaud) {
    Log("IGNORED garbled: the line is at %d", baud);
    return true;
  }
  if (text == kAbort) {
    *aborted = true;
    return true;
  }
  if (s->o->silent) {
    Log("IGNORED silent");
    return true;
  }
  if (text == kProductRequest) return SendProduct(s);
  if (text == kLogRequest) return SendLog(s);
  Log("IGNORED unknown command");
  return true;
}

void Serve(Session* s) {
  s->input = ByteInput{};
  s->input.master = s->master;
  s->lastBaud = -1;
  std::string pending;
  for (;;) {
    NoteLineSpeed(s);
    int c = ReadByte(&s->input, 5);
    if (c == kReadGone) return;
    if (c == kReadTimeout) continue;
    if (c != '\n') {
      if (pending.size() < 100) pending.push_back(static_cast<char>(c));
      continue;
    }
    std::string text = pending;
    pending.clear();
    bool aborted = false;
    if (!HandleCommand(s, text, &aborted)) return;
  }
}

}  // namespace

int RunMlr(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc + 1, argv - 1, &o)) {
    std::printf("options of velmora-sim mlr:\n%s\n", kMlrUsage);
    return 2;
  }
  Flight flight;
  if (!LoadFlight(o.flight, o.points, &flight)) return 2;
  int master = OpenAnnouncedPty();
  if (master < 0) return 1;
  Log("POINTS %zu %s", o.empty ? 0 : flight.points.size(), LogsGpsTime(o) ? "GPS" : "UTC");
  Session session{master, ByteInput{}, PacedLine{}, &o, &flight};
  session.line.master = master;
  if (WaitForClient(master)) {
    Log("CLIENT");
    Serve(&session);
    Log(StopRequested() ? "STOP" : "HANGUP");
  }
  close(master);
  return 0;
}

}  // namespace sim
