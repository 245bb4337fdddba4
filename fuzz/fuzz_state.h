// What every fuzz target shares: a clean state record before each input, and
// a scratch folder in memory for the files the writers make.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "frame/cmd.h"
#include "frame/state.h"

namespace fuzz {

// A folder of its own under /dev/shm (or TMPDIR), so file writes cost
// little and nothing lands in the source tree; the working folder stays, as
// libFuzzer reads its corpus by relative names. Returns the folder with a
// trailing slash, ready to stand before a file name in tGps.szFileName.
inline const char* ScratchFolder() {
  static char path[200];
  if (path[0] != '\0') return path;
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  std::snprintf(path, sizeof path, "%s/velmora-fuzz-XXXXXX", base);
  if (mkdtemp(path) == nullptr) abort();
  std::strcat(path, "/");
  std::atexit([] {
    if (DIR* dir = opendir(path)) {
      while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') unlinkat(dirfd(dir), entry->d_name, 0);
      }
      closedir(dir);
    }
    rmdir(path);
  });
  // Messages would only slow the run down.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) abort();
  return path;
}

// Frees what the previous input left in tGps and starts from the defaults a
// run has after its configuration.
inline void ResetGpsState() {
  std::free(tGps.pTrack);
  std::free(tGps.pWaypoints);
  std::free(tGps.pRawIgc);
  std::memset(&tGps, 0, sizeof tGps);
  SetDefaultParameters();
  tGps.bSilent = 1;
  ScratchFolder();
}

}  // namespace fuzz
