// Track saving, file naming and the waypoint files.
#pragma once

#include <cstddef>
#include <cstdint>

int SaveTracklog();
int SaveIgcTrackLog(int trimmed);
int SaveKmlTrackLog(const char* name, int trimmed);
int MakeLogFileName(char* dest, int max, uint32_t gpsTime, const char* suffix);
int MakeWptFileName(char* dest, int max, const char* extension);

int SaveOziWaypoints();
int SaveGpxWaypoints();
int SaveKmlWaypoints();
int ReadWaypointFile();

// Writes `length` bytes to a temporary file beside `name` and renames it
// into place, so a failed write never leaves a truncated file nor destroys an
// earlier one. 0 on success; -1 when the file cannot be created, -2 when it
// cannot be written completely.
int WriteFileAtomically(const char* name, const void* data, size_t length);

// Decoders of a whole waypoint file held in memory (NUL-terminated, cut into
// pieces in place); each builds a new waypoint array in tGps.
int DecodeOziWpts(char* text);
int DecodeGeoWpts(char* text);
