// Byte-level assembly of NMEA sentences and pressure text lines, and the
// decoders that keep the latest position fixes and barometric altitude.
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "common/conv.h"
#include "common/string.h"
#include "common/time.h"
#include "frame/state.h"
#include "logger/nmea.h"

namespace {

constexpr int kMaxFields = 20;
constexpr uint8_t kXon = 17, kXoff = 19;

// Talkers whose RMC and GGA sentences we take: GPS, any combination,
// GLONASS, Galileo, BeiDou (two spellings) and QZSS.
constexpr std::string_view kFixTalkers[] = {"GP", "GN", "GL", "GA", "GB", "BD", "GQ"};

struct Fields {
  char* apsz[kMaxFields];
  int n;
};

// Cuts the sentence at its commas into at most 20 fields; the 20th ends at
// the next comma and the rest of the line is ignored.
void SplitFields(char* sentence, Fields* fields) {
  fields->n = 1;
  fields->apsz[0] = sentence;
  for (char* p = sentence; *p != '\0'; ++p) {
    if (*p != ',') continue;
    *p = '\0';
    if (fields->n == kMaxFields) break;
    fields->apsz[fields->n++] = p + 1;
  }
}

bool IsFixSentence(std::string_view name, std::string_view kind) {
  if (name.size() != 6 || name[0] != '$' || name.substr(3) != kind) return false;
  for (std::string_view talker : kFixTalkers) {
    if (name.substr(1, 2) == talker) return true;
  }
  return false;
}

// A decoder's complaint: into the debug log, and as a line on the terminal
// unless silent. A status line standing on the terminal is ended first, so
// the message neither joins it nor is erased by the next one.
void ReportProblem(NmeaState* nmea, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ReportProblem(NmeaState* nmea, const char* format, ...) {
  char text[300];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (nmea->pDebugFile != nullptr) std::fprintf(nmea->pDebugFile, "%s\n", text);
  if (tGps.bSilent) return;
  if (nmea->nStatusLength != 0 && !tGps.bScroll) {
    std::printf("\n");
    nmea->nStatusLength = 0;
  }
  std::printf("%s\n", text);
}

// The time field hhmmss[.fff], rounded to the nearest second (halves up, so
// 123459.6 becomes second 60 of minute 34 for RMC and GGA alike).
bool DecodeTimeField(const char* text, uint32_t* hour, uint32_t* minute, uint32_t* second) {
  double value;
  if (DecodeDecimalString(text, &value) != 0 || !(value >= 0.0) || value >= 1e6) return false;
  int32_t t = RoundHalfUp(value);
  *hour = static_cast<uint32_t>(t / 10000);
  *minute = static_cast<uint32_t>((t / 100) % 100);
  *second = static_cast<uint32_t>(t % 100);
  return *hour <= 23 && *minute <= 59 && *second <= 60;
}

// ddmm.mmmm (or dddmm.mmmm) to radians; false for a value that is no angle.
bool DecodeAngleField(const char* text, double limitDegrees, double* radians) {
  double value;
  if (DecodeDecimalString(text, &value) != 0 || !(value >= 0.0) || value > limitDegrees * 100.0) return false;
  double degrees = std::floor(value * 0.01);
  double minutes = value - degrees * 100.0;
  if (minutes >= 60.0) return false;
  *radians = degrees * 0.01745329251994 + minutes * 0.0002908882086657;
  return degrees + minutes / 60.0 <= limitDegrees;
}

int DecodeRmc(NmeaState* nmea, const Fields& f) {
  const char* name = f.apsz[0];
  if (f.n < 10) {
    ReportProblem(nmea, "%s: Too few parameters", name);
    return 0;
  }
  // A receiver without a fix says so with status V; such a sentence carries
  // no position worth a point (often an old or a placeholder one).
  if (std::strcmp(f.apsz[2], "V") == 0) return 0;
  SystemTime st;
  if (!DecodeTimeField(f.apsz[1], &st.wHour, &st.wMinute, &st.wSecond)) {
    ReportProblem(nmea, "%s: Bad parameter 1", name);
    return 0;
  }
  double date;
  int32_t d = 0;
  if (DecodeDecimalString(f.apsz[9], &date) == 0 && date >= 0.0 && date < 1e6) d = RoundHalfUp(date);
  st.wDay = static_cast<uint32_t>((d / 10000) % 100);
  st.wMonth = static_cast<uint32_t>((d / 100) % 100);
  st.wYear = static_cast<uint32_t>(d % 100 + 2000);
  if (st.wDay < 1 || st.wDay > 31 || st.wMonth < 1 || st.wMonth > 12) {
    ReportProblem(nmea, "%s: Bad parameter 9 (%s)", name, f.apsz[9]);
    return 0;
  }
  RmcFix fix;
  if (!DecodeAngleField(f.apsz[3], 90.0, &fix.dLatitude)) {
    ReportProblem(nmea, "%s: Bad parameter 3", name);
    return 0;
  }
  if (std::strcmp(f.apsz[4], "S") == 0) {
    fix.dLatitude = -fix.dLatitude;
  } else if (std::strcmp(f.apsz[4], "N") != 0) {
    ReportProblem(nmea, "%s: Bad parameter 4", name);
    return 0;
  }
  if (!DecodeAngleField(f.apsz[5], 180.0, &fix.dLongitude)) {
    ReportProblem(nmea, "%s: Bad parameter 5", name);
    return 0;
  }
  if (std::strcmp(f.apsz[6], "W") == 0) {
    fix.dLongitude = -fix.dLongitude;
  } else if (std::strcmp(f.apsz[6], "E") != 0) {
    ReportProblem(nmea, "%s: Bad parameter 6", name);
    return 0;
  }
  // 180 degrees east is 180 degrees west: the only form a semicircle holds.
  if (fix.dLongitude >= 3.141592653589793) fix.dLongitude = -3.141592653589793;
  fix.dwGpsTime = ConvertSystemTimeToGpsTime(&st);
  fix.dwDayTime = st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  fix.nBaroAltitude = nmea->nBaroAltitude;
  if (nmea->nRmcCount != 0) {
    const RmcFix& previous = nmea->atRmc[(nmea->nRmcCount - 1) % kFixRingSize];
    if (previous.dwGpsTime >= fix.dwGpsTime) return 0;
  }
  nmea->atRmc[nmea->nRmcCount % kFixRingSize] = fix;
  ++nmea->nRmcCount;
  return 1;
}

int DecodeGga(NmeaState* nmea, const Fields& f) {
  const char* name = f.apsz[0];
  if (f.n < 6) {
    ReportProblem(nmea, "%s: Too few parameters", name);
    return 0;
  }
  // Fix quality 0: no fix, whatever the other fields say.
  if (f.n > 6 && std::strcmp(f.apsz[6], "0") == 0) return 0;
  uint32_t hour, minute, second;
  if (!DecodeTimeField(f.apsz[1], &hour, &minute, &second)) {
    ReportProblem(nmea, "%s: Bad parameter 1", name);
    return 0;
  }
  GgaFix fix;
  fix.dwDayTime = hour * 3600 + minute * 60 + second;
  int32_t altitude = 0;
  if (f.n >= 10) {
    double value;
    if (DecodeDecimalString(f.apsz[9], &value) != 0 || !(std::fabs(value) < 1e6)) {
      ReportProblem(nmea, "%s: Bad parameter 9", name);
      return 0;
    }
    altitude = RoundHalfUp(value);
  }
  fix.nAltitude = altitude * 10;
  GgaFix& slot = nmea->atGga[nmea->nGgaCount % kFixRingSize];
  if (nmea->nGgaCount != 0 && slot.dwDayTime == fix.dwDayTime) return 0;
  slot = fix;
  ++nmea->nGgaCount;
  return 1;
}

void SetPressureAltitude(NmeaState* nmea, const char* text) {
  double pascals;
  int32_t metres;
  if (DecodeDecimalString(text, &pascals) != 0 || pascals == 0.0) return;
  if (CalcPressureAltitude(pascals, &metres)) nmea->nBaroAltitude = metres;
}

// Barometric sentences only update the altitude that the next RMC fix takes.
void DecodeBaroSentence(NmeaState* nmea, const Fields& f, bool checksumValid) {
  std::string_view name = f.apsz[0];
  double value;
  if (name == "$PDGFTL1") {
    int32_t metres;
    if (checksumValid && f.n >= 3 && DecodeIntegerString(f.apsz[1], &metres) == 0) nmea->nBaroAltitude = metres;
  } else if (name == "$D") {
    if (f.n >= 3) SetPressureAltitude(nmea, f.apsz[2]);
  } else if (name == "$LK8EX1") {
    if (!checksumValid || f.n < 3) return;
    if (std::strcmp(f.apsz[1], "999999") != 0) {
      SetPressureAltitude(nmea, f.apsz[1]);
    } else if (DecodeDecimalString(f.apsz[2], &value) == 0 && std::fabs(value) < 1e6) {
      nmea->nBaroAltitude = RoundHalfUp(value);
    }
  } else if (name == "$PTAS1") {
    if (checksumValid && f.n >= 4 && DecodeDecimalString(f.apsz[3], &value) == 0 && std::fabs(value) < 1e7) {
      nmea->nBaroAltitude = RoundHalfUp((value - 2000.0) * 0.3048);
    }
  }
}

bool IsHexDigit(char c) { return abAsciiToHex[static_cast<uint8_t>(c)] <= 15; }

}  // namespace

bool CalcPressureAltitude(double pascals, int32_t* metres) {
  if (!(pascals > 0.0) || pascals > 1e7) return false;
  *metres = RoundHalfUp((1.0 - std::pow(pascals / 101325.0, 0.190295)) * 44330.0);
  return true;
}

int DecodeNmeaString(NmeaState* nmea) {
  bool checksumValid = nmea->bRxChecksum == nmea->bChecksum;
  Fields fields;
  SplitFields(nmea->szSentence, &fields);
  std::string_view name = fields.apsz[0];
  if (IsFixSentence(name, "RMC")) return checksumValid ? DecodeRmc(nmea, fields) : 0;
  if (IsFixSentence(name, "GGA")) return checksumValid ? DecodeGga(nmea, fields) : 0;
  DecodeBaroSentence(nmea, fields, checksumValid);
  return 0;
}

void DecodeNonNmeaBaroHeight(NmeaState* nmea) {
  const char* p = nmea->szSentence;
  if (std::strncmp(p, "PRS ", 4) != 0) return;
  p += 4;
  while (*p == ' ') ++p;
  uint32_t value = 0;
  int digits = 0;
  for (; IsHexDigit(*p); ++p) {
    if (++digits > 8) return;  // more than any pressure sensor sends
    value = (value << 4) | abAsciiToHex[static_cast<uint8_t>(*p)];
  }
  if (*p != '\0' && *p != ' ') return;
  int32_t metres;
  if (value != 0 && CalcPressureAltitude(value, &metres)) nmea->nBaroAltitude = metres;
}

int ProcessNmeaCharacter(NmeaState* nmea) {
  uint8_t c = nmea->bRxChar;
  auto store = [nmea](uint8_t byte) {
    if (nmea->nSentenceLength >= kMaxSentenceLength) return false;
    nmea->szSentence[nmea->nSentenceLength++] = static_cast<char>(byte);
    nmea->szSentence[nmea->nSentenceLength] = '\0';
    return true;
  };
  auto start = [nmea](uint8_t byte, uint32_t next) {
    nmea->szSentence[0] = static_cast<char>(byte);
    nmea->szSentence[1] = '\0';
    nmea->nSentenceLength = 1;
    nmea->nParseState = next;
  };
  switch (nmea->nParseState) {
    case kParseIdle:
      if (c == '$') {
        start(c, kParseSentence);
        nmea->bChecksum = 0;
        nmea->bRxChecksum = 0;
      } else if (c >= 'A' && c <= 'Z') {
        start(c, kParseText);
      }
      return 0;
    case kParseSentence:
      if (c == '*') {
        nmea->nParseState = kParseChecksumHigh;
      } else if (c == '\r') {
        nmea->bRxChecksum = nmea->bChecksum;
        nmea->nParseState = kParseSentenceEnd;
      } else if (c == '\n') {
        nmea->bRxChecksum = nmea->bChecksum;
        nmea->nParseState = kParseIdle;
        if (nmea->pDebugFile != nullptr) std::fprintf(nmea->pDebugFile, "%s\n", nmea->szSentence);
        return DecodeNmeaString(nmea);
      } else if (c != kXon && c != kXoff) {
        if (store(c)) nmea->bChecksum ^= c;
      }
      return 0;
    case kParseChecksumHigh:
    case kParseChecksumLow:
      if (!IsHexDigit(static_cast<char>(c))) {
        nmea->nParseState = kParseIdle;
        return 0;
      }
      nmea->bRxChecksum = static_cast<uint8_t>((nmea->bRxChecksum << 4) + abAsciiToHex[c]);
      nmea->nParseState = nmea->nParseState == kParseChecksumHigh ? kParseChecksumLow : kParseSentenceEnd;
      return 0;
    case kParseSentenceEnd:
      if (c != '\n') return 0;
      nmea->nParseState = kParseIdle;
      return DecodeNmeaString(nmea);
    case kParseText:
      if (c == '\r') {
        nmea->nParseState = kParseTextEnd;
      } else if (c == '\n') {
        nmea->nParseState = kParseIdle;
        DecodeNonNmeaBaroHeight(nmea);
      } else {
        store(c);
      }
      return 0;
    case kParseTextEnd:
      if (c == '\n') {
        nmea->nParseState = kParseIdle;
        DecodeNonNmeaBaroHeight(nmea);
      }
      return 0;
    default:
      nmea->nParseState = kParseIdle;
      return 0;
  }
}
