// Graviter downloads from the emulator on pseudo-terminals, each table's rows
// at once since every download waits out the protocol's pauses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::string Marcourt() { return e2e::OwnDataDir() + "/../../examples/marcourt.igc"; }

struct Job {
  Job(std::vector<std::string> s, std::vector<std::string> a, std::string in = "")
      : sim(std::move(s)), args(std::move(a)), stdinText(std::move(in)) {}
  std::vector<std::string> sim;   // velmora-sim digifly options
  std::vector<std::string> args;  // velmora options after -gdg -c<device>
  std::string stdinText;
  // Filled in by RunAll.
  std::unique_ptr<e2e::TempDir> dir;
  std::string out;
  int status = -1;
  double seconds = 0;
};

// Starts every emulator, then every download, and collects them all; times
// count from the first download. The pipes are closed on exec, so no child
// holds another one's open.
void RunAll(std::vector<Job>& jobs) {
  std::vector<std::unique_ptr<e2e::Sim>> sims;
  std::vector<int> fds;
  std::vector<pid_t> pids;
  for (Job& job : jobs) {
    std::vector<std::string> simArgs = {"digifly"};
    simArgs.insert(simArgs.end(), job.sim.begin(), job.sim.end());
    sims.push_back(std::make_unique<e2e::Sim>(simArgs));
    job.dir = std::make_unique<e2e::TempDir>();
  }
  auto start = std::chrono::steady_clock::now();
  for (size_t k = 0; k < jobs.size(); ++k) {
    Job& job = jobs[k];
    std::vector<std::string> storage = {VELMORA_BIN, "-gdg", "-c" + sims[k]->device()};
    storage.insert(storage.end(), job.args.begin(), job.args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC) | pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      if (chdir(job.dir->path().c_str()) != 0) _exit(127);
      execv(VELMORA_BIN, argv.data());
      _exit(127);
    }
    ASSERT_EQ(write(in[1], job.stdinText.data(), job.stdinText.size()), static_cast<ssize_t>(job.stdinText.size()));
    close(in[0]);
    close(in[1]);
    close(out[1]);
    fds.push_back(out[0]);
    pids.push_back(pid);
  }
  for (size_t open = jobs.size(); open > 0;) {
    std::vector<pollfd> polled;
    for (int fd : fds) polled.push_back({fd, POLLIN, 0});
    ASSERT_GT(poll(polled.data(), polled.size(), 60000), 0) << "a download hangs";
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (fds[i] < 0 || polled[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        jobs[i].out.append(buffer, static_cast<size_t>(n));
        continue;
      }
      close(fds[i]);
      fds[i] = -1;
      --open;
      int raw = 0;
      waitpid(pids[i], &raw, 0);
      jobs[i].status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      jobs[i].seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
  }
}

// Time, position and GNSS altitude of each B record.
std::vector<std::string> Fixes(const std::string& igc) {
  std::vector<std::string> fixes;
  std::istringstream in(igc);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= 35 && line[0] == 'B') fixes.push_back(line.substr(1, 23) + line.substr(30, 5));
  }
  return fixes;
}

TEST(DigiflyE2e, DownloadsAndChoices) {
  const std::vector<std::string> two = {"--flight", Marcourt(), "--repeat", "2"};
  auto with = [&](std::vector<std::string> extra) {
    extra.insert(extra.begin(), two.begin(), two.end());
    return extra;
  };
  std::vector<Job> jobs;
  for (const char* wrap : {"--wrap=record", "--wrap=pointer", "--wrap=header"}) {
    jobs.emplace_back(with({wrap}), std::vector<std::string>{"-lout", "-f1"});
  }
  using Args = std::vector<std::string>;
  jobs.emplace_back(Args{"--flight", Marcourt(), "--points", "30", "--repeat", "120"}, Args{"-lout.igc", "-f119"});
  jobs.emplace_back(two, Args{"-lout.igc"}, "-1\n2\n0\n");
  jobs.emplace_back(two, Args{"-lout.igc", "-f0"});
  jobs.emplace_back(two, Args{"-lout.igc", "-f2"});
  jobs.emplace_back(two, Args{"-lout.igc"});
  RunAll(jobs);

  const std::string list = "Track  0:  2021-03-06  10:34:11  0:03:40\nTrack  1:  2021-03-07  10:34:11  0:03:40\n";
  std::vector<std::string> served = Fixes(e2e::ReadFile(Marcourt()));
  for (int i = 0; i < 3; ++i) {
    const Job& j = jobs[i];
    SCOPED_TRACE(j.sim[4] + "\n" + j.out);
    EXPECT_EQ(j.status, 0);
    EXPECT_EQ(j.out.rfind("Product: Graviter\nBytes: 0", 0), 0u);
    EXPECT_NE(j.out.find("129380\n" + list), std::string::npos);
    std::string igc = j.dir->Read("out.igc");
    EXPECT_EQ(igc.rfind("AXVM Graviter\r\nHFDTEDATE:070321,01\r\n", 0), 0u);
    EXPECT_EQ(Fixes(igc), served);
    EXPECT_TRUE(j.dir->Exists("out.kml"));
  }
  EXPECT_EQ(jobs[3].status, 0) << jobs[3].out;
  EXPECT_NE(jobs[3].out.find("\nTrack 119:  2021-07-03  10:34:11  0:00:29\n"), std::string::npos) << jobs[3].out;
  EXPECT_EQ(Fixes(jobs[3].dir->Read("out.igc")), std::vector<std::string>(served.begin(), served.begin() + 30));
  EXPECT_EQ(jobs[4].status, 0) << jobs[4].out;
  EXPECT_NE(jobs[4].out.find(list + "Select: Track number outside range\nSelect: Track number outside range\n"
                                    "Select: File out.igc written\n"),
            std::string::npos)
      << jobs[4].out;
  EXPECT_NE(jobs[5].out.find(list), std::string::npos);
  EXPECT_NE(jobs[6].out.find(list + "Track number outside range\n"), std::string::npos);
  EXPECT_TRUE(jobs[7].out.ends_with(list + "Select: ")) << "end of input is no choice";
  for (int i = 5; i < 8; ++i) {
    EXPECT_EQ(jobs[i].status, 255) << jobs[i].out;
    EXPECT_EQ(jobs[i].out.find("Select: ") == std::string::npos, i < 7) << jobs[i].out;
    EXPECT_TRUE(jobs[i].dir->List().empty());
  }
}

TEST(DigiflyE2e, BrokenAnswersEndWithTheirMessage) {
  struct Case {
    std::vector<std::string> sim;
    std::string message;
    double within;  // seconds, the protocol's waits and a margin
  } cases[] = {
      {{"--silent=product"}, "Product: No/bad response\n", 2.0 + 1.5},
      {{"--silent=image"}, "Bytes: 0\b0\nToo few bytes received\n", 2.5 + 1.5},
      {{"--noise=product"}, "No/bad response\n", 1.5},
      {{"--noise=image"}, "Bad format (1)\n", 30},
      {{"--truncate", "10"}, "Too few bytes received\n", 30},
      {{"--bad-frame"}, "Bad format (1)\n", 30},
      {{"--bad-checksum"}, "Bad checksum\n", 30},
      {{"--bad-pointer=first"}, "Bad format (2)\n", 30},
      {{"--short", "5000"}, "Bad format (2)\n", 30},
      {{"--bad-pointer=next"}, "Decoding log returned error 10\n", 30},
      {{"--poke", "3:0"}, "Decoding log returned error 12\n", 30},
      {{"--loop"}, "Decoding log returned error 38\n", 30},
      {{"--empty"}, "No tracks found\n", 30},
  };
  std::vector<Job> jobs;
  for (const Case& c : cases) jobs.emplace_back(c.sim, std::vector<std::string>{"-lout.igc", "-f1"});
  RunAll(jobs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Job& j = jobs[i];
    SCOPED_TRACE(j.sim[0] + "\n" + j.out);
    EXPECT_EQ(j.status, 255);
    EXPECT_NE(j.out.find(cases[i].message), std::string::npos);
    EXPECT_LT(j.seconds, cases[i].within);
    EXPECT_TRUE(j.dir->List().empty());
  }
  EXPECT_NE(jobs[3].out.find("138304"), std::string::npos) << "the image stops at a full buffer";
}

}  // namespace
