// IQ Basic and Flytec 6015: parameters, flight list and the flight as the
// instrument's own IGC file, over the serial link at 57600 baud. The text is
// kept for the IGC file and decoded by the IGC reader for the KML document.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/input.h"
#include "common/progress.h"
#include "common/string.h"
#include "common/time.h"
#include "formats/igc.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "instruments/iqbasic.h"
#include "link/com.h"

namespace iqbasic {

// Far more than any list or log line takes: beyond it the line carries
// noise, and a transfer that only ends on silence would never end.
constexpr int kMaxBytesWithoutLine = 4096;
constexpr int kMaxListBytes = 64 * 1024;

// What an instrument sends must not steer the terminal.
char Shown(uint8_t c) { return (c == 0x7F || (c >= 0x80 && c < 0xA0)) ? '?' : static_cast<char>(c); }

bool FeedReplyByte(ReplyLine* r, uint8_t c) {
  if (c == '\n') {
    r->szText[r->nLength] = '\0';
    r->nLength = 0;
    r->bCrSeen = false;
    return true;
  }
  if (c == '\r') r->bCrSeen = true;
  if (!r->bCrSeen && r->nLength < kMaxReply) r->szText[r->nLength++] = static_cast<char>(c);
  return false;
}

// Sends the command and reads one reply line: 0, -1 when no line end came
// within 2 s, kWaitInterrupted - 1 on a stop request.
constexpr int kInterrupted = kWaitInterrupted - 1;
int GetPAdata(ReplyLine* reply, const char* command) {
  WriteComString(command);
  double sent = ComClockSeconds();
  reply->nLength = 0;
  reply->bCrSeen = false;
  for (;;) {
    int waited = WaitComFifo(sent, 2.0);
    if (waited == kWaitInterrupted) return kInterrupted;
    if (waited == 0) return -1;
    while (NonEmptyComFifo()) {
      if (FeedReplyByte(reply, ReadComFifo())) {
        return PauseSeconds(0.2) == kWaitInterrupted ? kInterrupted : 0;
      }
    }
    if (ComClockSeconds() - sent >= 2.0) return -1;
  }
}

// Pairs of hexadecimal digits, least significant byte first, blanks around.
int DecodePAdata(const char* text, uint32_t* value) {
  const char* p = text;
  while (*p == ' ') ++p;
  uint32_t v = 0;
  int bytes = 0;
  while (abAsciiToHex[static_cast<uint8_t>(*p)] <= 15) {
    uint8_t high = abAsciiToHex[static_cast<uint8_t>(p[0])];
    uint8_t low = abAsciiToHex[static_cast<uint8_t>(p[1])];
    if (low > 15) return -1;
    if (bytes < 4) v |= static_cast<uint32_t>(high << 4 | low) << (8 * bytes);
    ++bytes;
    p += 2;
  }
  while (*p == ' ') ++p;
  if (*p != '\0') return -1;
  *value = v;
  return 0;
}

int DecodeParameterReply(const char* reply, const char* prefix, uint32_t* value) {
  size_t n = std::strlen(prefix);
  if (std::strncmp(reply, prefix, n) != 0) return -1;
  return DecodePAdata(reply + n, value) < 0 ? -2 : 0;
}

int ReadParameter(const char* command, const char* prefix, const char* what, const char* formatError,
                  uint32_t* value) {
  ReplyLine reply;
  int got = GetPAdata(&reply, command);
  if (got == kInterrupted) return ReportInterrupted("");
  if (got < 0) {
    std::printf("Bad/missing PAdata response (%s)\n", what);
    return -1;
  }
  int decoded = DecodeParameterReply(reply.szText, prefix, value);
  if (decoded < 0) {
    std::printf("Bad PAdata response (%s)\n", decoded == -1 ? what : formatError);
    return -1;
  }
  return 0;
}

void StoreProductText(uint32_t serial, uint32_t type, uint32_t version) {
  std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "%s, SW %u.%u.%02u, S/N %u", type != 0 ? "IQ-BASIC" : "6015",
                version / 1000, (version / 100) % 10, version % 100, serial);
}

int ReadProductData() {
  std::printf("Product: ");
  std::fflush(stdout);
  FlushComFifo();
  uint32_t serial, type, version;
  if (ReadParameter("RPA_00\r\n", "RPA_00_", "serial number", "serial number", &serial) < 0 ||
      ReadParameter("RPA_01\r\n", "RPA_01_", "device type", "device type format error", &type) < 0 ||
      ReadParameter("RPA_02\r\n", "RPA_02_", "software version", "software version format error", &version) < 0) {
    return -1;
  }
  StoreProductText(serial, type, version);
  std::printf("%s\n", tGps.szProduct);
  return 0;
}

bool LineNumber(const char* line, int32_t* number) {
  // A whole received line can stand before the first ";", not only the part
  // of it kept in the list.
  char first[kMaxReply + 1];
  size_t n = std::strcspn(line, ";");
  if (n >= sizeof first) return false;
  std::memcpy(first, line, n);
  first[n] = '\0';
  return DecodeIntegerString(first, number) == 0;
}

bool FeedListByte(IqBasicLink* l, uint8_t c) {
  ReplyLine* r = &l->tLine;
  if (c == '\r') r->bCrSeen = true;
  if (c != '\n') {
    // Control bytes are line noise, and must not reach the terminal.
    if (!r->bCrSeen && r->nLength < kMaxReply && c >= 0x20) r->szText[r->nLength++] = Shown(c);
    return false;
  }
  int length = r->nLength;
  r->szText[length] = '\0';
  r->nLength = 0;
  r->bCrSeen = false;
  if (length == 0) return false;
  if (l->nLines < kMaxFlights) {
    size_t kept = static_cast<size_t>(length) < kListLine ? static_cast<size_t>(length) : kListLine;
    std::memcpy(l->aszList[l->nLines], r->szText, kept);
    l->aszList[l->nLines++][kept] = '\0';
  }
  return true;
}

int FindFlight(const IqBasicLink* l, int selected) {
  for (int i = 0; i < l->nLines; ++i) {
    int32_t number;
    if (LineNumber(l->aszList[i], &number) && number == selected) return i;
  }
  return -1;
}

int ReadTrackList(IqBasicLink* l) {
  std::printf("Track list:\n");
  std::fflush(stdout);
  FlushComFifo();
  WriteComString("ACT_20_  \r\n");
  int nSinceLine = 0, nTotal = 0;
  l->nLines = 0;
  l->tLine.nLength = 0;
  l->tLine.bCrSeen = false;
  // The list has no end marker: a second of silence ends it.
  double last = ComClockSeconds();
  for (;;) {
    int waited = WaitComFifo(last, 1.0);
    if (waited == kWaitInterrupted) return ReportInterrupted("");
    if (waited == 0) break;
    while (NonEmptyComFifo()) {
      uint8_t c = ReadComFifo();
      if (++nSinceLine > kMaxBytesWithoutLine || ++nTotal > kMaxListBytes) {
        std::printf("Timeout\n");
        return -1;
      }
      if (FeedListByte(l, c)) {
        std::printf("%s\n", l->tLine.szText);
        int32_t number;
        if (LineNumber(l->tLine.szText, &number)) nSinceLine = 0;
      }
    }
    last = ComClockSeconds();
  }
  if (l->nLines == 0) {
    std::printf("No entry in the flightlist found\n");
    return 1;
  }
  int selected = tGps.nFlightSelect;
  if (selected == 0) return -1;  // only the list was asked for
  if (selected < 0) {
    std::printf("Select: ");
    std::fflush(stdout);
    if (ReadInputInteger(&selected) < 0) {
      if (StopRequested()) return ReportInterrupted("");
      std::printf("No flight number found\n");
      return -1;
    }
  }
  if (selected < 0 || selected > 99) {
    std::printf("Flight number out of range\n");
    return -1;
  }
  if (FindFlight(l, selected) >= 0) {
    std::printf("Match in flight list for flight %d\n", selected);
    return selected;
  }
  std::printf("No match in flight list for selected flight number\n");
  return -1;
}

int StoreRawByte(uint8_t c) {
  if (tGps.nRawIgcLength >= tGps.nRawIgcSize) {
    if (tGps.nRawIgcSize >= kMaxRawIgc) {
      std::printf(" Log larger than %d bytes\n", kMaxRawIgc);
      return -1;
    }
    int32_t size = tGps.nRawIgcSize * 2 > kMaxRawIgc ? kMaxRawIgc : tGps.nRawIgcSize * 2;
    auto* grown = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (grown == nullptr) {
      std::printf(" Memory allocation error\n");
      return -1;
    }
    std::memcpy(grown, tGps.pRawIgc, static_cast<size_t>(tGps.nRawIgcLength));
    std::free(tGps.pRawIgc);
    tGps.pRawIgc = grown;
    tGps.nRawIgcSize = size;
  }
  tGps.pRawIgc[tGps.nRawIgcLength++] = c;
  return 0;
}

int StartRawLog() {
  std::free(tGps.pRawIgc);
  tGps.pRawIgc = static_cast<uint8_t*>(std::malloc(20000));
  tGps.nRawIgcLength = 0;
  tGps.nRawIgcSize = tGps.pRawIgc != nullptr ? 20000 : 0;
  if (tGps.pRawIgc == nullptr) {
    std::printf("Memory allocation error\n");
    return -1;
  }
  return 0;
}

int DecodeRawLog() {
  if (tGps.nRawIgcLength == 0) return -1;
  // Silence inside a line is a cut transfer, not the end of the flight.
  const uint8_t* text = tGps.pRawIgc;
  for (int32_t i = tGps.nRawIgcLength; i > 0 && text[i - 1] != '\n'; --i) {
    if (text[i - 1] != '\r') {
      std::printf("Transfer ended inside a record\n");
      return -1;
    }
  }
  if (DecodeIgcBuffer(reinterpret_cast<const char*>(text), static_cast<size_t>(tGps.nRawIgcLength)) < 0) return -1;
  tGps.dwRawIgcStartTime = tGps.pTrack[0].dwTime;
  return 0;
}

int ReadTrackLog(int flight) {
  if (StartRawLog() < 0) return -1;
  FlushComFifo();
  char command[16];
  std::snprintf(command, sizeof command, "ACT_21_%02X\r\n", static_cast<unsigned>(flight) & 0xFF);
  WriteComString(command);
  Progress progress;
  ProgressStart(&progress, "Bytes", static_cast<int>(tGps.bScroll));
  // The file has no end marker: a second of silence ends it. A line is
  // counted as such when it starts with a record letter; bytes that never
  // make one are noise.
  double last = ComClockSeconds(), shown = last;
  int nSinceLine = 0;
  bool lineStart = true, recordLine = false;
  for (;;) {
    int waited = WaitComFifo(last, 1.0);
    if (waited == kWaitInterrupted) return ReportInterrupted(" ");
    if (waited == 0) break;
    while (NonEmptyComFifo()) {
      uint8_t c = ReadComFifo();
      if (StoreRawByte(c) < 0) return -1;
      if (lineStart) recordLine = c >= 'A' && c <= 'Z';
      lineStart = c == '\n';
      if (lineStart && recordLine) nSinceLine = 0;
      if (++nSinceLine > kMaxBytesWithoutLine) {
        std::printf(" Timeout\n");
        return -1;
      }
    }
    last = ComClockSeconds();
    if (last - shown >= 1.0) {
      ProgressUpdate(&progress, tGps.nRawIgcLength);
      shown = last;
    }
  }
  ProgressFinish(&progress, tGps.nRawIgcLength);
  if (DecodeRawLog() < 0) return -1;
  tGps.bSigned = 0;
  tGps.bUtcTime = 1;
  tGps.bPressureAltitude = 1;
  tGps.dwDownloadTime = GetGpsTimeNow();
  return 0;
}

}  // namespace iqbasic

using namespace iqbasic;

int DownloadIqBasicTrackLog() {
  static IqBasicLink link;
  std::memset(&link, 0, sizeof link);
  if (OpenComPort() != 0) return -1;
  int result = ReadProductData();
  int flight = result == 0 ? ReadTrackList(&link) : -1;
  if (flight >= 0) result = ReadTrackLog(flight);
  CloseComPort();
  return flight < 0 || result < 0 ? -1 : 0;
}
