#include "frame/config.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "frame/state.h"

namespace {

struct TextKey {
  const char* key;
  char* dest;
  int limit;
};

enum NumberTarget { kShowConfig, kTrimImperial, kTaskImperial, kField };

struct NumberKey {
  const char* key;  // without the colon
  NumberTarget target;
  int32_t* field;
};

// Matches "KEY:" followed by optional white space and a signed decimal
// integer; what follows the number is ignored. Out-of-range values saturate.
bool MatchNumber(const char* line, const char* key, long* value) {
  size_t n = std::strlen(key);
  if (std::strncmp(line, key, n) != 0 || line[n] != ':') return false;
  const char* p = line + n + 1;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (v < 1000000000L) v = v * 10 + (*p - '0');
    ++p;
  }
  if (v > INT_MAX) v = INT_MAX;
  *value = negative ? -v : v;
  return true;
}

int32_t FeetToMetres(int32_t feet) {
  return static_cast<int32_t>((static_cast<int64_t>(feet) * 3048 + 5000) / 10000);
}

void ShowDetector(bool enabled, const char* const* formats, const int32_t* const* values, int lines,
                  const char* disabled) {
  if (!enabled) {
    std::printf("%s\n", disabled);
    return;
  }
  for (int i = 0; i < lines; ++i) std::printf(formats[i], *values[i]);
}

void ShowConfig() {
  GpsState& g = tGps;
  std::printf("\n");
  std::printf("Config: IGC_PILOT_NAME  = \"%s\"\n", g.szPilotName);
  std::printf("Config: IGC_GLIDER_TYPE = \"%s\"\n", g.szGliderType);
  std::printf("Config: IGC_GLIDER_ID   = \"%s\"\n", g.szGliderId);
  std::printf("Config: IGC_SITE_NAME   = \"%s\"\n", g.szSiteName);
  std::printf("Config: IGC_COMP_CLASS  = \"%s\"\n", g.szCompClass);
  std::printf("\n");
  {
    const char* f[] = {"Config: TRIM_LOCATION_INTERVAL   = %d s\n", "Config: TRIM_LOCATION_DISTANCE   = %d m\n"};
    const int32_t* v[] = {&g.nTrimLocationInterval, &g.nTrimLocationDistance};
    ShowDetector(g.nTrimLocationInterval && g.nTrimLocationDistance, f, v, 2,
                 "Config: Trim location detection disabled");
  }
  {
    const char* f[] = {"Config: TRIM_TAKEOFF_INTERVAL    = %d s\n", "Config: TRIM_TAKEOFF_DISTANCE    = %d m\n",
                       "Config: TRIM_TAKEOFF_PREPEND     = %d s\n"};
    const int32_t* v[] = {&g.nTrimTakeoffInterval, &g.nTrimTakeoffDistance, &g.nTrimTakeoffPrepend};
    ShowDetector(g.nTrimTakeoffInterval && g.nTrimTakeoffDistance, f, v, 3,
                 "Config: Trim takeoff detection based on speed disabled");
  }
  {
    const char* f[] = {"Config: TRIM_TAKEOFF_BOX_RADIUS  = %d m\n", "Config: TRIM_TAKEOFF_BOX_HEIGHT  = %d m\n",
                       "Config: TRIM_TAKEOFF_BOX_PREPEND = %d s\n"};
    const int32_t* v[] = {&g.nTrimBoxRadius, &g.nTrimBoxHeight, &g.nTrimBoxPrepend};
    ShowDetector(g.nTrimBoxRadius && g.nTrimBoxHeight, f, v, 3,
                 "Config: Trim takeoff detection based on box exit disabled");
  }
  {
    const char* f[] = {"Config: TRIM_LANDING_INTERVAL    = %d s\n", "Config: TRIM_LANDING_DISTANCE    = %d m\n",
                       "Config: TRIM_LANDING_APPEND      = %d s\n"};
    const int32_t* v[] = {&g.nTrimLandingInterval, &g.nTrimLandingDistance, &g.nTrimLandingAppend};
    ShowDetector(g.nTrimLandingInterval && g.nTrimLandingDistance, f, v, 3,
                 "Config: Trim landing detection disabled");
  }
  std::printf("\n");
  {
    const char* f[] = {"Config: TASK_LOCATION_INTERVAL   = %d s\n", "Config: TASK_LOCATION_DISTANCE   = %d m\n"};
    const int32_t* v[] = {&g.nTaskLocationInterval, &g.nTaskLocationDistance};
    ShowDetector(g.nTaskLocationInterval && g.nTaskLocationDistance, f, v, 2,
                 "Config: Task location detection disabled");
  }
  {
    const char* f[] = {"Config: TASK_TAKEOFF_INTERVAL    = %d s\n", "Config: TASK_TAKEOFF_DISTANCE    = %d m\n",
                       "Config: TASK_TAKEOFF_PREPEND     = %d s\n"};
    const int32_t* v[] = {&g.nTaskTakeoffInterval, &g.nTaskTakeoffDistance, &g.nTaskTakeoffPrepend};
    ShowDetector(g.nTaskTakeoffInterval && g.nTaskTakeoffDistance, f, v, 3,
                 "Config: Task takeoff detection based on speed disabled");
  }
  {
    const char* f[] = {"Config: TASK_TAKEOFF_BOX_RADIUS  = %d m\n", "Config: TASK_TAKEOFF_BOX_HEIGHT  = %d m\n",
                       "Config: TASK_TAKEOFF_BOX_PREPEND = %d s\n"};
    const int32_t* v[] = {&g.nTaskBoxRadius, &g.nTaskBoxHeight, &g.nTaskBoxPrepend};
    ShowDetector(g.nTaskBoxRadius && g.nTaskBoxHeight, f, v, 3,
                 "Config: Task takeoff detection based on box exit disabled");
  }
  {
    const char* f[] = {"Config: TASK_LANDING_INTERVAL = %d s\n", "Config: TASK_LANDING_DISTANCE = %d m\n"};
    const int32_t* v[] = {&g.nTaskLandingInterval, &g.nTaskLandingDistance};
    ShowDetector(g.nTaskLandingInterval && g.nTaskLandingDistance, f, v, 2,
                 "Config: Task landing detection disabled");
  }
  std::printf("\n");
  std::printf("Config: TASK_TAKEOFF_SCRIPT = \"%s\"\n", g.szTakeoffScript);
  std::printf("Config: TASK_LANDING_SCRIPT = \"%s\"\n", g.szLandingScript);
  std::printf("\n");
}

}  // namespace

int GetStringParameter(const char* line, const char* key, char* dest, int limit) {
  size_t n = std::strlen(key);
  if (std::strncmp(line, key, n) != 0) return 0;
  const char* p = line + n;
  while (*p == ' ' || *p == '\t') ++p;
  int count = 0;
  if (*p == '"') {
    ++p;
    while (count < limit && p[count] != '\0' && p[count] != '"') {
      dest[count] = p[count];
      ++count;
    }
  } else {
    while (count < limit && p[count] != '\0' && p[count] != ' ' && p[count] != '\t') {
      dest[count] = p[count];
      ++count;
    }
  }
  dest[count] = '\0';
  return 1;
}

void GetConfigParameters() {
  std::FILE* file = std::fopen("velmora.cfg", "r");
  if (file == nullptr) return;
  ReadConfigParameters(file);
  std::fclose(file);
}

void ReadConfigParameters(std::FILE* file) {
  GpsState& g = tGps;
  const TextKey textKeys[] = {
      {"IGC_PILOT_NAME:", g.szPilotName, 80},        {"IGC_GLIDER_TYPE:", g.szGliderType, 80},
      {"IGC_GLIDER_ID:", g.szGliderId, 80},          {"IGC_SITE_NAME:", g.szSiteName, 80},
      {"IGC_COMP_CLASS:", g.szCompClass, 80},        {"TASK_TAKEOFF_SCRIPT:", g.szTakeoffScript, 255},
      {"TASK_LANDING_SCRIPT:", g.szLandingScript, 255},
  };
  const NumberKey numberKeys[] = {
      {"CONFIG_SHOW_PARAMETERS", kShowConfig, nullptr},
      {"TRIM_IMPERIAL_UNITS", kTrimImperial, nullptr},
      {"TRIM_LOCATION_INTERVAL", kField, &g.nTrimLocationInterval},
      {"TRIM_LOCATION_DISTANCE", kField, &g.nTrimLocationDistance},
      {"TRIM_TAKEOFF_INTERVAL", kField, &g.nTrimTakeoffInterval},
      {"TRIM_TAKEOFF_DISTANCE", kField, &g.nTrimTakeoffDistance},
      {"TRIM_TAKEOFF_PREPEND", kField, &g.nTrimTakeoffPrepend},
      {"TRIM_TAKEOFF_BOX_RADIUS", kField, &g.nTrimBoxRadius},
      {"TRIM_TAKEOFF_BOX_HEIGHT", kField, &g.nTrimBoxHeight},
      {"TRIM_TAKEOFF_BOX_PREPEND", kField, &g.nTrimBoxPrepend},
      {"TRIM_LANDING_INTERVAL", kField, &g.nTrimLandingInterval},
      {"TRIM_LANDING_DISTANCE", kField, &g.nTrimLandingDistance},
      {"TRIM_LANDING_APPEND", kField, &g.nTrimLandingAppend},
      {"TASK_IMPERIAL_UNITS", kTaskImperial, nullptr},
      {"TASK_LOCATION_INTERVAL", kField, &g.nTaskLocationInterval},
      {"TASK_LOCATION_DISTANCE", kField, &g.nTaskLocationDistance},
      {"TASK_TAKEOFF_INTERVAL", kField, &g.nTaskTakeoffInterval},
      {"TASK_TAKEOFF_DISTANCE", kField, &g.nTaskTakeoffDistance},
      {"TASK_TAKEOFF_PREPEND", kField, &g.nTaskTakeoffPrepend},
      {"TASK_TAKEOFF_BOX_RADIUS", kField, &g.nTaskBoxRadius},
      {"TASK_TAKEOFF_BOX_HEIGHT", kField, &g.nTaskBoxHeight},
      {"TASK_TAKEOFF_BOX_PREPEND", kField, &g.nTaskBoxPrepend},
      {"TASK_LANDING_INTERVAL", kField, &g.nTaskLandingInterval},
      {"TASK_LANDING_DISTANCE", kField, &g.nTaskLandingDistance},
  };
  bool trimImperial = false, taskImperial = false;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    line[std::strcspn(line, "\r\n#;*")] = '\0';
    if (line[0] == '\0') continue;
    bool matched = false;
    for (const TextKey& key : textKeys) {
      if (GetStringParameter(line, key.key, key.dest, key.limit)) {
        matched = true;
        break;
      }
    }
    if (matched) continue;
    for (const NumberKey& key : numberKeys) {
      long value;
      if (!MatchNumber(line, key.key, &value)) continue;
      switch (key.target) {
        case kShowConfig: g.bShowConfig = value == 1; break;
        case kTrimImperial: trimImperial = value == 1; break;
        case kTaskImperial: taskImperial = value == 1; break;
        case kField: *key.field = value < 0 ? 0 : static_cast<int32_t>(value); break;
      }
      break;
    }
  }
  if (trimImperial) {
    for (int32_t* v : {&g.nTrimLocationDistance, &g.nTrimTakeoffDistance, &g.nTrimBoxRadius, &g.nTrimBoxHeight,
                       &g.nTrimLandingDistance})
      *v = FeetToMetres(*v);
  }
  if (taskImperial) {
    for (int32_t* v : {&g.nTaskLocationDistance, &g.nTaskTakeoffDistance, &g.nTaskBoxRadius, &g.nTaskBoxHeight,
                       &g.nTaskLandingDistance})
      *v = FeetToMetres(*v);
  }
  if (g.bShowConfig) ShowConfig();
}
