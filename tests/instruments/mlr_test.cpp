// An MLR log longer than the instrument's 16-bit point numbers, played
// in-process on a pseudo-terminal: the end-to-end emulator cannot send 1.2 MB
// through the small receive buffer fast enough, but here the instrument sees
// the buffer and feeds it as fast as it empties.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "frame/state.h"
#include "instruments/entry_points.h"
#include "link/com.h"

namespace {

std::string Frame(uint8_t sequence, const std::string& body) {
  std::string s = {'\x8B', static_cast<char>(sequence), 'T', 1};
  s += body;
  unsigned sum = 0;
  for (char c : s) sum += static_cast<uint8_t>(c);
  return s + static_cast<char>(sum >> 8 & 0xFF) + static_cast<char>(sum & 0xFF) + "\r\n";
}

void WaitFor(int master, const std::string& text) {
  std::string got;
  char ab[256];
  while (got.find(text) == std::string::npos) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    ssize_t n = read(master, ab, sizeof ab);
    if (n > 0) got.append(ab, static_cast<size_t>(n));
  }
}

TEST(Mlr, PointNumbersWrapPast65535) {
  GpsState saved = tGps;
  std::memset(&tGps, 0, sizeof tGps);
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
  std::snprintf(tGps.szComPort, sizeof tGps.szComPort, "%s", ptsname(master));
  tGps.nGpsType = kGpsMlr;
  tGps.bScroll = 0;
  constexpr uint32_t kPoints = 27 * 2431;  // past 65535, in whole sentences
  std::thread instrument([&] {
    WaitFor(master, "$PMLR,26,01,01,0339\r\n");
    std::string reply = "$PMLR,IDGPS,01,SP24,,,3.10*";
    uint8_t x = 0;
    for (char c : reply.substr(1, reply.size() - 2)) x ^= static_cast<uint8_t>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "%02X\r\n", x);
    reply += tail;
    ssize_t ignored = write(master, reply.data(), reply.size());
    WaitFor(master, "$PMLR,24,02,0101,0399\r\n");
    termios tio;
    while (tcgetattr(master, &tio) == 0 && cfgetospeed(&tio) != B38400) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::string log = Frame(0, "DEBUT");
    for (uint32_t n = 1; n <= kPoints; n += 27) {
      std::string body = {'\0', 27};
      for (uint32_t k = n; k < n + 27; ++k) {
        uint32_t time = 946000000 + k;
        uint8_t r[18] = {static_cast<uint8_t>(k >> 8), static_cast<uint8_t>(k), static_cast<uint8_t>(time >> 24),
                         static_cast<uint8_t>(time >> 16), static_cast<uint8_t>(time >> 8), static_cast<uint8_t>(time)};
        body.append(reinterpret_cast<char*>(r), sizeof r);
      }
      log += Frame(static_cast<uint8_t>((n / 27 + 1) & 0xFF), body);
    }
    log += Frame(static_cast<uint8_t>((kPoints / 27 + 1) & 0xFF), "FIN");
    // At most 450 bytes on the way: the buffer never fills, whoever is slow.
    uint64_t consumed = 0;
    uint32_t lastRead = LoadShared(tGps.nComFifoRead);
    auto progress = std::chrono::steady_clock::now();
    for (size_t done = 0; done < log.size();) {
      uint32_t read = LoadShared(tGps.nComFifoRead);
      consumed += (read + kComFifoSize - lastRead) % kComFifoSize;
      if (read != lastRead) progress = std::chrono::steady_clock::now();
      lastRead = read;
      if (std::chrono::steady_clock::now() - progress > std::chrono::seconds(3)) break;  // the download gave up
      if (done - consumed > 250) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
        continue;
      }
      ssize_t n = write(master, log.data() + done, std::min<size_t>(200, log.size() - done));
      if (n > 0) done += static_cast<size_t>(n);
    }
    WaitFor(master, "$PMLR,06,00,02A9\r\n");
    (void)ignored;
  });
  EXPECT_EQ(DownloadMlrTrackLog(), 0);
  instrument.join();
  ASSERT_EQ(tGps.nTrackPoints, static_cast<int32_t>(kPoints));
  EXPECT_EQ(tGps.pTrack[kPoints - 1].dwTime, 946000000u + kPoints - 315100800u);
  std::free(tGps.pTrack);
  close(master);
  tGps = saved;
}

}  // namespace
