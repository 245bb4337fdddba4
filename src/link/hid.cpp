#include "link/hid.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "frame/state.h"
#include "link/com.h"

namespace {

// How long a wait sleeps before it looks at the stop request again.
constexpr int kStopPollMs = 100;
// More waiting reports than a device ever queues: beyond it the node keeps
// reporting input, and dropping more would never end.
constexpr int kMaxStaleReports = 32;

// The number of a "hidrawN" name, or -1 for any other name.
int NodeNumber(const char* name) {
  static const char kPrefix[] = "hidraw";
  for (int i = 0; kPrefix[i] != '\0'; ++i) {
    if (name[i] != kPrefix[i]) return -1;
  }
  const char* p = name + sizeof kPrefix - 1;
  if (*p == '\0') return -1;
  int number = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || number > 99999) return -1;
    number = number * 10 + (*p - '0');
  }
  return number;
}

}  // namespace

int ListHidNodes(int* numbers, int max) {
  DIR* dir = opendir("/dev");
  if (dir == nullptr) return 0;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    int number = NodeNumber(entry->d_name);
    if (number >= 0 && count < max) numbers[count++] = number;
  }
  closedir(dir);
  std::sort(numbers, numbers + count);
  return count;
}

int OpenHidNode(int number) {
  char path[32];
  std::snprintf(path, sizeof path, "/dev/hidraw%d", number);
  return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

void CloseHidNode(int h) {
  if (h >= 0) close(h);
}

int GetHidInfo(int h, HidInfo* info) {
  hidraw_devinfo raw{};
  if (ioctl(h, HIDIOCGRAWINFO, &raw) < 0) return -1;
  info->dwBusType = raw.bustype;
  info->wVendor = static_cast<uint16_t>(raw.vendor);
  info->wProduct = static_cast<uint16_t>(raw.product);
  return 0;
}

int WriteHidReport(int h, const uint8_t* report) {
  ssize_t n;
  do {
    n = write(h, report, kHidReportSize);
  } while (n < 0 && errno == EINTR);
  return n == kHidReportSize ? 0 : -1;
}

int ReadHidReport(int h, uint8_t* report, double seconds) {
  double until = ComClockSeconds() + seconds;
  for (;;) {
    if (StopRequested()) return kWaitInterrupted;
    double left = until - ComClockSeconds();
    if (!(left > 0)) return kHidTimeout;
    int ms = left * 1000 < kStopPollMs ? static_cast<int>(left * 1000) + 1 : kStopPollMs;
    pollfd tPoll{h, POLLIN, 0};
    int ready = poll(&tPoll, 1, ms);
    if (ready < 0 && errno != EINTR) return kHidFailed;
    if (ready <= 0) continue;
    // A node whose device is gone reports an error instead of input.
    if ((tPoll.revents & POLLIN) == 0) return kHidFailed;
    ssize_t n = read(h, report, kHidReportSize);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    return n == kHidReportSize ? 0 : kHidFailed;
  }
}

int DrainHidReports(int h) {
  int count = 0;
  uint8_t report[kHidReportSize];
  while (count < kMaxStaleReports) {
    pollfd tPoll{h, POLLIN, 0};
    if (poll(&tPoll, 1, 0) <= 0 || (tPoll.revents & POLLIN) == 0) break;
    if (read(h, report, kHidReportSize) < 0 && errno != EINTR) break;
    ++count;
  }
  return count;
}
