// The command line into the state record: every case of
// tests/data/cases/cmd.txt is parsed like the entry point does (cleared
// state, defaults, then the arguments) and the fields it set are listed.
#include "frame/cmd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cases.h"
#include "frame/state.h"

namespace {

std::string Parse(const std::string& input) {
  std::vector<std::string> args = cases::Fields(input);
  std::memset(&tGps, 0, sizeof tGps);
  SetDefaultParameters();
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  int result = ParseArguments(static_cast<int>(argv.size()), argv.data());
  std::string out = testing::internal::GetCapturedStdout();
  const GpsState& g = tGps;
  char text[8000];
  std::snprintf(text, sizeof text,
                "%d cmd %u file \"%s\" types %u type %u port \"%s\" gap %d f %d baud %u task %u \"%s\" "
                "noana %u scroll %u trim %u debug %u silent %u\n",
                result, g.nCommand, g.szFileName, g.dwFileTypes, g.nGpsType, g.szComPort, g.nTrackGap,
                g.nFlightSelect, g.dwBaudCode, g.bTaskMode, g.szTaskFileName, g.bNoAnalysis, g.bScroll, g.bTrim,
                g.bDebug, g.bSilent);
  return text + out;
}

TEST(CommandLine, EveryCaseOfTheTable) { EXPECT_CASES("cmd.txt", Parse); }

TEST(CommandLine, SplitsOneStringIntoArguments) {
  char line[] = "  -gy  -l\"my flight.igc\"  -f2 x\"a b\"c ";
  char* args[kMaxCmdLineArgs];
  int count = 0;
  ASSERT_EQ(ParseCmdLine(line, &count, args), 0);
  ASSERT_EQ(count, 4);
  EXPECT_STREQ(args[0], "-gy");
  EXPECT_STREQ(args[1], "-l\"my flight.igc\"");
  EXPECT_STREQ(args[2], "-f2");
  EXPECT_STREQ(args[3], "x\"a b\"c");

  std::string many;
  for (int i = 0; i < 40; ++i) many += "a ";
  std::vector<char> buffer(many.begin(), many.end());
  buffer.push_back('\0');
  ASSERT_EQ(ParseCmdLine(buffer.data(), &count, args), 0);
  EXPECT_EQ(count, kMaxCmdLineArgs);

  char unbalanced[] = "-l\"open ended";
  testing::internal::CaptureStdout();
  EXPECT_EQ(ParseCmdLine(unbalanced, &count, args), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad quotation mark balance in command line\n");
}

}  // namespace
