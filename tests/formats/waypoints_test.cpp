// Waypoint files: the writers against hand-made reference files and the GPX
// schema, and the readers' field rules and robustness.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "common/time.h"
#include "formats/file.h"
#include "frame/state.h"

#include "cases.h"

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string kOziHead = "OziExplorer Waypoint File Version 1.1\r\nWGS 84\r\nReserved 2\r\nReserved 3\r\n";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null").c_str()) == 0; }
bool Shell(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }
bool ValidGpx(const std::string& file) {
  return Shell("xmllint --noout --schema " VELMORA_TESTDATA_DIR "/schemas/gpx-1.1.xsd " + file);
}
double Deg(int32_t semicircles) { return semicircles * 180.0 / 2147483648.0; }
// Name, degrees, metres, time ("now" when within 5 s of `now`), airfield flag, comment.
std::string Describe(const Waypoint& w, uint32_t now = 0) {
  char text[160], time[16] = "now";
  if (now == 0 || w.dwTime + 5 < now || w.dwTime > now + 5) std::snprintf(time, sizeof time, "%u", w.dwTime);
  std::snprintf(text, sizeof text, "%s %.6f %.6f %d %s %u %s", w.szName, Deg(w.nLatitude), Deg(w.nLongitude),
                w.nAltitudeM, time, w.bAirfield, w.szComment);
  return text;
}
uint32_t GpsTime(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s) {
  SystemTime st{y, mo, d, h, mi, s};
  return ConvertSystemTimeToGpsTime(&st);
}
Waypoint MakeWaypoint(const char* name, const char* comment, double lat, double lon, int32_t alt, uint32_t time) {
  Waypoint w{};
  w.nLatitude = static_cast<int32_t>(std::llround(lat / 180.0 * 2147483648.0));
  w.nLongitude = static_cast<int32_t>(std::llround(lon / 180.0 * 2147483648.0));
  w.nAltitudeM = alt;
  std::snprintf(w.szName, sizeof w.szName, "%s", name);
  std::snprintf(w.szComment, sizeof w.szComment, "%s", comment);
  w.dwTime = time;
  return w;
}

class WaypointFiles : public testing::Test {
 protected:
  void SetUp() override {
    std::memset(&tGps, 0, sizeof tGps);
    char pattern[] = "/tmp/velmora-wpt-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override {
    std::free(tGps.pWaypoints);
    std::memset(&tGps, 0, sizeof tGps);
    fs::remove_all(dir_);
  }
  void SetWaypoints(const std::vector<Waypoint>& list) {
    std::free(tGps.pWaypoints);
    tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(sizeof(Waypoint) * (list.size() + 1)));
    std::copy(list.begin(), list.end(), tGps.pWaypoints);
    tGps.nWaypoints = tGps.nWaypointSize = static_cast<int32_t>(list.size());
  }
  std::string Base(const std::string& name) {
    std::snprintf(tGps.szFileName, sizeof tGps.szFileName, "%s/%s", dir_.c_str(), name.c_str());
    return tGps.szFileName;
  }
  // Reads the file named in tGps; its result, a blank and what it printed.
  std::string Read() {
    CaptureStdout();
    int result = ReadWaypointFile();
    return std::to_string(result) + " " + GetCapturedStdout();
  }
  std::string Decode(const std::string& text) {
    std::ofstream(Base("in.txt"), std::ios::binary) << text;
    return Read();
  }
  std::string dir_;
};

TEST_F(WaypointFiles, WritersMatchTheReferenceFilesAndTheSchema) {
  SetWaypoints({MakeWaypoint("ACORNS", "Acorns landing", 46.5, 7.25, 1000, GpsTime(2012, 4, 1, 12, 0, 0)),
                MakeWaypoint("A&B<\"", "Tom's \"hut\" & <bar>,\t\xE9\xC3\xBC", -33.865, 151.2094, -5, 0)});
  std::string base = Base("two"), ref = VELMORA_TEST_DATA "/wpt/two";
  CaptureStdout();
  EXPECT_EQ(SaveOziWaypoints() | SaveGpxWaypoints() | SaveKmlWaypoints(), 0);
  EXPECT_EQ(GetCapturedStdout(), "File " + base + ".wpt written\nFile " + base + ".gpx written\nFile " + base +
                                     ".kml written\n");
  EXPECT_EQ(ReadAll(base + ".wpt"), ReadAll(ref + ".wpt"));
  EXPECT_EQ(ReadAll(base + ".kml"), ReadAll(ref + ".kml"));
  std::string gpx = ReadAll(base + ".gpx");
  size_t now = gpx.find("<time>") + 6;  // the download time, "YYYY-MM-DDThh:mm:ssZ"
  ASSERT_EQ(gpx.substr(now + 10, 1) + gpx.substr(now + 19, 2), "TZ<");
  EXPECT_EQ(gpx.replace(now, 20, "NOW"), ReadAll(ref + ".gpx"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 3) << "temporary files left behind";
  if (!Have("xmllint")) GTEST_SKIP() << "xmllint not installed";
  EXPECT_TRUE(ValidGpx(base + ".gpx"));
  EXPECT_TRUE(Shell("xmllint --noout " + base + ".kml"));

  base = Base("missing/w");
  CaptureStdout();
  EXPECT_EQ(SaveOziWaypoints(), -1);
  EXPECT_EQ(GetCapturedStdout(), "Couldn't open file " + base + ".wpt for writing\n");
}

TEST_F(WaypointFiles, GpxBoundsAreTheWaypointsOwnAndAlwaysValid) {
  Waypoint edge = MakeWaypoint("C", "", 0, 0, 0, 0);
  edge.nLongitude = INT32_MAX;  // the last semicircle below the antimeridian: written as -180
  const std::pair<std::vector<Waypoint>, const char*> cases[] = {
      {{}, nullptr},
      {{MakeWaypoint("A", "", 46.5, 7.25, 0, 0)}, R"(minlat="46.500000" minlon="7.250000" maxlat="46.500000" maxlon="7.250000")"},
      {{MakeWaypoint("B", "", -10, 175, 0, 0)}, R"(minlat="-10.000000" minlon="175.000000" maxlat="-10.000000")"},
      {{edge}, R"(minlon="-180.000000")"}};
  for (const auto& [list, bounds] : cases) {
    SetWaypoints(list);
    std::string base = Base("b");
    CaptureStdout();
    ASSERT_EQ(SaveGpxWaypoints(), 0);
    GetCapturedStdout();
    std::string gpx = ReadAll(base + ".gpx");
    EXPECT_EQ(gpx.find(bounds ? bounds : "<bounds") != std::string::npos, bounds != nullptr) << gpx;
    if (Have("xmllint")) {
      EXPECT_TRUE(ValidGpx(base + ".gpx")) << gpx;
    }
  }
}

// tests/data/cases/waypoints.txt: each text read as a waypoint file, with
// its result, messages and the waypoints (times within 5 s of now read "now").
TEST_F(WaypointFiles, EveryCaseOfTheTable) {
  EXPECT_CASES("waypoints.txt", [this](const std::string& text) {
    std::string out = Decode(text);
    for (int32_t i = 0; i < tGps.nWaypoints; ++i) out += Describe(tGps.pWaypoints[i], GetGpsTimeNow()) + "\n";
    return out;
  });
}

TEST_F(WaypointFiles, OziFilesGrowPastTheFirstArray) {
  std::string text = kOziHead;
  char line[64];
  for (int i = 0; i < 250; ++i) {
    std::snprintf(line, sizeof line, "%d,W%d,1,2,0,0,1,3,0,65535,,,,,%d\n", i, i, i * 10);
    text += line;
  }
  EXPECT_EQ(Decode(text), "0 250 waypoints found\n");
  ASSERT_EQ(tGps.nWaypoints, 250);
  for (int i = 0; i < 250; ++i) {
    std::snprintf(line, sizeof line, "W%d", i);
    EXPECT_STREQ(tGps.pWaypoints[i].szName, line);
    EXPECT_EQ(tGps.pWaypoints[i].nAltitudeM, std::lround(i * 10 * 0.3048));
  }
}

TEST_F(WaypointFiles, WholeFilesAndHostileInput) {
  std::snprintf(tGps.szFileName, sizeof tGps.szFileName, "%s", "/nonexistent/none.wpt");
  EXPECT_EQ(Read(), "-1 Couldn't open file for reading\n");
  Decode(kOziHead);
  fs::resize_file(tGps.szFileName, 64 * 1024 * 1024 + 1);
  EXPECT_EQ(Read(), "-1 File is too large\n");
  tGps.bSilent = 1;
  EXPECT_EQ(Decode(kOziHead + "x\r\n"), "-1 ");
  EXPECT_EQ(Decode(kOziHead + std::string(3000000, '9')), "-1 ");  // one endless line

  std::mt19937 random(7);
  const char alphabet[] = "0123456789,. -+NSEWAx[]\r\n\t\xff";
  for (int i = 0; i < 400; ++i) {
    std::string text = i % 2 ? kOziHead : "$FormatGEO\n";
    for (int n = random() % 300; n > 0; --n) text += alphabet[random() % (sizeof alphabet - 1)];
    Decode(text);
    for (int32_t k = 0; k < tGps.nWaypoints; ++k) {
      ASSERT_TRUE(tGps.pWaypoints[k].szName[0] != '\0' && std::abs(Deg(tGps.pWaypoints[k].nLatitude)) < 90 &&
                  tGps.pWaypoints[k].nAltitudeM >= 0);
    }
  }
}

}  // namespace
