// The IGC reader: record order and its messages, the date and position
// fields, midnight, line handling, every real file of the shared test data,
// and arbitrary bytes.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <string>

#include "common/time.h"
#include "formats/igc.h"
#include "frame/state.h"

namespace {

struct Decoded {
  int result;
  std::string out;
};

Decoded Decode(const std::string& text) {
  testing::internal::CaptureStdout();
  int result = DecodeIgcBuffer(text.data(), text.size());
  std::fflush(stdout);
  return {result, testing::internal::GetCapturedStdout()};
}

uint32_t Day(uint32_t year, uint32_t month, uint32_t day) {
  SystemTime st{year, month, day, 0, 0, 0};
  return ConvertSystemTimeToGpsTime(&st);
}

int32_t Semicircles(double degrees) { return static_cast<int32_t>(std::llround(degrees / 180.0 * 2147483648.0)); }

const std::string kHead = "AXYZ001 test\r\nHFDTE150619\r\n";
const std::string kFix = "B1200004630000N00800000EA0123401250";  // 46.5 N, 8 E, 1234 m / 1250 m

// kFix at another time of day, "hhmmss".
std::string FixAt(const char* time) {
  std::string line = kFix;
  line.replace(1, 6, time);
  return line;
}

TEST(IgcRead, RecordOrderRulesAndTheirMessages) {
  struct Case {
    std::string text;
    std::string out;
  } cases[] = {
      {"HFDTE150619\r\n" + kFix + "\r\n", "Missing A-record\n"},
      {"AXYZ\r\n" + kFix + "\r\nHFDTE150619\r\n", "Missing date line\n"},
      {kHead + "AXYZ002\r\n", "Multiple A-records\n"},
      {"AXY\r\n", "Too short A-record\n"},
      {"AX-Z001\r\n", "Bad IGC manufacturer found in the A-record\n"},
      {kHead + "HFDTE160619\r\n", "Multiple date lines\n"},
      {"AXYZ\r\nHFPLTPILOT:x\r\nHFDTE150619x\r\n", "Date error 1 on line 3\n"},
      {"I013638FXA\r\nAXYZ\r\n", "Missing A-record\n"},
      {"G0123\r\nAXYZ\r\n", "Missing A-record\n"},
      {"CNOTHING\r\nLXXX\r\n", "No A-record found\n"},
      {kHead + "LXXX comment\r\n", "No positions found\n"},
      {kHead + kFix + "\r\n" + "B1260004630000N00800000EA0123401250\r\n", "Pos. error 4 on line 4\n"},
  };
  for (const Case& c : cases) {
    Decoded d = Decode(c.text);
    EXPECT_EQ(d.result, -1) << c.text;
    EXPECT_EQ(d.out, c.out) << c.text;
    EXPECT_EQ(tGps.pTrack, nullptr);
    EXPECT_EQ(tGps.nTrackPoints, 0);
  }

  // Records passed over without checks may stand before the A record; the
  // G records are counted.
  Decoded d = Decode("\r\nCX\r\nLXXX\r\nE1\r\nAXYZ\r\nHFDTE150619\r\nI013638FXA\r\n" + kFix +
                     "000\r\nGAB\r\nGCD\r\n");
  EXPECT_EQ(d.out, "");
  EXPECT_EQ(d.result, 2);
  ASSERT_EQ(tGps.nTrackPoints, 1);
  EXPECT_EQ(tGps.pTrack[0].dwFlags, 1u);
}

TEST(IgcRead, DateLineForms) {
  // No check of the month's length: 31 February 2012 is 2 March.
  for (const char* good : {"310212", "DATE:310212,01", "DATE:310212"}) {
    uint32_t date = 0;
    EXPECT_EQ(DecodeDateSentence(good, &date), 0) << good;
    EXPECT_EQ(date, Day(2012, 3, 2)) << good;
  }
  uint32_t date;
  for (const char* bad : {"", "31021", "3102125", "310212 ", "DATE:", "DATE:310212x", "DATE:31021,", "000112",
                          "320112", "010012", "011312", "01A212", "DATE 310212"}) {
    EXPECT_EQ(DecodeDateSentence(bad, &date), -1) << bad;
  }
}

TEST(IgcRead, PositionFieldsAndTheirErrorNumbers) {
  TrackPoint p{};
  ASSERT_EQ(DecodePosSentence(kFix.c_str() + 1, &p), 0);
  EXPECT_EQ(p.dwTime, 12u * 3600u);
  EXPECT_EQ(p.nLatitude, Semicircles(46.5));
  EXPECT_EQ(p.nLongitude, Semicircles(8.0));
  EXPECT_EQ(p.nPressureAltitude, 1234);
  EXPECT_EQ(p.nGpsAltitude, 12500);

  // South and west, a negative pressure altitude, a "V" fix and extensions.
  ASSERT_EQ(DecodePosSentence("2359593345123S07030456WV-001200873EXTENSION", &p), 0);
  EXPECT_EQ(p.dwTime, 86399u);
  EXPECT_EQ(p.nLatitude, Semicircles(-(33 + 45.123 / 60)));
  EXPECT_EQ(p.nLongitude, Semicircles(-(70 + 30.456 / 60)));
  EXPECT_EQ(p.nPressureAltitude, -12);
  EXPECT_EQ(p.nGpsAltitude, 8730);

  // 179 degrees 60 minutes is the 180th meridian, east or west.
  ASSERT_EQ(DecodePosSentence("1200008960000N17960000EA0000000000", &p), 0);
  EXPECT_EQ(p.nLongitude, INT32_MIN);
  EXPECT_EQ(p.nLatitude, Semicircles(90.0));
  ASSERT_EQ(DecodePosSentence("1200000000000S17960000WA0000000000", &p), 0);
  EXPECT_EQ(p.nLongitude, INT32_MIN);

  const std::string good = "1200004630000N00800000EA0123401250";
  struct Case {
    size_t pos;
    std::string with;
    int error;
  } cases[] = {
      {0, "x", -1},   {0, "24", -2},   {2, "x", -3},    {2, "60", -4},    {4, " ", -5},    {4, "60", -6},
      {6, "x", -7},   {6, "90", -8},   {8, "x", -9},    {8, "60001", -10}, {13, "E", -11}, {14, "x", -12},
      {14, "180", -13}, {17, "-", -14}, {17, "60001", -15}, {22, "N", -16}, {24, "x", -18}, {24, "--", -18},
      {29, "-123x", -18},
  };
  for (const Case& c : cases) {
    std::string t = good;
    t.replace(c.pos, c.with.size(), c.with);
    EXPECT_EQ(DecodePosSentence(t.c_str(), &p), c.error) << t;
  }
  // Cut short: the first missing field reports itself.
  for (auto [length, error] : {std::pair{0, -1}, {11, -9}, {23, -17}, {24, -18}, {29, -18}, {33, -18}}) {
    EXPECT_EQ(DecodePosSentence(good.substr(0, static_cast<size_t>(length)).c_str(), &p), error) << length;
  }
}

TEST(IgcRead, MidnightAdvancesTheDateButSmallStepsBackDoNot) {
  std::string text = kHead;
  for (const char* t : {"235959", "000001", "003000", "000001", "013000", "003000"}) text += FixAt(t) + "\n";
  ASSERT_EQ(Decode(text).result, 0);
  ASSERT_EQ(tGps.nTrackPoints, 6);
  uint32_t day = Day(2019, 6, 15);
  EXPECT_EQ(tGps.pTrack[0].dwTime, day + 86399);
  EXPECT_EQ(tGps.pTrack[1].dwTime, day + 86401);
  EXPECT_EQ(tGps.pTrack[3].dwTime, day + 86401) << "30 minutes back stay on the day";
  EXPECT_EQ(tGps.pTrack[5].dwTime, day + 2 * 86400 + 1800) << "an hour back is the next day";
  EXPECT_EQ(tGps.pTrack[0].dwFlags, 1u);
  EXPECT_EQ(tGps.pTrack[1].dwFlags, 0u);
}

TEST(IgcRead, LineHandling) {
  // Only a line's first 82 characters count; what follows a CR is not seen.
  // Text after the last line end: a complete record there is read, one cut
  // off when the file ended is passed over.
  struct Case {
    std::string text;
    int result, points;
  } cases[] = {
      {kHead + "HFPLT" + std::string(5000, 'x') + "\r\n" + kFix + std::string(60, '9') + "\r\n" + kFix +
           "\rB9\n",
       0, 2},
      {kHead + kFix + "\r\n" + kFix, 0, 2},
      {kHead + kFix + "\r\n" + kFix.substr(0, 20), 0, 1},
      {kHead + kFix + "\r\nGABC", 1, 1},
      {kHead + kFix, 0, 1},
  };
  for (const Case& c : cases) {
    Decoded d = Decode(c.text);
    EXPECT_EQ(d.out, "");
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(tGps.nTrackPoints, c.points);
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(IgcRead, EveryRealFileOfTheSharedData) {
  std::string folder = std::string(VELMORA_TESTDATA_DIR) + "/igc";
  DIR* dir = opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  int files = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() < 4 || (name.substr(name.size() - 4) != ".igc" && name.substr(name.size() - 4) != ".IGC")) continue;
    std::string text = ReadAll(folder + "/" + name);
    int b = 0, g = 0;
    for (size_t start = 0; start < text.size();) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      b += text[start] == 'B';
      g += text[start] == 'G';
      start = end + 1;
    }
    Decoded d = Decode(text);
    EXPECT_EQ(d.out, "") << name;
    EXPECT_EQ(d.result, g) << name;
    EXPECT_EQ(tGps.nTrackPoints, b) << name;
    ++files;
  }
  closedir(dir);
  EXPECT_GE(files, 15);
}

TEST(IgcRead, ArbitraryBytesNeverCrash) {
  std::mt19937 random(20240607);
  for (int round = 0; round < 200; ++round) {
    std::string text(static_cast<size_t>(random() % 4000), '\0');
    for (char& c : text) c = static_cast<char>(random());
    // Every other round starts like a real file, so decoding goes deeper.
    if (round % 2 == 0) text = kHead + kFix + "\r\n" + text;
    Decoded d = Decode(text);
    if (d.result < 0) {
      EXPECT_EQ(tGps.pTrack, nullptr);
      EXPECT_FALSE(d.out.empty()) << "every failure says why";
    }
  }
  EXPECT_EQ(Decode(std::string(100000, '\0')).out, "No A-record found\n");
  EXPECT_EQ(Decode(kHead + std::string(1000000, 'B')).out, "No positions found\n");
  std::string withNul = kHead + kFix + "\r\n";
  withNul[withNul.size() - 10] = '\0';
  EXPECT_EQ(Decode(withNul).out, "Pos. error 18 on line 3\n");
}

TEST(IgcRead, ConvertedFileNames) {
  char name[kTranslatedNameSize];
  std::string n300(300, 'n');
  for (auto [source, kml] : {std::pair<std::string, std::string>{"flight.igc", "flight.kml"},
                             {"flight.IGC", "flight.IGC.kml"}, {".igc", ".igc.kml"}, {"a.igc", "a.kml"},
                             {"x.igc.igc", "x.igc.kml"}, {n300, n300 + ".kml"}}) {
    MakeTranslatedFileName(source.c_str(), name);
    EXPECT_EQ(name, kml) << source;
  }
}

}  // namespace
