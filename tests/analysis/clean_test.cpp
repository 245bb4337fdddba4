#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "analysis/analysis.h"
#include "common/time.h"
#include "track_oracle.h"

using oracle::At;

namespace {

uint32_t Gps(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s) {
  SystemTime st{y, mo, d, h, mi, s};
  return ConvertSystemTimeToGpsTime(&st);
}

// Standard input for the prompts: the given text, then end of input.
void Answer(const std::string& text) {
  std::string path = testing::TempDir() + "velmora_clean_stdin";
  std::ofstream(path, std::ios::binary) << text;
  ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
}

struct Outcome {
  int result;
  std::string out;
};

Outcome Step(int (*step)(), const std::string& stdinText = "") {
  Answer(stdinText);
  testing::internal::CaptureStdout();
  int result = step();
  return {result, testing::internal::GetCapturedStdout()};
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `tracks` flights of 3 points each, 10 s apart, one hour between flights.
std::vector<TrackPoint> Flights(int tracks, uint32_t t0) {
  std::vector<TrackPoint> p;
  for (int k = 0; k < tracks; ++k)
    for (int i = 0; i < 3; ++i) p.push_back(At(t0 + k * 3600 + i * 10, k * 1000 + i * 50, 0));
  return p;
}

class Clean : public testing::Test {
 protected:
  void SetUp() override {
    tGps.nTrackGap = 30 * 60;
    tGps.bNoAnalysis = 0;
  }
  void TearDown() override { oracle::Load({}); }
};

}  // namespace

TEST_F(Clean, InvalidTimeStampsAreRemoved) {
  oracle::Load({At(0, 0, 0), At(100, 0, 0), At(0x7FFFFFFF, 0, 0), At(101, 0, 0), At(0xFFFFFFFF, 0, 0)});
  Outcome o = Step(CheckForInvalidTimeStamps);
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.out, "3 positions with invalid timestamp have been removed\n");
  ASSERT_EQ(tGps.nTrackPoints, 2);
  EXPECT_EQ(tGps.pTrack[1].dwTime, 101u);

  oracle::Load({At(0, 0, 0), At(0, 5, 0)});
  o = Step(CheckForInvalidTimeStamps);
  EXPECT_EQ(o.result, -1);
  EXPECT_EQ(o.out, "All positions have an invalid timestamp\n");
  EXPECT_EQ(tGps.nTrackPoints, 0);
}

TEST_F(Clean, GapBoundaryAndSegmentFlags) {
  uint32_t t0 = Gps(2013, 7, 21, 11, 0, 0);
  // A pause of 29:59 does not divide; exactly 30:00 does.
  oracle::Load({At(t0, 0, 0), At(t0 + 1799, 0, 0), At(t0 + 1799 + 1800, 0, 0)});
  Outcome o = Step(CheckForMultipleTracks, "a\n");
  EXPECT_EQ(Count(o.out, "\n"), 3) << o.out;  // heading and two tracks

  // Without --gap only the instrument's own segment starts divide the log.
  tGps.nTrackGap = -1;
  std::vector<TrackPoint> p = {At(t0, 0, 0), At(t0 + 86400, 0, 0), At(t0 + 86401, 0, 0)};
  oracle::Load(p);
  EXPECT_EQ(Step(CheckForMultipleTracks).out, "");
  p[2].dwFlags = kSegmentStart;
  oracle::Load(p);
  EXPECT_NE(Step(CheckForMultipleTracks, "a").out.find("Multiple tracks detected:"), std::string::npos);

  // --gap 0 and a single point are never divided.
  tGps.nTrackGap = 0;
  oracle::Load(p);
  EXPECT_EQ(Step(CheckForMultipleTracks).out, "");
  tGps.nTrackGap = 60;
  oracle::Load({At(t0, 0, 0)});
  EXPECT_EQ(Step(CheckForMultipleTracks).out, "");
}

TEST_F(Clean, ListIsNewestFirstAndSelectionKeepsTimeOrder) {
  uint32_t t0 = Gps(2013, 7, 21, 11, 42, 7);
  std::vector<TrackPoint> p = Flights(3, t0);
  p[5].dwTime = t0 + 3600 - 5;  // the second flight's last point lies before its first
  oracle::Load(p);
  Outcome o = Step(CheckForMultipleTracks, "2,1\n");
  EXPECT_EQ(o.out,
            "Multiple tracks detected:\n"
            "1   21-07-2013   13:42:07   0:00:20\n"
            "2   21-07-2013   12:42:07   0:00:10\n"  // its latest point, not the earlier last one
            "3   21-07-2013   11:42:07   0:00:20\n"
            "Select (a=all,0=none): ");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(oracle::Loaded(), std::vector<TrackPoint>(p.begin() + 3, p.end()));

  oracle::Load(Flights(5, t0));
  o = Step(CheckForMultipleTracks, "1,x\n5,5\n");
  EXPECT_EQ(Count(o.out, "Select (a=all,0=none): "), 2);
  EXPECT_EQ(oracle::Loaded(), std::vector<TrackPoint>(Flights(1, t0)));
}

TEST_F(Clean, RefusalsEndWithNoTrack) {
  uint32_t t0 = Gps(2020, 2, 29, 9, 0, 0);
  for (const char* answer : {"7\n", "0\n", "", "\n  \n", ",,\n"}) {
    oracle::Load(Flights(5, t0));
    Outcome o = Step(CheckForMultipleTracks, answer);
    EXPECT_EQ(o.result, -1) << answer;
    EXPECT_EQ(tGps.nTrackPoints, 0);
    EXPECT_EQ(Count(o.out, "Select (a=all,0=none): "), 1);
    EXPECT_EQ(o.out.substr(o.out.size() - 18), "No track selected\n");
  }
  oracle::Load(Flights(5, t0));
  EXPECT_EQ(Step(CheckForMultipleTracks, "A\n").result, 0);
  EXPECT_EQ(oracle::Loaded(), Flights(5, t0));
}

TEST_F(Clean, LongAnswersAreBounded) {
  uint32_t t0 = Gps(2021, 5, 1, 9, 0, 0);
  // A long invalid line is dropped whole: the next line answers the prompt.
  oracle::Load(Flights(3, t0));
  Outcome o = Step(CheckForMultipleTracks, std::string(5000, 'x') + " 1\n3\n");
  EXPECT_EQ(Count(o.out, "Select (a=all,0=none): "), 2);
  EXPECT_EQ(oracle::Loaded(), Flights(1, t0));
  // Only 256 characters count: a number still open there selects nothing,
  // and what lies beyond them cannot spoil the answer.
  oracle::Load(Flights(3, t0));
  EXPECT_EQ(Step(CheckForMultipleTracks, std::string(255, ',') + "1\n").result, -1);
  oracle::Load(Flights(3, t0));
  EXPECT_EQ(Step(CheckForMultipleTracks, std::string(254, ',') + "3\n").result, 0);
  EXPECT_EQ(oracle::Loaded(), Flights(1, t0));
  oracle::Load(Flights(3, t0));
  EXPECT_EQ(Step(CheckForMultipleTracks, "3" + std::string(255, ',') + "x\n").result, 0);
  EXPECT_EQ(oracle::Loaded(), Flights(1, t0));
}

TEST_F(Clean, AtMostAHundredTracks) {
  oracle::Load(Flights(150, Gps(2022, 1, 1, 0, 0, 0)));
  Outcome o = Step(CheckForMultipleTracks, "1\n");
  EXPECT_EQ(Count(o.out, "\n"), 101);
  EXPECT_EQ(tGps.nTrackPoints, 51 * 3);  // the hundredth runs to the end
}

TEST_F(Clean, BackwardTimeStamps) {
  std::vector<TrackPoint> p = {At(100, 0, 0), At(101, 0, 0), At(99, 0, 0), At(101, 0, 0), At(100, 0, 0),
                               At(102, 0, 0)};
  for (const char* keep : {"y\n", "k", "", "yes no\n"}) {
    oracle::Load(p);
    Outcome o = Step(CheckForTimestampConsistency, keep);
    EXPECT_EQ(o.out.rfind("2 positions have a timestamp going back in time. Keep anyway ? ", 0), 0u);
    EXPECT_EQ(oracle::Loaded(), p);
  }
  oracle::Load(p);
  EXPECT_EQ(Step(CheckForTimestampConsistency, "No\n").result, 0);
  EXPECT_EQ(oracle::Loaded(), (std::vector<TrackPoint>{p[0], p[1], p[3], p[5]}));
}

TEST_F(Clean, SpeedAnalysisDropsSpikes) {
  std::vector<TrackPoint> p;
  for (uint32_t i = 0; i < 30; ++i) p.push_back(At(1000 + i, i * 10.0, 0));
  std::vector<TrackPoint> spiked = p;
  spiked[20] = At(1020, 200, 5000);
  oracle::Load(spiked);
  Outcome o = Step(CheckForSpeedConsistency);
  EXPECT_EQ(o.out, "1 positions have been removed in speed analysis\n");
  std::vector<TrackPoint> expected = p;
  expected.erase(expected.begin() + 20);
  EXPECT_EQ(oracle::Loaded(), expected);

  // Too short, or skipped on request: untouched.
  std::vector<TrackPoint> nine(spiked.begin() + 12, spiked.begin() + 21);
  oracle::Load(nine);
  EXPECT_EQ(Step(CheckForSpeedConsistency).out, "");
  EXPECT_EQ(oracle::Loaded(), nine);
  tGps.bNoAnalysis = 1;
  oracle::Load(spiked);
  EXPECT_EQ(Step(CheckForSpeedConsistency).out, "");
  tGps.bNoAnalysis = 0;

  // Every second speed far above the rest: never ten in a row below.
  std::vector<TrackPoint> zigzag;
  for (uint32_t i = 0; i < 40; ++i) zigzag.push_back(At(i, 0, i % 2 ? 3000 : 0));
  oracle::Load(zigzag);
  EXPECT_EQ(Step(CheckForSpeedConsistency).out, "");
  EXPECT_EQ(oracle::Loaded(), zigzag);
}

TEST_F(Clean, SpeedAnalysisMatchesThePlainRules) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    std::vector<TrackPoint> p;
    int n = 8 + static_cast<int>(rng() % 120);
    double north = 0, east = 0, pace = 1 + rng() % 60;
    uint32_t t = 0xFFFFFF00u + rng() % 400;  // some tracks cross the wrap of the time
    for (int i = 0; i < n; ++i) {
      t += rng() % 9 < 7 ? 1 : rng() % 4;   // mostly 1 s, some repeated or jumping times
      if (rng() % 20 == 0) t -= 3;          // running back
      north += (static_cast<int>(rng() % 21) - 10) * pace / 10;
      east += pace;
      TrackPoint q = At(t, north, east);
      if (rng() % 15 == 0) q = At(t, north + (rng() % 2 ? 1e6 : 300), east);  // spikes, far and near
      if (rng() % 97 == 0) q.nLatitude = -q.nLatitude, q.nLongitude += 0x80000000u;  // antipodal
      p.push_back(q);
    }
    oracle::Load(p);
    Step(CheckForSpeedConsistency);
    ASSERT_EQ(oracle::Loaded(), oracle::SpeedConsistency(p, false)) << round;
  }
}
