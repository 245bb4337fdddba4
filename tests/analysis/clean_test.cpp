#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "analysis/analysis.h"
#include "common/time.h"
#include "track_oracle.h"

using oracle::At;
using oracle::Load;
using oracle::Loaded;
using Track = std::vector<TrackPoint>;

namespace {

SystemTime kDay{2013, 7, 21, 11, 42, 7};
const uint32_t t0 = ConvertSystemTimeToGpsTime(&kDay);

// Runs one step with `answers` on standard input and returns what it printed.
std::string Step(int (*step)(), int expected, const std::string& answers = "") {
  // One file per process: the tests run in parallel.
  std::string path = testing::TempDir() + "velmora_clean_stdin_" + std::to_string(getpid());
  std::ofstream(path, std::ios::binary) << answers;
  EXPECT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
  unlink(path.c_str());
  testing::internal::CaptureStdout();
  EXPECT_EQ(step(), expected) << answers.substr(0, 40);
  return testing::internal::GetCapturedStdout();
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `count` flights of three points 10 s apart, an hour between flights.
Track Flights(int count) {
  Track p;
  for (int k = 0; k < count; ++k)
    for (int i = 0; i < 3; ++i) p.push_back(At(t0 + k * 3600 + i * 10, k * 1000 + i * 50, 0));
  return p;
}

const char kPrompt[] = "Select (a=all,0=none): ";

class Clean : public testing::Test {
 protected:
  void SetUp() override { tGps.nTrackGap = 30 * 60, tGps.bNoAnalysis = 0; }
  void TearDown() override {
    std::free(tGps.pTrack);
    tGps.pTrack = nullptr;
    tGps.nTrackSize = tGps.nTrackPoints = 0;
  }
};

}  // namespace

TEST_F(Clean, InvalidTimeStamps) {
  Load({At(0, 0, 0), At(100, 0, 0), At(0x7FFFFFFF, 0, 0), At(101, 0, 0), At(0xFFFFFFFF, 0, 0)});
  EXPECT_EQ(Step(CheckForInvalidTimeStamps, 0), "3 positions with invalid timestamp have been removed\n");
  EXPECT_EQ(Loaded(), (Track{At(100, 0, 0), At(101, 0, 0)}));
  Load({At(0, 0, 0), At(0, 5, 0)});
  EXPECT_EQ(Step(CheckForInvalidTimeStamps, -1), "All positions have an invalid timestamp\n");
  EXPECT_EQ(tGps.nTrackPoints, 0);
}

TEST_F(Clean, Division) {
  Load({At(t0, 0, 0), At(t0 + 1799, 0, 0), At(t0 + 1799 + 1800, 0, 0)});  // 29:59 and 30:00
  EXPECT_EQ(Count(Step(CheckForMultipleTracks, 0, "a\n"), "\n"), 3);
  tGps.nTrackGap = -1;  // not set: only the instrument's segment starts divide
  Track p = {At(t0, 0, 0), At(t0 + 86400, 0, 0), At(t0 + 86401, 0, 0)};
  Load(p);
  EXPECT_EQ(Step(CheckForMultipleTracks, 0), "");
  p[2].dwFlags = kSegmentStart;
  Load(p);
  EXPECT_EQ(Count(Step(CheckForMultipleTracks, 0, "A"), kPrompt), 1);
  EXPECT_EQ(Loaded(), p);
  tGps.nTrackGap = 0;
  EXPECT_EQ(Step(CheckForMultipleTracks, 0), "");
  Load(Flights(150));  // at most 100 tracks: the hundredth runs to the end
  tGps.nTrackGap = 60;
  EXPECT_EQ(Count(Step(CheckForMultipleTracks, 0, "1\n"), "\n"), 101);
  EXPECT_EQ(tGps.nTrackPoints, 51 * 3);
}

TEST_F(Clean, ListAndSelection) {
  Track p = Flights(3);
  p[5].dwTime = t0 + 3600 - 5;  // the second flight's last point lies before its first
  Load(p);
  EXPECT_NE(Step(CheckForMultipleTracks, 0, "2,1\n").find("2   21-07-2013   12:42:07   0:00:10\n"), std::string::npos);
  EXPECT_EQ(Loaded(), Track(p.begin() + 3, p.end()));
  // An unreadable answer asks again; a long line is dropped whole; only the
  // first 256 characters count and a number still open there selects nothing.
  const std::pair<std::string, int> answers[] = {{"1,x\n3,3\n", 2},
                                                 {std::string(5000, 'x') + " 1\n3\n", 2},
                                                 {std::string(254, ',') + "3\n", 1},
                                                 {"3" + std::string(255, ',') + "x\n", 1}};
  for (const auto& [answer, prompts] : answers) {
    Load(Flights(3));
    EXPECT_EQ(Count(Step(CheckForMultipleTracks, 0, answer), kPrompt), prompts);
    EXPECT_EQ(Loaded(), Flights(1));
  }
  const std::string refusals[] = {"7\n", "0\n", "", "\n  \n", ",,\n", std::string(255, ',') + "1\n"};
  for (const std::string& refusal : refusals) {
    Load(Flights(5));
    std::string out = Step(CheckForMultipleTracks, -1, refusal);
    EXPECT_EQ(Count(out, kPrompt), 1);
    EXPECT_EQ(out.substr(out.size() - 18), "No track selected\n");
    EXPECT_EQ(tGps.nTrackPoints, 0);
  }
}

TEST_F(Clean, StepsBackDroppedOnRequestRepeatedTimesKept) {
  Track p = {At(100, 0, 0), At(101, 0, 0), At(99, 0, 0), At(101, 0, 0), At(100, 0, 0), At(102, 0, 0)};
  Load(p);
  Step(CheckForTimestampConsistency, 0, "No\n");
  EXPECT_EQ(Loaded(), (Track{p[0], p[1], p[3], p[5]}));  // a repeated time is no step back
}

TEST_F(Clean, SpeedAnalysisMatchesThePlainRules) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    Track p;
    double north = 0, east = 0, pace = 1 + rng() % 60;
    uint32_t t = 0xFFFFFF00u + rng() % 400;  // some cross the wrap of the time
    for (int i = 8 + static_cast<int>(rng() % 120); i > 0; --i) {
      t += rng() % 9 < 7 ? 1 : rng() % 4;  // mostly 1 s, some repeated or jumping times
      if (rng() % 20 == 0) t -= 3;         // and some running back
      north += (static_cast<int>(rng() % 21) - 10) * pace / 10;
      east += pace;
      TrackPoint q = At(t, north + (rng() % 15 ? 0 : rng() % 2 ? 1e6 : 300), east);  // spikes, far and near
      if (rng() % 97 == 0) q.nLatitude = -q.nLatitude, q.nLongitude += 0x80000000u;  // antipodal
      p.push_back(q);
    }
    Load(p);
    Step(CheckForSpeedConsistency, 0);
    ASSERT_EQ(Loaded(), oracle::SpeedConsistency(p)) << round;
  }
}
