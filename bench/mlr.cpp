// Downloads a 10-hour flight (36,000 fixes) from the MLR emulator, paced at
// each phase's own line speed, against the line-rate limit plus the
// protocol's waits; then velmora's CPU while the instrument stays silent.
#include "paced_download.h"

int main() {
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  std::string flight = std::string(folder) + "/long.igc";
  const int points = 36000;
  bench::WriteLongFlight(flight, points);


  bench::Run paced = bench::Download(folder, "-gm", {"mlr", "--flight", flight, "--pace"});
  if (paced.output.find("File bench.igc written") == std::string::npos) std::printf("%s\n", paced.output.c_str());
  // At 4800 baud: the product request and its reply, the log request and
  // the abort; at 38400: the start sentence (13 bytes), the data sentences
  // (10 bytes of framing and 18 a fix, 27 fixes to a sentence) and the end
  // sentence (11). Waits: 0.3 s before each speed change.
  double commands = 21 + 35 + 23 + 18;
  double sentences = std::ceil(points / 27.0);
  double log = 13 + sentences * 10 + points * 18.0 + 11;
  double limit = commands * 10 / 4800 + log * 10 / 38400 + 0.6;
  std::printf("paced:     %.3f s CPU, %.3f s wall; line-rate limit %.3f s, ratio %.3f (goal: within 3 %%)\n",
              paced.cpu, paced.wall, limit, paced.wall / limit);

  bench::Run silent = bench::Download(folder, "-gm", {"mlr", "--silent"});
  std::printf("silent instrument: %.3f s CPU over %.3f s wall, %.2f %% of a core (goal: under 5 %%)\n", silent.cpu,
              silent.wall, 100.0 * silent.cpu / silent.wall);
  std::string cleanup = std::string("rm -rf ") + folder;
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
