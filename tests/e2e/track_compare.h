// Helpers of the end-to-end tests of downloads: B records of IGC
// texts, their fields, and a small flight in every sign of every field.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

inline std::vector<std::string> BRecords(const std::string& igc) {
  std::vector<std::string> lines;
  std::istringstream in(igc);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == 'B') lines.push_back(line);  // short ones too: a fault to see
  }
  return lines;
}

// Signed 1/60000 degree of the DDMMmmm latitude (lon = false: DDDMMmmm longitude).
inline long Angle(const std::string& b, bool lon) {
  size_t at = lon ? 15 : 7, deg = lon ? 3 : 2;
  long v = std::stol(b.substr(at, deg)) * 60000 + std::stol(b.substr(at + deg, 5));
  char hemisphere = b[at + deg + 5];
  return hemisphere == 'S' || hemisphere == 'W' ? -v : v;
}

// Twelve fixes a second apart south of the equator, west of Greenwich, from
// below sea level up: the signs of the 24-bit fields.
inline std::string SouthWestFlight() {
  std::string igc = "AXXX001\r\nHFDTE100324\r\n";
  for (int i = 0; i < 12; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "B1200%02d3330%03dS07036%03dWA%05d%05d\r\n", i, 100 + 5 * i, 900 - 7 * i, 0,
                  -25 + 5 * i);
    igc += line;
  }
  return igc;
}

}  // namespace e2e
