// Track downloads from the XC Trainer / Top Navigator emulator on a real
// pseudo-terminal: the product line, the fixes as served (1/24000 degree),
// the 16-bit time counter past 18 hours, XON pauses, and every fault.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "harness.h"
#include "track_compare.h"

using e2e::RunVelmora;
using e2e::Sim;
using e2e::TempDir;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The instrument stores 1/24000 degree: a served fix u (1/60000 degree) is
// logged as v = round(u * 0.4), which is u' = v * 2.5 back in IGC units.
void ExpectServedFixes(const std::string& served, const std::string& written, size_t count) {
  std::vector<std::string> a = e2e::BRecords(served), b = e2e::BRecords(written);
  ASSERT_EQ(b.size(), count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(b[i].substr(1, 6) + b[i].substr(30, 5), a[i].substr(1, 6) + a[i].substr(30, 5)) << "fix " << i;
    for (bool lon : {false, true}) {
      double logged = std::round(e2e::Angle(a[i], lon) * 0.4) * 2.5;
      EXPECT_LE(std::fabs(e2e::Angle(b[i], lon) - logged), 0.5) << "fix " << i << "\n" << a[i] << "\n" << b[i];
    }
  }
}

TEST(XctrainerE2e, DownloadsTheLogAsSent) {
  TempDir dir;
  dir.Write("sw.igc", e2e::SouthWestFlight());
  // 06:00 until 05:00 the next day: the counter passes 65535 once.
  dir.Write("day.igc", "HFDTE010724\r\nB0600004600000N00700000EA0000001000\r\nB1200004600100N00700100EA0000001100\r\n"
                       "B1800004600200N00700200EA0000001200\r\nB2359004600300N00700300EA0000001300\r\n"
                       "B0500004600400N00700400EA0000001400\r\n");
  struct Case {
    std::vector<std::string> sim;
    std::string flight;
    std::string product;
  } cases[] = {
      {{}, e2e::OwnDataDir() + "/../../examples/marcourt.igc", "XC Trainer V1.2-03, S/N 4711"},
      {{"--top-navigator", "--firmware", "2105", "--serial", "65535", "--lowercase", "--first-record", "0"},
       dir.File("sw.igc"), "Top Navigator V2.105, S/N 65535"},
      {{"--xon-pause", "5:4"}, dir.File("sw.igc"), "XC Trainer V1.2-03, S/N 4711"},
      {{}, dir.File("day.igc"), "XC Trainer V1.2-03, S/N 4711"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"xctrainer", "--flight", c.flight};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Sim sim(args);
    auto r = RunVelmora({"-gx", "-c" + sim.device(), "-lf.igc"}, dir);
    SCOPED_TRACE(c.product + "\n" + r.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Product: " + c.product + "\nPoints:  0", 0), 0u);
    std::string served = e2e::ReadFile(c.flight);
    ExpectServedFixes(served, dir.Read("f.igc"), e2e::BRecords(served).size());
  }
}

TEST(XctrainerE2e, FaultsEndWithTheirMessageInTime) {
  struct Case {
    std::vector<std::string> sim;
    std::string message;  // "" : nothing at all is printed
    double seconds;       // the run ends within this
    size_t saved;         // fixes in the file written, 0 for none
  } cases[] = {
      {{"--silent"}, "", 10.0, 0},
      // A cut log keeps what came, yet is no success.
      {{"--cut-after", "50"}, "50\nLog incomplete: 50 of 401 positions received\n", 2.2, 50},
      {{"--garbage-at", "0"}, "Too short line\n", 0.5, 0},
      {{"--garbage-at", "30"}, " Bad checksum format\n", 0.5, 0},
      {{"--bad-checksum", "7"}, " Bad checksum\n", 0.5, 0},
      {{"--datum", "2"}, "Bad geodetic ID\n", 0.5, 0},
      {{"--first-record", "2"}, " Bad record number sequence\n", 0.5, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"xctrainer"};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Sim sim(args);
    TempDir dir;
    auto start = std::chrono::steady_clock::now();
    auto r = RunVelmora({"-gx", "-c" + sim.device(), "-lf.igc"}, dir);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SCOPED_TRACE(c.sim[0] + "\n" + r.out);
    EXPECT_EQ(r.status, 255);
    if (c.message.empty()) {
      EXPECT_EQ(r.out, "");
    } else {
      EXPECT_TRUE(Has(r.out, c.message));
    }
    EXPECT_LT(seconds, c.seconds + 1.5);
    EXPECT_EQ(dir.Exists("f.igc") ? e2e::BRecords(dir.Read("f.igc")).size() : 0u, c.saved);
  }
}

}  // namespace
