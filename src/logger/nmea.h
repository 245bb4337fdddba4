// The live NMEA logger: the sentence assembler and decoders, the pairing of
// RMC and GGA fixes into track points, the status line, and the unattended
// task mode with its takeoff and landing detectors and per-flight IGC files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "formats/igc.h"

constexpr int kMaxSentenceLength = 200;
constexpr int kFixRingSize = 4;
constexpr int32_t kLoggerTrackSize = 2000;

enum TaskMachineState : uint32_t {
  kTaskInit = 0,
  kTaskWaiting = 1,
  kTaskFlying = 2,
};

enum NmeaParseState : uint32_t {
  kParseIdle = 0,
  kParseSentence = 1,
  kParseChecksumHigh = 2,
  kParseChecksumLow = 3,
  kParseSentenceEnd = 4,
  kParseText = 10,
  kParseTextEnd = 11,
};

struct RmcFix {
  uint32_t dwGpsTime;
  uint32_t dwDayTime;  // hour * 3600 + minute * 60 + second of the time field
  double dLatitude;    // radians, north positive
  double dLongitude;   // radians, east positive
  int32_t nBaroAltitude;  // metres, the barometric altitude known when the fix came
};

struct GgaFix {
  uint32_t dwDayTime;
  int32_t nAltitude;  // decimetres: whole metres times 10
};

struct NmeaState {
  uint32_t nTaskState;
  uint8_t bRxChar;
  uint32_t nParseState;
  char szSentence[kMaxSentenceLength + 1];
  uint32_t nSentenceLength;
  uint8_t bChecksum;
  uint8_t bRxChecksum;
  int32_t nBaroAltitude;
  uint32_t nStatusLength;
  RmcFix atRmc[kFixRingSize];
  uint32_t nRmcCount;
  GgaFix atGga[kFixRingSize];
  uint32_t nGgaCount;
  uint32_t dwTakeoffTime;
  uint32_t dwStartTime;
  // The two fields below survive a task restart.
  std::FILE* pDebugFile;
  int32_t nFailedFlightSaves;  // flights of this run whose IGC file could not be written
};

extern TaskState tTask;

// Sentence assembly and decoding.
int ProcessNmeaCharacter(NmeaState* nmea);
int DecodeNmeaString(NmeaState* nmea);
void DecodeNonNmeaBaroHeight(NmeaState* nmea);
// Standard atmosphere: the altitude in metres of a pressure in pascals.
// False (and *metres untouched) for a pressure that gives no sane altitude.
bool CalcPressureAltitude(double pascals, int32_t* metres);

// The logger loop, the pairing and the status line.
int DownloadNmeaStrings();
// Takes up to a burst of bytes from the receive FIFO through the assembler,
// the pairing and, in task mode, the state machine. The bytes taken, or -1
// after its message when memory runs out.
int DrainNmeaFifo(NmeaState* nmea, bool taskMode);
int ProcessNmeaPosition(NmeaState* nmea);
void ShowPosition(NmeaState* nmea);
// Sets the description flags of a live track before it is saved.
void DescribeLiveTrack();

// Task mode.
void HandleTask(NmeaState* nmea);
void ExecuteTakeoffScript(NmeaState* nmea);
void ExecuteLandingScript(NmeaState* nmea);
int GetTaskData(NmeaState* nmea);
void UpdateTaskInfo();
int RestartTask(NmeaState* nmea);

// Pieces of the task declaration and of the flight file naming, on their own
// for the tests.
// "C" + position (thousandths of arc minutes) + text, cut to fit a C record.
void MakeCRecordPosition(char* dest, double latitude, double longitude, const char* text);
// Lines 2.. of the declaration from the waypoint array; the count of lines
// made (waypoints + 3), or -1 for fewer than 2 or more than 26 waypoints.
int MakeTaskPoints(NmeaState* nmea);
// The IGC file name of a flight whose first point has `gpsTime`: 0, or -1
// when the name would be too long.
int MakeFlightFileName(char* dest, size_t size, uint32_t gpsTime);
// Zero-fills the record but keeps what lives across flights.
void ClearNmeaState(NmeaState* nmea);
// Writes a line to the debug log when it is open.
void LogNmeaDebug(NmeaState* nmea, const char* format, ...) __attribute__((format(printf, 2, 3)));
