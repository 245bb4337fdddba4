// Track saving: file names, the raw IGC text, failures that must reach the
// exit status, and replacing an earlier file only with a complete one.
#include "formats/file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/time.h"
#include "formats/igc.h"
#include "frame/state.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Each test runs in a fresh folder with a clean state record and a slow,
// steady track one point a second, IGC only, signed, with a pilot name.
class TrackSave : public testing::Test {
 protected:
  void SetUp() override {
    std::memset(&tGps, 0, sizeof tGps);
    char pattern[] = "/tmp/velmora-save-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    old_ = fs::current_path();
    fs::current_path(dir_);
    SystemTime st{2013, 7, 21, 11, 42, 7};
    t0_ = ConvertSystemTimeToGpsTime(&st);
  }
  void TearDown() override {
    fs::current_path(old_);
    fs::remove_all(dir_);
    std::free(tGps.pTrack);
    std::free(tGps.pRawIgc);
    std::memset(&tGps, 0, sizeof tGps);
  }
  void MakeTrack(int32_t n) {
    std::free(tGps.pTrack);
    tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * static_cast<size_t>(n)));
    for (int32_t i = 0; i < n; ++i) tGps.pTrack[i] = TrackPoint{0, t0_ + i, 550000000 + i * 100, 95000000, 15000, 0};
    tGps.nTrackPoints = tGps.nTrackSize = n;
    tGps.nGpsType = kGpsFlymaster;
    tGps.dwFileTypes = kTrackFileIgc;
    tGps.bSigned = 1;
    std::strcpy(tGps.szPilotName, "Ann");
  }
  std::string Expected() const {
    char* text = nullptr;
    int n = EncodeIgcLog(tGps.pTrack, tGps.nTrackPoints, "Ann", nullptr, nullptr, nullptr, nullptr, tGps.szProduct,
                         nullptr, nullptr, tGps.dwDownloadTime, &text, 1);
    std::string s(text, static_cast<size_t>(n));
    std::free(text);
    return s;
  }
  int Save(std::string* out) {
    CaptureStdout();
    int result = SaveTracklog();
    *out = GetCapturedStdout();
    return result;
  }
  std::string dir_;
  fs::path old_;
  uint32_t t0_ = 0;
};

TEST_F(TrackSave, NamesFromTimeStampFolderOrGivenName) {
  MakeTrack(20);
  std::strcpy(tGps.szProduct, "Flymaster GPS SD");
  std::string out;
  EXPECT_EQ(Save(&out), 0);
  EXPECT_EQ(out, "File 2013-07-21_11-42.igc written\n");
  EXPECT_EQ(ReadAll("2013-07-21_11-42.igc"), Expected());

  fs::create_directory("flights");
  std::strcpy(tGps.szFileName, "flights/");
  EXPECT_EQ(Save(&out), 0);
  EXPECT_EQ(out, "File flights/2013-07-21_11-42.igc written\n");

  std::strcpy(tGps.szFileName, "flight");
  tGps.bTrim = 1;
  EXPECT_EQ(Save(&out), 0);
  EXPECT_NE(out.find("File flight.igc written\n"), std::string::npos) << out;
  EXPECT_EQ(ReadAll("flight-T.igc"), Expected());  // the trimmed track, here the whole one
}

TEST_F(TrackSave, NameLengthLimits) {
  MakeTrack(5);
  std::string base(251, 'n'), out;
  std::strcpy(tGps.szFileName, base.c_str());
  EXPECT_EQ(Save(&out), 0);  // 255 characters: the longest name still gets its file
  EXPECT_EQ(out, "File " + base + ".igc written\n");
  std::strcpy(tGps.szFileName, (base + "n").c_str());
  EXPECT_EQ(Save(&out), -1);
  EXPECT_EQ(out, "File name too long\n");

  char name[256];
  std::strcpy(tGps.szFileName, (std::string(234, 'd') + "/").c_str());  // + 16-character stamp + ".igc"
  EXPECT_EQ(MakeLogFileName(name, 255, t0_, ".igc"), 0);
  std::strcpy(tGps.szFileName, (std::string(235, 'd') + "/").c_str());
  CaptureStdout();
  EXPECT_EQ(MakeLogFileName(name, 255, t0_, ".igc"), -1);
  EXPECT_EQ(GetCapturedStdout(), "File name too long\n");
}

TEST_F(TrackSave, RawIgcTextWrittenUnchangedUnderItsOwnTime) {
  MakeTrack(20);
  const char raw[] = "AXFLCompeo\r\nB1200004600000N00800000EA0100001000\r\n\0GABCDEF\r\n";
  tGps.pRawIgc = static_cast<uint8_t*>(std::malloc(sizeof raw));
  std::memcpy(tGps.pRawIgc, raw, sizeof raw);
  tGps.nRawIgcSize = tGps.nRawIgcLength = static_cast<int32_t>(sizeof raw - 1);
  tGps.dwRawIgcStartTime = t0_ + 3600;
  tGps.bTrim = 1;
  std::string out;
  EXPECT_EQ(Save(&out), 0);
  EXPECT_EQ(ReadAll("2013-07-21_12-42.igc"), std::string(raw, sizeof raw - 1));
  EXPECT_EQ(ReadAll("2013-07-21_12-42-T.igc"), std::string(raw, sizeof raw - 1));
}

TEST_F(TrackSave, UnwritableFileFailsTheRunButTooShortForKmlDoesNot) {
  MakeTrack(20);
  std::strcpy(tGps.szFileName, "missing/");
  std::string out;
  EXPECT_EQ(Save(&out), -1);
  EXPECT_EQ(out, "Couldn't create file missing/2013-07-21_11-42.igc\n");

  MakeTrack(4);
  tGps.szFileName[0] = '\0';
  tGps.dwFileTypes = kTrackFileIgc | kTrackFileKml;
  EXPECT_EQ(Save(&out), 0);
  EXPECT_TRUE(fs::exists("2013-07-21_11-42.igc"));
}

TEST_F(TrackSave, EarlierFileReplacedOnlyByACompleteOne) {
  MakeTrack(200);
  std::strcpy(tGps.szFileName, "flight");
  std::ofstream("flight.igc") << "earlier flight";
  // A file size limit below the text makes the write come up short.
  struct rlimit old, small;
  getrlimit(RLIMIT_FSIZE, &old);
  small = old;
  small.rlim_cur = 4096;
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  CaptureStdout();
  setrlimit(RLIMIT_FSIZE, &small);
  int result = SaveTracklog();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(GetCapturedStdout(), "Error writing file flight.igc\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(ReadAll("flight.igc"), "earlier flight");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);  // no temporary left

  std::string out;
  EXPECT_EQ(Save(&out), 0);
  EXPECT_EQ(ReadAll("flight.igc"), Expected());
}

}  // namespace
