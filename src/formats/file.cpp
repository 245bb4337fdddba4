#include "formats/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/time.h"
#include "frame/state.h"

namespace {

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

}  // namespace

int MakeLogFileName(char* dest, int max, uint32_t gpsTime, const char* suffix) {
  char stamp[64];
  int stampLength = FormatTimeStampName(stamp, sizeof stamp, gpsTime);
  size_t limit = static_cast<size_t>(max);
  std::string name;
  if (tGps.szFileName[0] == '\0') {
    if (static_cast<size_t>(stampLength) > limit) return NameTooLong();
    name = stamp;
  } else {
    name = tGps.szFileName;
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
  char stamp[64];
  const char* name = tGps.szFileName;
  if (name[0] == '\0') {
    FormatTimeStampName(stamp, sizeof stamp, GetGpsTimeNow());
    name = stamp;
  }
  size_t nameLength = std::strlen(name), extensionLength = std::strlen(extension);
  if (nameLength > static_cast<size_t>(max) || extensionLength > static_cast<size_t>(max) - nameLength) {
    return NameTooLong();
  }
  std::memcpy(dest, name, nameLength);
  std::memcpy(dest + nameLength, extension, extensionLength + 1);
  return 0;
}

int WriteFileAtomically(const char* name, const void* data, size_t length) {
  // The temporary file stands in the same folder, so the rename stays on one
  // file system and replaces an earlier file in one step.
  std::string temporary = std::string(name) + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) return -1;
  fchmod(fd, 0644);
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
  return 0;
}
