// The one state record of a run. It starts zero-filled; every module reads
// and writes it directly. Fields written from the reader thread or from a
// signal handler are plain words accessed through std::atomic_ref, which keeps
// the record trivially copyable and zero-fillable.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/records.h"

constexpr int kComFifoSize = 500;
constexpr int kComPortSize = 256;  // an absolute device path of up to 255 characters

struct GpsState {
  uint32_t nCommand;
  char szFileName[301];
  uint32_t dwFileTypes;
  uint32_t nGpsType;
  uint32_t bNoAnalysis;
  uint32_t bDebug;
  int32_t nTrackGap;
  int32_t nFlightSelect;
  uint32_t bScroll;
  uint32_t dwBaudCode;
  uint32_t bTrim;
  uint32_t bTaskMode;
  char szTaskFileName[301];
  uint32_t bSilent;
  char szComPort[kComPortSize];
  uint8_t abComFifo[kComFifoSize];
  uint32_t nComFifoRead;
  uint32_t nComFifoWrite;
  uint32_t bComThreadStop;
  int32_t nComThreadEnded;
  char szPilotName[81];
  char szGliderType[81];
  char szGliderId[81];
  char szSiteName[81];
  char szCompClass[81];
  uint32_t bShowConfig;
  int32_t nTrimLocationInterval;
  int32_t nTrimLocationDistance;
  int32_t nTrimTakeoffInterval;
  int32_t nTrimTakeoffDistance;
  int32_t nTrimTakeoffPrepend;
  int32_t nTrimBoxRadius;
  int32_t nTrimBoxHeight;
  int32_t nTrimBoxPrepend;
  int32_t nTrimLandingInterval;
  int32_t nTrimLandingDistance;
  int32_t nTrimLandingAppend;
  int32_t nTaskLocationInterval;
  int32_t nTaskLocationDistance;
  int32_t nTaskTakeoffInterval;
  int32_t nTaskTakeoffDistance;
  int32_t nTaskTakeoffPrepend;
  int32_t nTaskBoxRadius;
  int32_t nTaskBoxHeight;
  int32_t nTaskBoxPrepend;
  int32_t nTaskLandingInterval;
  int32_t nTaskLandingDistance;
  char szTakeoffScript[256];
  char szLandingScript[256];
  uint32_t bStop;
  char szProduct[81];
  uint32_t dwDownloadTime;
  uint32_t bUtcTime;
  uint32_t bSigned;
  uint32_t bPressureAltitude;
  uint8_t* pRawIgc;
  int32_t nRawIgcSize;
  int32_t nRawIgcLength;
  uint32_t dwRawIgcStartTime;
  TrackPoint* pTrack;
  int32_t nTrackSize;
  int32_t nTrackPoints;
  Waypoint* pWaypoints;
  int32_t nWaypointSize;
  int32_t nWaypoints;
};

extern GpsState tGps;

// 1 = the user asked task mode to close the current flight and start anew.
extern std::atomic<int32_t> restartTask;

static_assert(std::atomic_ref<uint32_t>::is_always_lock_free, "signal flags must be lock-free");
static_assert(std::atomic<int32_t>::is_always_lock_free, "signal flags must be lock-free");

// Acquire load and release store of a word shared between threads or with a
// signal handler.
inline uint32_t LoadShared(uint32_t& word) {
  return std::atomic_ref<uint32_t>(word).load(std::memory_order_acquire);
}
inline void StoreShared(uint32_t& word, uint32_t value) {
  std::atomic_ref<uint32_t>(word).store(value, std::memory_order_release);
}
inline int32_t LoadShared(int32_t& word) {
  return std::atomic_ref<int32_t>(word).load(std::memory_order_acquire);
}
inline void StoreShared(int32_t& word, int32_t value) {
  std::atomic_ref<int32_t>(word).store(value, std::memory_order_release);
}

// True once SIGINT (outside task mode) or SIGTERM asked the run to stop.
inline bool StopRequested() { return LoadShared(tGps.bStop) != 0; }

// Command codes.
enum Command : uint32_t {
  kCmdNone = 0,
  kCmdTrackLog = 1,
  kCmdWaypointDownload = 2,
  kCmdTranslate = 3,
  kCmdWaypointUpload = 4,
};

// Instrument types, in the order of the -g texts.
enum GpsType : uint32_t {
  kGpsNone = 0,
  kGpsGalileo = 1,
  kGpsGarmin = 2,
  kGpsMlr = 3,
  kGpsXcTrainer = 4,
  kGpsFlymaster = 5,
  kGpsDigifly = 6,
  kGpsIqBasic = 7,
  kGpsNmea = 8,
  kGpsSyride = 9,
};

// Output file-type bits of a track log and of a waypoint download.
constexpr uint32_t kTrackFileKml = 1, kTrackFileIgc = 2;
constexpr uint32_t kWptFileOzi = 1, kWptFileGpx = 2, kWptFileKml = 4;

inline constexpr const char* kVersionText = "VelmoraLinux version 0.18";
