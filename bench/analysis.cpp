// AnalyzeTrack on a ten-hour flight at one point per second that closes a
// large triangle, against the plain nested loops it must agree with: wall
// time of both, their ratio, whether every field agrees, and peak memory.
//
//   bench_analysis [runs]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/analysis/analysis_oracle.h"
#include "../tests/analysis/track_fixtures.h"
#include "analysis/analysis.h"
#include "common/conv.h"
#include "common/time.h"

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

// Writes the track as an IGC file of B records, as an instrument would.
void WriteIgc(const std::vector<TrackPoint>& track, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  SystemTime st;
  ConvertGpsTimeToSystemTime(track[0].dwTime, &st);
  char line[64];
  std::snprintf(line, sizeof line, "AXXX001\r\nHFDTE%02u%02u%02u\r\n", st.wDay, st.wMonth, st.wYear % 100);
  out << line;
  for (const TrackPoint& p : track) {
    ArcPos arc{p.nLatitude, p.nLongitude}, min;
    ConvertArcToGeoMin1000(&arc, &min);
    ConvertGpsTimeToSystemTime(p.dwTime, &st);
    int lat = std::abs(min.nLatitude), lon = std::abs(min.nLongitude);
    std::snprintf(line, sizeof line, "B%02u%02u%02u%02d%05d%c%03d%05d%cA%05d%05d\r\n", st.wHour, st.wMinute,
                  st.wSecond, lat / 60000, lat % 60000, min.nLatitude < 0 ? 'S' : 'N', lon / 60000, lon % 60000,
                  min.nLongitude < 0 ? 'W' : 'E', p.nPressureAltitude, RoundTenths(p.nGpsAltitude));
    out << line;
  }
}

// Runs `velmora -x` on the file; wall seconds and the child's peak RSS in kB.
double TimeConversion(const std::string& folder, const std::string& file, long* peakKb) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, 1);
    if (chdir(folder.c_str()) != 0) _exit(127);
    execl(VELMORA_BIN, VELMORA_BIN, ("-x" + file).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage;
  wait4(pid, &status, 0, &usage);
  *peakKb = usage.ru_maxrss;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
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

  // The whole conversion as a pilot runs it: read, analyse, write the KML.
  char folder[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  WriteIgc(track, std::string(folder) + "/ten-hours.igc");
  double best = 1e30;
  long peakKb = 0;
  for (int r = 0; r < runs; ++r) {
    long kb;
    double seconds = TimeConversion(folder, "ten-hours.igc", &kb);
    if (seconds < 0) {
      printf("velmora -x failed\n");
      return 1;
    }
    if (seconds < best) best = seconds;
    if (kb > peakKb) peakKb = kb;
  }
  double plainConversion = best - fastBest + slowSeconds;
  printf("velmora -x:    %.4f s wall (best of %d; goal under 0.3 s), peak RSS %.1f MB (goal under 64 MB)\n", best,
         runs, peakKb / 1024.0);
  printf("with the plain loops the conversion would take %.2f s: %.1f x (goal at least 20 x)\n", plainConversion,
         plainConversion / best);
  std::string cleanup = std::string("rm -rf ") + folder;
  if (std::system(cleanup.c_str()) != 0) return 1;
  return differences.empty() ? 0 : 1;
}
