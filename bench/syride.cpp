// Downloads a 10-hour flight (36,000 records) from the Syride emulator on
// umockdev, both generations, and prints velmora's wall and CPU seconds and
// the emulator's; then velmora's CPU share while it waits for a slow device
// (every reply 20 ms late) and for a silent one.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Run {
  double wall = 0, cpu = 0, simCpu = 0;
  int status = -1;
  std::string log;
};

double Seconds(const timeval& user, const timeval& system) {
  return static_cast<double>(user.tv_sec + system.tv_sec) + (user.tv_usec + system.tv_usec) / 1e6;
}

Run Download(const std::string& folder, const std::vector<std::string>& simOptions) {
  std::string log = folder + "/sim.log";
  std::vector<std::string> args = {VELMORA_SIM_BIN, "syride", "--log", log};
  args.insert(args.end(), simOptions.begin(), simOptions.end());
  args.insert(args.end(), {"--", VELMORA_BIN, "-gsy", "-f1", "-lbench.igc"});
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    if (chdir(folder.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  Run run;
  int raw = 0;
  rusage usage;
  wait4(pid, &raw, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  run.log = text.str();
  // The emulator logs the CPU time of velmora, its only child; what it used
  // itself is the rest.
  size_t exit = run.log.rfind("EXIT ");
  int status;
  if (exit != std::string::npos) std::sscanf(run.log.c_str() + exit, "EXIT %d cpu %lf", &status, &run.cpu);
  run.simCpu = Seconds(usage.ru_utime, usage.ru_stime) - run.cpu;
  return run;
}

}  // namespace

int main() {
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  bool ok = true;
  for (const char* model : {"v3", "earlier"}) {
    Run r = Download(folder, {"--model", model, "--duration", "36000"});
    ok = ok && r.status == 0;
    std::printf("10-hour flight, %-7s: %.3f s wall; velmora %.3f s CPU, emulator %.3f s CPU (status %d)\n", model,
                r.wall, r.cpu, r.simCpu, r.status);
  }
  Run slow = Download(folder, {"--duration", "900", "--delay", "20"});
  ok = ok && slow.status == 0;
  std::printf("slow device (20 ms a reply), 15-minute flight: %.3f s CPU over %.3f s wall, %.2f %% of a core "
              "(goal: under 5 %%)\n",
              slow.cpu, slow.wall, 100.0 * slow.cpu / slow.wall);
  Run silent = Download(folder, {"--no-reply", "1:0"});
  std::printf("silent device: %.3f s CPU over %.3f s wall, %.2f %% of a core (goal: under 5 %%)\n", silent.cpu,
              silent.wall, 100.0 * silent.cpu / silent.wall);
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 && ok ? 0 : 1;
}
