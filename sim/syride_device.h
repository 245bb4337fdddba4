// The Syride instrument behind its USB HID interface: the flights laid out in
// its memory the way each generation stores them, and the answer to every
// 64-byte request. Knows nothing of how the reports travel.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "flight.h"

namespace sim {

constexpr size_t kSyrideReportSize = 64;

enum SyrideFault { kFaultMarker, kFaultChecksum, kFaultShort, kFaultSilent, kFaultKinds };

// Requests nFirst .. nFirst + nCount - 1 (counting from 1) get the fault;
// nCount 0 means every request from nFirst on. nFirst 0: off.
struct FaultRange {
  uint32_t nFirst = 0;
  uint32_t nCount = 1;
};

enum SyrideChain { kChainWhole, kChainEndsEarly, kChainLoops };

struct SyrideConfig {
  bool bV3 = true;
  uint32_t dwMajor = 0, dwMinor = 0;  // both 0: the generation's first firmware with pressure
  uint32_t dwSerial = 12345;
  uint32_t nNoFix = 0;  // seconds at 0/0 before every flight, a multiple of 60
  SyrideChain eChain = kChainWhole;
  FaultRange faults[kFaultKinds];
};

struct SyrideFlightEntry {
  uint32_t dwUnixStart;
  uint32_t nDuration;  // seconds, one record each
  uint8_t nBlock;
  uint32_t nSize;               // bytes of flight memory
  std::vector<uint8_t> chain;   // earlier models: the blocks holding it, in order
};

struct MemoryRegion {
  uint32_t dwAddress;
  std::vector<uint8_t> bytes;
};

struct SyrideInstrument {
  SyrideConfig config;
  bool bPressure = false;
  std::vector<SyrideFlightEntry> flights;
  std::vector<MemoryRegion> memory;
  uint32_t nRequests = 0;
  FILE* pLog = nullptr;
};

// A cross-country flight of `seconds` one-second fixes: climbs in thermals
// and glides between them, the same every run.
Flight MakeLongFlight(uint32_t seconds);

// Lays the flights out in memory; false with a message when they do not fit.
bool BuildSyride(const SyrideConfig& config, const std::vector<Flight>& flights, SyrideInstrument* instrument,
                 std::string* error);

// Answers one report written to the instrument: false when it gives no
// answer, else *reply holds the report to read (short under that fault).
bool AnswerSyrideRequest(SyrideInstrument* instrument, const uint8_t* request, size_t length,
                         std::vector<uint8_t>* reply);

void SyrideLog(const SyrideInstrument* instrument, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace sim
