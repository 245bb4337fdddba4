// IQ Basic and Flytec 6015 downloads with the emulator on a real
// pseudo-terminal: parameters, list and choice, the IGC file byte for byte,
// and every injected fault with its message, status and time.
#include "conversations.h"

using e2e::Conversation;
using e2e::TempDir;

namespace {

std::string Flytec() { return e2e::OwnDataDir() + "/igc/flytec.igc"; }
std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }

TEST(IqBasicE2e, Downloads) {
  std::string flytec = e2e::ReadFile(Flytec()), marcourt = e2e::ReadFile(Marcourt());
  std::vector<std::string> two = {"iqbasic", "--flight", Marcourt(), "--flight", Flytec()};
  auto saved = [](std::string name, std::string text) {
    return [=](const TempDir& dir, const std::string&) {
      EXPECT_EQ(dir.Read(name), text);
      EXPECT_EQ(dir.List().size(), 2u);  // and its KML
    };
  };
  auto fault = [](std::vector<std::string> sim, std::string message, double min, double max) {
    sim.insert(sim.begin(), "iqbasic");
    return Conversation{sim, {"-giq", "-lf.igc", "-f1"}, "", 255, {message}, {}, min, max};
  };
  e2e::RunConversations({
      {two, {"-giq", "-lflight", "-f2"}, "", 0,
       {"Product: IQ-BASIC, SW 1.1.05, S/N 1137\nTrack list:\n1;06.03.21;10:34:11;00:03:40\n"
        "2;31.07.24;23:59:52;00:00:11\nMatch in flight list for flight 2\nBytes: 0",
        "File flight.igc written\n", "File flight.kml written, NO signature\n"},
       {"RX RPA_00\\x0D\nRX RPA_01\\x0D\nRX RPA_02\\x0D\nRX ACT_20_  \\x0D\n", "RX ACT_21_02\\x0D\n"}, 1.5, 6,
       saved("flight.igc", flytec)},
      {two, {"-giq", "-l"}, "1\n", 0, {"Select: Match in flight list for flight 1\n"}, {}, 1.5, 6,
       saved("2021-03-06_10-34.igc", marcourt)},
      {{"iqbasic", "--model", "6015", "--firmware", "2.0.17", "--serial", "4000000000", "--empty-list"},
       {"-giq", "-lf.igc", "-f0"}, "", 0,
       {"Product: 6015, SW 2.0.17, S/N 4000000000\n", "No entry in the flightlist found\n"}, {"RX ACT_21_01"}, 1.5, 6,
       [](const TempDir& dir, const std::string&) { EXPECT_TRUE(dir.Exists("f.igc")); }},
      {two, {"-giq", "-l", "-f0"}, "", 255, {"2;31.07.24"}},
      {two, {"-giq", "-l", "-f5"}, "", 255, {"No match in flight list for selected flight number\n"}},
      {two, {"-giq", "-l"}, "100\n", 255, {"Select: Flight number out of range\n"}},
      {two, {"-giq", "-l"}, "", 255, {"Select: No flight number found\n"}},
      fault({"--silent", "serial"}, "Product: Bad/missing PAdata response (serial number)\n", 1.9, 3.5),
      fault({"--silent", "version"}, "Bad/missing PAdata response (software version)\n", 2.3, 4),
      fault({"--bad-value", "type"}, "Bad PAdata response (device type format error)\n", 0, 2),
      fault({"--noise", "list"}, "Timeout\n", 0, 3),
      fault({"--noise", "log"}, " Timeout\n", 0, 4),
      fault({"--silent", "log"}, "Bytes: 0\b0\n", 2.5, 4.5),
      fault({"--cut-at", "700"}, "Transfer ended inside a record\n", 2.5, 4.5),
  });
}

}  // namespace
