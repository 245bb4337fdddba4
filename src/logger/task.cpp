// Task mode: the per-point state machine with its location start, speed
// takeoff, box exit takeoff and landing detectors, the takeoff and landing
// scripts, the task declaration (C records) and the per-flight IGC files.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/conv.h"
#include "common/records.h"
#include "common/time.h"
#include "formats/file.h"
#include "formats/igc.h"
#include "frame/state.h"
#include "link/com.h"
#include "logger/nmea.h"

TaskState tTask;

namespace {

constexpr int kMinTaskPoints = 2;
constexpr int kMaxTaskPoints = 26;
constexpr size_t kMaxFlightFileName = 254;

void Out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Out(const char* format, ...) {
  if (tGps.bSilent) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

GeoPos PointGeo(const TrackPoint& point) {
  ArcPos arc{point.nLatitude, point.nLongitude};
  GeoPos geo;
  ConvertArcToGeoPos(&arc, &geo);
  return geo;
}

// Metres between two points; a distance Vincenty cannot compute counts as 0.
double PointDistance(const TrackPoint& a, const TrackPoint& b) {
  GeoPos from = PointGeo(a), to = PointGeo(b);
  double distance = 0.0;
  if (CalcDistance(&from, &to, &distance) != 0) return 0.0;
  return distance;
}

int RoundDistance(double metres) { return static_cast<int>(metres + 0.5); }

SystemTime TimeOf(uint32_t gpsTime) {
  SystemTime st;
  ConvertGpsTimeToSystemTime(gpsTime, &st);
  return st;
}

void LogTime(NmeaState* nmea, const char* format, uint32_t gpsTime) {
  SystemTime st = TimeOf(gpsTime);
  LogNmeaDebug(nmea, format, static_cast<int>(st.wHour), static_cast<int>(st.wMinute), static_cast<int>(st.wSecond));
}

// The newest point before the last one that lies at least `seconds` before
// the last point; -1 when the track does not reach back that far.
int32_t FindWindowStart(const TrackPoint* track, int32_t count, uint32_t seconds) {
  uint32_t lastTime = track[count - 1].dwTime;
  for (int32_t i = count - 2; i >= 0; --i) {
    if (lastTime - track[i].dwTime >= seconds) return i;
  }
  return -1;
}

// Walks back from `from` to the newest point at least `seconds` before it,
// stopping at the first point of the track.
int32_t FindLeadIn(const TrackPoint* track, int32_t from, uint32_t seconds) {
  int32_t q = from;
  while (q > 0 && track[from].dwTime - track[q].dwTime < seconds) --q;
  return q;
}

void DropPointsBefore(int32_t first) {
  if (first <= 0) return;
  std::memmove(tGps.pTrack, tGps.pTrack + first, sizeof(TrackPoint) * static_cast<size_t>(tGps.nTrackPoints - first));
  tGps.nTrackPoints -= first;
}

void LogPosition(NmeaState* nmea, bool withDistances, double step, double path) {
  const TrackPoint& last = tGps.pTrack[tGps.nTrackPoints - 1];
  SystemTime st = TimeOf(last.dwTime);
  GeoPos geo = PointGeo(last);
  LogNmeaDebug(nmea, "Position %d at %02d-%02d-%02d %02d:%02d:%02d %.6f %.6f %d %d", tGps.nTrackPoints,
               static_cast<int>(st.wYear) - 2000, static_cast<int>(st.wMonth), static_cast<int>(st.wDay),
               static_cast<int>(st.wHour), static_cast<int>(st.wMinute), static_cast<int>(st.wSecond),
               geo.dLatitude * kRadianToDegree, geo.dLongitude * kRadianToDegree, last.nGpsAltitude / 10,
               last.nPressureAltitude);
  if (withDistances) LogNmeaDebug(nmea, " %d %d", RoundDistance(step), RoundDistance(path));
  LogNmeaDebug(nmea, "\n");
}

// A cheap spherical estimate of the distance, within 1 % of the ellipsoidal
// one over the few kilometres a launch site spans. The location detector
// compares every pair of its window on every point, so it settles the clear
// cases with this and asks Vincenty only near the limit.
struct FlatPoint {
  double dLatitude, dLongitude, dCosLatitude;
};

FlatPoint Flatten(const TrackPoint& point) {
  GeoPos geo = PointGeo(point);
  return {geo.dLatitude, geo.dLongitude, std::cos(geo.dLatitude)};
}

double EstimateDistance(const FlatPoint& a, const FlatPoint& b) {
  double dLon = std::remainder(b.dLongitude - a.dLongitude, 2.0 * 3.141592653589793);
  double dx = dLon * 0.5 * (a.dCosLatitude + b.dCosLatitude);
  double dy = b.dLatitude - a.dLatitude;
  return 6371008.8 * std::sqrt(dx * dx + dy * dy);
}

// The location start detector: true once every pair of points of the last
// TASK_LOCATION_INTERVAL seconds lies within TASK_LOCATION_DISTANCE.
bool DetectStartLocation(NmeaState* nmea) {
  int32_t count = tGps.nTrackPoints;
  if (count < 2) return false;
  const TrackPoint* track = tGps.pTrack;
  int32_t first = FindWindowStart(track, count, static_cast<uint32_t>(tGps.nTaskLocationInterval));
  if (first < 0) return false;
  double limit = tGps.nTaskLocationDistance;
  size_t window = static_cast<size_t>(count - first);
  std::unique_ptr<FlatPoint[]> flat(new (std::nothrow) FlatPoint[window]);
  for (size_t k = 0; flat && k < window; ++k) flat[k] = Flatten(track[first + static_cast<int32_t>(k)]);
  for (int32_t a = first; a < count; ++a) {
    for (int32_t b = a + 1; b < count; ++b) {
      if (flat) {
        double estimate = EstimateDistance(flat[static_cast<size_t>(a - first)], flat[static_cast<size_t>(b - first)]);
        if (estimate < limit * 0.99 - 1.0) continue;  // clearly within
      }
      double distance = PointDistance(track[a], track[b]);
      if (distance > limit) {
        LogNmeaDebug(nmea, "Takeoff location: Distance between points %d\n", RoundDistance(distance));
        return false;
      }
    }
  }
  LogTime(nmea, "Takeoff location set at %02d:%02d:%02d\n", track[count - 1].dwTime);
  tGps.pTrack[0] = track[count - 1];
  tGps.nTrackPoints = 1;
  return true;
}

void EnterFlying(NmeaState* nmea) {
  nmea->nTaskState = kTaskFlying;
  LogNmeaDebug(nmea, "Task state is FLYING\n");
}

void HandleInit(NmeaState* nmea) {
  bool locationEnabled = tGps.nTaskLocationInterval != 0 && tGps.nTaskLocationDistance != 0;
  if (!locationEnabled) {
    LogNmeaDebug(nmea, "No start location detector\n");
  } else if (!DetectStartLocation(nmea)) {
    return;
  }
  bool speedEnabled = tGps.nTaskTakeoffInterval != 0 && tGps.nTaskTakeoffDistance != 0;
  bool boxEnabled = tGps.nTaskBoxRadius != 0 && tGps.nTaskBoxHeight != 0;
  if (speedEnabled || boxEnabled) {
    nmea->nTaskState = kTaskWaiting;
    LogNmeaDebug(nmea, "Takeoff detector(s) enabled\n");
    LogNmeaDebug(nmea, "Task state is WAITING\n");
    return;
  }
  uint32_t now = tGps.pTrack[tGps.nTrackPoints - 1].dwTime;
  nmea->dwTakeoffTime = now;
  nmea->dwStartTime = now;
  LogNmeaDebug(nmea, "Takeoff detector(s) disabled\n");
  LogTime(nmea, "Takeoff at %02d:%02d:%02d\n", now);
  ExecuteTakeoffScript(nmea);
  GetTaskData(nmea);
  EnterFlying(nmea);
}

bool DetectSpeedTakeoff(NmeaState* nmea) {
  int32_t count = tGps.nTrackPoints;
  const TrackPoint* track = tGps.pTrack;
  int32_t p = FindWindowStart(track, count, static_cast<uint32_t>(tGps.nTaskTakeoffInterval));
  if (p < 0) return false;
  double distance = PointDistance(track[p], track[count - 1]);
  LogNmeaDebug(nmea, "Speed takeoff: Distance = %d, time = %d\n", RoundDistance(distance),
               static_cast<int>(track[count - 1].dwTime - track[p].dwTime));
  if (distance < tGps.nTaskTakeoffDistance) return false;
  nmea->dwTakeoffTime = track[p].dwTime;
  LogTime(nmea, "Speed takeoff: %02d:%02d:%02d\n", track[p].dwTime);
  int32_t q = FindLeadIn(track, p, static_cast<uint32_t>(tGps.nTaskTakeoffPrepend));
  nmea->dwStartTime = track[q].dwTime;
  LogTime(nmea, "Speed takeoff: Using %02d:%02d:%02d\n", track[q].dwTime);
  DropPointsBefore(q);
  ExecuteTakeoffScript(nmea);
  GetTaskData(nmea);
  EnterFlying(nmea);
  return true;
}

void DetectBoxExit(NmeaState* nmea) {
  int32_t count = tGps.nTrackPoints;
  const TrackPoint* track = tGps.pTrack;
  const TrackPoint& first = track[0];
  const TrackPoint& last = track[count - 1];
  double distance = PointDistance(first, last);
  int64_t climb = static_cast<int64_t>(last.nGpsAltitude) - first.nGpsAltitude;
  LogNmeaDebug(nmea, "Box exit takeoff: Distance from takeoff %d, height above takeoff %d\n", RoundDistance(distance),
               static_cast<int>(climb / 10));
  int64_t height = 10 * static_cast<int64_t>(tGps.nTaskBoxHeight);
  const char* reason;
  if (distance >= tGps.nTaskBoxRadius) {
    reason = "Box exit takeoff: %02d:%02d:%02d (distance from start point)\n";
  } else if (climb >= height) {
    reason = "Box exit takeoff: %02d:%02d:%02d (altitude above start point)\n";
  } else if (-climb >= height) {
    reason = "Box exit takeoff: %02d:%02d:%02d (altitude below start point)\n";
  } else {
    return;
  }
  LogTime(nmea, reason, last.dwTime);
  nmea->dwTakeoffTime = last.dwTime;
  EnterFlying(nmea);
  int32_t q = FindLeadIn(track, count - 1, static_cast<uint32_t>(tGps.nTaskBoxPrepend));
  nmea->dwStartTime = track[q].dwTime;
  LogTime(nmea, "Box exit takeoff: Using %02d:%02d:%02d\n", track[q].dwTime);
  DropPointsBefore(q);
  ExecuteTakeoffScript(nmea);
  GetTaskData(nmea);
}

void HandleWaiting(NmeaState* nmea) {
  if (tGps.nTrackPoints < 2) return;
  bool speedEnabled = tGps.nTaskTakeoffInterval != 0 && tGps.nTaskTakeoffDistance != 0;
  if (speedEnabled && DetectSpeedTakeoff(nmea)) return;
  bool boxEnabled = tGps.nTaskBoxRadius != 0 && tGps.nTaskBoxHeight != 0;
  if (boxEnabled) DetectBoxExit(nmea);
}

void HandleFlying(NmeaState* nmea) {
  int32_t count = tGps.nTrackPoints;
  const TrackPoint* track = tGps.pTrack;
  double step = 0.0, path = 0.0;
  bool landed = false;
  bool landingEnabled = tGps.nTaskLandingInterval != 0 && tGps.nTaskLandingDistance != 0;
  if (landingEnabled && count >= 2) {
    uint32_t lastTime = track[count - 1].dwTime;
    for (int32_t k = count - 2; k >= 0; --k) {
      double d = PointDistance(track[k], track[k + 1]);
      if (k == count - 2) step = d;
      path += d;
      if (lastTime - track[k].dwTime >= static_cast<uint32_t>(tGps.nTaskLandingInterval)) {
        landed = path <= tGps.nTaskLandingDistance;
        break;
      }
    }
  }
  if (landed) restartTask.store(1, std::memory_order_release);
  LogPosition(nmea, true, step, path);
  if (landed) LogNmeaDebug(nmea, "Landing detected at position %d\n", count);
}

void RunScript(NmeaState* nmea, const char* script, const char* running, const char* none) {
  if (script[0] == '\0') {
    LogNmeaDebug(nmea, "%s", none);
    return;
  }
  LogNmeaDebug(nmea, "%s", running);
  if (nmea->pDebugFile != nullptr) std::fflush(nmea->pDebugFile);
  std::fflush(stdout);
  int status = std::system(script);
  (void)status;  // the user's script: its result is its own business
}

// The task file name without its folder and without its extension, unless
// the only dot is its first character.
const char* TaskName(char* buffer, size_t size) {
  const char* name = std::strrchr(tGps.szTaskFileName, '/');
  name = name != nullptr ? name + 1 : tGps.szTaskFileName;
  std::snprintf(buffer, size, "%s", name);
  char* dot = std::strrchr(buffer, '.');
  if (dot != nullptr && dot != buffer) *dot = '\0';
  return buffer;
}

int LoadTaskFile(NmeaState* nmea) {
  (void)nmea;
  std::FILE* file = std::fopen(tGps.szTaskFileName, "rb");
  if (file == nullptr) {
    Out("Task file: Couldn't open \"%s\" for reading\n", tGps.szTaskFileName);
    return -1;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    Out("Task file: File fseek() error\n");
    std::fclose(file);
    return -1;
  }
  if (size == 0) {
    Out("Task file: File is empty\n");
    std::fclose(file);
    return -1;
  }
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
  if (text == nullptr) {
    Out("Task file: File buffer memory allocation error\n");
    std::fclose(file);
    return -1;
  }
  size_t got = std::fread(text, 1, static_cast<size_t>(size), file);
  std::fclose(file);
  if (got != static_cast<size_t>(size)) {
    Out("Task file: File read error\n");
    std::free(text);
    return -1;
  }
  text[size] = '\0';
  Out("Task file decoding result:\n");
  int result;
  if (std::strncmp(text, "OziExplorer Waypoint File", 25) == 0) {
    result = DecodeOziWpts(text);
  } else if (std::strncmp(text, "$FormatGEO", 10) == 0) {
    result = DecodeGeoWpts(text);
  } else {
    Out("Unrecognized waypoint file format\n");
    result = -1;
  }
  std::free(text);
  return result;
}

void WriteCRecordsToLog(NmeaState* nmea) {
  LogNmeaDebug(nmea, "C records:\n");
  for (int i = 0; i < tTask.nCRecords; ++i) LogNmeaDebug(nmea, "%s\n", tTask.aszCRecord[i]);
}

// Writes the flight's IGC file; false when the flight could not be saved.
bool SaveFlight(NmeaState* nmea) {
  char name[kMaxFlightFileName + 2];
  if (tGps.szFileName[0] == '\0') LogNmeaDebug(nmea, "No file name in the command line\n");
  if (MakeFlightFileName(name, sizeof name, tGps.pTrack[0].dwTime) != 0) {
    LogNmeaDebug(nmea, "Too long file name\n");
    Out("Saving igc file: Too long file name\n");
    LogNmeaDebug(nmea, "No file name\n");
    return false;
  }
  auto text_or_empty = [](const char* text) { return text[0] != '\0' ? text : nullptr; };
  char* text = nullptr;
  int length = EncodeIgcLog(tGps.pTrack, tGps.nTrackPoints, text_or_empty(tGps.szPilotName),
                            text_or_empty(tGps.szGliderType), text_or_empty(tGps.szGliderId),
                            text_or_empty(tGps.szCompClass), text_or_empty(tGps.szSiteName), tGps.szProduct, nullptr,
                            &tTask, tGps.dwDownloadTime, &text, static_cast<int>(tGps.bSigned));
  if (length < 1) {
    if (length >= 0) std::free(text);
    LogNmeaDebug(nmea, "Error writing IGC file\n");
    Out("Saving igc file: Memory allocation error\n");
    return false;
  }
  LogNmeaDebug(nmea, "IGC file is \"%s\", length %d bytes\n", name, length);
  Out("Saving igc file: File \"%s\", %d bytes\n", name, length);
  int written = WriteFileAtomically(name, text, static_cast<size_t>(length));
  std::free(text);
  if (written == 0) {
    LogNmeaDebug(nmea, "IGC file saved\n");
    Out("Saving igc file: File saved\n");
    return true;
  }
  if (written == -1) {
    LogNmeaDebug(nmea, "Couldn't create IGC file\n");
    Out("Saving igc file: Couldn't create file %s\n", name);
  } else {
    LogNmeaDebug(nmea, "Error writing IGC file\n");
    Out("Saving igc file: Error writing file %s\n", name);
  }
  return false;
}

}  // namespace

void MakeCRecordPosition(char* dest, double latitude, double longitude, const char* text) {
  uint32_t lat = static_cast<uint32_t>(std::fabs(latitude) * kRadianToMin1000 + 0.5);
  uint32_t lon = static_cast<uint32_t>(std::fabs(longitude) * kRadianToMin1000 + 0.5);
  int n = std::snprintf(dest, sizeof tTask.aszCRecord[0], "C%02u%02u%03u%c%03u%02u%03u%c%s", lat / 60000,
                        (lat / 1000) % 60, lat % 1000, latitude < 0 ? 'S' : 'N', lon / 60000, (lon / 1000) % 60,
                        lon % 1000, longitude < 0 ? 'W' : 'E', text);
  (void)n;  // a text too long for the line is cut
}

int MakeTaskPoints(NmeaState* nmea) {
  (void)nmea;
  int32_t count = tGps.nWaypoints;
  if (count < kMinTaskPoints) {
    Out("Task file: Too few waypoints\n");
    return -1;
  }
  if (count > kMaxTaskPoints) {
    Out("Task file: Too many waypoints\n");
    return -1;
  }
  for (int32_t i = 0; i < count; ++i) {
    const Waypoint& wpt = tGps.pWaypoints[i];
    ArcPos arc{wpt.nLatitude, wpt.nLongitude};
    GeoPos geo;
    ConvertArcToGeoPos(&arc, &geo);
    Out("ID=%s, Lat=%f, Lon=%f, H=%d, Cmt=%s\n", wpt.szName, geo.dLatitude * kRadianToDegree,
        geo.dLongitude * kRadianToDegree, wpt.nAltitudeM, wpt.szComment);
    const char* text = wpt.szComment[0] != '\0' ? wpt.szComment : wpt.szName[0] != '\0' ? wpt.szName : "TP";
    MakeCRecordPosition(tTask.aszCRecord[i + 2], geo.dLatitude, geo.dLongitude, text);
  }
  return count + 3;
}

int GetTaskData(NmeaState* nmea) {
  std::free(tGps.pWaypoints);
  tGps.pWaypoints = nullptr;
  tGps.nWaypoints = 0;
  tGps.nWaypointSize = 0;
  if (!tGps.bSilent) std::printf("\n");
  nmea->nStatusLength = 0;
  tTask.nCRecords = 0;
  if (tGps.szTaskFileName[0] == '\0') return -1;
  if (LoadTaskFile(nmea) != 0) return -1;
  int lines = MakeTaskPoints(nmea);
  if (lines < 0) return -1;
  tTask.nCRecords = lines;
  return 0;
}

void UpdateTaskInfo() {
  if (tTask.nCRecords == 0 || tGps.nTrackPoints <= 0) return;
  const TrackPoint& first = tGps.pTrack[0];
  const TrackPoint& last = tGps.pTrack[tGps.nTrackPoints - 1];
  SystemTime st = TimeOf(first.dwTime);
  char name[sizeof tGps.szTaskFileName];
  char line[sizeof name + 64];
  std::snprintf(line, sizeof line, "C%02d%02d%02d%02d%02d%02d0000000001%02d%s",
                        static_cast<int>(st.wDay), static_cast<int>(st.wMonth), static_cast<int>(st.wYear) - 2000,
                        static_cast<int>(st.wHour), static_cast<int>(st.wMinute), static_cast<int>(st.wSecond),
                        tTask.nCRecords - 5, TaskName(name, sizeof name));
  // A task name too long for the line is cut.
  size_t length = std::strlen(line);
  if (length >= sizeof tTask.aszCRecord[0]) length = sizeof tTask.aszCRecord[0] - 1;
  std::memcpy(tTask.aszCRecord[0], line, length);
  tTask.aszCRecord[0][length] = '\0';
  GeoPos geo = PointGeo(first);
  MakeCRecordPosition(tTask.aszCRecord[1], geo.dLatitude, geo.dLongitude, "TAKEOFF");
  geo = PointGeo(last);
  MakeCRecordPosition(tTask.aszCRecord[tTask.nCRecords - 1], geo.dLatitude, geo.dLongitude, "LANDING");
}

int MakeFlightFileName(char* dest, size_t size, uint32_t gpsTime) {
  SystemTime st = TimeOf(gpsTime);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d-%02d-%02d_%02d-%02d.igc", static_cast<int>(st.wYear),
                static_cast<int>(st.wMonth), static_cast<int>(st.wDay), static_cast<int>(st.wHour),
                static_cast<int>(st.wMinute));
  size_t nameLength = std::strlen(tGps.szFileName);
  size_t length;
  if (nameLength == 0) {
    length = std::strlen(stamp);
  } else if (tGps.szFileName[nameLength - 1] == '/') {
    length = nameLength + std::strlen(stamp);
  } else {
    length = nameLength + 4;
  }
  if (length > kMaxFlightFileName || length >= size) return -1;
  // The lengths are checked: the pieces fit.
  std::memcpy(dest, tGps.szFileName, nameLength);
  if (nameLength == 0 || tGps.szFileName[nameLength - 1] == '/') {
    std::memcpy(dest + nameLength, stamp, std::strlen(stamp) + 1);
  } else {
    std::memcpy(dest + nameLength, ".igc", 5);
  }
  return 0;
}

void ExecuteTakeoffScript(NmeaState* nmea) {
  RunScript(nmea, tGps.szTakeoffScript, "Executing takeoff script\n", "No takeoff script\n");
}

void ExecuteLandingScript(NmeaState* nmea) {
  RunScript(nmea, tGps.szLandingScript, "Executing landing script\n", "No landing script\n");
}

void HandleTask(NmeaState* nmea) {
  if (tGps.nTrackPoints <= 0) return;
  switch (nmea->nTaskState) {
    case kTaskInit:
      LogPosition(nmea, false, 0.0, 0.0);
      HandleInit(nmea);
      break;
    case kTaskWaiting:
      LogPosition(nmea, false, 0.0, 0.0);
      HandleWaiting(nmea);
      break;
    case kTaskFlying:
      HandleFlying(nmea);
      break;
    default:
      nmea->nTaskState = kTaskInit;
      break;
  }
}

int RestartTask(NmeaState* nmea) {
  int32_t points = tGps.nTrackPoints;
  if (points == 0) {
    LogNmeaDebug(nmea, "Restart task: No points logged\n");
    Out("\nTask log: Got %d points. No file(s) written.\n", points);
  } else if (nmea->nTaskState != kTaskFlying) {
    LogNmeaDebug(nmea, "Restart task: No takeoff detected\n");
    Out("\nRestart task: Got %d points. Ignored since no takeoff has been detected\n", points);
  } else {
    LogNmeaDebug(nmea, "Restart task: %d points logged\n", points);
    Out("\nRestart task: %d points logged\n", points);
    DescribeLiveTrack();
    SystemTime st = TimeOf(tGps.pTrack[points - 1].dwTime);
    LogNmeaDebug(nmea, "Landing at %02d:%02d:%02d\n", static_cast<int>(st.wHour), static_cast<int>(st.wMinute),
                 static_cast<int>(st.wSecond));
    Out("Landing at %02d:%02d:%02d\n", static_cast<int>(st.wHour), static_cast<int>(st.wMinute),
        static_cast<int>(st.wSecond));
    if (tTask.nCRecords != 0) {
      UpdateTaskInfo();
      WriteCRecordsToLog(nmea);
    }
    if (!SaveFlight(nmea)) ++nmea->nFailedFlightSaves;
    ExecuteLandingScript(nmea);
  }
  std::free(tGps.pTrack);
  tGps.pTrack = nullptr;
  tGps.nTrackPoints = 0;
  tGps.nTrackSize = 0;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kLoggerTrackSize));
  if (tGps.pTrack == nullptr) {
    Out("Memory allocation error\n");
    return -1;
  }
  tGps.nTrackSize = kLoggerTrackSize;
  FlushComFifo();
  ClearNmeaState(nmea);
  LogNmeaDebug(nmea, "\nTask state is INIT\n");
  return 0;
}
