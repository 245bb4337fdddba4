// The KML track document for Google Earth: flight statistics, the greatest
// cross-country distances as seven placemarks, and the track line with its
// point times and content hash.
#pragma once

#include "analysis/analysis.h"
#include "common/string.h"

// Builds the whole document into `text`, which it starts with 10000 bytes;
// the caller frees it with FreeLogTxt. Reads the instrument name from
// tGps.szProduct. May clear a->bUtcTime when point times are invalid.
// 0 when complete; negative when memory runs out (then `text` holds no buffer).
int MakeGoogleFolder(LogTxt* text, TrackAnalysis* a);

// Writes the 17-character hash key and its NUL into out (at least 18 bytes).
void GetXmlStart(char* out);

// Appends `value` with & < > " written as entity references. Longer texts
// are appended in several pieces. 0, or -1 when memory runs out.
int AddXmlEscapedText(LogTxt* text, const char* value);

// Makes an instrument-supplied text safe to stand in an XML document, in
// place: control characters become blanks, bytes that do not form UTF-8 are
// taken as Latin-1 and re-encoded (0x80..0x9F, which Latin-1 leaves to
// controls, become "?"). `size` is the capacity of s; the result is cut at a
// character boundary to fit it.
void MakeXmlSafeText(char* s, int size);
