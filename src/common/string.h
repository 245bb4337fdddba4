// Text field codecs working in place on NUL-terminated byte strings, and the
// growing text buffer every document writer appends to.
#pragma once

#include <cstdint>

struct LogTxt {
  char* pBuffer;
  int32_t nBufferSize;
  int32_t nLength;
  char szPiece[256];
  int32_t nPieceLength;
};

// "0".."9", "A".."F", "a".."f" give their value, every other code 99.
extern const uint8_t abAsciiToHex[256];

char* ExtractLine(char* p, char** line);
char* ExtractCommaItem(char* p, char** item);
char* ExtractSpaceItem(char* p, char** item);
int ParseNmeaString(char* sentence, int* offsets, int max);

int DecodeUintString(const char* text, uint32_t* out);
int DecodeIntegerString(const char* text, int32_t* out);
int DecodeHexString(const char* text, uint32_t* out);
int DecodeDecimalString(const char* text, double* out);
int DecodeDateString2(const char* text, uint32_t* year, uint32_t* month, uint32_t* day);
int DecodeTimeString(const char* text, uint32_t* hour, uint32_t* minute, uint32_t* second, char separator);
int DecodeWaypointId(const char* text, char* name);
const char* DecodeWaypointCmt(const char* text, char* comment);
const char* DecodeWptPosString(const char* text, int latitude, double* degrees);

int EncodeDegreesString(char* dest, int32_t angle, int latitude);
int CompressString(char* s);
int CompressXmlString(char* s);

// Starts a buffer of `size` bytes; -1 when memory runs out.
int InitLogTxt(LogTxt* txt, int32_t size);
void FreeLogTxt(LogTxt* txt);
int AddLogTxt(LogTxt* txt);
// Formats szPiece (cut at 255 characters) and appends it.
int AddLogTxtF(LogTxt* txt, const char* format, ...) __attribute__((format(printf, 2, 3)));
