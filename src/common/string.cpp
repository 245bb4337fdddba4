#include "common/string.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t HexValue(int c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 99;
}

struct HexTable {
  uint8_t value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) value[c] = HexValue(c);
  }
};

constexpr HexTable kHexTable;

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline const char* SkipBlanks(const char* p) {
  while (*p == ' ') ++p;
  return p;
}
inline bool IsIdChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-';
}

// Reads an unsigned decimal number that must stay at most `limit` after every
// digit; false when it would exceed it or when no digit is there.
bool ReadBounded(const char*& p, uint32_t limit, uint32_t* value) {
  if (!IsDigit(*p)) return false;
  uint32_t v = 0;
  while (IsDigit(*p)) {
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    if (v > limit) return false;
    ++p;
  }
  *value = v;
  return true;
}

}  // namespace

const uint8_t abAsciiToHex[256] = {
#define H(c) kHexTable.value[c]
#define R16(b) H(b), H(b + 1), H(b + 2), H(b + 3), H(b + 4), H(b + 5), H(b + 6), H(b + 7), H(b + 8), H(b + 9), \
               H(b + 10), H(b + 11), H(b + 12), H(b + 13), H(b + 14), H(b + 15)
    R16(0),   R16(16),  R16(32),  R16(48),  R16(64),  R16(80),  R16(96),  R16(112),
    R16(128), R16(144), R16(160), R16(176), R16(192), R16(208), R16(224), R16(240),
#undef R16
#undef H
};

char* ExtractLine(char* p, char** line) {
  while (*p == ' ') ++p;
  *line = p;
  while (*p != '\0' && *p != '\r' && *p != '\n') ++p;
  if (*p == '\0') return nullptr;
  while (*p == '\r' || *p == '\n') *p++ = '\0';
  return *p == '\0' ? nullptr : p;
}

namespace {
char* ExtractItem(char* p, char** item, char separator) {
  while (*p == ' ') ++p;
  *item = p;
  while (*p != '\0' && *p != separator) ++p;
  if (*p == '\0') return nullptr;
  *p = '\0';
  return p + 1;
}
}  // namespace

char* ExtractCommaItem(char* p, char** item) { return ExtractItem(p, item, ','); }
char* ExtractSpaceItem(char* p, char** item) { return ExtractItem(p, item, ' '); }

int ParseNmeaString(char* s, int* offsets, int max) {
  if (s[0] != '$') return -1;
  uint8_t sum = 0;
  char* p = s + 1;
  while (*p != '\0' && *p != '*') sum ^= static_cast<uint8_t>(*p++);
  if (*p == '\0') return -5;
  *p++ = '\0';
  uint8_t high = abAsciiToHex[static_cast<uint8_t>(p[0])];
  uint8_t low = high <= 15 ? abAsciiToHex[static_cast<uint8_t>(p[1])] : 99;
  if (high > 15 || low > 15) return -2;
  if (p[2] != '\0') return -3;
  if (((high << 4) | low) != sum) return -4;
  int count = 0;
  if (max > 0) offsets[count++] = 0;
  for (char* q = s; *q != '\0'; ++q) {
    if (*q == ',') {
      *q = '\0';
      if (count < max) offsets[count++] = static_cast<int>(q + 1 - s);
    }
  }
  return count;
}

int DecodeUintString(const char* t, uint32_t* out) {
  const char* p = SkipBlanks(t);
  uint32_t v = 0;
  while (IsDigit(*p)) {
    if (v > 214748364u) return -1;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  p = SkipBlanks(p);
  if (*p != '\0') return -1;
  *out = v;
  return 0;
}

int DecodeIntegerString(const char* t, int32_t* out) {
  const char* p = SkipBlanks(t);
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    p = SkipBlanks(p + 1);
  }
  uint32_t v = 0;
  while (IsDigit(*p)) {
    if (v > 214748364u) return -1;
    v = v * 10 + static_cast<uint32_t>(*p - '0');
    ++p;
  }
  p = SkipBlanks(p);
  if (*p != '\0' || v > 2147483647u) return -1;
  *out = negative ? -static_cast<int32_t>(v) : static_cast<int32_t>(v);
  return 0;
}

int DecodeHexString(const char* t, uint32_t* out) {
  const char* p = SkipBlanks(t);
  uint32_t v = 0;
  while (abAsciiToHex[static_cast<uint8_t>(*p)] <= 15) {
    v = (v << 4) | abAsciiToHex[static_cast<uint8_t>(*p)];
    ++p;
  }
  if (*p != '\0' && *p != ' ') return -1;
  *out = v;
  return 0;
}

int DecodeDecimalString(const char* t, double* out) {
  const char* p = SkipBlanks(t);
  if (*p == '\0') return -1;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    p = SkipBlanks(p + 1);
  }
  if (!IsDigit(*p)) return -1;
  double v = 0.0;
  while (IsDigit(*p)) v = v * 10.0 + (*p++ - '0');
  if (*p == '.' || *p == ',') {
    ++p;
    double scale = 0.1;
    while (IsDigit(*p)) {
      v += (*p++ - '0') * scale;
      scale /= 10.0;
    }
  }
  p = SkipBlanks(p);
  if (*p != '\0') return -1;
  *out = negative ? -v : v;
  return 0;
}

int DecodeDateString2(const char* t, uint32_t* year, uint32_t* month, uint32_t* day) {
  for (int i = 0; i < 8; ++i) {
    bool point = (i == 2 || i == 5);
    if (point ? t[i] != '.' : !IsDigit(t[i])) return -1;
  }
  if (t[8] != '\0') return -1;
  uint32_t d = static_cast<uint32_t>((t[0] - '0') * 10 + (t[1] - '0'));
  uint32_t m = static_cast<uint32_t>((t[3] - '0') * 10 + (t[4] - '0'));
  uint32_t y = static_cast<uint32_t>((t[6] - '0') * 10 + (t[7] - '0'));
  if (m < 1 || m > 12 || d < 1 || d > 31) return -1;
  if (m == 2 && (d > 29 || (d == 29 && y % 4 != 0))) return -1;
  if (d == 31 && (m == 4 || m == 6 || m == 9 || m == 11)) return -1;
  *year = y;
  *month = m;
  *day = d;
  return 0;
}

int DecodeTimeString(const char* t, uint32_t* hour, uint32_t* minute, uint32_t* second, char separator) {
  const char* p = SkipBlanks(t);
  uint32_t h, m, s;
  if (!ReadBounded(p, 23, &h)) return -1;
  p = SkipBlanks(p);
  if (*p != separator) return -1;
  p = SkipBlanks(p + 1);
  if (!ReadBounded(p, 59, &m)) return -1;
  p = SkipBlanks(p);
  if (*p != separator) return -1;
  p = SkipBlanks(p + 1);
  if (!ReadBounded(p, 59, &s)) return -1;
  p = SkipBlanks(p);
  if (*p != '\0') return -1;
  *hour = h;
  *minute = m;
  *second = s;
  return 0;
}

int DecodeWaypointId(const char* t, char* name) {
  name[0] = '\0';
  const char* p = SkipBlanks(t);
  if (*p == '\0') return -1;
  int n = 0;
  while (n < 6 && *p != '\0' && *p != ' ') {
    if (!IsIdChar(*p)) {
      name[0] = '\0';
      return -1;
    }
    name[n++] = *p++;
  }
  name[n] = '\0';
  p = SkipBlanks(p);
  if (*p != '\0') {
    name[0] = '\0';
    return -1;
  }
  return 0;
}

const char* DecodeWaypointCmt(const char* t, char* comment) {
  comment[0] = '\0';
  const char* p = SkipBlanks(t);
  if (*p == '\0') return t;
  int n = 0;
  while (n < 40 && p[n] != '\0') {
    char c = p[n];
    comment[n] = (IsIdChar(c) || c == ' ') ? c : '-';
    ++n;
  }
  while (n > 0 && comment[n - 1] == ' ') --n;
  comment[n] = '\0';
  return t;
}

const char* DecodeWptPosString(const char* t, int latitude, double* deg) {
  const char* p = SkipBlanks(t);
  bool negative;
  if (latitude) {
    if (*p == 'N' || *p == 'n') negative = false;
    else if (*p == 'S' || *p == 's') negative = true;
    else return nullptr;
  } else {
    if (*p == 'E' || *p == 'e') negative = false;
    else if (*p == 'W' || *p == 'w') negative = true;
    else return nullptr;
  }
  const uint32_t limit = latitude ? 90 : 180;
  p = SkipBlanks(p + 1);
  uint32_t whole;
  if (!ReadBounded(p, limit - 1, &whole)) return nullptr;
  double value = whole;
  auto readFraction = [&p](double scale) {
    double f = 0.0;
    while (IsDigit(*p)) {
      f += (*p++ - '0') * scale;
      scale /= 10.0;
    }
    return f;
  };
  if (*p == '.' || *p == ',') {
    ++p;
    value += readFraction(0.1);
  } else if (*p == ' ') {
    p = SkipBlanks(p);
    uint32_t minutes;
    if (!ReadBounded(p, 59, &minutes)) return nullptr;
    double m = minutes;
    if (*p == ' ') {
      p = SkipBlanks(p);
      uint32_t seconds;
      if (!ReadBounded(p, 59, &seconds)) return nullptr;
      double s = seconds;
      if (*p == '.' || *p == ',') {
        ++p;
        s += readFraction(0.1);
      }
      m += s / 60.0;
    } else if (*p == '.' || *p == ',') {
      ++p;
      m += readFraction(0.1);
    }
    value += m / 60.0;
  }
  *deg = negative ? -value : value;
  return p;
}

int EncodeDegreesString(char* dest, int32_t a, int latitude) {
  char letter = latitude ? (a < 0 ? 'S' : 'N') : (a < 0 ? 'W' : 'E');
  uint32_t v = a < 0 ? 0u - static_cast<uint32_t>(a) : static_cast<uint32_t>(a);
  dest[0] = letter;
  const char* format = latitude ? " %02u  %02u  %02u.%02u" : " %03u  %02u  %02u.%02u";
  // 4 fields of at most 10 digits each stay well inside 64 bytes.
  return std::snprintf(dest + 1, 64, format, v / 360000u, (v / 6000u) % 60u, (v / 100u) % 60u, v % 100u);
}

int CompressString(char* s) {
  char* out = s;
  const char* in = s;
  while (*in == ' ') ++in;
  while (*in != '\0') {
    if (*in == ' ') {
      while (*in == ' ') ++in;
      *out++ = ' ';
    } else {
      *out++ = *in++;
    }
  }
  if (out > s && out[-1] == ' ') --out;
  *out = '\0';
  return static_cast<int>(out - s);
}

int CompressXmlString(char* s) {
  if (s == nullptr) return 0;
  for (char* p = s; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n' || *p == '\t') *p = ' ';
  }
  return CompressString(s);
}

int InitLogTxt(LogTxt* txt, int32_t size) {
  txt->pBuffer = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  txt->nBufferSize = txt->pBuffer != nullptr ? size : 0;
  txt->nLength = 0;
  txt->szPiece[0] = '\0';
  txt->nPieceLength = 0;
  if (txt->pBuffer == nullptr) return -1;
  txt->pBuffer[0] = '\0';
  return 0;
}

void FreeLogTxt(LogTxt* txt) {
  std::free(txt->pBuffer);
  txt->pBuffer = nullptr;
  txt->nBufferSize = 0;
  txt->nLength = 0;
}

int AddLogTxt(LogTxt* L) {
  if (L->pBuffer == nullptr) return -1;
  if (L->nPieceLength < 0 || L->nPieceLength > 255) L->nPieceLength = static_cast<int32_t>(strnlen(L->szPiece, 255));
  while (L->nLength + L->nPieceLength + 1 >= L->nBufferSize) {
    int32_t newSize = L->nBufferSize > 0 && L->nBufferSize < 0x40000000 ? L->nBufferSize * 2 : -1;
    char* grown = newSize > L->nBufferSize ? static_cast<char*>(std::malloc(static_cast<size_t>(newSize))) : nullptr;
    if (grown == nullptr) {
      std::free(L->pBuffer);
      L->pBuffer = nullptr;
      return -1;
    }
    std::memcpy(grown, L->pBuffer, static_cast<size_t>(L->nLength));
    std::free(L->pBuffer);
    L->pBuffer = grown;
    L->nBufferSize = newSize;
  }
  std::memcpy(L->pBuffer + L->nLength, L->szPiece, static_cast<size_t>(L->nPieceLength));
  L->nLength += L->nPieceLength;
  L->pBuffer[L->nLength] = '\0';
  return 0;
}

int AddLogTxtF(LogTxt* txt, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(txt->szPiece, sizeof txt->szPiece, format, args);
  va_end(args);
  if (n < 0) n = 0;
  if (n > 255) n = 255;
  txt->nPieceLength = n;
  return AddLogTxt(txt);
}
