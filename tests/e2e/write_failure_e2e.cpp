// A write that fails half way (here: the file-size limit of `ulimit -f`)
// is reported, ends the run with 255, leaves no partial file and keeps the
// earlier file of the same name as it was, for every file the program writes.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct Writer {
  const char* what;
  const char* sim;  // emulator family, or nullptr for a conversion
  std::vector<std::string> args;
  std::vector<std::string> files;
};

TEST(WriteFailureE2e, EveryWriterKeepsTheEarlierFileAndFails) {
  const Writer writers[] = {
      {"track download", "flymaster", {"-gy", "-f1", "-lflight"}, {"flight.igc", "flight.kml"}},
      {"waypoint download", "flymaster", {"-gy", "-wsites"}, {"sites.gpx", "sites.wpt", "sites.kml"}},
      {"conversion", nullptr, {"-xin.igc"}, {"in.kml"}},
  };
  const std::string earlier = "an earlier file\r\n";
  for (const Writer& w : writers) {
    e2e::TempDir dir;
    dir.Write("in.igc", e2e::ReadFile(e2e::OwnDataDir() + "/../../examples/marcourt.igc"));
    for (const auto& name : w.files) dir.Write(name, earlier);
    std::vector<std::string> args = w.args;
    std::unique_ptr<e2e::Sim> sim;
    if (w.sim != nullptr) {
      sim = std::make_unique<e2e::Sim>(std::vector<std::string>{w.sim});
      args.push_back("-c" + sim->device());
    }
    e2e::RunOptions options;
    options.fileSizeLimit = 100;
    e2e::RunResult r = e2e::RunVelmora(args, dir, options);
    SCOPED_TRACE(std::string(w.what) + "\n" + r.out);
    EXPECT_EQ(r.status, 255);
    std::vector<std::string> expected = w.files;
    expected.push_back("in.igc");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.List(), expected);  // no temporary file left behind
    for (const auto& name : w.files) EXPECT_EQ(dir.Read(name), earlier) << name;
    EXPECT_TRUE(r.out.find("Error writing") != std::string::npos || r.out.find("Couldn't") != std::string::npos);
  }
}

}  // namespace
