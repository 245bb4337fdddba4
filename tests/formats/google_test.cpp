// The KML track document: byte for byte against a reference made by a
// separate generator (kept in the history of tests/data/kml/, it also
// computed the hash on its own), the list layouts, and well-formedness whatever the
// instrument calls itself.
#include "formats/google.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/time.h"
#include "frame/state.h"

namespace {

struct Track {
  std::vector<TrackPoint> points;
  TrackAnalysis a{};
};

// The track and analysis that tests/data/kml/reference.kml describes.
Track ReferenceTrack() {
  SystemTime first{2013, 7, 21, 11, 42, 7};
  uint32_t t0 = ConvertSystemTimeToGpsTime(&first);
  Track r;
  r.points = {{1, t0, 554785426, 95684721, 12345, 1200},       {0, t0 + 5, 554790000, 95690000, -24, -3},
              {0, t0 + 10, 554801234, 95701234, 15, 0},        {0, t0 + 17, 554812345, 95712345, -16, 7},
              {0, t0 + 30, 554823456, 95723456, 0, 8},         {0, t0 + 31, -554834567, -95734567, 9999, 999}};
  TrackAnalysis& a = r.a;
  a = TrackAnalysis{6, r.points.data(), t0, t0 + 3725, 3725, t0 + 7203, 1, 1, 1, -2, 1235, 41.49, 30.5,
                    12345.678, -1.5, 2.345, {0, 5}, 9876.5, {0, 2, 5}, {1000.4, 2000.6}, 3001.0, {0, 1, 3, 5},
                    {500.0, 600.25, 700.5}, 1800.75, {0, 1, 2, 4, 5}, {100, 200, 300, 400}, 1000.0, {0, 3, 5},
                    1500.0, 20.0, 2980.0, {0, 1, 2, 4, 5}, {100, 200, 300}, 50.0, 550.0, {}, {}, 0.0, 0.0, 0, 0};
  return r;
}

Track Straight(int count, int32_t altitude) {
  Track r;
  for (int i = 0; i < count; ++i) {
    r.points.push_back({i == 0 ? 1u : 0u, 700000000u + static_cast<uint32_t>(i), 554785426 + i * 1000,
                        95684721 + i * 1000, altitude, 100 + i});
  }
  r.a.nPoints = count;
  r.a.pPoints = r.points.data();
  r.a.dwDownloadTime = 0xFFFFFFFFu;
  r.a.bUtcTime = 1;
  r.a.bPressureAltitude = 1;
  return r;
}

std::string Make(TrackAnalysis* a, const std::string& product = "") {
  std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "%s", product.c_str());
  LogTxt text{};
  EXPECT_EQ(MakeGoogleFolder(&text, a), 0);
  std::string doc(text.pBuffer, static_cast<size_t>(text.nLength));
  FreeLogTxt(&text);
  return doc;
}

// The lines between the last `open` line and the last `close` line.
std::vector<std::string> Block(const std::string& doc, const std::string& open, const std::string& close) {
  size_t from = doc.rfind("\r\n" + open + "\r\n"), to = doc.rfind("\r\n" + close + "\r\n");
  std::vector<std::string> lines;
  if (from == std::string::npos || to == std::string::npos || to < from) return lines;
  for (size_t at = from + open.size() + 4; at < to + 2;) {
    size_t end = doc.find("\r\n", at);
    lines.push_back(doc.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

std::vector<std::string> Seconds(const std::string& doc) {
  return Block(doc, "          <SecondsFromTimeOfFirstPoint>", "          </SecondsFromTimeOfFirstPoint>");
}

// xmllint's verdict: "" when the document is not well-formed, otherwise the
// string value of `xpath` as an XML reader recovers it ("ok" without one).
std::string Xmllint(const std::string& doc, const std::string& xpath = "") {
  char path[] = "/tmp/velmora-kml-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
  close(fd);
  std::string command = xpath.empty() ? "xmllint --noout " + std::string(path)
                                      : "xmllint --xpath '" + xpath + "' " + std::string(path);
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  std::string out;
  char buffer[512];
  for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int status = pipe != nullptr ? pclose(pipe) : -1;
  unlink(path);
  if (status != 0) return "";
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return xpath.empty() ? "ok" : out;
}

TEST(GoogleKml, ReferenceDocumentByteForByte) {
  // Covers the seven placemarks, an escaped instrument name hashed as a
  // reader recovers it, rounding below sea level and a second coordinate line.
  Track r = ReferenceTrack();
  std::string doc = Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 ");
  std::ifstream in(std::string(VELMORA_TEST_DATA) + "/kml/reference.kml", std::ios::binary);
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(expected.empty());
  for (size_t at = 0, line = 1; at < doc.size() && at < expected.size(); ++line) {
    size_t end = doc.find("\r\n", at);
    ASSERT_EQ(doc.substr(at, end - at), expected.substr(at, end - at)) << "line " << line;
    at = end == std::string::npos ? doc.size() : end + 2;
  }
  EXPECT_EQ(doc, expected);
  EXPECT_EQ(Xmllint(doc), "ok");

  r.a.bSigned = 0;
  EXPECT_EQ(Make(&r.a, "x").find(" hash=\""), std::string::npos);
}

TEST(GoogleKml, ListLinesAndAltitudeMode) {
  Track r = Straight(26, 0);
  std::string doc = Make(&r.a);
  EXPECT_NE(doc.find("\r\n        <altitudeMode>clampedToGround</altitudeMode>\r\n"), std::string::npos);
  r.points[13].nGpsAltitude = -1;  // one non-zero altitude anywhere makes the line absolute
  doc = Make(&r.a);
  EXPECT_NE(doc.find("\r\n        <altitudeMode>absolute</altitudeMode>\r\n"), std::string::npos);
  std::vector<std::string> seconds = Seconds(doc);
  ASSERT_EQ(seconds.size(), 2u);
  EXPECT_EQ(seconds[0].substr(0, 6), "0 1 2 ");
  EXPECT_EQ(seconds[0].substr(seconds[0].size() - 4), " 24 ");
  EXPECT_EQ(seconds[1], "25");
  EXPECT_EQ(Block(doc, "          <PressureAltitude>", "          </PressureAltitude>").back(), "125");
  std::vector<std::string> coordinates = Block(doc, "        <coordinates>", "        </coordinates>");
  ASSERT_EQ(coordinates.size(), 6u);
  EXPECT_EQ(coordinates[5], "8.022296,46.503673,0");
}

TEST(GoogleKml, InvalidTimesBecomeIndexTimesInTheDocumentOnly) {
  for (uint32_t bad : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    Track r = Straight(7, 100);
    r.points[3].dwTime = bad;
    r.a.adwOpenIdx[1] = 6;
    std::string doc = Make(&r.a);
    EXPECT_NE(doc.find(" time_of_first_point=\"1989-12-31T00:00:00\">\r\n"), std::string::npos) << bad;
    EXPECT_EQ(r.a.bUtcTime, 0u);
    EXPECT_EQ(Seconds(doc), std::vector<std::string>{"0 5 10 15 20 25 30"});
    EXPECT_NE(doc.find("\r\n B     7  00:00:30  N 46  30  "), std::string::npos);
    EXPECT_EQ(r.points[3].dwTime, bad);
    EXPECT_EQ(r.points[4].dwTime, 700000004u);
  }
}

TEST(GoogleKml, WellFormedWhateverTheInstrumentReports) {
  struct Case {
    std::string product;
    std::string recovered;  // the attribute value an XML reader gets back
  } cases[] = {
      {"A&B <x> \"q\" ]]> 'a'", "A&B <x> \"q\" ]]> 'a'"},
      {"Ctl\x01\x02\x1b[0m\x7f end", "Ctl [0m end"},
      {"Temp 20\xb0 \xe9t\xe9", "Temp 20\xc2\xb0 \xc3\xa9t\xc3\xa9"},  // Latin-1 re-encoded
      {"Bad \x80\x9f utf8 \xc3", "Bad ?? utf8 \xc3\x83"},
      {"Ok \xc3\xa9 \xe2\x82\xac", "Ok \xc3\xa9 \xe2\x82\xac"},
      {"Surrogate \xed\xa0\x80", "Surrogate \xc3\xad\xc2\xa0?"},
  };
  for (const Case& c : cases) {
    Track r = ReferenceTrack();
    std::string doc = Make(&r.a, c.product);
    ASSERT_EQ(Xmllint(doc), "ok") << c.product;
    EXPECT_EQ(Xmllint(doc, "string(//FsInfo/@instrument)"), c.recovered);
  }
  // 79 characters kept, each growing to two bytes: the attribute still closes.
  Track r = ReferenceTrack();
  EXPECT_EQ(Xmllint(Make(&r.a, std::string(80, '\xe9')), "string-length(//FsInfo/@instrument)"), "79");
  for (const char* blank : {"", "   ", " \t\r\n ", "\x01\x02"}) {
    Track r = ReferenceTrack();
    std::string doc = Make(&r.a, blank);
    EXPECT_EQ(doc.find("instrument="), std::string::npos);
    EXPECT_EQ(Xmllint(doc), "ok");
  }
}

}  // namespace
