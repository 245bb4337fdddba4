// Tracks for the analysis tests and the benchmark: the B records of a real
// IGC file, read by a small reader of the tests' own, and synthetic flights
// built on a local plane around a launch point.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "analysis/analysis.h"
#include "common/records.h"

namespace fixtures {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToSemicircle = 2147483648.0 / 180.0;

inline int32_t ToSemicircles(double degrees) { return static_cast<int32_t>(std::lround(degrees * kDegToSemicircle)); }

// B records only: time, latitude, longitude, pressure and GNSS altitude.
// Times count seconds from the file's first day; a step back of an hour or
// more is taken as midnight. Malformed records are skipped.
inline std::vector<TrackPoint> ReadIgcTrack(const std::string& path) {
  std::vector<TrackPoint> track;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  uint32_t day = 0, lastSecond = 0;
  auto digits = [](const std::string& s, size_t at, size_t count, int32_t* out) {
    int32_t v = 0;
    for (size_t k = at; k < at + count; ++k) {
      if (s[k] < '0' || s[k] > '9') return false;
      v = v * 10 + (s[k] - '0');
    }
    *out = v;
    return true;
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 35 || line[0] != 'B') continue;
    int32_t hh, mm, ss, latD, latM, lonD, lonM, pressure, gnss;
    if (!digits(line, 1, 2, &hh) || !digits(line, 3, 2, &mm) || !digits(line, 5, 2, &ss) ||
        !digits(line, 7, 2, &latD) || !digits(line, 9, 5, &latM) || !digits(line, 15, 3, &lonD) ||
        !digits(line, 18, 5, &lonM))
      continue;
    bool negP = line[25] == '-', negG = line[30] == '-';
    if (!digits(line, negP ? 26 : 25, negP ? 4 : 5, &pressure) || !digits(line, negG ? 31 : 30, negG ? 4 : 5, &gnss))
      continue;
    double lat = latD + latM / 60000.0, lon = lonD + lonM / 60000.0;
    if (line[14] == 'S') lat = -lat;
    if (line[23] == 'W') lon = -lon;
    uint32_t second = static_cast<uint32_t>(hh * 3600 + mm * 60 + ss);
    if (!track.empty() && second + 3600 <= lastSecond) day += 86400;
    lastSecond = second;
    TrackPoint p{};
    p.dwFlags = track.empty() ? kSegmentStart : 0;
    p.dwTime = 400000000u + day + second;
    p.nLatitude = ToSemicircles(lat);
    p.nLongitude = ToSemicircles(lon);
    p.nPressureAltitude = negP ? -pressure : pressure;
    p.nGpsAltitude = (negG ? -gnss : gnss) * 10;
    track.push_back(p);
  }
  return track;
}

#ifdef VELMORA_TESTDATA_DIR
// Every real flight of the test data, in name order.
inline std::vector<std::string> IgcFiles() {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(VELMORA_TESTDATA_DIR "/igc")) {
    std::string ext = e.path().extension().string();
    if (ext == ".igc" || ext == ".IGC") files.push_back(e.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}
#endif

// Builds flights on a plane of metres (x east, y north) around a launch.
struct FlightBuilder {
  double dLat0, dLon0;
  std::vector<TrackPoint> track;
  uint32_t dwTime = 400000000u;
  double dAltitude = 1500.0;  // metres

  FlightBuilder(double lat0, double lon0) : dLat0(lat0), dLon0(lon0) {}

  void Add(double x, double y) {
    double lat = dLat0 + y / 111132.0;
    double lon = dLon0 + x / (111320.0 * std::cos(dLat0 * kPi / 180.0));
    TrackPoint p{};
    p.dwFlags = track.empty() ? kSegmentStart : 0;
    p.dwTime = dwTime;
    p.nLatitude = ToSemicircles(lat);
    p.nLongitude = ToSemicircles(lon);
    p.nGpsAltitude = static_cast<int32_t>(std::lround(dAltitude * 10));
    p.nPressureAltitude = static_cast<int32_t>(std::lround(dAltitude));
    track.push_back(p);
  }
};

// A cross-country flight at one point per second: glides at `speed` m/s
// between the corners, and every `thermalEvery` metres a thermal of a few
// circles that drift with the wind, climbing 2 m/s while gliding sinks
// 1 m/s. The track ends at the last corner, padded with points standing
// there until `points` are reached (or cut to that count).
inline std::vector<TrackPoint> MakeCrossCountryFlight(const std::vector<std::pair<double, double>>& corners,
                                                      int32_t points, double speed = 11.0,
                                                      double thermalEvery = 4000.0, uint32_t seed = 1) {
  FlightBuilder f(45.9, 6.1);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.5);
  double x = corners[0].first, y = corners[0].second;
  double sinceThermal = 0.0;
  for (size_t leg = 1; leg < corners.size() && static_cast<int32_t>(f.track.size()) < points; ++leg) {
    double tx = corners[leg].first, ty = corners[leg].second;
    for (;;) {
      double dx = tx - x, dy = ty - y, left = std::hypot(dx, dy);
      if (left < speed || static_cast<int32_t>(f.track.size()) >= points) break;
      x += dx / left * speed;
      y += dy / left * speed;
      sinceThermal += speed;
      f.dAltitude -= 1.0;
      f.Add(x + noise(rng), y + noise(rng));
      ++f.dwTime;
      if (sinceThermal >= thermalEvery) {
        sinceThermal = 0.0;
        int circles = 3 + static_cast<int>(rng() % 5);
        for (int t = 0; t < circles * 28 && static_cast<int32_t>(f.track.size()) < points; ++t) {
          double angle = 2 * kPi * t / 28.0;
          x += 0.8;  // drift
          f.dAltitude += 2.0;
          f.Add(x + 45.0 * std::sin(angle) + noise(rng), y + 45.0 * (1 - std::cos(angle)) + noise(rng));
          ++f.dwTime;
        }
      }
    }
  }
  while (static_cast<int32_t>(f.track.size()) < points) {
    f.Add(x + noise(rng), y + noise(rng));
    ++f.dwTime;
  }
  f.track.resize(static_cast<size_t>(points));
  return f.track;
}

// The benchmark's case: ten hours at one point per second closing a large
// triangle (about 225 km) at launch and stays there after landing.
inline std::vector<TrackPoint> MakeTenHourTriangle() {
  return MakeCrossCountryFlight({{0, 0}, {44000, 48000}, {76000, -12000}, {8000, -32000}, {0, 0}}, 36000, 11.0,
                                3000.0, 7);
}

inline TrackAnalysis MakeAnalysis(const std::vector<TrackPoint>& track) {
  TrackAnalysis a{};
  a.nPoints = static_cast<int32_t>(track.size());
  a.pPoints = track.data();
  a.dwDownloadTime = 0xFFFFFFFFu;
  return a;
}

}  // namespace fixtures
