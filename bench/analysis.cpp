// AnalyzeTrack on a ten-hour flight at one point per second that closes a
// large triangle, against the plain nested loops it must agree with: wall
// time of both, their ratio, whether every field agrees, and peak memory.
//
//   bench_analysis [runs]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/analysis/analysis_oracle.h"
#include "../tests/analysis/track_fixtures.h"
#include "analysis/analysis.h"

namespace {

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The searches print their progress lines; keep them out of the figures.
int SilenceStdout() {
  fflush(stdout);
  int saved = dup(1);
  FILE* null = fopen("/dev/null", "w");
  if (null) {
    dup2(fileno(null), 1);
    fclose(null);
  }
  return saved;
}

void RestoreStdout(int saved) {
  fflush(stdout);
  if (saved >= 0) {
    dup2(saved, 1);
    close(saved);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  if (runs < 1) runs = 1;
  std::vector<TrackPoint> track = fixtures::MakeTenHourTriangle();
  long rssBefore = PeakRssKb();

  TrackAnalysis fast{};
  double fastBest = 1e30;
  for (int r = 0; r < runs; ++r) {
    fast = fixtures::MakeAnalysis(track);
    int saved = SilenceStdout();
    auto t0 = std::chrono::steady_clock::now();
    int result = AnalyzeTrack(&fast);
    auto t1 = std::chrono::steady_clock::now();
    RestoreStdout(saved);
    if (result != 0) {
      printf("AnalyzeTrack failed (%d)\n", result);
      return 1;
    }
    double seconds = std::chrono::duration<double>(t1 - t0).count();
    if (seconds < fastBest) fastBest = seconds;
  }
  long rssFast = PeakRssKb();

  TrackAnalysis slow = fixtures::MakeAnalysis(track);
  auto t0 = std::chrono::steady_clock::now();
  oracle::Analyze(&slow);
  auto t1 = std::chrono::steady_clock::now();
  double slowSeconds = std::chrono::duration<double>(t1 - t0).count();

  printf("track: %d points, %u s\n", fast.nPoints, fast.dwDuration);
  printf("open %.0f m, 3 points %.0f m, 4 points %.0f m, 5 points %.0f m\n", fast.dOpenDistance,
         fast.d3PointDistance, fast.d4PointDistance, fast.d5PointDistance);
  printf("out-and-return %.0f m, flat triangle %.0f m, FAI triangle %.0f m\n", fast.dOutReturnScore,
         fast.dFlatScore, fast.dFaiScore);
  printf("AnalyzeTrack:  %.4f s (best of %d)\n", fastBest, runs);
  printf("plain loops:   %.4f s\n", slowSeconds);
  printf("ratio:         %.1f x\n", slowSeconds / fastBest);
  std::string differences = oracle::Differences(fast, slow);
  printf("agreement:     %s\n%s", differences.empty() ? "identical" : "DIFFERENT", differences.c_str());
  printf("peak RSS:      %.1f MB after AnalyzeTrack (%.1f MB before it), %.1f MB after the plain loops\n",
         rssFast / 1024.0, rssBefore / 1024.0, PeakRssKb() / 1024.0);
  return differences.empty() ? 0 : 1;
}
