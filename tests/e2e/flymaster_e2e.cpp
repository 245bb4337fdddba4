// Track downloads from the Flymaster emulator on a real pseudo-terminal:
// selection, the IGC file against the points served, naming, and every
// injected fault with its message and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

using e2e::RunOptions;
using e2e::RunVelmora;
using e2e::Sim;
using e2e::TempDir;

namespace {

std::string Marcourt() { return e2e::TestDataDir() + "/igc/marcourt.igc"; }

std::vector<std::string> Lines(const std::string& text, char first) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == first) lines.push_back(line);
  }
  return lines;
}

// Time, latitude, longitude and GNSS altitude of a B record: what a download
// must carry over unchanged (the pressure altitude goes through the
// instrument's hectopascals).
std::string Essentials(const std::string& b) { return b.substr(1, 23) + b.substr(30, 5); }

TEST(FlymasterE2e, DownloadCarriesEveryServedPointIntoASignedIgc) {
  Sim sim({"flymaster", "--flight", Marcourt(), "--model", "GpsTrio", "--serial", "4711", "--firmware", "2.03"});
  TempDir dir;
  dir.Write("velmora.cfg", "IGC_PILOT_NAME: \"Anna Berg\"\nIGC_GLIDER_TYPE: Sigma\n");
  auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lflight.igc", "-f1"}, dir);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.rfind("Product: Flymaster GpsTrio  SN4711  SW2.03\nTrack list:\n 1   06.03.21   ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nPoints: 0"), std::string::npos);
  EXPECT_NE(r.out.find("221\nFile flight.igc written\n"), std::string::npos) << r.out;

  std::string igc = dir.Read("flight.igc");
  std::vector<std::string> served = Lines(e2e::ReadFile(Marcourt()), 'B');
  std::vector<std::string> written = Lines(igc, 'B');
  ASSERT_EQ(written.size(), served.size());
  for (size_t i = 0; i < served.size(); ++i) {
    ASSERT_EQ(written[i].size(), 35u) << written[i];
    EXPECT_EQ(Essentials(written[i]), Essentials(served[i])) << "point " << i;
  }
  EXPECT_EQ(igc.rfind("AXVM Flymaster GpsTrio  SN4711  SW2.03\r\nHFDTEDATE:060321,01\r\nHFPLTPILOT: Anna Berg\r\n"
                      "HFGTYGLIDERTYPE: Sigma\r\n",
                      0),
            0u);
  // The trailer: our L records, then a G record of 16 upper-case hex digits.
  size_t trailer = igc.find("\r\nLXVM VelmoraLinux version 0.18\r\nLXVM Downloaded ");
  ASSERT_NE(trailer, std::string::npos);
  std::vector<std::string> g = Lines(igc.substr(trailer), 'G');
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g[0].size(), 17u);
  EXPECT_EQ(g[0].find_first_not_of("0123456789ABCDEF", 1), std::string::npos) << g[0];
  EXPECT_EQ(igc.substr(igc.size() - 19), g[0] + "\r\n") << "the G record ends the file";
  std::string log = sim.Finish();
  EXPECT_NE(log.find("RX $PBRSNP,*21"), std::string::npos);
  EXPECT_NE(log.find("RX $PFMDNL,LST,*72"), std::string::npos);
  EXPECT_NE(log.find("RX $PFMDNL,210306"), std::string::npos);
  EXPECT_EQ(log.find("CANCEL"), std::string::npos);
}

TEST(FlymasterE2e, FlightSelection) {
  TempDir dir;
  {
    // Two flights listed; the answer on standard input picks the second.
    Sim sim({"flymaster", "--flight", Marcourt(), "--flight", e2e::TestDataDir() + "/igc/20241007TZN.igc"});
    RunOptions input;
    input.stdinText = "\n2\n";
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lpicked.igc"}, dir, input);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find(" 1   06.03.21   "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n 2   07.10.24   "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Select: "), std::string::npos);
    EXPECT_EQ(Lines(dir.Read("picked.igc"), 'B').size(), 199u);
  }
  struct Case {
    std::vector<std::string> extra;
    std::string stdinText;
    std::string message;
  } refusals[] = {
      {{"-f0"}, "", "Flight number out of range\n"},
      {{"-f2"}, "", "Flight number out of range\n"},
      {{}, "", "Select: No flight number found\n"},
      {{}, "seven\n", "Select: No flight number found\n"},
      {{}, "7\n", "Select: Flight number out of range\n"},
  };
  for (const Case& c : refusals) {
    Sim sim({"flymaster"});
    std::vector<std::string> args = {"-gy", "-c" + sim.device(), "-lnone.igc"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunOptions input;
    input.stdinText = c.stdinText;
    auto r = RunVelmora(args, dir, input);
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_FALSE(dir.Exists("none.igc"));
  }
}

TEST(FlymasterE2e, FileNaming) {
  TempDir dir;
  {
    Sim sim({"flymaster"});
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-l.igc", "-f1"}, dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(dir.Exists("2024-06-15_10-30.igc")) << r.out;
  }
  {
    Sim sim({"flymaster"});
    ASSERT_EQ(mkdir(dir.File("out").c_str(), 0755), 0);
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-l" + dir.File("out") + "/", "-f1"}, dir);
    EXPECT_NE(r.out.find("File " + dir.File("out") + "/2024-06-15_10-30.igc written"), std::string::npos) << r.out;
  }
}

TEST(FlymasterE2e, InjectedFaults) {
  struct Case {
    std::vector<std::string> sim;
    std::string message;
    int status;
    std::string simLog;  // what the instrument must have seen
  } cases[] = {
      {{"--bad-checksum", "3"}, "File f.igc written", 0, "NAK"},
      {{"--silent-after", "2"}, " Timeout\n", 255, "CANCEL"},
      {{"--bad-length"}, " Bad key track position block length\n", 255, "CANCEL"},
      {{"--bad-length=change"}, " Bad track position block length\n", 255, "CANCEL"},
      {{"--bad-length=info"}, " Bad flight info block length\n", 255, "CANCEL"},
      {{"--no-info"}, " Missing flight info block\n", 255, "CANCEL"},
      {{"--empty-list"}, "Track list:\nNo tracks found\n", 255, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"flymaster"};
    args.insert(args.end(), c.sim.begin(), c.sim.end());
    Sim sim(args);
    TempDir dir;
    auto r = RunVelmora({"-gy", "-c" + sim.device(), "-lf.igc", "-f1"}, dir);
    EXPECT_EQ(r.status, c.status) << c.sim[0] << "\n" << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.sim[0] << "\n" << r.out;
    EXPECT_EQ(dir.Exists("f.igc"), c.status == 0) << c.sim[0];
    std::string log = sim.Finish();
    if (!c.simLog.empty()) {
      EXPECT_NE(log.find(c.simLog), std::string::npos) << c.sim[0] << "\n" << log;
    }
  }
}

// An instrument gone wrong, played from the test's own pseudo-terminal: it
// answers the identification and the list as it should (or not at all), then
// floods the line with noise, or sends a block whose checksum is always wrong.
class BrokenInstrument {
 public:
  enum Fault { kNoiseAlways, kNoiseAfterList, kBadChecksumForever };
  explicit BrokenInstrument(Fault fault) : fault_(fault) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
    device_ = ptsname(master_);
    int slave = open(device_.c_str(), O_RDWR | O_NOCTTY);
    termios tio;
    if (slave >= 0 && tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    if (slave >= 0) close(slave);
    fcntl(master_, F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this] { Serve(); });
  }
  ~BrokenInstrument() {
    stop_ = true;
    thread_.join();
    close(master_);
  }
  const std::string& device() const { return device_; }
  int resendRequests() const { return resends_; }

 private:
  static std::string Sentence(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
  }
  void Send(const std::string& bytes) {
    if (write(master_, bytes.data(), bytes.size()) < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Serve() {
    std::string received;
    bool flooding = false;
    while (!stop_) {
      if (flooding) {
        Send(std::string(64, 'x'));  // no "$", no block type: noise only
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, flooding ? 0 : 20) <= 0 || !(pfd.revents & POLLIN)) {
        if (pfd.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      char buffer[256];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      received.append(buffer, static_cast<size_t>(n));
      if (received.find("$PBRSNP,*21\r\n") != std::string::npos) {
        received.clear();
        if (fault_ == kNoiseAlways) {
          flooding = true;
        } else {
          Send(Sentence("PBRSNP,Broken,0,1,2.0"));
        }
      } else if (received.find("$PFMDNL,LST,*72\r\n") != std::string::npos) {
        received.clear();
        Send(Sentence("PFMLST,1,0,15.06.24,10:30:00,00:01:00"));
      } else if (received.find("$PFMDNL,240615103000,") != std::string::npos) {
        received.clear();
        if (fault_ == kNoiseAfterList) flooding = true;
        if (fault_ == kBadChecksumForever) SendBadBlock();
      } else if (fault_ == kBadChecksumForever && received.find('\xB2') != std::string::npos) {
        received.clear();
        ++resends_;
        SendBadBlock();
      }
    }
  }
  void SendBadBlock() {
    std::string block = {'\xA0', '\xA0', '\x3F'};
    block += std::string(63, '\x01');
    block += '\x00';  // the right checksum would be 0x3F
    Send(block);
  }
  Fault fault_;
  int master_ = -1;
  std::string device_;
  std::atomic<bool> stop_{false};
  std::atomic<int> resends_{0};
  std::thread thread_;
};

TEST(FlymasterE2e, ALineThatNeverStopsTalkingNoiseStillEnds) {
  struct Case {
    BrokenInstrument::Fault fault;
    std::string message;
  } cases[] = {
      {BrokenInstrument::kNoiseAlways, "Product: Timeout\n"},
      {BrokenInstrument::kNoiseAfterList, " Timeout\n"},
      {BrokenInstrument::kBadChecksumForever, " Too many checksum errors\n"},
  };
  for (const Case& c : cases) {
    BrokenInstrument instrument(c.fault);
    TempDir dir;
    RunOptions options;
    options.timeoutSeconds = 20;
    auto start = std::chrono::steady_clock::now();
    auto r = RunVelmora({"-gy", "-c" + instrument.device(), "-lf.igc", "-f1"}, dir, options);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 255) << r.out;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_LT(seconds, 10) << r.out;
    EXPECT_FALSE(dir.Exists("f.igc"));
    if (c.fault == BrokenInstrument::kBadChecksumForever) {
      EXPECT_EQ(instrument.resendRequests(), 16);
    }
  }
}

TEST(FlymasterE2e, PortThatCannotBeOpened) {
  TempDir dir;
  auto r = RunVelmora({"-gy", "-c/dev/velmora-no-such-port", "-l"}, dir);
  EXPECT_EQ(r.out, "Could not open COM port /dev/velmora-no-such-port\n");
  EXPECT_EQ(r.status, 255);
}

}  // namespace
