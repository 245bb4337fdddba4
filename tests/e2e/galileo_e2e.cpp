// Brauniger/Flytec downloads and waypoint transfers with the emulator on a
// real pseudo-terminal: the instrument's IGC text saved byte for byte, the
// KML track against the served fixes, the list and the prompt, and every
// injected fault with its message, status and time.
#include <cstdio>
#include <sstream>

#include "conversations.h"

using e2e::Conversation;
using e2e::TempDir;

namespace {

std::string Flytec() { return e2e::OwnDataDir() + "/igc/flytec.igc"; }
std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }

// The KML track's "lon,lat,alt" items and the same made of the B records.
std::vector<std::string> KmlTrack(const std::string& kml) {
  size_t from = kml.find("<coordinates>", kml.find("<name>Tracklog</name>")) + 13;
  std::istringstream in(kml.substr(from, kml.find("</coordinates>", from) - from));
  std::vector<std::string> items;
  for (std::string item; in >> item;) items.push_back(item);
  return items;
}
std::vector<std::string> BRecords(const std::string& igc) {
  std::istringstream in(igc);
  std::vector<std::string> items;
  for (std::string b; std::getline(in, b);) {
    if (b[0] != 'B') continue;
    auto angle = [&](size_t at, size_t digits) {
      return std::stoi(b.substr(at, digits)) + std::stoi(b.substr(at + digits, 5)) / 60000.0;
    };
    double lat = angle(7, 2) * (b[14] == 'S' ? -1 : 1), lon = angle(15, 3) * (b[23] == 'W' ? -1 : 1);
    char item[64];
    std::snprintf(item, sizeof item, "%.6f,%.6f,%d", lon, lat, std::stoi(b.substr(30, 5)));
    items.push_back(item);
  }
  return items;
}

// The file is the served text byte for byte, and its KML shows every fix.
Conversation::Check Saved(const std::string& name, const std::string& text, bool trimmed = false) {
  return [=](const TempDir& dir, const std::string&) {
    EXPECT_EQ(dir.Read(name + ".igc"), text);
    if (trimmed) {
      EXPECT_EQ(dir.Read(name + "-T.igc"), text);
    }
    EXPECT_EQ(KmlTrack(dir.Read(name + ".kml")), BRecords(text));
  };
}

TEST(GalileoE2e, TrackDownloads) {
  std::string flytec = e2e::ReadFile(Flytec()), marcourt = e2e::ReadFile(Marcourt());
  TempDir data;
  data.Write("nodate.igc", "AFLY001\r\nB2359520000000N00000000EA0000000000\r\nHFDTE010124\r\n");
  // Cut at a line end the log is whole as far as anyone can tell.
  std::string head = flytec.substr(0, flytec.find("\r\nG") + 2);
  std::vector<std::string> two = {"galileo", "--flight", Marcourt(), "--flight", Flytec()};
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), two.begin(), two.end());
    return extra;
  };
  e2e::RunConversations({
      {with({"--flow", "5"}), {"-gc", "-lflight", "-f2", "--trim"}, "", 0,
       {"Product: COMPEO+, SN8304, SW1.21\nTrack list:\n 1  06.03.21   10:34:11   00:03:40\n"
        " 2  31.07.24   23:59:52   00:00:11\nPoints: 0",
        "File flight.igc written\n", "File flight.kml written, signature OK\n", "File flight-T.igc written\n"},
       {"RX \\x11$PBRSNP,*21\\x0D\nRX \\x11$PBRTL,*74\\x0D\n", "RX \\x11$PBRTR,01*6B\\x0D\n"}, 4, 12,
       Saved("flight", flytec, true)},
      {two, {"-gc", "-l"}, "\n1\n", 0, {"Select: ", "signature OK\n"}, {"$PBRTR,00*6A"}, 4, 12,
       Saved("2021-03-06_10-34", marcourt)},
      {with({"--cut-at", std::to_string(head.size())}), {"-gc", "-lcut.igc", "-f2"}, "", 0, {"No G-records found\n"},
       {"CUT"}, 4, 12, [&](const TempDir& dir, const std::string&) { EXPECT_EQ(dir.Read("cut.igc"), head); }},
      {{"galileo", "--model", "Compeo", "--firmware", "2.19", "--user", ""}, {"-gc", "-lold.igc", "-f5"}, "", 0,
       {"Product: COMPEO, SN8304, SW2.19\nPoints: 0"}, {"RX \\x11$PBRIGC,*21"}},
      {{"galileo", "--model", "Compeo", "--firmware", "2.20", "--lower-case"}, {"-gc", "-lnew.igc", "-f1"}, "", 0,
       {"Track list:\n 1  15.06.24   10:30:00   00:06:40\n"}},
      {{"galileo", "--empty-list"}, {"-gc", "-lempty.igc", "-f3"}, "", 0, {"No list found. Selecting latest flight\n"},
       {"$PBRTR,00*6A"}},
      {two, {"-gc", "-l", "-f0"}, "", 255, {" 2  31.07.24"}},
      {two, {"-gc", "-l", "-f3"}, "", 255, {"Flight number out of range\n"}},
      {two, {"-gc", "-l"}, "", 255, {"Select: No flight number found\n"}},
      {two, {"-gc", "-l"}, "7\n", 255, {"No match for flight number 7 in flight list\n"}},
      {{"galileo", "--flight", data.File("nodate.igc")}, {"-gc", "-l", "-f1"}, "", 255, {" Format error 25\n"}},
  });
}

TEST(GalileoE2e, Faults) {
  auto row = [](std::vector<std::string> sim, std::string message, double min, double max) {
    sim.insert(sim.begin(), "galileo");
    return Conversation{sim, {"-gc", "-lf.igc", "-f1"}, "", 255, {message}, {}, min, max};
  };
  e2e::RunConversations({
      row({"--silent", "ident"}, "Product: Timeout\n", 2.9, 4.5),
      row({"--noise", "ident"}, "Timeout\n", 0, 4.5),
      row({"--bad-checksum", "ident"}, "Product: Format error 13\n", 0, 2),
      row({"--bad-checksum", "list"}, "Track list:\nFormat error 11\n", 0, 4),
      row({"--noise", "list"}, "Timeout\n", 0, 4),
      row({"--noise", "log"}, " Timeout\n", 0, 5),
      row({"--silent", "log"}, "Points: 0\b0\n", 4.9, 6.5),
      row({"--cut-at", "500"}, "Transfer ended inside a record\n", 4.9, 6.5),
  });
}

TEST(GalileoE2e, Waypoints) {
  TempDir data;
  data.Write("memory", "4730,N,00630.000,E,abc,Some Name,1200\n8959.999,S,17959.999,W,,,-20\n"
                       "4500.000,N,00700.000,E,xy z\n");
  data.Write("bad-latitude", "9000.000,N,00630.000,E,A,B,1\n");
  data.Write("long-name", "4700.000,N,00630.000,E,A,123456789012345678,1\n");
  data.Write("upload.wpt",
             "OziExplorer Waypoint File Version 1.0\r\nWGS 84\r\nReserved 2\r\nReserved 3\r\n"
             "1,FORCLA,45.813900,6.246400,0,0,1,3,0,65535,Forclaz launch,0,0,0,4101\r\n"
             "2,LOW,-20.5,-70.1,0,0,1,3,0,65535,,0,0,0,-66\r\n"
             "3,TOP,0.000008,179.99999,0,0,1,3,0,65535,A name longer than seventeen,0,0,0,40000\r\n");
  std::string memory = data.File("memory");
  auto fault = [&](std::string option, std::string value, std::string message) {
    return Conversation{{"galileo", option, value}, {"-gc", "-w"}, "", 255, {message}, {}, 0, 5};
  };
  e2e::RunConversations({
      {{"galileo", "--waypoints", memory}, {"-gc", "-wout.kml"}, "", 0, {"Waypoints: 0\b3\n"}, {}, 2.9, 5,
       [](const TempDir& dir, const std::string&) {
         std::string kml = dir.Read("out.kml");
         for (const char* part : {"<name>ABC</name>\r\n        <description>SOME NAME</description>",
                                  "<coordinates>6.500000,47.500000,1200.000000</coordinates>",
                                  "<name>Z</name>\r\n        <description></description>",
                                  "<coordinates>-179.999983,-89.999983,-20.000000</coordinates>",
                                  "<name>XY</name>"}) {
           EXPECT_NE(kml.find(part), std::string::npos) << part << "\n" << kml;
         }
       }},
      fault("--waypoints", data.File("bad-latitude"), "Waypoints: 0 Format error 1\n"),
      fault("--waypoints", data.File("long-name"), " Format error 14\n"),
      fault("--bad-checksum", "wpt", " Format error 20\n"),
      fault("--noise", "wpt", " Timeout\n"),
      {{"galileo", "--refuse-upload", "2"}, {"-gc", "-r" + data.File("upload.wpt")}, "", 0,
       {"3 waypoints found\nProduct: COMPEO+, SN8304, SW1.21\nWaypoints: 0\b1\b2\b3"},
       {"WPT $PBRWPR,4548.834,N,00614.784,E,,Forclaz launch   ,1250*5C\\x0D\n",
        "WPT $PBRWPR,2030.000,S,07006.000,W,,LOW              ,0000*59\\x0D\nREFUSED refused on request\n",
        "WPT $PBRWPR,0000.000,N,17959.999,E,,A name longer tha,9999*"},
       1.8, 5},
  });
}

}  // namespace
