#include "flight.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string_view>

namespace sim {

namespace {

// Bounds of what one emulated memory holds, so a stray huge file is refused
// instead of filling the machine.
constexpr size_t kMaxIgcBytes = 64u << 20;
constexpr size_t kMaxPoints = 500000;

constexpr int64_t kDays1970To2000 = 10957;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool Digits(std::string_view text, size_t start, size_t count, int* value) {
  if (start + count > text.size()) return false;
  int v = 0;
  for (size_t i = start; i < start + count; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

// A five-character IGC altitude: digits, or a minus sign and four digits.
bool Altitude(std::string_view text, size_t start, int* value) {
  if (start + 5 > text.size()) return false;
  if (text[start] == '-') {
    if (!Digits(text, start + 1, 4, value)) return false;
    *value = -*value;
    return true;
  }
  return Digits(text, start, 5, value);
}

// The date of an "HFDTEddmmyy" or "HFDTEDATE:ddmmyy,nn" record.
bool ParseDateRecord(std::string_view line, int* day, int* month, int* year) {
  std::string_view rest = line.substr(5);
  if (rest.substr(0, 4) == "DATE") rest.remove_prefix(4);
  if (!rest.empty() && rest[0] == ':') rest.remove_prefix(1);
  while (!rest.empty() && rest[0] == ' ') rest.remove_prefix(1);
  int yy = 0;
  if (!Digits(rest, 0, 2, day) || !Digits(rest, 2, 2, month) || !Digits(rest, 4, 2, &yy)) return false;
  *year = 2000 + yy;
  return *month >= 1 && *month <= 12 && *day >= 1 && *day <= DaysInMonth(*year, *month);
}

// B HHMMSS DDMMmmm N DDDMMmmm E V PPPPP GGGGG, extensions after column 35 ignored.
bool ParseBRecord(std::string_view line, int* secondOfDay, FlightPoint* point) {
  int hh, mi, ss, latDeg, latMin, lonDeg, lonMin;
  if (line.size() < 35) return false;
  if (!Digits(line, 1, 2, &hh) || !Digits(line, 3, 2, &mi) || !Digits(line, 5, 2, &ss)) return false;
  if (hh > 23 || mi > 59 || ss > 59) return false;
  if (!Digits(line, 7, 2, &latDeg) || !Digits(line, 9, 5, &latMin)) return false;
  if (!Digits(line, 15, 3, &lonDeg) || !Digits(line, 18, 5, &lonMin)) return false;
  if (latMin >= 60000 || lonMin >= 60000) return false;
  int latitude = latDeg * 60000 + latMin;
  int longitude = lonDeg * 60000 + lonMin;
  if (latitude > 90 * 60000 || longitude > 180 * 60000) return false;
  if (line[14] == 'S') {
    latitude = -latitude;
  } else if (line[14] != 'N') {
    return false;
  }
  if (line[23] == 'W') {
    longitude = -longitude;
  } else if (line[23] != 'E') {
    return false;
  }
  if (line[24] != 'A' && line[24] != 'V') return false;
  if (!Altitude(line, 25, &point->nPressureAltitude) || !Altitude(line, 30, &point->nGpsAltitude)) return false;
  point->nLatitude = latitude;
  point->nLongitude = longitude;
  *secondOfDay = hh * 3600 + mi * 60 + ss;
  return true;
}

uint32_t ClampTime(int64_t t) {
  if (t < 0) return 0;
  if (t > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(t);
}

}  // namespace

int64_t SecondsSince2000(int year, int month, int day, int hour, int minute, int second) {
  return (DaysFromCivil(year, month, day) - kDays1970To2000) * 86400 + hour * 3600 + minute * 60 + second;
}

CalendarTime SplitSecondsSince2000(uint32_t seconds) {
  // The inverse of DaysFromCivil.
  int64_t z = seconds / 86400 + kDays1970To2000 + 719468;
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  const uint32_t sod = seconds % 86400;
  return CalendarTime{static_cast<int>(y), static_cast<int>(m), static_cast<int>(d),
                      static_cast<int>(sod / 3600), static_cast<int>(sod % 3600 / 60), static_cast<int>(sod % 60)};
}

bool ReadIgcFlight(const std::string& path, Flight* flight, int* skippedRecords, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::string text;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxIgcBytes) {
      *error = path + " is larger than an instrument memory";
      return false;
    }
  }
  flight->szSource = path;
  flight->points.clear();
  *skippedRecords = 0;

  bool haveDate = false;
  int day = 0, month = 0, year = 0;
  int64_t dayStart = 0;  // seconds since 2000 of the midnight the current B records belong to
  int previousSecond = -1;
  std::vector<std::pair<int, FlightPoint>> pending;  // B records before the date record
  std::string_view all(text);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.substr(0, 5) == "HFDTE" && !haveDate) {
      if (!ParseDateRecord(line, &day, &month, &year)) {
        *error = path + ": unreadable date record " + std::string(line.substr(0, 40));
        return false;
      }
      haveDate = true;
      dayStart = SecondsSince2000(year, month, day, 0, 0, 0);
      continue;
    }
    if (line.empty() || line[0] != 'B') continue;
    FlightPoint point;
    int secondOfDay = 0;
    if (!ParseBRecord(line, &secondOfDay, &point)) {
      ++*skippedRecords;
      continue;
    }
    if (flight->points.size() + pending.size() >= kMaxPoints) {
      *error = path + " holds more points than an instrument memory";
      return false;
    }
    if (!haveDate) {
      pending.emplace_back(secondOfDay, point);
      continue;
    }
    for (auto& [second, early] : pending) {
      // Records ahead of the date record are rare; date them like the rest.
      if (previousSecond >= 0 && second < previousSecond - 43200) dayStart += 86400;
      previousSecond = second;
      early.dwTime = ClampTime(dayStart + second);
      flight->points.push_back(early);
    }
    pending.clear();
    // A flight across midnight UTC: the clock falls back by most of a day.
    // A small step back is a fault of the log and is kept as it is.
    if (previousSecond >= 0 && secondOfDay < previousSecond - 43200) dayStart += 86400;
    previousSecond = secondOfDay;
    point.dwTime = ClampTime(dayStart + secondOfDay);
    flight->points.push_back(point);
  }
  if (!haveDate) {
    *error = path + " has no HFDTE date record";
    return false;
  }
  if (flight->points.empty()) {
    *error = path + " has no usable B record";
    return false;
  }
  return true;
}

Flight MakeSyntheticFlight() {
  // Off the Col de la Forclaz above Lake Annecy, mid-morning UTC.
  struct Phase {
    int nSeconds;
    double dTurnRate;  // degrees per second, positive to the right
    double dSpeed;     // metres per second over ground
    double dClimb;     // metres per second
  };
  constexpr Phase kPhases[] = {
      {40, 0.0, 9.0, -1.2},     // glide off launch, heading west
      {150, 14.4, 8.0, 2.0},    // six circles of 25 s in a thermal
      {120, 0.0, 11.0, -1.5},   // glide on the heading the circling left
      {10, -9.0, 10.0, -1.0},   // a turn of 90 degrees to the left
      {80, 0.0, 10.0, -1.0},    // final glide
  };
  constexpr double kMetresPerDegree = 111320.0;
  constexpr double kPi = 3.14159265358979323846;
  Flight flight;
  flight.szSource = "synthetic";
  double latitude = 45.8139, longitude = 6.2464, altitude = 1250.0, heading = 270.0;
  const int64_t t0 = SecondsSince2000(2024, 6, 15, 10, 30, 0);
  int second = 0;
  auto add = [&]() {
    FlightPoint p;
    p.dwTime = static_cast<uint32_t>(t0 + second);
    p.nLatitude = static_cast<int32_t>(std::lround(latitude * 60000.0));
    p.nLongitude = static_cast<int32_t>(std::lround(longitude * 60000.0));
    p.nGpsAltitude = static_cast<int32_t>(std::lround(altitude));
    p.nPressureAltitude = static_cast<int32_t>(std::lround(altitude - 15.0));  // the day's QNH offset
    flight.points.push_back(p);
  };
  add();
  for (const Phase& phase : kPhases) {
    for (int i = 0; i < phase.nSeconds; ++i) {
      heading = std::fmod(heading + phase.dTurnRate + 360.0, 360.0);
      double rad = heading * kPi / 180.0;
      latitude += phase.dSpeed * std::cos(rad) / kMetresPerDegree;
      longitude += phase.dSpeed * std::sin(rad) / (kMetresPerDegree * std::cos(latitude * kPi / 180.0));
      // A little lift and sink on top of the phase's rate, the same every run.
      altitude += phase.dClimb + 0.6 * std::sin(second * 0.37);
      ++second;
      add();
    }
  }
  return flight;
}

void ApplyTrackFaults(const TrackFaults& faults, Flight* flight, std::vector<std::string>* warnings) {
  std::vector<FlightPoint>& points = flight->points;
  if (points.empty()) return;
  if (faults.nStillSeconds > 0) {
    // The pilot waits on launch: fixes every second at the first position.
    std::vector<FlightPoint> still;
    FlightPoint first = points.front();
    uint32_t n = std::min<uint32_t>(faults.nStillSeconds, first.dwTime);
    for (uint32_t i = n; i > 0; --i) {
      FlightPoint p = first;
      p.dwTime = first.dwTime - i;
      still.push_back(p);
    }
    points.insert(points.begin(), still.begin(), still.end());
  }
  auto named = [&](uint32_t number, const char* option) {
    if (number >= 1 && number <= points.size()) return true;
    char text[160];
    std::snprintf(text, sizeof text, "%s %u: %s has %zu points", option, number, flight->szSource.c_str(),
                  points.size());
    warnings->push_back(text);
    return false;
  };
  for (const auto& pause : faults.pauses) {
    if (!named(pause.nAfterPoint, "--pause-after")) continue;
    for (size_t i = pause.nAfterPoint; i < points.size(); ++i) {
      points[i].dwTime = ClampTime(int64_t{points[i].dwTime} + pause.nSeconds);
    }
  }
  for (uint32_t n : faults.backwardAt) {
    if (!named(n, "--backward-at")) continue;
    if (n < 2) {
      warnings->push_back("--backward-at 1: the first point has no predecessor");
      continue;
    }
    points[n - 1].dwTime = ClampTime(int64_t{points[n - 2].dwTime} - 30);
  }
  for (uint32_t n : faults.spikeAt) {
    if (!named(n, "--spike-at")) continue;
    FlightPoint& p = points[n - 1];
    p.nLatitude = p.nLatitude <= 89 * 60000 ? p.nLatitude + 3000 : p.nLatitude - 3000;
    p.nLongitude = p.nLongitude <= 179 * 60000 ? p.nLongitude + 3000 : p.nLongitude - 3000;
  }
}

}  // namespace sim
