// Downloads a 10-hour flight's IGC text (36,000 fixes at one a second) from
// the Brauniger/Flytec emulator and prints velmora's CPU and wall seconds,
// unpaced and paced at the line's 57600 baud against the line-rate limit;
// then the CPU share while velmora waits out a silent instrument.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "paced_download.h"

namespace {

// Running the emulator and velmora as children, as the other paced benchmarks do.
using bench::Child;
using bench::ReadAll;
using bench::ReadLine;
using bench::Spawn;

// The instrument's text of a 10-hour flight: a slow spiral away from launch and back.
void WriteLongFlight(const std::string& path, int points) {
  std::ofstream out(path, std::ios::binary);
  out << "AFLY05094\r\nHFDTE150624\r\nHFPLTPILOT:Anna Berg\r\n";
  for (int i = 0; i < points; ++i) {
    int t = 7 * 3600 + i;
    double angle = i / 600.0, radius = 0.2 * std::sin(i * 3.14159 / points);
    double lat = 46.0 + radius * std::cos(angle), lon = 7.0 + radius * std::sin(angle);
    int latMin = static_cast<int>(std::lround(lat * 60000)), lonMin = static_cast<int>(std::lround(lon * 60000));
    int alt = 1500 + static_cast<int>(800 * std::sin(i / 900.0));
    char line[64];
    std::snprintf(line, sizeof line, "B%02d%02d%02d%02d%05dN%03d%05dEA%05d%05d\r\n", t / 3600, t / 60 % 60, t % 60,
                  latMin / 60000, latMin % 60000, lonMin / 60000, lonMin % 60000, alt - 20, alt);
    out << line;
  }
  out << "G0A1B2C3D4E5F60718293A4B5C6D7E8F9\r\n";
}

struct Run {
  double wall, cpu;
  long bytes;  // the flight's text as the instrument sent it
  std::string output;
};

Run Download(const std::string& folder, const std::string& flight, const std::vector<std::string>& simOptions) {
  std::vector<std::string> simArgs = {VELMORA_SIM_BIN, "galileo", "--flight", flight};
  simArgs.insert(simArgs.end(), simOptions.begin(), simOptions.end());
  Child sim = Spawn(simArgs, "");
  std::string pty = ReadLine(sim.out).substr(4);
  auto start = std::chrono::steady_clock::now();
  Child tool = Spawn({VELMORA_BIN, "-gc", "-c" + pty, "-lbench.igc", "-f1"}, folder);
  Run run;
  run.output = ReadAll(tool.out);
  int status;
  rusage usage;
  wait4(tool.pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  kill(sim.pid, SIGTERM);
  std::string log = ReadAll(sim.out);
  waitpid(sim.pid, &status, 0);
  run.bytes = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    unsigned flight;
    long bytes;
    if (std::sscanf(line.c_str(), "SEND LOG %u %ld", &flight, &bytes) == 2) run.bytes = bytes;
  }
  close(sim.out);
  close(tool.out);
  return run;
}

}  // namespace

int main() {
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  std::string flight = std::string(folder) + "/long.igc";
  WriteLongFlight(flight, 36000);

  Run fast = Download(folder, flight, {});
  std::printf("unpaced: %.3f s CPU, %.3f s wall for %ld bytes (goal: CPU under 0.5 s)\n", fast.cpu, fast.wall,
              fast.bytes);
  if (fast.output.find("File bench.igc written") == std::string::npos) std::printf("%s\n", fast.output.c_str());

  Run paced = Download(folder, flight, {"--pace"});
  // The protocol's own waits: 1.0 s after the identification, 2.0 s of
  // silence after the list and 2.0 s after the log.
  double limit = paced.bytes * 10.0 / 57600.0 + 5.0;
  std::printf("paced:   %.3f s CPU, %.3f s wall; line-rate limit %.3f s, ratio %.3f (goal: within 3 %%)\n", paced.cpu,
              paced.wall, limit, paced.wall / limit);
  if (paced.output.find("File bench.igc written") == std::string::npos) std::printf("%s\n", paced.output.c_str());

  Run silent = Download(folder, flight, {"--silent", "log"});
  std::printf("silent instrument: %.3f s CPU over %.3f s wall, %.2f %% of a core (goal: under 5 %%)\n", silent.cpu,
              silent.wall, 100.0 * silent.cpu / silent.wall);
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
