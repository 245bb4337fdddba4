// How much of a core the live logger takes while a receiver sends 1 Hz
// sentences: the decoding and task work per second of input, the cost of the
// 10 ms pauses between drains, and, where the serial link is built, the whole
// program against the emulator.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "frame/state.h"
#include "logger/nmea.h"

namespace {

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string Sentence(const char* body) {
  unsigned sum = 0;
  for (const char* p = body; *p != '\0'; ++p) sum ^= static_cast<unsigned char>(*p);
  char text[256];
  std::snprintf(text, sizeof text, "$%s*%02X\r\n", body, sum);
  return text;
}

// One second of a typical receiver: RMC, GGA, GSA and three GSV sentences.
std::string OneSecond(int second) {
  char rmc[160], gga[160];
  int h = 10 + second / 3600, m = second / 60 % 60, s = second % 60;
  double north = 4623.5 + (second > 600 ? (second - 600) * 0.005 : 0.0);
  std::snprintf(rmc, sizeof rmc, "GPRMC,%02d%02d%02d.00,A,%.4f,N,00712.2500,E,0.0,0.0,210713,,,A", h, m, s, north);
  std::snprintf(gga, sizeof gga, "GPGGA,%02d%02d%02d.00,%.4f,N,00712.2500,E,1,08,1.0,1500.0,M,48.0,M,,", h, m, s,
                north);
  return Sentence(rmc) + Sentence(gga) + Sentence("GPGSA,A,3,01,02,04,05,06,09,14,25,30,,,,3.6,2.0,3.0") +
         Sentence("GPGSV,3,1,09,01,19,319,41,02,17,093,40,04,09,049,37,05,60,046,49") +
         Sentence("GPGSV,3,2,09,06,39,195,46,09,40,115,46,14,48,286,47,25,09,307,36") +
         Sentence("GPGSV,3,3,09,30,67,294,50");
}

void BenchDecoding() {
  std::memset(&tGps, 0, sizeof tGps);
  tGps.bSilent = 1;
  tGps.bTaskMode = 1;
  tGps.nTaskLocationInterval = 120;  // a long still window: the dearest detector
  tGps.nTaskLocationDistance = 20;
  tGps.nTaskTakeoffInterval = 10;
  tGps.nTaskTakeoffDistance = 50;
  tGps.nTaskLandingInterval = 60;
  tGps.nTaskLandingDistance = 20;
  tGps.nTrackSize = kLoggerTrackSize;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kLoggerTrackSize));
  static NmeaState nmea;
  std::memset(&nmea, 0, sizeof nmea);
  constexpr int kSeconds = 3600;
  std::string input;
  for (int s = 0; s < kSeconds; ++s) input += OneSecond(s);
  double start = CpuSeconds();
  for (unsigned char c : input) {
    nmea.bRxChar = c;
    if (ProcessNmeaCharacter(&nmea) == 1 && ProcessNmeaPosition(&nmea) > 0) HandleTask(&nmea);
  }
  double used = CpuSeconds() - start;
  std::printf("decoding and task work: %d s of 1 Hz input (%zu bytes) in %.4f s CPU: %.4f %% of a core\n", kSeconds,
              input.size(), used, 100.0 * used / kSeconds);
  std::free(tGps.pTrack);
  std::free(tGps.pWaypoints);
  std::memset(&tGps, 0, sizeof tGps);
}

void BenchPauses() {
  constexpr int kPasses = 300;  // 3 s of an idle line
  double start = CpuSeconds();
  auto wall = std::chrono::steady_clock::now();
  for (int i = 0; i < kPasses; ++i) {
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  double used = CpuSeconds() - start;
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  std::printf("10 ms pauses: %.4f s CPU in %.2f s: %.4f %% of a core\n", used, elapsed, 100.0 * used / elapsed);
}

// The program against the emulator for a while, its CPU read from /proc.
void BenchProgram() {
#ifdef VELMORA_SIM_BIN
  int out[2];
  if (pipe(out) != 0) return;
  pid_t sim = fork();
  if (sim == 0) {
    dup2(out[1], STDOUT_FILENO);
    execl(VELMORA_SIM_BIN, VELMORA_SIM_BIN, "nmea", "--builtin", "--baro", "lk8ex1", nullptr);
    _exit(127);
  }
  close(out[1]);
  char line[256] = {0};
  ssize_t n = read(out[0], line, sizeof line - 1);
  if (n <= 4 || std::strncmp(line, "PTY ", 4) != 0) {
    std::printf("whole program: the emulator did not start\n");
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    return;
  }
  std::string device(line + 4, std::strcspn(line + 4, "\n"));
  char dir[] = "/tmp/velmora-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  pid_t logger = fork();
  if (logger == 0) {
    if (chdir(dir) != 0) _exit(127);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    std::string port = "-c" + device;
    execl(VELMORA_BIN, VELMORA_BIN, "-gnm", port.c_str(), "-t", "-l", nullptr);
    _exit(127);
  }
  constexpr int kSeconds = 10;
  std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
  std::ifstream stat("/proc/" + std::to_string(logger) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  int status = 0;
  if (waitpid(logger, &status, WNOHANG) == logger || text.empty()) {
    std::printf("whole program: velmora ended early (no serial link in this build?)\n");
  } else {
    // utime and stime are fields 14 and 15, after the parenthesised name.
    const char* p = std::strrchr(text.c_str(), ')');
    long ticks[2] = {0, 0};
    for (int field = 3; p != nullptr && field <= 15; ++field) {
      p = std::strchr(p + 1, ' ');
      if (p != nullptr && field >= 14) ticks[field - 14] = std::atol(p + 1);
    }
    double used = static_cast<double>(ticks[0] + ticks[1]) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::printf("whole program: %.3f s CPU in %d s of 1 Hz input: %.3f %% of a core\n", used, kSeconds,
                100.0 * used / kSeconds);
    kill(logger, SIGTERM);
    waitpid(logger, nullptr, 0);
  }
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  std::system((std::string("rm -rf ") + dir).c_str());
#endif
}

}  // namespace

int main() {
  BenchDecoding();
  BenchPauses();
  BenchProgram();
  return 0;
}
