// The KML track document: compared with a reference written by a separate
// generator, its line layout, the hash as a reader checks it, and
// well-formedness whatever the instrument calls itself.
#include "formats/google.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/time.h"
#include "formats/hash.h"
#include "frame/state.h"

namespace {

SystemTime kFirstFix{2013, 7, 21, 11, 42, 7};

// The track and analysis that tests/data/kml/make_reference.py describes.
struct Reference {
  std::vector<TrackPoint> points;
  TrackAnalysis a{};
};

Reference ReferenceTrack() {
  Reference r;
  uint32_t t0 = ConvertSystemTimeToGpsTime(&kFirstFix);
  r.points = {
      {1, t0 + 0, 554785426, 95684721, 12345, 1200}, {0, t0 + 5, 554790000, 95690000, -24, -3},
      {0, t0 + 10, 554801234, 95701234, 15, 0},      {0, t0 + 17, 554812345, 95712345, -16, 7},
      {0, t0 + 30, 554823456, 95723456, 0, 8},       {0, t0 + 31, -554834567, -95734567, 9999, 999},
  };
  TrackAnalysis& a = r.a;
  a.nPoints = static_cast<int32_t>(r.points.size());
  a.pPoints = r.points.data();
  a.dwStartTime = t0;
  a.dwEndTime = t0 + 3725;
  a.dwDuration = 3725;
  a.dwDownloadTime = t0 + 7203;
  a.bSigned = 1;
  a.bUtcTime = 1;
  a.bPressureAltitude = 1;
  a.nMaxAltitude = 1235;
  a.nMinAltitude = -2;
  a.dTopSpeed = 41.49;
  a.dMaxMeanSpeed = 30.5;
  a.dTrackLength = 12345.678;
  a.dMinClimb = -1.5;
  a.dMaxClimb = 2.345;
  a.adwOpenIdx[0] = 0;
  a.adwOpenIdx[1] = 5;
  a.dOpenDistance = 9876.5;
  const uint32_t idx3[] = {0, 2, 5}, idx4[] = {0, 1, 3, 5}, idx5[] = {0, 1, 2, 4, 5}, idxOr[] = {0, 3, 5};
  std::memcpy(a.adw3PointIdx, idx3, sizeof idx3);
  std::memcpy(a.adw4PointIdx, idx4, sizeof idx4);
  std::memcpy(a.adw5PointIdx, idx5, sizeof idx5);
  std::memcpy(a.adwOutReturnIdx, idxOr, sizeof idxOr);
  std::memcpy(a.adwFlatIdx, idx5, sizeof idx5);
  a.ad3PointLeg[0] = 1000.4;
  a.ad3PointLeg[1] = 2000.6;
  a.d3PointDistance = 3001.0;
  a.ad4PointLeg[0] = 500.0;
  a.ad4PointLeg[1] = 600.25;
  a.ad4PointLeg[2] = 700.5;
  a.d4PointDistance = 1800.75;
  for (int i = 0; i < 4; ++i) a.ad5PointLeg[i] = 100.0 * (i + 1);
  a.d5PointDistance = 1000.0;
  a.dOutReturnLeg = 1500.0;
  a.dOutReturnClosing = 20.0;
  a.dOutReturnScore = 2980.0;
  for (int i = 0; i < 3; ++i) a.adFlatLeg[i] = 100.0 * (i + 1);
  a.dFlatClosing = 50.0;
  a.dFlatScore = 550.0;
  return r;
}

std::string Make(TrackAnalysis* a, const char* product) {
  std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "%s", product);
  LogTxt text{};
  EXPECT_EQ(MakeGoogleFolder(&text, a), 0);
  std::string doc(text.pBuffer, static_cast<size_t>(text.nLength));
  EXPECT_EQ(std::strlen(text.pBuffer), doc.size());
  FreeLogTxt(&text);
  return doc;
}

std::vector<std::string> Lines(const std::string& doc) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = doc.find("\r\n", start)) != std::string::npos) {
    lines.push_back(doc.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, doc.size()) << "text after the last line end";
  return lines;
}

// The lines between an opening and a closing element line (the last such
// pair in the document: the track line comes last).
std::vector<std::string> Block(const std::string& doc, const std::string& open, const std::string& close) {
  std::vector<std::string> lines = Lines(doc), block;
  size_t first = 0, last = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == open) first = i;
    if (lines[i] == close) last = i;
  }
  if (first < last) block.assign(lines.begin() + static_cast<long>(first) + 1, lines.begin() + static_cast<long>(last));
  return block;
}

std::string Attribute(const std::string& doc, const std::string& name) {
  size_t at = doc.find(" " + name + "=\"");
  if (at == std::string::npos) return "<none>";
  at += name.size() + 3;
  return doc.substr(at, doc.find('"', at) - at);
}

std::string WriteTemp(const std::string& doc) {
  char path[] = "/tmp/velmora-kml-XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, doc.data(), doc.size()), static_cast<ssize_t>(doc.size()));
  close(fd);
  return path;
}

// Runs xmllint on the document: "" when it is not well-formed, otherwise
// the string value of `xpath` as an XML reader recovers it ("ok" without one).
std::string Xmllint(const std::string& doc, const std::string& xpath = "") {
  std::string path = WriteTemp(doc);
  std::string command = "xmllint --noout " + path + " 2>/dev/null";
  if (!xpath.empty()) command = "xmllint --xpath '" + xpath + "' " + path + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[512];
  size_t n;
  while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = pipe != nullptr ? pclose(pipe) : -1;
  unlink(path.c_str());
  if (status != 0) return "";
  if (!out.empty() && out.back() == '\n') out.pop_back();  // xmllint ends its answer with a line end
  return xpath.empty() ? "ok" : out;
}

// What a reader holding the key does: takes the values back out of the
// document and hashes them in their order, each followed by a blank except
// the last of its list.
std::string VerifyHash(const std::string& doc) {
  HashState h;
  HashInit(&h);
  char key[18];
  GetXmlStart(key);
  HashString(&h, key);
  HashString(&h, Attribute(doc, "time_of_first_point").c_str());
  std::string instrument = Xmllint(doc, "string(//FsInfo/@instrument)");
  HashString(&h, instrument.c_str());
  if (doc.find(" downloaded=\"") != std::string::npos) HashString(&h, Attribute(doc, "downloaded").c_str());
  auto hashList = [&h](const std::vector<std::string>& lines) {
    std::string joined;
    for (const std::string& line : lines) joined += line + " ";
    std::istringstream in(joined);
    std::vector<std::string> items;
    for (std::string item; in >> item;) items.push_back(item);
    for (size_t i = 0; i < items.size(); ++i) HashString(&h, (items[i] + (i + 1 < items.size() ? " " : "")).c_str());
  };
  hashList(Block(doc, "          <SecondsFromTimeOfFirstPoint>", "          </SecondsFromTimeOfFirstPoint>"));
  hashList(Block(doc, "          <PressureAltitude>", "          </PressureAltitude>"));
  hashList(Block(doc, "        <coordinates>", "        </coordinates>"));
  HashFinish(&h);
  char digest[41];
  std::snprintf(digest, sizeof digest, "%08X%08X%08X%08X%08X", h.adwChain[0], h.adwChain[1], h.adwChain[2],
                h.adwChain[3], h.adwChain[4]);
  return digest;
}

std::vector<TrackPoint> Straight(int count, int32_t altitude) {
  std::vector<TrackPoint> points;
  for (int i = 0; i < count; ++i) {
    points.push_back({i == 0 ? 1u : 0u, 700000000u + static_cast<uint32_t>(i), 554785426 + i * 1000,
                      95684721 + i * 1000, altitude, 100 + i});
  }
  return points;
}

TrackAnalysis Unsigned(std::vector<TrackPoint>& points) {
  TrackAnalysis a{};
  a.nPoints = static_cast<int32_t>(points.size());
  a.pPoints = points.data();
  a.dwDownloadTime = 0xFFFFFFFFu;
  a.bUtcTime = 1;
  return a;
}

TEST(GoogleKml, ReferenceDocumentByteForByte) {
  Reference r = ReferenceTrack();
  std::string doc = Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 ");
  std::ifstream in(std::string(VELMORA_TEST_DATA) + "/kml/reference.kml", std::ios::binary);
  ASSERT_TRUE(in.good());
  std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> got = Lines(doc), want = Lines(expected);
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << "line " << i + 1;
  EXPECT_EQ(doc, expected);
  EXPECT_EQ(Xmllint(doc), "ok");
}

TEST(GoogleKml, ValueListsBreakAfter25AndCoordinatesAfter5) {
  std::vector<TrackPoint> points = Straight(25, 100);
  TrackAnalysis a = Unsigned(points);
  a.bPressureAltitude = 1;
  std::string doc = Make(&a, "");
  auto seconds = Block(doc, "          <SecondsFromTimeOfFirstPoint>", "          </SecondsFromTimeOfFirstPoint>");
  ASSERT_EQ(seconds.size(), 1u);
  EXPECT_EQ(seconds[0].substr(0, 6), "0 1 2 ");
  EXPECT_EQ(seconds[0].substr(seconds[0].size() - 6), " 23 24") << "no blank after the last value";
  EXPECT_EQ(Block(doc, "        <coordinates>", "        </coordinates>").size(), 5u);

  points = Straight(26, 100);
  a = Unsigned(points);
  a.bPressureAltitude = 1;
  doc = Make(&a, "");
  seconds = Block(doc, "          <SecondsFromTimeOfFirstPoint>", "          </SecondsFromTimeOfFirstPoint>");
  ASSERT_EQ(seconds.size(), 2u);
  EXPECT_EQ(seconds[0].substr(seconds[0].size() - 4), " 24 ") << "a full line keeps the blank";
  EXPECT_EQ(seconds[1], "25");
  auto pressure = Block(doc, "          <PressureAltitude>", "          </PressureAltitude>");
  ASSERT_EQ(pressure.size(), 2u);
  EXPECT_EQ(pressure[1], "125");
  auto coordinates = Block(doc, "        <coordinates>", "        </coordinates>");
  ASSERT_EQ(coordinates.size(), 6u);
  EXPECT_EQ(std::count(coordinates[0].begin(), coordinates[0].end(), ' '), 5) << coordinates[0];
  EXPECT_EQ(coordinates[5].find(' '), std::string::npos) << "one item, no trailing blank";

  points = Straight(5, 100);
  a = Unsigned(points);
  doc = Make(&a, "");
  coordinates = Block(doc, "        <coordinates>", "        </coordinates>");
  ASSERT_EQ(coordinates.size(), 1u);
  EXPECT_NE(coordinates[0].back(), ' ');
  EXPECT_EQ(doc.find("<PressureAltitude>"), std::string::npos) << "only when the points carry it";
}

TEST(GoogleKml, AltitudeModeAndRoundingBelowSeaLevel) {
  std::vector<TrackPoint> points = Straight(6, 0);
  TrackAnalysis a = Unsigned(points);
  std::string doc = Make(&a, "");
  EXPECT_NE(doc.find("\r\n        <altitudeMode>clampedToGround</altitudeMode>\r\n"), std::string::npos);

  points[4].nGpsAltitude = -15;  // -1.5 m: halves go upward
  doc = Make(&a, "");
  EXPECT_NE(doc.find("\r\n        <altitudeMode>absolute</altitudeMode>\r\n"), std::string::npos);
  auto coordinates = Block(doc, "        <coordinates>", "        </coordinates>");
  ASSERT_EQ(coordinates.size(), 2u);
  EXPECT_NE(coordinates[0].find(",-1 "), std::string::npos) << coordinates[0];
  points[4].nGpsAltitude = -16;  // -1.6 m is nearer -2 than -1
  doc = Make(&a, "");
  EXPECT_NE(doc.find(",-2 "), std::string::npos);
  points[4].nGpsAltitude = 14;
  doc = Make(&a, "");
  EXPECT_NE(doc.find(",1 "), std::string::npos);
}

TEST(GoogleKml, InvalidTimesBecomeIndexTimesWithoutUtcMark) {
  for (uint32_t bad : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    std::vector<TrackPoint> points = Straight(7, 100);
    points[3].dwTime = bad;
    TrackAnalysis a = Unsigned(points);
    a.adwOpenIdx[1] = 6;
    std::string doc = Make(&a, "");
    EXPECT_EQ(Attribute(doc, "time_of_first_point"), "1989-12-31T00:00:00") << bad;
    EXPECT_EQ(a.bUtcTime, 0u);
    auto seconds = Block(doc, "          <SecondsFromTimeOfFirstPoint>", "          </SecondsFromTimeOfFirstPoint>");
    ASSERT_EQ(seconds.size(), 1u);
    EXPECT_EQ(seconds[0], "0 5 10 15 20 25 30");
    // The table rows show the same stand-in times; the caller's track is untouched.
    EXPECT_NE(doc.find("\r\n B     7  00:00:30  N "), std::string::npos);
    EXPECT_EQ(points[3].dwTime, bad);
    EXPECT_EQ(points[4].dwTime, 700000004u);
  }
}

TEST(GoogleKml, HashCoversTheValuesAReaderRecovers) {
  Reference r = ReferenceTrack();
  std::string doc = Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 ");
  std::string hash = Attribute(doc, "hash");
  ASSERT_EQ(hash.size(), 40u);
  EXPECT_EQ(hash.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(VerifyHash(doc), hash);

  // The statistics are not covered; a coordinate, a second or a pressure
  // altitude is.
  r.a.dTrackLength += 1000.0;
  r.a.nMaxAltitude += 1;
  EXPECT_EQ(Attribute(Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 "), "hash"), hash);
  r = ReferenceTrack();
  r.points[2].nLongitude += 100;
  EXPECT_NE(Attribute(Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 "), "hash"), hash);
  r = ReferenceTrack();
  r.points[4].dwTime += 1;
  EXPECT_NE(Attribute(Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 "), "hash"), hash);
  r = ReferenceTrack();
  r.points[1].nPressureAltitude += 1;
  EXPECT_NE(Attribute(Make(&r.a, "Flymaster <GpsX> \"A&B\"\t v1.2 "), "hash"), hash);
  r = ReferenceTrack();
  EXPECT_NE(Attribute(Make(&r.a, "Flymaster <GpsX> 'A&B' v1.2"), "hash"), hash);

  r = ReferenceTrack();
  r.a.bSigned = 0;
  doc = Make(&r.a, "Flymaster");
  EXPECT_EQ(Attribute(doc, "hash"), "<none>");
  EXPECT_EQ(Attribute(doc, "instrument"), "Flymaster");
}

TEST(GoogleKml, WellFormedWhateverTheInstrumentReports) {
  struct Case {
    const char* product;
    const char* recovered;  // the attribute value an XML reader gets back
  } cases[] = {
      {"A&B <x> \"q\" ]]> 'a'", "A&B <x> \"q\" ]]> 'a'"},
      {"Ctl\x01\x02\x1b[0m\x7f end", "Ctl [0m end"},
      {"Temp 20\xb0 \xe9t\xe9", "Temp 20\xc2\xb0 \xc3\xa9t\xc3\xa9"},  // Latin-1 re-encoded
      {"Bad \x80\x9f utf8 \xc3", "Bad ?? utf8 \xc3\x83"},
      {"Ok \xc3\xa9 \xe2\x82\xac", "Ok \xc3\xa9 \xe2\x82\xac"},  // valid UTF-8 stays
      {"Surrogate \xed\xa0\x80", "Surrogate \xc3\xad\xc2\xa0?"},
  };
  for (const Case& c : cases) {
    Reference r = ReferenceTrack();
    std::string doc = Make(&r.a, c.product);
    ASSERT_EQ(Xmllint(doc), "ok") << c.product;
    EXPECT_EQ(Xmllint(doc, "string(//FsInfo/@instrument)"), c.recovered);
    EXPECT_EQ(VerifyHash(doc), Attribute(doc, "hash")) << c.product;
  }
  // 80 characters of two-byte text: the attribute still closes.
  std::string wide(80, '\xe9');
  Reference r = ReferenceTrack();
  std::string doc = Make(&r.a, wide.c_str());
  EXPECT_EQ(Xmllint(doc, "string-length(//FsInfo/@instrument)"), "79");

  for (const char* blank : {"", "   ", " \t\r\n ", "\x01\x02"}) {
    doc = Make(&r.a, blank);
    EXPECT_EQ(doc.find("instrument="), std::string::npos);
    EXPECT_EQ(Xmllint(doc), "ok");
  }
}

TEST(GoogleKml, PlacemarksWithoutAFigureShowTheFirstPoint) {
  std::vector<TrackPoint> points = Straight(6, 100);
  TrackAnalysis a = Unsigned(points);
  a.adwFaiIdx[2] = 99;  // out of range: read as the first point, never past the track
  std::string doc = Make(&a, "");
  std::vector<std::string> lines = Lines(doc);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "    <Placemark>"), 8);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "        <FsInfo track_idx=\"0 0 0 0 0\" />"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), " E     1  20:26:40  N 46  30  05.68  E 008  01  12.72  0.00"), 3);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "                                                  Sum  0.00"), 6);
}

}  // namespace
