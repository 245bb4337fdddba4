// Track downloads from the Flymaster emulator on a real pseudo-terminal:
// selection, the IGC file against the points served, naming, and every
// injected fault with its message and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <sstream>
#include <string>
#include <vector>

#include "harness.h"
#include "track_compare.h"

using e2e::RunOptions;
using e2e::RunVelmora;
using e2e::Sim;
using e2e::TempDir;

namespace {

std::string Marcourt() { return e2e::TestDataDir() + "/igc/marcourt.igc"; }

TEST(FlymasterE2e, DownloadCarriesEveryServedPointIntoASignedIgc) {
  // The written B records carry the served time, position and GNSS altitude
  // unchanged; the pressure altitude goes through the hectopascals.
  Sim sim({"flymaster", "--flight", Marcourt(), "--model", "GpsTrio", "--serial", "4711", "--firmware", "2.03"});
  TempDir dir;
  dir.Write("velmora.cfg", "IGC_PILOT_NAME: \"Anna Berg\"\nIGC_GLIDER_TYPE: Sigma\n");
  auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lflight.igc", "-f1"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  std::string all = e2e::Stable(r.out, dir) + "== flight.igc\n" + e2e::Stable(dir.Read("flight.igc"), dir);
  EXPECT_EQ(all, e2e::Expected("flymaster/download", all));
  EXPECT_EQ(sim.Finish().find("CANCEL"), std::string::npos);
}

// Real flights north-east, south-west and south-east, across midnight UTC up
// to 4400 m, a jumpy log stepping back in time, and one below sea level:
// every B record comes back with its time, position and GNSS altitude
// unchanged, its pressure altitude (through the instrument's tenths of a
// hectopascal) within a metre.
TEST(FlymasterE2e, RealFlightsComeBackPointForPoint) {
  TempDir dir;
  dir.Write("low.igc",
            "AXXX low\r\nHFDTEDATE:010324,01\r\n"
            "B1200004530000N00600000EA-0012-0020\r\n"
            "B1200014530001N00600001EA-0430-0400\r\n"
            "B12000x4530002N00600002EA0000500003\r\n"  // unreadable: not served
            "B1200024530002N00600002EV-0005-0003\r\n"  // a fix without GPS: still logged
            "B1200034529999S00600003WA0000000000\r\n");
  std::vector<std::string> sources = {dir.File("low.igc")};
  for (const char* f : {"tri.igc", "freeflight-xcontest-66.46.igc", "2016-11-08-xcs-aaa-02.igc"}) {
    sources.push_back(e2e::TestDataDir() + "/igc/" + f);
  }
  for (const std::string& source : sources) {
    SCOPED_TRACE(source);
    std::vector<std::string> served;
    for (const std::string& b : e2e::BRecords(e2e::ReadFile(source))) {
      int v[10];
      char c[3];
      if (std::sscanf(b.c_str(), "B%2d%2d%2d%2d%5d%c%3d%5d%c%c%5d%5d", &v[0], &v[1], &v[2], &v[3], &v[4], &c[0], &v[5],
                      &v[6], &c[1], &c[2], &v[7], &v[8]) == 12) {
        served.push_back(b);
      }
    }
    Sim sim({"flymaster", "--flight", source});
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lf.igc", "-f1", "--noana"}, dir);
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<std::string> written = e2e::BRecords(dir.Read("f.igc"));
    ASSERT_EQ(written.size(), served.size());
    for (size_t k = 0; k < served.size(); ++k) {
      const std::string &w = written[k], &s = served[k];
      ASSERT_EQ(w.substr(1, 23), s.substr(1, 23)) << k;
      ASSERT_EQ(std::stoi(w.substr(30, 5)), std::stoi(s.substr(30, 5))) << k;
      int pressure = std::stoi(s.substr(25, 5));
      ASSERT_LE(std::abs(std::stoi(w.substr(25, 5)) - pressure), 1) << k << " " << s;
    }
  }
}

TEST(FlymasterE2e, FlightSelection) {
  TempDir dir;
  {
    // Two flights listed; the answer on standard input picks the second.
    Sim sim({"flymaster", "--flight", Marcourt(), "--flight", e2e::TestDataDir() + "/igc/20241007TZN.igc"});
    RunOptions input;
    input.stdinText = "\n2\n";
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lpicked.igc"}, dir, input);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(" 1   06.03.21   "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n 2   07.10.24   "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Select: "), std::string::npos);
    EXPECT_EQ(e2e::BRecords(dir.Read("picked.igc")).size(), 199u);
  }
  struct Case {
    std::vector<std::string> extra;
    std::string stdinText;
    std::string message;
  } refusals[] = {
      {{"-f0"}, "", "Flight number out of range\n"},
      {{"-f2"}, "", "Flight number out of range\n"},
      {{}, "", "Select: No flight number found\n"},
      {{}, "seven\n", "Select: No flight number found\n"},
      {{}, "7\n", "Select: Flight number out of range\n"},
  };
  for (const Case& c : refusals) {
    Sim sim({"flymaster"});
    std::vector<std::string> args = {"-gy", "-c" + sim.device(), "-lnone.igc"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunOptions input;
    input.stdinText = c.stdinText;
    auto r = RunVelmora(args, dir, input);
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_FALSE(dir.Exists("none.igc"));
  }
}

TEST(FlymasterE2e, FileNaming) {
  TempDir dir;
  {
    Sim sim({"flymaster"});
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-l.igc", "-f1"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(dir.Exists("2024-06-15_10-30.igc")) << r.out;
  }
  {
    Sim sim({"flymaster"});
    ASSERT_EQ(mkdir(dir.File("out").c_str(), 0755), 0);
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-l" + dir.File("out") + "/", "-f1"}, dir);
    EXPECT_NE(r.out.find("File " + dir.File("out") + "/2024-06-15_10-30.igc written"), std::string::npos) << r.out;
  }
}

TEST(FlymasterE2e, InjectedFaults) {
  struct Case {
    std::vector<std::string> sim;
    std::string message;
    int status;
    std::string simLog;  // what the instrument must have seen
  } cases[] = {
      {{"--bad-checksum", "3"}, "File f.igc written", 0, "NAK"},
      {{"--silent-after", "2"}, " Timeout\n", 255, "CANCEL"},
      {{"--bad-length"}, " Bad key track position block length\n", 255, "CANCEL"},
      {{"--bad-length=change"}, " Bad track position block length\n", 255, "CANCEL"},
      {{"--bad-length=info"}, " Bad flight info block length\n", 255, "CANCEL"},
      {{"--no-info"}, " Missing flight info block\n", 255, "CANCEL"},
      {{"--empty-list"}, "Track list:\nNo tracks found\n", 255, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"flymaster"};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Sim sim(args);
    TempDir dir;
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lf.igc", "-f1"}, dir);
    EXPECT_EQ(r.status, c.status) << c.sim[0] << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.sim[0] << "\n" << r.out;
    EXPECT_EQ(dir.Exists("f.igc"), c.status == 0) << c.sim[0];
    std::string log = sim.Finish();
    if (!c.simLog.empty()) {
      EXPECT_NE(log.find(c.simLog), std::string::npos) << c.sim[0] << "\n" << log;
    }
  }
}

// An instrument gone wrong: it answers the identification and the list as it
// should (or not at all), then floods the line with noise, or sends a block
// whose checksum is always wrong.
enum Fault { kNoiseAlways, kNoiseAfterList, kBadChecksumForever };

e2e::FakeInstrument::Answer Broken(Fault fault, std::atomic<int>* resends) {
  return [=](const std::string& received, std::string* reply, bool* flood) {
    // A flight info block whose checksum should be 0x3F.
    const std::string badBlock = std::string("\xA0\xA0\x3F", 3) + std::string(63, '\x01') + std::string(1, '\0');
    if (received.find("$PBRSNP,*21\r\n") != std::string::npos) {
      *flood = fault == kNoiseAlways;
      if (!*flood) *reply = e2e::Sentence("PBRSNP,Broken,0,1,2.0");
    } else if (received.find("$PFMDNL,LST,*72\r\n") != std::string::npos) {
      *reply = e2e::Sentence("PFMLST,1,0,15.06.24,10:30:00,00:01:00");
    } else if (received.find("$PFMDNL,240615103000,") != std::string::npos) {
      *flood = fault == kNoiseAfterList;
      if (fault == kBadChecksumForever) *reply = badBlock;
    } else if (fault == kBadChecksumForever && received.find('\xB2') != std::string::npos) {
      ++*resends;
      *reply = badBlock;
    } else {
      return false;
    }
    return true;
  };
}

TEST(FlymasterE2e, ALineThatNeverStopsTalkingNoiseStillEnds) {
  struct Case {
    Fault fault;
    std::string message;
  } cases[] = {
      {kNoiseAlways, "Product: Timeout\n"},
      {kNoiseAfterList, " Timeout\n"},
      {kBadChecksumForever, " Too many checksum errors\n"},
  };
  for (const Case& c : cases) {
    std::atomic<int> resends{0};
    e2e::FakeInstrument instrument(Broken(c.fault, &resends));
    TempDir dir;
    RunOptions options;
    options.timeoutSeconds = 20;
    auto start = std::chrono::steady_clock::now();
    auto r = RunVelmora({"-gy", "-c" + instrument.device(), "-lf.igc", "-f1"}, dir, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_LT(seconds, 10) << r.out;
    EXPECT_FALSE(dir.Exists("f.igc"));
    EXPECT_EQ(resends, c.fault == kBadChecksumForever ? 16 : 0);
  }
}

// An instrument that lists a flight and then says nothing: the download
// ends with " Timeout" two seconds after the request, not later.
TEST(FlymasterE2e, ASilentInstrumentEndsTheDownloadAfterTwoSeconds) {
  auto now = [] { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
  std::atomic<double> asked{0};
  e2e::FakeInstrument instrument([&](const std::string& received, std::string* reply, bool*) {
    if (received.find("$PBRSNP,*21\r\n") != std::string::npos) {
      *reply = e2e::Sentence("PBRSNP,Silent,0,1,2.0");
    } else if (received.find("$PFMDNL,LST,*72\r\n") != std::string::npos) {
      *reply = e2e::Sentence("PFMLST,1,0,15.06.24,10:30:00,00:01:00");
    } else if (received.find("$PFMDNL,240615103000,") != std::string::npos) {
      asked = now();
    } else {
      return false;
    }
    return true;
  });
  TempDir dir;
  auto r = RunVelmora({"-gy", "-c" + instrument.device(), "-lf.igc", "-f1"}, dir);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find(" Timeout\n"), std::string::npos) << r.out;
  EXPECT_LT(now() - asked, 2.0 + 1.5);
}

TEST(FlymasterE2e, PortThatCannotBeOpened) {
  TempDir dir;
  auto r = RunVelmora({"-gy", "-c/dev/velmora-no-such-port", "-l"}, dir);
  EXPECT_EQ(r.out, "Could not open COM port /dev/velmora-no-such-port\n");
  EXPECT_EQ(r.status, 255);
}

}  // namespace
