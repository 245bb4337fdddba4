// The sentence assembler, the decoders and the RMC/GGA pairing, driven byte
// by byte as the logger loop drives them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/time.h"
#include "frame/state.h"
#include "logger/nmea.h"

namespace {

// "$" + body + "*" + checksum + CR LF.
std::string Sentence(const std::string& body, const char* lineEnd = "\r\n") {
  unsigned sum = 0;
  for (unsigned char c : body) sum ^= c;
  char tail[8];
  std::snprintf(tail, sizeof tail, "*%02X", sum);
  return "$" + body + tail + lineEnd;
}

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
  std::string FeedCapturing(const std::string& bytes) {
    testing::internal::CaptureStdout();
    Feed(bytes);
    return testing::internal::GetCapturedStdout();
  }
  NmeaState nmea;
};

const std::string kRmcBody = "GPRMC,101530,A,4623.5000,N,00712.2500,E,0.0,0.0,210713,,";
const std::string kGgaBody = "GPGGA,101530,4623.5000,N,00712.2500,E,1,08,1.0,1234.5,M,48.0,M,,";

TEST_F(NmeaTest, ChecksumIsOptionalButMustMatchWhenPresent) {
  EXPECT_EQ(FeedCapturing(Sentence(kRmcBody)), "");
  EXPECT_EQ(nmea.nRmcCount, 1u);

  // Wrong digits, whichever bit is off: dropped without a word.
  const std::string body = "GPRMC,101531,A,4623.5000,N,00712.2500,E,0.0,0.0,210713,,";
  unsigned sum = 0;
  for (unsigned char c : body) sum ^= c;
  for (unsigned bit : {0x01u, 0x08u, 0x10u, 0x80u}) {
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum ^ bit);
    EXPECT_EQ(FeedCapturing("$" + body + tail), "") << bit;
  }
  EXPECT_EQ(nmea.nRmcCount, 1u);

  // No asterisk at all: taken as valid, with either line end.
  EXPECT_EQ(Feed("$GPRMC,101532,A,4623.5000,N,00712.2500,E,0.0,0.0,210713,,\r\n"), 1);
  EXPECT_EQ(Feed("$GPRMC,101533,A,4623.5000,N,00712.2500,E,0.0,0.0,210713,,\n"), 1);

  // Lower-case digits are hexadecimal too.
  EXPECT_EQ(Feed("$GPGGA,101533,4623.5000,N,00712.2500,E,1,08,1.0,18.0,M,48.0,M,,*7e\r\n"), 1);

  // A character after "*" that is no hexadecimal digit drops the sentence.
  EXPECT_EQ(Feed("$GPGGA,101534,4623.5000,N,00712.2500,E,1,08,1.0,12.0,M,48.0,M,,*G1\r\n"), 0);
  EXPECT_EQ(nmea.nGgaCount, 1u);
  // ... and the assembler is ready for the next line at once.
  EXPECT_EQ(Feed(Sentence("GPGGA,101535,4623.5000,N,00712.2500,E,1,08,1.0,12.0,M,48.0,M,,")), 1);
}

TEST_F(NmeaTest, OverlongLinesKeepTheirFirst200Characters) {
  std::string body = "GPRMC,101530,A,4623.5000,N,00712.2500,E,0.0,0.0,210713,," + std::string(300, 'X');
  EXPECT_EQ(Feed(Sentence(body)), 0);  // the characters dropped are missing from the checksum
  EXPECT_EQ(nmea.nSentenceLength, 200u);
  EXPECT_EQ(nmea.szSentence[199], 'X');
  EXPECT_EQ(nmea.szSentence[200], '\0');
  EXPECT_EQ(Feed("$" + body + "\r\n"), 1);  // without a checksum the line still decodes
  EXPECT_EQ(nmea.nSentenceLength, 200u);

  // Text lines are bounded the same way.
  Feed("PRS " + std::string(400, '1') + "\r\n");
  EXPECT_EQ(nmea.nSentenceLength, 200u);
  EXPECT_EQ(nmea.nBaroAltitude, 0);
}

TEST_F(NmeaTest, TimesRoundToTheSecondAndSecond60StillPairs) {
  Feed(Sentence("GPRMC,123459.6,A,4623.5000,N,00712.2500,E,0.0,0.0,010199,,"), true);
  Feed(Sentence("GPGGA,123459.6,4623.5000,N,00712.2500,E,1,08,1.0,1000.5,M,48.0,M,,"), true);
  ASSERT_EQ(tGps.nTrackPoints, 1);
  EXPECT_EQ(nmea.atRmc[0].dwDayTime, 12u * 3600 + 34 * 60 + 60);
  EXPECT_EQ(nmea.atGga[0].dwDayTime, nmea.atRmc[0].dwDayTime);
  SystemTime st{2099, 1, 1, 12, 35, 0};  // 010199 is in 2099; second 60 is the next minute
  EXPECT_EQ(tGps.pTrack[0].dwTime, ConvertSystemTimeToGpsTime(&st));
  EXPECT_EQ(tGps.pTrack[0].nGpsAltitude, 10010);
}

TEST_F(NmeaTest, AltitudesRoundHalfUpAlsoBelowSeaLevel) {
  struct Case {
    const char* field;
    int32_t decimetres;
  } cases[] = {{"12.5", 130}, {"12.49", 120}, {"-12.5", -120}, {"-12.6", -130}, {"-0.4", 0}};
  uint32_t second = 0;
  for (const Case& c : cases) {
    char body[160];
    std::snprintf(body, sizeof body, "GPGGA,1015%02u,4623.5000,N,00712.2500,E,1,08,1.0,%s,M,48.0,M,,", second++,
                  c.field);
    ASSERT_EQ(Feed(Sentence(body)), 1) << c.field;
    EXPECT_EQ(nmea.atGga[(nmea.nGgaCount - 1) % 4].nAltitude, c.decimetres) << c.field;
  }
  // 6 to 9 fields: a fix without altitude.
  for (const char* body : {"GPGGA,101600,4623.5,N,00712.2,E", "GPGGA,101601,4623.5,N,00712.2,E,1,08,1.0"}) {
    ASSERT_EQ(Feed(Sentence(body)), 1) << body;
    EXPECT_EQ(nmea.atGga[(nmea.nGgaCount - 1) % 4].nAltitude, 0) << body;
  }
  EXPECT_EQ(FeedCapturing(Sentence("GPGGA,101602,4623.5,N,00712.2")), "$GPGGA: Too few parameters\n");
}

TEST_F(NmeaTest, RepeatedOrOlderRmcIsNotStoredAgain) {
  EXPECT_EQ(Feed(Sentence(kRmcBody)), 1);
  EXPECT_EQ(Feed(Sentence(kRmcBody)), 0);
  EXPECT_EQ(Feed(Sentence("GPRMC,101529,A,4623.5000,N,00712.2500,E,0.0,0.0,210713,,")), 0);
  EXPECT_EQ(nmea.nRmcCount, 1u);
}

TEST_F(NmeaTest, FixesWithoutPositionArePassedOverAndBadFieldsReported) {
  // Status V and fix quality 0: no fix, no message, nothing stored.
  EXPECT_EQ(FeedCapturing(Sentence("GPRMC,101530,V,,,,,,,210713,,")), "");
  EXPECT_EQ(FeedCapturing(Sentence("GPGGA,101530,,,,,0,00,99.9,,M,,M,,")), "");
  EXPECT_EQ(nmea.nRmcCount + nmea.nGgaCount, 0u);

  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"GPRMC,101530,A,,,,,,,210713,,", "$GPRMC: Bad parameter 3\n"},
      {"GPRMC,10x530,A,4623.5,N,00712.2,E,,,210713,,", "$GPRMC: Bad parameter 1\n"},
      {"GPRMC,101530,A,4623.5,N,00712.2,E,,,21x713,,", "$GPRMC: Bad parameter 9 (21x713)\n"},
      {"GPRMC,101530,A,4623.5,Q,00712.2,E,,,210713,,", "$GPRMC: Bad parameter 4\n"},
      {"GPRMC,101530,A,4623.5,N,,E,,,210713,,", "$GPRMC: Bad parameter 5\n"},
      {"GPRMC,101530,A,4623.5,N,00712.2,X,,,210713,,", "$GPRMC: Bad parameter 6\n"},
      {"GPRMC,101530,A,4623.5,N,00712.2,E", "$GPRMC: Too few parameters\n"},
      // Values no receiver can mean must not become a point either.
      {"GPRMC,101530,A,9123.5,N,00712.2,E,,,210713,,", "$GPRMC: Bad parameter 3\n"},
      {"GPRMC,101530,A,4623.5,N,18112.2,E,,,210713,,", "$GPRMC: Bad parameter 5\n"},
      {"GPRMC,256030,A,4623.5,N,00712.2,E,,,210713,,", "$GPRMC: Bad parameter 1\n"},
      {"GPRMC,101530,A,4623.5,N,00712.2,E,,,001313,,", "$GPRMC: Bad parameter 9 (001313)\n"},
      {"GPGGA,1015x0,4623.5,N,00712.2,E,1,08,1.0,12,M,,M,,", "$GPGGA: Bad parameter 1\n"},
      {"GPGGA,101530,4623.5,N,00712.2,E,1,08,1.0,,M,,M,,", "$GPGGA: Bad parameter 9\n"},
      // The message names the sentence as it came.
      {"GNRMC,101530,A,4623.5,N", "$GNRMC: Too few parameters\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(FeedCapturing(Sentence(c.body)), c.message) << c.body;
  EXPECT_EQ(nmea.nRmcCount + nmea.nGgaCount, 0u);

  tGps.bSilent = 1;
  EXPECT_EQ(FeedCapturing(Sentence(cases[0].body)), "");
}

TEST_F(NmeaTest, EveryGnssTalkerIsAcceptedForRmcAndGga) {
  uint32_t second = 10;
  for (const char* talker : {"GP", "GN", "GL", "GA", "GB", "BD", "GQ"}) {
    char rmc[120], gga[120];
    std::snprintf(rmc, sizeof rmc, "%sRMC,1015%02u,A,4623.5,S,00712.2,W,0.0,0.0,210713,,", talker, second);
    std::snprintf(gga, sizeof gga, "%sGGA,1015%02u,4623.5,S,00712.2,W,1,08,1.0,5.0,M,,M,,", talker, second);
    ++second;
    EXPECT_EQ(Feed(Sentence(rmc), true), 1) << talker;
    EXPECT_EQ(Feed(Sentence(gga), true), 1) << talker;
  }
  EXPECT_EQ(tGps.nTrackPoints, 7);
  EXPECT_LT(tGps.pTrack[0].nLatitude, 0);  // south and west
  EXPECT_LT(tGps.pTrack[0].nLongitude, 0);
  EXPECT_EQ(Feed(Sentence("XXRMC,101559,A,4623.5,N,00712.2,E,0.0,0.0,210713,,")), 0);
  EXPECT_EQ(Feed(Sentence("GPRMCX,101559,A,4623.5,N,00712.2,E,0.0,0.0,210713,,")), 0);
}

TEST_F(NmeaTest, BarometricSentencesAndPressureLines) {
  struct Case {
    std::string bytes;
    int32_t metres;
  } cases[] = {
      {Sentence("LK8EX1,999999,512.4,9999,99,999"), 512},
      {Sentence("LK8EX1,101325,99999,9999,99,999"), 0},
      {Sentence("LK8EX1,95000,99999,9999,99,999"), 540},  // standard atmosphere: 540.4 m
      {Sentence("PTAS1,0,0,3280,0"), 390},
      {Sentence("PDGFTL1,-17,0,0"), -17},
      {"$D,0,89874.6,0,0*00\r\n", 1000},  // no checksum needed
      {"PRS 15F90\r\n", 989},             // 90000 Pa: 988.6 m
      {"abcPRS   15f90\n", 989},          // lower-case bytes before the line are skipped
  };
  for (const Case& c : cases) {
    nmea.nBaroAltitude = 7777;
    EXPECT_EQ(Feed(c.bytes), 0);
    EXPECT_EQ(nmea.nBaroAltitude, c.metres) << c.bytes;
  }
  // Lines that must leave the altitude alone.
  for (const std::string& bytes :
       {std::string("PRS 0\r\n"), std::string("PRS 15G90\r\n"), std::string("PRX 15F90\r\n"),
        Sentence("LK8EX1,0,512,9999,99,999"), Sentence("LK8EX1,abc,512,9999,99,999"), Sentence("LK8EX1,999999"),
        Sentence("PTAS1,0,0"), Sentence("PDGFTL1,1x,0,0"), std::string("$PTAS1,0,0,3280,0*00\r\n"),
        Sentence("LK8EX1,-5,512,1,1,1"), std::string("$D,0,0,0\r\n")}) {
    nmea.nBaroAltitude = 7777;
    Feed(bytes);
    EXPECT_EQ(nmea.nBaroAltitude, 7777) << bytes;
  }
  // The altitude travels with the next RMC fix into the point.
  Feed("PRS 15F90\r\n");
  Feed(Sentence(kGgaBody) + Sentence(kRmcBody), true);
  ASSERT_EQ(tGps.nTrackPoints, 1);
  EXPECT_EQ(tGps.pTrack[0].nPressureAltitude, 989);
}

TEST_F(NmeaTest, PairingInEitherOrderAndOnlyWithAPartner) {
  Feed(Sentence(kRmcBody) + Sentence(kGgaBody), true);  // RMC first
  EXPECT_EQ(tGps.nTrackPoints, 1);
  Feed(Sentence("GPGGA,101531,4623.5,N,00712.2,E,1,08,1.0,1235.0,M,,M,,") +
           Sentence("GPRMC,101531,A,4623.5,N,00712.2,E,0.0,0.0,210713,,"),
       true);  // GGA first
  EXPECT_EQ(tGps.nTrackPoints, 2);
  // An RMC whose GGA never comes gives nothing; the next second pairs again.
  Feed(Sentence("GPRMC,101532,A,4623.5,N,00712.2,E,0.0,0.0,210713,,"), true);
  EXPECT_EQ(tGps.nTrackPoints, 2);
  Feed(Sentence("GPGGA,101533,4623.5,N,00712.2,E,1,08,1.0,1236.0,M,,M,,") +
           Sentence("GPRMC,101533,A,4623.5,N,00712.2,E,0.0,0.0,210713,,"),
       true);
  ASSERT_EQ(tGps.nTrackPoints, 3);
  EXPECT_EQ(tGps.pTrack[0].dwFlags, kSegmentStart);
  EXPECT_EQ(tGps.pTrack[1].dwFlags, 0u);
  EXPECT_EQ(tGps.pTrack[1].nGpsAltitude, 12350);
  EXPECT_EQ(tGps.pTrack[2].nGpsAltitude, 12360);
  EXPECT_EQ(tGps.pTrack[2].dwTime - tGps.pTrack[0].dwTime, 3u);
  // Pairing again changes nothing: no point twice.
  EXPECT_EQ(ProcessNmeaPosition(&nmea), 0);
  EXPECT_EQ(tGps.nTrackPoints, 3);
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
