#include "common/input.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "frame/state.h"

namespace {

constexpr int kStopPollMs = 100;

// One byte of standard input, read straight from the descriptor so that a
// stop request is seen while the pilot has not typed anything: 1, 0 at the
// end of input, -1 when a stop was requested.
int ReadInputByte(char* c) {
  for (;;) {
    if (StopRequested()) return -1;
    pollfd tPoll{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&tPoll, 1, kStopPollMs);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready <= 0) continue;
    ssize_t n = read(STDIN_FILENO, c, 1);
    if (n == 1) return 1;
    if (n == 0) return 0;
    if (errno != EINTR && errno != EAGAIN) return 0;
  }
}

}  // namespace

int ReadInputLine(char* line, int size) {
  // Whatever the prompt printed must be on the screen before we wait.
  std::fflush(stdout);
  int length = 0;
  bool any = false;
  char c;
  int got;
  while ((got = ReadInputByte(&c)) == 1) {
    any = true;
    if (c == '\n') break;
    if (length < size - 1) line[length++] = c;
  }
  if (size > 0) line[length < size ? length : size - 1] = '\0';
  if (got < 0 || !any) return -1;
  if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  return length;
}

int ReadInputInteger(int* value) {
  char line[128];
  for (;;) {
    int length = ReadInputLine(line, sizeof line);
    if (length < 0) return -1;
    const char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    if (*p == '\0') continue;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return -1;
    long v = 0;
    while (*p >= '0' && *p <= '9') {
      if (v < 100000000L) v = v * 10 + (*p - '0');
      ++p;
    }
    *value = static_cast<int>(negative ? -v : v);
    return 0;
  }
}
