#include "frame/entry.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "formats/file.h"
#include "formats/igc.h"
#include "frame/cmd.h"
#include "frame/config.h"
#include "frame/state.h"
#include "instruments/entry_points.h"

namespace {

struct FamilyEntry {
  int (*trackLog)();
  int (*waypointDownload)();  // null: not supported by the family
  int (*waypointUpload)();
};

// Indexed by instrument type 1..9.
constexpr FamilyEntry kFamilies[] = {
    {nullptr, nullptr, nullptr},
    {DownloadGalileoTrackLog, DownloadGalileoWaypoints, UploadGalileoWaypoints},
    {DownloadGarminTrackLog, DownloadGarminWaypoints, UploadGarminWaypoints},
    {DownloadMlrTrackLog, nullptr, nullptr},
    {DownloadXctTrackLog, nullptr, nullptr},
    {DownloadFlymasterTrackLog, DownloadFlymasterWaypoints, UploadFlymasterWaypoints},
    {DownloadDigiflyGraviterTrackLog, nullptr, nullptr},
    {DownloadIqBasicTrackLog, nullptr, nullptr},
    {DownloadNmeaStrings, nullptr, nullptr},
    {DownloadSyrideTrackLog, nullptr, nullptr},
};

const FamilyEntry* Family() {
  uint32_t type = tGps.nGpsType;
  return (type >= 1 && type <= 9) ? &kFamilies[type] : nullptr;
}

// Async-signal-safe: formats the message on the stack and writes it with write(2).
void WriteSignalMessage(const char* prefix, int sig) {
  char text[80];
  size_t n = 0;
  for (const char* p = prefix; *p != '\0' && n < 60; ++p) text[n++] = *p;
  char digits[12];
  int d = 0;
  unsigned value = sig < 0 ? 0u - static_cast<unsigned>(sig) : static_cast<unsigned>(sig);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && d < 11);
  if (sig < 0) text[n++] = '-';
  while (d > 0) text[n++] = digits[--d];
  text[n++] = '\n';
  ssize_t written = write(STDOUT_FILENO, text, n);
  (void)written;
}

int InstallHandler(int sig, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(sig, &action, nullptr);
}

int DownloadTrackLog() {
  const FamilyEntry* family = Family();
  if (family == nullptr) {
    std::printf("No GPS type specified\n");
    return -1;
  }
  if (family->trackLog() != 0) return -1;
  // In task mode the logger has saved every flight as it ended.
  if (tGps.nGpsType == kGpsNmea && tGps.bTaskMode) return 0;
  return SaveTracklog();
}

int DownloadWaypoints() {
  const FamilyEntry* family = Family();
  if (family == nullptr || family->waypointDownload == nullptr) {
    std::printf("Waypoint download not supported for the selected GPS\n");
    return -1;
  }
  if (family->waypointDownload() != 0) return -1;
  if ((tGps.dwFileTypes & kWptFileOzi) && SaveOziWaypoints() < 0) return -1;
  if ((tGps.dwFileTypes & kWptFileGpx) && SaveGpxWaypoints() < 0) return -1;
  if ((tGps.dwFileTypes & kWptFileKml) && SaveKmlWaypoints() < 0) return -1;
  return 0;
}

int UploadWaypoints() {
  const FamilyEntry* family = Family();
  if (family == nullptr || family->waypointUpload == nullptr) {
    std::printf("Waypoint upload not supported for the selected GPS\n");
    return -1;
  }
  if (ReadWaypointFile() != 0) return -1;
  return family->waypointUpload();
}

int Dispatch() {
  switch (tGps.nCommand) {
    case kCmdTrackLog: return DownloadTrackLog();
    case kCmdWaypointDownload: return DownloadWaypoints();
    case kCmdWaypointUpload: return UploadWaypoints();
    case kCmdTranslate: return TranslateIgcLog();
    default:
      std::printf("No GPS command found\n");
      return -1;
  }
}

}  // namespace

void VelmoraIntExit(int sig) {
  if (LoadShared(tGps.bTaskMode)) {
    restartTask.store(1, std::memory_order_release);
  } else {
    StoreShared(tGps.bStop, 1);
  }
  WriteSignalMessage("\nVelmoraIntExit(): Got signal ", sig);
}

void VelmoraSigExit(int sig) {
  StoreShared(tGps.bStop, 1);
  WriteSignalMessage("\nVelmoraSigExit(): Got signal ", sig);
  signal(sig, SIG_DFL);
}

void help() {
  std::printf(
      "\nVelmoraLinux 0.18 commands:\n\n"
      "-h   Display this text\n\n");
  std::printf(
      "-gc   GPS = Brauniger/Flytec family (not IQ Basic or Flytec 6015)\n"
      "-gdg  GPS = Digifly Graviter\n"
      "-gg   GPS = Garmin (most models)\n"
      "-giq  GPS = IQ Basic\n"
      "-gm   GPS = MLR protocols\n"
      "-gx   GPS = XCTrainer (MXP2004 protocol at 57600 bauds)\n"
      "-gy   GPS = Flymaster\n"
      "-gsy  GPS = Syride\n"
      "-gnm  GPS = Log NMEA strings\n\n");
  std::printf(
      "-c\"N\"     Serial port N, translated into /dev/ttyS\"N\"\n"
      "-ca\"name\" USB COM port, translated into /dev/ttyACM\"name\"\n"
      "-cu\"name\" USB-to-serial port, translated into /dev/ttyUSB\"name\"\n"
      "          No port is needed for Syride\n"
      "-c\"/path\" Any serial device by its absolute path, e.g. /dev/serial/by-id/...\n\n");
  std::printf(
      "-l\"File\"  Download a track and save it. Extensions .kml and .igc;\n"
      "          an unrecognised extension produces both files.\n"
      "          For the Brauniger/Flytec models the raw IGC data from the\n"
      "          instrument is saved. Without a name one is made from the\n"
      "          time stamp of the first position\n"
      "-t\"File\"  Set the logger to task mode. The optional waypoint file\n"
      "          (Ozi or Velmora/$FormatGeo format) defines a task whose\n"
      "          waypoints become the C records of the IGC file\n"
      "-f\"N\"     Select a specific flight (Brauniger/Flytec/Flymaster);\n"
      "          N = 0 displays a flight list\n"
      "-b\"N\"     Baud rate for NMEA strings, default 9600\n\n");
  std::printf(
      "-w\"File\"  Download waypoints and save them. Extensions .gpx, .wpt\n"
      "          (Ozi format) and .kml; an unrecognised extension produces\n"
      "          all three. Without a name one is made from the current time.\n"
      "          Supported: Garmin, Brauniger/Flytec and Flymaster\n"
      "-r\"File\"  Read waypoints from a file (Ozi or Velmora/$FormatGEO format)\n"
      "          and upload them. Supported: Garmin, Brauniger/Flytec and Flymaster\n\n");
  std::printf(
      "--gap \"Time\" Gap in whole minutes between consecutive points that\n"
      "          starts a new track; 0 = single track; not set = single track\n"
      "          unless the instrument divides it (e.g. Garmin). A list is\n"
      "          printed to select from (comma separated input)\n"
      "-x\"File\"  Convert .igc to .kml\n"
      "--trim    Also make a track file with the takeoff and/or landing filter\n"
      "          of the configuration file applied; for standard downloads and\n"
      "          the logger without a task\n"
      "--noana   Skip speed analysis\n"
      "--scroll  Progress lines to the terminal end with a line break\n"
      "--silent  No output to the terminal (NMEA type GPS)\n\n");
}

int VelmoraMain(int argc, char** argv) {
  if (argc <= 0) return -1;
  if (argc == 1) {
    help();
    return 0;
  }
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    if (std::strcmp(argv[i], "-v") == 0) {
      std::printf("%s\n", kVersionText);
      return 0;
    }
    if (std::strcmp(argv[i], "-h") == 0) {
      help();
      return 0;
    }
  }
  std::memset(&tGps, 0, sizeof tGps);
  if (InstallHandler(SIGINT, VelmoraIntExit) != 0) {
    std::printf("Failed to install SIGINT signal handler\n");
    return 0;
  }
  if (InstallHandler(SIGTERM, VelmoraSigExit) != 0) {
    std::printf("Failed to install SIGTERM signal handler\n");
    return 0;
  }
  // A file-size limit (ulimit -f) must make a write fail with its message,
  // not kill the run half way through a file.
  signal(SIGXFSZ, SIG_IGN);
  GetConfigParameters();
  SetDefaultParameters();
  if (argc > 1 && ParseArguments(argc - 1, argv + 1) < 0) {
    std::printf("\n");
    return -1;
  }
  return Dispatch();
}
