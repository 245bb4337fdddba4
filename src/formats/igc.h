// IGC flight files: the writer and the reader used by the conversion.
#pragma once

#include <cstdint>

#include "common/records.h"

// A task declaration: the C records of a flight file.
constexpr int kMaxCRecords = 30;
struct TaskState {
  char aszCRecord[kMaxCRecords][101];
  int32_t nCRecords;
};

// Builds the text of an IGC file from a track. Texts may be null or empty.
// *out receives a heap block the caller frees with std::free. Returns the
// text length, or -1 when memory runs out (nothing to free then).
int EncodeIgcLog(const TrackPoint* track, int32_t points, const char* pilot, const char* gliderType,
                 const char* gliderId, const char* compClass, const char* site, const char* product,
                 const char* afterManufacturer, const TaskState* task, uint32_t downloadTime, char** out,
                 int sign);

int TranslateIgcLog();
