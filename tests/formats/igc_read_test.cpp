// The IGC reader: record order and its messages, the date and position
// fields, midnight, line handling, every real file of the shared test data,
// and arbitrary bytes.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "common/time.h"
#include "formats/igc.h"
#include "frame/state.h"

#include "cases.h"

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

const std::string kHead = "AXYZ001 test\r\nHFDTE150619\r\n";
const std::string kFix = "B1200004630000N00800000EA0123401250";  // 46.5 N, 8 E, 1234 m / 1250 m

std::string Point(const TrackPoint& p) {
  SystemTime st;
  ConvertGpsTimeToSystemTime(p.dwTime, &st);
  char text[160];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u %d %d baro %d gps %d flags %u\n", st.wYear, st.wMonth,
                st.wDay, st.wHour, st.wMinute, st.wSecond, p.nLatitude, p.nLongitude, p.nPressureAltitude,
                p.nGpsAltitude, p.dwFlags);
  return text;
}

// tests/data/cases/igc_read.txt: "file\tTEXT" decodes a whole file (its
// result, messages and points), "date\tTEXT" a date line, "pos\tTEXT" a B
// record without its "B" (the time of day in seconds since GPS day 0).
std::string RunCase(const std::string& input) {
  std::vector<std::string> f = cases::Fields(input);
  std::string text = f.size() > 1 ? f[1] : "";
  if (f[0] == "date") {
    uint32_t date = 0;
    int r = DecodeDateSentence(text.c_str(), &date);
    TrackPoint p{0, date, 0, 0, 0, 0};
    return std::to_string(r) + " " + Point(p);
  }
  if (f[0] == "pos") {
    TrackPoint p{};
    int r = DecodePosSentence(text.c_str(), &p);
    return std::to_string(r) + " " + Point(p);
  }
  Decoded d = Decode(text);
  std::string out = d.out + "result " + std::to_string(d.result) + "\n";
  if (d.result < 0 && (tGps.pTrack != nullptr || tGps.nTrackPoints != 0)) out += "a failure left points\n";
  for (int32_t i = 0; i < tGps.nTrackPoints; ++i) out += Point(tGps.pTrack[i]);
  return out;
}

TEST(IgcRead, EveryCaseOfTheTable) { EXPECT_CASES("igc_read.txt", RunCase); }

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
  EXPECT_GE(files, 13);
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
