// What the MLR and XC Trainer benchmarks share: running the emulator and
// velmora as child processes, velmora's CPU time, and a 10-hour flight.
#pragma once

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
#include <string>
#include <vector>

namespace bench {

struct Child {
  pid_t pid = -1;
  int out = -1;
};

inline Child Spawn(const std::vector<std::string>& args, const std::string& dir) {
  int pipeFd[2];
  if (pipe(pipeFd) != 0) std::exit(1);
  Child c;
  c.pid = fork();
  if (c.pid == 0) {
    dup2(pipeFd[1], 1);
    dup2(pipeFd[1], 2);
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

inline std::string ReadLine(int fd) {
  std::string line;
  char ch;
  while (read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

inline std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// A 10-hour flight at one fix a second: a slow spiral away from launch and back.
inline void WriteLongFlight(const std::string& path, int points) {
  std::ofstream out(path, std::ios::binary);
  out << "AXXX001\r\nHFDTE150624\r\n";
  for (int i = 0; i < points; ++i) {
    int t = 8 * 3600 + i;
    double angle = i / 600.0, radius = 0.2 * std::sin(i * 3.14159 / points);
    double lat = 46.0 + radius * std::cos(angle), lon = 7.0 + radius * std::sin(angle);
    int latMin = static_cast<int>(std::lround(lat * 60000)), lonMin = static_cast<int>(std::lround(lon * 60000));
    int alt = 1500 + static_cast<int>(800 * std::sin(i / 900.0));
    char line[64];
    std::snprintf(line, sizeof line, "B%02d%02d%02d%02d%05dN%03d%05dEA%05d%05d\r\n", t / 3600, t / 60 % 60, t % 60,
                  latMin / 60000, latMin % 60000, lonMin / 60000, lonMin % 60000, alt - 20, alt);
    out << line;
  }
}

struct Run {
  double wall = 0, cpu = 0;
  std::string output, simLog;
};

// One download of the emulator's flight by `velmora <type> -c<pty> -lbench.igc`.
inline Run Download(const std::string& folder, const std::string& type, const std::vector<std::string>& simArgs) {
  std::vector<std::string> args = {VELMORA_SIM_BIN};
  args.insert(args.end(), simArgs.begin(), simArgs.end());
  Child sim = Spawn(args, "");
  std::string pty = ReadLine(sim.out).substr(4);
  auto start = std::chrono::steady_clock::now();
  Child tool = Spawn({VELMORA_BIN, type, "-c" + pty, "-lbench.igc"}, folder);
  Run run;
  run.output = ReadAll(tool.out);
  int status;
  rusage usage;
  wait4(tool.pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  kill(sim.pid, SIGTERM);
  run.simLog = ReadAll(sim.out);
  waitpid(sim.pid, &status, 0);
  close(sim.out);
  close(tool.out);
  return run;
}

}  // namespace bench
