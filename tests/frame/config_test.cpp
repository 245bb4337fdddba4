// The configuration file: line grammar, keys, numbers and unit conversion.
#include "frame/config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "frame/state.h"

namespace {

// Reads `content` as velmora.cfg in a temporary working directory.
std::string ReadConfig(const std::string& content) {
  char folder[] = "/tmp/velmora-config-XXXXXX";
  EXPECT_NE(mkdtemp(folder), nullptr);
  char previous[4096];
  EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
  EXPECT_EQ(chdir(folder), 0);
  {
    std::ofstream out("velmora.cfg", std::ios::binary);
    out << content;
  }
  std::memset(&tGps, 0, sizeof tGps);
  testing::internal::CaptureStdout();
  GetConfigParameters();
  std::string printed = testing::internal::GetCapturedStdout();
  unlink("velmora.cfg");
  EXPECT_EQ(chdir(previous), 0);
  rmdir(folder);
  return printed;
}

TEST(Config, TextValues) {
  ReadConfig("IGC_PILOT_NAME: \"Anna Maria Berg\"\nIGC_GLIDER_TYPE:  Advance Sigma\n");
  EXPECT_STREQ(tGps.szPilotName, "Anna Maria Berg");
  EXPECT_STREQ(tGps.szGliderType, "Advance");
  ReadConfig("IGC_PILOT_NAME: \"Anna #x\"\n");
  EXPECT_STREQ(tGps.szPilotName, "Anna ") << "the comment cuts the line before the quote closes";
  ReadConfig("IGC_SITE_NAME:\t\"Col; du Lys\"\nIGC_COMP_CLASS: Open*star\n");
  EXPECT_STREQ(tGps.szSiteName, "Col");
  EXPECT_STREQ(tGps.szCompClass, "Open");
  ReadConfig(" IGC_PILOT_NAME: x\nigc_pilot_name: y\nIGC_PILOT_NAME:\n");
  EXPECT_STREQ(tGps.szPilotName, "") << "a key with nothing after it stores an empty text";
  ReadConfig("IGC_GLIDER_ID: first\nIGC_GLIDER_ID: second\n");
  EXPECT_STREQ(tGps.szGliderId, "second");
  ReadConfig("IGC_GLIDER_ID: \"" + std::string(100, 'g') + "\"\n");
  EXPECT_EQ(std::strlen(tGps.szGliderId), 80u);
  ReadConfig("TASK_TAKEOFF_SCRIPT: \"" + std::string(240, 's') + "\"\n");
  EXPECT_EQ(std::strlen(tGps.szTakeoffScript), 255u - 22u) << "the 256-byte line buffer holds 255 characters";
}

TEST(Config, LongLinesAreReadInPieces) {
  // Character 256 starts a line of its own.
  std::string line = std::string(255, 'x') + "IGC_PILOT_NAME: Piece";
  ReadConfig(line + "\n");
  EXPECT_STREQ(tGps.szPilotName, "Piece");
}

TEST(Config, NumbersAndUnits) {
  ReadConfig(
      "TRIM_TAKEOFF_DISTANCE: -5\n"
      "TRIM_TAKEOFF_INTERVAL:12 extra words\n"
      "TRIM_LANDING_INTERVAL: sixty\n"
      "TRIM_LANDING_APPEND:    +30\n"
      "TASK_LOCATION_INTERVAL: 99999999999\n");
  EXPECT_EQ(tGps.nTrimTakeoffDistance, 0);
  EXPECT_EQ(tGps.nTrimTakeoffInterval, 12);
  EXPECT_EQ(tGps.nTrimLandingInterval, 0);
  EXPECT_EQ(tGps.nTrimLandingAppend, 30);
  EXPECT_GT(tGps.nTaskLocationInterval, 0) << "an out-of-range number saturates instead of wrapping";

  ReadConfig("TRIM_TAKEOFF_BOX_HEIGHT: 100\nTRIM_TAKEOFF_BOX_RADIUS: 5\nTRIM_IMPERIAL_UNITS: 1\nTRIM_TAKEOFF_PREPEND: 100\n");
  EXPECT_EQ(tGps.nTrimBoxHeight, 30);
  EXPECT_EQ(tGps.nTrimBoxRadius, 2);
  EXPECT_EQ(tGps.nTrimTakeoffPrepend, 100) << "times are never converted";
  ReadConfig("TRIM_IMPERIAL_UNITS: 2\nTRIM_TAKEOFF_BOX_HEIGHT: 100\n");
  EXPECT_EQ(tGps.nTrimBoxHeight, 100);
  ReadConfig("TASK_IMPERIAL_UNITS: 1\nTASK_LANDING_DISTANCE: 1000\nTRIM_LANDING_DISTANCE: 1000\n");
  EXPECT_EQ(tGps.nTaskLandingDistance, 305);
  EXPECT_EQ(tGps.nTrimLandingDistance, 1000) << "each imperial key converts its own group only";
  ReadConfig("CONFIG_SHOW_PARAMETERS: 2\n");
  EXPECT_EQ(tGps.bShowConfig, 0u);
}

TEST(Config, DisplayOnlyWhenAsked) {
  EXPECT_EQ(ReadConfig("IGC_PILOT_NAME: x\n"), "");
  std::string shown = ReadConfig("CONFIG_SHOW_PARAMETERS: 1\nTRIM_LANDING_INTERVAL: 60\nTRIM_LANDING_DISTANCE: 0\n");
  EXPECT_NE(shown.find("Config: Trim landing detection disabled\n"), std::string::npos);
  shown = ReadConfig(
      "CONFIG_SHOW_PARAMETERS: 1\nTRIM_LANDING_INTERVAL: 60\nTRIM_LANDING_DISTANCE: 20\nTRIM_LANDING_APPEND: 5\n");
  EXPECT_NE(shown.find("Config: TRIM_LANDING_INTERVAL    = 60 s\nConfig: TRIM_LANDING_DISTANCE    = 20 m\n"
                       "Config: TRIM_LANDING_APPEND      = 5 s\n"),
            std::string::npos);
}

TEST(Config, MissingFileMeansDefaults) {
  char folder[] = "/tmp/velmora-config-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(folder), 0);
  std::memset(&tGps, 0, sizeof tGps);
  GetConfigParameters();
  EXPECT_EQ(tGps.bShowConfig, 0u);
  EXPECT_STREQ(tGps.szPilotName, "");
  ASSERT_EQ(chdir(previous), 0);
  rmdir(folder);
}

}  // namespace
