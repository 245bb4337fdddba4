// Syride instruments: a USB HID device reached through hidraw. Every
// exchange is one 64-byte request answered by one 64-byte reply. The V3 keeps
// each flight at a fixed address; the earlier models chain 64 KiB blocks.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/conv.h"
#include "common/input.h"
#include "common/time.h"
#include "frame/state.h"
#include "instruments/entry_points.h"
#include "instruments/syride.h"
#include "link/com.h"
#include "link/hid.h"

namespace syride {

namespace {

constexpr uint16_t kSyrideVendor = 1155;
constexpr int kAttempts = 3;
// The instrument answers within milliseconds; a reply this late is lost.
constexpr double kReplySeconds = 1.0;
constexpr uint8_t kReplyMarker = 23;
constexpr uint32_t kMaxChunk = 61;
constexpr uint32_t kUnixToGpsTime = 631065600u;

constexpr uint8_t kCmdSerial = 0, kCmdFlightCount = 3, kCmdFlightData = 5, kCmdMemory = 6, kCmdVersion = 9;

// V3: flight b at kV3Base + b * kV3Stride.
constexpr uint32_t kV3Base = 0x110C800u, kV3Stride = 0x130000u;
// Earlier models: 64 KiB blocks, byte 3 names the next block, data from 24 on.
constexpr uint32_t kBlockSize = 0x10000u, kNextBlockOffset = 3, kBlockDataOffset = 24, kBlockData = 65512;
constexpr uint8_t kChainEnd = 255;

constexpr int kHeaderBytes = 8;
constexpr int kFullEvery = 60;
// 2^31 / 180 / 10^7: semicircles per 10^-7 degree.
constexpr double kDegree7ToSemicircle = 1.1930464711111;
// Within half a degree of 0/0 the instrument has no fix yet.
constexpr int32_t kNoFixSemicircles = 5965232;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
int32_t Be32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]));
}
int16_t Be16(const uint8_t* p) { return static_cast<int16_t>(p[0] << 8 | p[1]); }

// A failed step ends the download with its message, or with "Interrupted"
// when a stop request is what made it fail.
int Fail(const char* message) {
  if (StopRequested()) return ReportInterrupted("");
  std::printf("%s\n", message);
  return -1;
}

int32_t ToSemicircles(int64_t degree7) {
  // Positions pass through single precision, as the instrument's own
  // software has always converted them.
  return RoundHalfAwayFromZero(static_cast<double>(static_cast<float>(degree7)) * kDegree7ToSemicircle);
}

int32_t Saturate(int64_t value) {
  return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : static_cast<int32_t>(value);
}

}  // namespace

void USB_MakeChecksum(uint8_t* report) {
  uint8_t sum = 0;
  for (int i = 1; i <= 62; ++i) sum = static_cast<uint8_t>(sum + report[i]);
  report[63] = sum;
}

int USB_CheckChecksum(const uint8_t* report) {
  uint8_t sum = 0;
  for (int i = 1; i <= 62; ++i) sum = static_cast<uint8_t>(sum + report[i]);
  return report[63] == sum ? 1 : 0;
}

bool ReplyAccepted(const uint8_t* reply) { return reply[62] == kReplyMarker && USB_CheckChecksum(reply); }

void DecodeProductData(SyrideDevice* dev, uint16_t product, const uint8_t* version, const uint8_t* serial) {
  uint32_t major = Le32(version), minor = Le32(version + 4), number = Le32(serial);
  dev->bV3 = product == kProductV3 ? 1 : 0;
  // Firmware from these versions on stores a barometric altitude per record.
  if (dev->bV3) {
    dev->bPressure = (major >= 2 || (major == 1 && minor >= 21)) ? 1 : 0;
    std::printf("Syride V3: SW %u.%u, SNR %u\n", major, minor, number);
  } else {
    dev->bPressure = (major >= 4 || (major == 3 && minor >= 16)) ? 1 : 0;
    std::printf("Syride: SW %u.%u, SNR %u\n", major, minor, number);
  }
}

void DecodeFlightEntry(SyrideDevice* dev, uint32_t index, const uint8_t* data) {
  dev->adwStartTime[index] = Le32(data) - kUnixToGpsTime;
  dev->adwMemoryBlock[index] = data[6];
  dev->adwDuration[index] = static_cast<uint32_t>(data[8] | data[9] << 8);
  SystemTime st;
  ConvertGpsTimeToSystemTime(dev->adwStartTime[index], &st);
  uint32_t d = dev->adwDuration[index];
  std::printf("%d   %02d.%02d.%02d   %02d:%02d:%02d   %02d:%02d:%02d\n", static_cast<int>(index + 1),
              static_cast<int>(st.wDay), static_cast<int>(st.wMonth), static_cast<int>(st.wYear) - 2000,
              static_cast<int>(st.wHour), static_cast<int>(st.wMinute), static_cast<int>(st.wSecond),
              static_cast<int>(d / 3600), static_cast<int>(d % 3600 / 60), static_cast<int>(d % 60));
}

uint32_t FlightMemorySize(bool pressure, uint32_t duration) {
  uint32_t full = (duration + kFullEvery - 1) / kFullEvery;
  return pressure ? duration * 15 + full * 6 + kHeaderBytes : duration * 14 + full * 5 + kHeaderBytes;
}

int DecodeFlightMemory(const SyrideDevice* dev, int index, const uint8_t* memory, uint32_t length,
                       TrackPoint* track) {
  bool pressure = dev->bPressure != 0;
  uint32_t offset = kHeaderBytes;
  // Wide running values: no sequence of deltas can overflow them.
  int64_t lat = 0, lon = 0, alt = 0, baro = 0;
  int stored = 0;
  for (uint32_t i = 0; i < dev->adwDuration[index]; ++i) {
    bool full = i % kFullEvery == 0;
    uint32_t record = full ? (pressure ? 21 : 19) : (pressure ? 15 : 14);
    if (offset > length || length - offset < record) break;
    const uint8_t* p = memory + offset;
    offset += record;
    if (full) {
      lat = Be32(p);
      lon = Be32(p + 4);
      alt = Be16(p + 8);
      if (pressure) baro = Be16(p + 10);
    } else {
      lat -= Be16(p);
      lon -= Be16(p + 2);
      alt -= static_cast<int8_t>(p[4]);
      if (pressure) baro -= static_cast<int8_t>(p[5]);
    }
    TrackPoint point;
    point.dwFlags = stored == 0 ? kSegmentStart : 0;
    point.dwTime = dev->adwStartTime[index] + i;
    point.nLatitude = ToSemicircles(lat);
    point.nLongitude = ToSemicircles(lon);
    point.nGpsAltitude = Saturate(alt * 10);
    point.nPressureAltitude = pressure ? Saturate(baro) : 0;
    bool noFix = point.nLatitude >= -kNoFixSemicircles && point.nLatitude <= kNoFixSemicircles &&
                 point.nLongitude >= -kNoFixSemicircles && point.nLongitude <= kNoFixSemicircles;
    if (!noFix) track[stored++] = point;
  }
  return stored;
}

namespace {

int USB_WriteReport(SyrideDevice* dev, const uint8_t* report) { return WriteHidReport(dev->hDevice, report); }

int USB_ReadReport(SyrideDevice* dev, uint8_t* report) {
  return ReadHidReport(dev->hDevice, report, kReplySeconds) == 0 ? 0 : -1;
}

void MakeRequest(uint8_t* request, uint8_t command) {
  std::memset(request, 0, kHidReportSize);
  request[0] = 1;
  request[1] = command;
}

void MakeMemoryRequest(uint8_t* request, uint32_t address, uint32_t length) {
  MakeRequest(request, kCmdMemory);
  for (int i = 0; i < 4; ++i) request[2 + i] = static_cast<uint8_t>(address >> (8 * i));
  request[6] = static_cast<uint8_t>(length);
  USB_MakeChecksum(request);
}

// One attempt: the request out, its reply in. A late reply to an earlier
// attempt must not pass for this one's, so waiting reports are dropped first.
int Transact(SyrideDevice* dev, const uint8_t* request, uint8_t* reply) {
  DrainHidReports(dev->hDevice);
  if (USB_WriteReport(dev, request) < 0) return -1;
  return USB_ReadReport(dev, reply);
}

// Up to three attempts until a reply carries the marker and a valid checksum.
int Exchange(SyrideDevice* dev, const uint8_t* request, uint8_t* reply) {
  for (int attempt = 0; attempt < kAttempts && !StopRequested(); ++attempt) {
    if (Transact(dev, request, reply) == 0 && ReplyAccepted(reply)) return 0;
  }
  return -1;
}

int USB_GetProductValueVar(SyrideDevice* dev, uint8_t command, uint8_t parameter, uint8_t* dest, int length) {
  uint8_t request[kHidReportSize], reply[kHidReportSize];
  MakeRequest(request, command);
  request[2] = parameter;
  USB_MakeChecksum(request);
  if (Exchange(dev, request, reply) < 0) return -1;
  std::memcpy(dest, reply + 1, static_cast<size_t>(length));
  return 0;
}

int USB_GetProductValue(SyrideDevice* dev, uint8_t command, uint8_t* dest, int length) {
  return USB_GetProductValueVar(dev, command, 0, dest, length);
}

// The earlier models answer this read without marker and checksum, so the
// reply is taken as it comes, in one attempt.
int USB_ReadData(SyrideDevice* dev, uint32_t address, uint8_t* dest, uint32_t length) {
  uint8_t request[kHidReportSize], reply[kHidReportSize];
  MakeMemoryRequest(request, address, length);
  if (Transact(dev, request, reply) < 0) return -1;
  std::memcpy(dest, reply + 1, length);
  return 0;
}

// Checked reads of `length` bytes from `address` in chunks; false when a
// chunk fails its three attempts.
bool ReadMemory(SyrideDevice* dev, uint32_t address, uint8_t* dest, uint32_t length) {
  uint8_t request[kHidReportSize], reply[kHidReportSize];
  for (uint32_t done = 0; done < length;) {
    uint32_t chunk = length - done < kMaxChunk ? length - done : kMaxChunk;
    MakeMemoryRequest(request, address + done, chunk);
    if (Exchange(dev, request, reply) < 0) return false;
    std::memcpy(dest + done, reply + 1, chunk);
    done += chunk;
  }
  return true;
}

uint32_t USB_GetFlightMemoryV3(SyrideDevice* dev, uint8_t* dest, uint32_t block, uint32_t length) {
  return ReadMemory(dev, block * kV3Stride + kV3Base, dest, length) ? length : 0;
}

// Follows the block chain until the flight's bytes are in. A chain that ends
// early or comes back to a block already read returns what it had: short of
// the flight, which the caller reports.
uint32_t USB_GetFlightMemory(SyrideDevice* dev, uint8_t* dest, uint32_t block, uint32_t length) {
  bool abVisited[256] = {};
  uint32_t done = 0;
  while (done < length && block != kChainEnd && !abVisited[block]) {
    abVisited[block] = true;
    uint32_t start = block * kBlockSize;
    uint8_t next;
    if (USB_ReadData(dev, start + kNextBlockOffset, &next, 1) < 0) return 0;
    uint32_t part = length - done < kBlockData ? length - done : kBlockData;
    if (!ReadMemory(dev, start + kBlockDataOffset, dest + done, part)) return 0;
    done += part;
    block = next;
  }
  return done;
}

int ReadProductData(SyrideDevice* dev) {
  static int anNodes[kMaxHidNodes];
  int nNodes = ListHidNodes(anNodes, kMaxHidNodes);
  uint16_t product = 0;
  for (int i = 0; i < nNodes && dev->hDevice < 0; ++i) {
    int h = OpenHidNode(anNodes[i]);
    if (h < 0) continue;
    HidInfo info;
    if (GetHidInfo(h, &info) == 0 && info.wVendor == kSyrideVendor &&
        (info.wProduct == kProductEarlier || info.wProduct == kProductV3)) {
      dev->hDevice = h;
      product = info.wProduct;
    } else {
      CloseHidNode(h);
    }
  }
  if (dev->hDevice < 0) return Fail("No Syride found");

  uint8_t version[kVersionBytes], serial[kSerialBytes];
  if (USB_GetProductValue(dev, kCmdVersion, version, sizeof version) < 0) {
    return Fail("Error getting product data (version)");
  }
  if (USB_GetProductValue(dev, kCmdSerial, serial, sizeof serial) < 0) {
    return Fail("Error getting product data (serial number)");
  }
  DecodeProductData(dev, product, version, serial);
  return 0;
}

// The chosen flight number from 1, or -1.
int ReadTrackList(SyrideDevice* dev) {
  uint8_t count;
  if (USB_GetProductValue(dev, kCmdFlightCount, &count, 1) < 0) {
    return Fail("Error getting flight list (number of flights)");
  }
  if (count == 0) return Fail("No flights available");
  dev->nFlights = count;
  std::printf("Track list:\n");
  for (uint32_t i = 0; i < dev->nFlights; ++i) {
    uint8_t data[kFlightEntryBytes];
    if (USB_GetProductValueVar(dev, kCmdFlightData, static_cast<uint8_t>(i), data, sizeof data) < 0) {
      return Fail("Error getting flight data");
    }
    DecodeFlightEntry(dev, i, data);
  }
  int selected = tGps.nFlightSelect;
  if (selected >= 0) {
    if (selected == 0) return -1;  // the list was all that was asked for
  } else {
    std::printf("Select: ");
    std::fflush(stdout);
    if (ReadInputInteger(&selected) < 0) return Fail("No flight number found");
    if (selected < 0) return -1;
  }
  if (selected == 0 || static_cast<uint32_t>(selected) > dev->nFlights) return Fail("Flight number out of range");
  return selected;
}

int ReadTrackLog(SyrideDevice* dev, int flight) {
  int index = flight - 1;
  uint32_t d = dev->adwDuration[index];
  uint32_t size = FlightMemorySize(dev->bPressure != 0, d);
  uint8_t* memory = static_cast<uint8_t*>(std::malloc(size));
  if (memory == nullptr) return Fail("Error allocating buffer for track data");
  uint32_t got = dev->bV3 ? USB_GetFlightMemoryV3(dev, memory, dev->adwMemoryBlock[index], size)
                          : USB_GetFlightMemory(dev, memory, dev->adwMemoryBlock[index], size);
  if (got != size) {
    std::free(memory);
    return Fail("Error reading track log data");
  }
  std::free(tGps.pTrack);
  tGps.nTrackPoints = 0;
  // A flight of no seconds still gets an array, empty.
  uint32_t capacity = d > 0 ? d : 1;
  tGps.pTrack = static_cast<TrackPoint*>(std::malloc(capacity * sizeof(TrackPoint)));
  if (tGps.pTrack == nullptr) {
    tGps.nTrackSize = 0;
    std::free(memory);
    return Fail("Memory allocation error");
  }
  tGps.nTrackSize = static_cast<int32_t>(capacity);
  tGps.nTrackPoints = DecodeFlightMemory(dev, index, memory, size, tGps.pTrack);
  tGps.bSigned = 1;
  tGps.bUtcTime = 1;
  tGps.bPressureAltitude = dev->bPressure;
  tGps.dwDownloadTime = GetGpsTimeNow();
  std::free(memory);
  std::printf("Got %d points\n", tGps.nTrackPoints);
  return 0;
}

}  // namespace

}  // namespace syride

int DownloadSyrideTrackLog() {
  static syride::SyrideDevice dev;
  std::memset(&dev, 0, sizeof dev);
  dev.hDevice = -1;
  int result = syride::ReadProductData(&dev);
  if (result == 0) {
    int flight = syride::ReadTrackList(&dev);
    result = flight > 0 ? syride::ReadTrackLog(&dev, flight) : -1;
  }
  if (dev.hDevice >= 0) CloseHidNode(dev.hDevice);
  return result < 0 ? -1 : 0;
}
