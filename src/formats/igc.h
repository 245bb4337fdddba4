// IGC flight files: the writer and the reader used by the conversion.
#pragma once

#include <cstddef>
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

// Reads the text of an IGC file (`length` bytes, no NUL needed) into the
// track array of tGps. Returns the number of G records, or -1 after its
// message, with the track array released.
int DecodeIgcBuffer(const char* text, size_t length);
// The text after "HFDTE" (either "DDMMYY" or "DATE:DDMMYY[,NN]"): the GPS
// time of 00:00:00 of that day. 0 or -1.
int DecodeDateSentence(const char* text, uint32_t* date);
// The text after "B": dwTime receives the second of the day, and the
// position and both altitudes are filled; dwFlags is left alone. 0 or a
// negative error number naming the field that failed.
int DecodePosSentence(const char* text, TrackPoint* point);

// The name of the KML file that -x makes of an IGC file: the source name
// without a final ".igc" (lower case, and only when something precedes it),
// then ".kml". dest holds at least kTranslatedNameSize bytes.
constexpr int kTranslatedNameSize = 305;  // a 300-character name, 4 more and the NUL
void MakeTranslatedFileName(const char* source, char* dest);
