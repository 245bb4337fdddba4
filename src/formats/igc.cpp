#include "formats/igc.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/conv.h"
#include "common/time.h"
#include "frame/state.h"

namespace {

constexpr int32_t kIgcBlockStart = 10000;
constexpr int32_t kIgcBlockLimit = 0x40000000;  // doubling stops short of the int range
constexpr int32_t kMinIgcAltitude = -9999, kMaxIgcAltitude = 99999;

// Appends prefix + text + CR LF; an absent text leaves just the fixed parts.
int AddIgcHeaderLine(char** block, int32_t* size, int32_t* length, const char* prefix, const char* text,
                     uint32_t* crc) {
  if (AddIgcString(block, size, length, prefix, crc) < 0) return -1;
  if (text != nullptr && text[0] != '\0') {
    // A header is one line of printable text: a line break or other control
    // character in an instrument's product text or a configured value would
    // otherwise split the line, or start a record of its own, inside the
    // signed file.
    std::string line(text);
    for (char& c : line) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    if (AddIgcString(block, size, length, line.c_str(), crc) < 0) return -1;
  }
  return AddIgcString(block, size, length, "\r\n", crc);
}

// Degrees, minutes and thousandths of a minute, and the hemisphere letter.
struct IgcAngle {
  int32_t nDegrees;
  int32_t nMinutes;
  int32_t nThousandths;
  char cHemisphere;
};

IgcAngle SplitIgcAngle(int32_t min1000, char positive, char negative) {
  IgcAngle a;
  a.cHemisphere = min1000 < 0 ? negative : positive;
  int64_t m = min1000 < 0 ? -static_cast<int64_t>(min1000) : min1000;
  a.nDegrees = static_cast<int32_t>(m / 60000);
  a.nMinutes = static_cast<int32_t>((m % 60000) / 1000);
  a.nThousandths = static_cast<int32_t>(m % 1000);
  return a;
}

int FormatBRecord(const TrackPoint& p, char* line, size_t size) {
  SystemTime st;
  ConvertGpsTimeToSystemTime(p.dwTime, &st);
  ArcPos arc{p.nLatitude, p.nLongitude}, min1000;
  ConvertArcToGeoMin1000(&arc, &min1000);
  IgcAngle lat = SplitIgcAngle(min1000.nLatitude, 'N', 'S');
  IgcAngle lon = SplitIgcAngle(min1000.nLongitude, 'E', 'W');
  int32_t pressure = std::clamp(p.nPressureAltitude, kMinIgcAltitude, kMaxIgcAltitude);
  int32_t gnss = std::clamp(RoundTenths(p.nGpsAltitude), kMinIgcAltitude, kMaxIgcAltitude);
  return std::snprintf(line, size, "B%02u%02u%02u%02d%02d%03d%c%03d%02d%03d%cA%05d%05d\r\n", st.wHour, st.wMinute,
                       st.wSecond, lat.nDegrees, lat.nMinutes, lat.nThousandths, lat.cHemisphere, lon.nDegrees,
                       lon.nMinutes, lon.nThousandths, lon.cHemisphere, pressure, gnss);
}

int FailEncoding(char** block) {
  std::free(*block);
  *block = nullptr;
  return -1;
}

}  // namespace

uint32_t Crc32(uint8_t byte, uint32_t crc) { return (crc >> 8) ^ adwCrc32Table[(byte ^ crc) & 0xFFu]; }

uint32_t UpdateCrc(const char* text, uint32_t crc) {
  for (const char* p = text; *p != '\0'; ++p) crc = Crc32(static_cast<uint8_t>(*p), crc);
  return crc;
}

int AddIgcString(char** block, int32_t* size, int32_t* length, const char* text, uint32_t* crc) {
  size_t n = std::strlen(text);
  int64_t need = static_cast<int64_t>(*length) + static_cast<int64_t>(n) + 1;
  if (need > *size) {
    int64_t grown = *size > 0 ? *size : kIgcBlockStart;
    while (grown < need) grown *= 2;
    char* larger = grown <= kIgcBlockLimit ? static_cast<char*>(std::realloc(*block, static_cast<size_t>(grown)))
                                           : nullptr;
    if (larger == nullptr) return FailEncoding(block);
    *block = larger;
    *size = static_cast<int32_t>(grown);
  }
  std::memcpy(*block + *length, text, n + 1);
  *length += static_cast<int32_t>(n);
  if (crc != nullptr) *crc = UpdateCrc(text, *crc);
  return 0;
}

void ScrambleString(uint8_t* data8, const uint8_t* table) {
  uint8_t result[8] = {};
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) {
      uint8_t k = table[8 * i + j] & 63u;
      if ((data8[k / 8] >> (k % 8)) & 1u) result[i] |= static_cast<uint8_t>(1u << j);
    }
  }
  std::memcpy(data8, result, sizeof result);
}

void FormatIgcGRecord(uint32_t crc, char* line) {
  const uint8_t salt = static_cast<uint8_t>(kIgcSalt);
  uint32_t c1 = Crc32(salt, crc);
  uint32_t c2 = 0xFFFFFFFFu;
  for (int shift = 24; shift >= 0; shift -= 8) c2 = Crc32(static_cast<uint8_t>(c1 >> shift), c2);
  for (int i = 0; i < 4; ++i) c2 = Crc32(salt, c2);
  uint8_t block[8];
  for (int i = 0; i < 4; ++i) {
    block[i] = static_cast<uint8_t>(c1 >> (8 * i));
    block[4 + i] = static_cast<uint8_t>(c2 >> (8 * i));
  }
  ScrambleString(block, abScramble);
  std::snprintf(line, 20, "G%02X%02X%02X%02X%02X%02X%02X%02X\r\n", block[7], block[6], block[5], block[4], block[3],
                block[2], block[1], block[0]);
}

int EncodeIgcLog(const TrackPoint* track, int32_t points, const char* pilot, const char* gliderType,
                 const char* gliderId, const char* compClass, const char* site, const char* product,
                 const char* afterManufacturer, const TaskState* task, uint32_t downloadTime, char** out,
                 int sign) {
  if (out == nullptr) return -1;
  *out = nullptr;
  if (track == nullptr || points < 1) return -1;
  char* block = static_cast<char*>(std::malloc(kIgcBlockStart));
  if (block == nullptr) return -1;
  block[0] = '\0';
  int32_t size = kIgcBlockStart, length = 0;
  uint32_t crc = 0xFFFFFFFFu;
  char line[128];

  // The blank between the two A-record texts stays even when both are absent.
  if (AddIgcString(&block, &size, &length, "AXVM", &crc) < 0) return -1;
  if (afterManufacturer != nullptr && AddIgcString(&block, &size, &length, afterManufacturer, &crc) < 0) return -1;
  if (AddIgcHeaderLine(&block, &size, &length, " ", product, &crc) < 0) return -1;

  SystemTime st;
  ConvertGpsTimeToSystemTime(track[0].dwTime, &st);
  std::snprintf(line, sizeof line, "HFDTEDATE:%02u%02u%02u,01\r\n", st.wDay, st.wMonth, st.wYear % 100u);
  if (AddIgcString(&block, &size, &length, line, &crc) < 0) return -1;
  if (AddIgcHeaderLine(&block, &size, &length, "HFPLTPILOT: ", pilot, &crc) < 0 ||
      AddIgcHeaderLine(&block, &size, &length, "HFGTYGLIDERTYPE: ", gliderType, &crc) < 0 ||
      AddIgcHeaderLine(&block, &size, &length, "HFGTYGLIDERID: ", gliderId, &crc) < 0 ||
      AddIgcString(&block, &size, &length, "HFDTM100GPSDATUM: WGS-84\r\n", &crc) < 0 ||
      AddIgcHeaderLine(&block, &size, &length, "HFCCLCOMPETITION CLASS: ", compClass, &crc) < 0 ||
      AddIgcHeaderLine(&block, &size, &length, "HFSITSITE: ", site, &crc) < 0) {
    return -1;
  }

  if (task != nullptr) {
    int32_t records = std::clamp(task->nCRecords, 0, kMaxCRecords);
    for (int32_t i = 0; i < records; ++i) {
      // A record filling its whole slot has no NUL of its own.
      char record[sizeof task->aszCRecord[0] + 1];
      size_t n = strnlen(task->aszCRecord[i], sizeof task->aszCRecord[i]);
      std::memcpy(record, task->aszCRecord[i], n);
      record[n] = '\0';
      if (AddIgcHeaderLine(&block, &size, &length, "", record, &crc) < 0) return -1;
    }
  }

  for (int32_t i = 0; i < points; ++i) {
    FormatBRecord(track[i], line, sizeof line);
    if (AddIgcString(&block, &size, &length, line, &crc) < 0) return -1;
  }

  std::snprintf(line, sizeof line, "LXVM %s\r\n", kVersionText);
  if (AddIgcString(&block, &size, &length, line, &crc) < 0) return -1;
  ConvertGpsTimeToSystemTime(downloadTime, &st);
  std::snprintf(line, sizeof line, "LXVM Downloaded %u-%02u-%02u  %02u:%02u:%02u\r\n", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond);
  if (AddIgcString(&block, &size, &length, line, &crc) < 0) return -1;

  if (sign != 0) {
    FormatIgcGRecord(crc, line);
    if (AddIgcString(&block, &size, &length, line, nullptr) < 0) return -1;
  }
  *out = block;
  return length;
}
