// IGC flight files: the writer and the reader used by the conversion.
#pragma once

#include <array>
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

// The reflected CRC-32 table (polynomial 0xEDB88320) of the running checksum.
constexpr std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
inline constexpr std::array<uint32_t, 256> adwCrc32Table = MakeCrc32Table();

// The signature material. Every G record ever written depends on these two
// values: they must never change.
inline constexpr uint8_t abScramble[64] = {
    29, 42, 53, 24, 22, 6,  44, 28, 43, 60, 54, 27, 4,  48, 61, 2,  23, 17, 5,  16, 51, 0,
    58, 18, 38, 36, 40, 39, 9,  21, 56, 8,  47, 12, 1,  3,  34, 25, 26, 20, 13, 19, 62, 57,
    30, 7,  55, 14, 45, 52, 46, 49, 33, 11, 41, 35, 37, 32, 10, 63, 50, 15, 59, 31,
};
inline constexpr char kIgcSalt = 'q';

// One checksum step with `byte`; no initial or final inversion.
uint32_t Crc32(uint8_t byte, uint32_t crc);
// Checksum steps over every byte of a NUL-terminated text.
uint32_t UpdateCrc(const char* text, uint32_t crc);

// Appends `text` to a malloc'ed block of `*size` bytes holding `*length`
// bytes and a NUL, doubling the block as needed, and runs the checksum over
// the appended bytes when `crc` is given. -1 after freeing the block (then
// null) when the larger block cannot be had.
int AddIgcString(char** block, int32_t* size, int32_t* length, const char* text, uint32_t* crc);

// Moves the 64 bits of an 8-byte block: bit j of output byte i is the bit
// that table entry 8i + j names (byte index / 8, bit index % 8).
void ScrambleString(uint8_t* data8, const uint8_t* table);

// The G record line ("G" + 16 hex digits + CR LF, NUL-terminated, 20 bytes)
// for the running checksum of everything before it.
void FormatIgcGRecord(uint32_t crc, char* line);

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
