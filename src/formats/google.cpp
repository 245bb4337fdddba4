#include "formats/google.h"

#include <cstdint>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/conv.h"
#include "common/time.h"
#include "formats/file.h"
#include "formats/hash.h"
#include "frame/state.h"

namespace {

constexpr const char* pszKmlHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Document>\r\n<open>1</open>\r\n";
constexpr const char* pszKmlTail = "</Document>\r\n";
constexpr const char* pszPlaceholder = "0000000000000000000000000000000000000000";

// The hash key is never stored as such: GetXmlStart derives it from this.
constexpr char szKeySeed[18] = "VelmoraTrackSeal!";
static_assert(sizeof szKeySeed == 18, "the key seed holds 17 characters");

enum GeometryKind { kLine, kTriangle };

// What is fixed about each distance placemark; the values come from the analysis.
struct DistanceLayout {
  const char* pszType;
  const char* pszName;
  const char* pszHeading;
  const char* pszColour;
  GeometryKind eGeometry;
};

constexpr DistanceLayout kDistanceLayouts[7] = {
    {"distance_5_point", "Distance over 5 points", "Greatest distance using 5 points", "FFFF0000", kLine},
    {"distance_4_point", "Distance over 4 points", "Greatest distance using 4 points", "FFFF0000", kLine},
    {"distance_3_point", "Distance over 3 points", "Greatest distance using 3 points", "FFFF0000", kLine},
    {"distance_open", "Open distance", "Greatest distance between any 2 points", "FF0000FF", kLine},
    {"distance_out_and_return", "Out-and-return distance", "Out-and-return distance", "FFFF0000", kLine},
    {"distance_flat_triangle", "Flat triangle", "Flat triangle", "FFFF0000", kTriangle},
    {"distance_fai_triangle", "FAI triangle", "FAI triangle", "FFFF0000", kTriangle},
};

// One placemark's values: its points (rows A..E), the distance each row
// after the first shows, the sum and the order in which the lines join them.
struct DistanceFigure {
  int nPoints;
  const uint32_t* pdwIdx;
  double adRowDistance[5];
  bool bHasSum;
  double dSum;
  int nLinePoints;   // first line: positions into pdwIdx
  int anLine[5];
  int nLine2Points;  // second line of a triangle
  int anLine2[2];
};

// The document under construction. Once an append fails every later one is
// skipped, so the writer checks the result only where it matters.
struct KmlOut {
  LogTxt* pTxt;
  int nResult;
  const TrackAnalysis* pAnalysis;
  bool bIndexTimes;  // invalid times: every point's time is its index x 5
  HashState tHash;
};

// Appends one formatted piece; a hashed piece is also fed to the content
// hash, exactly as written.
void PutPiece(KmlOut* k, bool hashed, const char* format, va_list args) {
  if (k->nResult < 0) return;
  LogTxt* t = k->pTxt;
  int n = std::vsnprintf(t->szPiece, sizeof t->szPiece, format, args);
  t->nPieceLength = n < 0 ? 0 : (n > 255 ? 255 : n);
  t->szPiece[t->nPieceLength] = '\0';
  if (hashed) HashString(&k->tHash, t->szPiece);
  if (AddLogTxt(t) < 0) k->nResult = -1;
}

void Put(KmlOut* k, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Put(KmlOut* k, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PutPiece(k, false, format, args);
  va_end(args);
}

// Appends a value that the hash covers, exactly as written.
void PutHashed(KmlOut* k, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PutHashed(KmlOut* k, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PutPiece(k, true, format, args);
  va_end(args);
}

int ToInt(double value) {
  // The statistics come from arithmetic on instrument data: keep a stray
  // infinity or NaN from becoming an undefined conversion.
  if (!(value > -2147483648.0)) return value != value ? 0 : INT32_MIN;
  if (value >= 2147483647.0) return INT32_MAX;
  return static_cast<int>(value);
}

const TrackPoint& Point(const KmlOut* k, uint32_t index) {
  const TrackAnalysis* a = k->pAnalysis;
  // Indices come from the analysis; one out of range reads the first point
  // rather than memory beyond the track.
  return a->pPoints[index < static_cast<uint32_t>(a->nPoints) ? index : 0u];
}

uint32_t PointTime(const KmlOut* k, uint32_t index) {
  if (k->bIndexTimes) return index * 5u;
  return Point(k, index).dwTime;
}

void GetDegrees(const TrackPoint& p, double* longitude, double* latitude) {
  ArcPos arc{p.nLatitude, p.nLongitude};
  GeoPos geo;
  ConvertArcToGeoPos(&arc, &geo);
  *longitude = geo.dLongitude * kRadianToDegree;
  *latitude = geo.dLatitude * kRadianToDegree;
}

void PutTimeStamp(KmlOut* k, uint32_t gpsTime, bool utc) {
  SystemTime st;
  ConvertGpsTimeToSystemTime(gpsTime, &st);
  PutHashed(k, utc ? "%d-%02d-%02dT%02d:%02d:%02dZ" : "%d-%02d-%02dT%02d:%02d:%02d", static_cast<int>(st.wYear),
            static_cast<int>(st.wMonth), static_cast<int>(st.wDay), static_cast<int>(st.wHour),
            static_cast<int>(st.wMinute), static_cast<int>(st.wSecond));
}

void PutStatistics(KmlOut* k) {
  const TrackAnalysis* a = k->pAnalysis;
  SystemTime start, end;
  ConvertGpsTimeToSystemTime(a->dwStartTime, &start);
  ConvertGpsTimeToSystemTime(a->dwEndTime, &end);
  Put(k, "  <Folder>\r\n");
  Put(k, "    <Metadata src=\"VelmoraLinux\" v=\"0.18\" type=\"trip\"/>\r\n");
  Put(k, "    <open>1</open>\r\n");
  Put(k, "    <name>Trip</name>\r\n");
  Put(k, "    <description><![CDATA[\r\n");
  Put(k, "<pre>\r\n");
  Put(k, "Flight statistics\r\n");
  Put(k, "Date                 %4d-%02d-%02d\r\n", static_cast<int>(start.wYear), static_cast<int>(start.wMonth),
      static_cast<int>(start.wDay));
  Put(k, "Start/finish         %02d:%02d:%02d - %02d:%02d:%02d\r\n", static_cast<int>(start.wHour),
      static_cast<int>(start.wMinute), static_cast<int>(start.wSecond), static_cast<int>(end.wHour),
      static_cast<int>(end.wMinute), static_cast<int>(end.wSecond));
  Put(k, "Duration             %d : %02d : %02d\r\n", static_cast<int>(a->dwDuration / 3600u),
      static_cast<int>((a->dwDuration / 60u) % 60u), static_cast<int>(a->dwDuration % 60u));
  Put(k, "Max./min. height     %d / %d m\r\n", a->nMaxAltitude, a->nMinAltitude);
  Put(k, "Max. mean/top speed  %d km/h / %d km/h\r\n", ToInt(a->dMaxMeanSpeed + 0.5), ToInt(a->dTopSpeed + 0.5));
  Put(k, "Max/min climb rate   %.2f / %.2f m/s over 60s\r\n", a->dMaxClimb, a->dMinClimb);
  Put(k, "Total distance       %.2f km\r\n", a->dTrackLength * 0.001);
  if (a->bExactProven) Put(k, "Distances/triangles  proven optimal over every fix\r\n");
  Put(k, "</pre>]]>\r\n");
  Put(k, "    </description>\r\n");
}

void PutCoordinateLines(KmlOut* k, const uint32_t* idx, const int* order, int count, const char* indent) {
  for (int i = 0; i < count; ++i) {
    const TrackPoint& p = Point(k, idx[order[i]]);
    double longitude, latitude;
    GetDegrees(p, &longitude, &latitude);
    Put(k, "%s%.6f,%.6f,%d\r\n", indent, longitude, latitude, RoundTenths(p.nGpsAltitude));
  }
}

void PutDistancePlacemark(KmlOut* k, const DistanceLayout& layout, const DistanceFigure& f) {
  static constexpr char kRowLetters[] = "ABCDE";
  Put(k, "    <Placemark>\r\n");
  Put(k, "      <Metadata src=\"VelmoraLinux\" v=\"0.18\" type=\"%s\">\r\n", layout.pszType);
  Put(k, "        <FsInfo track_idx=\"");
  for (int i = 0; i < f.nPoints; ++i) Put(k, i == 0 ? "%u" : " %u", f.pdwIdx[i]);
  Put(k, "\" />\r\n");
  Put(k, "      </Metadata>\r\n");
  Put(k, "      <name>%s</name>\r\n", layout.pszName);
  Put(k, "      <description>\r\n");
  Put(k, "        <![CDATA[\r\n");
  Put(k, "<pre>\r\n");
  Put(k, "%s\r\n\r\n", layout.pszHeading);
  Put(k, "Pos.      Time      Latitude         Longitude         Distance\r\n");
  for (int i = 0; i < f.nPoints; ++i) {
    uint32_t index = f.pdwIdx[i] < static_cast<uint32_t>(k->pAnalysis->nPoints) ? f.pdwIdx[i] : 0u;
    const TrackPoint& p = Point(k, index);
    SystemTime st;
    ConvertGpsTimeToSystemTime(PointTime(k, index), &st);
    ArcPos arc{p.nLatitude, p.nLongitude}, sec100;
    ConvertArcToGeoSec100(&arc, &sec100);
    char szLatitude[72], szLongitude[72];
    EncodeDegreesString(szLatitude, sec100.nLatitude, 1);
    EncodeDegreesString(szLongitude, sec100.nLongitude, 0);
    Put(k, " %c %5d  %02d:%02d:%02d  %s  %s", kRowLetters[i], static_cast<int>(index + 1), static_cast<int>(st.wHour),
        static_cast<int>(st.wMinute), static_cast<int>(st.wSecond), szLatitude, szLongitude);
    if (i > 0) Put(k, "  %.2f", f.adRowDistance[i] * 0.001);
    Put(k, "\r\n");
  }
  if (f.bHasSum) Put(k, "                                                  Sum  %.2f\r\n", f.dSum * 0.001);
  Put(k, "</pre>]]>\r\n");
  Put(k, "      </description>\r\n");
  if (layout.eGeometry == kLine) {
    Put(k, "      <LineString>\r\n");
    Put(k, "        <tessellate>1</tessellate>\r\n");
    Put(k, "        <coordinates>\r\n");
    PutCoordinateLines(k, f.pdwIdx, f.anLine, f.nLinePoints, "          ");
    Put(k, "        </coordinates>\r\n");
    Put(k, "      </LineString>\r\n");
  } else {
    Put(k, "      <MultiGeometry>\r\n");
    for (int line = 0; line < 2; ++line) {
      Put(k, "        <LineString>\r\n");
      Put(k, "          <tessellate>1</tessellate>\r\n");
      Put(k, "          <coordinates>\r\n");
      if (line == 0) {
        PutCoordinateLines(k, f.pdwIdx, f.anLine, f.nLinePoints, "            ");
      } else {
        PutCoordinateLines(k, f.pdwIdx, f.anLine2, f.nLine2Points, "            ");
      }
      Put(k, "          </coordinates>\r\n");
      Put(k, "        </LineString>\r\n");
    }
    Put(k, "      </MultiGeometry>\r\n");
  }
  Put(k, "      <Style>\r\n");
  Put(k, "        <LineStyle>\r\n");
  Put(k, "          <color>%s</color>\r\n", layout.pszColour);
  Put(k, "        </LineStyle>\r\n");
  Put(k, "      </Style>\r\n");
  Put(k, "    </Placemark>\r\n");
}

DistanceFigure MakeChain(const uint32_t* idx, int points, const double* legs, double sum, bool hasSum) {
  DistanceFigure f{};
  f.nPoints = points;
  f.pdwIdx = idx;
  for (int i = 1; i < points; ++i) f.adRowDistance[i] = legs[i - 1];
  f.bHasSum = hasSum;
  f.dSum = sum;
  f.nLinePoints = points;
  for (int i = 0; i < points; ++i) f.anLine[i] = i;
  return f;
}

DistanceFigure MakeTriangle(const uint32_t* idx, const double* legs, double closing, double score) {
  DistanceFigure f{};
  f.nPoints = 5;
  f.pdwIdx = idx;
  f.adRowDistance[1] = legs[0];
  f.adRowDistance[2] = legs[1];
  f.adRowDistance[3] = legs[2];
  f.adRowDistance[4] = closing;
  f.bHasSum = true;
  f.dSum = score;
  // The corners as a closed figure, then the gap from start to finish.
  f.nLinePoints = 4;
  f.anLine[0] = 1;
  f.anLine[1] = 2;
  f.anLine[2] = 3;
  f.anLine[3] = 1;
  f.nLine2Points = 2;
  f.anLine2[0] = 0;
  f.anLine2[1] = 4;
  return f;
}

void PutDistancePlacemarks(KmlOut* k) {
  const TrackAnalysis* a = k->pAnalysis;
  double openLeg[1] = {a->dOpenDistance};
  DistanceFigure figures[7] = {
      MakeChain(a->adw5PointIdx, 5, a->ad5PointLeg, a->d5PointDistance, true),
      MakeChain(a->adw4PointIdx, 4, a->ad4PointLeg, a->d4PointDistance, true),
      MakeChain(a->adw3PointIdx, 3, a->ad3PointLeg, a->d3PointDistance, true),
      MakeChain(a->adwOpenIdx, 2, openLeg, 0.0, false),
      {},
      MakeTriangle(a->adwFlatIdx, a->adFlatLeg, a->dFlatClosing, a->dFlatScore),
      MakeTriangle(a->adwFaiIdx, a->adFaiLeg, a->dFaiClosing, a->dFaiScore),
  };
  // Out-and-return: start, turnpoint, finish, drawn from the finish out and back.
  double outReturnRows[2] = {a->dOutReturnLeg, a->dOutReturnClosing};
  figures[4] = MakeChain(a->adwOutReturnIdx, 3, outReturnRows, a->dOutReturnScore, true);
  figures[4].anLine[0] = 2;
  figures[4].anLine[1] = 0;
  figures[4].anLine[2] = 1;
  for (int i = 0; i < 7; ++i) PutDistancePlacemark(k, kDistanceLayouts[i], figures[i]);
}

// Seconds or pressure altitudes: values hashed as written, 25 to a line.
void PutValueList(KmlOut* k, bool pressure) {
  const TrackAnalysis* a = k->pAnalysis;
  uint32_t first = PointTime(k, 0);
  for (int i = 0; i < a->nPoints; ++i) {
    int32_t value = pressure ? a->pPoints[i].nPressureAltitude
                             : static_cast<int32_t>(PointTime(k, static_cast<uint32_t>(i)) - first);
    bool last = i == a->nPoints - 1;
    PutHashed(k, last ? "%d" : "%d ", value);
    if ((i + 1) % 25 == 0 || last) Put(k, "\r\n");
  }
}

void PutTrackPlacemark(KmlOut* k, TrackAnalysis* a) {
  char szKey[18];
  HashInit(&k->tHash);
  GetXmlStart(szKey);
  HashString(&k->tHash, szKey);

  Put(k, "    <Placemark>\r\n");
  Put(k, "      <Metadata src=\"VelmoraLinux\" v=\"4.72\" type=\"track\">\r\n");
  Put(k, "        <FsInfo");
  Put(k, " time_of_first_point=\"");
  PutTimeStamp(k, PointTime(k, 0), a->bUtcTime != 0);
  Put(k, "\"");

  // Room for 79 characters each re-encoded into two UTF-8 bytes.
  char szInstrument[2 * 79 + 2];
  std::memset(szInstrument, 0, sizeof szInstrument);
  std::memcpy(szInstrument, tGps.szProduct, strnlen(tGps.szProduct, 79));
  MakeXmlSafeText(szInstrument, sizeof szInstrument);
  if (szInstrument[0] != '\0') {
    Put(k, "\r\n                instrument=\"");
    // The hash takes the name as a reader recovers it from the attribute.
    HashString(&k->tHash, szInstrument);
    if (k->nResult >= 0 && AddXmlEscapedText(k->pTxt, szInstrument) < 0) k->nResult = -1;
    Put(k, "\"");
  }
  if (a->dwDownloadTime != 0xFFFFFFFFu) {
    Put(k, "\r\n                downloaded=\"");
    PutTimeStamp(k, a->dwDownloadTime, true);
    Put(k, "\"");
  }
  int32_t nHashOffset = -1;
  if (a->bSigned) {
    Put(k, "\r\n                hash=\"");
    nHashOffset = k->pTxt->nLength;
    Put(k, "%s\"", pszPlaceholder);
  }
  Put(k, ">\r\n");

  Put(k, "          <SecondsFromTimeOfFirstPoint>\r\n");
  PutValueList(k, false);
  Put(k, "          </SecondsFromTimeOfFirstPoint>\r\n");
  if (a->bPressureAltitude) {
    Put(k, "          <PressureAltitude>\r\n");
    PutValueList(k, true);
    Put(k, "          </PressureAltitude>\r\n");
  }
  Put(k, "        </FsInfo>\r\n");
  Put(k, "      </Metadata>\r\n");
  Put(k, "      <name>Tracklog</name>\r\n");
  Put(k, "      <LineString>\r\n");
  bool absolute = false;
  for (int i = 0; i < a->nPoints && !absolute; ++i) absolute = a->pPoints[i].nGpsAltitude != 0;
  Put(k, absolute ? "        <altitudeMode>absolute</altitudeMode>\r\n"
                  : "        <altitudeMode>clampedToGround</altitudeMode>\r\n");
  Put(k, "        <coordinates>\r\n");
  for (int i = 0; i < a->nPoints; ++i) {
    const TrackPoint& p = a->pPoints[i];
    double longitude, latitude;
    GetDegrees(p, &longitude, &latitude);
    bool last = i == a->nPoints - 1;
    PutHashed(k, last ? "%.6f,%.6f,%d" : "%.6f,%.6f,%d ", longitude, latitude, RoundTenths(p.nGpsAltitude));
    if ((i + 1) % 5 == 0 || last) Put(k, "\r\n");
  }
  Put(k, "        </coordinates>\r\n");

  HashFinish(&k->tHash);
  if (nHashOffset >= 0 && k->nResult >= 0) {
    char szDigest[41];
    const uint32_t* w = k->tHash.adwChain;
    std::snprintf(szDigest, sizeof szDigest, "%08X%08X%08X%08X%08X", w[0], w[1], w[2], w[3], w[4]);
    std::memcpy(k->pTxt->pBuffer + nHashOffset, szDigest, 40);
  }
  Put(k, "      </LineString>\r\n");
  Put(k, "    </Placemark>\r\n");
}

// Length of the UTF-8 sequence at s that XML accepts as one character, or 0.
int ValidUtf8Length(const unsigned char* s) {
  unsigned char c = s[0];
  auto cont = [](unsigned char b) { return b >= 0x80 && b <= 0xBF; };
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(s[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned char lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    if (s[1] < lo || s[1] > hi || !cont(s[2])) return 0;
    if (c == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF)) return 0;  // U+FFFE, U+FFFF
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned char lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < lo || s[1] > hi || !cont(s[2]) || !cont(s[3])) return 0;
    return 4;
  }
  return 0;
}

}  // namespace

void GetXmlStart(char* out) {
  for (int i = 0; i < 17; ++i) out[i] = static_cast<char>(szKeySeed[i] + i);
  out[17] = '\0';
}

int AddXmlEscapedText(LogTxt* text, const char* value) {
  text->nPieceLength = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    const char* entity = nullptr;
    switch (*p) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      default: break;
    }
    int need = entity != nullptr ? static_cast<int>(std::strlen(entity)) : 1;
    if (text->nPieceLength + need > 255) {
      text->szPiece[text->nPieceLength] = '\0';
      if (AddLogTxt(text) < 0) return -1;
      text->nPieceLength = 0;
    }
    if (entity != nullptr) {
      std::memcpy(text->szPiece + text->nPieceLength, entity, static_cast<size_t>(need));
    } else {
      text->szPiece[text->nPieceLength] = *p;
    }
    text->nPieceLength += need;
  }
  text->szPiece[text->nPieceLength] = '\0';
  return AddLogTxt(text);
}

void MakeXmlSafeText(char* s, int size) {
  if (size <= 0) return;
  s[size - 1] = '\0';
  for (char* p = s; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) *p = ' ';
  }
  CompressXmlString(s);
  char out[512];
  int n = 0;
  int limit = size - 1 < static_cast<int>(sizeof out) - 1 ? size - 1 : static_cast<int>(sizeof out) - 1;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(s);
  while (*in != '\0') {
    int length = ValidUtf8Length(in);
    unsigned char bytes[4];
    int count;
    if (length > 0) {
      std::memcpy(bytes, in, static_cast<size_t>(length));
      count = length;
    } else if (*in >= 0xA0) {
      bytes[0] = static_cast<unsigned char>(0xC0 | (*in >> 6));
      bytes[1] = static_cast<unsigned char>(0x80 | (*in & 0x3F));
      count = 2;
      length = 1;
    } else {
      bytes[0] = '?';
      count = 1;
      length = 1;
    }
    if (n + count > limit) break;
    std::memcpy(out + n, bytes, static_cast<size_t>(count));
    n += count;
    in += length;
  }
  std::memcpy(s, out, static_cast<size_t>(n));
  s[n] = '\0';
}

int MakeGoogleFolder(LogTxt* text, TrackAnalysis* a) {
  if (InitLogTxt(text, 10000) < 0) return -1;
  KmlOut k{};
  k.pTxt = text;
  k.pAnalysis = a;
  if (a->nPoints < 1 || a->pPoints == nullptr) {
    FreeLogTxt(text);
    return -1;
  }
  for (int i = 0; i < a->nPoints && !k.bIndexTimes; ++i) {
    uint32_t t = a->pPoints[i].dwTime;
    k.bIndexTimes = t == 0 || t == 0x7FFFFFFFu || t == 0xFFFFFFFFu;
  }
  // The point times stand in for unusable ones only in the document: the
  // caller's track stays as it was.
  if (k.bIndexTimes) a->bUtcTime = 0;

  Put(&k, "%s", pszKmlHead);
  PutStatistics(&k);
  PutDistancePlacemarks(&k);
  PutTrackPlacemark(&k, a);
  Put(&k, "  </Folder>\r\n");
  Put(&k, "%s", pszKmlTail);
  if (k.nResult < 0) {
    FreeLogTxt(text);
    return -1;
  }
  return 0;
}

int SaveKmlTrackLog(const char* name, int trimmed) {
  if (tGps.pTrack == nullptr || tGps.nTrackPoints <= 4) {
    std::printf("Too few points for a .kml file\n");
    return -1;
  }
  TrackAnalysis a{};
  a.nPoints = tGps.nTrackPoints;
  a.pPoints = tGps.pTrack;
  a.dwDownloadTime = tGps.dwDownloadTime;
  a.bSigned = tGps.bSigned;
  a.bUtcTime = tGps.bUtcTime;
  a.bPressureAltitude = tGps.bPressureAltitude;
  a.bExact = tGps.bExact;
  if (AnalyzeTrack(&a) < 0) return -1;

  LogTxt text{};
  if (MakeGoogleFolder(&text, &a) < 0) {
    std::printf("Make .kml text: Memory allocation error\n");
    return -1;
  }
  char szName[256];
  if (name == nullptr) {
    if (MakeLogFileName(szName, 255, tGps.pTrack[0].dwTime, trimmed ? "-T.kml" : ".kml") < 0) {
      FreeLogTxt(&text);
      return -1;
    }
    name = szName;
  }
  int written = WriteFileAtomically(name, text.pBuffer, static_cast<size_t>(text.nLength));
  FreeLogTxt(&text);
  if (written == -1) {
    std::printf("Couldn't open file %s for writing\n", name);
    return -1;
  }
  if (written < 0) {
    std::printf("Error writing to %s\n", name);
    return -1;
  }
  std::printf("File %s written, %s\n", name, tGps.bSigned ? "signature OK" : "NO signature");
  return 0;
}
