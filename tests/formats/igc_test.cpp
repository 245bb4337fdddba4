// The IGC writer: record bytes, header texts, C records, the checksum and the
// G record, and one reference file that pins the signature forever.
#include "formats/igc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "common/time.h"

namespace {

uint32_t GpsTime(uint32_t h, uint32_t mi, uint32_t s) {
  SystemTime st{2013, 7, 21, h, mi, s};
  return ConvertSystemTimeToGpsTime(&st);
}
const uint32_t kT0 = GpsTime(11, 42, 7);

TrackPoint Point(uint32_t time, double lat, double lon, int32_t gpsDm, int32_t pressureM) {
  auto semicircles = [](double deg) { return static_cast<int32_t>(std::lround(deg / 180.0 * 2147483648.0)); };
  return TrackPoint{0, time, semicircles(lat), semicircles(lon), gpsDm, pressureM};
}

// Texts: pilot, glider type, glider ID, class, site, product, after "XVM".
std::string Encode(const std::vector<TrackPoint>& track, int sign, std::vector<const char*> t = {},
                   const TaskState* task = nullptr) {
  t.resize(7, nullptr);
  char* out = nullptr;
  int n = EncodeIgcLog(track.data(), static_cast<int32_t>(track.size()), t[0], t[1], t[2], t[3], t[4], t[5], t[6],
                       task, GpsTime(18, 5, 9), &out, sign);
  EXPECT_GE(n, 0);
  if (n < 0) return {};
  std::string text(out, static_cast<size_t>(n));
  std::free(out);
  return text;
}

TEST(IgcWriter, BRecordsCarryPositionTimeAndClampedAltitudes) {
  struct Case {
    TrackPoint p;
    const char* line;
  } cases[] = {
      {Point(kT0, -16.5, 7.25, 12345, 1200), "\nB1142071630000S00715000EA0120001235\r\n"},
      {Point(kT0 + 3, 45.12345, -122.5, 0, 0), "\nB1142104507407N12230000WA0000000000\r\n"},
      {Point(kT0 + 60, 0, 0, -14, -12), "\nB1143070000000N00000000EA-0012-0001\r\n"},
      {Point(kT0, 0, 0, -15, 0), "\nB1142070000000N00000000EA00000-0001\r\n"},
      {Point(kT0, 0, 0, -16, 0), "\nB1142070000000N00000000EA00000-0002\r\n"},
      {Point(kT0, 0, 0, -120, 0), "\nB1142070000000N00000000EA00000-0012\r\n"},
      {Point(kT0, 0, 0, 1500000, -20000), "\nB1142070000000N00000000EA-999999999\r\n"},
      {Point(kT0, -89.99999, 179.99999, -2000000, 2000000), "\nB1142078959999S17959999EA99999-9999\r\n"},
  };
  for (const Case& c : cases) EXPECT_NE(Encode({c.p}, 0).find(c.line), std::string::npos) << c.line;
}

TEST(IgcWriter, HeaderLinesWithEmptyAndFilledTexts) {
  const std::vector<TrackPoint> track = {Point(kT0, 46, 8, 10000, 0)};
  const std::string empty =
      "AXVM \r\nHFDTEDATE:210713,01\r\nHFPLTPILOT: \r\nHFGTYGLIDERTYPE: \r\nHFGTYGLIDERID: \r\n"
      "HFDTM100GPSDATUM: WGS-84\r\nHFCCLCOMPETITION CLASS: \r\nHFSITSITE: \r\nB";
  EXPECT_EQ(Encode(track, 0).substr(0, empty.size()), empty);
  EXPECT_EQ(Encode(track, 0, {"", "", "", "", "", "", ""}).substr(0, empty.size()), empty);
  const std::string full =
      "AXVMXY Flymaster SD\r\nHFDTEDATE:210713,01\r\nHFPLTPILOT: Ann\r\nHFGTYGLIDERTYPE: Alpha 7\r\n"
      "HFGTYGLIDERID: HB-123\r\nHFDTM100GPSDATUM: WGS-84\r\nHFCCLCOMPETITION CLASS: Sport\r\nHFSITSITE: Fiesch\r\nB";
  EXPECT_EQ(Encode(track, 0, {"Ann", "Alpha 7", "HB-123", "Sport", "Fiesch", "Flymaster SD", "XY"})
                .substr(0, full.size()),
            full);
  // Control characters from an instrument cannot break a header line.
  EXPECT_NE(Encode(track, 0, {"A\tB", "", "", "", "", "GPS\r\nLXXX\x7f"}).find("AXVM GPS  LXXX \r\nHFDTE"),
            std::string::npos);
  EXPECT_NE(Encode(track, 0, {"A\tB"}).find("HFPLTPILOT: A B\r\n"), std::string::npos);
}

TEST(IgcWriter, CRecordsFollowTheHeaderAndStayInsideTheirSlots) {
  TaskState task{};
  std::fill(std::begin(task.aszCRecord[0]), std::end(task.aszCRecord[0]), 'C');  // no NUL in the slot
  std::snprintf(task.aszCRecord[1], sizeof task.aszCRecord[1], "C4612345N00812345ETAKEOFF");
  task.nCRecords = 2;
  const std::vector<TrackPoint> track = {Point(kT0, 46, 8, 10000, 0)};
  std::string expected = "HFSITSITE: \r\n" + std::string(101, 'C') + "\r\nC4612345N00812345ETAKEOFF\r\nB";
  EXPECT_NE(Encode(track, 0, {}, &task).find(expected), std::string::npos);
  task.nCRecords = 0;
  EXPECT_NE(Encode(track, 0, {}, &task).find("HFSITSITE: \r\nB"), std::string::npos);
}

TEST(IgcWriter, TrailerAndGRecordOverAGrownBlock) {
  std::vector<TrackPoint> track;
  for (uint32_t i = 0; i < 1000; ++i) track.push_back(Point(kT0 + i, 46 + i * 1e-5, 8, 10000 + i, 900));
  const std::string plain = Encode(track, 0), trailer =
      "\r\nLXVM VelmoraLinux version 0.18\r\nLXVM Downloaded 2013-07-21  18:05:09\r\n";
  ASSERT_EQ(plain.size(), 143 + 1000 * 37 + trailer.size() - 2);  // empty header, 37-byte B records
  EXPECT_EQ(plain.substr(plain.size() - trailer.size()), trailer);

  const std::string signed_ = Encode(track, 1);
  ASSERT_EQ(signed_.compare(0, plain.size(), plain), 0);
  std::string g = signed_.substr(plain.size());
  EXPECT_EQ(g.size(), 19u);
  EXPECT_EQ(g.find_first_not_of("0123456789ABCDEF", 1), 17u) << g;
  // The checksum run while appending equals one over the finished text.
  char line[20];
  FormatIgcGRecord(UpdateCrc(plain.c_str(), 0xFFFFFFFFu), line);
  EXPECT_EQ(g, line);
}

TEST(IgcWriter, ChecksumAndScrambleBuildingBlocks) {
  EXPECT_EQ(~UpdateCrc("123456789", 0xFFFFFFFFu), 0xCBF43926u);  // the standard check value
  std::vector<uint8_t> table(abScramble, abScramble + 64);
  std::sort(table.begin(), table.end());
  for (int i = 0; i < 64; ++i) EXPECT_EQ(table[i], i);
  // A reversing table pins the bit numbering: bit 0 of byte 0 becomes bit 7 of byte 7.
  uint8_t reverse[64];
  for (int i = 0; i < 64; ++i) reverse[i] = static_cast<uint8_t>(63 - i);
  uint8_t block[8] = {0x01, 0, 0, 0, 0, 0, 0x40, 0};
  ScrambleString(block, reverse);
  const uint8_t expected[8] = {0, 0x02, 0, 0, 0, 0, 0, 0x80};
  EXPECT_TRUE(std::equal(block, block + 8, expected));
}

TEST(IgcWriter, ReferenceFileByteForByte) {
  TaskState task{{"C210713114000000000000102", "C4623456N00804567EFiesch"}, 2};
  const std::vector<TrackPoint> track = {
      Point(kT0, 46.39093, 8.13567, 22345, 2230), Point(kT0 + 1, 46.39101, 8.13580, 22361, 2232),
      Point(kT0 + 2, -33.8688, -70.25, -35, -4), Point(kT0 + 86399, 0.0001, -0.0001, 0, 0)};
  std::ifstream in(VELMORA_TEST_DATA "/igc/reference.igc", std::ios::binary);
  std::string reference((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(reference.empty());
  EXPECT_EQ(Encode(track, 1, {"Ann Pilot", "Alpha 7", "HB-123", "", "Fiesch", "Flymaster GPS SD 1.23"}, &task),
            reference);
}

}  // namespace
