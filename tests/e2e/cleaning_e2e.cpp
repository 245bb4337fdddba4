// Track cleaning, track selection and trimming through real downloads: the
// Flymaster emulator serves a real flight spoiled the ways real logs are
// (pauses between flights, time stamps stepping back, position spikes, a
// pilot standing on launch), the program downloads and saves it, and what it
// prints and writes is held against the expected files in
// tests/data/expected/cleaning/.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

// Trim settings that give every detector its say in this flight.
const char* const kTrimConfig =
    "TRIM_LOCATION_INTERVAL: 20\nTRIM_LOCATION_DISTANCE: 5\nTRIM_TAKEOFF_INTERVAL: 10\nTRIM_TAKEOFF_DISTANCE: 40\n"
    "TRIM_TAKEOFF_PREPEND: 5\nTRIM_TAKEOFF_BOX_RADIUS: 60\nTRIM_TAKEOFF_BOX_HEIGHT: 15\n"
    "TRIM_TAKEOFF_BOX_PREPEND: 8\nTRIM_LANDING_INTERVAL: 10\nTRIM_LANDING_DISTANCE: 30\nTRIM_LANDING_APPEND: 20\n";

TEST(CleaningE2e, SpoiledLogsAreCleanedSelectedAndTrimmed) {
  // Gaps of 1800 s (a new track at 30 minutes), 1799 s (not) and an hour.
  const std::vector<std::string> threeFlights = {"--pause-after", "60:1799", "--pause-after", "120:1798",
                                                 "--pause-after", "160:3600"};
  struct Case {
    const char* name;
    std::vector<std::string> spoils, args;
    std::string answers;
    int status;
    const char* config;
  } cases[] = {
      {"tracks-all", threeFlights, {"--gap", "30"}, "a\n", 0, ""},
      // A letter asks again; tracks are stored oldest first, a number twice counts once.
      {"tracks-chosen", threeFlights, {"--gap", "30"}, "1,x\n3,1,3\n", 0, ""},
      {"tracks-beyond", threeFlights, {"--gap", "30"}, "7\n", 255, ""},
      {"tracks-none", threeFlights, {"--gap", "30"}, "0\n", 255, ""},
      {"tracks-closed", threeFlights, {"--gap", "30"}, "", 255, ""},
      {"backward-kept", {"--backward-at", "40", "--backward-at", "150"}, {}, "y\n", 0, ""},
      {"backward-dropped", {"--backward-at", "40", "--backward-at", "150"}, {}, "No\n", 0, ""},
      {"backward-closed", {"--backward-at", "40", "--backward-at", "150"}, {}, "", 0, ""},
      // One spike standing before launch, one in flight.
      {"spikes", {"--spike-at", "5", "--spike-at", "120"}, {}, "", 0, ""},
      {"spikes-noana", {"--spike-at", "5", "--spike-at", "120"}, {"--noana"}, "", 0, ""},
      // Standing on launch a minute before the log's own still start.
      {"trimmed", {"--still", "60"}, {"--trim"}, "", 0, kTrimConfig},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> simArgs = {"flymaster", "--flight", e2e::TestDataDir() + "/igc/marcourt.igc"};
    simArgs.insert(simArgs.end(), c.spoils.begin(), c.spoils.end());
    e2e::Sim sim(simArgs);
    e2e::TempDir dir;
    std::vector<std::string> args = {"-gy", "-c" + sim.device(), "-lflight.igc", "-f1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (*c.config != '\0') dir.Write("velmora.cfg", c.config);
    e2e::RunOptions input;
    input.stdinText = c.answers;
    e2e::RunResult r = e2e::RunVelmora(args, dir, input);
    EXPECT_EQ(r.status, c.status) << r.out;
    // Nothing but the flight files, not even a temporary one.
    std::string all = e2e::Stable(r.out, dir);
    for (const std::string& file : dir.List()) {
      if (file != "velmora.cfg") all += "== " + file + "\n" + e2e::Stable(dir.Read(file), dir);
    }
    EXPECT_EQ(all, e2e::Expected(std::string("cleaning/") + c.name, all));
  }
}

}  // namespace
