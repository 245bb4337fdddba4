// Line helpers of the MLR and XC Trainer emulators: the speed the client has
// set on the line, and sending at a steady line rate across many writes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// The speed the client has programmed on its side of the pseudo-terminal,
// in baud (the master reads the slave's settings); 0 when unknown.
int ClientBaud(int master);

// A line that carries at most baud / 10 bytes a second (unpaced when baud is
// 0). The clock runs from Restart, so a burst of many writes keeps the rate
// as a whole instead of starting afresh with each write.
struct PacedLine {
  int master = -1;
  int baud = 0;
  std::chrono::steady_clock::time_point start;
  uint64_t sent = 0;
};

void Restart(PacedLine* line, int baud);
// False when the client is gone, a stop was requested or it stopped reading.
bool SendPaced(PacedLine* line, const void* data, size_t length);
inline bool SendPaced(PacedLine* line, const std::string& bytes) { return SendPaced(line, bytes.data(), bytes.size()); }

// "N" or "N:M" option values; false when malformed or above `max`.
bool ParseNumber(const char* text, uint32_t max, uint32_t* value);
bool ParsePair(const char* text, uint32_t* first, uint32_t* second);

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim

namespace sim {
struct Flight;
// A flight of `points` fixes one second apart, wandering slowly about a
// point in the southern and western hemispheres and below sea level now and
// then, so that every sign of every field is exercised.
Flight MakeSteadyFlight(uint32_t points);
// The --flight file, else the steady flight of `points` when not 0, else the
// built-in flight; false after a message.
bool LoadFlight(const std::string& path, uint32_t points, Flight* flight);
}  // namespace sim
