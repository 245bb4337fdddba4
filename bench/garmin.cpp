// Downloads a 10,000-point track log from the emulated Garmin receiver and
// prints velmora's CPU and wall seconds: unpaced, then paced at 9600 baud
// against the line-rate limit of every byte both ways (the link is
// stop-and-wait: each packet and its acknowledgement cross the line in
// turn); then the CPU share while velmora waits out a silent receiver.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kPoints = 10000;

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(const std::vector<std::string>& args, const std::string& dir) {
  int fd[2];
  if (pipe(fd) != 0) std::exit(1);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(fd[1], 1);
    dup2(fd[1], 2);
    close(fd[0]);
    close(fd[1]);
    if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(fd[1]);
  c.out = fd[0];
  return c;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

void WriteLongFlight(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << "AXXX001\r\nHFDTE150624\r\n";
  for (int i = 0; i < kPoints; ++i) {
    int t = 8 * 3600 + i;
    double angle = i / 600.0, radius = 0.05 * std::sin(i * 3.14159 / kPoints);
    int lat = static_cast<int>(std::lround((46.0 + radius * std::cos(angle)) * 60000));
    int lon = static_cast<int>(std::lround((7.0 + radius * std::sin(angle)) * 60000));
    int alt = 1500 + static_cast<int>(800 * std::sin(i / 900.0));
    char line[64];
    std::snprintf(line, sizeof line, "B%02d%02d%02d%02d%05dN%03d%05dEA%05d%05d\r\n", t / 3600, t / 60 % 60, t % 60,
                  lat / 60000, lat % 60000, lon / 60000, lon % 60000, alt, alt);
    out << line;
  }
}

// The bytes a logged packet ("TX|RX pid size hex...") took on the line:
// DLE, the stuffed ID, size, data and checksum, DLE ETX.
long FrameBytes(const std::string& line) {
  std::istringstream in(line.substr(3));
  unsigned value, size;
  in >> value >> size;
  std::vector<unsigned> bytes = {value, size};
  while (in >> std::hex >> value) bytes.push_back(value);
  unsigned sum = 0;
  for (unsigned b : bytes) sum += b;
  bytes.push_back((256 - sum % 256) % 256);
  long n = 3;
  for (unsigned b : bytes) n += b == 0x10 ? 2 : 1;
  return n;
}

struct Run {
  double wall = 0, cpu = 0;
  long bytes = 0;
  std::string output;
};

Run Download(const std::string& folder, const std::vector<std::string>& simOptions) {
  std::vector<std::string> simArgs = {VELMORA_SIM_BIN, "garmin", "--log-acks", "--flight", folder + "/long.igc"};
  simArgs.insert(simArgs.end(), simOptions.begin(), simOptions.end());
  Child sim = Spawn(simArgs, "");
  std::string first;
  char ch;
  while (read(sim.out, &ch, 1) == 1 && ch != '\n') first += ch;
  // The emulator logs every packet: drain its output while it runs.
  std::string simLog;
  std::thread drain([&] { simLog = ReadAll(sim.out); });
  auto start = std::chrono::steady_clock::now();
  Child tool = Spawn({VELMORA_BIN, "-gg", "-c" + first.substr(4), "-lbench.igc"}, folder);
  Run run;
  run.output = ReadAll(tool.out);
  int status;
  rusage usage;
  wait4(tool.pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  kill(sim.pid, SIGTERM);
  waitpid(sim.pid, &status, 0);
  drain.join();
  std::istringstream log(simLog);
  close(sim.out);
  close(tool.out);
  for (std::string line; std::getline(log, line);) {
    if (line.rfind("TX ", 0) == 0 || line.rfind("RX ", 0) == 0) run.bytes += FrameBytes(line);
  }
  return run;
}

}  // namespace

int main() {
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  WriteLongFlight(std::string(folder) + "/long.igc");

  Run fast = Download(folder, {});
  std::printf("unpaced: %.3f s CPU, %.3f s wall for %d points\n", fast.cpu, fast.wall, kPoints);
  if (fast.output.find("File bench.igc written") == std::string::npos) std::printf("%s\n", fast.output.c_str());

  Run paced = Download(folder, {"--pace"});
  double limit = static_cast<double>(paced.bytes) * 10.0 / 9600.0;
  std::printf("paced:   %.3f s CPU, %.3f s wall for %ld bytes both ways; line-rate limit %.3f s, ratio %.4f"
              " (goal: within 3 %%)\n",
              paced.cpu, paced.wall, paced.bytes, limit, paced.wall / limit);

  Run silent = Download(folder, {"--silent-after", "0"});
  std::printf("silent receiver: %.3f s CPU over %.3f s wall, %.2f %% of a core (goal: under 5 %%)\n", silent.cpu,
              silent.wall, 100.0 * silent.cpu / silent.wall);
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
