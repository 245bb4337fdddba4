// Text codecs: the strict number, date, time and angle decoders, the in-place
// splitters and the growing text buffer.
#include "common/string.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(StringCodecs, UnsignedAndSignedNumbers) {
  uint32_t u = 77;
  EXPECT_EQ(DecodeUintString("", &u), 0);
  EXPECT_EQ(u, 0u);
  u = 77;
  EXPECT_EQ(DecodeUintString("   ", &u), 0);
  EXPECT_EQ(u, 0u);
  EXPECT_EQ(DecodeUintString(" 12 ", &u), 0);
  EXPECT_EQ(u, 12u);
  EXPECT_EQ(DecodeUintString("2147483647", &u), 0);
  EXPECT_EQ(u, 2147483647u);
  u = 5;
  for (const char* bad : {"1 2", "+5", "-1", "9999999999", "12a", "0x10"}) {
    EXPECT_EQ(DecodeUintString(bad, &u), -1) << bad;
    EXPECT_EQ(u, 5u) << "output written on failure: " << bad;
  }
  int32_t i = 0;
  EXPECT_EQ(DecodeIntegerString("- 7", &i), 0);
  EXPECT_EQ(i, -7);
  EXPECT_EQ(DecodeIntegerString("-", &i), 0);
  EXPECT_EQ(i, 0);
  EXPECT_EQ(DecodeIntegerString("+42 ", &i), 0);
  EXPECT_EQ(i, 42);
  EXPECT_EQ(DecodeIntegerString("-2147483647", &i), 0);
  EXPECT_EQ(i, -2147483647);
  EXPECT_EQ(DecodeIntegerString("2147483648", &i), -1);
  EXPECT_EQ(DecodeIntegerString("--3", &i), -1);
}

TEST(StringCodecs, HexAndDecimal) {
  uint32_t h = 0;
  EXPECT_EQ(DecodeHexString(" 1aF", &h), 0);
  EXPECT_EQ(h, 0x1afu);
  EXPECT_EQ(DecodeHexString("ff trailing text", &h), 0);
  EXPECT_EQ(h, 0xffu);
  EXPECT_EQ(DecodeHexString("", &h), 0);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(DecodeHexString("12g", &h), -1);

  double d = 0;
  EXPECT_EQ(DecodeDecimalString("3,5", &d), 0);
  EXPECT_DOUBLE_EQ(d, 3.5);
  EXPECT_EQ(DecodeDecimalString("5.", &d), 0);
  EXPECT_DOUBLE_EQ(d, 5.0);
  EXPECT_EQ(DecodeDecimalString(" - 12.25 ", &d), 0);
  EXPECT_DOUBLE_EQ(d, -12.25);
  d = 9;
  for (const char* bad : {".5", "", "  ", "1.2.3", "1e5", "-"}) {
    EXPECT_EQ(DecodeDecimalString(bad, &d), -1) << bad;
  }
  EXPECT_DOUBLE_EQ(d, 9);
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

TEST(StringCodecs, NmeaSentences) {
  char ok[] = "$PBRSNP,GpsTrio,x,123,1.14*5F";
  // Compute the expected checksum independently of the parser.
  uint8_t sum = 0;
  for (const char* p = ok + 1; *p != '*'; ++p) sum ^= static_cast<uint8_t>(*p);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sum);
  std::memcpy(std::strchr(ok, '*') + 1, hex, 2);
  int offsets[10];
  ASSERT_EQ(ParseNmeaString(ok, offsets, 10), 5);
  EXPECT_STREQ(ok + offsets[0], "$PBRSNP");
  EXPECT_STREQ(ok + offsets[1], "GpsTrio");
  EXPECT_STREQ(ok + offsets[4], "1.14");

  char lower[32];
  std::snprintf(lower, sizeof lower, "$A,B*%02x", 'A' ^ ',' ^ 'B');
  EXPECT_EQ(ParseNmeaString(lower, offsets, 10), 2);

  char limited[] = "$A,B,C,D*00";
  uint8_t s2 = 0;
  for (const char* p = limited + 1; *p != '*'; ++p) s2 ^= static_cast<uint8_t>(*p);
  std::snprintf(std::strchr(limited, '*') + 1, 3, "%02X", s2);
  EXPECT_EQ(ParseNmeaString(limited, offsets, 2), 2);

  char wrong[] = "$PFMLST,1*00";
  EXPECT_EQ(ParseNmeaString(wrong, offsets, 10), -4);
  EXPECT_EQ(std::strchr(wrong, '*'), nullptr) << "the star is overwritten";
  char noDollar[] = "PFM*00";
  EXPECT_EQ(ParseNmeaString(noDollar, offsets, 10), -1);
  char noStar[] = "$PFM,1";
  EXPECT_EQ(ParseNmeaString(noStar, offsets, 10), -5);
  char badHex[] = "$PFM*G1";
  EXPECT_EQ(ParseNmeaString(badHex, offsets, 10), -2);
  char trailing[] = "$PFM*00\r";
  EXPECT_EQ(ParseNmeaString(trailing, offsets, 10), -3);
  char oneDigit[] = "$PFM*0";
  EXPECT_EQ(ParseNmeaString(oneDigit, offsets, 10), -2);
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

TEST(StringCodecs, HexTable) {
  for (int c = 0; c < 256; ++c) {
    int expected = (c >= '0' && c <= '9') ? c - '0'
                   : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                   : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                            : 99;
    EXPECT_EQ(abAsciiToHex[c], expected) << c;
  }
}

}  // namespace
