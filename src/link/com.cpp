#include "link/com.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "frame/state.h"

int hComPort = -1;
uint32_t nRawDataAvailable = 0;

namespace {

// How long the reader blocks in poll before it looks at the stop request
// again; bounds how long CloseComPort waits for the thread.
constexpr int kReaderPollMs = 20;
constexpr size_t kReadBlock = 100;
// The reader's pause while the FIFO is full, and the slices it sleeps in so a
// stop request still ends the pause quickly.
constexpr int kFifoFullPauseMs = 100;
constexpr int kFifoFullSliceMs = 10;
// A write that makes no progress for this long gives up: the line is dead.
constexpr double kWriteStallSeconds = 5.0;
// How long a wait may sleep before it looks at the stop flag again.
constexpr double kStopPollSeconds = 0.1;

pthread_t tComThread;
bool bComThreadRunning = false;

// Consumers asleep in WaitComFifo; the reader wakes them only when there are any.
std::atomic<uint32_t> nComWaiters{0};

struct SpeedEntry {
  uint32_t dwBaud;
  speed_t dwCode;
};
constexpr SpeedEntry kSpeeds[] = {
    {115200, B115200}, {57600, B57600}, {38400, B38400}, {19200, B19200}, {9600, B9600}, {4800, B4800},
};

uint32_t NextFifoIndex(uint32_t n) { return n + 1 >= static_cast<uint32_t>(kComFifoSize) ? 0 : n + 1; }

speed_t SpeedForType() {
  switch (tGps.nGpsType) {
    case kGpsGalileo:
    case kGpsXcTrainer:
    case kGpsFlymaster:
    case kGpsIqBasic: return B57600;
    case kGpsDigifly: return B38400;
    case kGpsMlr: return B4800;
    case kGpsNmea:
      for (const SpeedEntry& t : kSpeeds) {
        if (t.dwCode == tGps.dwBaudCode) return t.dwCode;
      }
      return B9600;
    default: return B9600;
  }
}

// 8N1, receiver on, modem lines ignored, no flow control, raw in and out.
// Built from nothing so no setting of a previous user of the device survives.
int ProgramLine(int h, speed_t speed) {
  termios t;
  std::memset(&t, 0, sizeof t);
  t.c_cflag = CS8 | CREAD | CLOCAL;
  t.c_iflag = IGNPAR;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcflush(h, TCIFLUSH);
  return tcsetattr(h, TCSANOW, &t);
}

void WakeWaiters() {
  syscall(SYS_futex, &tGps.nComFifoWrite, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// Makes the bytes stored up to `n` visible, then wakes a sleeping consumer.
// The fence pairs with the one in WaitComFifo: either the consumer sees the
// new index before it sleeps, or we see it registered and wake it.
void PublishWriteIndex(uint32_t n) {
  StoreShared(tGps.nComFifoWrite, n);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (nComWaiters.load(std::memory_order_relaxed) != 0) WakeWaiters();
}

bool ReaderStopRequested() { return LoadShared(tGps.bComThreadStop) != 0; }

// Sleeps out one full-FIFO pause; false when a stop request cut it short.
bool PauseWhileFull() {
  for (int ms = 0; ms < kFifoFullPauseMs; ms += kFifoFullSliceMs) {
    if (ReaderStopRequested()) return false;
    poll(nullptr, 0, kFifoFullSliceMs);
  }
  return !ReaderStopRequested();
}

// Stores every byte in order. When the FIFO is full the same byte is retried
// after each pause, so nothing is dropped unless the port is being closed.
void StoreReceivedBytes(const uint8_t* ab, size_t n) {
  uint32_t nWrite = tGps.nComFifoWrite;
  if (nWrite >= static_cast<uint32_t>(kComFifoSize)) nWrite = 0;
  size_t i = 0;
  while (i < n) {
    uint32_t nNext = NextFifoIndex(nWrite);
    if (nNext != LoadShared(tGps.nComFifoRead)) {
      tGps.abComFifo[nWrite] = ab[i++];
      nWrite = nNext;
      continue;
    }
    PublishWriteIndex(nWrite);
    if (!LoadShared(tGps.bSilent)) {
      std::printf("\nCOM FIFO full");
      std::fflush(stdout);
    }
    if (!PauseWhileFull()) return;
  }
  PublishWriteIndex(nWrite);
}

// A hung-up or failing device answers poll and read at once; waiting out the
// poll interval keeps such a line from costing a core until it is closed.
void PauseAfterError() { poll(nullptr, 0, kReaderPollMs); }

void InstallIoHandler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SignalHandlerIO;
  sigemptyset(&action.sa_mask);
  // Restart interrupted calls: should a SIGIO ever arrive it must not cut a
  // prompt's read of standard input short.
  action.sa_flags = SA_RESTART;
  sigaction(SIGIO, &action, nullptr);
}

}  // namespace

void SignalHandlerIO(int) { StoreShared(nRawDataAvailable, 1); }

void* ComThread(void*) {
  // Only this thread reads the descriptor, and CloseComPort closes it only
  // after joining us, so the number cannot be reused under our feet.
  const int h = hComPort;
  uint8_t ab[kReadBlock];
  while (!ReaderStopRequested()) {
    // Blocking in poll, not SIGIO, is what wakes us when bytes arrive: a
    // silent instrument costs nothing and the stop request is seen within
    // one interval.
    pollfd tPoll{h, POLLIN, 0};
    int nReady = poll(&tPoll, 1, kReaderPollMs);
    if (nReady == 0) continue;
    if (nReady < 0) {
      if (errno != EINTR) PauseAfterError();
      continue;
    }
    if ((tPoll.revents & POLLIN) == 0) {  // hang-up or error without data
      PauseAfterError();
      continue;
    }
    ssize_t nRead = read(h, ab, sizeof ab);
    if (nRead > 0) {
      StoreReceivedBytes(ab, static_cast<size_t>(nRead));
    } else if (nRead == 0 || (errno != EAGAIN && errno != EINTR)) {
      PauseAfterError();  // end of file or EIO: the instrument is gone
    }
  }
  StoreShared(tGps.nComThreadEnded, -1);
  return nullptr;
}

int OpenComPort() {
  if (hComPort >= 0 || bComThreadRunning) CloseComPort();

  char szPath[kComPortSize];
  std::memcpy(szPath, tGps.szComPort, sizeof szPath);
  szPath[sizeof szPath - 1] = '\0';

  // Non-blocking for good: the reader only reads after poll reported data,
  // so it can never sit in read() past a stop request (SetComSpeed's flush
  // may take away bytes poll had seen), and writes wait for room themselves
  // with a bound. Close-on-exec keeps the line away from the task scripts.
  int h = open(szPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (h >= 0 && (!isatty(h) || ProgramLine(h, SpeedForType()) != 0)) {
    close(h);  // not a serial line: nothing could ever be received from it
    h = -1;
  }
  if (h < 0) {
    if (!tGps.bSilent) std::printf("Could not open COM port %s\n", szPath);
    return -1;
  }

  // O_ASYNC is not set: the reader wakes from poll, and a SIGIO for every
  // burst of input would only interrupt the main thread's sleeps and system
  // calls. The handler stays installed so that a stray SIGIO cannot end the
  // process (its default action).
  InstallIoHandler();

  hComPort = h;
  StoreShared(tGps.bComThreadStop, 0);
  StoreShared(tGps.nComThreadEnded, 0);
  StoreShared(tGps.nComFifoRead, 0);
  StoreShared(tGps.nComFifoWrite, 0);

  // The reader runs with the asynchronous signals blocked, so SIGINT and
  // SIGTERM always reach the main thread, which is the one acting on them.
  // Faults stay deliverable so a crash in the reader is still reported.
  sigset_t tAll, tPrevious;
  sigfillset(&tAll);
  for (int nFault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&tAll, nFault);
  pthread_sigmask(SIG_SETMASK, &tAll, &tPrevious);
  int nResult = pthread_create(&tComThread, nullptr, ComThread, nullptr);
  pthread_sigmask(SIG_SETMASK, &tPrevious, nullptr);
  if (nResult != 0) {
    CloseComPort();
    if (!tGps.bSilent) {
      std::printf("Could not start COM read thread");
      std::fflush(stdout);
    }
    return -1;
  }
  bComThreadRunning = true;
  return 0;
}

int CloseComPort() {
  if (bComThreadRunning) {
    StoreShared(tGps.bComThreadStop, 1);
    pthread_join(tComThread, nullptr);
    bComThreadRunning = false;
  }
  if (hComPort < 0) return 0;
  int nResult = close(hComPort);
  hComPort = -1;
  return nResult;
}

int SetComSpeed(uint32_t baud) {
  speed_t speed = B9600;
  for (const SpeedEntry& t : kSpeeds) {
    if (t.dwBaud == baud && baud != 115200) speed = t.dwCode;
  }
  if (hComPort < 0) return -1;
  return ProgramLine(hComPort, speed) == 0 ? 0 : -1;
}

int WriteComData(const void* data, size_t length) {
  if (hComPort < 0) return -1;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  double since = ComClockSeconds();
  while (length > 0) {
    ssize_t n = write(hComPort, p, length);
    if (n > 0) {
      p += n;
      length -= static_cast<size_t>(n);
      since = ComClockSeconds();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return -1;
    double left = since + kWriteStallSeconds - ComClockSeconds();
    if (left <= 0) return -1;
    pollfd tPoll{hComPort, POLLOUT, 0};
    poll(&tPoll, 1, left > 0.1 ? 100 : static_cast<int>(left * 1000) + 1);
  }
  return 0;
}

int WriteComString(const char* text) {
  if (text == nullptr) return 0;
  return WriteComData(text, std::strlen(text));
}

void FlushComFifo() { StoreShared(tGps.nComFifoRead, LoadShared(tGps.nComFifoWrite)); }

int NonEmptyComFifo() { return LoadShared(tGps.nComFifoWrite) != LoadShared(tGps.nComFifoRead) ? 1 : 0; }

uint8_t ReadComFifo() {
  uint32_t nRead = LoadShared(tGps.nComFifoRead);
  // Taking from an empty FIFO would step past the writer and make 499 stale
  // bytes look received.
  if (nRead == LoadShared(tGps.nComFifoWrite)) return 0;
  if (nRead >= static_cast<uint32_t>(kComFifoSize)) nRead = 0;
  uint8_t byte = tGps.abComFifo[nRead];
  StoreShared(tGps.nComFifoRead, NextFifoIndex(nRead));
  return byte;
}

void WriteComFifo(uint8_t byte) {
  uint32_t nWrite = LoadShared(tGps.nComFifoWrite);
  if (nWrite >= static_cast<uint32_t>(kComFifoSize)) nWrite = 0;
  uint32_t nNext = NextFifoIndex(nWrite);
  if (nNext == LoadShared(tGps.nComFifoRead)) return;
  tGps.abComFifo[nWrite] = byte;
  PublishWriteIndex(nNext);
}

double ComClockSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Sleeps on the write index itself (a futex): the reader's publish wakes us
// within microseconds, and while nothing arrives no CPU is used at all. The
// sleep is cut into slices so that a stop request is seen promptly even when
// the signal lands on another thread.
int WaitComFifo(double since, double seconds) {
  for (;;) {
    if (NonEmptyComFifo()) return 1;
    if (StopRequested()) return kWaitInterrupted;
    double left = since + seconds - ComClockSeconds();
    if (!(left > 0)) return 0;
    if (left > kStopPollSeconds) left = kStopPollSeconds;
    timespec tWait;
    tWait.tv_sec = static_cast<time_t>(left);
    tWait.tv_nsec = static_cast<long>((left - static_cast<double>(tWait.tv_sec)) * 1e9);
    nComWaiters.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    uint32_t nWrite = LoadShared(tGps.nComFifoWrite);
    if (nWrite == LoadShared(tGps.nComFifoRead)) {
      syscall(SYS_futex, &tGps.nComFifoWrite, FUTEX_WAIT_PRIVATE, nWrite, &tWait, nullptr, 0);
    }
    nComWaiters.fetch_sub(1, std::memory_order_relaxed);
  }
}

int PauseSeconds(double seconds) {
  double until = ComClockSeconds() + seconds;
  for (;;) {
    if (StopRequested()) return kWaitInterrupted;
    double left = until - ComClockSeconds();
    if (!(left > 0)) return 0;
    std::this_thread::sleep_for(std::chrono::duration<double>(left < kStopPollSeconds ? left : kStopPollSeconds));
  }
}

int ReportInterrupted(const char* prefix) {
  std::printf("%sInterrupted\n", prefix);
  std::fflush(stdout);
  return -1;
}
