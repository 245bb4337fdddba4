// Graviter downloads from the emulator on pseudo-terminals, the rows of each
// table side by side since every download waits out the protocol's pauses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversations.h"
#include "track_compare.h"

namespace {

using e2e::Conversation;
using e2e::TempDir;
using Args = std::vector<std::string>;

std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }

// Time, position and GNSS altitude of each B record.
std::vector<std::string> Fixes(const std::string& igc) {
  std::vector<std::string> fixes;
  for (const std::string& b : e2e::BRecords(igc)) fixes.push_back(b.substr(1, 23) + b.substr(30, 5));
  return fixes;
}

TEST(DigiflyE2e, DownloadsAndChoices) {
  const Args two = {"digifly", "--flight", Marcourt(), "--repeat", "2"};
  const std::string list = "Track  0:  2021-03-06  10:34:11  0:03:40\nTrack  1:  2021-03-07  10:34:11  0:03:40\n";
  const std::vector<std::string> served = Fixes(e2e::ReadFile(Marcourt()));
  std::vector<Conversation> rows;
  for (const char* wrap : {"--wrap=record", "--wrap=pointer", "--wrap=header"}) {
    Args sim = two;
    sim.push_back(wrap);
    rows.emplace_back(sim, Args{"-gdg", "-lout", "-f1"}, "", 0, Args{"129380\n" + list}, Args{}, 0, 60,
                      [&](const TempDir& dir, const std::string& out) {
                        EXPECT_EQ(out.rfind("Product: Graviter\nBytes: 0", 0), 0u);
                        std::string igc = dir.Read("out.igc");
                        EXPECT_EQ(igc.rfind("AXVM Graviter\r\nHFDTEDATE:070321,01\r\n", 0), 0u);
                        EXPECT_EQ(Fixes(igc), served);
                        EXPECT_TRUE(dir.Exists("out.kml"));
                      });
  }
  rows.emplace_back(Args{"digifly", "--flight", Marcourt(), "--points", "30", "--repeat", "120"},
                    Args{"-gdg", "-lout.igc", "-f119"}, "", 0, Args{"\nTrack 119:  2021-07-03  10:34:11  0:00:29\n"},
                    Args{}, 0, 60, [&](const TempDir& dir, const std::string&) {
                      EXPECT_EQ(Fixes(dir.Read("out.igc")), Args(served.begin(), served.begin() + 30));
                    });
  rows.emplace_back(two, Args{"-gdg", "-lout.igc"}, "-1\n2\n0\n", 0,
                    Args{list + "Select: Track number outside range\nSelect: Track number outside range\n"
                                "Select: File out.igc written\n"},
                    Args{}, 0, 60);
  // A flight number out of range ends without a prompt; end of input at the
  // prompt is no choice.
  auto refused = [](bool prompted) {
    return [prompted](const TempDir& dir, const std::string& out) {
      EXPECT_EQ(out.find("Select: ") != std::string::npos, prompted);
      EXPECT_TRUE(dir.List().empty());
    };
  };
  rows.emplace_back(two, Args{"-gdg", "-lout.igc", "-f0"}, "", 255, Args{list}, Args{}, 0, 60, refused(false));
  rows.emplace_back(two, Args{"-gdg", "-lout.igc", "-f2"}, "", 255, Args{list + "Track number outside range\n"},
                    Args{}, 0, 60, refused(false));
  rows.emplace_back(two, Args{"-gdg", "-lout.igc"}, "", 255, Args{}, Args{}, 0, 60,
                    [&](const TempDir& dir, const std::string& out) {
                      EXPECT_TRUE(out.ends_with(list + "Select: ")) << "end of input is no choice";
                      EXPECT_TRUE(dir.List().empty());
                    });
  e2e::RunConversations(rows);
}

TEST(DigiflyE2e, BrokenAnswersEndWithTheirMessage) {
  // Seconds: the protocol's waits and a margin.
  auto row = [](Args sim, std::vector<std::string> out, double within = 30) {
    sim.insert(sim.begin(), "digifly");
    return Conversation(sim, {"-gdg", "-lout.igc", "-f1"}, "", 255, out, {}, 0, within);
  };
  e2e::RunConversations({
      row({"--silent=product"}, {"Product: No/bad response\n"}, 2.0 + 1.5),
      row({"--silent=image"}, {"Bytes: 0\b0\nToo few bytes received\n"}, 2.5 + 1.5),
      row({"--noise=product"}, {"No/bad response\n"}, 1.5),
      row({"--noise=image"}, {"Bad format (1)\n", "138304"}),  // the image stops at a full buffer
      row({"--truncate", "10"}, {"Too few bytes received\n"}),
      row({"--bad-frame"}, {"Bad format (1)\n"}),
      row({"--bad-checksum"}, {"Bad checksum\n"}),
      row({"--bad-pointer=first"}, {"Bad format (2)\n"}),
      row({"--short", "5000"}, {"Bad format (2)\n"}),
      row({"--bad-pointer=next"}, {"Decoding log returned error 10\n"}),
      row({"--poke", "3:0"}, {"Decoding log returned error 12\n"}),
      row({"--loop"}, {"Decoding log returned error 38\n"}),
      row({"--empty"}, {"No tracks found\n"}),
  });
}

}  // namespace
