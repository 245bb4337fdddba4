#include "galileo_memory.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>

#include "flight.h"
#include "pty.h"

namespace sim {

namespace {

constexpr size_t kMaxText = 64u << 20;

bool Digits(std::string_view t, size_t at, size_t count, int* value) {
  if (at + count > t.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (t[i] < '0' || t[i] > '9') return false;
    v = v * 10 + (t[i] - '0');
  }
  *value = v;
  return true;
}

// Date and fix times as the instrument lists them.
void Describe(StoredIgc* f) {
  std::istringstream in(f->szText);
  std::string line;
  bool first = true;
  uint32_t last = 0, elapsed = 0;
  while (std::getline(in, line)) {
    std::string_view t = line;
    if (t.substr(0, 5) == "HFDTE") {
      size_t at = t.substr(5, 5) == "DATE:" ? 10 : 5;
      if (!Digits(t, at, 2, &f->nDay) || !Digits(t, at + 2, 2, &f->nMonth) || !Digits(t, at + 4, 2, &f->nYear)) {
        f->nDay = f->nMonth = f->nYear = 0;
      }
    }
    int h, m, s;
    if (t.size() < 35 || t[0] != 'B' || !Digits(t, 1, 2, &h) || !Digits(t, 3, 2, &m) || !Digits(t, 5, 2, &s)) continue;
    uint32_t second = static_cast<uint32_t>(h * 3600 + m * 60 + s);
    if (first) f->dwStart = second;
    if (!first) elapsed += (second + 86400 - last) % 86400;
    first = false;
    last = second;
    ++f->nFixes;
  }
  f->dwDuration = elapsed;
}

std::string Angle(int32_t units, int degreeDigits, char positive, char negative) {
  uint32_t a = static_cast<uint32_t>(units < 0 ? -units : units);
  char text[16];
  std::snprintf(text, sizeof text, "%0*u%05u%c", degreeDigits, a / 60000, a % 60000, units < 0 ? negative : positive);
  return text;
}

std::string Altitude(int32_t metres) {
  char text[8];
  if (metres < 0) {
    std::snprintf(text, sizeof text, "-%04d", -metres > 9999 ? 9999 : -metres);
  } else {
    std::snprintf(text, sizeof text, "%05d", metres > 99999 ? 99999 : metres);
  }
  return text;
}

}  // namespace

bool LoadStoredIgc(const std::string& path, StoredIgc* f, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  f->szText = text.str();
  f->szSource = path;
  if (f->szText.empty() || f->szText.size() > kMaxText) {
    *error = path + ": empty or larger than an instrument's memory";
    return false;
  }
  Describe(f);
  return true;
}

StoredIgc MakeStoredIgc(const IgcHeader& header) {
  Flight flight = MakeSyntheticFlight();
  CalendarTime day = SplitSecondsSince2000(flight.points.front().dwTime);
  char date[32];
  std::snprintf(date, sizeof date, "HFDTE%02d%02d%02d", day.nDay, day.nMonth, day.nYear % 100);
  std::string text = header.szARecord + "\r\n" + date + "\r\n";
  for (const std::string& line : header.lines) text += line + "\r\n";
  for (const FlightPoint& p : flight.points) {
    uint32_t s = p.dwTime % 86400;
    char time[8];
    std::snprintf(time, sizeof time, "%02u%02u%02u", s / 3600, s / 60 % 60, s % 60);
    text.append(1, 'B').append(time).append(Angle(p.nLatitude, 2, 'N', 'S'));
    text.append(Angle(p.nLongitude, 3, 'E', 'W')).append(1, 'A').append(Altitude(p.nPressureAltitude));
    text.append(Altitude(p.nGpsAltitude)).append("\r\n");
  }
  if (header.bSign) {
    // Stands in for the maker's signature: the tool only counts G records.
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
    char g[48];
    std::snprintf(g, sizeof g, "G%08X%08X\r\nG%08X\r\n", hash, hash ^ 0x5A5A5A5Au, ~hash);
    text += g;
  }
  StoredIgc f;
  f.szSource = "synthetic";
  f.szText = text;
  Describe(&f);
  return f;
}

std::string ListDate(const StoredIgc& f) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d.%02d.%02d", f.nDay, f.nMonth, f.nYear);
  return text;
}

std::string ListTime(uint32_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", seconds / 3600 % 100, seconds / 60 % 60, seconds % 60);
  return text;
}

bool LoadFlights(const std::vector<std::string>& files, const IgcHeader& header, std::vector<StoredIgc>* flights) {
  for (const std::string& path : files) {
    StoredIgc f;
    std::string error;
    if (!LoadStoredIgc(path, &f, &error)) {
      std::printf("velmora-sim: %s\n", error.c_str());
      return false;
    }
    flights->push_back(std::move(f));
  }
  if (flights->empty()) flights->push_back(MakeStoredIgc(header));
  return true;
}

bool SendWhileHeard(int master, std::string_view bytes, int baud) {
  for (size_t at = 0; at < bytes.size(); at += 256) {
    pollfd pfd{master, 0, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP)) return false;
    if (!WriteAll(master, bytes.data() + at, std::min<size_t>(256, bytes.size() - at), baud)) return false;
  }
  return true;
}

void SendNoiseForever(int master, int baud) {
  std::string noise;
  for (int i = 0; i < 256; ++i) noise += "\r\n\x11\x13";
  while (!StopRequested() && SendWhileHeard(master, noise, baud)) {
  }
}

}  // namespace sim
