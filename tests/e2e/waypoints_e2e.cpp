// Waypoint transfers with the Flymaster emulator on a real pseudo-terminal:
// the downloaded list in all three files, read back here with readers of
// our own, and uploads checked byte for byte against what the instrument
// received, with every answer fault and its message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using e2e::RunResult;
using e2e::RunVelmora;
using e2e::Sim;
using e2e::TempDir;

namespace {

const std::string kProduct = "Product: Flymaster GpsTrio  SN12345  SW";

// ---- the waypoint memory served ------------------------------------------

struct Served {
  double lat, lon;  // degrees, north and east positive
  int alt;          // metres
  int airfield;
  std::string stored;   // the name in the instrument (it keeps 16 characters)
  std::string id;       // what the identifier must become
  std::string comment;  // and the comment
};

std::vector<Served> ServedList() {
  std::vector<Served> list = {
      {45.8139, 6.2464, 1250, 0, "Forclaz launch", "FORCLA", "Forclaz launch"},
      {45.7797, 6.2208, 450, 1, "Doussard LZ", "DOUSSA", "Doussard LZ"},
      {-33.5, -70.25, 800, 1, "cerro Manquehue launch site", "CERRO", "cerro Manquehue"},
      {31.5, 35.5, -415, 0, "Dead  Sea   LZ", "DEAD", "Dead Sea LZ"},
      {19.1889, -100.1294, 2300, 0, "El Penon", "EL", "El Penon"},
      {-12.0, 0.5, 5, 0, "Sandy<&>\"bay\"", "SANDY<", "Sandy<&>\"bay\""},
  };
  // Enough more to outgrow the first waypoint array of 100.
  for (int k = 0; k < 100; ++k) {
    char stored[32], id[8];
    std::snprintf(stored, sizeof stored, "Pt%03d north", k);
    std::snprintf(id, sizeof id, "PT%03d", k);
    list.push_back({40 + k * 0.01, -(3 + k * 0.013), k * 7 - 20, k % 3 == 0, stored, id, stored});
  }
  return list;
}

std::string SimFile(const std::vector<Served>& list) {
  std::string text = "# lat lon alt airfield name\n";
  for (const Served& w : list) {
    char line[128];
    std::snprintf(line, sizeof line, "%.6f %.6f %d %d %s\n", w.lat, w.lon, w.alt, w.airfield, w.stored.c_str());
    text += line;
  }
  return text;
}

// ---- reading the files written, independently of the program -------------

struct FileWaypoint {
  double lat = 0, lon = 0, alt = 0;
  std::string name, comment;
};

std::string Unescape(std::string s) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&amp;", "&"}};
  for (const auto& [entity, text] : entities) {
    for (size_t at = s.find(entity); at != std::string::npos; at = s.find(entity, at + 1)) {
      s.replace(at, std::strlen(entity), text);
    }
  }
  return s;
}

// The text between `open` and `close` after *from, which moves past it.
std::string Between(const std::string& text, const std::string& open, const std::string& close, size_t* from) {
  size_t start = text.find(open, *from);
  if (start == std::string::npos) return "";
  start += open.size();
  size_t end = text.find(close, start);
  if (end == std::string::npos) return "";
  *from = end + close.size();
  return text.substr(start, end - start);
}

std::vector<FileWaypoint> ReadGpx(const std::string& text) {
  std::vector<FileWaypoint> list;
  for (size_t at = text.find("<wpt "); at != std::string::npos; at = text.find("<wpt ", at)) {
    FileWaypoint w;
    w.lat = std::atof(Between(text, "lat=\"", "\"", &at).c_str());
    w.lon = std::atof(Between(text, "lon=\"", "\"", &at).c_str());
    w.alt = std::atof(Between(text, "<ele>", "</ele>", &at).c_str());
    w.name = Unescape(Between(text, "<name>", "</name>", &at));
    w.comment = Unescape(Between(text, "<cmt>", "</cmt>", &at));
    list.push_back(w);
  }
  return list;
}

std::vector<FileWaypoint> ReadKml(const std::string& text) {
  std::vector<FileWaypoint> list;
  for (size_t at = text.find("<Placemark>"); at != std::string::npos; at = text.find("<Placemark>", at)) {
    FileWaypoint w;
    w.name = Unescape(Between(text, "<name>", "</name>", &at));
    w.comment = Unescape(Between(text, "<description>", "</description>", &at));
    std::string coordinates = Between(text, "<coordinates>", "</coordinates>", &at);
    EXPECT_EQ(std::sscanf(coordinates.c_str(), "%lf,%lf,%lf", &w.lon, &w.lat, &w.alt), 3) << coordinates;
    list.push_back(w);
  }
  return list;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Waypoint lines after the four header lines; the altitude is in feet.
std::vector<FileWaypoint> ReadOzi(const std::string& text) {
  std::vector<FileWaypoint> list;
  std::istringstream in(text);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line " << n << " ends without CR LF";
    if (n <= 4) continue;
    line.pop_back();
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string item; std::getline(fields, item, ',');) f.push_back(item);
    if (f.size() != 15) {
      ADD_FAILURE() << "line " << n << ": " << line;
      continue;
    }
    FileWaypoint w;
    w.name = TrimRight(f[1]);
    w.lat = std::atof(f[2].c_str());
    w.lon = std::atof(f[3].c_str());
    w.comment = TrimRight(f[10]);
    w.alt = std::atof(f[14].c_str());
    list.push_back(w);
  }
  return list;
}

void ExpectServed(const std::vector<FileWaypoint>& got, const std::vector<Served>& served, bool feet,
                  const char* format) {
  ASSERT_EQ(got.size(), served.size()) << format;
  for (size_t i = 0; i < served.size(); ++i) {
    const Served& s = served[i];
    EXPECT_NEAR(got[i].lat, s.lat, 1.5e-6) << format << " " << s.stored;
    EXPECT_NEAR(got[i].lon, s.lon, 1.5e-6) << format << " " << s.stored;
    EXPECT_EQ(got[i].alt, feet ? std::lround(s.alt * 3.28084) : s.alt) << format << " " << s.stored;
    EXPECT_EQ(got[i].name, s.id) << format;
    EXPECT_EQ(got[i].comment, s.comment) << format;
  }
}

// "Waypoints: 0", then every tenth count, then the last count once more.
std::string Progress(int count, bool scroll) {
  std::string text = scroll ? "Waypoints: 0\n" : "Waypoints: 0";
  std::string shown = "0";
  auto show = [&](int n) {
    std::string number = std::to_string(n);
    text += scroll ? "Waypoints: " + number + "\n" : std::string(shown.size(), '\b') + number;
    shown = number;
  };
  for (int n = 10; n <= count; n += 10) show(n);
  show(count);
  return scroll ? text : text + "\n";
}

// The emulator sends the whole list at once, faster than any serial line,
// and the reader thread may pause on a full FIFO with a message of its own.
// No byte is lost in a pause, which is what the files show; the message
// itself is taken out of the output.
std::string WithoutFifoPauses(std::string out) {
  const std::string pause = "\nCOM FIFO full";
  for (size_t at = out.find(pause); at != std::string::npos; at = out.find(pause, at)) out.erase(at, pause.size());
  return out;
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string full = dir + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
  }
  return "";
}

TEST(WaypointsE2e, DownloadIntoAllThreeFilesAndIntoOneByItsExtension) {
  std::vector<Served> served = ServedList();
  TempDir input;
  input.Write("memory.txt", SimFile(served));
  TempDir dir;
  std::string kmlOfAll;
  {
    // Firmware 1.2 sends the airfield flag as an eighth field.
    Sim sim({"flymaster", "--firmware", "1.2", "--waypoints", input.File("memory.txt")});
    RunResult r = RunVelmora({"-gy", "-c" + sim.device(), "-wsites"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(WithoutFifoPauses(r.out), kProduct + "1.2\n" + Progress(106, false) +
                         "File sites.wpt written\nFile sites.gpx written\nFile sites.kml written\n");
    std::string log = sim.Finish();
    EXPECT_NE(log.find("RX $PFMWPL,*3c\n"), std::string::npos) << log;

    std::string gpx = dir.Read("sites.gpx");
    kmlOfAll = dir.Read("sites.kml");
    ExpectServed(ReadGpx(gpx), served, false, "gpx");
    ExpectServed(ReadKml(kmlOfAll), served, false, "kml");
    ExpectServed(ReadOzi(dir.Read("sites.wpt")), served, true, "ozi");

    std::string xmllint = FindProgram("xmllint");
    if (xmllint.empty()) {
      std::printf("xmllint not found: the GPX schema and KML form are not checked\n");
    } else {
      RunResult valid = e2e::Run(
          xmllint, {"--noout", "--nonet", "--schema", e2e::TestDataDir() + "/schemas/gpx-1.1.xsd", "sites.gpx"}, dir);
      EXPECT_EQ(valid.status, 0) << valid.out;
      RunResult wellFormed = e2e::Run(xmllint, {"--noout", "--nonet", "sites.kml"}, dir);
      EXPECT_EQ(wellFormed.status, 0) << wellFormed.out;
    }
  }
  {
    // Firmware 1.14 sends seven fields; the extension picks the one file.
    TempDir one;
    Sim sim({"flymaster", "--waypoints", input.File("memory.txt")});
    RunResult r = RunVelmora({"-gy", "-c" + sim.device(), "-wsites.kml", "--scroll"}, one);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(WithoutFifoPauses(r.out), kProduct + "1.14\n" + Progress(106, true) + "File sites.kml written\n");
    EXPECT_EQ(one.List(), std::vector<std::string>{"sites.kml"});
    EXPECT_EQ(one.Read("sites.kml"), kmlOfAll);
  }
}

TEST(WaypointsE2e, EmptyWaypointMemoryWritesNoFile) {
  TempDir input;
  input.Write("memory.txt", "# nothing stored\n");
  Sim sim({"flymaster", "--waypoints", input.File("memory.txt")});
  TempDir dir;
  RunResult r = RunVelmora({"-gy", "-c" + sim.device(), "-wsites"}, dir);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, kProduct + "1.14\nWaypoints: 0\b0\n");
  EXPECT_TRUE(dir.List().empty());
}

std::string Checksummed(const std::string& body) {
  unsigned sum = 0;
  for (char c : body) sum ^= static_cast<unsigned char>(c);
  char tail[4];
  std::snprintf(tail, sizeof tail, "*%02X", sum);
  return "$" + body + tail;
}

// An instrument for lists the emulator never sends (decimal altitudes,
// broken fields): the test holds the pseudo-terminal and answers the
// identification and the list request from a thread.
class ScriptedInstrument {
 public:
  explicit ScriptedInstrument(std::vector<std::string> list) : list_(std::move(list)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
    device_ = ptsname(master_);
    int slave = open(device_.c_str(), O_RDWR | O_NOCTTY);  // raw before anything passes
    termios tio;
    if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    if (slave >= 0) close(slave);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedInstrument() {
    stop_ = true;
    thread_.join();
    close(master_);
  }
  const std::string& device() const { return device_; }

 private:
  void Send(const std::string& text) {
    if (write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE() << "short write";
  }
  void Serve() {
    std::string received;
    while (!stop_) {
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, 50) <= 0) continue;
      char buffer[256];
      ssize_t n = (pfd.revents & POLLIN) ? read(master_, buffer, sizeof buffer) : -1;
      if (n <= 0) {  // no client on the line yet, or it has gone
        usleep(20000);
        continue;
      }
      received.append(buffer, static_cast<size_t>(n));
      if (received.find("$PBRSNP,*21\r\n") != std::string::npos) {
        Send(Checksummed("PBRSNP,Scripted,0,777,2.0") + "\r\n");
        received.clear();
      } else if (received.find("$PFMWPL,*3c\r\n") != std::string::npos) {
        for (const std::string& body : list_) Send(Checksummed(body) + "\r\n");
        received.clear();
      }
    }
  }
  std::vector<std::string> list_;
  int master_ = -1;
  std::string device_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(WaypointsE2e, DownloadedAltitudesRoundHalvesUpwardAndTheDateLineIsOneMeridian) {
  ScriptedInstrument instrument({
      "PFMWPL,46.5,N,7.25,E,1234.5,Up",
      "PFMWPL,46.5,N,7.25,E,-12.5,Half",
      "PFMWPL,46.5,N,7.25,E,-12.6,Deeper",
      "PFMWPL,46.5,N,7.25,E,-0.4,Shore",
      "PFMWPL,-16.8,S,180.0,E,99.49,East,1",
      "PFMWPL,-16.8,S,180.0,W,10,West,0",
  });
  TempDir dir;
  RunResult r = RunVelmora({"-gy", "-c" + instrument.device(), "-wsites.gpx"}, dir);
  ASSERT_EQ(r.status, 0) << r.out;
  std::vector<FileWaypoint> got = ReadGpx(dir.Read("sites.gpx"));
  ASSERT_EQ(got.size(), 6u);
  const double expected[] = {1235, -12, -13, 0, 99, 10};
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].alt, expected[i]) << got[i].comment;
  EXPECT_EQ(got[4].lon, -180.0);
  EXPECT_EQ(got[5].lon, -180.0);
}

TEST(WaypointsE2e, BrokenListSentenceFailsWithItsMessage) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"PFMWPL,91.0,N,7.25,E,100,Beyond the pole", " Bad latitude data\n"},
      {"PFMWPL,46.5,N,7.25,E,100m,Metres", " Bad height data\n"},
      {"PFMWPL,46.5,N,7.25,E,100,   ", " Bad ID or name\n"},
  };
  for (const Case& c : cases) {
    ScriptedInstrument instrument({"PFMWPL,46.5,N,7.25,E,100,Good", c.body});
    TempDir dir;
    RunResult r = RunVelmora({"-gy", "-c" + instrument.device(), "-wsites"}, dir);
    EXPECT_EQ(r.status, 255) << c.body;
    EXPECT_EQ(r.out, "Product: Flymaster Scripted  SN777  SW2.0\nWaypoints: 0" + std::string(c.message)) << c.body;
    EXPECT_TRUE(dir.List().empty()) << c.body;
  }
}

// ---- uploads ---------------------------------------------------------------

// Positions on whole thousandths of a minute; a comment longer than 16
// characters, one that fits, none at all; altitudes clamped at both ends.
const char* const kOziFile =
    "OziExplorer Waypoint File Version 1.0\r\nWGS 84\r\nReserved 2\r\nReserved 3\r\n"
    "   1,ACORNS,  46.426800,   6.905500,41000.5,0, 1, 3, 0, 65535,Acorns landing, 0, 0, 0, 1000\r\n"
    "   2,LONG  , -33.500000, -70.250000,0,0, 1, 3, 0, 65535,Cerro Manquehue launch site north, 0, 0, 0, 40000\r\n"
    "   3,ZERO  ,   0.000500, 179.500000,0,0, 1, 3, 0, 65535,, 0, 0, 0, -777\r\n";
const char* const kOziSent[] = {
    "PFMWPR,4625.608,N,00654.330,E,,Acorns landing  ,0305",
    "PFMWPR,3330.000,S,07015.000,W,,Cerro Manquehue ,9999",
    "PFMWPR,0000.030,N,17930.000,E,,ZERO            ,0000",
};

const char* const kGeoFile =
    "$FormatGEO\n"
    "ACORNS N 46 25 36.48 E 006 54 19.80 1000 Acorns landing [A]\n"
    "sommet N 45 55 00.00 W 000 30 00.00 -50 Col-de-la-Forclaz sommet\n"
    "PLAIN S 12 00 00.00 E 012 00 00.00 250.5\n";
const char* const kGeoSent[] = {
    "PFMWPR,4625.608,N,00654.330,E,,Acorns landing  ,1000",  // the airfield
    "PFMWPR,4555.000,N,00030.000,W,,Col-de-la-Forcla,0000",
    "PFMWPR,1200.000,S,01200.000,E,,PLAIN           ,0251",
};

struct Upload {
  RunResult r;
  std::vector<std::string> received;  // the WPT lines of the emulator
  std::string log;
};

Upload RunUpload(const std::string& firmware, const std::vector<std::string>& faults, const std::string& file,
                 bool scroll = false) {
  std::vector<std::string> simArgs = {"flymaster", "--firmware", firmware};
  simArgs.insert(simArgs.end(), faults.begin(), faults.end());
  Sim sim(simArgs);
  TempDir dir;
  dir.Write("points", file);
  std::vector<std::string> args = {"-gy", "-c" + sim.device(), "-rpoints"};
  if (scroll) args.push_back("--scroll");
  Upload u;
  u.r = RunVelmora(args, dir);
  u.log = sim.Finish();
  std::istringstream in(u.log);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("WPT ", 0) == 0) u.received.push_back(line.substr(4));
  }
  return u;
}

std::string Found(const std::string& firmware) { return "3 waypoints found\n" + kProduct + firmware + "\n"; }

TEST(WaypointsE2e, UploadSendsEachWaypointAsTheFirmwareExpects) {
  struct Case {
    const char* firmware;
    const char* file;
    const char* const* sent;
    bool airfieldFlag;
    bool scroll;
  } cases[] = {
      {"1.14", kOziFile, kOziSent, false, false},
      {"1.14", kGeoFile, kGeoSent, false, false},
      {"1.2", kGeoFile, kGeoSent, true, false},  // "1.2" is not below "1.19"
      {"1.100", kGeoFile, kGeoSent, false, true},  // "1.100" is
  };
  bool letterInChecksum = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.firmware) + (c.file == kOziFile ? " ozi" : " geo"));
    Upload u = RunUpload(c.firmware, {}, c.file, c.scroll);
    EXPECT_EQ(u.r.status, 0) << u.r.out;
    std::string progress = c.scroll ? "Waypoints: 0\nWaypoints: 1\nWaypoints: 2\nWaypoints: 3\n"
                                    : "Waypoints: 0\b1\b2\b3\n";
    EXPECT_EQ(u.r.out, Found(c.firmware) + progress);
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
      expected.push_back(Checksummed(std::string(c.sent[i]) + (c.airfieldFlag && i == 0 ? ",1" : "")));
      letterInChecksum |= expected.back().find_first_of("ABCDEF", expected.back().size() - 2) != std::string::npos;
    }
    EXPECT_EQ(u.received, expected);
    // Nothing refused, nothing ignored: each line ended with CR LF and was accepted.
    EXPECT_EQ(u.log.find("REFUSED"), std::string::npos) << u.log;
    EXPECT_EQ(u.log.find("IGNORED"), std::string::npos) << u.log;
  }
  EXPECT_TRUE(letterInChecksum) << "no checksum with a hex letter: its case went unchecked";
}

TEST(WaypointsE2e, WrongAnswersAreCountedAndSilenceStopsTheUpload) {
  struct Case {
    const char* firmware;
    std::vector<std::string> faults;
    bool scroll;
    std::string tail;  // the output after the product line
    size_t sent;
  } cases[] = {
      // A NAK is type 4, a wrong echo type 5; the first one is reported, and
      // every waypoint is still sent.
      {"1.20", {"--wpt-nak=2", "--wpt-bad-echo=3"}, false,
       "Waypoints: 0\b1\b2\b3\b3, 2 errors, first error was type 4\n", 3},
      // Firmware 1.14 answers a refusal without the name: a wrong echo.
      {"1.14", {"--wpt-nak=1"}, true,
       "Waypoints: 0\nWaypoints: 1\nWaypoints: 2\nWaypoints: 3\n3, 1 errors, first error was type 5\n", 3},
      {"1.20", {"--wpt-bad-echo=1", "--wpt-silent=2"}, false, "Waypoints: 0\b1\b2\b2, timeout, 1 errors\n", 2},
      {"1.14", {"--wpt-silent=1"}, true, "Waypoints: 0\nWaypoints: 1\n1, timeout, 0 errors\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.firmware) + " " + c.faults[0]);
    Upload u = RunUpload(c.firmware, c.faults, kGeoFile, c.scroll);
    EXPECT_EQ(u.r.status, 255);
    EXPECT_EQ(u.r.out, Found(c.firmware) + c.tail);
    EXPECT_EQ(u.received.size(), c.sent) << u.log;
  }
}

}  // namespace
