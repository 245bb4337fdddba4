// Track saving: file names, the raw IGC text, failures that must reach the
// exit status, and replacing an earlier file only with a complete one.
#include "formats/file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// Runs each test in a fresh folder with a clean state record.
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
    std::memset(&tGps, 0, sizeof tGps);
  }
  // A slow, steady track of `n` points one second apart, IGC only.
  void MakeTrack(int32_t n) {
    tGps.pTrack = static_cast<TrackPoint*>(std::malloc(sizeof(TrackPoint) * static_cast<size_t>(n)));
    for (int32_t i = 0; i < n; ++i) {
      tGps.pTrack[i] = TrackPoint{0, t0_ + static_cast<uint32_t>(i), 550000000 + i * 100, 95000000, 15000, 1400};
    }
    tGps.nTrackPoints = tGps.nTrackSize = n;
    tGps.nGpsType = kGpsFlymaster;
    tGps.dwFileTypes = kTrackFileIgc;
    tGps.bSigned = 1;
  }
  std::string Expected() const {
    char* text = nullptr;
    int n = EncodeIgcLog(tGps.pTrack, tGps.nTrackPoints, tGps.szPilotName, nullptr, nullptr, nullptr, nullptr,
                         tGps.szProduct, nullptr, nullptr, tGps.dwDownloadTime, &text, 1);
    std::string s(text, static_cast<size_t>(n));
    std::free(text);
    return s;
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir_)) {
      if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir_).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string dir_;
  fs::path old_;
  uint32_t t0_ = 0;
};

TEST_F(TrackSave, NamesFromTimeStampFolderOrGivenName) {
  MakeTrack(20);
  std::strcpy(tGps.szPilotName, "Ann Pilot");
  std::strcpy(tGps.szProduct, "Flymaster GPS SD");
  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), 0);
  EXPECT_EQ(GetCapturedStdout(), "File 2013-07-21_11-42.igc written\n");
  EXPECT_EQ(ReadAll("2013-07-21_11-42.igc"), Expected());

  fs::create_directory("flights");
  std::strcpy(tGps.szFileName, "flights/");
  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), 0);
  EXPECT_EQ(GetCapturedStdout(), "File flights/2013-07-21_11-42.igc written\n");

  std::strcpy(tGps.szFileName, "flight");
  tGps.bTrim = 1;
  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), 0);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("File flight.igc written\n"), std::string::npos) << out;
  EXPECT_NE(out.find("File flight-T.igc written\n"), std::string::npos) << out;
  EXPECT_EQ(Files(), (std::vector<std::string>{"2013-07-21_11-42.igc", "flight-T.igc", "flight.igc",
                                               "flights/2013-07-21_11-42.igc"}));
}

TEST_F(TrackSave, NameLengthLimits) {
  MakeTrack(5);
  char name[256];
  std::string base(251, 'n');
  std::strcpy(tGps.szFileName, base.c_str());
  ASSERT_EQ(MakeLogFileName(name, 255, t0_, ".igc"), 0);
  EXPECT_EQ(std::string(name), base + ".igc");
  CaptureStdout();
  EXPECT_EQ(SaveIgcTrackLog(0), 0);  // the longest name still gets its file
  EXPECT_EQ(GetCapturedStdout(), "File " + base + ".igc written\n");
  EXPECT_EQ(ReadAll(base + ".igc"), Expected());

  std::strcpy(tGps.szFileName, (base + "n").c_str());
  CaptureStdout();
  EXPECT_EQ(MakeLogFileName(name, 255, t0_, ".igc"), -1);
  EXPECT_EQ(SaveTracklog(), -1);
  EXPECT_EQ(GetCapturedStdout(), "File name too long\nFile name too long\n");

  // A folder and the 16-character time stamp share the same limit.
  std::strcpy(tGps.szFileName, (std::string(234, 'd') + "/").c_str());
  EXPECT_EQ(MakeLogFileName(name, 255, t0_, ".igc"), 0);
  std::strcpy(tGps.szFileName, (std::string(235, 'd') + "/").c_str());
  CaptureStdout();
  EXPECT_EQ(MakeLogFileName(name, 255, t0_, ".igc"), -1);
  GetCapturedStdout();

  std::strcpy(tGps.szFileName, "pts/");
  ASSERT_EQ(MakeWptFileName(name, 255, ".gpx"), 0);
  EXPECT_STREQ(name, "pts/.gpx");
}

TEST_F(TrackSave, RawIgcTextWrittenUnchangedUnderItsOwnTime) {
  MakeTrack(20);
  const char raw[] = "AXFLCompeo\r\nB1200004600000N00800000EA0100001000\r\n\0GABCDEF\r\n";
  tGps.pRawIgc = static_cast<uint8_t*>(std::malloc(sizeof raw));
  std::memcpy(tGps.pRawIgc, raw, sizeof raw);
  tGps.nRawIgcSize = tGps.nRawIgcLength = static_cast<int32_t>(sizeof raw - 1);
  tGps.dwRawIgcStartTime = t0_ + 3600;
  tGps.bTrim = 1;
  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), 0);
  GetCapturedStdout();
  const std::string bytes(raw, sizeof raw - 1);
  EXPECT_EQ(ReadAll("2013-07-21_12-42.igc"), bytes);
  EXPECT_EQ(ReadAll("2013-07-21_12-42-T.igc"), bytes);
  std::free(tGps.pRawIgc);
}

TEST_F(TrackSave, UnwritableFileFailsTheRun) {
  MakeTrack(20);
  std::strcpy(tGps.szFileName, "missing/");
  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), -1);
  EXPECT_EQ(GetCapturedStdout(), "Couldn't create file missing/2013-07-21_11-42.igc\n");

  // Too short for KML is no write failure: the IGC file alone decides.
  std::free(tGps.pTrack);
  tGps.pTrack = nullptr;
  tGps.szFileName[0] = '\0';
  MakeTrack(4);
  tGps.dwFileTypes = kTrackFileIgc | kTrackFileKml;
  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), 0);
  GetCapturedStdout();
  EXPECT_TRUE(fs::exists("2013-07-21_11-42.igc"));
}

TEST_F(TrackSave, EarlierFileReplacedOnlyByACompleteOne) {
  MakeTrack(200);
  std::strcpy(tGps.szFileName, "flight");
  {
    std::ofstream("flight.igc") << "earlier flight";
  }
  // A file size limit below the text makes the write come up short.
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 4096;
  CaptureStdout();
  setrlimit(RLIMIT_FSIZE, &small);
  int result = SaveTracklog();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(GetCapturedStdout(), "Error writing file flight.igc\n");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(ReadAll("flight.igc"), "earlier flight");
  EXPECT_EQ(Files(), std::vector<std::string>{"flight.igc"});  // no temporary left behind

  CaptureStdout();
  EXPECT_EQ(SaveTracklog(), 0);
  GetCapturedStdout();
  EXPECT_EQ(ReadAll("flight.igc"), Expected());
}

}  // namespace
