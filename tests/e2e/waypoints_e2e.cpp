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
#include <cctype>
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

// The waypoint memory served, as the emulator reads it (lat lon alt airfield
// name): names too long, with doubled blanks, lower case and XML
// characters, below sea level, and enough to outgrow the first array of 100.
std::string Memory() {
  std::string text =
      "45.8139 6.2464 1250 0 Forclaz launch\n45.7797 6.2208 450 1 Doussard LZ\n"
      "-33.5 -70.25 800 1 cerro Manquehue launch site\n31.5 35.5 -415 0 Dead  Sea   LZ\n"
      "19.1889 -100.1294 2300 0 El Penon\n-12.0 0.5 5 0 Sandy<&>\"bay\"\n";
  for (int k = 0; k < 100; ++k) {
    char line[128];
    std::snprintf(line, sizeof line, "%.6f %.6f %d %d Pt%03d north\n", 40 + k * 0.01, -(3 + k * 0.013), k * 7 - 20,
                  k % 3 == 0, k);
    text += line;
  }
  return text;
}

// The instrument's waypoints carry no time: the files stamp them with the
// download time, which reads TIME (GPX) and DATE (Ozi days) here.
std::string NoTimes(const std::string& text) {
  // '9' stands for a digit (std::regex trips a false warning of the
  // sanitizer build's compiler).
  auto shaped = [&](size_t at, const char* shape) {
    for (size_t k = 0; shape[k] != '\0'; ++k) {
      char c = at + k < text.size() ? text[at + k] : '\0';
      if (shape[k] == '9' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[k]) return false;
    }
    return true;
  };
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (shaped(i, "9999-99-99T99:99:99")) {
      out += "TIME";
      i += 19 + (i + 19 < text.size() && text[i + 19] == 'Z');
    } else if (shaped(i, ".999999,") && (i + 8 >= text.size() || std::isdigit(static_cast<unsigned char>(text[i + 8])))) {
      // An Ozi latitude or longitude, then the day number of the date field.
      size_t end = text.find(",0,", i + 8);
      size_t comma = text.find(',', i + 8);
      if (end != std::string::npos && end == comma && text.find('.', i + 8) < end) {
        out += text.substr(i, 8) + "DATE";
        i = end;
      } else {
        out += text[i++];
      }
    } else {
      out += text[i++];
    }
  }
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
  TempDir input;
  input.Write("memory.txt", Memory());
  TempDir dir;
  std::string kmlOfAll;
  {
    // Firmware 1.2 sends the airfield flag as an eighth field.
    Sim sim({"flymaster", "--firmware", "1.2", "--waypoints", input.File("memory.txt")});
    RunResult r = RunVelmora({"-gy", "-c" + sim.device(), "-wsites"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    std::string log = sim.Finish();
    EXPECT_NE(log.find("RX $PFMWPL,*3c\n"), std::string::npos) << log;

    std::string all = e2e::Stable(r.out, dir);
    for (const std::string& file : dir.List()) all += "== " + file + "\n" + NoTimes(e2e::Stable(dir.Read(file), dir));
    EXPECT_EQ(all, e2e::Expected("waypoints/download", all));
    kmlOfAll = dir.Read("sites.kml");
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
    EXPECT_EQ(e2e::Stable(r.out, one), e2e::Expected("waypoints/download-kml-scroll", e2e::Stable(r.out, one)));
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


// An instrument for lists the emulator never sends (decimal altitudes,
// broken fields).
e2e::FakeInstrument::Answer Scripted(std::vector<std::string> list) {
  return [list](const std::string& received, std::string* reply, bool*) {
    if (received.find("$PBRSNP,*21\r\n") != std::string::npos) {
      *reply = e2e::Sentence("PBRSNP,Scripted,0,777,2.0");
    } else if (received.find("$PFMWPL,*3c\r\n") != std::string::npos) {
      for (const std::string& body : list) *reply += e2e::Sentence(body);
    } else {
      return false;
    }
    return true;
  };
}

TEST(WaypointsE2e, DownloadedAltitudesRoundHalvesUpwardAndTheDateLineIsOneMeridian) {
  e2e::FakeInstrument instrument(Scripted({
      "PFMWPL,46.5,N,7.25,E,1234.5,Up",
      "PFMWPL,46.5,N,7.25,E,-12.5,Half",
      "PFMWPL,46.5,N,7.25,E,-12.6,Deeper",
      "PFMWPL,46.5,N,7.25,E,-0.4,Shore",
      "PFMWPL,-16.8,S,180.0,E,99.49,East,1",
      "PFMWPL,-16.8,S,180.0,W,10,West,0",
  }));
  TempDir dir;
  RunResult r = RunVelmora({"-gy", "-c" + instrument.device(), "-wsites.gpx"}, dir);
  ASSERT_EQ(r.status, 0) << r.out;
  // Altitudes 1235, -12, -13, 0, 99 and 10 m; both date-line points at -180.
  std::string gpx = NoTimes(e2e::Stable(dir.Read("sites.gpx"), dir));
  EXPECT_EQ(gpx, e2e::Expected("waypoints/rounded.gpx", gpx));
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
    e2e::FakeInstrument instrument(Scripted({"PFMWPL,46.5,N,7.25,E,100,Good", c.body}));
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
const char* const kGeoFile =
    "$FormatGEO\n"
    "ACORNS N 46 25 36.48 E 006 54 19.80 1000 Acorns landing [A]\n"
    "sommet N 45 55 00.00 W 000 30 00.00 -50 Col-de-la-Forclaz sommet\n"
    "PLAIN S 12 00 00.00 E 012 00 00.00 250.5\n";
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

// Each upload: what the program printed and the sentences the instrument
// received, against tests/data/expected/waypoints/uploads. The positions
// are whole thousandths of a minute, so the sentences are known by hand.
TEST(WaypointsE2e, UploadsAsEachFirmwareExpectsWithEveryAnswerFault) {
  struct Case {
    const char* firmware;
    const char* file;
    std::vector<std::string> faults;
    bool scroll;
  } cases[] = {
      {"1.14", kOziFile, {}, false},
      {"1.14", kGeoFile, {}, false},
      {"1.2", kGeoFile, {}, false},   // "1.2" is not below "1.19": airfield flags
      {"1.100", kGeoFile, {}, true},  // "1.100" is
      // A NAK is type 4, a wrong echo type 5; the first is reported, every
      // waypoint still sent. Firmware 1.14 answers a refusal without the name.
      {"1.20", kGeoFile, {"--wpt-nak=2", "--wpt-bad-echo=3"}, false},
      {"1.14", kGeoFile, {"--wpt-nak=1"}, true},
      {"1.20", kGeoFile, {"--wpt-bad-echo=1", "--wpt-silent=2"}, false},
      {"1.14", kGeoFile, {"--wpt-silent=1"}, true},
  };
  std::string all;
  for (const Case& c : cases) {
    Upload u = RunUpload(c.firmware, c.faults, c.file, c.scroll);
    all += std::string("== ") + c.firmware + (c.file == kOziFile ? " ozi" : " geo");
    for (const std::string& f : c.faults) (all += ' ') += f;
    ((((all += "\nstatus ") += std::to_string(u.r.status)) += '\n') += u.r.out);
    for (const std::string& line : u.received) ((all += "sent ") += line) += '\n';
    // Every line ended with CR LF and was taken.
    if (u.log.find("REFUSED") != std::string::npos || u.log.find("IGNORED") != std::string::npos) all += u.log;
  }
  EXPECT_EQ(all, e2e::Expected("waypoints/uploads", all));
}

}  // namespace
