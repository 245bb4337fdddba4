#include "mlr_line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "pty.h"

namespace sim {

namespace {
// "Unpaced" still paces: the client's reader thread would otherwise run
// ahead of its consumer and fill the small receive buffer, which then stalls
// the line for a tenth of a second each time. At this rate the buffer holds
// a few milliseconds of data, which a client keeps up with.
constexpr int kFastBaud = 250000;
}  // namespace

int ClientBaud(int master) {
  termios tio;
  if (tcgetattr(master, &tio) != 0) return 0;
  struct Speed {
    speed_t code;
    int baud;
  };
  static constexpr Speed kSpeeds[] = {{B4800, 4800},   {B9600, 9600},   {B19200, 19200},
                                      {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  speed_t code = cfgetospeed(&tio);
  for (const Speed& s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

void Restart(PacedLine* line, int baud) {
  line->baud = baud > 0 ? baud : kFastBaud;
  line->start = std::chrono::steady_clock::now();
  line->sent = 0;
}

bool SendPaced(PacedLine* line, const void* data, size_t length) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  auto lastProgress = std::chrono::steady_clock::now();
  size_t done = 0;
  while (done < length) {
    if (StopRequested()) return false;
    auto now = std::chrono::steady_clock::now();
    // A client that holds the line open but reads nothing would hold us here.
    if (now - lastProgress > std::chrono::seconds(10)) return false;
    size_t chunk = length - done;
    if (line->baud > 0) {
      double elapsed = std::chrono::duration<double>(now - line->start).count();
      uint64_t allowed = static_cast<uint64_t>(elapsed * line->baud / 10.0) + 1;
      if (allowed <= line->sent) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        continue;
      }
      chunk = std::min<uint64_t>(chunk, allowed - line->sent);
    }
    ssize_t n = write(line->master, p + done, chunk);
    if (n > 0) {
      done += static_cast<size_t>(n);
      line->sent += static_cast<uint64_t>(n);
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd{line->master, POLLOUT, 0};
    poll(&pfd, 1, 20);
    if (pfd.revents & POLLHUP) return false;
  }
  return true;
}

bool ParseNumber(const char* text, uint32_t max, uint32_t* value) {
  uint64_t v = 0;
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
    v = v * 10 + static_cast<uint64_t>(*text - '0');
    if (v > max) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool ParsePair(const char* text, uint32_t* first, uint32_t* second) {
  std::string s(text);
  size_t colon = s.find(':');
  return colon != std::string::npos && ParseNumber(s.substr(0, colon).c_str(), 1000000000, first) &&
         ParseNumber(s.substr(colon + 1).c_str(), 1000000000, second);
}

void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

}  // namespace sim

#include <cmath>

#include "flight.h"

namespace sim {

Flight MakeSteadyFlight(uint32_t points) {
  Flight f;
  f.szSource = "steady";
  uint32_t t0 = static_cast<uint32_t>(SecondsSince2000(2024, 1, 20, 14, 0, 0));
  for (uint32_t i = 0; i < points; ++i) {
    double a = i / 900.0;
    FlightPoint p;
    p.dwTime = t0 + i;
    p.nLatitude = static_cast<int32_t>(std::lround(-33.5 * 60000 + 6000 * std::sin(a)));
    p.nLongitude = static_cast<int32_t>(std::lround(-70.6 * 60000 + 6000 * std::cos(a)));
    p.nGpsAltitude = static_cast<int32_t>(std::lround(400 * std::sin(i / 1300.0))) - 20;
    f.points.push_back(p);
  }
  return f;
}

bool LoadFlight(const std::string& path, uint32_t points, Flight* flight) {
  if (path.empty()) {
    *flight = points > 0 ? MakeSteadyFlight(points) : MakeSyntheticFlight();
    return true;
  }
  int skipped = 0;
  std::string error;
  if (ReadIgcFlight(path, flight, &skipped, &error)) return true;
  std::printf("velmora-sim: %s\n", error.c_str());
  return false;
}

}  // namespace sim
