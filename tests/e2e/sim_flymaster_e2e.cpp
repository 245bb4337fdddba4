// The Flymaster emulator seen from the line: this test is the client, with
// raw bytes and a block decoder of its own, and checks what comes back
// against the IGC files the emulator was given.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::string Checksummed(const std::string& body, const char* format = "*%02X\r\n") {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, format, sum);
  return "$" + body + tail;
}

// The client end of the pseudo-terminal.
class Line {
 public:
  explicit Line(const std::string& device) {
    fd_ = open(device.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) throw std::runtime_error("cannot open " + device);
    termios tio;
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Line() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  void Send(const std::string& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  void SendByte(uint8_t byte) { Send(std::string(1, static_cast<char>(byte))); }
  // An answer: its first byte within 3 s (the machine may be busy), the
  // rest until 150 ms pass without a byte.
  std::string Answer() { return ReadUntilSilent(3000); }
  // What comes within 150 ms where nothing should.
  std::string Nothing() { return ReadUntilSilent(150); }
  std::string ReadUntilSilent(int firstMs) {
    std::string out;
    char buffer[4096];
    for (;;) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, out.empty() ? firstMs : 150) <= 0) return out;
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) return out;
      out.append(buffer, static_cast<size_t>(n));
    }
  }
  // Exactly n bytes, each within `ms`; false on a gap.
  bool ReadExact(size_t n, std::string* out, int ms) {
    out->clear();
    while (out->size() < n) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, ms) <= 0) return false;
      char buffer[512];
      ssize_t got = read(fd_, buffer, std::min(sizeof buffer, n - out->size()));
      if (got <= 0) return false;
      out->append(buffer, static_cast<size_t>(got));
    }
    return true;
  }

 private:
  int fd_ = -1;
};

std::vector<std::string> SplitLines(const std::string& text, const std::string& end = "\r\n") {
  std::vector<std::string> lines;
  size_t start = 0, at;
  while ((at = text.find(end, start)) != std::string::npos) {
    lines.push_back(text.substr(start, at - start));
    start = at + end.size();
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

size_t CountLine(const std::string& log, const std::string& line) {
  size_t n = 0;
  for (const std::string& l : SplitLines(log, "\n")) n += l == line;
  return n;
}

struct RxBlock {
  uint8_t type = 0;
  std::string data;
  bool checksumOk = false;
};

// One block as it comes off the line; type 0xA3 with no data for the end marker.
bool ReadBlock(Line* line, RxBlock* block, int gapMs = 3000) {
  std::string head;
  if (!line->ReadExact(2, &head, gapMs)) return false;
  block->type = static_cast<uint8_t>(head[0]);
  EXPECT_EQ(head[0], head[1]);
  block->data.clear();
  if (block->type == 0xA3) return true;
  std::string length, rest;
  if (!line->ReadExact(1, &length, gapMs)) return false;
  size_t n = static_cast<uint8_t>(length[0]);
  if (!line->ReadExact(n + 1, &rest, gapMs)) return false;
  block->data = rest.substr(0, n);
  uint8_t sum = static_cast<uint8_t>(n);
  for (char c : block->data) sum ^= static_cast<uint8_t>(c);
  block->checksumOk = sum == static_cast<uint8_t>(rest[n]);
  return true;
}

struct Download {
  std::vector<RxBlock> blocks;  // accepted blocks, in order
  bool ended = false;           // the end marker came
  size_t nBytes = 0;
};

// Accepts every good block, asks again for a bad one, until the end marker
// or a silence of gapMs.
Download ReceiveFlight(Line* line, int gapMs = 3000) {
  Download d;
  RxBlock b;
  while (ReadBlock(line, &b, gapMs)) {
    if (b.type == 0xA3) {
      d.nBytes += 2;
      d.ended = true;
      break;
    }
    d.nBytes += b.data.size() + 4;
    if (!b.checksumOk) {
      line->SendByte(0xB2);
      continue;
    }
    d.blocks.push_back(b);
    line->SendByte(0xB1);
  }
  return d;
}

struct Fix {
  int64_t lat, lonEast, alt, pressure;
  uint32_t time;  // seconds since 2000
};

int64_t Le(const std::string& d, size_t at, int bytes, bool isSigned) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(d[at + i]);
  if (isSigned && (v >> (8 * bytes - 1))) v -= uint64_t{1} << (8 * bytes);
  return static_cast<int64_t>(v);
}

std::vector<Fix> DecodeFixes(const std::vector<RxBlock>& blocks) {
  std::vector<Fix> fixes;
  Fix cur{};
  for (const RxBlock& b : blocks) {
    if (b.type == 0xA1) {
      cur = Fix{Le(b.data, 1, 4, true), -Le(b.data, 5, 4, true), Le(b.data, 9, 2, true), Le(b.data, 11, 2, true),
                static_cast<uint32_t>(Le(b.data, 13, 4, false))};
      fixes.push_back(cur);
    } else if (b.type == 0xA2) {
      for (size_t r = 0; r + 6 <= b.data.size(); r += 6) {
        cur.lat += static_cast<int8_t>(b.data[r + 1]);
        cur.lonEast -= static_cast<int8_t>(b.data[r + 2]);
        cur.alt += static_cast<int8_t>(b.data[r + 3]);
        cur.pressure += static_cast<int8_t>(b.data[r + 4]);
        cur.time += static_cast<uint8_t>(b.data[r + 5]);
        fixes.push_back(cur);
      }
    }
  }
  return fixes;
}

// The tool's reading of a pressure in tenths of a hectopascal.
int PressureAltitude(int64_t tenths) {
  return static_cast<int>((1.0 - std::pow(std::fabs(tenths / 10.0 / 1013.25), 0.190284)) * 44307.69 + 0.5);
}

// The B records of an IGC file, read here with sscanf and dated with timegm.
std::vector<Fix> ReadIgc(const std::string& path) {
  std::vector<Fix> fixes;
  int day = 0, month = 0, year = 0, lastSecond = -1;
  int64_t midnight = 0;
  for (const std::string& line : SplitLines(e2e::ReadFile(path), "\n")) {
    if (line.rfind("HFDTE", 0) == 0 && day == 0) {
      size_t digits = line.find_first_of("0123456789");
      std::sscanf(line.c_str() + digits, "%2d%2d%2d", &day, &month, &year);
      tm t{};
      t.tm_year = 100 + year;
      t.tm_mon = month - 1;
      t.tm_mday = day;
      midnight = timegm(&t) - 946684800;
    }
    int h, m, s, latD, latM, lonD, lonM, pressure, gnss;
    char ns, ew, valid;
    if (line[0] != 'B' || std::sscanf(line.c_str(), "B%2d%2d%2d%2d%5d%c%3d%5d%c%c%5d%5d", &h, &m, &s, &latD, &latM,
                                      &ns, &lonD, &lonM, &ew, &valid, &pressure, &gnss) != 12) {
      continue;
    }
    int second = h * 3600 + m * 60 + s;
    if (second < lastSecond - 43200) midnight += 86400;
    lastSecond = second;
    int64_t lat = latD * 60000 + latM, lon = lonD * 60000 + lonM;
    fixes.push_back(Fix{ns == 'S' ? -lat : lat, ew == 'W' ? -lon : lon, gnss, pressure,
                        static_cast<uint32_t>(midnight + second)});
  }
  return fixes;
}

// A key block is due only where a change record cannot carry the step.
void ExpectKeyBlocksOnlyWhereNeeded(const std::vector<RxBlock>& blocks, const std::vector<Fix>& fixes) {
  size_t at = 0;
  for (const RxBlock& b : blocks) {
    if (b.type == 0xA1) {
      EXPECT_EQ(b.data.size(), 17u);
      if (at > 0 && at < fixes.size()) {
        const Fix &p = fixes[at - 1], &q = fixes[at];
        auto fits = [](int64_t v) { return v >= -128 && v <= 127; };
        int64_t dt = int64_t{q.time} - p.time;
        // The line carries longitude west positive: an eastward step of 128 does not fit.
        EXPECT_FALSE(fits(q.lat - p.lat) && fits(p.lonEast - q.lonEast) && fits(q.alt - p.alt) &&
                     fits(q.pressure - p.pressure) && dt >= 0 && dt <= 255)
            << "needless key block at fix " << at;
      }
      ++at;
    } else if (b.type == 0xA2) {
      EXPECT_TRUE(!b.data.empty() && b.data.size() % 6 == 0 && b.data.size() <= 255) << b.data.size();
      at += b.data.size() / 6;
    }
  }
}

std::string DownloadCommand(uint32_t start) {
  time_t t = static_cast<time_t>(start) + 946684800;
  tm u{};
  gmtime_r(&t, &u);
  char body[40];
  std::snprintf(body, sizeof body, "PFMDNL,%02d%02d%02d%02d%02d%02d,", u.tm_year - 100, u.tm_mon + 1, u.tm_mday,
                u.tm_hour, u.tm_min, u.tm_sec);
  return Checksummed(body, "*%02x\r\n");
}

constexpr char kList[] = "$PFMDNL,LST,*72\r\n";

// The synthetic flight's start, as the emulator lists it.
uint32_t FirstListedStart(Line* line) {
  line->Send(kList);
  auto sentences = SplitLines(line->Answer());
  int d, mo, y, h, mi, s;
  if (sentences.empty() ||
      std::sscanf(sentences[0].c_str(), "$PFMLST,%*d,%*d,%d.%d.%d,%d:%d:%d", &d, &mo, &y, &h, &mi, &s) != 6) {
    ADD_FAILURE() << "no flight listed";
    return 0;
  }
  tm t{};
  t.tm_year = 100 + y, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
  return static_cast<uint32_t>(timegm(&t) - 946684800);
}

TEST(SimFlymasterE2e, ServesIgcFlightsPointForPoint) {
  // Real flights: north-east, south-west, across midnight UTC up to 4400 m,
  // a jumpy log stepping back in time; and one below sea level, where the
  // pressure must still come back to the metre.
  e2e::TempDir dir;
  dir.Write("low.igc",
            "AXXX low\r\nHFDTEDATE:010324,01\r\n"
            "B1200004530000N00600000EA-0012-0020\r\n"
            "B1200014530001N00600001EA-0430-0400\r\n"
            "B12000x4530002N00600002EA0000500003\r\n"  // unreadable: skipped
            "B1200024530002N00600002EV-0005-0003\r\n"  // a fix without GPS: still logged
            "B1200034529999S00600003WA0000000000\r\n");
  std::vector<std::string> paths;
  for (const char* f : {"tri.igc", "freeflight-xcontest-66.46.igc", "2016-11-08-xcs-aaa-02.igc"}) {
    paths.push_back(e2e::TestDataDir() + "/igc/" + f);
  }
  paths.push_back(dir.File("low.igc"));
  std::vector<std::string> args = {"flymaster", "--model", "Nav SD", "--serial", "4711", "--firmware", "1.20"};
  for (const auto& path : paths) args.insert(args.end(), {"--flight", path});
  e2e::Sim sim(args);
  Line line(sim.device());

  line.Send("$PBRSNP,*21\r\n");
  EXPECT_EQ(line.Answer(), Checksummed("PBRSNP,Nav SD,0,4711,1.20"));

  line.Send(kList);
  auto list = SplitLines(line.Answer());
  ASSERT_EQ(list.size(), paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    SCOPED_TRACE(paths[i]);
    std::vector<Fix> igc = ReadIgc(paths[i]);
    ASSERT_FALSE(igc.empty());
    uint32_t last = 0;
    for (const Fix& f : igc) last = std::max(last, f.time);
    uint32_t duration = last - igc[0].time;
    time_t start = static_cast<time_t>(igc[0].time) + 946684800;
    tm u{};
    gmtime_r(&start, &u);
    char body[80];
    std::snprintf(body, sizeof body, "PFMLST,%zu,%zu,%02d.%02d.%02d,%02d:%02d:%02d,%02u:%02u:%02u", paths.size(), i,
                  u.tm_mday, u.tm_mon + 1, u.tm_year % 100, u.tm_hour, u.tm_min, u.tm_sec, duration / 3600,
                  duration / 60 % 60, duration % 60);
    EXPECT_EQ(list[i] + "\r\n", Checksummed(body));

    line.Send(DownloadCommand(igc[0].time));
    Download d = ReceiveFlight(&line);
    ASSERT_TRUE(d.ended);
    ASSERT_GE(d.blocks.size(), 2u);
    EXPECT_EQ(d.blocks[0].type, 0xA0);
    EXPECT_GE(d.blocks[0].data.size(), 63u);
    EXPECT_EQ(d.blocks[1].type, 0xA1);
    std::vector<Fix> got = DecodeFixes(d.blocks);
    ASSERT_EQ(got.size(), igc.size());
    ExpectKeyBlocksOnlyWhereNeeded(d.blocks, got);
    for (size_t k = 0; k < igc.size(); ++k) {
      ASSERT_EQ(got[k].lat, igc[k].lat) << k;
      ASSERT_EQ(got[k].lonEast, igc[k].lonEast) << k;
      ASSERT_EQ(got[k].alt, igc[k].alt) << k;
      ASSERT_EQ(got[k].time, igc[k].time) << k;
      // Exact where a tenth of a hectopascal is under a metre, 1 m above.
      int back = PressureAltitude(got[k].pressure);
      ASSERT_LE(std::abs(back - igc[k].pressure), igc[k].pressure < 1900 ? 0 : 1) << k << " " << igc[k].pressure;
    }
  }
  line.Close();
  std::string log = sim.Finish();
  EXPECT_EQ(sim.status(), 0);
  EXPECT_EQ(CountLine(log, "RX $PFMDNL,LST,*72"), 1u);
  EXPECT_EQ(CountLine(log, "HANGUP"), 1u);
}

TEST(SimFlymasterE2e, LeavesMalformedRequestsUnanswered) {
  e2e::Sim sim({"flymaster"});
  Line line(sim.device());
  uint32_t start = FirstListedStart(&line);
  std::string good = DownloadCommand(start);
  std::string badSum = good;
  badSum[badSum.size() - 3] ^= 1;
  std::string noCr = good.substr(0, good.size() - 2) + "\n";
  for (const std::string& request : {badSum, noCr, DownloadCommand(start + 1), Checksummed("PFMXYZ,"),
                                     "$" + std::string(300, 'A') + "\r\n", std::string("$PBRSNP,\r\n")}) {
    line.Send(request);
    EXPECT_EQ(line.Nothing(), "") << request;
  }
  // The checksum the flight list request really has is taken as well.
  line.Send("$PFMDNL,LST,*56\r\n");
  EXPECT_EQ(SplitLines(line.Answer()).size(), 1u);
  line.Close();
  std::string log = sim.Finish();
  for (const char* why : {"IGNORED bad checksum", "IGNORED the line ends without a carriage return",
                          "IGNORED no flight starts at", "IGNORED unknown command", "IGNORED sentence longer",
                          "IGNORED no checksum"}) {
    EXPECT_NE(log.find(why), std::string::npos) << why << "\n" << log;
  }
  EXPECT_EQ(sim.status(), 0);
}

TEST(SimFlymasterE2e, ResendsAfterNakAndStopsOnCancel) {
  e2e::Sim sim({"flymaster", "--bad-checksum", "2"});
  Line line(sim.device());
  line.Send(DownloadCommand(FirstListedStart(&line)));
  RxBlock info, first, again, next, after;
  ASSERT_TRUE(ReadBlock(&line, &info) && info.checksumOk);
  line.SendByte(0xB1);
  ASSERT_TRUE(ReadBlock(&line, &first));
  EXPECT_FALSE(first.checksumOk);
  line.SendByte(0xB2);
  ASSERT_TRUE(ReadBlock(&line, &again));
  EXPECT_TRUE(again.checksumOk);
  EXPECT_EQ(again.type, first.type);
  EXPECT_EQ(again.data, first.data);
  line.SendByte(0xB1);
  ASSERT_TRUE(ReadBlock(&line, &next) && next.checksumOk);
  line.SendByte(0xB3);
  EXPECT_EQ(line.Nothing(), "");
  line.Close();
  std::string log = sim.Finish();
  EXPECT_NE(log.find("SEND 2 A1 17 BADCS\nNAK\nSEND 2 A1 17\nACK\nSEND 3 A2 252\nCANCEL\nHANGUP\n"),
            std::string::npos)
      << log;
}

std::string Upload(const std::string& lat, const std::string& lon, const std::string& name, const std::string& alt,
                   bool airfield = false) {
  return Checksummed("PFMWPR," + lat + "," + lon + ",," + name + "," + alt + (airfield ? ",1" : ""));
}

TEST(SimFlymasterE2e, WaypointListAndUploadByFirmware) {
  e2e::TempDir dir;
  dir.Write("w.txt", "# test list\n-33.5 -70.25 800 1 Cerro Manquehue Launch Site\n46 7.5 1500 0 Stockhorn\n");
  {
    e2e::Sim sim({"flymaster", "--waypoints", dir.File("w.txt")});
    Line line(sim.device());
    line.Send("$PFMWPL,*3c\r\n");
    auto list = SplitLines(line.Answer());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0] + "\r\n", Checksummed("PFMWPL,33.500000,S,70.250000,W,800,Cerro Manquehue "));
    EXPECT_EQ(list[1] + "\r\n", Checksummed("PFMWPL,46.000000,N,7.500000,E,1500,Stockhorn       "));

    // Firmware 1.14 echoes the name as sent, padding and case included.
    std::string up = Upload("4548.834,N", "00614.784,E", "Forclaz launch  ", "1250");
    line.Send(up);
    EXPECT_EQ(line.Answer(), Checksummed("PFMWPR,Forclaz launch  "));
    line.Send(Upload("4548.834,N", "00614.784,E", "Forclaz", "1250"));  // name not 16 characters
    EXPECT_EQ(line.Answer(), Checksummed("PFMWPR,NAK"));
    line.Send(Upload("4548.834,N", "00614.784,E", "Doussard LZ     ", "0450", true));  // no airfields before 1.19
    EXPECT_EQ(line.Answer(), Checksummed("PFMWPR,NAK"));
    line.Send("$PFMWPL,*3c\r\n");
    auto after = SplitLines(line.Answer());
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2] + "\r\n", Checksummed("PFMWPL,45.813900,N,6.246400,E,1250,Forclaz launch  "));
    line.Close();
    std::string log = sim.Finish();
    EXPECT_EQ(CountLine(log, "WPT " + up.substr(0, up.size() - 2)), 1u) << log;
  }
  {
    e2e::Sim sim({"flymaster", "--firmware", "1.2"});  // "1.2" is not below "1.19": airfield flags
    Line line(sim.device());
    line.Send("$PFMWPL,*3c\r\n");
    auto list = SplitLines(line.Answer());
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[1] + "\r\n", Checksummed("PFMWPL,45.779700,N,6.220800,E,450,Doussard LZ     ,1"));
    line.Send(Upload("2016.152,S", "07006.234,W", "alto-Hospicio #2", "0550", true));
    EXPECT_EQ(line.Answer(), Checksummed("PFMWPR,ACK,ALTO HOSPICIO  2"));
  }
}

TEST(SimFlymasterE2e, WaypointUploadFaults) {
  const std::string up = Upload("4548.834,N", "00614.784,E", "Forclaz launch  ", "1250");
  struct Case {
    const char* option;
    std::string second;  // the answer to the second upload
  } cases[] = {
      {"--wpt-bad-echo=2", Checksummed("PFMWPR,ACK,XORCLAZ LAUNCH  ")},
      {"--wpt-nak=2", Checksummed("PFMWPR,NAK,FORCLAZ LAUNCH  ")},
      {"--wpt-silent=2", ""},
  };
  for (const Case& c : cases) {
    e2e::Sim sim({"flymaster", "--firmware", "1.20", c.option});
    Line line(sim.device());
    for (int i = 1; i <= 3; ++i) {
      line.Send(up);
      std::string expected = i == 2 ? c.second : Checksummed("PFMWPR,ACK,FORCLAZ LAUNCH  ");
      EXPECT_EQ(expected.empty() ? line.Nothing() : line.Answer(), expected) << c.option << " upload " << i;
    }
  }
  e2e::Sim sim({"flymaster", "--wpt-bad-echo"});  // every upload, firmware 1.14
  Line line(sim.device());
  line.Send(up);
  EXPECT_EQ(line.Answer(), Checksummed("PFMWPR,Xorclaz launch  "));
}

TEST(SimFlymasterE2e, PacedAtTheInstrumentsLineSpeed) {
  e2e::Sim sim({"flymaster", "--pace"});
  Line line(sim.device());
  uint32_t start = FirstListedStart(&line);
  line.Send(DownloadCommand(start));
  auto t0 = std::chrono::steady_clock::now();
  Download d = ReceiveFlight(&line);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(d.ended);
  double expected = d.nBytes * 10.0 / 57600.0;
  EXPECT_GT(seconds, expected * 0.9);
  EXPECT_LT(seconds, expected + 0.3);
}

TEST(SimFlymasterE2e, StaysForTheNextClientWhenAsked) {
  e2e::Sim sim({"flymaster", "--stay"});
  for (int i = 0; i < 2; ++i) {
    Line line(sim.device());
    line.Send("$PBRSNP,*21\r\n");
    EXPECT_EQ(line.Answer(), Checksummed("PBRSNP,GpsTrio,0,12345,1.14"));
  }
}

TEST(SimFlymasterE2e, RefusesBadOptionsBeforeOpeningADevice) {
  e2e::TempDir dir;
  for (std::vector<std::string> args :
       {std::vector<std::string>{"flymaster", "--bad-checksum", "x"}, {"flymaster", "--flight", "missing.igc"},
        {"flymaster", "--model", "a,b"}, {"flymaster", "--pause-after", "10"}, {"flymaster", "--frobnicate"}}) {
    auto r = e2e::Run(VELMORA_SIM_BIN, args, dir, {"", true, 5});
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_EQ(r.out.find("PTY "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("velmora-sim: "), std::string::npos) << r.out;
  }
}

}  // namespace
