#include "syride_device.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>

namespace sim {

namespace {

constexpr uint8_t kMarker = 0x17;
constexpr uint32_t kUnixOf2000 = 946684800u;
constexpr uint32_t kMaxDuration = 65535;  // the flight list holds the duration in 16 bits
constexpr size_t kMaxFlights = 255;
constexpr size_t kMaxRead = 61;

// V3 flights lie at fixed addresses, one slot per memory block number.
constexpr uint32_t kV3Base = 0x110C800u, kV3Slot = 0x130000u;
// The earlier models: 64 KiB blocks, byte 3 the next block, data from byte 24.
constexpr uint32_t kBlock = 0x10000u, kNextAt = 3, kDataAt = 24, kDataPerBlock = kBlock - kDataAt;
constexpr uint8_t kEndOfChain = 255;

constexpr size_t kHeader = 8;
constexpr uint8_t kUnused = 0xA5;  // the bytes of a record the firmware leaves alone

// The version from which each generation logs a barometric altitude.
bool FirmwareHasPressure(const SyrideConfig& c) {
  if (c.bV3) return c.dwMajor > 1 || (c.dwMajor == 1 && c.dwMinor >= 21);
  return c.dwMajor > 3 || (c.dwMajor == 3 && c.dwMinor >= 16);
}

void PutBe(std::vector<uint8_t>* out, int64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
}

void PutLe(uint8_t* out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

int64_t Clamp(int64_t value, int64_t limit) { return std::max(-limit - 1, std::min(limit, value)); }

// 1/60000 degree to 1e-7 degree.
int64_t Degree7(int32_t minuteThousandths) { return std::llround(minuteThousandths * 500.0 / 3.0); }

// One record a second: every 60th in full, the others as the amount to
// subtract from the one before. Deltas beyond their width are clamped (and
// the running value follows the clamp, as the firmware's would).
// The `noFix` seconds before the flight lie at 0/0: the instrument was
// logging before it had a fix.
std::vector<uint8_t> EncodeFlight(const Flight& flight, bool pressure, uint32_t noFix, uint32_t* duration,
                                  uint32_t* clamped) {
  const std::vector<FlightPoint>& pts = flight.points;
  uint32_t first = pts.front().dwTime - noFix;
  *duration = pts.back().dwTime - first + 1;
  std::vector<uint8_t> out = {'S', 'Y', 'R', 'F', 0, 0, 0, 0};
  int64_t lat = 0, lon = 0, alt = 0, baro = 0;
  size_t k = 0;
  for (uint32_t i = 0; i < *duration; ++i) {
    // A second the source skipped repeats the fix before it.
    while (k + 1 < pts.size() && pts[k + 1].dwTime <= first + i) ++k;
    const FlightPoint& p = pts[k];
    int64_t wantLat = i < noFix ? 0 : Degree7(p.nLatitude), wantLon = i < noFix ? 0 : Degree7(p.nLongitude);
    size_t start = out.size();
    if (i % 60 == 0) {
      lat = wantLat;
      lon = wantLon;
      alt = Clamp(p.nGpsAltitude, 32767);
      baro = Clamp(p.nPressureAltitude, 32767);
      PutBe(&out, lat, 4);
      PutBe(&out, lon, 4);
      PutBe(&out, alt, 2);
      if (pressure) PutBe(&out, baro, 2);
      out.resize(start + (pressure ? 21 : 19), kUnused);
    } else {
      int64_t d[4] = {Clamp(lat - wantLat, 32767), Clamp(lon - wantLon, 32767), Clamp(alt - p.nGpsAltitude, 127),
                      Clamp(baro - p.nPressureAltitude, 127)};
      if (d[0] != lat - wantLat || d[1] != lon - wantLon || d[2] != alt - p.nGpsAltitude ||
          (pressure && d[3] != baro - p.nPressureAltitude)) {
        ++*clamped;
      }
      lat -= d[0];
      lon -= d[1];
      alt -= d[2];
      baro -= d[3];
      PutBe(&out, d[0], 2);
      PutBe(&out, d[1], 2);
      PutBe(&out, d[2], 1);
      if (pressure) PutBe(&out, d[3], 1);
      out.resize(start + (pressure ? 15 : 14), kUnused);
    }
  }
  return out;
}

// Earlier models: the next free block in the order the firmware hands them
// out, which is deliberately not ascending.
uint8_t EarlierBlock(size_t n) { return static_cast<uint8_t>((17 + 37 * n) % 255); }

void LayOutEarlier(SyrideInstrument* inst, SyrideFlightEntry* entry, const std::vector<uint8_t>& data,
                   size_t* blocksUsed) {
  size_t blocks = (data.size() + kDataPerBlock - 1) / kDataPerBlock;
  for (size_t b = 0; b < blocks; ++b) entry->chain.push_back(EarlierBlock((*blocksUsed)++));
  entry->nBlock = entry->chain.front();
  for (size_t b = 0; b < blocks; ++b) {
    MemoryRegion region{entry->chain[b] * kBlock, std::vector<uint8_t>(kBlock, 0xFF)};
    std::fill(region.bytes.begin(), region.bytes.begin() + kDataAt, 0);
    uint8_t next = b + 1 < blocks ? entry->chain[b + 1] : kEndOfChain;
    if (blocks >= 2 && b == blocks - 2) {
      if (inst->config.eChain == kChainEndsEarly) next = kEndOfChain;
      if (inst->config.eChain == kChainLoops) next = entry->chain.front();
    }
    region.bytes[kNextAt] = next;
    size_t from = b * kDataPerBlock, count = std::min<size_t>(kDataPerBlock, data.size() - from);
    std::copy(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + count),
              region.bytes.begin() + kDataAt);
    inst->memory.push_back(std::move(region));
  }
}

uint8_t MemoryByte(const SyrideInstrument* inst, uint32_t address) {
  for (const MemoryRegion& r : inst->memory) {
    if (address >= r.dwAddress && address - r.dwAddress < r.bytes.size()) return r.bytes[address - r.dwAddress];
  }
  return 0xFF;
}

// Whether a read stays inside what some flight occupies.
bool ReadBelongsToFlight(const SyrideInstrument* inst, uint32_t address, uint32_t length) {
  uint64_t end = static_cast<uint64_t>(address) + length;
  for (const SyrideFlightEntry& f : inst->flights) {
    if (inst->config.bV3) {
      uint64_t start = static_cast<uint64_t>(f.nBlock) * kV3Slot + kV3Base;
      if (address >= start && end <= start + f.nSize) return true;
      continue;
    }
    for (size_t b = 0; b < f.chain.size(); ++b) {
      uint64_t start = static_cast<uint64_t>(f.chain[b]) * kBlock;
      uint64_t dataEnd = start + kDataAt + std::min<uint64_t>(kDataPerBlock, f.nSize - b * kDataPerBlock);
      if (address == start + kNextAt && length == 1) return true;
      if (address >= start + kDataAt && end <= dataEnd) return true;
    }
  }
  return false;
}

bool ZeroFrom(const uint8_t* request, size_t from) {
  return std::all_of(request + from, request + 63, [](uint8_t b) { return b == 0; });
}

uint8_t Sum(const uint8_t* report) {
  unsigned sum = 0;
  for (int i = 1; i <= 62; ++i) sum += report[i];
  return static_cast<uint8_t>(sum);
}

bool FaultHits(const FaultRange& f, uint32_t n) {
  return f.nFirst != 0 && n >= f.nFirst && (f.nCount == 0 || n - f.nFirst < f.nCount);
}

}  // namespace

Flight MakeLongFlight(uint32_t seconds) {
  constexpr double kMetresPerDegree = 111320.0, kPi = 3.14159265358979323846;
  Flight flight;
  flight.szSource = "synthetic long";
  double latitude = 45.8139, longitude = 6.2464, altitude = 1500.0, heading = 30.0;
  const int64_t t0 = SecondsSince2000(2024, 7, 2, 9, 0, 0);
  for (uint32_t s = 0; s < seconds; ++s) {
    // Cycles of 150 s circling in a thermal and 210 s gliding on a course
    // that swings slowly, so the track wanders over the hills.
    uint32_t cycle = s / 360, phase = s % 360;
    bool circling = phase < 150;
    heading = circling ? std::fmod(heading + 14.4, 360.0) : 30.0 + 80.0 * std::sin(cycle * 0.3);
    double speed = circling ? 8.0 : 11.0, rad = heading * kPi / 180.0;
    latitude += speed * std::cos(rad) / kMetresPerDegree;
    longitude += speed * std::sin(rad) / (kMetresPerDegree * std::cos(latitude * kPi / 180.0));
    altitude += (circling ? 2.0 : -300.0 / 210.0) + 0.6 * std::sin(s * 0.37);
    FlightPoint p;
    p.dwTime = static_cast<uint32_t>(t0 + s);
    p.nLatitude = static_cast<int32_t>(std::lround(latitude * 60000.0));
    p.nLongitude = static_cast<int32_t>(std::lround(longitude * 60000.0));
    p.nGpsAltitude = static_cast<int32_t>(std::lround(altitude));
    p.nPressureAltitude = p.nGpsAltitude - 15;
    flight.points.push_back(p);
  }
  return flight;
}

void SyrideLog(const SyrideInstrument* instrument, const char* format, ...) {
  if (instrument->pLog == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(instrument->pLog, format, args);
  va_end(args);
  std::fputc('\n', instrument->pLog);
  std::fflush(instrument->pLog);
}

bool BuildSyride(const SyrideConfig& config, const std::vector<Flight>& flights, SyrideInstrument* inst,
                 std::string* error) {
  inst->config = config;
  if (config.dwMajor == 0 && config.dwMinor == 0) {
    inst->config.dwMajor = config.bV3 ? 1 : 3;
    inst->config.dwMinor = config.bV3 ? 21 : 16;
  }
  inst->bPressure = FirmwareHasPressure(inst->config);
  if (flights.size() > kMaxFlights) {
    *error = "the flight list holds at most 255 flights";
    return false;
  }
  size_t blocksUsed = 0;
  for (size_t k = 0; k < flights.size(); ++k) {
    if (flights[k].points.empty() || flights[k].points.back().dwTime - flights[k].points.front().dwTime + config.nNoFix >= kMaxDuration) {
      *error = flights[k].szSource + ": a flight has 1 to 65535 seconds";
      return false;
    }
    SyrideFlightEntry entry;
    uint32_t clamped = 0;
    std::vector<uint8_t> data = EncodeFlight(flights[k], inst->bPressure, config.nNoFix, &entry.nDuration, &clamped);
    if (clamped > 0) SyrideLog(inst, "CLAMPED flight %zu: %u records too far from the one before", k + 1, clamped);
    entry.dwUnixStart = flights[k].points.front().dwTime - config.nNoFix + kUnixOf2000;
    entry.nSize = static_cast<uint32_t>(data.size());
    if (config.bV3) {
      entry.nBlock = static_cast<uint8_t>((k * 7 + 3) % 255);
      inst->memory.push_back(MemoryRegion{entry.nBlock * kV3Slot + kV3Base, std::move(data)});
    } else {
      if (blocksUsed + (data.size() + kDataPerBlock - 1) / kDataPerBlock > 255) {
        *error = "the flights do not fit the 255 memory blocks";
        return false;
      }
      LayOutEarlier(inst, &entry, data, &blocksUsed);
      if (config.eChain != kChainWhole && entry.chain.size() < 2) {
        SyrideLog(inst, "IGNORED chain fault: flight %zu fits one block", k + 1);
      }
    }
    inst->flights.push_back(std::move(entry));
  }
  return true;
}

bool AnswerSyrideRequest(SyrideInstrument* inst, const uint8_t* request, size_t length, std::vector<uint8_t>* reply) {
  uint32_t n = ++inst->nRequests;
  if (length != kSyrideReportSize) {
    SyrideLog(inst, "BAD REQUEST %u: %zu bytes", n, length);
    return false;
  }
  if (request[0] != 1 || request[63] != Sum(request)) {
    SyrideLog(inst, "BAD REQUEST %u: report byte 0 %u, checksum %u", n, request[0], request[63]);
    return false;
  }
  reply->assign(kSyrideReportSize, 0);
  uint8_t* r = reply->data();
  r[0] = 1;
  bool checked = true;
  uint8_t command = request[1];
  if (command == 9 && ZeroFrom(request, 2)) {
    SyrideLog(inst, "RX %u version", n);
    PutLe(r + 1, inst->config.dwMajor, 4);
    PutLe(r + 5, inst->config.dwMinor, 4);
  } else if (command == 0 && ZeroFrom(request, 2)) {
    SyrideLog(inst, "RX %u serial", n);
    PutLe(r + 1, inst->config.dwSerial, 4);
    std::copy_n("SYRIDE0\x01", 8, r + 5);
  } else if (command == 3 && ZeroFrom(request, 2)) {
    SyrideLog(inst, "RX %u count", n);
    r[1] = static_cast<uint8_t>(inst->flights.size());
  } else if (command == 5 && ZeroFrom(request, 3) && request[2] < inst->flights.size()) {
    SyrideLog(inst, "RX %u flight %u", n, request[2]);
    const SyrideFlightEntry& f = inst->flights[request[2]];
    std::fill(r + 1, r + 21, 0x5C);  // the entry's other fields, not read
    PutLe(r + 1, f.dwUnixStart, 4);
    r[7] = f.nBlock;
    PutLe(r + 9, f.nDuration, 2);
  } else if (command == 6 && ZeroFrom(request, 7) && request[6] >= 1 && request[6] <= kMaxRead) {
    uint32_t address = request[2] | request[3] << 8 | request[4] << 16 | static_cast<uint32_t>(request[5]) << 24;
    uint32_t count = request[6];
    SyrideLog(inst, "RX %u read 0x%08X %u", n, address, count);
    if (!ReadBelongsToFlight(inst, address, count)) SyrideLog(inst, "STRAY READ %u 0x%08X %u", n, address, count);
    for (uint32_t i = 0; i < count; ++i) r[1 + i] = MemoryByte(inst, address + i);
    // The earlier models answer a single byte without marker and checksum.
    checked = inst->config.bV3 || count != 1;
  } else {
    SyrideLog(inst, "BAD REQUEST %u: command %u", n, command);
    return false;
  }
  if (checked) {
    r[62] = kMarker;
    r[63] = Sum(r);
  }
  const FaultRange* f = inst->config.faults;
  if (FaultHits(f[kFaultSilent], n)) {
    SyrideLog(inst, "FAULT %u silent", n);
    return false;
  }
  if (FaultHits(f[kFaultMarker], n)) {
    SyrideLog(inst, "FAULT %u marker", n);
    r[62] = kMarker + 1;
  }
  if (FaultHits(f[kFaultChecksum], n)) {
    SyrideLog(inst, "FAULT %u checksum", n);
    r[63] = static_cast<uint8_t>(r[63] + 1);
  }
  if (FaultHits(f[kFaultShort], n)) {
    SyrideLog(inst, "FAULT %u short", n);
    reply->resize(kSyrideReportSize / 2);
  }
  return true;
}

}  // namespace sim
