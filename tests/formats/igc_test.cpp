// The IGC writer: record bytes, header texts, C records, the checksum and the
// G record, and one reference file that pins the signature forever.
#include "formats/igc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/time.h"

namespace {

uint32_t GpsTime(uint32_t y, uint32_t mo, uint32_t d, uint32_t h, uint32_t mi, uint32_t s) {
  SystemTime st{y, mo, d, h, mi, s};
  return ConvertSystemTimeToGpsTime(&st);
}

int32_t Semicircles(double degrees) { return static_cast<int32_t>(std::lround(degrees / 180.0 * 2147483648.0)); }

TrackPoint Point(uint32_t time, double lat, double lon, int32_t gpsDm, int32_t pressureM) {
  return TrackPoint{0, time, Semicircles(lat), Semicircles(lon), gpsDm, pressureM};
}

struct Texts {
  const char* pilot = nullptr;
  const char* gliderType = nullptr;
  const char* gliderId = nullptr;
  const char* compClass = nullptr;
  const char* site = nullptr;
  const char* product = nullptr;
  const char* afterManufacturer = nullptr;
};

const uint32_t kT0 = GpsTime(2013, 7, 21, 11, 42, 7);
const uint32_t kDownload = GpsTime(2013, 7, 21, 18, 5, 9);

std::string Encode(const std::vector<TrackPoint>& track, int sign, const Texts& t = {},
                   const TaskState* task = nullptr) {
  char* out = nullptr;
  int n = EncodeIgcLog(track.data(), static_cast<int32_t>(track.size()), t.pilot, t.gliderType, t.gliderId,
                       t.compClass, t.site, t.product, t.afterManufacturer, task, kDownload, &out, sign);
  EXPECT_GE(n, 0);
  if (n < 0) return {};
  std::string text(out, static_cast<size_t>(n));
  EXPECT_EQ(out[n], '\0');
  std::free(out);
  return text;
}

std::vector<std::string> BRecords(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == 'B') lines.push_back(line + "\n");
  }
  return lines;
}

TEST(IgcWriter, BRecordsCarryPositionTimeAndClampedAltitudes) {
  struct Case {
    TrackPoint p;
    const char* line;
  } cases[] = {
      {Point(kT0, -16.5, 7.25, 12345, 1200), "B1142071630000S00715000EA0120001235\r\n"},
      {Point(kT0 + 3, 45.12345, -122.5, 0, 0), "B1142104507407N12230000WA0000000000\r\n"},
      {Point(kT0 + 60, 0, 0, -14, -12), "B1143070000000N00000000EA-0012-0001\r\n"},
      {Point(kT0, 0, 0, -15, 0), "B1142070000000N00000000EA00000-0001\r\n"},
      {Point(kT0, 0, 0, -16, 0), "B1142070000000N00000000EA00000-0002\r\n"},
      {Point(kT0, 0, 0, -120, 0), "B1142070000000N00000000EA00000-0012\r\n"},
      {Point(kT0, 0, 0, 1500000, -20000), "B1142070000000N00000000EA-999999999\r\n"},
      {Point(kT0, -89.99999, 179.99999, -2000000, 2000000), "B1142078959999S17959999EA99999-9999\r\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> b = BRecords(Encode({c.p}, 0));
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0], c.line);
    EXPECT_EQ(b[0].size(), 37u);
  }
}

TEST(IgcWriter, HeaderLinesWithEmptyAndFilledTexts) {
  const std::vector<TrackPoint> track = {Point(kT0, 46, 8, 10000, 0)};
  const std::string fixedDate = "HFDTEDATE:210713,01\r\n";
  const std::string empty = "AXVM \r\n" + fixedDate +
                            "HFPLTPILOT: \r\nHFGTYGLIDERTYPE: \r\nHFGTYGLIDERID: \r\n"
                            "HFDTM100GPSDATUM: WGS-84\r\nHFCCLCOMPETITION CLASS: \r\nHFSITSITE: \r\nB";
  EXPECT_EQ(Encode(track, 0).substr(0, empty.size()), empty);
  Texts blank{"", "", "", "", "", "", ""};
  EXPECT_EQ(Encode(track, 0, blank).substr(0, empty.size()), empty);

  Texts filled{"Ann Pilot", "Alpha 7", "HB-123", "Sport", "Fiesch", "Flymaster GPS SD 1.23", "XY"};
  const std::string full = "AXVMXY Flymaster GPS SD 1.23\r\n" + fixedDate +
                           "HFPLTPILOT: Ann Pilot\r\nHFGTYGLIDERTYPE: Alpha 7\r\nHFGTYGLIDERID: HB-123\r\n"
                           "HFDTM100GPSDATUM: WGS-84\r\nHFCCLCOMPETITION CLASS: Sport\r\nHFSITSITE: Fiesch\r\nB";
  EXPECT_EQ(Encode(track, 0, filled).substr(0, full.size()), full);
}

TEST(IgcWriter, CRecordsFollowTheHeaderAndStayInsideTheirSlots) {
  TaskState task{};
  std::fill(std::begin(task.aszCRecord[0]), std::end(task.aszCRecord[0]), 'C');  // no NUL in the slot
  std::snprintf(task.aszCRecord[1], sizeof task.aszCRecord[1], "C4612345N00812345ETAKEOFF");
  task.nCRecords = 2;
  const std::vector<TrackPoint> track = {Point(kT0, 46, 8, 10000, 0)};
  std::string text = Encode(track, 0, {}, &task);
  std::string expected = "HFSITSITE: \r\n" + std::string(101, 'C') + "\r\nC4612345N00812345ETAKEOFF\r\nB";
  EXPECT_NE(text.find(expected), std::string::npos) << text;

  task.nCRecords = 0;
  EXPECT_NE(Encode(track, 0, {}, &task).find("HFSITSITE: \r\nB"), std::string::npos);
}

TEST(IgcWriter, TrailerAndGRecord) {
  std::vector<TrackPoint> track;
  for (uint32_t i = 0; i < 1000; ++i) track.push_back(Point(kT0 + i, 46 + i * 1e-5, 8, 10000 + i, 900));
  const std::string unsigned_ = Encode(track, 0);
  const std::string trailer = "LXVM VelmoraLinux version 0.18\r\nLXVM Downloaded 2013-07-21  18:05:09\r\n";
  ASSERT_GT(unsigned_.size(), 30000u);  // grown well past the first block
  EXPECT_EQ(unsigned_.substr(unsigned_.size() - trailer.size()), trailer);
  EXPECT_EQ(BRecords(unsigned_).size(), 1000u);

  const std::string signed_ = Encode(track, 1);
  ASSERT_EQ(signed_.compare(0, unsigned_.size(), unsigned_), 0);
  std::string g = signed_.substr(unsigned_.size());
  ASSERT_EQ(g.size(), 19u);
  EXPECT_EQ(g.front(), 'G');
  EXPECT_EQ(g.substr(17), "\r\n");
  EXPECT_EQ(g.find_first_not_of("0123456789ABCDEF", 1), 17u) << g;
  // The checksum run while appending equals one over the finished text.
  char line[20];
  FormatIgcGRecord(UpdateCrc(unsigned_.c_str(), 0xFFFFFFFFu), line);
  EXPECT_EQ(g, line);
}

TEST(IgcWriter, GRecordChangesWithAnyByteBeforeIt) {
  const std::string text = Encode({Point(kT0, 46, 8, 10000, 0)}, 0);
  char original[20], changed[20];
  FormatIgcGRecord(UpdateCrc(text.c_str(), 0xFFFFFFFFu), original);
  for (size_t i = 0; i < text.size(); ++i) {
    std::string flipped = text;
    flipped[i] = static_cast<char>(flipped[i] ^ 0x01);
    FormatIgcGRecord(UpdateCrc(flipped.c_str(), 0xFFFFFFFFu), changed);
    EXPECT_STRNE(original, changed) << "byte " << i;
  }
}

TEST(IgcWriter, ChecksumAndScrambleBuildingBlocks) {
  // The standard CRC-32 check value, with the inversion this checksum omits.
  EXPECT_EQ(~UpdateCrc("123456789", 0xFFFFFFFFu), 0xCBF43926u);

  std::vector<uint8_t> table(abScramble, abScramble + 64);
  std::sort(table.begin(), table.end());
  for (int i = 0; i < 64; ++i) EXPECT_EQ(table[i], i);

  // A reversing table pins the bit numbering: bit 0 of byte 0 becomes bit 7 of byte 7.
  uint8_t reverse[64];
  for (int i = 0; i < 64; ++i) reverse[i] = static_cast<uint8_t>(63 - i);
  uint8_t block[8] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00};
  ScrambleString(block, reverse);
  const uint8_t expected[8] = {0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};
  EXPECT_TRUE(std::equal(block, block + 8, expected));
}

TEST(IgcWriter, ReferenceFileByteForByte) {
  TaskState task{};
  std::snprintf(task.aszCRecord[0], sizeof task.aszCRecord[0], "C210713114000000000000102");
  std::snprintf(task.aszCRecord[1], sizeof task.aszCRecord[1], "C4623456N00804567EFiesch");
  task.nCRecords = 2;
  const std::vector<TrackPoint> track = {
      Point(kT0, 46.39093, 8.13567, 22345, 2230),  Point(kT0 + 1, 46.39101, 8.13580, 22361, 2232),
      Point(kT0 + 2, -33.8688, -70.25, -35, -4),    Point(kT0 + 86399, 0.0001, -0.0001, 0, 0),
  };
  Texts texts{"Ann Pilot", "Alpha 7", "HB-123", "", "Fiesch", "Flymaster GPS SD 1.23", nullptr};
  std::ifstream in(VELMORA_TEST_DATA "/igc/reference.igc", std::ios::binary);
  ASSERT_TRUE(in) << "reference file missing";
  std::string reference((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(Encode(track, 1, texts, &task), reference);
}

}  // namespace
