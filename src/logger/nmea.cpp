// The live logger loop: drains the receive FIFO into the sentence assembler,
// pairs RMC and GGA fixes into track points, shows each point and, in task
// mode, hands it to the task state machine.
#include "logger/nmea.h"

#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/records.h"
#include "common/time.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "link/com.h"

namespace {

constexpr const char* kDebugFileName = "velmora.debug";
// Bytes taken from the FIFO before the stop and restart flags are looked at
// again, so that a receiver flooding the line cannot keep the loop from them.
constexpr int kDrainBurst = kComFifoSize;

void PrintLine(const char* text) {
  if (!tGps.bSilent) std::printf("%s\n", text);
}

void WriteTaskSettings(std::FILE* file) {
  std::fprintf(file, "\n");
  std::fprintf(file, "Pilot name:     %s\n", tGps.szPilotName);
  std::fprintf(file, "Glider type:    %s\n", tGps.szGliderType);
  std::fprintf(file, "Glider ID:      %s\n", tGps.szGliderId);
  std::fprintf(file, "Site name:      %s\n", tGps.szSiteName);
  std::fprintf(file, "Comp class:     %s\n", tGps.szCompClass);
  std::fprintf(file, "Takeoff script: %s\n", tGps.szTakeoffScript);
  std::fprintf(file, "Landing script: %s\n", tGps.szLandingScript);
  std::fprintf(file, "\n");
  std::fprintf(file, "Location start interval: %d s\n", tGps.nTaskLocationInterval);
  std::fprintf(file, "Location start distance: %d m\n", tGps.nTaskLocationDistance);
  std::fprintf(file, "Speed takeoff interval:  %d s\n", tGps.nTaskTakeoffInterval);
  std::fprintf(file, "Speed takeoff distance:  %d m\n", tGps.nTaskTakeoffDistance);
  std::fprintf(file, "Speed takeoff prepend:   %d s\n", tGps.nTaskTakeoffPrepend);
  std::fprintf(file, "Box takeoff radius:      %d m\n", tGps.nTaskBoxRadius);
  std::fprintf(file, "Box takeoff height:      %d m\n", tGps.nTaskBoxHeight);
  std::fprintf(file, "Box takeoff prepend:     %d s\n", tGps.nTaskBoxPrepend);
  std::fprintf(file, "Landing interval:        %d s\n", tGps.nTaskLandingInterval);
  std::fprintf(file, "Landing distance:        %d m\n", tGps.nTaskLandingDistance);
  std::fprintf(file, "\n");
}

int StartTrackArray() {
  std::free(tGps.pTrack);
  tGps.nTrackPoints = 0;
  tGps.nTrackSize = kLoggerTrackSize;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kLoggerTrackSize));
  if (tGps.pTrack == nullptr) {
    tGps.nTrackSize = 0;
    PrintLine("Memory allocation error");
    return -1;
  }
  return 0;
}

// Sleeps 10 ms between drains. While the line is quiet it first waits for
// the next byte, at most 100 ms so that a stop or a restart request is seen
// soon: a receiver sending once a second then wakes the logger a few times a
// second instead of a hundred.
void PauseBetweenDrains() {
  if (!NonEmptyComFifo()) WaitComFifo(ComClockSeconds(), 0.1);
  timespec pause{0, 10 * 1000 * 1000};
  nanosleep(&pause, nullptr);
}

}  // namespace

void LogNmeaDebug(NmeaState* nmea, const char* format, ...) {
  if (nmea->pDebugFile == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(nmea->pDebugFile, format, args);
  va_end(args);
}

void ClearNmeaState(NmeaState* nmea) {
  std::FILE* debugFile = nmea->pDebugFile;
  int32_t failedSaves = nmea->nFailedFlightSaves;
  std::memset(nmea, 0, sizeof *nmea);
  nmea->pDebugFile = debugFile;
  nmea->nFailedFlightSaves = failedSaves;
}

void DescribeLiveTrack() {
  tGps.bSigned = 1;
  tGps.bUtcTime = 1;
  SystemTime now;
  GetDownloadTime(&now);
  tGps.dwDownloadTime = ConvertSystemTimeToGpsTime(&now);
  tGps.bPressureAltitude = 0;
  for (int32_t i = 0; i < tGps.nTrackPoints; ++i) {
    if (tGps.pTrack[i].nPressureAltitude != 0) {
      tGps.bPressureAltitude = 1;
      break;
    }
  }
}

int ProcessNmeaPosition(NmeaState* nmea) {
  if (nmea->nRmcCount == 0 || nmea->nGgaCount == 0) return 0;
  uint32_t reference = tGps.nTrackPoints > 0 ? tGps.pTrack[tGps.nTrackPoints - 1].dwTime : 0;
  uint32_t rmcs = nmea->nRmcCount < kFixRingSize ? nmea->nRmcCount : kFixRingSize;
  uint32_t ggas = nmea->nGgaCount < kFixRingSize ? nmea->nGgaCount : kFixRingSize;
  int result = 0;
  for (uint32_t k = 0; k < rmcs; ++k) {
    const RmcFix& rmc = nmea->atRmc[(nmea->nRmcCount - rmcs + k) % kFixRingSize];
    if (rmc.dwGpsTime <= reference) continue;
    const GgaFix* partner = nullptr;
    for (uint32_t j = 0; j < ggas && partner == nullptr; ++j) {
      const GgaFix& gga = nmea->atGga[(nmea->nGgaCount - ggas + j) % kFixRingSize];
      if (gga.dwDayTime == rmc.dwDayTime) partner = &gga;
    }
    if (partner == nullptr) continue;  // its GGA may still come
    if (tGps.nTrackPoints >= tGps.nTrackSize &&
        GrowTrackArray(&tGps.pTrack, &tGps.nTrackSize, tGps.nTrackPoints) != 0) {
      tGps.nTrackPoints = 0;
      return -1;
    }
    TrackPoint& point = tGps.pTrack[tGps.nTrackPoints];
    GeoPos geo{rmc.dLatitude, rmc.dLongitude};
    ArcPos arc;
    ConvertGeoToArcPos(&geo, &arc);
    point.dwFlags = tGps.nTrackPoints == 0 ? kSegmentStart : 0;
    point.dwTime = rmc.dwGpsTime;
    point.nLatitude = arc.nLatitude;
    point.nLongitude = arc.nLongitude;
    point.nGpsAltitude = partner->nAltitude;
    point.nPressureAltitude = rmc.nBaroAltitude;
    ++tGps.nTrackPoints;
    reference = rmc.dwGpsTime;
    result = 1;
  }
  return result;
}

void ShowPosition(NmeaState* nmea) {
  if (tGps.nTrackPoints <= 0) return;
  const TrackPoint& first = tGps.pTrack[0];
  const TrackPoint& last = tGps.pTrack[tGps.nTrackPoints - 1];
  uint32_t elapsed = last.dwTime - first.dwTime;
  SystemTime st;
  ConvertGpsTimeToSystemTime(last.dwTime, &st);
  ArcPos arc{last.nLatitude, last.nLongitude};
  GeoPos geo;
  ConvertArcToGeoPos(&arc, &geo);
  char text[200];
  int length = std::snprintf(text, sizeof text, "%d:%02d:%02d  %d-%02d-%02d %02d:%02d:%02d  %f  %f  %d  %d",
                             static_cast<int>(elapsed / 3600), static_cast<int>(elapsed / 60 % 60),
                             static_cast<int>(elapsed % 60), static_cast<int>(st.wYear), static_cast<int>(st.wMonth),
                             static_cast<int>(st.wDay), static_cast<int>(st.wHour), static_cast<int>(st.wMinute),
                             static_cast<int>(st.wSecond), geo.dLatitude * kRadianToDegree,
                             geo.dLongitude * kRadianToDegree, last.nGpsAltitude / 10, last.nPressureAltitude);
  if (length < 0) return;
  if (length >= static_cast<int>(sizeof text)) length = sizeof text - 1;
  if (tGps.bScroll) {
    std::printf("%s\n", text);
    return;
  }
  static constexpr char kBackspaces[] =
      "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b"
      "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
  uint32_t erase = nmea->nStatusLength < 80 ? nmea->nStatusLength : 80;
  std::fwrite(kBackspaces, 1, erase, stdout);
  std::fwrite(text, 1, static_cast<size_t>(length), stdout);
  nmea->nStatusLength = static_cast<uint32_t>(length);
  std::fflush(stdout);
}

int DrainNmeaFifo(NmeaState* nmea, bool taskMode) {
  int taken = 0;
  while (taken < kDrainBurst && NonEmptyComFifo()) {
    ++taken;
    nmea->bRxChar = ReadComFifo();
    if (ProcessNmeaCharacter(nmea) != 1) continue;
    int appended = ProcessNmeaPosition(nmea);
    if (appended < 0) {
      PrintLine("\nMemory allocation error");
      return -1;
    }
    if (appended == 0) continue;
    if (!tGps.bSilent) ShowPosition(nmea);
    if (taskMode) HandleTask(nmea);
  }
  return taken;
}

int DownloadNmeaStrings() {
  static NmeaState tNmea;
  std::memset(&tNmea, 0, sizeof tNmea);
  std::memset(&tTask, 0, sizeof tTask);
  std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "NMEA");
  bool taskMode = tGps.bTaskMode != 0;

  if (tGps.bDebug) {
    unlink(kDebugFileName);
    tNmea.pDebugFile = std::fopen(kDebugFileName, "a");
  }
  if (taskMode && tNmea.pDebugFile != nullptr) WriteTaskSettings(tNmea.pDebugFile);

  auto closeDebugLog = [] {
    if (tNmea.pDebugFile != nullptr) std::fclose(tNmea.pDebugFile);
    tNmea.pDebugFile = nullptr;
  };
  if (StartTrackArray() != 0) {
    closeDebugLog();
    return -1;
  }
  FlushComFifo();
  if (OpenComPort() != 0) {
    closeDebugLog();
    return -1;
  }
  LogNmeaDebug(&tNmea, "Task state is INIT\n");

  int result = 0;
  while (result == 0 && !LoadShared(tGps.bStop)) {
    int taken = DrainNmeaFifo(&tNmea, taskMode);
    if (taken < 0) {
      result = -1;
      break;
    }
    if (taskMode && restartTask.exchange(0, std::memory_order_acq_rel) != 0) {
      if (RestartTask(&tNmea) != 0) {
        result = -1;
        break;
      }
    }
    if (taken < kDrainBurst) PauseBetweenDrains();
  }
  CloseComPort();

  if (result == 0) {
    if (taskMode) {
      // The flight in progress is saved now; the run ends well only when no
      // flight of it was lost.
      if (RestartTask(&tNmea) != 0 || tNmea.nFailedFlightSaves != 0) result = -1;
    } else {
      DescribeLiveTrack();
      if (!tGps.bSilent) std::printf("\nGot %d points\n", tGps.nTrackPoints);
    }
  }
  closeDebugLog();
  return result;
}
