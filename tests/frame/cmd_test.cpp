// The command line into the state record: option grammar, file names and
// extensions, ports, types and numbers.
#include "frame/cmd.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/state.h"

namespace {

// Joins without operator+ on a literal, which trips a false -Wrestrict in g++ 12.
std::string Cat(const char* a, const std::string& b) {
  std::string s(a);
  s += b;
  return s;
}

struct Parsed {
  int result;
  std::string out;
};

// Parses like the entry point does: cleared state, defaults, then the
// arguments (without the invocation name).
Parsed Parse(std::vector<std::string> args) {
  std::memset(&tGps, 0, sizeof tGps);
  SetDefaultParameters();
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  int result = ParseArguments(static_cast<int>(argv.size()), argv.data());
  return {result, testing::internal::GetCapturedStdout()};
}

TEST(CommandLine, TrackLogNamesAndTypes) {
  struct Case {
    std::vector<std::string> args;
    const char* name;
    uint32_t types;
  } cases[] = {
      {{"-lflight.igc"}, "flight", kTrackFileIgc},
      {{"-l"}, "", 3},
      {{"-l", "flight.igc"}, "", 3},
      {{"-l=track.kml"}, "track", kTrackFileKml},
      {{"-lTRACK.KML"}, "TRACK.KML", 3},
      {{"-l.kml"}, "", kTrackFileKml},
      {{"-lkml"}, "kml", 3},
      {{"-l\"my flight.igc\""}, "my flight", kTrackFileIgc},
      {{"-lflights/"}, "flights/", 3},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, 0) << c.args[0];
    EXPECT_EQ(tGps.nCommand, kCmdTrackLog) << c.args[0];
    EXPECT_STREQ(tGps.szFileName, c.name) << c.args[0];
    EXPECT_EQ(tGps.dwFileTypes, c.types) << c.args[0];
  }
  Parse({Cat("-l", std::string(400, 'n'))});
  EXPECT_EQ(std::strlen(tGps.szFileName), 300u) << "names are cut to 300 characters";
}

TEST(CommandLine, WaypointAndOtherCommands) {
  Parse({"-wpoints.txt"});
  EXPECT_EQ(tGps.nCommand, kCmdWaypointDownload);
  EXPECT_STREQ(tGps.szFileName, "points.txt");
  EXPECT_EQ(tGps.dwFileTypes, 7u);
  Parse({"-wp.gpx"});
  EXPECT_EQ(tGps.dwFileTypes, kWptFileGpx);
  Parse({"-wp.wpt"});
  EXPECT_EQ(tGps.dwFileTypes, kWptFileOzi);
  Parse({"-w=p.kml"});
  EXPECT_EQ(tGps.dwFileTypes, kWptFileKml);
  EXPECT_STREQ(tGps.szFileName, "p");

  Parse({"-rup.wpt"});
  EXPECT_EQ(tGps.nCommand, kCmdWaypointUpload);
  EXPECT_STREQ(tGps.szFileName, "up.wpt") << "no extension is removed for an upload";
  Parse({"-x\"a b.igc\""});
  EXPECT_EQ(tGps.nCommand, kCmdTranslate);
  EXPECT_STREQ(tGps.szFileName, "a b.igc");

  // The last command decides.
  Parse({"-la.igc", "-xb.igc"});
  EXPECT_EQ(tGps.nCommand, kCmdTranslate);
  EXPECT_STREQ(tGps.szFileName, "b.igc");

  Parse({"-ttask.wpt"});
  EXPECT_EQ(tGps.bTaskMode, 1u);
  EXPECT_STREQ(tGps.szTaskFileName, "task.wpt");
  EXPECT_EQ(tGps.nCommand, 0u) << "task mode sets no command";
  Parse({"-t"});
  EXPECT_EQ(tGps.bTaskMode, 1u);
  EXPECT_STREQ(tGps.szTaskFileName, "");
}

TEST(CommandLine, Ports) {
  struct Case {
    std::vector<std::string> args;
    const char* port;
  } cases[] = {
      {{"-c0"}, "/dev/ttyS0"},
      {{"-c", "007"}, "/dev/ttyS7"},
      {{"-c=3"}, "/dev/ttyS3"},
      {{"-cuUSB0"}, "/dev/ttyUSBUSB0"},
      {{"-cu0"}, "/dev/ttyUSB0"},
      {{"-ca1"}, "/dev/ttyACM1"},
      {{"-cq"}, ""},
      {{"-c/dev/pts/7"}, "/dev/pts/7"},
      {{"-c", "/dev/serial/by-id/usb-Flymaster_GPS-if00"}, "/dev/serial/by-id/usb-Flymaster_GPS-if00"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(p.result, 0) << c.args[0];
    EXPECT_STREQ(tGps.szComPort, c.port) << c.args[0];
  }
  std::string longest = Cat("/", std::string(254, 'd'));
  EXPECT_EQ(Parse({Cat("-c", longest)}).result, 0);
  EXPECT_EQ(std::string(tGps.szComPort), longest);
  Parsed tooLong = Parse({Cat("-c/", std::string(255, 'd'))});
  EXPECT_EQ(tooLong.result, -1);
  EXPECT_EQ(tooLong.out, Cat("Unrecognized comm. port: /", std::string(255, 'd')) + "\n");

  EXPECT_EQ(Parse({"-c1x"}).out, "Unrecognized serial comm. port: 1x\n");
  EXPECT_EQ(Parse({"-cdev"}).out, "Unrecognized comm. port: dev\n");
  EXPECT_EQ(Parse({Cat("-cu", std::string(21, 'x'))}).result, 0);
  EXPECT_EQ(Parse({Cat("-cu", std::string(22, 'x'))}).out, "Too long USB serial comm. port name\n");
  EXPECT_EQ(Parse({"-c99999999999999999999"}).result, -1) << "a huge number must not wrap into a port";
}

TEST(CommandLine, TypesNumbersAndFlags) {
  const char* types[] = {"c", "g", "m", "x", "y", "dg", "iq", "nm", "sy"};
  for (uint32_t i = 0; i < 9; ++i) {
    Parse({Cat("-g", types[i])});
    EXPECT_EQ(tGps.nGpsType, i + 1) << types[i];
  }
  Parse({"-g", "y"});
  EXPECT_EQ(tGps.nGpsType, kGpsFlymaster);
  Parse({"-g=nm"});
  EXPECT_EQ(tGps.nGpsType, kGpsNmea);
  Parsed p = Parse({"-g", "-l"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(tGps.nGpsType, 0u);
  EXPECT_EQ(tGps.nCommand, kCmdTrackLog) << "the -l after a bare -g is still handled";
  EXPECT_EQ(Parse({"-g"}).result, 0);
  EXPECT_EQ(Parse({"-gap=5"}).out, "Unsupported GPS: ap=5\n");
  EXPECT_EQ(Parse({"-gY"}).out, "Unsupported GPS: Y\n");

  EXPECT_EQ(Parse({"--gap=5"}).result, 0);
  EXPECT_EQ(tGps.nTrackGap, 300);
  Parse({"--gap", "5"});
  EXPECT_EQ(tGps.nTrackGap, 300);
  Parse({"--gap="});
  EXPECT_EQ(tGps.nTrackGap, 0);
  Parse({"-gy"});
  EXPECT_EQ(tGps.nTrackGap, -1);
  EXPECT_EQ(tGps.nFlightSelect, -1);
  EXPECT_EQ(Parse({"--gap=-1"}).out, "Bad -gap value\n");
  EXPECT_EQ(Parse({"--gap=99999999"}).out, "Bad -gap value\n") << "seconds would overflow";

  Parse({"-f3"});
  EXPECT_EQ(tGps.nFlightSelect, 3);
  Parse({"-f"});
  EXPECT_EQ(tGps.nFlightSelect, 0);
  EXPECT_EQ(Parse({"-f=2"}).out, "Bad -f value\n");

  Parse({"-b115200"});
  EXPECT_EQ(tGps.dwBaudCode, static_cast<uint32_t>(B115200));
  Parse({"-b=4800"});
  EXPECT_EQ(tGps.dwBaudCode, static_cast<uint32_t>(B4800));
  EXPECT_EQ(Parse({"-b1200"}).out, "Bad -b value\n");
  EXPECT_EQ(Parse({"-bfast"}).out, "Bad -b value\n");

  Parse({"--noana", "--scroll", "--trim", "--debug", "--silent"});
  EXPECT_EQ(tGps.bNoAnalysis + tGps.bScroll + tGps.bTrim + tGps.bDebug + tGps.bSilent, 5u);
  EXPECT_EQ(Parse({"--verbose"}).out, "Unrecognized command: -verbose\n");
  EXPECT_EQ(Parse({"--trimmed"}).result, -1);
}

TEST(CommandLine, StrayWordsAndFailuresStopTheParse) {
  Parsed p = Parse({"hello", "-gy", "stray", "-lx.igc", "more"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(tGps.nGpsType, kGpsFlymaster);
  EXPECT_STREQ(tGps.szFileName, "x");
  EXPECT_EQ(Parse({"no", "options"}).result, 0);

  p = Parse({"-gy", "-l\"unclosed", "-f2"});
  EXPECT_EQ(p.result, -1);
  EXPECT_EQ(p.out, "File name not enclosed in quotation marks: \"unclosed\n");
  EXPECT_EQ(tGps.nGpsType, kGpsFlymaster) << "settings before the failure stay";
  EXPECT_EQ(tGps.nFlightSelect, -1) << "nothing after the failure is parsed";
  EXPECT_EQ(Parse({"-l\""}).out, "File name not enclosed in quotation marks: \"\n");
  EXPECT_EQ(Parse({"-t\"x"}).out, "Task file name not enclosed in quotation marks: \"x\n");
  EXPECT_EQ(Parse({"-r"}).out, "No file name\n");
  EXPECT_EQ(Parse({"-x"}).out, "No file name for file conversion\n");
  EXPECT_EQ(Parse({"-x\"\""}).out, "No file name for file conversion\n");
}

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
