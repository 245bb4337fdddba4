// The sentence assembler, the decoders and the RMC/GGA pairing, driven byte
// by byte as the logger loop drives them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/time.h"
#include "frame/state.h"
#include "logger/nmea.h"

#include "cases.h"

namespace {

// "$" + body + "*" + checksum + CR LF.
std::string Sentence(const std::string& body, const char* lineEnd = "\r\n") {
  unsigned sum = 0;
  for (unsigned char c : body) sum ^= c;
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X", sum);
  return "$" + body + tail + lineEnd;
}

NmeaState nmea;

class NmeaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&tGps, 0, sizeof tGps);
    std::memset(&nmea, 0, sizeof nmea);
    tGps.nTrackSize = kLoggerTrackSize;
    tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kLoggerTrackSize));
  }
  void TearDown() override {
    std::free(tGps.pTrack);
    std::memset(&tGps, 0, sizeof tGps);
  }
  // Feeds bytes as the loop does; returns how many completed a new fix.
  int Feed(const std::string& bytes, bool pair = false) {
    int fixes = 0;
    for (unsigned char c : bytes) {
      nmea.bRxChar = c;
      if (ProcessNmeaCharacter(&nmea) == 1) {
        ++fixes;
        if (pair) {
          EXPECT_GE(ProcessNmeaPosition(&nmea), 0);
        }
      }
    }
    return fixes;
  }
};


// One case of tests/data/cases/sentence.txt: the bytes are fed to a fresh
// state, every fix paired at once as the logger loop does; "*##" stands for
// the right checksum of the sentence before it. Lists what was printed, the
// fixes counted, the last of each kind, the pressure altitude and the points.
std::string RunCase(const std::string& input) {
  std::string bytes = input;
  for (size_t at; (at = bytes.find("*##")) != std::string::npos;) {
    unsigned sum = 0;
    for (size_t i = bytes.rfind('$', at) + 1; i < at; ++i) sum ^= static_cast<unsigned char>(bytes[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    bytes.replace(at + 1, 2, hex);
  }
  std::free(tGps.pTrack);
  std::memset(&tGps, 0, sizeof tGps);
  std::memset(&nmea, 0, sizeof nmea);
  tGps.nTrackSize = kLoggerTrackSize;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * kLoggerTrackSize));
  nmea.nBaroAltitude = 7777;
  testing::internal::CaptureStdout();
  int fixes = 0;
  for (unsigned char c : bytes) {
    nmea.bRxChar = c;
    if (ProcessNmeaCharacter(&nmea) == 1) {
      ++fixes;
      EXPECT_GE(ProcessNmeaPosition(&nmea), 0);
    }
  }
  std::string out = testing::internal::GetCapturedStdout();
  char text[300];
  std::snprintf(text, sizeof text, "fixes %d rmc %u gga %u baro %d length %u\n", fixes, nmea.nRmcCount,
                nmea.nGgaCount, nmea.nBaroAltitude, nmea.nSentenceLength);
  out += text;
  if (nmea.nRmcCount > 0) {
    const RmcFix& r = nmea.atRmc[(nmea.nRmcCount - 1) % kFixRingSize];
    std::snprintf(text, sizeof text, "rmc %u day %u %.9f %.9f\n", r.dwGpsTime, r.dwDayTime, r.dLatitude,
                  r.dLongitude);
    out += text;
  }
  if (nmea.nGgaCount > 0) {
    const GgaFix& g = nmea.atGga[(nmea.nGgaCount - 1) % kFixRingSize];
    std::snprintf(text, sizeof text, "gga day %u alt %d\n", g.dwDayTime, g.nAltitude);
    out += text;
  }
  for (int32_t i = 0; i < tGps.nTrackPoints; ++i) {
    const TrackPoint& p = tGps.pTrack[i];
    SystemTime st;
    ConvertGpsTimeToSystemTime(p.dwTime, &st);
    std::snprintf(text, sizeof text, "point %04u-%02u-%02u %02u:%02u:%02u %d %d gps %d baro %d flags %u\n", st.wYear,
                  st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, p.nLatitude, p.nLongitude, p.nGpsAltitude,
                  p.nPressureAltitude, p.dwFlags);
    out += text;
  }
  std::free(tGps.pTrack);
  tGps.pTrack = nullptr;
  return out;
}

TEST_F(NmeaTest, EveryCaseOfTheTable) {
  EXPECT_CASES("sentence.txt", RunCase);
  tGps.bSilent = 1;  // and silent, a bad field prints nothing
  testing::internal::CaptureStdout();
  Feed(Sentence("GPRMC,101530,A,,,,,,,210713,,"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(NmeaTest, TrackGrowsPastItsFirst2000PointsKeepingThemAll) {
  for (int i = 0; i < 2001; ++i) {
    char rmc[120], gga[120];
    int h = 10 + i / 3600, m = i / 60 % 60, s = i % 60;
    std::snprintf(rmc, sizeof rmc, "GPRMC,%02d%02d%02d,A,4623.5,N,00712.2,E,0.0,0.0,210713,,", h, m, s);
    std::snprintf(gga, sizeof gga, "GPGGA,%02d%02d%02d,4623.5,N,00712.2,E,1,08,1.0,%d,M,,M,,", h, m, s, i);
    Feed(Sentence(rmc) + Sentence(gga), true);
  }
  ASSERT_EQ(tGps.nTrackPoints, 2001);
  EXPECT_EQ(tGps.nTrackSize, 4000);
  for (int i = 0; i < 2001; ++i) ASSERT_EQ(tGps.pTrack[i].nGpsAltitude, i * 10) << i;
}

}  // namespace
