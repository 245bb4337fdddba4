// Text codecs: the strict number, date, time and angle decoders, the in-place
// splitters and the growing text buffer.
#include "common/string.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cases.h"

namespace {

// A decoder's verdict on one text: its value, or "bad" when it refuses it
// (and then it must leave the output as it was).
template <typename T, typename F>
std::string Verdict(F decode, const char* text) {
  T value = T(77);
  if (decode(text, &value) != 0) return value == T(77) ? "bad" : "bad, output written";
  return std::to_string(value);
}

// "FUNCTION\tTEXT[\tARGUMENT]" of tests/data/cases/string.txt, decoded.
std::string Decode(const std::string& input) {
  std::vector<std::string> f = cases::Fields(input);
  std::string fn = f[0], text = f.size() > 1 ? f[1] : "";
  char out[200] = "";
  if (fn == "uint") return Verdict<uint32_t>(DecodeUintString, text.c_str());
  if (fn == "int") return Verdict<int32_t>(DecodeIntegerString, text.c_str());
  if (fn == "hex") return Verdict<uint32_t>(DecodeHexString, text.c_str());
  if (fn == "decimal") return Verdict<double>(DecodeDecimalString, text.c_str());
  if (fn == "date") {
    uint32_t y = 0, m = 0, d = 0;
    int r = DecodeDateString2(text.c_str(), &y, &m, &d);
    std::snprintf(out, sizeof out, "%d %u-%u-%u", r, y, m, d);
  } else if (fn == "time") {
    uint32_t h = 0, m = 0, s = 0;
    int r = DecodeTimeString(text.c_str(), &h, &m, &s, ':');
    std::snprintf(out, sizeof out, "%d %u:%u:%u", r, h, m, s);
  } else if (fn == "nmea") {  // the argument is the most fields to split
    int offsets[10];
    int n = ParseNmeaString(text.data(), offsets, f.size() > 2 ? std::atoi(f[2].c_str()) : 10);
    std::string result = std::to_string(n);
    for (int i = 0; i < n; ++i) ((result += " [") += text.data() + offsets[i]) += "]";
    return result + (text.find('*') == std::string::npos ? " (no star)" : "");
  } else if (fn == "id") {
    char name[7] = "";
    int r = DecodeWaypointId(text.c_str(), name);
    std::snprintf(out, sizeof out, "%d [%s]", r, name);
  } else if (fn == "cmt") {
    char comment[41] = "";
    const char* end = DecodeWaypointCmt(text.c_str(), comment);
    std::snprintf(out, sizeof out, "%ld [%s]", end == nullptr ? -1L : static_cast<long>(end - text.c_str()), comment);
  } else if (fn == "lat" || fn == "lon") {
    double d = 0;
    const char* end = DecodeWptPosString(text.c_str(), fn == "lat", &d);
    if (end == nullptr) return "bad";
    std::snprintf(out, sizeof out, "%.12f after %ld", d, static_cast<long>(end - text.c_str()));
  } else if (fn == "degrees") {  // semicircles, latitude (1) or longitude (0)
    int n = EncodeDegreesString(out, std::atoi(text.c_str()), std::atoi(f[2].c_str()));
    return (std::string(out) += ' ') += std::to_string(n);
  } else if (fn == "compress" || fn == "xml") {
    int n = fn == "xml" ? CompressXmlString(text.data()) : CompressString(text.data());
    std::snprintf(out, sizeof out, "%d [%s]", n, text.c_str());
  }
  return out;
}

TEST(StringCodecs, EveryCaseOfTheTable) {
  EXPECT_CASES("string.txt", Decode);
  EXPECT_EQ(CompressXmlString(nullptr), 0);
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
