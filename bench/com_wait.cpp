// What waiting for the next received byte costs: CPU while an instrument
// stays silent, and the delay from a byte on the line to WaitComFifo
// returning. For comparison the same figures for a consumer that polls the
// FIFO in 1 ms sleeps.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "frame/state.h"
#include "link/com.h"

namespace {

constexpr double kSilentSeconds = 3.0;
constexpr int kSamples = 200;

double CpuSeconds() {
  rusage t;
  getrusage(RUSAGE_SELF, &t);
  return static_cast<double>(t.ru_utime.tv_sec + t.ru_stime.tv_sec) + (t.ru_utime.tv_usec + t.ru_stime.tv_usec) / 1e6;
}

int SleepStepWait(double since, double seconds) {
  while (!NonEmptyComFifo()) {
    if (ComClockSeconds() - since >= seconds) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 1;
}

struct Figures {
  double dCpuShare;
  double dMedianMs, dWorstMs;
};

Figures Measure(int master, int (*wait)(double, double)) {
  Figures t{};
  double cpu = CpuSeconds(), since = ComClockSeconds();
  if (wait(since, kSilentSeconds) != 0) std::printf("unexpected byte while silent\n");
  t.dCpuShare = (CpuSeconds() - cpu) / (ComClockSeconds() - since);

  // The far side stamps the time just before each write; the consumer reads
  // the stamp once the byte is in.
  std::atomic<double> dSent{0};
  std::atomic<bool> bTaken{true};
  std::thread instrument([&] {
    for (int i = 0; i < kSamples; ++i) {
      while (!bTaken.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::this_thread::sleep_for(std::chrono::microseconds(2000 + (i * 997) % 3000));
      bTaken.store(false);
      dSent.store(ComClockSeconds());
      if (write(master, "x", 1) != 1) std::printf("write to the far side failed\n");
    }
  });
  std::vector<double> adLatency;
  for (int i = 0; i < kSamples; ++i) {
    if (wait(ComClockSeconds(), 2.0) == 0) {
      std::printf("byte %d did not arrive\n", i);
      break;
    }
    adLatency.push_back((ComClockSeconds() - dSent.load()) * 1000);
    ReadComFifo();
    bTaken.store(true);
  }
  instrument.join();
  std::sort(adLatency.begin(), adLatency.end());
  if (!adLatency.empty()) {
    t.dMedianMs = adLatency[adLatency.size() / 2];
    t.dWorstMs = adLatency.back();
  }
  return t;
}

}  // namespace

int main() {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::printf("no pseudo-terminal\n");
    return 1;
  }
  std::snprintf(tGps.szComPort, sizeof tGps.szComPort, "%s", ptsname(master));
  if (OpenComPort() != 0) return 1;

  Figures tFutex = Measure(master, WaitComFifo);
  Figures tSleep = Measure(master, SleepStepWait);
  CloseComPort();
  close(master);

  std::printf("silent line, %.0f s wait, CPU share of one core (reader thread included):\n", kSilentSeconds);
  std::printf("  WaitComFifo       %.3f %%   (%.4f s CPU)\n", tFutex.dCpuShare * 100, tFutex.dCpuShare * kSilentSeconds);
  std::printf("  1 ms sleep steps  %.3f %%   (%.4f s CPU)\n", tSleep.dCpuShare * 100, tSleep.dCpuShare * kSilentSeconds);
  std::printf("byte-to-return latency over %d bytes, median / worst:\n", kSamples);
  std::printf("  WaitComFifo       %.3f ms / %.3f ms\n", tFutex.dMedianMs, tFutex.dWorstMs);
  std::printf("  1 ms sleep steps  %.3f ms / %.3f ms\n", tSleep.dMedianMs, tSleep.dWorstMs);
  bool bOk = tFutex.dCpuShare < 0.05 && tFutex.dMedianMs < 1.0;
  std::printf("goal (CPU < 5 %%, median < 1 ms): %s\n", bOk ? "met" : "MISSED");
  return bOk ? 0 : 1;
}
