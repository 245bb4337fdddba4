#include "sentence.h"

#include <cstdio>

namespace sim {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint8_t XorChecksum(std::string_view body) {
  uint8_t sum = 0;
  for (char c : body) sum ^= static_cast<uint8_t>(c);
  return sum;
}

std::string BuildSentence(std::string_view body) {
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X\r\n", XorChecksum(body));
  std::string text = "$";
  text.append(body);
  text.append(tail);
  return text;
}

bool SplitSentence(std::string_view text, std::string_view* body, int* checksum) {
  if (text.size() < 4 || text[0] != '$' || text[text.size() - 3] != '*') return false;
  int high = HexDigit(text[text.size() - 2]);
  int low = HexDigit(text[text.size() - 1]);
  if (high < 0 || low < 0) return false;
  *body = text.substr(1, text.size() - 4);
  *checksum = high * 16 + low;
  return true;
}

std::vector<std::string_view> SplitFields(std::string_view body) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    size_t comma = body.find(',', start);
    if (comma == std::string_view::npos) {
      fields.push_back(body.substr(start));
      return fields;
    }
    fields.push_back(body.substr(start, comma - start));
    start = comma + 1;
  }
}

std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      out.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out.append(hex);
    }
  }
  return out;
}

}  // namespace sim
