// Flymaster instruments: identification, flight list, the binary track
// download, and the waypoint list and upload, over the serial link at
// 57600 baud.
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/input.h"
#include "common/progress.h"
#include "common/string.h"
#include "common/time.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "instruments/flymaster.h"
#include "link/com.h"

namespace flymaster {

void CopyField(char* dest, const char* text, size_t limit) {
  size_t n = strnlen(text, limit);
  std::memcpy(dest, text, n);
  dest[n] = '\0';
}

void ResetParser(FlymasterLink* link) {
  link->nParseState = kWaitDollar;
  link->nSentenceLength = 0;
  link->nBlockState = kBlockType;
}

// Feeds one byte to the sentence collector; true when a sentence is complete.
bool CollectSentenceByte(FlymasterLink* link, uint8_t c) {
  switch (link->nParseState) {
    case kWaitDollar:
      if (c == '$') {
        link->szSentence[0] = '$';
        link->nSentenceLength = 1;
        link->nParseState = kCollecting;
      }
      return false;
    case kCollecting:
      if (c == '\r') {
        link->nParseState = kWaitLineFeed;
      } else if (link->nSentenceLength < kMaxSentence) {
        link->szSentence[link->nSentenceLength++] = static_cast<char>(c);
      }
      return false;
    case kWaitLineFeed:
      if (c != '\n') return false;
      link->szSentence[link->nSentenceLength] = '\0';
      link->nParseState = kWaitDollar;
      return true;
  }
  return false;
}

// Collects one sentence: 1, 0 at the time-out or kWaitInterrupted. The
// time-out counts from `since`; with restartPerByte it counts from the last
// byte received instead. A line that keeps sending without ever completing a
// sentence (an instrument at another speed, noise) counts as silent too, so
// no collection waits for ever.
int CollectSentence(FlymasterLink* link, double since, double seconds, bool restartPerByte) {
  int nBytes = 0;
  for (;;) {
    int waited = WaitComFifo(since, seconds);
    if (waited <= 0) return waited;
    while (NonEmptyComFifo()) {
      if (CollectSentenceByte(link, ReadComFifo())) return 1;
      if (++nBytes > kMaxBytesPerSentence) return 0;
    }
    if (restartPerByte) {
      since = ComClockSeconds();
    } else if (ComClockSeconds() - since >= seconds) {
      return 0;
    }
  }
}

void SendByte(uint8_t byte) { WriteComData(&byte, 1); }

// Splits a received sentence; prints the failure and returns -1, or the
// field count.
int SplitSentence(char* sentence, int* offsets, int max, int minFields, const char* identifier,
                  const char* prefix) {
  int fields = ParseNmeaString(sentence, offsets, max);
  if (fields < 0) {
    std::printf("%sNMEA parse error %d\n", prefix, -fields);
    return -1;
  }
  if (fields < minFields) {
    std::printf("%sToo few NMEA parameters\n", prefix);
    return -1;
  }
  if (std::strcmp(sentence, identifier) != 0) {
    std::printf("%sBad NMEA identifier\n", prefix);
    return -1;
  }
  return fields;
}

int DecodeProductSentence(FlymasterLink* link) {
  int offsets[10];
  if (SplitSentence(link->szSentence, offsets, 10, 5, "$PBRSNP", "") < 0) return -1;
  const char* s = link->szSentence;
  CopyField(link->szModel, s + offsets[1], 40);
  CopyField(link->szSecondField, s + offsets[2], 14);
  CopyField(link->szSerial, s + offsets[3], 10);
  CopyField(link->szFirmware, s + offsets[4], 10);
  std::snprintf(tGps.szProduct, sizeof tGps.szProduct, "Flymaster %s  SN%s  SW%s", link->szModel, link->szSerial,
                link->szFirmware);
  return 0;
}

int ReadProductData(FlymasterLink* link) {
  FlushComFifo();
  ResetParser(link);
  WriteComString("$PBRSNP,*21\r\n");
  double sent = ComClockSeconds();
  std::printf("Product: ");
  std::fflush(stdout);
  int collected = CollectSentence(link, sent, 3.0, false);
  if (collected == kWaitInterrupted) return ReportInterrupted("");
  if (collected == 0) {
    std::printf("Timeout\n");
    return -1;
  }
  if (DecodeProductSentence(link) < 0) return -1;
  std::printf("%s\n", tGps.szProduct);
  std::fflush(stdout);
  if (PauseSeconds(1.0) == kWaitInterrupted) return ReportInterrupted("");
  return 0;
}

int DecodeFlightListSentence(FlymasterLink* link) {
  int offsets[10];
  if (SplitSentence(link->szSentence, offsets, 10, 6, "$PFMLST", "") < 0) return -1;
  const char* s = link->szSentence;
  uint32_t count, index, year, month, day, hour, minute, second, dh, dm, ds;
  if (DecodeUintString(s + offsets[1], &count) < 0) {
    std::printf("Bad track count parameter\n");
    return -1;
  }
  if (DecodeUintString(s + offsets[2], &index) < 0) {
    std::printf("Bad track index parameter\n");
    return -1;
  }
  if (DecodeDateString2(s + offsets[3], &year, &month, &day) < 0) {
    std::printf("Bad track date parameter\n");
    return -1;
  }
  if (DecodeTimeString(s + offsets[4], &hour, &minute, &second, ':') < 0) {
    std::printf("Bad track time parameter\n");
    return -1;
  }
  if (index > 99) {
    std::printf("Track index outside allocated range (100)\n");
    return -1;
  }
  if (index > count) {
    std::printf("Track index greater than track count\n");
    return -1;
  }
  if (DecodeTimeString(s + offsets[5], &dh, &dm, &ds, ':') < 0) {
    std::printf("Bad track duration parameter\n");
    return -1;
  }
  if (link->nFlights < kMaxFlights) {
    SystemTime st{year + 2000, month, day, hour, minute, second};
    link->adwFlightStart[link->nFlights] = ConvertSystemTimeToGpsTime(&st);
    link->adwFlightDuration[link->nFlights] = dh * 3600 + dm * 60 + ds;
    ++link->nFlights;
  }
  return 0;
}

int ReadTrackList(FlymasterLink* link) {
  std::memset(link->adwFlightStart, 0, sizeof link->adwFlightStart);
  std::memset(link->adwFlightDuration, 0, sizeof link->adwFlightDuration);
  link->nFlights = 0;
  FlushComFifo();
  ResetParser(link);
  WriteComString("$PFMDNL,LST,*72\r\n");
  std::printf("Track list:\n");
  // The list ends with two seconds of silence.
  int collected;
  while ((collected = CollectSentence(link, ComClockSeconds(), 2.0, true)) > 0) {
    if (DecodeFlightListSentence(link) < 0) return -1;
  }
  if (collected == kWaitInterrupted) return ReportInterrupted("");
  if (link->nFlights == 0) {
    std::printf("No tracks found\n");
    return -1;
  }
  for (int i = 0; i < link->nFlights; ++i) {
    SystemTime st;
    ConvertGpsTimeToSystemTime(link->adwFlightStart[i], &st);
    uint32_t d = link->adwFlightDuration[i];
    std::printf("%2d   %02d.%02d.%02d   %02d:%02d:%02d   %02d:%02d:%02d\n", i + 1, static_cast<int>(st.wDay),
                static_cast<int>(st.wMonth), static_cast<int>(st.wYear % 100), static_cast<int>(st.wHour),
                static_cast<int>(st.wMinute), static_cast<int>(st.wSecond), static_cast<int>(d / 3600),
                static_cast<int>((d % 3600) / 60), static_cast<int>(d % 60));
  }
  int selected;
  if (tGps.nFlightSelect >= 0) {
    selected = tGps.nFlightSelect;
  } else {
    std::printf("Select: ");
    std::fflush(stdout);
    if (ReadInputInteger(&selected) < 0) {
      std::printf("No flight number found\n");
      return -1;
    }
  }
  if (selected < 1 || selected > link->nFlights) {
    std::printf("Flight number out of range\n");
    return -1;
  }
  return selected;
}

BlockResult StoreDataBlock(FlymasterLink* link, uint8_t c) {
  switch (link->nBlockState) {
    case kBlockType:
      if (c >= kBlockInfo && c <= kBlockEnd) {
        link->bBlockType = c;
        link->nBlockState = kBlockTypeAgain;
      }
      return kBlockMore;
    case kBlockTypeAgain:
      if (c == link->bBlockType && c == kBlockEnd) {
        link->nBlockState = kBlockType;
        return kBlockDone;
      }
      link->nBlockState = (c != link->bBlockType && (c < kBlockInfo || c > kBlockEnd)) ? kBlockType : kBlockLength;
      return kBlockMore;
    case kBlockLength:
      link->nBlockLength = c;
      link->bChecksum = c;
      link->nDataCount = 0;
      link->nBlockState = kBlockData;
      return kBlockMore;
    case kBlockData:
      link->bChecksum ^= c;
      link->abData[link->nDataCount++] = c;
      if (link->nDataCount >= link->nBlockLength) link->nBlockState = kBlockChecksum;
      return kBlockMore;
    case kBlockChecksum:
      link->nBlockState = kBlockType;
      return c == link->bChecksum ? kBlockDone : kBlockError;
  }
  return kBlockMore;
}

int32_t ClampToInt32(double value) {
  if (!(value > INT32_MIN)) return INT32_MIN;
  if (!(value < INT32_MAX)) return INT32_MAX;
  return RoundHalfAwayFromZero(value);
}

int SavePos(FlymasterLink* link) {
  if (tGps.nTrackPoints >= tGps.nTrackSize &&
      GrowTrackArray(&tGps.pTrack, &tGps.nTrackSize, tGps.nTrackPoints) < 0) {
    tGps.nTrackSize = 0;
    tGps.nTrackPoints = 0;
    return -1;
  }
  TrackPoint& point = tGps.pTrack[tGps.nTrackPoints];
  point.dwFlags = tGps.nTrackPoints == 0 ? kSegmentStart : 0;
  point.dwTime = link->dwTime + kGpsTimeOf2000;
  point.nLatitude = ClampToInt32(link->nLatitude * 198.8410785185);
  point.nLongitude = ClampToInt32(-(link->nLongitude * 198.8410785185));
  point.nGpsAltitude = link->nAltitude * 10;
  double hpa = std::fabs(link->nPressure / 10.0 / 1013.25);
  point.nPressureAltitude = RoundHalfUp((1.0 - std::pow(hpa, 0.190284)) * 44307.69);
  ++tGps.nTrackPoints;
  if (tGps.nTrackPoints % 200 == 0) ProgressUpdate(&link->tProgress, tGps.nTrackPoints);
  return 0;
}

int32_t Int32At(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
}
int16_t Int16At(const uint8_t* p) { return static_cast<int16_t>(p[0] | p[1] << 8); }

// Cancels the transfer with the instrument and reports why.
int CancelDownload(const char* message) {
  SendByte(kCancel);
  std::printf(" %s\n", message);
  return -1;
}

// Applies one complete block; -1 after cancelling the transfer.
int ApplyBlock(FlymasterLink* link) {
  const uint8_t* d = link->abData;
  switch (link->bBlockType) {
    case kBlockInfo:
      if (link->nDataCount < 63) return CancelDownload("Bad flight info block length");
      link->bInfoSeen = true;
      break;
    case kBlockKey:
      if (link->nDataCount < 17) return CancelDownload("Bad key track position block length");
      link->nLatitude = Int32At(d + 1);
      link->nLongitude = Int32At(d + 5);
      link->nAltitude = Int16At(d + 9);
      link->nPressure = Int16At(d + 11);
      link->dwTime = static_cast<uint32_t>(Int32At(d + 13));
      if (link->nLatitude < -5400000 || link->nLatitude > 5400000) {
        return CancelDownload("Latitude outside valid range");
      }
      if (link->nLongitude < -10800000 || link->nLongitude > 10800000) {
        return CancelDownload("Longitude value outside valid range");
      }
      link->bKeySeen = true;
      if (SavePos(link) < 0) return CancelDownload("Memory allocation error");
      break;
    case kBlockChanges:
      if (!link->bKeySeen) return CancelDownload("Missing key track position block");
      if (link->nDataCount == 0 || link->nBlockLength == 0 || link->nDataCount % 6 != 0) {
        return CancelDownload("Bad track position block length");
      }
      for (int i = 0; i < link->nDataCount; i += 6) {
        // Changes accumulate in unsigned arithmetic so a hostile stream
        // wraps instead of overflowing.
        link->nLatitude = static_cast<int32_t>(static_cast<uint32_t>(link->nLatitude) +
                                               static_cast<uint32_t>(static_cast<int8_t>(d[i + 1])));
        link->nLongitude = static_cast<int32_t>(static_cast<uint32_t>(link->nLongitude) +
                                                static_cast<uint32_t>(static_cast<int8_t>(d[i + 2])));
        link->nAltitude = static_cast<int32_t>(static_cast<uint32_t>(link->nAltitude) +
                                               static_cast<uint32_t>(static_cast<int8_t>(d[i + 3])));
        link->nPressure = static_cast<int32_t>(static_cast<uint32_t>(link->nPressure) +
                                               static_cast<uint32_t>(static_cast<int8_t>(d[i + 4])));
        link->dwTime += d[i + 5];
        if (link->nAltitude > 100000000 || link->nAltitude < -100000000) link->nAltitude = 0;
        if (SavePos(link) < 0) return CancelDownload("Memory allocation error");
      }
      break;
    default:
      break;
  }
  SendByte(kAck);
  return 0;
}

int ReadTrackLog(FlymasterLink* link, int flight) {
  std::free(tGps.pTrack);
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(1000 * sizeof(TrackPoint)));
  tGps.nTrackPoints = 0;
  if (tGps.pTrack == nullptr) {
    tGps.nTrackSize = 0;
    std::printf("Memory allocation error\n");
    return -1;
  }
  tGps.nTrackSize = 1000;
  FlushComFifo();
  ResetParser(link);
  link->bInfoSeen = false;
  link->bKeySeen = false;

  SystemTime st;
  ConvertGpsTimeToSystemTime(link->adwFlightStart[flight - 1], &st);
  char command[64];
  int n = std::snprintf(command, sizeof command, "$PFMDNL,%02d%02d%02d%02d%02d%02d,", static_cast<int>(st.wYear % 100),
                        static_cast<int>(st.wMonth), static_cast<int>(st.wDay), static_cast<int>(st.wHour),
                        static_cast<int>(st.wMinute), static_cast<int>(st.wSecond));
  uint8_t sum = 0;
  for (int i = 1; i < n; ++i) sum ^= static_cast<uint8_t>(command[i]);
  std::snprintf(command + n, sizeof command - static_cast<size_t>(n), "*%02x\r\n", sum);
  WriteComString(command);
  ProgressStart(&link->tProgress, "Points", static_cast<int>(tGps.bScroll));

  double lastByte = ComClockSeconds();
  int nBytesSinceBlock = 0, nResends = 0;
  for (bool ended = false; !ended;) {
    int waited = WaitComFifo(lastByte, 2.0);
    if (waited == kWaitInterrupted) return CancelDownload("Interrupted");
    if (waited == 0) return CancelDownload("Timeout");
    while (NonEmptyComFifo() && !ended) {
      BlockResult result = StoreDataBlock(link, ReadComFifo());
      // Bytes that never make a block, or a block that never arrives
      // intact, end the transfer instead of holding it for ever.
      if (result == kBlockMore && ++nBytesSinceBlock > kMaxBytesPerBlock) return CancelDownload("Timeout");
      if (result != kBlockMore) nBytesSinceBlock = 0;
      if (result == kBlockError) {
        if (++nResends > kMaxResends) return CancelDownload("Too many checksum errors");
        SendByte(kResend);
      } else if (result == kBlockDone) {
        nResends = 0;
        if (link->bBlockType == kBlockEnd) {
          ended = true;
        } else if (ApplyBlock(link) < 0) {
          return -1;
        }
      }
    }
    lastByte = ComClockSeconds();
  }
  if (!link->bInfoSeen) return CancelDownload("Missing flight info block");
  ProgressFinish(&link->tProgress, tGps.nTrackPoints);
  if (tGps.nTrackPoints == 0) return -1;
  tGps.bSigned = 1;
  tGps.bUtcTime = 1;
  tGps.bPressureAltitude = 1;
  tGps.dwDownloadTime = GetGpsTimeNow();
  return 0;
}

int DecodeWaypointSentence(FlymasterLink* link, uint32_t now) {
  Waypoint& w = tGps.pWaypoints[tGps.nWaypoints];
  std::memset(&w, 0, sizeof w);
  int offsets[8];
  char* s = link->szSentence;
  int fields = SplitSentence(s, offsets, 8, 7, "$PFMWPL", " ");
  if (fields < 0) return -1;
  double latitude, longitude, altitude;
  const char* ns = s + offsets[2];
  const char* ew = s + offsets[4];
  if (DecodeDecimalString(s + offsets[1], &latitude) < 0 ||
      (std::strcmp(ns, "N") != 0 && std::strcmp(ns, "S") != 0)) {
    std::printf(" Bad latitude data\n");
    return -1;
  }
  if (DecodeDecimalString(s + offsets[3], &longitude) < 0 ||
      (std::strcmp(ew, "E") != 0 && std::strcmp(ew, "W") != 0)) {
    std::printf(" Bad longitude data\n");
    return -1;
  }
  // Beyond the poles and the date line a position is a broken answer.
  if (std::fabs(latitude) > 90.0 || std::fabs(longitude) > 180.0) {
    std::printf(std::fabs(latitude) > 90.0 ? " Bad latitude data\n" : " Bad longitude data\n");
    return -1;
  }
  if (*ns == 'S') latitude = -latitude;
  if (*ew == 'W') longitude = -longitude;
  // 180 E and 180 W are one meridian, the semicircle value -2^31: +180 has
  // no value of its own, and rounding next to it overflows.
  bool bAntimeridian = std::fabs(longitude) > 179.9999999;
  GeoPos geo{latitude * 0.01745329251994, bAntimeridian ? 0.0 : longitude * 0.01745329251994};
  ArcPos arc;
  ConvertGeoToArcPos(&geo, &arc);
  if (bAntimeridian) arc.nLongitude = INT32_MIN;
  if (DecodeDecimalString(s + offsets[5], &altitude) < 0 || std::fabs(altitude) > 1e6) {
    std::printf(" Bad height data\n");
    return -1;
  }
  char* name = s + offsets[6];
  CompressString(name);
  if (name[0] == '\0') {
    std::printf(" Bad ID or name\n");
    return -1;
  }
  w.nLatitude = arc.nLatitude;
  w.nLongitude = arc.nLongitude;
  w.nAltitudeM = RoundHalfUp(altitude);
  w.dwTime = now;
  int i = 0;
  for (; i < 6 && name[i] != '\0' && name[i] != ' '; ++i) {
    char c = name[i];
    w.szName[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  w.szName[i] = '\0';
  CopyField(w.szComment, name, 40);
  if (fields == 8) {
    char* flag = s + offsets[7];
    uint32_t value;
    if (CompressString(flag) > 0 && DecodeUintString(flag, &value) == 0 && value == 1) w.bAirfield = 1;
  }
  ++tGps.nWaypoints;
  return 0;
}

int ReadWaypoints(FlymasterLink* link) {
  std::free(tGps.pWaypoints);
  tGps.pWaypoints = static_cast<Waypoint*>(std::malloc(100 * sizeof(Waypoint)));
  tGps.nWaypoints = 0;
  if (tGps.pWaypoints == nullptr) {
    tGps.nWaypointSize = 0;
    std::printf("Memory allocation error\n");
    return -1;
  }
  tGps.nWaypointSize = 100;
  FlushComFifo();
  ResetParser(link);
  WriteComString("$PFMWPL,*3c\r\n");
  ProgressStart(&link->tProgress, "Waypoints", static_cast<int>(tGps.bScroll));
  uint32_t now = GetGpsTimeNow();
  int collected;
  while ((collected = CollectSentence(link, ComClockSeconds(), 2.0, true)) > 0) {
    if (tGps.nWaypoints >= tGps.nWaypointSize &&
        GrowWaypointArray(&tGps.pWaypoints, &tGps.nWaypointSize, tGps.nWaypoints) < 0) {
      tGps.nWaypointSize = 0;
      tGps.nWaypoints = 0;
      std::printf(" Memory allocation error\n");
      return -1;
    }
    if (DecodeWaypointSentence(link, now) < 0) return -1;
    if (tGps.nWaypoints % 10 == 0) ProgressUpdate(&link->tProgress, tGps.nWaypoints);
  }
  if (collected == kWaitInterrupted) return ReportInterrupted(" ");
  ProgressFinish(&link->tProgress, tGps.nWaypoints);
  return tGps.nWaypoints > 0 ? 0 : -1;
}

int CheckWaypointResponse(FlymasterLink* link, const char* name) {
  bool oldFirmware = std::strcmp(link->szFirmware, "1.14") == 0;
  int offsets[5];
  char* s = link->szSentence;
  int fields = ParseNmeaString(s, offsets, 5);
  if (fields < 0) return 1;
  if (std::strcmp(s, "$PFMWPR") != 0) return 2;
  if (fields < (oldFirmware ? 2 : 3)) return 3;
  if (oldFirmware) return std::strcmp(s + offsets[1], name) == 0 ? 0 : 5;
  if (std::strcmp(s + offsets[1], "ACK") != 0) return 4;
  char normalised[17];
  for (int i = 0; i < 16; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    normalised[i] = ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) ? c : ' ';
  }
  normalised[16] = '\0';
  return std::strcmp(s + offsets[2], normalised) == 0 ? 0 : 5;
}

// Waits for the answer to one uploaded waypoint: 0, an answer code 1..5, -1
// on time-out or kWaitInterrupted - 1 when a stop was requested.
constexpr int kResponseInterrupted = kWaitInterrupted - 1;
int ReadWaypointResponse(FlymasterLink* link, const char* name) {
  ResetParser(link);
  int collected = CollectSentence(link, ComClockSeconds(), 2.0, true);
  if (collected == kWaitInterrupted) return kResponseInterrupted;
  if (collected == 0) return -1;
  return CheckWaypointResponse(link, name);
}

// Thousandths of an arc-minute from radians, made non-negative.
int32_t ThousandthsOfMinute(double radians) { return RoundHalfAwayFromZero(std::fabs(radians) * kRadianToMin1000); }

int WriteWaypoints(FlymasterLink* link) {
  ProgressStart(&link->tProgress, "Waypoints", static_cast<int>(tGps.bScroll));
  bool airfieldFlag = std::strcmp(link->szFirmware, "1.19") >= 0;
  int errors = 0, firstError = 0;
  for (int i = 0; i < tGps.nWaypoints; ++i) {
    const Waypoint& w = tGps.pWaypoints[i];
    ArcPos arc{w.nLatitude, w.nLongitude};
    GeoPos geo;
    ConvertArcToGeoPos(&arc, &geo);
    int32_t lat = ThousandthsOfMinute(geo.dLatitude);
    int32_t lon = ThousandthsOfMinute(geo.dLongitude);
    // The instrument shows the comment as the name. A waypoint read without
    // a comment would arrive nameless, so it goes under its identifier.
    char name[17];
    const char* text = w.szComment[0] != '\0' ? w.szComment : w.szName;
    std::snprintf(name, sizeof name, "%-16.16s", text);
    int32_t altitude = w.nAltitudeM < 0 ? 0 : (w.nAltitudeM > 9999 ? 9999 : w.nAltitudeM);
    char sentence[128];
    int n = std::snprintf(sentence, sizeof sentence, "$PFMWPR,%04d.%03d,%c,%05d.%03d,%c,,%s,%04d%s",
                          (lat / 60000) * 100 + (lat % 60000) / 1000, lat % 1000, geo.dLatitude < 0 ? 'S' : 'N',
                          (lon / 60000) * 100 + (lon % 60000) / 1000, lon % 1000, geo.dLongitude < 0 ? 'W' : 'E',
                          name, altitude, (airfieldFlag && w.bAirfield == 1) ? ",1" : "");
    uint8_t sum = 0;
    for (int k = 1; k < n; ++k) sum ^= static_cast<uint8_t>(sentence[k]);
    std::snprintf(sentence + n, sizeof sentence - static_cast<size_t>(n), "*%02X\r\n", sum);
    // Empty the FIFO before sending: a fast instrument may answer before a
    // flush after the write would run, and that answer must not be lost.
    FlushComFifo();
    WriteComString(sentence);
    ProgressUpdate(&link->tProgress, i + 1);
    int answer = ReadWaypointResponse(link, name);
    if (answer == kResponseInterrupted || (answer >= 0 && PauseSeconds(0.1) == kWaitInterrupted)) {
      ProgressErase(&link->tProgress);
      return ReportInterrupted("");
    }
    if (answer < 0) {
      ProgressErase(&link->tProgress);
      std::printf("%d, timeout, %d errors\n", i + 1, errors);
      return -1;
    }
    if (answer > 0) {
      if (errors == 0) firstError = answer;
      ++errors;
    }
  }
  if (errors == 0) {
    if (!tGps.bScroll) std::printf("\n");
    return 0;
  }
  // The summary starts with the count, which takes the counter's place.
  ProgressErase(&link->tProgress);
  std::printf("%d, %d errors, first error was type %d\n", tGps.nWaypoints, errors, firstError);
  return -1;
}

// Opens the port, identifies the instrument and runs one transfer; the port
// is closed on every path.
int RunTransfer(int (*transfer)(FlymasterLink*)) {
  static FlymasterLink link;
  std::memset(&link, 0, sizeof link);
  if (OpenComPort() != 0) return -1;
  int result = ReadProductData(&link);
  if (result == 0) result = transfer(&link);
  CloseComPort();
  return result < 0 ? -1 : 0;
}

}  // namespace flymaster

using namespace flymaster;

int DownloadFlymasterTrackLog() {
  return RunTransfer([](FlymasterLink* link) {
    int flight = ReadTrackList(link);
    return flight < 0 ? -1 : ReadTrackLog(link, flight);
  });
}

int DownloadFlymasterWaypoints() { return RunTransfer(ReadWaypoints); }

int UploadFlymasterWaypoints() { return RunTransfer(WriteWaypoints); }
