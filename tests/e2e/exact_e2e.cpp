// velmora -x --exact: the document and the console say once that the figures
// are proven optimal; without the option neither does.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"

TEST(ExactE2e, TheProvenFiguresAreSaidSoOnce) {
  e2e::TempDir dir;
  std::string igc = e2e::ReadFile(VELMORA_TEST_DATA "/../../examples/marcourt.igc");
  dir.Write("plain.igc", igc);
  dir.Write("exact.igc", igc);
  const std::string line = "Distances/triangles  proven optimal over every fix\r\n";
  for (bool exact : {false, true}) {
    std::string name = exact ? "exact" : "plain";
    std::vector<std::string> args = {"-x" + name + ".igc"};
    if (exact) args.push_back("--exact");
    auto r = e2e::RunVelmora(args, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Figures proven optimal over every fix\n") != std::string::npos, exact) << r.out;
    std::string kml = e2e::ReadFile(dir.File(name + ".kml"));
    size_t at = kml.find(line);
    EXPECT_EQ(at != std::string::npos, exact);
    if (exact) {
      EXPECT_EQ(kml.find(line, at + 1), std::string::npos);
    }
  }
}
