// Text codecs: the strict number, date, time and angle decoders, the in-place
// splitters and the growing text buffer.
#include "common/string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A decoder's verdict on one text: its value, or "bad" when it refuses it
// (and then it must leave the output as it was).
template <typename T, typename F>
std::string Verdict(F decode, const char* text) {
  T value = T(77);
  if (decode(text, &value) != 0) return value == T(77) ? "bad" : "bad, output written";
  return std::to_string(value);
}

TEST(StringCodecs, Numbers) {
  const std::pair<const char*, const char*> unsignedCases[] = {
      {"", "0"}, {"   ", "0"}, {" 12 ", "12"}, {"2147483647", "2147483647"}, {"1 2", "bad"}, {"+5", "bad"},
      {"-1", "bad"}, {"9999999999", "bad"}, {"12a", "bad"}, {"0x10", "bad"}};
  for (const auto& [text, expected] : unsignedCases) EXPECT_EQ(Verdict<uint32_t>(DecodeUintString, text), expected) << text;
  const std::pair<const char*, const char*> signedCases[] = {
      {"- 7", "-7"}, {"-", "0"}, {"+42 ", "42"}, {"-2147483647", "-2147483647"}, {"2147483648", "bad"}, {"--3", "bad"}};
  for (const auto& [text, expected] : signedCases) EXPECT_EQ(Verdict<int32_t>(DecodeIntegerString, text), expected) << text;
  const std::pair<const char*, const char*> hexCases[] = {
      {" 1aF", "431"}, {"ff trailing text", "255"}, {"", "0"}, {"12g", "bad"}};
  for (const auto& [text, expected] : hexCases) EXPECT_EQ(Verdict<uint32_t>(DecodeHexString, text), expected) << text;
  const std::pair<const char*, const char*> decimalCases[] = {
      {"3,5", "3.500000"}, {"5.", "5.000000"}, {" - 12.25 ", "-12.250000"}, {".5", "bad"}, {"", "bad"},
      {"  ", "bad"},       {"1.2.3", "bad"},   {"1e5", "bad"},              {"-", "bad"}};
  for (const auto& [text, expected] : decimalCases) EXPECT_EQ(Verdict<double>(DecodeDecimalString, text), expected) << text;
}

TEST(StringCodecs, DatesAndTimes) {
  uint32_t y = 0, m = 0, dd = 0;
  EXPECT_EQ(DecodeDateString2("29.02.12", &y, &m, &dd), 0);
  EXPECT_EQ(y, 12u);
  EXPECT_EQ(m, 2u);
  EXPECT_EQ(dd, 29u);
  for (const char* bad : {"29.02.13", "31.04.12", "30.02.12", "00.01.12", "01.13.12", "1.01.12", "01.01.123",
                          "01-01-12", "31.11.99"}) {
    EXPECT_EQ(DecodeDateString2(bad, &y, &m, &dd), -1) << bad;
  }
  EXPECT_EQ(DecodeDateString2("31.12.99", &y, &m, &dd), 0);

  uint32_t h = 0, mi = 0, s = 0;
  EXPECT_EQ(DecodeTimeString(" 9 : 05 : 07", &h, &mi, &s, ':'), 0);
  EXPECT_EQ(h, 9u);
  EXPECT_EQ(mi, 5u);
  EXPECT_EQ(s, 7u);
  for (const char* bad : {"24:00:00", "23:60:00", "23:59:60", "12:00", "12:00:00:00", ":00:00", "12.00.00"}) {
    EXPECT_EQ(DecodeTimeString(bad, &h, &mi, &s, ':'), -1) << bad;
  }
}

// "$" + body + "*" + its checksum, worked out here.
std::string WithChecksum(const std::string& body, const char* format = "%02X") {
  unsigned sum = 0;
  for (unsigned char c : body) sum ^= c;
  char tail[4];
  std::snprintf(tail, sizeof tail, format, sum);
  return "$" + body + "*" + tail;
}

TEST(StringCodecs, NmeaSentences) {
  std::string ok = WithChecksum("PBRSNP,GpsTrio,x,123,1.14");
  int offsets[10];
  ASSERT_EQ(ParseNmeaString(ok.data(), offsets, 10), 5);
  EXPECT_STREQ(ok.data() + offsets[0], "$PBRSNP");
  EXPECT_STREQ(ok.data() + offsets[1], "GpsTrio");
  EXPECT_STREQ(ok.data() + offsets[4], "1.14");
  std::string lower = WithChecksum("A,B", "%02x");
  EXPECT_EQ(ParseNmeaString(lower.data(), offsets, 10), 2);
  std::string limited = WithChecksum("A,B,C,D");
  EXPECT_EQ(ParseNmeaString(limited.data(), offsets, 2), 2);

  char wrong[] = "$PFMLST,1*00";
  EXPECT_EQ(ParseNmeaString(wrong, offsets, 10), -4);
  EXPECT_EQ(std::strchr(wrong, '*'), nullptr) << "the star is overwritten";
  const std::pair<std::string, int> bad[] = {
      {"PFM*00", -1}, {"$PFM,1", -5}, {"$PFM*G1", -2}, {"$PFM*00\r", -3}, {"$PFM*0", -2}};
  for (auto [text, error] : bad) EXPECT_EQ(ParseNmeaString(text.data(), offsets, 10), error) << text;
}

TEST(StringCodecs, SplittersWorkInPlace) {
  char text[] = "  first line\r\n\r\n  second\n   \nlast";
  std::vector<std::string> lines;
  char* p = text;
  while (p != nullptr) {
    char* line;
    p = ExtractLine(p, &line);
    lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"first line", "second", "", "last"}));

  char trailingEnd[] = "one\r\n";
  char* line;
  EXPECT_EQ(ExtractLine(trailingEnd, &line), nullptr);
  EXPECT_STREQ(line, "one");

  char items[] = " a , b,c";
  char* item;
  char* rest = ExtractCommaItem(items, &item);
  EXPECT_STREQ(item, "a ");
  rest = ExtractCommaItem(rest, &item);
  EXPECT_STREQ(item, "b");
  EXPECT_EQ(ExtractCommaItem(rest, &item), nullptr);
  EXPECT_STREQ(item, "c");

  char words[] = "N  46";
  rest = ExtractSpaceItem(words, &item);
  EXPECT_STREQ(item, "N");
  EXPECT_EQ(ExtractSpaceItem(rest, &item), nullptr);
  EXPECT_STREQ(item, "46");
}

TEST(StringCodecs, WaypointNamesAndComments) {
  char name[7];
  EXPECT_EQ(DecodeWaypointId("ABCDEF", name), 0);
  EXPECT_STREQ(name, "ABCDEF");
  EXPECT_EQ(DecodeWaypointId("AB  ", name), 0);
  EXPECT_STREQ(name, "AB");
  EXPECT_EQ(DecodeWaypointId("  a-9", name), 0);
  EXPECT_STREQ(name, "a-9");
  for (const char* bad : {"ABCDEFG", "AB_1", "AB CD", "", "   "}) {
    EXPECT_EQ(DecodeWaypointId(bad, name), -1) << bad;
  }
  char comment[41];
  const char* in = "Top of hill (N side)  ";
  EXPECT_EQ(DecodeWaypointCmt(in, comment), in);
  EXPECT_STREQ(comment, "Top of hill -N side-");
  DecodeWaypointCmt(std::string(60, 'x').c_str(), comment);
  EXPECT_EQ(std::strlen(comment), 40u);
  DecodeWaypointCmt("   ", comment);
  EXPECT_STREQ(comment, "");
}

TEST(StringCodecs, WaypointAngles) {
  struct Case {
    const char* text;
    int latitude;
    double degrees;
    size_t consumed;
  } cases[] = {
      {"N 46 25 36.45", 1, 46 + 25 / 60.0 + 36.45 / 3600.0, 13},
      {"n46.42679", 1, 46.42679, 9},
      {"S 46 25.6075", 1, -(46 + 25.6075 / 60.0), 12},
      {"W 7,5", 0, -7.5, 5},
      {"E 179 59 59,9", 0, 179 + 59 / 60.0 + 59.9 / 3600.0, 13},
      {"e 8x", 0, 8, 3},
  };
  for (const Case& c : cases) {
    double d = 0;
    const char* end = DecodeWptPosString(c.text, c.latitude, &d);
    ASSERT_NE(end, nullptr) << c.text;
    EXPECT_NEAR(d, c.degrees, 1e-12) << c.text;
    EXPECT_EQ(static_cast<size_t>(end - c.text), c.consumed) << c.text;
  }
  double d = 0;
  for (const char* bad : {"N 90", "E 180", "N 46 60", "N 46 25 60", "N 46 25 E 7", "X 46", "N", "N x"}) {
    EXPECT_EQ(DecodeWptPosString(bad, bad[0] == 'E' ? 0 : 1, &d), nullptr) << bad;
  }
  EXPECT_EQ(DecodeWptPosString("N 7", 0, &d), nullptr) << "a latitude letter on a longitude";
}

TEST(StringCodecs, EncodeDegreesAndCompress) {
  char text[64];
  int n = EncodeDegreesString(text, -16683645, 1);
  EXPECT_STREQ(text, "S 46  20  36.45");
  EXPECT_EQ(n, static_cast<int>(std::strlen(text)) - 1);
  EncodeDegreesString(text, 0, 0);
  EXPECT_STREQ(text, "E 000  00  00.00");
  EncodeDegreesString(text, -64800000, 0);
  EXPECT_STREQ(text, "W 180  00  00.00");

  char s[] = "   two   words  ";
  EXPECT_EQ(CompressString(s), 9);
  EXPECT_STREQ(s, "two words");
  char x[] = "\tline\r\nbreak\t";
  EXPECT_EQ(CompressXmlString(x), 10);
  EXPECT_STREQ(x, "line break");
  EXPECT_EQ(CompressXmlString(nullptr), 0);
  char empty[] = "   ";
  EXPECT_EQ(CompressString(empty), 0);
}

TEST(StringCodecs, LogTxtGrowsByDoubling) {
  LogTxt txt;
  ASSERT_EQ(InitLogTxt(&txt, 10000), 0);
  std::string expected;
  while (txt.nLength < 9990) {
    std::memset(txt.szPiece, 'a' + txt.nLength % 26, 10);
    txt.szPiece[10] = '\0';
    txt.nPieceLength = 10;
    expected.append(txt.szPiece);
    ASSERT_EQ(AddLogTxt(&txt), 0);
  }
  EXPECT_EQ(txt.nBufferSize, 10000);
  std::strcpy(txt.szPiece, "0123456789");
  txt.nPieceLength = 10;
  expected += "0123456789";
  ASSERT_EQ(AddLogTxt(&txt), 0);
  EXPECT_EQ(txt.nBufferSize, 20000);
  EXPECT_EQ(std::string(txt.pBuffer, static_cast<size_t>(txt.nLength)), expected);
  EXPECT_EQ(txt.pBuffer[txt.nLength], '\0');
  ASSERT_EQ(AddLogTxtF(&txt, "%s", std::string(400, 'z').c_str()), 0);
  EXPECT_EQ(txt.nLength, static_cast<int>(expected.size()) + 255) << "a piece is cut at 255 characters";
  FreeLogTxt(&txt);
}

}  // namespace
