// Garmin transfers with the emulated receiver on a real pseudo-terminal:
// every track type into IGC, every waypoint type both ways, the product
// table of receivers without a capability list, and the faults. Runs that
// wait out a 4 s time-out go side by side in threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "track_compare.h"

using e2e::RunOptions;
using e2e::RunResult;
using e2e::Sim;
using e2e::BRecords;
using e2e::TempDir;

namespace {

std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }
std::string Expected(const std::string& name) { return e2e::ReadFile(e2e::OwnDataDir() + "/garmin/" + name); }

struct Transfer {
  RunResult run;
  std::string simLog;
  double seconds = 0;
};

// One run of velmora against a fresh emulator.
Transfer RunWithSim(const std::vector<std::string>& simArgs, std::vector<std::string> args, const TempDir& dir,
             const std::string& input = "") {
  std::vector<std::string> all = {"garmin"};
  all.insert(all.end(), simArgs.begin(), simArgs.end());
  Sim sim(all);
  args.insert(args.begin(), {"-gg", "-c" + sim.device()});
  RunOptions options;
  options.stdinText = input;
  auto start = std::chrono::steady_clock::now();
  Transfer t;
  t.run = e2e::RunVelmora(args, dir, options);
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.simLog = sim.Finish(5);
  return t;
}

// Runs the rows side by side (most of them wait out time-outs) and checks each.
template <typename Row, typename Check>
void RunRows(const std::vector<Row>& rows, Check check) {
  std::vector<std::thread> threads;
  for (const Row& row : rows) threads.emplace_back([&row, &check] { check(row); });
  for (std::thread& t : threads) t.join();
}

TEST(GarminE2e, EveryTrackTypeCarriesTheServedPointsAndTheirSegments) {
  struct Row {
    std::vector<std::string> sim;
    std::string product;
    bool altitude;
  };
  const std::vector<Row> rows = {
      {{"--trk-type", "300"}, "Trail GPS Software Version 3.50", false},
      {{"--trk-type", "301"}, "Trail GPS Software Version 3.50", true},
      {{"--trk-type", "302", "--ext", "more about it"}, "Trail GPS Software Version 3.50", true},
      {{"--trk-type", "303"}, "Trail GPS Software Version 3.50", true},
      {{"--trk-type", "304"}, "Trail GPS Software Version 3.50", true},
      // No capability list: product 77 from version 301 on speaks A300 and D300. A
      // line break in the description must not reach the terminal or the file.
      {{"--trk-type", "300", "--no-protocols", "--product", "77", "--version", "301", "--description", "GPS\r\n12"},
       "GPS  12",
       false},
  };
  std::vector<std::string> served = BRecords(e2e::ReadFile(Marcourt()));
  RunRows(rows, [&](const Row& row) {
    TempDir dir;
    // Point 150 starts a second track (a flag byte of 2, or a track header);
    // point 5 has no fix and point 7 no time: both are left out.
    std::vector<std::string> sim = {"--flight", Marcourt(), "--segment-at", "150", "--flag-byte", "2",
                                    "--no-fix-at", "5", "--bad-time-at", "7"};
    sim.insert(sim.end(), row.sim.begin(), row.sim.end());
    Transfer t = RunWithSim(sim, {"-lt.igc"}, dir, "a\n");
    SCOPED_TRACE(row.sim[1] + "\n" + t.run.out);
    EXPECT_EQ(t.run.status, 0);
    EXPECT_EQ(t.run.out.rfind("Product: " + row.product + "\nPoints: 0", 0), 0u);
    EXPECT_NE(t.run.out.find("1 positions with invalid timestamp have been removed\nMultiple tracks detected:\n1 "),
              std::string::npos);
    EXPECT_NE(t.run.out.find("\n2 "), std::string::npos);
    std::vector<std::string> written = BRecords(dir.Read("t.igc"));
    ASSERT_EQ(written.size(), served.size() - 2);
    for (size_t i = 0, k = 0; i < served.size(); ++i) {
      if (i == 4 || i == 6) continue;
      const std::string& w = written[k++];
      std::string altitude = row.altitude ? served[i].substr(30, 5) : "00000";
      ASSERT_EQ(w, served[i].substr(0, 25) + "00000" + altitude) << "point " << i + 1;
    }
    EXPECT_EQ(t.simLog.find("ABORT"), std::string::npos);
  });
}

// The waypoint memory of the emulator in every waypoint type: the KML files
// are compared byte for byte with expected files by the kind of type.
TEST(GarminE2e, EveryWaypointTypeDownloads) {
  struct Row {
    std::vector<std::string> sim;
    const char* expected;
  };
  std::vector<Row> rows;
  for (const char* type : {"100", "101", "102", "103", "104", "107"}) rows.push_back({{"--wpt-type", type}, "wpt-fixed.kml"});
  for (const char* type : {"150", "151", "152", "154", "155"}) rows.push_back({{"--wpt-type", type}, "wpt-short.kml"});
  for (const char* type : {"108", "109", "110"}) rows.push_back({{"--wpt-type", type}, "wpt-float.kml"});
  // No capability list: product 77 up to version 300 speaks D100.
  rows.push_back({{"--wpt-type", "100", "--no-protocols", "--product", "77", "--version", "300"}, "wpt-fixed.kml"});
  RunRows(rows, [](const Row& row) {
    TempDir dir;
    Transfer t = RunWithSim(row.sim, {"-wwpt"}, dir);
    SCOPED_TRACE(row.sim[1] + "\n" + t.run.out);
    EXPECT_EQ(t.run.status, 0);
    EXPECT_NE(t.run.out.find("Waypoints: 0\b4\nFile wpt.wpt written\n"), std::string::npos);
    EXPECT_EQ(dir.Read("wpt.kml"), Expected(row.expected));
    // The comma in the fourth comment must not add a field to its Ozi line.
    std::string ozi = dir.Read("wpt.wpt");
    EXPECT_EQ(std::count(ozi.begin(), ozi.end(), ','), 4 * 14);
    if (row.sim[1] == "110") {
      // A receiver time of all ones is no time: the download's stands there.
      std::string gpx = dir.Read("wpt.gpx");
      EXPECT_NE(gpx.find("<time>2024-06-15T10:30:00</time>"), std::string::npos);
      size_t second = gpx.find("<time>", gpx.find("<wpt", gpx.find("<wpt") + 1));
      EXPECT_EQ(gpx.substr(second + 6, 4), gpx.substr(gpx.find("<time>") + 6, 4)) << gpx;
    }
  });
}

// An upload in every type, read back by the emulator's own decoder; two
// types also frame by frame.
TEST(GarminE2e, EveryWaypointTypeUploads) {
  // Twelve waypoints: an airfield with a lower-case name, one below sea
  // level, and ten more.
  std::string geo = "$FormatGEO\r\nlz-5 S 33 51 54.00 E 151 12 33.84 -5 Bondi_beach [A]\r\n"
                    "ACORNS N 46 30 00.00 E 007 15 00.00 1000 Acorns landing\r\n";
  for (char c = '0'; c <= '9'; ++c) geo.append("P").append(1, c).append(" N 46 00 00.00 E 007 00 00.00 500\r\n");
  struct Row {
    const char* type;
    int kind;  // 0 fixed fields without altitude, 1 fixed with 16-bit altitude, 2 strings with float altitude
    const char* symbols;  // what the receiver reads as symbol of the first two
  };
  const std::vector<Row> rows = {
      {"100", 0, "0 0"},         {"101", 0, "18 18"},       {"102", 0, "16384 18"}, {"103", 0, "0 0"},
      {"104", 0, "16384 18"},    {"107", 0, "0 0"},         {"108", 2, "16384 18"}, {"109", 2, "16384 18"},
      {"110", 2, "16384 18"},    {"150", 1, "0 0"},         {"151", 1, "0 0"},      {"152", 1, "0 0"},
      {"154", 1, "16384 18"},    {"155", 1, "16384 18"},
  };
  RunRows(rows, [&](const Row& row) {
    TempDir dir;
    dir.Write("up.geo", geo);
    Transfer t = RunWithSim({"--wpt-type", row.type}, {"-rup.geo", "--scroll"}, dir);
    SCOPED_TRACE(std::string(row.type) + "\n" + t.run.out + t.simLog);
    EXPECT_EQ(t.run.status, 0);
    EXPECT_NE(t.run.out.find("Waypoints: 0\nWaypoints: 1\nWaypoints: 6\nWaypoints: 11\nWaypoints: 12\n"),
              std::string::npos);
    std::string ids[2] = {"LZ-5", "ACORNS"}, comments[2] = {"BONDI-BEACH", "ACORNS LANDING"};
    if (row.kind < 2) {
      ids[0] += "  ";
      comments[0].resize(40, ' ');
      comments[1].resize(40, ' ');
    }
    const char* altitudes[2][3] = {{"0", "0", "0"}, {"0", "1000", "1000"}};
    std::istringstream symbols(row.symbols);
    for (int i = 0; i < 2; ++i) {
      std::string symbol;
      symbols >> symbol;
      std::string position = i == 0 ? " -404025187 1803998411 " : " 554766609 86495869 ";
      std::string stored = "STORED " + ids[i] + "|" + comments[i] + position + altitudes[i][row.kind] + " " + symbol;
      EXPECT_NE(t.simLog.find(stored), std::string::npos) << stored;
    }
    EXPECT_NE(t.simLog.find("UPLOAD 12 of 12"), std::string::npos);
  });
}

std::string Repeat(const char* byte, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += byte;
  return text;
}

// The frames as the receiver unstuffed them (the latitude holds a 0x10),
// and its acknowledgements.
TEST(GarminE2e, UploadFramesByteForByte) {
  TempDir dir;
  dir.Write("up.geo", "$FormatGEO\r\nabc S 33 51 54.00 E 151 12 33.84 300 x\r\n");
  const std::string position = " 9D 10 EB E7 CB D4 86 6B";
  Transfer d100 = RunWithSim({"--wpt-type", "100", "--log-acks"}, {"-rup.geo"}, dir);
  EXPECT_NE(d100.simLog.find("RX 27 2 01 00\nTX 6 2 1B 00\nRX 35 58 41 42 43 20 20 20" + position +
                             " 00 00 00 00 58" + Repeat(" 20", 39) + "\nTX 6 2 23 00\n"),
            std::string::npos)
      << d100.simLog;
  EXPECT_NE(d100.simLog.find("RX 12 2 07 00\nTX 6 2 0C 00\n"), std::string::npos);
  Transfer d109 = RunWithSim({"--wpt-type", "109"}, {"-rup.geo"}, dir);
  EXPECT_NE(d109.simLog.find("RX 35 58 01 00 1F 70 12 00" + Repeat(" 00", 18) + position + " 00 00 96 43" +
                             Repeat(" 00", 16) + " 41 42 43 00 58 00\n"),
            std::string::npos)
      << d109.simLog;
}

TEST(GarminE2e, FaultsEndWithTheirMessage) {
  struct Row {
    std::vector<std::string> sim;
    std::string command;  // -l, -w or -r
    std::string message;
    int status;
    const char* simLog;  // what the receiver must have seen, "" for nothing
  };
  const std::vector<Row> rows = {
      {{"--nak", "2"}, "-l", "Track log request: Bad response packet (21)\n", 255, "ABORT"},
      {{"--nak", "1"}, "-l", "Bad product data request response\n", 255, "ABORT"},
      {{"--bad-checksum", "4"}, "-l", "File t.igc written\n", 0, "RESEND 99"},
      {{"--silent-after", "30"}, "-l", "\b\b25 Response timeout\n", 255, "ABORT"},
      {{"--cut-frame", "5"}, "-l", "Points: 0 Response timeout\n", 255, "CUT"},
      {{"--garbage-after", "5"}, "-l", "Points: 0 Response timeout\n", 255, "GARBAGE"},
      {{"--short-record", "3"}, "-l", "Points: 0 Bad packet length\n", 255, "ABORT"},
      {{"--records-off", "1"}, "-l", " Bad data\n", 255, "ABORT"},
      {{"--records-off", "-1"}, "-l", "Transfer complete: Bad response packet (34)\n", 255, "ABORT"},
      {{"--silent-after", "0"}, "-l", "Product data request response timeout\n", 255, ""},
      {{"--no-protocols", "--product", "15"}, "-l", "Points: 0 Unsupported track protocol (0)\n", 255, "ABORT"},
      {{"--no-protocols", "--product", "130"}, "-w", "GPS model not supported\n", 255, ""},
      {{"--short-record", "2", "--wpt-type", "103"}, "-w", "Waypoints: 0 Bad packet length\n", 255, "ABORT"},
      {{"--nak", "2"}, "-rup.geo", "Wpt. upload: Bad record count response packet (21)\n", 255, "ABORT"},
      {{"--nak", "3"}, "-rup.geo", "Waypoints: 0 Wpt. upload: Bad data response packet (21)\n", 255, "ABORT"},
  };
  RunRows(rows, [](const Row& row) {
    TempDir dir;
    dir.Write("up.geo", "$FormatGEO\r\nA N 46 00 00.00 E 007 00 00.00 500\r\n");
    std::string command = row.command == "-l" ? "-lt.igc" : row.command == "-w" ? "-wwpt" : row.command;
    Transfer t = RunWithSim(row.sim, {command}, dir);
    SCOPED_TRACE(row.sim[0] + "\n" + t.run.out + t.simLog);
    EXPECT_EQ(t.run.status, row.status);
    EXPECT_NE(t.run.out.find(row.message), std::string::npos);
    EXPECT_NE(t.simLog.find(row.simLog), std::string::npos);
    if (row.status != 0) {
      EXPECT_EQ(dir.List(), std::vector<std::string>{"up.geo"});
    }
    // Fifteen runs at once are too busy for an exact clock (the test below
    // pins the time-out); none may wait twice.
    EXPECT_LT(t.seconds, 2 * 4.0);
  });
}

// Every wait for the receiver is 4 s, before the first answer and between
// packets of a transfer alike.
TEST(GarminE2e, ASilentReceiverEndsTheTransferAfterFourSeconds) {
  for (const char* after : {"0", "2"}) {
    TempDir dir;
    Transfer t = RunWithSim({"--silent-after", after}, {"-lt.igc"}, dir);
    SCOPED_TRACE(t.run.out + t.simLog);
    EXPECT_EQ(t.run.status, 255);
    EXPECT_GE(t.seconds, 4.0);
    EXPECT_LT(t.seconds, 4.0 + 1.0);
  }
}

TEST(GarminE2e, DebugDumpsEveryPacketInHex) {
  TempDir dir;
  Transfer t = RunWithSim({"--trk-type", "300", "--points", "3"}, {"-lt.igc", "--debug"}, dir);
  EXPECT_EQ(t.run.status, 0) << t.run.out;
  EXPECT_EQ(t.run.out.rfind("06 02 FE 00\n"
                            "FF 24 82 00 5E 01 54 72 61 69 6C 20 47 50 53 20 53 6F\n"
                            "      66 74 77 61 72 65 20 56 65 72 73 69 6F 6E 20 33\n"
                            "      2E 35 30 00\n",
                            0),
            0u)
      << t.run.out;
  EXPECT_NE(t.run.out.find("\n0C 02 06 00\n"), std::string::npos);
  EXPECT_EQ(t.run.out.find("Points:"), std::string::npos);
}

}  // namespace
