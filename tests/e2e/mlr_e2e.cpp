// Track downloads from the MLR emulator on a real pseudo-terminal: the
// product variants with the firmware time correction, the speed of the line
// at every command, segments, and every fault with its message and status.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "harness.h"
#include "track_compare.h"

using e2e::RunVelmora;
using e2e::Sim;
using e2e::TempDir;

namespace {

std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The fixes as served: time, position and GNSS altitude are carried over
// exactly (the instrument logs no pressure altitude).
void ExpectSameFixes(const std::string& served, const std::string& written) {
  std::vector<std::string> a = e2e::BRecords(served), b = e2e::BRecords(written);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(b[i].substr(1, 23) + b[i].substr(30, 5), a[i].substr(1, 23) + a[i].substr(30, 5)) << "fix " << i;
  }
}

TEST(MlrE2e, ProductVariantsAndTheFixesAsServed) {
  TempDir dir;
  dir.Write("sw.igc", e2e::SouthWestFlight());
  struct Case {
    std::vector<std::string> sim;
    std::string product;
    std::string flight;
  } cases[] = {
      // Old SP24 firmware logs GPS time: 14 s ahead, which must come off.
      {{"--version", "2.71"}, "SP24  SW2.71", Marcourt()},
      {{"--version", "2.72"}, "SP24  SW2.72", Marcourt()},
      {{"--version", "9.9"}, "SP24  SW9.9", dir.File("sw.igc")},
      {{"--product", "  GPS  12 ", "--version", "1.00"}, "GPS 12  SW1.00", dir.File("sw.igc")},
      {{"--version", "2.50", "--fifth", "X"}, "SP24", Marcourt()},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"mlr", "--flight", c.flight};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Sim sim(args);
    auto r = RunVelmora({"-gm", "-c" + sim.device(), "-lf.igc"}, dir);
    SCOPED_TRACE(c.product + "\n" + r.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Product: " + c.product + "\nPoints: 0", 0), 0u);
    EXPECT_TRUE(Has(dir.Read("f.igc"), "AXVM " + c.product + "\r\n"));
    ExpectSameFixes(e2e::ReadFile(c.flight), dir.Read("f.igc"));
    // Commands at 4800 baud byte for byte, the log at 38400 with nothing lost.
    std::string log = sim.Finish();
    EXPECT_TRUE(Has(log, "RX $PMLR,26,01,01,0339 @4800\n")) << log;
    EXPECT_TRUE(Has(log, "RX $PMLR,24,02,0101,0399 @4800\nLINE 38400\nLOG ")) << log;
    EXPECT_TRUE(Has(log, "SEND END\nLINE 4800\nRX $PMLR,06,00,02A9 @4800\n")) << log;
    EXPECT_FALSE(Has(log, "LOST")) << log;
  }
}

TEST(MlrE2e, SegmentMarksDivideTheLog) {
  Sim sim({"mlr", "--segment-at", "150"});
  TempDir dir;
  e2e::RunOptions input;
  input.stdinText = "1\n";
  auto r = RunVelmora({"-gm", "-c" + sim.device(), "-lf.igc"}, dir, input);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "Multiple tracks detected:\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "Select (a=all,0=none): ")) << r.out;
  EXPECT_EQ(e2e::BRecords(dir.Read("f.igc")).size(), 401u - 149u);
}

TEST(MlrE2e, FaultsEndWithTheirMessageInTime) {
  struct Case {
    std::vector<std::string> sim;
    std::string message;
    int status;
    double seconds;  // the run ends within this
    bool abort;      // the abort command reaches the instrument at 4800 baud
  } cases[] = {
      {{"--silent"}, "Product: Timeout\n", 255, 3.0, false},
      {{"--bad-product"}, "Format error 14\n", 255, 1, false},
      {{"--silent-after", "3"}, " Transfer stopped\n", 255, 2.3, false},
      {{"--refuse-speed"}, " Transfer stopped\n", 255, 2.3, false},
      {{"--bad-checksum", "3"}, " Format error 2\n", 255, 1, true},
      {{"--cut", "4"}, " Format error ", 255, 1, true},
      {{"--skip", "5"}, " Bad sentence sequence\n", 255, 1, true},
      {{"--empty"}, "Points: 0\b0\n", 255, 1, true},
      {{"--noise"}, "File f.igc written\n", 0, 1, true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"mlr"};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Sim sim(args);
    TempDir dir;
    auto start = std::chrono::steady_clock::now();
    auto r = RunVelmora({"-gm", "-c" + sim.device(), "-lf.igc"}, dir);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    SCOPED_TRACE(c.sim[0] + "\n" + r.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(Has(r.out, c.message));
    EXPECT_LT(seconds, c.seconds + 1.5);
    EXPECT_EQ(dir.Exists("f.igc"), c.status == 0);
    std::string log = sim.Finish();
    EXPECT_EQ(Has(log, "RX $PMLR,06,00,02A9 @4800"), c.abort) << log;
  }
}

}  // namespace
