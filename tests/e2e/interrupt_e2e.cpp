// Ctrl-C and SIGTERM end every wait of a download: the transfer itself, the
// flight prompt and the wait for an instrument that never answers. One row
// per instrument family; each family follows the same rule.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

struct Family {
  const char* name;
  const char* type;                   // the -g value
  std::vector<std::string> longSim;   // options that make a download last many seconds
  const char* running;                // output that shows the transfer under way
  const char* cancel;                 // what the emulator logs on the family's cancel, "" if none
  bool hasPrompt;                     // asks "Select: " without -f
  // Emulators of devices that are not serial lines run velmora inside
  // themselves; these options make their instrument silent. Empty for the
  // emulators on a pseudo-terminal.
  std::vector<std::string> silentHostSim{};
};

const Family kFamilies[] = {
    {"flymaster", "-gy", {"--pace", "--still", "20000"}, "Points: ", "CANCEL", true},
    {"galileo", "-gc", {"--pace"}, "Points: ", "", true},
    {"iqbasic", "-giq", {"--pace"}, "Bytes: ", "", true},
    {"syride", "-gsy", {"--duration", "3600", "--delay", "5"}, "Track list:", "", true, {"--no-reply", "1:0"}},
    {"mlr", "-gm", {"--pace", "--points", "20000"}, "Points: ", "RX $PMLR,06,00,02A9 @4800", false},
    {"xctrainer", "-gx", {"--pace", "--points", "20000"}, "Points:  ", "", false},
    {"digifly", "-gdg", {"--pace"}, "Bytes: ", "", true},
    {"garmin", "-gg", {"--pace", "--points", "20000"}, "Points: ", "ABORT", false},
};

// Names the row in test listings instead of a dump of its bytes.
void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

bool HostsVelmora(const Family& f) { return !f.silentHostSim.empty(); }

// A download from the family's emulator; *simLog receives what a
// pseudo-terminal emulator logged.
e2e::RunResult RunDownload(const Family& f, const std::vector<std::string>& simArgs, std::vector<std::string> args,
                           const e2e::TempDir& dir, const e2e::RunOptions& options, std::string* simLog = nullptr) {
  args.insert(args.begin(), f.type);
  if (HostsVelmora(f)) return e2e::RunVelmoraInSim(simArgs, args, dir, options);
  e2e::Sim sim(simArgs);
  args.insert(args.begin() + 1, "-c" + sim.device());
  e2e::RunResult r = e2e::RunVelmora(args, dir, options);
  if (simLog != nullptr) *simLog = sim.Finish(3);
  return r;
}

// A pseudo-terminal that nobody answers on.
struct SilentLine {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  SilentLine() {
    grantpt(master);
    unlockpt(master);
  }
  ~SilentLine() { close(master); }
  std::string device() const { return ptsname(master); }
};

class InterruptE2e : public testing::TestWithParam<Family> {};

TEST_P(InterruptE2e, BothSignalsEndAPacedDownloadWithTheCancelAndNoFile) {
  const Family& f = GetParam();
  for (int sig : {SIGINT, SIGTERM}) {
    e2e::TempDir dir;
    std::vector<std::string> simArgs{f.name};
    simArgs.insert(simArgs.end(), f.longSim.begin(), f.longSim.end());
    e2e::RunOptions options;
    options.signal = sig;
    options.signalAfter = f.running;
    options.signalDelay = 0.5;
    std::string simLog;
    e2e::RunResult r = RunDownload(f, simArgs, {"-f1", "-l"}, dir, options, &simLog);
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, 255) << "signal " << sig;
    EXPECT_GE(r.secondsAfterSignal, 0);
    EXPECT_LT(r.secondsAfterSignal, 1.5);
    EXPECT_NE(r.out.find("Interrupted"), std::string::npos);
    EXPECT_TRUE(dir.List().empty());
    if (*f.cancel != '\0') {
      EXPECT_NE(simLog.find(f.cancel), std::string::npos);
    }
  }
}

TEST_P(InterruptE2e, CtrlCAtTheFlightPromptIsARefusal) {
  const Family& f = GetParam();
  if (!f.hasPrompt) GTEST_SKIP() << f.name << " has no flight prompt";
  e2e::TempDir dir;
  e2e::RunOptions options;
  options.keepStdinOpen = true;
  options.signal = SIGINT;
  options.signalAfter = "Select: ";
  options.signalDelay = 0.3;
  e2e::RunResult r = RunDownload(f, {f.name}, {"-l"}, dir, options);
  SCOPED_TRACE(r.out);
  EXPECT_EQ(r.status, 255);
  EXPECT_GE(r.secondsAfterSignal, 0);
  EXPECT_LT(r.secondsAfterSignal, 1.5);
  EXPECT_TRUE(dir.List().empty());
}

TEST_P(InterruptE2e, CtrlCEndsTheWaitForASilentInstrument) {
  const Family& f = GetParam();
  e2e::TempDir dir;
  SilentLine line;
  e2e::RunOptions options;
  options.signal = SIGINT;
  options.signalDelay = 1.0;
  std::vector<std::string> silentSim{f.name};
  silentSim.insert(silentSim.end(), f.silentHostSim.begin(), f.silentHostSim.end());
  e2e::RunResult r = HostsVelmora(f) ? e2e::RunVelmoraInSim(silentSim, {f.type, "-f1", "-l"}, dir, options)
                                     : e2e::RunVelmora({f.type, "-c" + line.device(), "-f1", "-l"}, dir, options);
  SCOPED_TRACE(r.out);
  EXPECT_EQ(r.status, 255);
  EXPECT_GE(r.secondsAfterSignal, 0);
  EXPECT_LT(r.secondsAfterSignal, 1.0);
  EXPECT_TRUE(dir.List().empty());
}

INSTANTIATE_TEST_SUITE_P(Families, InterruptE2e, testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<Family>& info) { return std::string(info.param.name); });

}  // namespace
