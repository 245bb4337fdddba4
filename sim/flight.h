// The flights an emulated instrument holds in its memory: read from IGC
// files, or made up, and optionally spoiled the ways real logs are spoiled.
// Everything here is the emulator's own, independent of the tool's decoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One logged fix in the units the instruments store. Positions are in
// 1/60000 degree (thousandths of an arc-minute, exactly the IGC DDMMmmm
// unit), north and EAST positive; protocols that count west positive negate.
struct FlightPoint {
  uint32_t dwTime = 0;  // seconds since 2000-01-01 00:00:00 UTC
  int32_t nLatitude = 0;
  int32_t nLongitude = 0;
  int32_t nGpsAltitude = 0;       // metres
  int32_t nPressureAltitude = 0;  // metres
};

struct Flight {
  std::string szSource;  // file name, or "synthetic"
  std::vector<FlightPoint> points;
};

struct CalendarTime {
  int nYear, nMonth, nDay, nHour, nMinute, nSecond;
};

// Seconds since 2000-01-01 00:00:00 of a date from 2000 on (no leap seconds).
int64_t SecondsSince2000(int year, int month, int day, int hour, int minute, int second);
CalendarTime SplitSecondsSince2000(uint32_t seconds);

// Reads the B records of an IGC file, dated by its HFDTE record. Malformed B
// records are skipped and counted. False with a message when the file cannot
// be read, has no date, no usable B record, or more points than an
// instrument's memory holds.
bool ReadIgcFlight(const std::string& path, Flight* flight, int* skippedRecords, std::string* error);

// A deterministic flight of a few hundred 1 s fixes: a glide off launch, a
// thermal climb in circles, a long glide, a turn and a final glide.
Flight MakeSyntheticFlight();

// The spoiled logs the tool's track cleaning must cope with. Point numbers
// count from 1 over the points as sent, the --still points included.
struct TrackFaults {
  uint32_t nStillSeconds = 0;  // points standing at the first position before it
  struct Pause {
    uint32_t nAfterPoint;
    uint32_t nSeconds;
  };
  std::vector<Pause> pauses;          // every later point moves on by nSeconds
  std::vector<uint32_t> backwardAt;   // the point is stamped 30 s before its predecessor
  std::vector<uint32_t> spikeAt;      // the point lies some 6 km north-east of the track
};

// Applies the faults in a fixed order (still, pauses, backward steps,
// spikes); faults naming a point the flight lacks are reported in *warnings.
void ApplyTrackFaults(const TrackFaults& faults, Flight* flight, std::vector<std::string>* warnings);

}  // namespace sim
