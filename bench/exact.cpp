// AnalyzeTrack with and without --exact on every IGC flight of the
// repository (examples/, tests/data/igc/) and a ten-hour synthetic flight:
// fixes, seconds for the seven figures each way, and what the proven figures
// gain over the sampled ones, in km and %. Goal: every flight under 1 s,
// peak memory under 200 MB.
//
//   bench_exact [file.igc ...]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/analysis/track_fixtures.h"
#include "analysis/analysis.h"

namespace {

struct Run {
  TrackAnalysis a;
  double seconds;  // wall
  double cpu;      // this process's processor time: the machine may be shared
};

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

Run Analyze(const std::vector<TrackPoint>& track, bool exact) {
  Run r{fixtures::MakeAnalysis(track), 0.0, 0.0};
  r.a.bExact = exact;
  fflush(stdout);
  int saved = dup(1);
  FILE* null = fopen("/dev/null", "w");
  if (null) {
    dup2(fileno(null), 1);
    fclose(null);
  }
  auto t0 = std::chrono::steady_clock::now();
  double c0 = CpuSeconds();
  int result = AnalyzeTrack(&r.a);
  r.cpu = CpuSeconds() - c0;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  if (result != 0) r.seconds = -1.0;
  return r;
}

bool Report(const std::string& name, const std::vector<TrackPoint>& track) {
  if (track.size() < 5) return true;
  Run sampled = Analyze(track, false), exact = Analyze(track, true);
  printf("%-30s %6zu fixes  sampled %.3f s (cpu %.3f)  exact %.3f s (cpu %.3f)%s%s\n", name.c_str(), track.size(),
         sampled.seconds, sampled.cpu, exact.seconds, exact.cpu, exact.seconds > 1.0 ? "  OVER 1 s" : "",
         exact.a.bExactProven ? "" : "  NOT PROVEN");
  const char* names[7] = {"open", "3 points", "4 points", "5 points", "out-and-return", "flat triangle", "FAI"};
  const double before[7] = {sampled.a.dOpenDistance, sampled.a.d3PointDistance, sampled.a.d4PointDistance,
                            sampled.a.d5PointDistance, sampled.a.dOutReturnScore, sampled.a.dFlatScore,
                            sampled.a.dFaiScore};
  const double after[7] = {exact.a.dOpenDistance, exact.a.d3PointDistance, exact.a.d4PointDistance,
                           exact.a.d5PointDistance, exact.a.dOutReturnScore, exact.a.dFlatScore, exact.a.dFaiScore};
  bool below = false;
  for (int k = 0; k < 7; ++k) {
    double gain = after[k] - before[k];
    below |= gain < -1e-6;
    printf("    %-15s %9.3f km  +%7.3f km  +%6.2f %%%s\n", names[k], after[k] / 1000.0, gain / 1000.0,
           before[k] > 0 ? 100.0 * gain / before[k] : 0.0, gain < -1e-6 ? "  BELOW THE SAMPLED SEARCH" : "");
  }
  return exact.seconds >= 0 && !below && exact.a.bExactProven;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) files.push_back(argv[i]);
  if (files.empty()) {
    fs::path root = fs::path(__FILE__).parent_path().parent_path();
    for (const fs::path& dir : {root / "examples", root / "tests" / "data" / "igc"}) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(dir, ec)) {
        std::string ext = e.path().extension().string();
        if (ext == ".igc" || ext == ".IGC") files.push_back(e.path().string());
      }
    }
  }
  bool ok = true;
  for (const std::string& f : files) ok &= Report(fs::path(f).filename().string(), fixtures::ReadIgcTrack(f));
  ok &= Report("ten-hour synthetic triangle", fixtures::MakeTenHourTriangle());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  printf("peak RSS %.1f MB (goal under 200 MB)\n", usage.ru_maxrss / 1024.0);
  return ok ? 0 : 1;
}
