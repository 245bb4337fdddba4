// velmora -x: an IGC file on disk becomes a KML document beside it, and any
// other file ends with a message, status 255 and no output file.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

using e2e::RunVelmora;
using e2e::TempDir;

namespace {

std::string Fixes(int count) {
  std::string text = "AXYZ001\r\nHFDTE150619\r\n";
  for (int i = 0; i < count; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "B1200%02d46%05dN008%05dEA0100001100\r\n", i, 30000 + i * 10, 1000 + i * 10);
    text += line;
  }
  return text;
}

bool WellFormed(const std::string& path) {
  std::string command = "xmllint --noout '" + path + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

TEST(TranslateE2e, UnreadableSourcesFailWithTheirMessage) {
  TempDir dir;
  dir.Write("empty.igc", "");
  mkdir(dir.File("folder.igc").c_str(), 0755);
  mkfifo(dir.File("pipe.igc").c_str(), 0644);
  // A sparse file: 2 GB long without using the disk.
  int fd = open(dir.File("huge.igc").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 2LL * 1024 * 1024 * 1024), 0);
  close(fd);
  dir.Write("four.igc", Fixes(4));

  struct Case {
    const char* name;
    std::string out;
  } cases[] = {
      {"missing.igc", "Couldn't open source file missing.igc\n"},
      {"empty.igc", "Source file ftell() error\n"},
      {"folder.igc", "Source file folder.igc is not a regular file\n"},
      {"pipe.igc", "Source file pipe.igc is not a regular file\n"},
      {"huge.igc", "Source file too large (2147483648 bytes, at most 134217728)\n"},
      {"four.igc", "Source file decoded (4 points)\nToo few points for a .kml file\n"},
  };
  e2e::RunOptions options;
  options.timeoutSeconds = 20;
  for (const Case& c : cases) {
    auto r = RunVelmora({std::string("-x") + c.name}, dir, options);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.status, 255) << c.name;
  }
  for (const std::string& name : dir.List()) EXPECT_EQ(name.find(".kml"), std::string::npos) << name;
}

TEST(TranslateE2e, ConvertsARealFileBesideItself) {
  TempDir dir;
  std::string igc = e2e::ReadFile(e2e::TestDataDir() + "/igc/marcourt.igc");
  dir.Write("flight.igc", igc);
  dir.Write("flight.IGC", igc);
  dir.Write(".igc", Fixes(8));

  auto r = RunVelmora({"-xflight.igc"}, dir);
  ASSERT_EQ(r.out.rfind("Source file decoded (221 points)\n", 0), 0u) << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Computing statistics\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 38), "File flight.kml written, NO signature\n");
  ASSERT_TRUE(dir.Exists("flight.kml"));
  EXPECT_TRUE(WellFormed(dir.File("flight.kml")));
  std::string kml = dir.Read("flight.kml");
  EXPECT_EQ(kml.find(" hash=\""), std::string::npos) << "a converted track is never signed";
  EXPECT_EQ(kml.find(" instrument=\""), std::string::npos);
  EXPECT_NE(kml.find(" time_of_first_point=\"2021-03-06T"), std::string::npos) << "local time, no Z";

  // Only a lower-case ".igc" after some name is replaced.
  r = RunVelmora({"-xflight.IGC"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(r.out.size() - 42), "File flight.IGC.kml written, NO signature\n");
  EXPECT_EQ(dir.Read("flight.IGC.kml").size(), kml.size()) << "the same track, only the download time differs";
  r = RunVelmora({"-x.igc"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(WellFormed(dir.File(".igc.kml")));
  // Nothing else is left behind, no temporary file either.
  std::vector<std::string> files;
  for (const std::string& name : dir.List()) {
    if (name != "velmora.cfg") files.push_back(name);
  }
  EXPECT_EQ(files, (std::vector<std::string>{".igc", ".igc.kml", "flight.IGC", "flight.IGC.kml", "flight.igc",
                                              "flight.kml"}));
}

}  // namespace
