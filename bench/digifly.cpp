// The Graviter download: a memory image full of flights paced at the line's
// 38400 baud against the line-rate limit, the decoding time of that image,
// and velmora's CPU share while the instrument stays silent.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "instruments/digifly.h"

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(const std::vector<std::string>& args, const std::string& dir) {
  int pipeFd[2];
  if (pipe(pipeFd) != 0) std::exit(1);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(pipeFd[1], 1);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    close(pipeFd[0]);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFd[1]);
  c.out = pipeFd[0];
  return c;
}

std::string ReadAll(int fd, bool line) {
  std::string text;
  char ch;
  while (read(fd, &ch, 1) == 1 && !(line && ch == '\n')) text += ch;
  return text;
}

struct Run {
  double wall, cpu;
  std::string output;
};

// One velmora run against the emulator with the given options.
Run Download(const std::string& folder, const std::vector<std::string>& simOptions) {
  std::vector<std::string> simArgs = {VELMORA_SIM_BIN, "digifly"};
  simArgs.insert(simArgs.end(), simOptions.begin(), simOptions.end());
  Child sim = Spawn(simArgs, "");
  std::string pty = ReadAll(sim.out, true).substr(4);
  auto start = std::chrono::steady_clock::now();
  Child tool = Spawn({VELMORA_BIN, "-gdg", "-c" + pty, "-lbench.igc", "-f0"}, folder);
  Run run;
  run.output = ReadAll(tool.out, false);
  int status;
  rusage usage;
  wait4(tool.pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  kill(sim.pid, SIGTERM);
  waitpid(sim.pid, &status, 0);
  close(sim.out);
  close(tool.out);
  return run;
}

}  // namespace

int main() {
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string imagePath = std::string(folder) + "/image.bin";
  // 60 built-in flights: more than the memory holds, so it is full.
  const std::vector<std::string> many = {"--repeat", "60"};
  std::vector<std::string> write = {VELMORA_SIM_BIN, "digifly", "--image-out", imagePath};
  write.insert(write.end(), many.begin(), many.end());
  Child writer = Spawn(write, "");
  int status;
  waitpid(writer.pid, &status, 0);
  std::ifstream in(imagePath, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  constexpr int kRounds = 20;
  DigiflyLog log;
  int tracks = 0, points = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (DecodeDigiflyImage(image.data(), static_cast<int32_t>(image.size()), &log) != 0) return 1;
    tracks = log.nTracks;
    points = 0;
    for (int t = 0; t < log.nTracks; ++t) points += log.pTracks[t].nPoints;
    FreeDigiflyLog(&log);
  }
  double decode = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRounds;
  std::printf("decoding: %.2f ms for %zu bytes, %d tracks, %d points (goal: under 50 ms)\n", decode * 1e3,
              image.size(), tracks, points);

  std::vector<std::string> paced = many;
  paced.push_back("--pace");
  Run line = Download(folder, paced);
  // The product line "Digifly Graviter V3.21 SN00815\r\n" and the image, 10
  // bits a byte, and the protocol's own waits: 0.2 s after the product line,
  // 0.3 s before the image request.
  double limit = (32 + image.size()) * 10.0 / 38400.0 + 0.5;
  std::printf("paced:   %.3f s CPU, %.3f s wall; line-rate limit %.3f s, ratio %.3f (goal: within 3 %%)\n", line.cpu,
              line.wall, limit, line.wall / limit);
  if (line.output.find("Track ") == std::string::npos) std::printf("%s\n", line.output.c_str());

  Run silent = Download(folder, {"--silent=image"});
  std::printf("silent instrument: %.3f s CPU over %.3f s wall, %.2f %% of a core (goal: under 5 %%)\n", silent.cpu,
              silent.wall, 100.0 * silent.cpu / silent.wall);
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
