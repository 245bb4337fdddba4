// Downloads a 10-hour flight (36,000 fixes) from the XC Trainer emulator,
// paced at 57600 baud, against the line-rate limit plus the instrument's
// start delay; then velmora's CPU while it waits for a silent instrument.
#include "paced_download.h"

int main() {
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  std::string flight = std::string(folder) + "/long.igc";
  const int points = 36000;
  bench::WriteLongFlight(flight, points);


  bench::Run paced = bench::Download(folder, "-gx", {"xctrainer", "--flight", flight, "--pace"});
  if (paced.output.find("File bench.igc written") == std::string::npos) std::printf("%s\n", paced.output.c_str());
  // The header line is 40 bytes, each position line 30; the emulated pilot
  // starts the transfer 0.2 s after velmora opens the line.
  double limit = (40 + points * 30.0) * 10 / 57600 + 0.2;
  std::printf("paced:     %.3f s CPU, %.3f s wall; line-rate limit %.3f s, ratio %.3f (goal: within 3 %%)\n",
              paced.cpu, paced.wall, limit, paced.wall / limit);

  bench::Run silent = bench::Download(folder, "-gx", {"xctrainer", "--silent"});
  std::printf("silent instrument: %.3f s CPU over %.3f s wall, %.2f %% of a core (goal: under 5 %%)\n", silent.cpu,
              silent.wall, 100.0 * silent.cpu / silent.wall);
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
