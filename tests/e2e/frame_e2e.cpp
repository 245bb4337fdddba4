// The program frame through the real binary: version and help, the command
// and type errors, and the configuration display.
#include <gtest/gtest.h>

#include "harness.h"

using e2e::RunVelmora;
using e2e::TempDir;

namespace {

const char* kHelpStart = "\nVelmoraLinux 0.18 commands:\n\n-h   Display this text\n\n";

TEST(FrameE2e, VersionAndHelpWinAnywhereWithoutReadingTheConfiguration) {
  TempDir dir;
  // A configuration that would print when read: -v and -h must not read it.
  dir.Write("velmora.cfg", "CONFIG_SHOW_PARAMETERS: 1\n");
  auto r = RunVelmora({"-gy", "-l", "-v"}, dir);
  EXPECT_EQ(r.out, "VelmoraLinux version 0.18\n");
  EXPECT_EQ(r.status, 0);

  r = RunVelmora({"--bogus", "-h", "-v"}, dir);
  EXPECT_EQ(r.out.rfind(kHelpStart, 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("Config:"), std::string::npos);
  EXPECT_EQ(r.status, 0);

  r = RunVelmora({}, dir);
  EXPECT_EQ(r.out.rfind(kHelpStart, 0), 0u);
  EXPECT_EQ(r.status, 0);
}

TEST(FrameE2e, CommandAndTypeErrorsEndWith255) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"-gy"}, "No GPS command found\n"},
      {{"stray", "words"}, "No GPS command found\n"},
      {{"-l"}, "No GPS type specified\n"},
      {{"-g", "-l"}, "No GPS type specified\n"},
      {{"--verbose"}, "Unrecognized command: -verbose\n\n"},
      {{"-gap=5"}, "Unsupported GPS: ap=5\n\n"},
      {{"-c1x", "-l"}, "Unrecognized serial comm. port: 1x\n\n"},
      {{"-cz9", "-l"}, "Unrecognized comm. port: z9\n\n"},
      {{"-f=2"}, "Bad -f value\n\n"},
      {{"-b1200"}, "Bad -b value\n\n"},
      {{"--gap", "x"}, "Bad -gap value\n\n"},
      {{"-l\"open"}, "File name not enclosed in quotation marks: \"open\n\n"},
      {{"-t\"x"}, "Task file name not enclosed in quotation marks: \"x\n\n"},
      {{"-r"}, "No file name\n\n"},
      {{"-x"}, "No file name for file conversion\n\n"},
      {{"-cu0123456789012345678901", "-l"}, "Too long USB serial comm. port name\n\n"},
  };
  for (const Case& c : cases) {
    auto r = RunVelmora(c.args, dir);
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.status, 255) << c.args[0];
  }
}

TEST(FrameE2e, UnsupportedWaypointTransfersFailBeforeAnyPortOrFile) {
  TempDir dir;
  // The port does not exist and the upload file neither: neither is touched.
  auto r = RunVelmora({"-gm", "-c/dev/velmora-no-such-port", "-w"}, dir);
  EXPECT_EQ(r.out, "Waypoint download not supported for the selected GPS\n");
  EXPECT_EQ(r.status, 255);
  r = RunVelmora({"-gx", "-c/dev/velmora-no-such-port", "-rmissing.wpt"}, dir);
  EXPECT_EQ(r.out, "Waypoint upload not supported for the selected GPS\n");
  EXPECT_EQ(r.status, 255);
  r = RunVelmora({"-w"}, dir);
  EXPECT_EQ(r.out, "Waypoint download not supported for the selected GPS\n");
  EXPECT_TRUE(dir.List().empty());
}

TEST(FrameE2e, ConfigurationDisplay) {
  TempDir dir;
  // Comments, quotes, tabs, indented and lower-case keys, feet, units after numbers.
  dir.Write("velmora.cfg", e2e::ReadFile(e2e::OwnDataDir() + "/frame/display.cfg"));
  auto r = RunVelmora({"-gy"}, dir);
  EXPECT_EQ(r.out, e2e::Expected("frame/display.txt", r.out));
  EXPECT_EQ(r.status, 255);
}

TEST(FrameE2e, HostileConfigurationBytesNeverCrash) {
  TempDir dir;
  std::string junk = "CONFIG_SHOW_PARAMETERS: 1\n";
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 131 + 7) % 256));
  junk += "\nIGC_PILOT_NAME: \"" + std::string(600, 'x') + "\nTRIM_LOCATION_INTERVAL: 99999999999999999999\n";
  dir.Write("velmora.cfg", junk);
  auto r = RunVelmora({"-gy"}, dir);
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.out.find("Config: IGC_PILOT_NAME  = \"" + std::string(80, 'x') + "\"\n"), std::string::npos);
  EXPECT_NE(r.out.find("No GPS command found\n"), std::string::npos);
}

}  // namespace
