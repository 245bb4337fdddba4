#include "pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace sim {

namespace {

std::atomic<int> gStop{0};

void OnStop(int) { gStop.store(1); }

}  // namespace

bool StopRequested() { return gStop.load() != 0; }

void InstallStopHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int OpenPty(std::string* device) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return -1;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    return -1;
  }
  const char* name = ptsname(master);
  if (name == nullptr) {
    close(master);
    return -1;
  }
  *device = name;
  // Put the slave side into raw mode once, so that nothing we send is echoed
  // or translated before the client programs the line itself.
  int slave = open(name, O_RDWR | O_NOCTTY);
  if (slave >= 0) {
    termios tio;
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(slave, TCSANOW, &tio);
    }
    close(slave);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return master;
}

int OpenAnnouncedPty() {
  std::string device;
  int master = OpenPty(&device);
  if (master < 0) {
    std::printf("velmora-sim: cannot open a pseudo-terminal\n");
    std::fflush(stdout);
    return -1;
  }
  std::printf("PTY %s\n", device.c_str());
  std::fflush(stdout);
  return master;
}

bool WaitForClient(int master) {
  while (!StopRequested()) {
    pollfd pfd{master, POLLIN, 0};
    int ready = poll(&pfd, 1, 20);
    if (ready == 0) return true;  // no hang-up reported: somebody holds the slave
    if (ready > 0 && !(pfd.revents & POLLHUP)) return true;
    // POLLHUP: nobody there yet. poll returns at once then, so pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int ReadSome(int master, uint8_t* buffer, size_t size, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (StopRequested()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int wait = static_cast<int>(left.count());
    if (wait < 0) wait = 0;
    if (wait > 50) wait = 50;
    pollfd pfd{master, POLLIN, 0};
    int ready = poll(&pfd, 1, wait);
    if (ready > 0) {
      ssize_t n = read(master, buffer, size);
      if (n > 0) return static_cast<int>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;  // EIO: the client closed
      if (pfd.revents & POLLHUP) return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return 0;
  }
}

bool WriteAll(int master, const void* data, size_t length, int baud) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  auto start = std::chrono::steady_clock::now();
  auto lastProgress = start;
  size_t sent = 0;
  while (sent < length) {
    if (StopRequested()) return false;
    // A client that keeps the line open but reads nothing would otherwise
    // hold the emulator here for ever once the terminal's buffer is full.
    if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(10)) return false;
    size_t chunk = length - sent;
    if (baud > 0) {
      // Release bytes only as fast as the line would carry them, in the 1 ms
      // steps of a USB frame, as a USB serial adapter hands them on.
      double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      size_t allowed = static_cast<size_t>(elapsed * baud / 10.0) + 1;
      if (allowed <= sent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      chunk = std::min(chunk, allowed - sent);
    }
    ssize_t n = write(master, p + sent, chunk);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd pfd{master, POLLOUT, 0};
    poll(&pfd, 1, 20);
    if (pfd.revents & POLLHUP) return false;
  }
  return true;
}

int ReadByte(ByteInput* input, int timeoutMs) {
  if (input->nPos >= input->nCount) {
    int n = ReadSome(input->master, input->ab, sizeof input->ab, timeoutMs);
    if (n < 0) return kReadGone;
    if (n == 0) return kReadTimeout;
    input->nCount = static_cast<size_t>(n);
    input->nPos = 0;
  }
  return input->ab[input->nPos++];
}

void UnreadByte(ByteInput* input) {
  if (input->nPos > 0) --input->nPos;
}

void SleepMs(int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!StopRequested() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 10)));
  }
}

}  // namespace sim
