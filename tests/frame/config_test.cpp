// The configuration file: each case of tests/data/cases/config.txt is read
// as velmora.cfg and the values it set are listed with what it printed.
#include "frame/config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "cases.h"
#include "frame/state.h"

namespace {

// Runs in a fresh folder; with `content` empty there is no file at all.
std::string ReadConfig(const std::string& content) {
  char folder[] = "/tmp/velmora-config-XXXXXX";
  EXPECT_NE(mkdtemp(folder), nullptr);
  char previous[4096];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(folder), 0);
  if (!content.empty()) std::ofstream("velmora.cfg", std::ios::binary) << content;
  std::memset(&tGps, 0, sizeof tGps);
  testing::internal::CaptureStdout();
  GetConfigParameters();
  std::string printed = testing::internal::GetCapturedStdout();
  unlink("velmora.cfg");
  EXPECT_EQ(chdir(previous), 0);
  rmdir(folder);
  const GpsState& g = tGps;
  char text[6000];
  std::snprintf(text, sizeof text, "pilot \"%s\" glider \"%s\" id \"%s\" site \"%s\" class \"%s\" show %u\ntrim",
                g.szPilotName, g.szGliderType, g.szGliderId, g.szSiteName, g.szCompClass, g.bShowConfig);
  std::string values = text;
  for (int32_t v : {g.nTrimLocationInterval, g.nTrimLocationDistance, g.nTrimTakeoffInterval, g.nTrimTakeoffDistance,
                    g.nTrimTakeoffPrepend, g.nTrimBoxRadius, g.nTrimBoxHeight, g.nTrimBoxPrepend,
                    g.nTrimLandingInterval, g.nTrimLandingDistance, g.nTrimLandingAppend}) {
    (values += ' ') += std::to_string(v);
  }
  values += "\ntask";
  for (int32_t v : {g.nTaskLocationInterval, g.nTaskLocationDistance, g.nTaskTakeoffInterval, g.nTaskTakeoffDistance,
                    g.nTaskTakeoffPrepend, g.nTaskBoxRadius, g.nTaskBoxHeight, g.nTaskBoxPrepend,
                    g.nTaskLandingInterval, g.nTaskLandingDistance}) {
    (values += ' ') += std::to_string(v);
  }
  std::snprintf(text, sizeof text, "\nscripts \"%s\" \"%s\"\n", g.szTakeoffScript, g.szLandingScript);
  return values + text + printed;
}

TEST(Config, EveryCaseOfTheTable) { EXPECT_CASES("config.txt", ReadConfig); }

}  // namespace
