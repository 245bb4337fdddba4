// The task state machine and its detectors on made-up tracks, the task
// declaration lines and the flight file names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/conv.h"
#include "common/time.h"
#include "frame/state.h"
#include "logger/nmea.h"

namespace {

constexpr double kDegToSemi = 2147483648.0 / 180.0;
constexpr double kLaunchLat = 46.4, kLaunchLon = 7.2;
constexpr double kMetresPerDegreeNorth = 111150.0;  // near 46 degrees, good to a few parts in 10000

uint32_t GpsTime(uint32_t h, uint32_t m, uint32_t s) {
  SystemTime st{2013, 7, 21, h, m, s};
  return ConvertSystemTimeToGpsTime(&st);
}
const uint32_t kT0 = GpsTime(11, 0, 0);

class TaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&tGps, 0, sizeof tGps);
    std::memset(&nmea, 0, sizeof nmea);
    std::memset(&tTask, 0, sizeof tTask);
    restartTask.store(0);
    tGps.bSilent = 1;
    tGps.bTaskMode = 1;
    tGps.nTrackSize = kLoggerTrackSize;
    tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kLoggerTrackSize));
    nmea.pDebugFile = open_memstream(&logText, &logSize);
    char pattern[] = "/tmp/velmora-task-XXXXXX";
    dir = mkdtemp(pattern);
  }
  void TearDown() override {
    std::fclose(nmea.pDebugFile);
    std::free(logText);
    std::free(tGps.pTrack);
    std::free(tGps.pWaypoints);
    std::memset(&tGps, 0, sizeof tGps);
    restartTask.store(0);
    std::system(("rm -rf " + dir).c_str());
  }
  std::string Log() {
    std::fflush(nmea.pDebugFile);
    return std::string(logText, logSize);
  }
  bool Exists(const std::string& name) { return access((dir + "/" + name).c_str(), F_OK) == 0; }
  // Appends a point `north` metres north of launch, `seconds` after kT0, and
  // hands it to the state machine as the logger does.
  void Add(uint32_t seconds, double north, int32_t altitudeDm = 10000) {
    Append(seconds, north, altitudeDm);
    HandleTask(&nmea);
  }
  void Append(uint32_t seconds, double north, int32_t altitudeDm = 10000) {
    TrackPoint& p = tGps.pTrack[tGps.nTrackPoints];
    p.dwFlags = tGps.nTrackPoints == 0 ? kSegmentStart : 0;
    p.dwTime = kT0 + seconds;
    p.nLatitude = static_cast<int32_t>(std::lround((kLaunchLat + north / kMetresPerDegreeNorth) * kDegToSemi));
    p.nLongitude = static_cast<int32_t>(std::lround(kLaunchLon * kDegToSemi));
    p.nGpsAltitude = altitudeDm;
    p.nPressureAltitude = 0;
    ++tGps.nTrackPoints;
  }
  void StartWaiting() {  // a start location found at once, the box detector armed but wide
    tGps.nTaskBoxRadius = 100000;
    tGps.nTaskBoxHeight = 10000;
    Add(0, 0);
    ASSERT_EQ(nmea.nTaskState, kTaskWaiting);
  }

  NmeaState nmea;
  char* logText = nullptr;
  size_t logSize = 0;
  std::string dir;
};

TEST_F(TaskTest, WithoutDetectorsTheFirstPointIsATakeoff) {
  std::snprintf(tGps.szTakeoffScript, sizeof tGps.szTakeoffScript, "touch %s/took-off", dir.c_str());
  Add(0, 0);
  EXPECT_EQ(nmea.nTaskState, kTaskFlying);
  EXPECT_EQ(nmea.dwTakeoffTime, kT0);
  EXPECT_TRUE(Exists("took-off"));
  std::string log = Log();
  EXPECT_NE(log.find("No start location detector\nTakeoff detector(s) disabled\nTakeoff at 11:00:00\n"
                     "Executing takeoff script\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Task state is FLYING\n"), std::string::npos);
}

TEST_F(TaskTest, LocationStartWaitsForAStillWindow) {
  tGps.nTaskLocationInterval = 60;
  tGps.nTaskLocationDistance = 50;
  tGps.nTaskBoxRadius = 100000;
  tGps.nTaskBoxHeight = 10000;
  // One point 50.2 m off, the rest still: no start while it is in the window.
  for (uint32_t s = 0; s <= 60; ++s) Add(s, s == 5 ? 50.2 : 0.0);
  EXPECT_EQ(nmea.nTaskState, kTaskInit);
  EXPECT_EQ(tGps.nTrackPoints, 61);
  EXPECT_NE(Log().find("Takeoff location: Distance between points 50\n"), std::string::npos);
  // Once the stray point has left the 60 s window the start is found and the
  // track shrinks to the start location.
  for (uint32_t s = 61; s <= 65; ++s) Add(s, 0.0);
  EXPECT_EQ(nmea.nTaskState, kTaskInit);  // at 65 s the window still starts at the stray point
  Add(66, 0.0);
  EXPECT_EQ(nmea.nTaskState, kTaskWaiting);
  ASSERT_EQ(tGps.nTrackPoints, 1);
  EXPECT_EQ(tGps.pTrack[0].dwTime, kT0 + 66);
  EXPECT_NE(Log().find("Takeoff location set at 11:01:06\n"), std::string::npos);
}

TEST_F(TaskTest, LocationStartAcceptsPairsJustWithinTheLimit) {
  tGps.nTaskLocationInterval = 30;
  tGps.nTaskLocationDistance = 50;
  tGps.nTaskBoxRadius = 100000;
  tGps.nTaskBoxHeight = 10000;
  // Points alternate 49.6 m apart: every pair is within the limit.
  for (uint32_t s = 0; s < 30; ++s) Add(s, (s % 2) * 49.6);
  EXPECT_EQ(nmea.nTaskState, kTaskInit);  // 29 s of track: not yet the window
  Add(30, 0.0);
  EXPECT_EQ(nmea.nTaskState, kTaskWaiting);
}

TEST_F(TaskTest, SpeedTakeoffKeepsItsLeadIn) {
  struct Case {
    int32_t prepend;
    uint32_t firstKept;  // seconds after kT0
  } cases[] = {{5, 10}, {0, 15}, {1000, 0}};
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    tGps.nTaskTakeoffInterval = 10;
    tGps.nTaskTakeoffDistance = 50;
    tGps.nTaskTakeoffPrepend = c.prepend;
    StartWaiting();
    for (uint32_t s = 1; s <= 20; ++s) Add(s, 0.0);
    // 12 m/s from second 20 on: 48 m in the 10 s window at second 24, 60 m at
    // second 25, whose window starts at second 15: the takeoff point.
    for (uint32_t s = 21; s <= 24; ++s) Add(s, (s - 20) * 12.0);
    EXPECT_EQ(nmea.nTaskState, kTaskWaiting) << c.prepend;
    Add(25, 60.0);
    ASSERT_EQ(nmea.nTaskState, kTaskFlying) << c.prepend;
    EXPECT_EQ(nmea.dwTakeoffTime, kT0 + 15);
    EXPECT_EQ(tGps.pTrack[0].dwTime, kT0 + c.firstKept) << c.prepend;
    EXPECT_EQ(tGps.pTrack[tGps.nTrackPoints - 1].dwTime, kT0 + 25);
    EXPECT_EQ(tGps.nTrackPoints, static_cast<int32_t>(26 - c.firstKept));
  }
}

TEST_F(TaskTest, BoxExitAtTheHeightLimitAboveAndBelow) {
  for (int32_t sign : {1, -1}) {
    TearDown();
    SetUp();
    tGps.nTaskBoxRadius = 1000;
    tGps.nTaskBoxHeight = 50;
    tGps.nTaskBoxPrepend = 3;
    Add(0, 0.0, 10000);
    ASSERT_EQ(nmea.nTaskState, kTaskWaiting);
    for (uint32_t s = 1; s <= 10; ++s) Add(s, 0.0, 10000 + sign * 499);
    EXPECT_EQ(nmea.nTaskState, kTaskWaiting);
    Add(11, 0.0, 10000 + sign * 500);
    ASSERT_EQ(nmea.nTaskState, kTaskFlying) << sign;
    EXPECT_EQ(nmea.dwTakeoffTime, kT0 + 11);
    EXPECT_EQ(tGps.pTrack[0].dwTime, kT0 + 8);
    EXPECT_NE(Log().find(sign > 0 ? "(altitude above start point)" : "(altitude below start point)"),
              std::string::npos);
  }
}

TEST_F(TaskTest, BoxExitByDistance) {
  tGps.nTaskBoxRadius = 200;
  tGps.nTaskBoxHeight = 50;
  Add(0, 0.0);
  Add(1, 190.0);
  EXPECT_EQ(nmea.nTaskState, kTaskWaiting);
  Add(2, 201.0);
  EXPECT_EQ(nmea.nTaskState, kTaskFlying);
  EXPECT_NE(Log().find("Box exit takeoff: 11:00:02 (distance from start point)\n"), std::string::npos);
}

TEST_F(TaskTest, LandingNeedsAStillWindow) {
  tGps.nTaskLandingInterval = 30;
  tGps.nTaskLandingDistance = 20;
  Add(0, 0.0);  // no takeoff detector: flying at once
  ASSERT_EQ(nmea.nTaskState, kTaskFlying);
  // Still, but the track does not cover the window yet: no decision.
  for (uint32_t s = 1; s < 30; ++s) Add(s, 0.0);
  EXPECT_EQ(restartTask.load(), 0);
  Add(30, 0.0);
  EXPECT_EQ(restartTask.load(), 1);
  EXPECT_NE(Log().find("Landing detected at position 31\n"), std::string::npos);

  TearDown();
  SetUp();
  tGps.nTaskLandingInterval = 30;
  tGps.nTaskLandingDistance = 20;
  // Flying at 5 m/s: the path of any window is too long.
  for (uint32_t s = 0; s < 60; ++s) Add(s, s * 5.0);
  // Then creeping at 0.5 m/s: a landing once the window holds little else.
  for (uint32_t s = 60; s <= 75; ++s) Add(s, 295.0 + (s - 59) * 0.5);
  EXPECT_EQ(restartTask.load(), 0);
  for (uint32_t s = 76; s <= 100; ++s) Add(s, 295.0 + (s - 59) * 0.5);
  EXPECT_EQ(restartTask.load(), 1);
}

TEST_F(TaskTest, RestartWithoutTakeoffDiscardsAndSkipsTheLandingScript) {
  std::snprintf(tGps.szLandingScript, sizeof tGps.szLandingScript, "touch %s/landed", dir.c_str());
  tGps.bSilent = 0;
  StartWaiting();
  Add(1, 0.0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(RestartTask(&nmea), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\nRestart task: Got 2 points. Ignored since no takeoff has been detected\n");
  EXPECT_FALSE(Exists("landed"));
  EXPECT_EQ(nmea.nTaskState, kTaskInit);
  EXPECT_EQ(tGps.nTrackPoints, 0);
  EXPECT_EQ(tGps.nTrackSize, kLoggerTrackSize);
  EXPECT_NE(nmea.pDebugFile, nullptr);  // the debug log survives the restart

  testing::internal::CaptureStdout();
  EXPECT_EQ(RestartTask(&nmea), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nTask log: Got 0 points. No file(s) written.\n");
}

TEST_F(TaskTest, AFlightThatCannotBeSavedIsCountedAndTheLandingScriptStillRuns) {
  std::snprintf(tGps.szLandingScript, sizeof tGps.szLandingScript, "touch %s/landed", dir.c_str());
  std::snprintf(tGps.szFileName, sizeof tGps.szFileName, "%s/no-such-folder/flight", dir.c_str());
  tGps.bSilent = 0;
  testing::internal::CaptureStdout();
  Add(0, 0.0);
  Add(1, 10.0);
  EXPECT_EQ(RestartTask(&nmea), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("\nRestart task: 2 points logged\nLanding at 11:00:01\n"), std::string::npos) << out;
  EXPECT_EQ(nmea.nFailedFlightSaves, 1);
  EXPECT_TRUE(Exists("landed"));
  EXPECT_EQ(tGps.nTrackPoints, 0);
  EXPECT_EQ(nmea.nTaskState, kTaskInit);
}

// --- task declaration ---------------------------------------------------

Waypoint MakeWaypoint(double latDeg, double lonDeg, const char* name, const char* comment) {
  Waypoint w{};
  w.nLatitude = static_cast<int32_t>(std::lround(latDeg * kDegToSemi));
  w.nLongitude = static_cast<int32_t>(std::lround(lonDeg * kDegToSemi));
  std::snprintf(w.szName, sizeof w.szName, "%s", name);
  std::snprintf(w.szComment, sizeof w.szComment, "%s", comment);
  return w;
}

TEST_F(TaskTest, CRecordPositionsInThousandthsOfMinutes) {
  char line[101];
  MakeCRecordPosition(line, -45.5 / 57.29577951308, 7.25 / 57.29577951308, "TURN");
  EXPECT_STREQ(line, "C4530000S00715000ETURN");
  MakeCRecordPosition(line, 0.5 / 57.29577951308, -179.99999 / 57.29577951308, "");
  EXPECT_STREQ(line, "C0030000N17959999W");
}

TEST_F(TaskTest, FiveWaypointsMakeEightLines) {
  Waypoint wpts[] = {MakeWaypoint(46.5, 7.5, "LAUNCH", "Launch meadow"), MakeWaypoint(46.6, 7.6, "TP1", ""),
                     MakeWaypoint(46.7, 7.7, "", ""), MakeWaypoint(-46.8, -7.8, "TP3", "Church"),
                     MakeWaypoint(46.9, 7.9, "GOAL", "")};
  tGps.nWaypoints = 5;
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(sizeof wpts));
  std::memcpy(tGps.pWaypoints, wpts, sizeof wpts);
  ASSERT_EQ(MakeTaskPoints(&nmea), 8);
  tTask.nCRecords = 8;
  EXPECT_STREQ(tTask.aszCRecord[2], "C4630000N00730000ELaunch meadow");
  EXPECT_STREQ(tTask.aszCRecord[3], "C4636000N00736000ETP1");
  EXPECT_STREQ(tTask.aszCRecord[4], "C4642000N00742000ETP");
  EXPECT_STREQ(tTask.aszCRecord[5], "C4648000S00748000WChurch");
  EXPECT_STREQ(tTask.aszCRecord[6], "C4654000N00754000EGOAL");

  std::snprintf(tGps.szTaskFileName, sizeof tGps.szTaskFileName, "/home/pilot/tasks.v2/open.day2.wpt");
  Append(3723, 0.0);  // 12:02:03
  Append(3724, 0.0);
  tGps.pTrack[1].nLatitude = static_cast<int32_t>(std::lround(-45.5 * kDegToSemi));
  UpdateTaskInfo();
  EXPECT_STREQ(tTask.aszCRecord[0], "C2107131202030000000001" "03" "open.day2");
  EXPECT_STREQ(tTask.aszCRecord[1], "C4624000N00712000ETAKEOFF");
  EXPECT_STREQ(tTask.aszCRecord[7], "C4530000S00712000ELANDING");

  // A name whose only dot is its first character is kept whole.
  std::snprintf(tGps.szTaskFileName, sizeof tGps.szTaskFileName, "tasks/.wpt");
  UpdateTaskInfo();
  EXPECT_STREQ(tTask.aszCRecord[0], "C2107131202030000000001" "03" ".wpt");
}

TEST_F(TaskTest, TooFewOrTooManyWaypointsMakeNoDeclaration) {
  for (int32_t count : {0, 1, 27}) {
    std::free(tGps.pWaypoints);
    tGps.pWaypoints = static_cast<Waypoint*>(std::calloc(27, sizeof(Waypoint)));
    tGps.nWaypoints = count;
    EXPECT_EQ(MakeTaskPoints(&nmea), -1) << count;
  }
  tGps.nWaypoints = 26;
  EXPECT_EQ(MakeTaskPoints(&nmea), 29);
}

TEST_F(TaskTest, FlightFileNames) {
  // 250 + ".igc" fits the 254 characters; one more does not, nor 236 + 20.
  const std::pair<std::string, const char*> cases[] = {{"", "2013-07-21_11-42.igc"},
                                                       {"flights/", "flights/2013-07-21_11-42.igc"},
                                                       {"flights/today", "flights/today.igc"},
                                                       {std::string(250, 'n'), nullptr},
                                                       {std::string(251, 'n'), ""},
                                                       {std::string(235, 'd') + "/", ""}};
  for (const auto& [prefix, expected] : cases) {
    char name[300];
    std::snprintf(tGps.szFileName, sizeof tGps.szFileName, "%s", prefix.c_str());
    int result = MakeFlightFileName(name, sizeof name, GpsTime(11, 42, 7));
    if (expected != nullptr && *expected == 0) {
      EXPECT_EQ(result, -1) << prefix;
    } else {
      ASSERT_EQ(result, 0) << prefix;
      EXPECT_EQ(name, expected ? std::string(expected) : prefix + ".igc");
    }
  }
}

}  // namespace
