// The live logger through the real programs: velmora -gnm on the pseudo-
// terminal of velmora-sim nmea, stopped by signals as a pilot stops it.
// These runs need the serial link, the IGC writer and the waypoint readers;
// a build that still lacks one of them skips what depends on it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using e2e::Sim;
using e2e::TempDir;

namespace {

// A velmora run that the test can watch and signal while it runs.
class Logger : public e2e::Process {
 public:
  Logger(const std::vector<std::string>& args, const TempDir& dir) : Process(VELMORA_BIN, args, dir) {}
};

// A status line: "h:mm:ss  yyyy-mm-dd hh:mm:ss  lat  lon  gps  baro".
bool IsStatusLine(const std::string& line) {
  int v[11];
  double lat, lon;
  char tail;
  return std::sscanf(line.c_str(), "%d:%d:%d  %d-%d-%d %d:%d:%d  %lf  %lf  %d  %d%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                     &v[5], &v[6], &v[7], &v[8], &lat, &lon, &v[9], &v[10], &tail) == 13;
}

size_t CountStatusLines(const std::string& text) {
  std::stringstream in(text);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) {
    // The reader's full-FIFO notice stands in front of the line it delayed;
    // the pause loses nothing, so the line still counts.
    while (line.rfind("COM FIFO full", 0) == 0) line.erase(0, 13);
    n += IsStatusLine(line) ? 1 : 0;
  }
  return n;
}

// "C" + 8 latitude characters + 9 longitude characters + text.
bool IsPositionRecord(const std::string& line, const std::string& text) {
  return line.size() == 18 + text.size() && line.rfind("C46", 0) == 0 && line[8] == 'N' && line[17] == 'E' &&
         line.compare(18, std::string::npos, text) == 0;
}

// Seconds of a receiver log with both an RMC fix (status A) and a GGA fix
// (quality other than 0), counted from the text alone.
size_t CountPairedSeconds(const std::string& text) {
  std::set<std::pair<std::string, long>> rmc;
  std::set<long> gga;
  std::stringstream in(text);
  std::string line;
  const std::set<std::string> talkers{"GP", "GN", "GL", "GA", "GB", "BD", "GQ"};
  while (std::getline(in, line)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    size_t star = line.find('*');
    if (line.size() < 7 || line[0] != '$' || star == std::string::npos || star + 3 != line.size()) continue;
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
    if (sum != std::stoul(line.substr(star + 1), nullptr, 16)) continue;
    std::vector<std::string> f;
    std::stringstream fields(line.substr(1, star - 1));
    std::string item;
    while (std::getline(fields, item, ',')) f.push_back(item);
    if (f[0].size() != 5 || talkers.count(f[0].substr(0, 2)) == 0) continue;
    bool rmcFix = f[0].substr(2) == "RMC" && f.size() >= 10 && f[2] == "A";
    bool ggaFix = f[0].substr(2) == "GGA" && f.size() >= 7 && f[6] != "0";
    if (!rmcFix && !ggaFix) continue;
    long second = static_cast<long>(std::stod(f[1]) + 0.5);
    if (rmcFix) rmc.insert({f[9], second});
    if (ggaFix) gga.insert(second);
  }
  size_t n = 0;
  for (const auto& fix : rmc) n += gga.count(fix.second);
  return n;
}


TEST(NmeaE2e, RealReceiverLogsGiveOnePointPerPairedSecond) {
  const char* logs[] = {"bu353-glonass.log", "haicom-305N.log", "mtk-3301.log",         "neo-m8n.log",
                        "nmea-fuzzy-cases.log", "quectel-L70.log", "ublox-zed-f9p-nmea.log", "garmin-geko201.log"};
  for (const char* log : logs) {
    std::string path = e2e::TestDataDir() + "/nmea/" + log;
    size_t expected = CountPairedSeconds(e2e::ReadFile(path));
    TempDir dir;
    Sim sim({"nmea", "--replay", path, "--pace", "lines", "--line-ms", "0", "--baud", "115200"});
    Logger logger({"-gnm", "-c" + sim.device(), "--scroll", "-lreplay.igc"}, dir);
    logger.WaitFor(
        [&](const std::string& out) {
          return expected > 0 && CountStatusLines(out) >= expected;
        },
        expected > 0 ? 30 : 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // nothing more may come
    logger.Signal(SIGINT);
    int status = logger.Wait(20);
    EXPECT_EQ(CountStatusLines(logger.out()), expected) << log;
    EXPECT_NE(logger.out().find("\nGot " + std::to_string(expected) + " points\n"), std::string::npos)
        << log << logger.out();
    if (expected > 0) {
      EXPECT_EQ(status, 0) << log;
      EXPECT_TRUE(dir.Exists("replay.igc")) << log;
    }
  }
}

TEST(NmeaE2e, MultiConstellationFlightWithPressureNoiseAndBadChecksums) {
  TempDir dir;
  // Every 7th fix sentence spoilt: those seconds lose their point.
  Sim sim({"nmea", "--builtin", "--speed", "40", "--talker", "GN", "--baro", "lk8ex1", "--garbage", "3",
           "--bad-checksum", "7"});
  Logger logger({"-gnm", "-c" + sim.device(), "--scroll", "-lflight"}, dir);
  // The built-in flight lasts 660 s: 16.5 s at 40 times real time.
  logger.WaitFor(
      [](const std::string& out) { return CountStatusLines(out) >= 472; },
      120);  // an upper bound only: a busy machine may be slow
  std::this_thread::sleep_for(std::chrono::seconds(1));
  logger.Signal(SIGTERM);
  logger.Wait(20);
  size_t points = CountStatusLines(logger.out());
  // Of 660 seconds, those whose RMC or GGA was spoilt (every 7th of the
  // 1320 sentences, so one second in 7) give no point.
  EXPECT_EQ(points, 660u - 1320u / 7u) << logger.out();
  EXPECT_NE(logger.out().find("\nGot 472 points\n"), std::string::npos);
  // The pressure altitude reaches the points: the last field is not 0.
  EXPECT_EQ(logger.out().find("  0\n"), std::string::npos);
}

// --- task mode ------------------------------------------------------------

const char* kTaskConfig =
    "TASK_LOCATION_INTERVAL: 20\n"
    "TASK_LOCATION_DISTANCE: 10\n"
    "TASK_TAKEOFF_INTERVAL: 10\n"
    "TASK_TAKEOFF_DISTANCE: 50\n"
    "TASK_TAKEOFF_PREPEND: 5\n"
    "TASK_LANDING_INTERVAL: 30\n"
    "TASK_LANDING_DISTANCE: 20\n"
    "TASK_TAKEOFF_SCRIPT: \"echo up >> takeoffs\"\n"
    "TASK_LANDING_SCRIPT: \"echo down >> landings\"\n"
    "IGC_PILOT_NAME: \"Anna Berg\"\n";

std::string OziTask(int points) {
  std::string text = "OziExplorer Waypoint File Version 1.0\r\nWGS 84\r\nReserved 2\r\nReserved 3\r\n";
  for (int i = 0; i < points; ++i) {
    char line[200];
    std::snprintf(line, sizeof line, "%4d,TP%02d          ,  46.%06d,   7.%06d,41000.5,0, 1, 3, 0, 65535,%-40s, 0, 0, 0, 3281\r\n",
                  i + 1, i, 400000 + i * 10000, 200000 + i * 10000, i == 1 ? "Church tower" : "");
    text += line;
  }
  return text;
}

std::vector<std::string> CRecords(const std::string& igc) {
  std::vector<std::string> lines;
  std::stringstream in(igc);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == 'C') lines.push_back(line);
  }
  return lines;
}

// Waits until the landing script has run `count` times.
bool Landed(const TempDir& dir, const std::string& count) {
  for (int i = 0; i < 1200; ++i) {  // at most two minutes on a busy machine
    if (e2e::ReadFile(dir.File("landings")) == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

TEST(NmeaE2e, TaskModeDayGivesOneFileAPerFlightInAFolder) {
  TempDir dir;
  dir.Write("velmora.cfg", kTaskConfig);
  mkdir(dir.File("flights").c_str(), 0755);
  dir.Write("open.day2.wpt", OziTask(5));
  Sim sim({"nmea", "--day", "--stand", "60", "--fly", "120", "--speed", "40"});
  Logger logger({"-gnm", "-c" + sim.device(), "--silent", "-t" + dir.File("open.day2.wpt"), "-lflights/"}, dir);
  // The day lasts 420 s, 10.5 s at 40 times real time.
  bool twoLandings = Landed(dir, "down\ndown\n");
  logger.Signal(SIGTERM);
  EXPECT_EQ(logger.Wait(20), 0) << logger.out();
  EXPECT_TRUE(twoLandings);
  EXPECT_EQ(e2e::ReadFile(dir.File("takeoffs")), "up\nup\n");
  // The day starts 10:00:00; each flight file is named after its first point,
  // a few seconds before the takeoff (10:01:00, 10:04:00).
  std::string first = e2e::ReadFile(dir.File("flights/2013-07-21_10-00.igc"));
  std::string second = e2e::ReadFile(dir.File("flights/2013-07-21_10-03.igc"));
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(first.rfind("AXVM NMEA\r\n", 0), 0u);
  EXPECT_NE(first.find("HFPLTPILOT: Anna Berg\r\n"), std::string::npos);
  for (const std::string& igc : {first, second}) {
    std::vector<std::string> c = CRecords(igc);
    ASSERT_EQ(c.size(), 8u);
    EXPECT_EQ(c[0].substr(0, 7), "C210713");
    EXPECT_EQ(c[0].substr(13), "000000000103open.day2");
    EXPECT_TRUE(IsPositionRecord(c[1], "TAKEOFF")) << c[1];
    EXPECT_EQ(c[2], "C4624000N00712000ETP00");
    EXPECT_EQ(c[3], "C4624600N00712600EChurch tower");
    EXPECT_EQ(c[6], "C4626400N00714400ETP04");
    EXPECT_TRUE(IsPositionRecord(c[7], "LANDING")) << c[7];
    EXPECT_NE(igc.find("\r\nG"), std::string::npos);  // signed
  }
}

TEST(NmeaE2e, TaskFilesWithTooFewOrTooManyPointsAndANamedFlightFile) {
  for (int points : {1, 27}) {
    TempDir dir;
    dir.Write("velmora.cfg", kTaskConfig);
    dir.Write("task.wpt", OziTask(points));
    Sim sim({"nmea", "--day", "--stand", "40", "--fly", "80", "--speed", "40"});
    Logger logger({"-gnm", "-c" + sim.device(), "-ttask.wpt", "-lmyflight"}, dir);
    // The flight is written to the one file named on the command line.
    EXPECT_TRUE(Landed(dir, "down\n"));
    logger.Signal(SIGTERM);
    EXPECT_EQ(logger.Wait(20), 0) << logger.out();
    EXPECT_NE(logger.out().find(points == 1 ? "Task file: Too few waypoints" : "Task file: Too many waypoints"),
              std::string::npos);
    EXPECT_NE(logger.out().find("Saving igc file: File \"myflight.igc\""), std::string::npos) << logger.out();
    std::string igc = dir.Read("myflight.igc");
    EXPECT_FALSE(igc.empty());
    EXPECT_TRUE(CRecords(igc).empty()) << points;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"landings", "myflight.igc", "takeoffs", "task.wpt", "velmora.cfg"}));
  }
}

TEST(NmeaE2e, SigintWhileWaitingDiscardsAndSigtermWhileFlyingSaves) {
  TempDir dir;
  dir.Write("velmora.cfg", kTaskConfig);
  Sim sim({"nmea", "--day", "--stand", "100", "--fly", "600", "--speed", "10"});
  Logger logger({"-gnm", "-c" + sim.device(), "--debug", "-t", "-l"}, dir);
  auto debugHas = [&](const char* text) {
    for (int i = 0; i < 200; ++i) {
      if (e2e::ReadFile(dir.File("velmora.debug")).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  bool waiting = debugHas("Task state is WAITING");
  ASSERT_TRUE(waiting) << logger.out();
  logger.Signal(SIGINT);
  EXPECT_TRUE(logger.WaitForText(" Ignored since no takeoff has been detected\n", 10)) << logger.out();
  EXPECT_FALSE(dir.Exists("landings"));  // no flight, no landing script
  // Standing on: the start is found anew, then the takeoff.
  for (int i = 0; i < 1200 && !dir.Exists("takeoffs"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(dir.Exists("takeoffs"));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  logger.Signal(SIGTERM);
  int status = logger.Wait(20);
  EXPECT_EQ(status, 0) << logger.out();
  size_t restart = logger.out().rfind("\nRestart task: ");  // the earlier one was the discarded start
  ASSERT_NE(restart, std::string::npos) << logger.out();
  EXPECT_EQ(logger.out().find(" points logged\n", restart), restart + 15 + logger.out().substr(restart + 15).find(' '));
  EXPECT_NE(logger.out().find("Saving igc file: File saved"), std::string::npos);
  EXPECT_TRUE(dir.Exists("2013-07-21_10-01.igc")) << logger.out();
  EXPECT_EQ(dir.Read("landings"), "down\n");
}

}  // namespace
