// Digifly Graviter: identification, then the whole log memory as one image
// over the serial line at 38400 baud, decoded into one track per flight
// block; the pilot picks the track to save.
#include "instruments/digifly.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/input.h"
#include "common/progress.h"
#include "common/string.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "link/com.h"

namespace {

constexpr uint32_t kEndOfChain = 0xFFFFFF;
constexpr int32_t kLogSize = kDigiflyLogEnd - kDigiflyLogFirst;
constexpr int32_t kFirstPointerAddress = kDigiflyImageAddress + 1;
constexpr int kMaxProductText = 199;
// The product answer is one short line; a line that runs on far beyond it
// without a line feed is noise.
constexpr int kMaxProductBytes = 512;
// The shortest record (flags 0, every field a delta) takes 4 bytes.
constexpr int32_t kMinRecordBytes = 4;

// Failure codes of one block, in the order its fields are read. Each field
// read from the bit stream has a code for its delta form and the next lower
// one for its absolute form.
enum BlockCode {
  kBadNextPointer = -10,
  kBadHeader = -11,
  kBadDay = -12,
  kBadMonth = -13,
  kBadHour = -14,
  kBadMinute = -15,
  kBadSecondHour = -16,
  kBadSecondMinute = -17,
  kBadType = -18,
  kNoMemory = -19,
  kBadFlags = -20,
  kBadFlagExtension = -21,
  kBadAltitude = -22,
  kBadAux1 = -24,
  kBadAux2 = -26,
  kBadAux3 = -28,
  kBadTime = -30,
  kBadAux4 = -32,
  kBadLatitude = -34,
  kBadLongitude = -36,
};

struct DecodeContext {
  const uint8_t* pImage;
  int32_t nMemoryEnd;  // address of the "*": nothing from here on is memory
  int32_t nRead;       // address of the next byte to read
  int32_t nBlockEnd;
  uint64_t qwBits;
  int nBits;
  int32_t nSpanTotal;  // bytes covered by the blocks decoded so far
  uint8_t abVisited[kDigiflyLogEnd / 8];
};

// Values carried from record to record within a block.
struct RecordState {
  int32_t nAltitude;
  int32_t anAux[4];
  uint32_t dwTime;
  float fLatitude;
  float fLongitude;
};

// The next byte of the circular log area; false at the block's end (when
// bounded) and beyond the bytes received.
bool NextByte(DecodeContext* c, bool bounded, uint8_t* byte) {
  if (c->nRead >= c->nMemoryEnd || (bounded && c->nRead == c->nBlockEnd)) return false;
  *byte = c->pImage[c->nRead - kDigiflyImageAddress];
  if (++c->nRead >= kDigiflyLogEnd) c->nRead = kDigiflyLogFirst;
  return true;
}

bool GetPtr(DecodeContext* c, uint32_t* value) {
  uint8_t b[3];
  for (uint8_t& byte : b) {
    if (!NextByte(c, false, &byte)) return false;
  }
  *value = static_cast<uint32_t>(b[0]) << 16 | static_cast<uint32_t>(b[1]) << 8 | b[2];
  return true;
}

bool GetData(DecodeContext* c, int count, uint8_t* destination) {
  for (int i = 0; i < count; ++i) {
    if (!NextByte(c, true, &destination[i])) return false;
  }
  return true;
}

// Bits come from the least significant end of each byte, bytes in address order.
bool GetBits(DecodeContext* c, int count, uint32_t* value) {
  while (c->nBits < count) {
    uint8_t byte;
    if (!NextByte(c, true, &byte)) return false;
    c->qwBits |= static_cast<uint64_t>(byte) << c->nBits;
    c->nBits += 8;
  }
  *value = static_cast<uint32_t>(c->qwBits & ((uint64_t{1} << count) - 1));
  c->qwBits >>= count;
  c->nBits -= count;
  return true;
}

bool ValidPointer(const DecodeContext* c, uint32_t p) {
  return p >= static_cast<uint32_t>(kDigiflyLogFirst) && p < static_cast<uint32_t>(kDigiflyLogEnd) &&
         p < static_cast<uint32_t>(c->nMemoryEnd);
}

// A signed field: its absolute magnitude or a delta to add, the sign flag
// negating the one and subtracting the other. 0 or the field's code.
int ReadField(DecodeContext* c, bool absolute, int absoluteBits, int deltaBits, bool negative, int code,
              int32_t* value) {
  uint32_t v;
  if (!GetBits(c, absolute ? absoluteBits : deltaBits, &v)) return absolute ? code - 1 : code;
  int32_t signedValue = negative ? -static_cast<int32_t>(v) : static_cast<int32_t>(v);
  *value = absolute ? signedValue : *value + signedValue;
  return 0;
}

// An angle in radians, held in single precision as the instrument holds it:
// a float's bit pattern, or a delta of 1e-7 radian.
int ReadAngle(DecodeContext* c, bool absolute, bool negative, int code, float* angle) {
  uint32_t v;
  if (!GetBits(c, absolute ? 32 : 7, &v)) return absolute ? code - 1 : code;
  if (absolute) {
    float f;
    std::memcpy(&f, &v, sizeof f);
    *angle = negative ? -f : f;
  } else {
    double delta = v * 1e-7;
    *angle = static_cast<float>(*angle + (negative ? -delta : delta));
  }
  return 0;
}

// One record; 0 or its code. *position tells whether it carries a position.
int DecodeRecord(DecodeContext* c, RecordState* r, bool* position) {
  uint32_t f, extension;
  if (!GetBits(c, 10, &f)) return kBadFlags;
  if (f & (1u << 9)) {
    if (!GetBits(c, 8, &extension)) return kBadFlagExtension;
    f |= extension << 10;
  }
  auto bit = [f](int n) { return ((f >> n) & 1u) != 0; };
  int code;
  if ((code = ReadField(c, bit(0), 16, 3, bit(4), kBadAltitude, &r->nAltitude)) < 0) return code;
  if ((code = ReadField(c, bit(1), 8, 4, bit(5), kBadAux1, &r->anAux[0])) < 0) return code;
  if ((code = ReadField(c, bit(2), 8, 3, bit(6), kBadAux2, &r->anAux[1])) < 0) return code;
  if ((code = ReadField(c, bit(3), 6, 2, bit(7), kBadAux3, &r->anAux[2])) < 0) return code;
  uint32_t t;
  if (!GetBits(c, bit(8) ? 17 : 3, &t)) return bit(8) ? kBadTime - 1 : kBadTime;
  r->dwTime = bit(8) ? t : r->dwTime + t;
  *position = bit(9);
  if (*position) {
    if ((code = ReadField(c, bit(11), 8, 3, bit(14), kBadAux4, &r->anAux[3])) < 0) return code;
    if ((code = ReadAngle(c, bit(12), bit(15), kBadLatitude, &r->fLatitude)) < 0) return code;
    if ((code = ReadAngle(c, bit(13), bit(16), kBadLongitude, &r->fLongitude)) < 0) return code;
  }
  // Every record starts on a byte boundary.
  c->qwBits = 0;
  c->nBits = 0;
  return 0;
}

DigiflyTrack* AddTrack(DigiflyLog* log, int32_t capacity) {
  if (log->nTracks == log->nTrackSize) {
    int32_t size = log->nTrackSize == 0 ? 16 : 2 * log->nTrackSize;
    void* grown = std::realloc(log->pTracks, static_cast<size_t>(size) * sizeof(DigiflyTrack));
    if (grown == nullptr) return nullptr;
    log->pTracks = static_cast<DigiflyTrack*>(grown);
    log->nTrackSize = size;
  }
  TrackPoint* points = static_cast<TrackPoint*>(std::malloc(static_cast<size_t>(capacity) * sizeof(TrackPoint)));
  if (points == nullptr) return nullptr;
  DigiflyTrack* track = &log->pTracks[log->nTracks++];
  track->pPoints = points;
  track->nPoints = 0;
  return track;
}

// Decodes the block at the read address: 1 to go on with the next block, 0
// at the end of the chain, or a negative code.
int DecodeLog(DecodeContext* c, DigiflyLog* log) {
  int32_t block = c->nRead;
  uint8_t mask = static_cast<uint8_t>(1u << (block & 7));
  if (c->abVisited[block >> 3] & mask) return kDigiflyChainLoops;
  c->abVisited[block >> 3] |= mask;
  uint32_t next;
  if (!GetPtr(c, &next)) return kBadNextPointer;
  if (next == kEndOfChain) return 0;
  if (!ValidPointer(c, next)) return kBadNextPointer;
  // Blocks of a sound chain lie one after the other; more than the whole
  // memory means they overlap, and decoding would go round for ever.
  int32_t span = (static_cast<int32_t>(next) - block + kLogSize) % kLogSize;
  if (span == 0) span = kLogSize;
  c->nSpanTotal += span;
  if (c->nSpanTotal > kLogSize) return kDigiflyChainLoops;
  c->nBlockEnd = static_cast<int32_t>(next);

  uint8_t h[10];
  if (!GetData(c, 10, h)) return kBadHeader;
  if (h[0] < 1 || h[0] > 31) return kBadDay;
  if (h[1] < 1 || h[1] > 12) return kBadMonth;
  if (h[3] > 23) return kBadHour;
  if (h[4] > 59) return kBadMinute;
  if (h[5] > 23) return kBadSecondHour;
  if (h[6] > 59) return kBadSecondMinute;
  if (h[7] != 2 && h[7] != 3) return kBadType;
  SystemTime date{2000u + h[2], h[1], h[0], 0, 0, 0};
  uint32_t baseTime = ConvertSystemTimeToGpsTime(&date);
  int32_t count = h[8] << 8 | h[9];
  if (h[7] == 2 || count == 0) {
    c->nRead = static_cast<int32_t>(next);
    return 1;
  }

  // No more points than records fit between header and block end.
  int32_t capacity = span / kMinRecordBytes + 1;
  if (count < capacity) capacity = count;
  DigiflyTrack* track = AddTrack(log, capacity);
  if (track == nullptr) return kNoMemory;
  RecordState r{};
  c->qwBits = 0;
  c->nBits = 0;
  for (int32_t i = 0; i < count; ++i) {
    bool position;
    int code = DecodeRecord(c, &r, &position);
    if (code < 0) return code;
    if (!position) continue;
    TrackPoint p{};
    p.dwFlags = track->nPoints == 0 ? kSegmentStart : 0;
    p.dwTime = baseTime + r.dwTime;
    p.nGpsAltitude = r.nAltitude * 10;
    GeoPos geo{r.fLatitude, r.fLongitude};
    ArcPos arc;
    ConvertGeoToArcPos(&geo, &arc);
    p.nLatitude = arc.nLatitude;
    p.nLongitude = arc.nLongitude;
    // A fix written twice gives one point, the first fix of a track too
    // (its segment flag alone does not make a repeat a new point).
    if (track->nPoints > 0) {
      const TrackPoint& last = track->pPoints[track->nPoints - 1];
      if (last.dwTime == p.dwTime && last.nLatitude == p.nLatitude && last.nLongitude == p.nLongitude) continue;
    }
    if (track->nPoints >= capacity) return kNoMemory;  // cannot happen: see capacity
    track->pPoints[track->nPoints++] = p;
  }
  c->nRead = static_cast<int32_t>(next);
  return 1;
}

}  // namespace

int DecodeDigiflyImage(const uint8_t* image, int32_t length, DigiflyLog* log) {
  std::memset(log, 0, sizeof *log);
  if (length < 21) return kDigiflyTooFewBytes;
  if (image[0] != 'y' || image[length - 4] != '*' || image[length - 2] != '\r' || image[length - 1] != '\n') {
    return kDigiflyBadFrame;
  }
  uint8_t sum = 0;
  for (int32_t i = 1; i <= length - 5; ++i) sum ^= image[i];
  if (sum != image[length - 3]) return kDigiflyBadChecksum;

  DecodeContext* c = static_cast<DecodeContext*>(std::calloc(1, sizeof(DecodeContext)));
  if (c == nullptr) return kNoMemory;
  c->pImage = image;
  c->nMemoryEnd = kDigiflyImageAddress + length - 4;
  c->nRead = kFirstPointerAddress;
  uint32_t first = kEndOfChain;
  GetPtr(c, &first);  // always received: the frame holds at least 21 bytes
  int result = 0;
  if (first != kEndOfChain) {
    if (ValidPointer(c, first)) {
      c->nRead = static_cast<int32_t>(first);
      while ((result = DecodeLog(c, log)) == 1) {
      }
    } else {
      result = kDigiflyBadFirstPointer;
    }
  }
  std::free(c);
  if (result < 0) FreeDigiflyLog(log);
  return result;
}

void PrintDigiflyError(int code) {
  switch (code) {
    case kDigiflyTooFewBytes: std::printf("Too few bytes received\n"); break;
    case kDigiflyBadFrame: std::printf("Bad format (1)\n"); break;
    case kDigiflyBadChecksum: std::printf("Bad checksum\n"); break;
    case kDigiflyBadFirstPointer: std::printf("Bad format (2)\n"); break;
    default: std::printf("Decoding log returned error %d\n", -code); break;
  }
}

void FreeDigiflyLog(DigiflyLog* log) {
  for (int32_t i = 0; i < log->nTracks; ++i) std::free(log->pTracks[i].pPoints);
  std::free(log->pTracks);
  std::memset(log, 0, sizeof *log);
}

namespace {

int ReadProductData() {
  std::printf("Product: ");
  std::fflush(stdout);
  FlushComFifo();
  WriteComString("V");
  char text[kMaxProductText + 1];
  int length = 0, received = 0;
  bool carriageReturn = false, lineFeed = false;
  double last = ComClockSeconds();
  while (!lineFeed) {
    int waited = WaitComFifo(last, 2.0);
    if (waited == kWaitInterrupted) return ReportInterrupted("");
    if (waited == 0) break;
    while (NonEmptyComFifo() && !lineFeed) {
      uint8_t byte = ReadComFifo();
      if (++received > kMaxProductBytes) {
        std::printf("No/bad response\n");
        return -1;
      }
      lineFeed = byte == '\n';
      carriageReturn = carriageReturn || byte == '\r';
      if (!carriageReturn && !lineFeed && length < kMaxProductText) text[length++] = static_cast<char>(byte);
    }
    last = ComClockSeconds();
  }
  if (lineFeed && PauseSeconds(0.2) == kWaitInterrupted) return ReportInterrupted("");
  text[length] = '\0';
  CompressString(text);
  char* second = std::strchr(text, ' ');
  if (second == nullptr) {
    std::printf("No/bad response\n");
    return -1;
  }
  ++second;
  size_t n = std::strcspn(second, " ");
  if (n > sizeof tGps.szProduct - 1) n = sizeof tGps.szProduct - 1;
  std::memcpy(tGps.szProduct, second, n);
  tGps.szProduct[n] = '\0';
  std::printf("%s\n", tGps.szProduct);
  return 0;
}

// A whole memory has arrived when a sound frame ends exactly where the
// memory ends; the line need not then fall silent before we go on.
bool ImageComplete(const uint8_t* image, int32_t length) {
  if (length != kDigiflyFullImageEnd - kDigiflyImageAddress) return false;
  if (image[0] != 'y' || image[length - 4] != '*' || image[length - 2] != '\r' || image[length - 1] != '\n') {
    return false;
  }
  uint8_t sum = 0;
  for (int32_t i = 1; i <= length - 5; ++i) sum ^= image[i];
  return sum == image[length - 3];
}

int ReadTrackLog(DigiflyLog* log) {
  uint8_t* image = static_cast<uint8_t*>(std::malloc(kDigiflyImageCapacity));
  if (image == nullptr) {
    std::printf("Memory allocation error\n");
    return -1;
  }
  if (PauseSeconds(0.3) == kWaitInterrupted) {
    std::free(image);
    return ReportInterrupted("");
  }
  FlushComFifo();
  WriteComString("y");
  Progress progress;
  ProgressStart(&progress, "Bytes", static_cast<int>(tGps.bScroll));
  int32_t length = 0;
  bool done = false;
  double last = ComClockSeconds();
  // The transfer ends with two seconds of silence, a complete image, or a
  // full buffer: a line that never stops sending cannot hold us.
  while (!done) {
    int waited = WaitComFifo(last, 2.0);
    if (waited == kWaitInterrupted) {
      std::free(image);
      return ReportInterrupted(" ");
    }
    if (waited == 0) break;
    while (NonEmptyComFifo() && !done) {
      image[length++] = ReadComFifo();
      if (length % 4000 == 0) ProgressUpdate(&progress, length);
      done = length == kDigiflyImageCapacity || ImageComplete(image, length);
    }
    last = ComClockSeconds();
  }
  ProgressFinish(&progress, length);
  int result = DecodeDigiflyImage(image, length, log);
  std::free(image);
  if (result < 0) {
    PrintDigiflyError(result);
    return -1;
  }
  return 0;
}

// Lists the tracks and hands the chosen one to tGps. 0 also when nothing
// is chosen (the track array then stays empty), -1 on failure.
int SelectTrack(DigiflyLog* log) {
  if (log->nTracks == 0) {
    std::printf("No tracks found\n");
    return 0;
  }
  int listed = 0;
  for (int32_t i = 0; i < log->nTracks; ++i) {
    const DigiflyTrack& t = log->pTracks[i];
    if (t.nPoints == 0) continue;
    ++listed;
    SystemTime st;
    ConvertGpsTimeToSystemTime(t.pPoints[0].dwTime, &st);
    uint32_t d = t.pPoints[t.nPoints - 1].dwTime - t.pPoints[0].dwTime;
    std::printf("Track %2d:  %d-%02d-%02d  %02d:%02d:%02d  %d:%02d:%02d\n", static_cast<int>(i),
                static_cast<int>(st.wYear), static_cast<int>(st.wMonth), static_cast<int>(st.wDay),
                static_cast<int>(st.wHour), static_cast<int>(st.wMinute), static_cast<int>(st.wSecond),
                static_cast<int>(d / 3600), static_cast<int>(d / 60 % 60), static_cast<int>(d % 60));
  }
  if (listed == 0) {
    std::printf("No tracks with points found\n");
    return 0;
  }
  bool fromCommandLine = tGps.nFlightSelect >= 0;
  if (tGps.nFlightSelect == 0) return -1;  // -f0: the list only
  for (;;) {
    int chosen = tGps.nFlightSelect;
    if (!fromCommandLine) {
      std::printf("Select: ");
      std::fflush(stdout);
      if (ReadInputInteger(&chosen) < 0) return StopRequested() ? ReportInterrupted("") : 0;
    }
    const char* refusal = nullptr;
    if (chosen < 0 || chosen >= log->nTracks) {
      refusal = "Track number outside range";
    } else if (log->pTracks[chosen].nPoints == 0) {
      refusal = "Selected track contains no points";
    }
    if (refusal == nullptr) {
      DigiflyTrack& t = log->pTracks[chosen];
      std::free(tGps.pTrack);
      tGps.pTrack = t.pPoints;
      tGps.nTrackSize = t.nPoints;
      tGps.nTrackPoints = t.nPoints;
      t.pPoints = nullptr;
      t.nPoints = 0;
      tGps.bSigned = 1;
      tGps.bUtcTime = 0;
      tGps.bPressureAltitude = 0;
      tGps.dwDownloadTime = GetGpsTimeNow();
      return 0;
    }
    std::printf("%s\n", refusal);
    if (fromCommandLine) return -1;
  }
}

}  // namespace

int DownloadDigiflyGraviterTrackLog() {
  if (OpenComPort() != 0) return -1;
  DigiflyLog log{};
  int result = ReadProductData();
  if (result == 0) result = ReadTrackLog(&log);
  if (result == 0) result = SelectTrack(&log);
  FreeDigiflyLog(&log);
  CloseComPort();
  return result < 0 ? -1 : 0;
}
