#include "formats/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "analysis/analysis.h"
#include "common/time.h"
#include "formats/igc.h"
#include "frame/state.h"

namespace {

// SaveKmlTrackLog refuses a track of this many points or fewer.
constexpr int32_t kMinKmlPoints = 4;

int FormatTimeStampName(char* dest, size_t size, uint32_t gpsTime) {
  SystemTime st;
  ConvertGpsTimeToSystemTime(gpsTime, &st);
  return std::snprintf(dest, size, "%d-%02d-%02d_%02d-%02d", static_cast<int>(st.wYear), static_cast<int>(st.wMonth),
                       static_cast<int>(st.wDay), static_cast<int>(st.wHour), static_cast<int>(st.wMinute));
}

int NameTooLong() {
  std::printf("File name too long\n");
  return -1;
}

const char* TextOrNull(const char* text) { return text[0] != '\0' ? text : nullptr; }

// Writes the files asked for; *lost is set when one of them could not be
// written. A track too short for a KML document is no lost file.
void SaveTrackFiles(int trimmed, bool* lost) {
  if ((tGps.dwFileTypes & kTrackFileIgc) && SaveIgcTrackLog(trimmed) < 0) *lost = true;
  if (tGps.dwFileTypes & kTrackFileKml) {
    int32_t points = tGps.nTrackPoints;
    if (SaveKmlTrackLog(nullptr, trimmed) < 0 && points > kMinKmlPoints) *lost = true;
  }
}

}  // namespace

int MakeLogFileName(char* dest, int max, uint32_t gpsTime, const char* suffix) {
  if (max < 0) return NameTooLong();
  char stamp[64];
  int stampLength = FormatTimeStampName(stamp, sizeof stamp, gpsTime);
  size_t limit = static_cast<size_t>(max);
  std::string name;
  if (tGps.szFileName[0] == '\0') {
    if (static_cast<size_t>(stampLength) > limit) return NameTooLong();
    name = stamp;
  } else {
    name.assign(tGps.szFileName, strnlen(tGps.szFileName, sizeof tGps.szFileName));
    if (name.size() > limit) return NameTooLong();
    if (name.back() == '/') {
      name += stamp;
      if (name.size() > limit) return NameTooLong();
    }
  }
  name += suffix;
  if (name.size() > limit) return NameTooLong();
  std::memcpy(dest, name.c_str(), name.size() + 1);
  return 0;
}

int MakeWptFileName(char* dest, int max, const char* extension) {
  if (max < 0) return NameTooLong();
  char stamp[64];
  const char* name = tGps.szFileName;
  if (name[0] == '\0') {
    FormatTimeStampName(stamp, sizeof stamp, GetGpsTimeNow());
    name = stamp;
  }
  size_t nameLength = strnlen(name, sizeof tGps.szFileName), extensionLength = std::strlen(extension);
  if (nameLength > static_cast<size_t>(max) || extensionLength > static_cast<size_t>(max) - nameLength) {
    return NameTooLong();
  }
  std::memcpy(dest, name, nameLength);
  std::memcpy(dest + nameLength, extension, extensionLength + 1);
  return 0;
}

int WriteFileAtomically(const char* name, const void* data, size_t length) {
  // The temporary file stands in the same folder, so the rename stays on one
  // file system and replaces an earlier file in one step. Its own name is
  // short: a file name that fits the limit must not fail for a longer
  // temporary one.
  std::string temporary(name);
  size_t slash = temporary.rfind('/');
  temporary.erase(slash == std::string::npos ? 0 : slash + 1);
  size_t base = temporary.size();
  // Created like a plain file (0666 less the umask), under a name nobody else
  // holds: O_EXCL refuses one that exists.
  int fd = -1;
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".velmora-%d-%u", static_cast<int>(getpid()), ++counter);
    temporary.resize(base);
    temporary += suffix;
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) return -1;
  const char* p = static_cast<const char*>(data);
  size_t written = 0;
  while (written < length) {
    ssize_t n = write(fd, p + written, length - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  bool complete = written == length && fsync(fd) == 0;
  if (close(fd) != 0) complete = false;
  if (!complete || std::rename(temporary.c_str(), name) != 0) {
    unlink(temporary.c_str());
    return complete ? -1 : -2;
  }
  // The rename lives in the folder: flushed too, a laptop that loses power
  // right after "written" still finds the flight under its name.
  temporary.resize(base);
  int folder = open(base > 0 ? temporary.c_str() : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
  return 0;
}

int SaveIgcTrackLog(int trimmed) {
  const char* text = nullptr;
  size_t length = 0;
  uint32_t nameTime = 0;
  char* encoded = nullptr;
  if (tGps.pRawIgc != nullptr) {
    // The instrument's own file, signature and all, goes out byte for byte.
    int32_t n = std::max(tGps.nRawIgcLength, 0);
    if (tGps.nRawIgcSize > 0) n = std::min(n, tGps.nRawIgcSize);
    text = reinterpret_cast<const char*>(tGps.pRawIgc);
    length = static_cast<size_t>(n);
    nameTime = tGps.dwRawIgcStartTime;
  } else {
    if (tGps.pTrack == nullptr || tGps.nTrackPoints < 1) {
      std::printf("No track points to save\n");
      return -1;
    }
    int n = EncodeIgcLog(tGps.pTrack, tGps.nTrackPoints, TextOrNull(tGps.szPilotName), TextOrNull(tGps.szGliderType),
                         TextOrNull(tGps.szGliderId), TextOrNull(tGps.szCompClass), TextOrNull(tGps.szSiteName),
                         tGps.szProduct, nullptr, nullptr, tGps.dwDownloadTime, &encoded,
                         static_cast<int>(tGps.bSigned));
    if (n < 0) {
      std::printf("Memory allocation error\n");
      return -1;
    }
    text = encoded;
    length = static_cast<size_t>(n);
    nameTime = tGps.pTrack[0].dwTime;
  }
  char szName[256];
  int result = MakeLogFileName(szName, 255, nameTime, trimmed ? "-T.igc" : ".igc");
  if (result == 0) {
    switch (WriteFileAtomically(szName, text, length)) {
      case 0: std::printf("File %s written\n", szName); break;
      case -2:
        std::printf("Error writing file %s\n", szName);
        result = -1;
        break;
      default:
        std::printf("Couldn't create file %s\n", szName);
        result = -1;
        break;
    }
  }
  std::free(encoded);
  return result;
}

int SaveTracklog() {
  if (tGps.pTrack == nullptr || tGps.nTrackPoints <= 0) return -1;
  if (tGps.nGpsType == kGpsGarmin && CheckForInvalidTimeStamps() < 0) return -1;
  // A live log is kept as recorded.
  if (tGps.nGpsType != kGpsNmea) {
    if (CheckForMultipleTracks() < 0 || CheckForTimestampConsistency() < 0 || CheckForSpeedConsistency() < 0) {
      return -1;
    }
  }
  bool bLost = false;
  SaveTrackFiles(0, &bLost);
  if (tGps.bTrim) {
    // A failed trim has told why; the "-T" files then hold the whole track.
    TrimTrack();
    SaveTrackFiles(1, &bLost);
  }
  // A flight that did not reach its file must not end the run as a success.
  return bLost ? -1 : 0;
}
