// A write that fails half way (here: the file-size limit of `ulimit -f`)
// is reported, ends the run with 255, leaves no partial file and keeps the
// earlier file of the same name as it was, for every file the program writes.
#include <gtest/gtest.h>
#include <signal.h>

#include "harness.h"

namespace {

struct Writer {
  const char* what;
  std::vector<std::string> sim;  // emulator and its options, none for a conversion
  std::vector<std::string> args;
  std::vector<std::string> files;
  double stopAfter = 0;  // seconds before a SIGTERM ends a logger
};

// Detectors that see the emulated day's flight, its landing within seconds.
const char* const kTaskConfig =
    "TASK_LOCATION_INTERVAL: 20\nTASK_LOCATION_DISTANCE: 10\nTASK_TAKEOFF_INTERVAL: 10\n"
    "TASK_TAKEOFF_DISTANCE: 50\nTASK_TAKEOFF_PREPEND: 5\nTASK_LANDING_INTERVAL: 30\nTASK_LANDING_DISTANCE: 20\n";

TEST(WriteFailureE2e, EveryWriterKeepsTheEarlierFileAndFails) {
  const Writer writers[] = {
      {"track download", {"flymaster"}, {"-gy", "-f1", "-lflight"}, {"flight.igc", "flight.kml"}},
      {"waypoint download", {"flymaster"}, {"-gy", "-wsites"}, {"sites.gpx", "sites.wpt", "sites.kml"}},
      {"conversion", {}, {"-xin.igc"}, {"in.kml"}},
      {"task-mode flight",
       {"nmea", "--day", "--stand", "60", "--fly", "120", "--speed", "40"},
       {"-gnm", "-t", "-lflight"},
       {"flight.igc"},
       8},
  };
  const std::string earlier = "an earlier file\r\n";
  for (const Writer& w : writers) {
    e2e::TempDir dir;
    dir.Write("in.igc", e2e::ReadFile(e2e::OwnDataDir() + "/../../examples/marcourt.igc"));
    dir.Write("velmora.cfg", kTaskConfig);
    for (const auto& name : w.files) dir.Write(name, earlier);
    std::vector<std::string> args = w.args;
    std::unique_ptr<e2e::Sim> sim;
    if (!w.sim.empty()) {
      sim = std::make_unique<e2e::Sim>(w.sim);
      args.push_back("-c" + sim->device());
    }
    e2e::RunOptions options;
    options.fileSizeLimit = 100;
    if (w.stopAfter > 0) {
      options.signal = SIGTERM;
      options.signalDelay = w.stopAfter;
    }
    e2e::RunResult r = e2e::RunVelmora(args, dir, options);
    SCOPED_TRACE(std::string(w.what) + "\n" + r.out);
    EXPECT_EQ(r.status, 255);
    std::vector<std::string> expected = w.files;
    expected.push_back("in.igc");
    expected.push_back("velmora.cfg");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(dir.List(), expected);  // no temporary file left behind
    for (const auto& name : w.files) EXPECT_EQ(dir.Read(name), earlier) << name;
    EXPECT_TRUE(r.out.find("Error writing") != std::string::npos || r.out.find("Couldn't") != std::string::npos);
  }
}

}  // namespace
