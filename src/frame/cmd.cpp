#include "frame/cmd.h"

#include <termios.h>

#include <cstdio>
#include <cstring>

#include "common/string.h"
#include "frame/state.h"

namespace {

constexpr size_t kMaxFileName = 300;
constexpr size_t kMaxPortName = 21;

void StoreText(char* dest, size_t limit, const char* text) {
  size_t n = strnlen(text, limit);
  std::memcpy(dest, text, n);
  dest[n] = '\0';
}

// Removes enclosing quotation marks; -1 when a leading mark is not closed.
int Unquote(char** value) {
  char* v = *value;
  if (v[0] != '"') return 0;
  size_t n = std::strlen(v);
  if (n < 2 || v[n - 1] != '"') return -1;
  v[n - 1] = '\0';
  *value = v + 1;
  return 0;
}

int UnquoteFileName(char** value) {
  if (Unquote(value) == 0) return 0;
  std::printf("File name not enclosed in quotation marks: %s\n", *value);
  return -1;
}

struct Extension {
  const char* text;
  uint32_t types;
};

// Stores a file name, removing a recognised extension and choosing the file
// types from it.
void StoreNameWithTypes(char* name, const Extension* table, int entries, uint32_t fallback) {
  uint32_t types = fallback;
  size_t n = std::strlen(name);
  if (n > 3) {
    for (int i = 0; i < entries; ++i) {
      if (std::strcmp(name + n - 4, table[i].text) == 0) {
        types = table[i].types;
        name[n - 4] = '\0';
        break;
      }
    }
  }
  StoreText(tGps.szFileName, kMaxFileName, name);
  tGps.dwFileTypes = types;
}

// The value of -l, -t, -w, -r and -x: the text after the letter, or after
// "=" when that follows the letter.
char* GluedValue(char* t) { return t[1] == '=' ? t + 2 : t + 1; }

}  // namespace

void SetDefaultParameters() {
  tGps.nTrackGap = -1;
  tGps.nFlightSelect = -1;
}

int HandleCmdLog(char* value) {
  if (UnquoteFileName(&value) < 0) return -1;
  static constexpr Extension kTypes[] = {{".kml", kTrackFileKml}, {".igc", kTrackFileIgc}};
  StoreNameWithTypes(value, kTypes, 2, kTrackFileKml | kTrackFileIgc);
  tGps.nCommand = kCmdTrackLog;
  return 0;
}

int HandleCmdWptRead(char* value) {
  if (UnquoteFileName(&value) < 0) return -1;
  static constexpr Extension kTypes[] = {{".wpt", kWptFileOzi}, {".gpx", kWptFileGpx}, {".kml", kWptFileKml}};
  StoreNameWithTypes(value, kTypes, 3, kWptFileOzi | kWptFileGpx | kWptFileKml);
  tGps.nCommand = kCmdWaypointDownload;
  return 0;
}

int HandleCmdWptWrite(char* value) {
  if (value[0] == '\0') {
    std::printf("No file name\n");
    return -1;
  }
  if (UnquoteFileName(&value) < 0) return -1;
  StoreText(tGps.szFileName, kMaxFileName, value);
  tGps.nCommand = kCmdWaypointUpload;
  return 0;
}

int HandleCmdTranslate(char* value) {
  if (UnquoteFileName(&value) < 0) return -1;
  if (value[0] == '\0') {
    std::printf("No file name for file conversion\n");
    return -1;
  }
  StoreText(tGps.szFileName, kMaxFileName, value);
  tGps.nCommand = kCmdTranslate;
  return 0;
}

int HandleCmdTask(char* value) {
  if (Unquote(&value) < 0) {
    std::printf("Task file name not enclosed in quotation marks: %s\n", value);
    return -1;
  }
  tGps.bTaskMode = 1;
  StoreText(tGps.szTaskFileName, kMaxFileName, value);
  return 0;
}

int HandleCmdPort(char* value) {
  char c = value[0];
  if (c == 'u' || c == 'a') {
    if (std::strlen(value + 1) > kMaxPortName) {
      std::printf("Too long USB serial comm. port name\n");
      return -1;
    }
    std::snprintf(tGps.szComPort, sizeof tGps.szComPort, "%s%s", c == 'u' ? "/dev/ttyUSB" : "/dev/ttyACM", value + 1);
    return 0;
  }
  if (c >= '0' && c <= '9') {
    uint32_t number = 0;
    const char* p = value;
    // Leading zeros drop out; the number is bounded so it cannot wrap.
    while (*p >= '0' && *p <= '9') {
      if (number < 100000000u) number = number * 10 + static_cast<uint32_t>(*p - '0');
      ++p;
    }
    if (*p != '\0' || number >= 100000000u) {
      std::printf("Unrecognized serial comm. port: %s\n", value);
      return -1;
    }
    std::snprintf(tGps.szComPort, sizeof tGps.szComPort, "/dev/ttyS%u", number);
    return 0;
  }
  if (c == 'q') {
    tGps.szComPort[0] = '\0';
    return 0;
  }
  // An absolute device path, such as /dev/serial/by-id/... or a pseudo-terminal.
  if (c == '/' && std::strlen(value) < sizeof tGps.szComPort) {
    StoreText(tGps.szComPort, sizeof tGps.szComPort - 1, value);
    return 0;
  }
  std::printf("Unrecognized comm. port: %s\n", value);
  return -1;
}

int HandleCmdGpsType(char* value) {
  static constexpr const char* kTypes[] = {"c", "g", "m", "x", "y", "dg", "iq", "nm", "sy"};
  for (uint32_t i = 0; i < sizeof kTypes / sizeof kTypes[0]; ++i) {
    if (std::strcmp(value, kTypes[i]) == 0) {
      tGps.nGpsType = i + 1;
      return 0;
    }
  }
  std::printf("Unsupported GPS: %s\n", value);
  return -1;
}

int HandleCmdGap(char* value) {
  uint32_t minutes;
  // Minutes beyond a few years would overflow the seconds; no pilot means them.
  if (DecodeUintString(value, &minutes) < 0 || minutes > 35791394u) {
    std::printf("Bad -gap value\n");
    return -1;
  }
  tGps.nTrackGap = static_cast<int32_t>(minutes * 60u);
  return 0;
}

int HandleCmdFlightSelect(char* value) {
  uint32_t number;
  if (DecodeUintString(value, &number) < 0 || number > 2147483647u) {
    std::printf("Bad -f value\n");
    return -1;
  }
  tGps.nFlightSelect = static_cast<int32_t>(number);
  return 0;
}

int HandleCmdBaudrate(char* value) {
  static constexpr struct {
    uint32_t baud;
    speed_t code;
  } kSpeeds[] = {{4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
  uint32_t baud;
  if (DecodeUintString(value, &baud) == 0) {
    for (const auto& speed : kSpeeds) {
      if (speed.baud == baud) {
        tGps.dwBaudCode = static_cast<uint32_t>(speed.code);
        return 0;
      }
    }
  }
  std::printf("Bad -b value\n");
  return -1;
}

int ParseArguments(int count, char** args) {
  int i = 0;
  while (i < count && args[i][0] != '-') ++i;
  while (i < count) {
    char* t = args[i] + 1;
    int result = 0;
    if (t[0] == 'g' || t[0] == 'c' || std::strcmp(t, "-gap") == 0) {
      int (*handler)(char*) = t[0] == 'c' ? HandleCmdPort : t[0] == 'g' ? HandleCmdGpsType : HandleCmdGap;
      char* value;
      if (t[0] != '-' && t[1] != '\0') {
        value = GluedValue(t);
      } else {
        // The value is the next argument, unless that is the next option.
        if (i + 1 >= count) return 0;
        if (args[i + 1][0] == '-') {
          ++i;
          continue;
        }
        value = args[++i];
      }
      result = handler(value);
    } else if (t[0] == 'l') {
      result = HandleCmdLog(GluedValue(t));
    } else if (t[0] == 't') {
      result = HandleCmdTask(GluedValue(t));
    } else if (t[0] == 'w') {
      result = HandleCmdWptRead(GluedValue(t));
    } else if (t[0] == 'r') {
      result = HandleCmdWptWrite(GluedValue(t));
    } else if (std::strncmp(t, "-gap=", 5) == 0) {
      result = HandleCmdGap(t + 5);
    } else if (t[0] == 'x') {
      result = HandleCmdTranslate(GluedValue(t));
    } else if (t[0] == 'f') {
      result = HandleCmdFlightSelect(t + 1);
    } else if (t[0] == 'b') {
      result = HandleCmdBaudrate(GluedValue(t));
    } else if (std::strcmp(t, "-noana") == 0) {
      tGps.bNoAnalysis = 1;
    } else if (std::strcmp(t, "-scroll") == 0) {
      tGps.bScroll = 1;
    } else if (std::strcmp(t, "-trim") == 0) {
      tGps.bTrim = 1;
    } else if (std::strcmp(t, "-exact") == 0) {
      tGps.bExact = 1;
    } else if (std::strcmp(t, "-debug") == 0) {
      tGps.bDebug = 1;
    } else if (std::strcmp(t, "-silent") == 0) {
      tGps.bSilent = 1;
    } else {
      std::printf("Unrecognized command: %s\n", t);
      return -1;
    }
    if (result < 0) return -1;
    ++i;
    while (i < count && args[i][0] != '-') ++i;
  }
  return 0;
}

int ParseCmdLine(char* line, int* count, char** args) {
  enum State { kBetween, kQuoted, kUnquoted } state = kBetween;
  int n = 0;
  for (char* p = line; *p != '\0'; ++p) {
    switch (state) {
      case kBetween:
        if (*p == ' ') break;
        if (n < kMaxCmdLineArgs) args[n] = p;
        ++n;
        state = *p == '"' ? kQuoted : kUnquoted;
        break;
      case kQuoted:
        if (*p == '"') state = kUnquoted;
        break;
      case kUnquoted:
        if (*p == ' ') {
          *p = '\0';
          state = kBetween;
        } else if (*p == '"') {
          state = kQuoted;
        }
        break;
    }
  }
  *count = n < kMaxCmdLineArgs ? n : kMaxCmdLineArgs;
  if (state == kQuoted) {
    std::printf("Bad quotation mark balance in command line\n");
    return -1;
  }
  return 0;
}
