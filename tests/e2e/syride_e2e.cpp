// Syride downloads from emulated hidraw nodes: velmora runs inside the
// emulator (umockdev preload), finds the instrument among foreign HID
// devices, and turns the served records into IGC and KML files; every fault
// ends with its message and no file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "track_compare.h"

using e2e::RunOptions;
using e2e::RunVelmoraInSim;
using e2e::BRecords;
using e2e::TempDir;

namespace {

std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }

// The GNSS altitudes of the KML track, in order.
std::vector<std::string> KmlTrackAltitudes(const std::string& kml) {
  std::vector<std::string> altitudes;
  size_t track = kml.find("<name>Tracklog</name>");
  size_t from = kml.find("<coordinates>", track), to = kml.find("</coordinates>", from);
  if (track == std::string::npos || to == std::string::npos) return altitudes;
  std::istringstream in(kml.substr(from + 13, to - from - 13));
  std::string token;
  while (in >> token) altitudes.push_back(token.substr(token.rfind(',') + 1));
  return altitudes;
}

struct Logged {
  e2e::RunResult r;
  std::string log;
  double seconds;
};

Logged Download(const TempDir& dir, std::vector<std::string> sim, const std::vector<std::string>& velmora,
                const RunOptions& options = {}) {
  sim.insert(sim.begin(), "syride");
  sim.insert(sim.end(), {"--log", dir.File("sim.log")});
  auto start = std::chrono::steady_clock::now();
  Logged l{RunVelmoraInSim(sim, velmora, dir, options), "", 0};
  l.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  l.log = dir.Read("sim.log");
  // Whatever happened, the requests were well formed, no read strayed
  // outside the flights and no foreign device was written to.
  EXPECT_EQ(l.log.find("BAD REQUEST"), std::string::npos) << l.log;
  EXPECT_EQ(l.log.find("STRAY"), std::string::npos) << l.log;
  EXPECT_EQ(l.log.find("FOREIGN WRITE"), std::string::npos) << l.log;
  return l;
}

TEST(SyrideE2e, BothGenerationsDownloadTheServedRecords) {
  struct Case {
    std::vector<std::string> sim;
    std::string head;   // what velmora prints before "Got"
    bool pressure;
    std::string firstRead;  // the first memory request
    std::string search = "INFO hidraw0\nINFO hidraw1\nINFO hidraw2\nRX 1 ";
  } cases[] = {
      {{"--firmware", "1.21", "--serial", "4711"},
       "Syride V3: SW 1.21, SNR 4711\nTrack list:\n1   06.03.21   10:34:11   00:03:41\n", true, "read 0x0149C800 61"},
      {{"--firmware", "1.20", "--node", "12", "--foreign", "3", "--foreign", "4:046d:c52b"},
       "Syride V3: SW 1.20, SNR 12345\n", false, "read 0x0149C800 61", "INFO hidraw3\nINFO hidraw4\nINFO hidraw12\nRX 1 "},
      {{"--model", "earlier", "--firmware", "3.16", "--no-fix", "1"},
       "Syride: SW 3.16, SNR 12345\nTrack list:\n1   06.03.21   10:33:11   00:04:41\n", true, "read 0x00110003 1"},
      {{"--model", "earlier", "--firmware", "3.15", "--serial", "4294967295"}, "Syride: SW 3.15, SNR 4294967295\n",
       false, "read 0x00110003 1"},
  };
  std::vector<std::string> served = BRecords(e2e::ReadFile(Marcourt()));
  ASSERT_EQ(served.size(), 221u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    TempDir dir;
    std::vector<std::string> sim = {"--flight", Marcourt()};
    sim.insert(sim.end(), c.sim.begin(), c.sim.end());
    Logged l = Download(dir, sim, {"-gsy", "-f1", "-lf"});
    EXPECT_EQ(l.r.status, 0) << l.r.out;
    EXPECT_EQ(l.r.out.rfind(c.head, 0), 0u) << l.r.out;
    EXPECT_NE(l.r.out.find("\nGot 221 points\nFile f.igc written\n"), std::string::npos) << l.r.out;
    // The search asks every node in turn who it is, in number order.
    EXPECT_NE(l.log.find(c.search), std::string::npos) << l.log;
    EXPECT_NE(l.log.find("RX 1 version\nRX 2 serial\nRX 3 count\nRX 4 flight 0\nRX 5 " + c.firstRead + "\n"),
              std::string::npos)
        << l.log;
    std::vector<std::string> written = BRecords(dir.Read("f.igc"));
    ASSERT_EQ(written.size(), served.size());
    std::vector<std::string> kmlAltitudes = KmlTrackAltitudes(dir.Read("f.kml"));
    ASSERT_EQ(kmlAltitudes.size(), served.size());
    for (size_t i = 0; i < served.size(); ++i) {
      // Time, position and GNSS altitude as served; the barometric altitude
      // only from firmware that records it.
      EXPECT_EQ(written[i].substr(0, 25), served[i].substr(0, 25)) << i;
      EXPECT_EQ(written[i].substr(25, 5), c.pressure ? served[i].substr(25, 5) : "00000") << i;
      EXPECT_EQ(written[i].substr(30), served[i].substr(30)) << i;
      EXPECT_EQ(std::stoi(kmlAltitudes[i]), std::stoi(served[i].substr(30))) << i;
    }
  }
}

// South and west of Greenwich every stored value is negative. A flight
// within half a degree of 0/0 counts as recorded without a fix: nothing is
// stored.
TEST(SyrideE2e, NegativePositionsAndNoFix) {
  TempDir dir;
  std::string south, nearZero = "AXXX\r\nHFDTE010124\r\n";
  for (int i = 0; i < 130; ++i) {
    char b[64];
    std::snprintf(b, sizeof b, "B12%02d%02d00%05dS060%05dWA%05d%05d\r\n", i / 60, i % 60, 18000 + 7 * i, 3 * i,
                  480 - i % 9, 500 + i % 7);
    south += b;
    std::snprintf(b, sizeof b, "B12%02d%02d0018000N00012000EA0010000100\r\n", i / 60, i % 60);
    nearZero += b;
  }
  dir.Write("south.igc", "AXXX\r\nHFDTE010124\r\n" + south);
  dir.Write("zero.igc", nearZero);
  for (const char* model : {"v3", "earlier"}) {
    Logged l = Download(dir, {"--model", model, "--flight", dir.File("south.igc"), "--flight", dir.File("zero.igc")},
                        {"-gsy", "-f1", "-lf.igc"});
    EXPECT_EQ(l.r.status, 0) << l.r.out;
    EXPECT_EQ(BRecords(dir.Read("f.igc")), BRecords(south)) << model;
  }
  Logged l = Download(dir, {"--flight", dir.File("south.igc"), "--flight", dir.File("zero.igc")},
                      {"-gsy", "-f2", "-lg.igc"});
  EXPECT_EQ(l.r.status, 255);
  EXPECT_NE(l.r.out.find("\nGot 0 points\n"), std::string::npos) << l.r.out;
  EXPECT_FALSE(dir.Exists("g.igc"));
}

// Earlier models keep a long flight in a chain of 64 KiB blocks; the V3 in
// one piece. A flight of 5000 s spans two blocks.
TEST(SyrideE2e, LongFlightsAcrossBlocks) {
  for (const char* model : {"earlier", "v3"}) {
    SCOPED_TRACE(model);
    TempDir dir;
    Logged l = Download(dir, {"--model", model, "--duration", "5000"}, {"-gsy", "-f1", "-lf.igc"});
    EXPECT_EQ(l.r.status, 0) << l.r.out;
    EXPECT_NE(l.r.out.find("Got 5000 points\n"), std::string::npos) << l.r.out;
    std::vector<std::string> b = BRecords(dir.Read("f.igc"));
    ASSERT_EQ(b.size(), 5000u);
    // Bytes out of place across a block boundary would tear the track apart.
    for (size_t i = 1; i < b.size(); ++i) {
      long dLat = std::labs(std::stol(b[i].substr(9, 5)) - std::stol(b[i - 1].substr(9, 5)));
      long dLon = std::labs(std::stol(b[i].substr(18, 5)) - std::stol(b[i - 1].substr(18, 5)));
      ASSERT_TRUE((dLat < 20 || dLat > 59900) && (dLon < 20 || dLon > 59900)) << b[i - 1] << "\n" << b[i];
    }
  }
}

TEST(SyrideE2e, FlightChoice) {
  struct Case {
    std::vector<std::string> velmora;
    std::string stdinText, tail;
    int status;
  } cases[] = {
      {{"-f2"}, "", "Got 401 points\n", 0},
      {{}, "\n2\n", "Select: Got 401 points\n", 0},
      {{"-f0"}, "", "00:06:41\n", 255},
      {{"-f3"}, "", "Flight number out of range\n", 255},
      {{}, "", "Select: No flight number found\n", 255},
      {{}, "0\n", "Select: Flight number out of range\n", 255},
      {{}, "-1\n", "Select: ", 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stdinText + (c.velmora.empty() ? "" : c.velmora[0]));
    TempDir dir;
    RunOptions options;
    options.stdinText = c.stdinText;
    std::vector<std::string> args = {"-gsy", "-lf.igc"};
    args.insert(args.end(), c.velmora.begin(), c.velmora.end());
    Logged l = Download(dir, {"--flight", Marcourt(), "--duration", "401"}, args, options);
    EXPECT_EQ(l.r.status, c.status);
    EXPECT_NE(l.r.out.find("1   06.03.21   10:34:11   00:03:41\n2   02.07.24   09:00:00   00:06:41\n"),
              std::string::npos);
    size_t saved = l.r.out.find("\nFile f.igc written");
    std::string out = saved == std::string::npos ? l.r.out : l.r.out.substr(0, saved + 1);
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), c.tail.size())), c.tail) << l.r.out;
    EXPECT_EQ(dir.Exists("f.igc"), c.status == 0);
  }
}

TEST(SyrideE2e, FaultsEndWithTheirMessage) {
  struct Case {
    std::vector<std::string> sim;
    std::string message;  // "" for a download that recovers
    double maxSeconds;
  } cases[] = {
      {{"--bad-marker", "1:2", "--bad-checksum", "4:2", "--short-read", "8:2"}, "", 5},
      {{"--model", "earlier", "--bad-marker", "6:2", "--no-reply", "9"}, "", 5},
      {{"--bad-marker", "1:3"}, "Error getting product data (version)\n", 5},
      {{"--bad-checksum", "2:3"}, "Error getting product data (serial number)\n", 5},
      {{"--short-read", "3:3"}, "Error getting flight list (number of flights)\n", 5},
      {{"--bad-marker", "4:3"}, "Error getting flight data\n", 5},
      {{"--bad-checksum", "20:3"}, "Error reading track log data\n", 5},
      {{"--model", "earlier", "--short-read", "5"}, "Error reading track log data\n", 5},
      {{"--model", "earlier", "--duration", "5000", "--chain-ends-early"}, "Error reading track log data\n", 10},
      {{"--model", "earlier", "--duration", "5000", "--chain-loops"}, "Error reading track log data\n", 10},
      {{"--empty"}, "No flights available\n", 5},
      {{"--no-syride", "--foreign", "0", "--foreign", "10:0483:5752"}, "No Syride found\n", 5},
      // A silent instrument: three attempts of one second each.
      {{"--no-reply", "1:0"}, "Error getting product data (version)\n", 3 + 1.5},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& option : c.sim) trace += option + " ";
    SCOPED_TRACE(trace);
    TempDir dir;
    Logged l = Download(dir, c.sim, {"-gsy", "-f1", "-lf.igc"});
    EXPECT_EQ(l.r.status, c.message.empty() ? 0 : 255) << l.r.out;
    std::string tail = l.r.out.substr(l.r.out.size() - std::min(l.r.out.size(), c.message.size()));
    if (!c.message.empty()) {
      EXPECT_EQ(tail, c.message) << l.r.out;
    }
    EXPECT_EQ(dir.Exists("f.igc"), c.message.empty());
    EXPECT_LT(l.seconds, c.maxSeconds);
  }
}

}  // namespace
