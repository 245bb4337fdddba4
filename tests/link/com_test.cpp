// The serial link against real pseudo-terminals and the real reader thread.
#include "link/com.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "frame/state.h"

namespace {

using std::chrono::milliseconds;

class ComTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = tGps;
    std::memset(&tGps, 0, sizeof tGps);
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    std::snprintf(tGps.szComPort, sizeof tGps.szComPort, "%s", ptsname(master_));
  }
  void TearDown() override {
    CloseComPort();
    if (master_ >= 0) close(master_);
    tGps = saved_;
  }
  // What the instrument sends.
  void Send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
      pollfd p{master_, POLLOUT, 0};
      ASSERT_GT(poll(&p, 1, 2000), 0);
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<size_t>(n);
    }
  }
  // What the instrument received, up to `count` bytes within two seconds.
  std::string Receive(size_t count) {
    std::string got;
    char ab[4096];
    while (got.size() < count) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 2000) <= 0) break;
      ssize_t n = read(master_, ab, sizeof ab);
      if (n > 0) got.append(ab, static_cast<size_t>(n));
    }
    return got;
  }
  GpsState saved_;
  int master_ = -1;
};

std::string Take(size_t count, double seconds = 2) {
  std::string got;
  while (got.size() < count && WaitComFifo(ComClockSeconds(), seconds)) got += static_cast<char>(ReadComFifo());
  return got;
}

std::string Pattern(size_t count) {
  std::string s;
  for (size_t i = 0; i < count; ++i) s += static_cast<char>(i % 251);
  return s;
}

double ProcessCpuSeconds() {
  rusage t;
  getrusage(RUSAGE_SELF, &t);
  return static_cast<double>(t.ru_utime.tv_sec + t.ru_stime.tv_sec) + (t.ru_utime.tv_usec + t.ru_stime.tv_usec) / 1e6;
}

int CountEntries(const char* dir) {
  int n = 0;
  DIR* d = opendir(dir);
  while (d != nullptr && readdir(d) != nullptr) ++n;
  if (d != nullptr) closedir(d);
  return n;
}

TEST_F(ComTest, FlushEmptiesTheFifoAndIndicesWrapInOrder) {
  ASSERT_EQ(OpenComPort(), 0);
  FlushComFifo();
  EXPECT_EQ(NonEmptyComFifo(), 0);
  Send(Pattern(499));  // exactly full
  for (int i = 0; i < 200 && LoadShared(tGps.nComFifoWrite) != 499; ++i) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(tGps.nComFifoWrite, 499u);
  FlushComFifo();
  EXPECT_EQ(NonEmptyComFifo(), 0);
  EXPECT_EQ(ReadComFifo(), 0);  // taking from an empty FIFO must not step past the writer
  Send("\xA1\xA2");
  EXPECT_EQ(Take(2), "\xA1\xA2");  // slot 499 first, then slot 0
  EXPECT_EQ(tGps.nComFifoWrite, 1u);
}

TEST_F(ComTest, FullFifoPausesTheReaderWithoutLosingAByte) {
  ASSERT_EQ(OpenComPort(), 0);
  std::string sent = Pattern(3000);
  testing::internal::CaptureStdout();
  std::thread instrument([&] { Send(sent); });
  std::this_thread::sleep_for(milliseconds(250));
  std::string got;
  while (got.size() < sent.size()) {
    std::string part = Take(50);
    if (part.empty()) break;
    got += part;
    std::this_thread::sleep_for(milliseconds(2));
  }
  instrument.join();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(got == sent) << "received " << got.size() << " of " << sent.size();
  EXPECT_NE(out.find("\nCOM FIFO full"), std::string::npos);
}

TEST_F(ComTest, OpenFailsWithMessageUnlessSilent) {
  for (const char* path : {"/nonexistent/ttyUSB0", "/dev/null", ""}) {
    std::snprintf(tGps.szComPort, sizeof tGps.szComPort, "%s", path);
    testing::internal::CaptureStdout();
    EXPECT_EQ(OpenComPort(), -1) << path;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("Could not open COM port ") + path + "\n");
    EXPECT_EQ(hComPort, -1);
  }
  tGps.bSilent = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(OpenComPort(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(ComTest, OpenAndCloseRepeatedlyLeavesNoThreadOrDescriptor) {
  EXPECT_EQ(CloseComPort(), 0);  // never opened
  int nFds = CountEntries("/proc/self/fd"), nThreads = CountEntries("/proc/self/task");
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(OpenComPort(), 0);
    Send("k");  // the reader is up and waiting in poll when we close
    EXPECT_EQ(Take(1), "k");
    EXPECT_EQ(CloseComPort(), 0);
    EXPECT_EQ(tGps.nComThreadEnded, -1);  // the reader had ended before the close
    EXPECT_EQ(CloseComPort(), 0);
  }
  EXPECT_EQ(CountEntries("/proc/self/fd"), nFds);
  EXPECT_EQ(CountEntries("/proc/self/task"), nThreads);
}

TEST_F(ComTest, EveryByteValuePassesUnchangedBothWays) {
  ASSERT_EQ(OpenComPort(), 0);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);  // XON, XOFF, CR, ^C and friends included
  Send(all);
  EXPECT_TRUE(Take(256) == all);
  EXPECT_EQ(WriteComData(all.data(), all.size()), 0);
  EXPECT_EQ(WriteComString("$PFMSNP,*3A\r\n"), 0);
  EXPECT_TRUE(Receive(256 + 13) == all + "$PFMSNP,*3A\r\n");
  // More than the line buffers while the far side is slow to read: all of it still goes out.
  std::string big = Pattern(40000), got;
  std::thread instrument([&] {
    std::this_thread::sleep_for(milliseconds(300));
    got = Receive(big.size());
  });
  EXPECT_EQ(WriteComData(big.data(), big.size()), 0);
  instrument.join();
  EXPECT_TRUE(got == big) << "received " << got.size() << " of " << big.size();
}

TEST_F(ComTest, WaitComFifoTimesOutOnTimeAndWakesOnAByte) {
  ASSERT_EQ(OpenComPort(), 0);
  double since = ComClockSeconds();
  EXPECT_EQ(WaitComFifo(since, 0.3), 0);
  EXPECT_GE(ComClockSeconds() - since, 0.3);
  EXPECT_LT(ComClockSeconds() - since, 0.45);
  std::thread instrument([&] {
    std::this_thread::sleep_for(milliseconds(100));
    Send("x");
  });
  since = ComClockSeconds();
  EXPECT_NE(WaitComFifo(since, 5), 0);
  EXPECT_LT(ComClockSeconds() - since, 0.2);
  instrument.join();
  EXPECT_NE(WaitComFifo(since - 10, 1), 0);  // a waiting byte counts even after the time is up
}

TEST_F(ComTest, SilentOrHungUpLineCostsNoCpu) {
  ASSERT_EQ(OpenComPort(), 0);
  double cpu = ProcessCpuSeconds();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.03);
  close(master_);  // the instrument is unplugged
  master_ = -1;
  cpu = ProcessCpuSeconds();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.03);
  EXPECT_EQ(WriteComString("x"), -1);
  double since = ComClockSeconds();
  CloseComPort();
  EXPECT_LT(ComClockSeconds() - since, 0.2);
}

speed_t LineSpeed() {
  termios t;
  return tcgetattr(hComPort, &t) == 0 ? cfgetospeed(&t) : B0;
}

TEST_F(ComTest, LineSpeedFollowsTheTypeAndSetComSpeed) {
  // -b counts only for the NMEA logger.
  for (auto [nType, dwBaudCode, expected] : {std::tuple{kGpsFlymaster, B115200, B57600}, {kGpsMlr, 0u, B4800},
                                             {kGpsNmea, B115200, B115200}, {kGpsNmea, 0u, B9600}}) {
    tGps.nGpsType = nType;
    tGps.dwBaudCode = dwBaudCode;
    ASSERT_EQ(OpenComPort(), 0);
    EXPECT_EQ(LineSpeed(), expected) << "type " << nType;
  }
  EXPECT_EQ(SetComSpeed(19200), 0);
  EXPECT_EQ(LineSpeed(), B19200);
  EXPECT_EQ(SetComSpeed(115200), 0);
  EXPECT_EQ(LineSpeed(), B9600);
}

}  // namespace
