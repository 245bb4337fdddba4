#include "common/time.h"

#include <ctime>

const uint32_t dwDaysTable0[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
const uint32_t dwDaysTable1[13] = {0, 0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335};

uint32_t ConvertSystemTimeToGpsTime(const SystemTime* st) {
  uint32_t y = st->wYear - 1989u;
  const uint32_t* table = (st->wYear % 4u == 0) ? dwDaysTable1 : dwDaysTable0;
  uint32_t month = st->wMonth <= 12 ? st->wMonth : 0;  // outside the table counts no days
  return y * 31536000u + (y >> 2) * 86400u + table[month] * 86400u + (st->wDay - 1u) * 86400u +
         st->wHour * 3600u + st->wMinute * 60u + st->wSecond - 31449600u;
}

uint32_t ConvertGpsTimeToSystemTime(uint32_t t, SystemTime* st) {
  uint32_t s = t + 31449600u;
  uint32_t secondOfDay = s % 86400u;
  st->wHour = secondOfDay / 3600u;
  st->wMinute = (secondOfDay % 3600u) / 60u;
  st->wSecond = secondOfDay % 60u;
  uint32_t q = s / 126230400u;
  uint32_t d = s / 86400u - 1461u * q;
  uint32_t year;
  if (d <= 364) {
    year = 1989 + 4 * q;
  } else if (d <= 729) {
    year = 1990 + 4 * q;
    d -= 365;
  } else if (d <= 1094) {
    year = 1991 + 4 * q;
    d -= 730;
  } else {
    year = 1992 + 4 * q;
    d -= 1095;
  }
  const uint32_t* table = (year % 4u == 0) ? dwDaysTable1 : dwDaysTable0;
  uint32_t month = 1;
  for (uint32_t m = 12; m >= 1; --m) {
    if (table[m] <= d) {
      month = m;
      break;
    }
  }
  st->wYear = year;
  st->wMonth = month;
  st->wDay = d - table[month] + 1;
  return t;
}

void GetDownloadTime(SystemTime* st) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  st->wYear = static_cast<uint32_t>(tm.tm_year + 1900);
  st->wMonth = static_cast<uint32_t>(tm.tm_mon + 1);
  st->wDay = static_cast<uint32_t>(tm.tm_mday);
  st->wHour = static_cast<uint32_t>(tm.tm_hour);
  st->wMinute = static_cast<uint32_t>(tm.tm_min);
  st->wSecond = static_cast<uint32_t>(tm.tm_sec);
}

uint32_t GetGpsTimeNow() {
  SystemTime st;
  GetDownloadTime(&st);
  return ConvertSystemTimeToGpsTime(&st);
}
