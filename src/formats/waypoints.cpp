// Waypoint files: GPX 1.1, OziExplorer and KML written from the waypoint
// array, OziExplorer and $FormatGEO read into it.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/records.h"
#include "common/string.h"
#include "common/time.h"
#include "formats/file.h"
#include "frame/state.h"

namespace {

constexpr double kDegreeToRadian = 0.01745329251994;
constexpr double kMetreToFoot = 3.28084;
constexpr double kFootToMetre = 0.3048;
constexpr double kOziDayOfGpsTimeZero = 32873.0;  // days from 1899-12-30 to 1989-12-31
constexpr int32_t kOziNoAltitude = -777;
constexpr int32_t kFirstWaypointSize = 100;
constexpr int32_t kTextStartSize = 10000;
// No instrument holds more than a few thousand waypoints; a bigger file is
// not a waypoint file and is refused before it is read into memory.
constexpr long kMaxWaypointFileSize = 64L * 1024 * 1024;

constexpr char kOziSignature[] = "OziExplorer Waypoint File";
constexpr char kGeoSignature[] = "$FormatGEO";
// OziExplorer's own stand-in for a comma inside a text field.
constexpr char kOziComma = static_cast<char>(0xD1);

constexpr const char* pszGpxHead_0 =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<gpx xmlns=\"http://www.topografix.com/GPX/1/1\"\r\n"
    "     creator=\"VelmoraLinux 0.18\"\r\n"
    "     version=\"1.1\"\r\n"
    "     xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\r\n"
    "     xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 http://www.topografix.com/GPX/1/1/gpx.xsd\">\r\n"
    "  <metadata>\r\n"
    "    <link href=\"https://velmoralinux.org/\">\r\n"
    "      <text>VelmoraLinux</text>\r\n"
    "    </link>\r\n";
constexpr const char* pszKmlHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<kml xmlns=\"http://earth.google.com/kml/2.1\">\r\n"
    "  <Document>\r\n"
    "    <Folder>\r\n"
    "      <name>Waypoints</name>\r\n";
constexpr const char* pszKmlTail = "    </Folder>\r\n  </Document>\r\n</kml>\r\n";
constexpr const char* pszOziHead = "OziExplorer Waypoint File Version 1.0\r\nWGS 84\r\nReserved 2\r\nReserved 3\r\n";

// ---------------------------------------------------------------- writers

struct Degrees {
  double dLatitude;
  double dLongitude;
};

Degrees GetDegrees(const Waypoint& w) {
  ArcPos arc{w.nLatitude, w.nLongitude};
  GeoPos geo;
  ConvertArcToGeoPos(&arc, &geo);
  return {geo.dLatitude * kRadianToDegree, geo.dLongitude * kRadianToDegree};
}

// GPX longitudes lie in -180 <= x < 180: the last semicircles below the
// antimeridian would print as 180.000000, so they are written as -180.
double GetGpxLongitude(double degrees) { return degrees >= 179.9999995 ? degrees - 360.0 : degrees; }

// Appends raw text of any length, 255 bytes at a time.
int AddLogText(LogTxt* txt, const char* text, size_t length) {
  while (length > 0) {
    size_t n = length < 255 ? length : 255;
    std::memcpy(txt->szPiece, text, n);
    txt->szPiece[n] = '\0';
    txt->nPieceLength = static_cast<int32_t>(n);
    if (AddLogTxt(txt) < 0) return -1;
    text += n;
    length -= n;
  }
  return 0;
}

// Length of the well-formed UTF-8 sequence at p (at most `left` bytes), or 0.
size_t GetUtf8Length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  // Length, and the range of the second byte that excludes overlong forms,
  // surrogates and code points above U+10FFFF.
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  }
  if (n == 0 || n > left || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return n;
}

// Appends a name or comment (at most `limit` bytes) as XML character data.
// Markup characters are escaped; instruments may hand over control codes
// and 8-bit code pages, which would make the document unreadable: control
// codes become blanks, bytes that are not UTF-8 are taken as Latin-1.
int AddXmlText(LogTxt* txt, const char* text, size_t limit) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t length = strnlen(text, limit);
  char out[256];
  size_t n = 0;
  for (size_t i = 0; i < length;) {
    char unit[8];
    size_t units = 0;
    unsigned char c = p[i];
    size_t sequence = c >= 0x80 ? GetUtf8Length(p + i, length - i) : 1;
    const char* entity = c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : nullptr;
    if (entity != nullptr) {
      units = std::strlen(entity);
      std::memcpy(unit, entity, units);
    } else if (c < 0x20) {
      unit[units++] = ' ';
    } else if (sequence == 0) {
      unit[units++] = static_cast<char>(0xC0 | (c >> 6));
      unit[units++] = static_cast<char>(0x80 | (c & 0x3F));
      sequence = 1;
    } else {
      std::memcpy(unit, p + i, sequence);
      units = sequence;
    }
    i += sequence;
    if (n + units > sizeof out) {
      if (AddLogText(txt, out, n) < 0) return -1;
      n = 0;
    }
    std::memcpy(out + n, unit, units);
    n += units;
  }
  return AddLogText(txt, out, n);
}

// A name or comment for one Ozi field: a comma would shift every later field
// and a line end would split the record.
template <size_t N>
void MakeOziText(const char (&text)[N], char (&out)[N]) {
  size_t i = 0;
  for (; i + 1 < N && text[i] != '\0'; ++i) {
    char c = text[i];
    out[i] = c == ',' ? kOziComma : static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  out[i] = '\0';
}

int ReportMemoryError(LogTxt* txt) {
  FreeLogTxt(txt);
  std::printf("Memory allocation error\n");
  return -1;
}

// Writes the finished document and releases it.
int WriteWaypointText(LogTxt* txt, const char* name) {
  int result = WriteFileAtomically(name, txt->pBuffer, static_cast<size_t>(txt->nLength));
  FreeLogTxt(txt);
  if (result == -1) {
    std::printf("Couldn't open file %s for writing\n", name);
    return -1;
  }
  if (result != 0) {
    std::printf("Error writing to %s\n", name);
    return -1;
  }
  std::printf("File %s written\n", name);
  return 0;
}

int StartWaypointText(LogTxt* txt, char* name, const char* extension) {
  if (MakeWptFileName(name, 255, extension) < 0) return -1;
  if (InitLogTxt(txt, kTextStartSize) < 0) {
    std::printf("Memory allocation error\n");
    return -1;
  }
  return 0;
}

int AddGpxWaypoint(LogTxt* txt, const Waypoint& w) {
  Degrees d = GetDegrees(w);
  SystemTime st;
  ConvertGpsTimeToSystemTime(w.dwTime, &st);
  if (AddLogTxtF(txt, "  <wpt lat=\"%.6f\" lon=\"%.6f\">\r\n", d.dLatitude, GetGpxLongitude(d.dLongitude)) < 0 ||
      AddLogTxtF(txt, "    <ele>%.1f</ele>\r\n", static_cast<double>(w.nAltitudeM)) < 0 ||
      // The instrument's own clock, which need not be UTC: no zone letter.
      AddLogTxtF(txt, "    <time>%d-%02d-%02dT%02d:%02d:%02d</time>\r\n", static_cast<int>(st.wYear),
                 static_cast<int>(st.wMonth), static_cast<int>(st.wDay), static_cast<int>(st.wHour),
                 static_cast<int>(st.wMinute), static_cast<int>(st.wSecond)) < 0 ||
      AddLogTxtF(txt, "    <name>") < 0 || AddXmlText(txt, w.szName, sizeof w.szName) < 0 ||
      AddLogTxtF(txt, "</name>\r\n    <cmt>") < 0 || AddXmlText(txt, w.szComment, sizeof w.szComment) < 0 ||
      AddLogTxtF(txt, "</cmt>\r\n  </wpt>\r\n") < 0) {
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------- readers

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  if (tGps.bSilent) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void ReleaseWaypoints() {
  std::free(tGps.pWaypoints);
  tGps.pWaypoints = nullptr;
  tGps.nWaypointSize = 0;
  tGps.nWaypoints = 0;
}

int StartWaypoints() {
  ReleaseWaypoints();
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(sizeof(Waypoint) * kFirstWaypointSize));
  if (tGps.pWaypoints == nullptr) {
    Say("Waypoint memory allocation error\n");
    return -1;
  }
  tGps.nWaypointSize = kFirstWaypointSize;
  return 0;
}

// Stores a decoded waypoint; the array never stays full.
int AppendWaypoint(const Waypoint& w) {
  tGps.pWaypoints[tGps.nWaypoints++] = w;
  if (tGps.nWaypoints < tGps.nWaypointSize) return 0;
  if (GrowWaypointArray(&tGps.pWaypoints, &tGps.nWaypointSize, tGps.nWaypoints) < 0) {
    ReleaseWaypoints();
    Say("Waypoint memory allocation error\n");
    return -1;
  }
  return 0;
}

int FinishWaypoints() {
  if (tGps.nWaypoints == 0) {
    ReleaseWaypoints();
    Say("No waypoints found\n");
    return -1;
  }
  Say("%d waypoints found\n", tGps.nWaypoints);
  return 0;
}

int ReportBadLine(int line) {
  ReleaseWaypoints();
  Say("Bad line %d\n", line);
  return -1;
}

// Cuts the next line out of the text in place. CR LF, LF and CR each end one
// line, so the line numbers in messages are the ones an editor shows. Returns
// the start of the following line, or null when the text ended.
char* CutLine(char* p, char** line) {
  *line = p;
  while (*p != '\0' && *p != '\r' && *p != '\n') ++p;
  if (*p == '\0') return nullptr;
  bool crlf = p[0] == '\r' && p[1] == '\n';
  *p = '\0';
  p += crlf ? 2 : 1;
  return *p == '\0' ? nullptr : p;
}

bool IsBlankLine(const char* line) {
  while (*line == ' ' || *line == '\t') ++line;
  return *line == '\0';
}

void SetPosition(Waypoint* w, double latitude, double longitude) {
  GeoPos geo{latitude * kDegreeToRadian, longitude * kDegreeToRadian};
  ArcPos arc;
  ConvertGeoToArcPos(&geo, &arc);
  w->nLatitude = arc.nLatitude;
  w->nLongitude = arc.nLongitude;
}

// Whole metres from a decimal altitude, halves upward; heights below sea
// level count as 0. False when the value does not fit.
bool DecodeMetres(const char* text, int32_t* metres) {
  double value;
  if (DecodeDecimalString(text, &value) < 0 || value >= 2147483647.0) return false;
  *metres = value <= 0 ? 0 : RoundHalfUp(value);
  return true;
}

enum OziField : int {
  kOziNumber = 1,
  kOziName,
  kOziLatitude,
  kOziLongitude,
  kOziDate,
  kOziSymbol,
  kOziLastRequired = 10,
  kOziDescription,
  kOziAltitude = 15,
};

bool DecodeOziDate(const char* text, uint32_t now, uint32_t* time) {
  double date;
  if (DecodeDecimalString(text, &date) < 0) return false;
  if (date == 0) {
    *time = now;
    return true;
  }
  if (date < kOziDayOfGpsTimeZero) date = kOziDayOfGpsTimeZero;
  double seconds = std::floor((date - kOziDayOfGpsTimeZero) * 86400.0 + 0.5);
  if (!(seconds <= 4294967295.0)) return false;  // beyond the GPS time range (year 2126)
  *time = static_cast<uint32_t>(seconds);
  return true;
}

bool DecodeOziAltitude(const char* text, int32_t* metres) {
  double feet;
  if (DecodeDecimalString(text, &feet) < 0) return false;
  feet = std::trunc(feet);
  if (!(std::fabs(feet) <= 2147483647.0)) return false;
  int32_t m = feet == kOziNoAltitude ? 0 : RoundHalfAwayFromZero(feet * kFootToMetre);
  *metres = m < 0 ? 0 : m;
  return true;
}

// One waypoint line; false when a required field is missing or any field
// fails its check.
bool DecodeOziLine(char* line, uint32_t now, Waypoint* w) {
  std::memset(w, 0, sizeof *w);
  double latitude = 0, longitude = 0;
  char* p = line;
  for (int field = 1; p != nullptr && field <= kOziAltitude; ++field) {
    char* item;
    p = ExtractCommaItem(p, &item);
    if (p == nullptr && field < kOziLastRequired) return false;
    uint32_t symbol;
    bool good = true;
    switch (field) {
      case kOziName: good = DecodeWaypointId(item, w->szName) == 0; break;
      case kOziLatitude:
        good = DecodeDecimalString(item, &latitude) == 0 && latitude > -90.0 && latitude < 90.0;
        break;
      case kOziLongitude:
        good = DecodeDecimalString(item, &longitude) == 0 && longitude > -180.0 && longitude < 180.0;
        break;
      case kOziDate: good = DecodeOziDate(item, now, &w->dwTime); break;
      case kOziSymbol: good = DecodeUintString(item, &symbol) == 0; break;
      case kOziDescription: DecodeWaypointCmt(item, w->szComment); break;
      case kOziAltitude: good = DecodeOziAltitude(item, &w->nAltitudeM); break;
      default: break;
    }
    if (!good) return false;
  }
  SetPosition(w, latitude, longitude);
  return true;
}

// Removes a trailing "[x]" group from a $FormatGEO comment; "[A]" marks an
// airfield. Trailing blanks, invisible in an editor, do not hide the group.
uint32_t TakeAirfieldMark(char* comment) {
  size_t n = std::strlen(comment);
  while (n > 0 && (comment[n - 1] == ' ' || comment[n - 1] == '\t')) comment[--n] = '\0';
  if (n < 3 || comment[n - 3] != '[' || comment[n - 1] != ']') return 0;
  char mark = comment[n - 2];
  comment[n - 3] = '\0';
  return mark == 'A' || mark == 'a';
}

bool DecodeGeoLine(char* line, uint32_t now, Waypoint* w) {
  std::memset(w, 0, sizeof *w);
  char* name;
  char* p = ExtractSpaceItem(line, &name);
  if (p == nullptr || DecodeWaypointId(name, w->szName) < 0) return false;
  double latitude, longitude;
  const char* q = DecodeWptPosString(p, 1, &latitude);
  if (q == nullptr || *q != ' ') return false;
  q = DecodeWptPosString(q + 1, 0, &longitude);
  if (q == nullptr || *q != ' ') return false;
  SetPosition(w, latitude, longitude);
  char* altitude;
  p = ExtractSpaceItem(line + (q - line) + 1, &altitude);
  if (!DecodeMetres(altitude, &w->nAltitudeM)) return false;
  if (p != nullptr) {
    w->bAirfield = TakeAirfieldMark(p);
    DecodeWaypointCmt(p, w->szComment);
  }
  w->dwTime = now;
  return true;
}

enum WaypointFormat { kFormatOzi, kFormatGeo };

// Line loop of both readers: `next` is the first waypoint line, numbered
// `number`.
int DecodeWaypointLines(char* next, int number, WaypointFormat format) {
  if (StartWaypoints() < 0) return -1;
  uint32_t now = GetGpsTimeNow();
  for (; next != nullptr; ++number) {
    char* line;
    next = CutLine(next, &line);
    if (IsBlankLine(line)) continue;
    Waypoint w;
    bool good = format == kFormatOzi ? DecodeOziLine(line, now, &w) : DecodeGeoLine(line, now, &w);
    if (!good) return ReportBadLine(number);
    if (AppendWaypoint(w) < 0) return -1;
  }
  return FinishWaypoints();
}

int CountLines(const char* text, size_t end) {
  int lines = 1;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && text[i + 1] != '\n')) ++lines;
  }
  return lines;
}

}  // namespace

int SaveGpxWaypoints() {
  char szName[256];
  LogTxt txt;
  if (StartWaypointText(&txt, szName, ".gpx") < 0) return -1;
  SystemTime st;
  GetDownloadTime(&st);
  if (AddLogText(&txt, pszGpxHead_0, std::strlen(pszGpxHead_0)) < 0 ||
      AddLogTxtF(&txt, "    <time>%d-%02d-%02dT%02d:%02d:%02dZ</time>\r\n", static_cast<int>(st.wYear),
                 static_cast<int>(st.wMonth), static_cast<int>(st.wDay), static_cast<int>(st.wHour),
                 static_cast<int>(st.wMinute), static_cast<int>(st.wSecond)) < 0) {
    return ReportMemoryError(&txt);
  }
  // Bounds of no waypoint at all would lie outside the earth and make the
  // file invalid; the element is optional, so it is left out then.
  if (tGps.nWaypoints > 0) {
    Degrees low = GetDegrees(tGps.pWaypoints[0]), high = low;
    for (int32_t i = 1; i < tGps.nWaypoints; ++i) {
      Degrees d = GetDegrees(tGps.pWaypoints[i]);
      low = {std::fmin(low.dLatitude, d.dLatitude), std::fmin(low.dLongitude, d.dLongitude)};
      high = {std::fmax(high.dLatitude, d.dLatitude), std::fmax(high.dLongitude, d.dLongitude)};
    }
    if (AddLogTxtF(&txt, "    <bounds minlat=\"%.6f\" minlon=\"%.6f\" maxlat=\"%.6f\" maxlon=\"%.6f\"/>\r\n",
                   low.dLatitude, GetGpxLongitude(low.dLongitude), high.dLatitude,
                   GetGpxLongitude(high.dLongitude)) < 0) {
      return ReportMemoryError(&txt);
    }
  }
  if (AddLogTxtF(&txt, "  </metadata>\r\n") < 0) return ReportMemoryError(&txt);
  for (int32_t i = 0; i < tGps.nWaypoints; ++i) {
    if (AddGpxWaypoint(&txt, tGps.pWaypoints[i]) < 0) return ReportMemoryError(&txt);
  }
  if (AddLogTxtF(&txt, "</gpx>\r\n") < 0) return ReportMemoryError(&txt);
  return WriteWaypointText(&txt, szName);
}

int SaveOziWaypoints() {
  char szName[256];
  LogTxt txt;
  if (StartWaypointText(&txt, szName, ".wpt") < 0) return -1;
  if (AddLogText(&txt, pszOziHead, std::strlen(pszOziHead)) < 0) return ReportMemoryError(&txt);
  for (int32_t i = 0; i < tGps.nWaypoints; ++i) {
    const Waypoint& w = tGps.pWaypoints[i];
    Degrees d = GetDegrees(w);
    char szWptName[sizeof w.szName], szComment[sizeof w.szComment];
    MakeOziText(w.szName, szWptName);
    MakeOziText(w.szComment, szComment);
    double feet = std::fmax(-2147483647.0, std::fmin(2147483647.0, w.nAltitudeM * kMetreToFoot));
    if (AddLogTxtF(&txt, "%4d,%-14s,%11.6f,%11.6f,%.7f,%d, 1, 3, 0, 65535,%-40s, 0, 0, 0, %d\r\n", i + 1, szWptName,
                   d.dLatitude, d.dLongitude, w.dwTime / 86400.0 + kOziDayOfGpsTimeZero, 0, szComment,
                   static_cast<int>(RoundHalfAwayFromZero(feet))) < 0) {
      return ReportMemoryError(&txt);
    }
  }
  return WriteWaypointText(&txt, szName);
}

int SaveKmlWaypoints() {
  char szName[256];
  LogTxt txt;
  if (StartWaypointText(&txt, szName, ".kml") < 0) return -1;
  if (AddLogText(&txt, pszKmlHead, std::strlen(pszKmlHead)) < 0) return ReportMemoryError(&txt);
  for (int32_t i = 0; i < tGps.nWaypoints; ++i) {
    const Waypoint& w = tGps.pWaypoints[i];
    Degrees d = GetDegrees(w);
    if (AddLogTxtF(&txt, "      <Placemark>\r\n        <name>") < 0 || AddXmlText(&txt, w.szName, sizeof w.szName) < 0 ||
        AddLogTxtF(&txt, "</name>\r\n        <description>") < 0 ||
        AddXmlText(&txt, w.szComment, sizeof w.szComment) < 0 ||
        AddLogTxtF(&txt, "</description>\r\n        <Point>\r\n") < 0 ||
        AddLogTxtF(&txt, "        <coordinates>%.6f,%.6f,%.6f</coordinates>\r\n", d.dLongitude, d.dLatitude,
                   static_cast<double>(w.nAltitudeM)) < 0 ||
        AddLogTxtF(&txt, "        </Point>\r\n      </Placemark>\r\n") < 0) {
      return ReportMemoryError(&txt);
    }
  }
  if (AddLogText(&txt, pszKmlTail, std::strlen(pszKmlTail)) < 0) return ReportMemoryError(&txt);
  return WriteWaypointText(&txt, szName);
}

int DecodeOziWpts(char* text) {
  char* next = text;
  for (int i = 0; i < 4; ++i) {
    char* line;
    next = next != nullptr ? CutLine(next, &line) : nullptr;
  }
  if (next == nullptr) {
    ReleaseWaypoints();
    Say("Bad prolog\n");
    return -1;
  }
  return DecodeWaypointLines(next, 5, kFormatOzi);
}

int DecodeGeoWpts(char* text) {
  char* line;
  char* next = CutLine(text, &line);
  if (next == nullptr) {
    // Only the format line: say so rather than fail in silence.
    ReleaseWaypoints();
    Say("No waypoints found\n");
    return -1;
  }
  return DecodeWaypointLines(next, 2, kFormatGeo);
}

int ReadWaypointFile() {
  std::FILE* file = std::fopen(tGps.szFileName, "rb");
  if (file == nullptr) {
    Say("Couldn't open file for reading\n");
    return -1;
  }
  const char* failure = nullptr;
  long size = -1;
  char* text = nullptr;
  if (std::fseek(file, 0, SEEK_END) != 0 || (size = std::ftell(file)) < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    failure = "File fseek() error\n";
  } else if (size == 0) {
    failure = "File is empty\n";
  } else if (size > kMaxWaypointFileSize) {
    failure = "File is too large\n";
  } else if ((text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1))) == nullptr) {
    failure = "File buffer memory allocation error\n";
  } else if (std::fread(text, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    failure = "File read error\n";
  }
  std::fclose(file);
  if (failure != nullptr) {
    std::free(text);
    Say("%s", failure);
    return -1;
  }
  size_t length = static_cast<size_t>(size);
  text[length] = '\0';
  int result;
  bool ozi = std::strncmp(text, kOziSignature, sizeof kOziSignature - 1) == 0;
  if (!ozi && std::strncmp(text, kGeoSignature, sizeof kGeoSignature - 1) != 0) {
    Say("Unrecognized waypoint file format\n");
    result = -1;
  } else if (const char* nul = static_cast<const char*>(std::memchr(text, '\0', length)); nul != nullptr) {
    // The decoders see text only up to the first NUL: everything behind it
    // would be dropped without a word.
    Say("File holds a NUL byte in line %d\n", CountLines(text, static_cast<size_t>(nul - text)));
    result = -1;
  } else {
    result = ozi ? DecodeOziWpts(text) : DecodeGeoWpts(text);
  }
  std::free(text);
  return result;
}
