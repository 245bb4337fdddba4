// GPS time: unsigned seconds since 1989-12-31 00:00:00 without leap seconds,
// and its calendar form.
#pragma once

#include <cstdint>

struct SystemTime {
  uint32_t wYear;  // four digits
  uint32_t wMonth;   // 1..12
  uint32_t wDay;     // 1..31
  uint32_t wHour;    // 0..23
  uint32_t wMinute;  // 0..59
  uint32_t wSecond;  // 0..59
};

// Seconds from the GPS time origin to 2000-01-01 00:00:00.
constexpr uint32_t kGpsTimeOf2000 = 315619200u;

extern const uint32_t dwDaysTable0[13];
extern const uint32_t dwDaysTable1[13];

uint32_t ConvertSystemTimeToGpsTime(const SystemTime* st);
uint32_t ConvertGpsTimeToSystemTime(uint32_t t, SystemTime* st);
void GetDownloadTime(SystemTime* st);
// The current UTC time as GPS time.
uint32_t GetGpsTimeNow();
