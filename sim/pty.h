// The emulator's side of a pseudo-terminal pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Opens a pseudo-terminal pair in raw mode and returns the master descriptor
// (non-blocking), or -1. *device receives the path of the slave side.
int OpenPty(std::string* device);

// True once SIGTERM or SIGINT has asked the emulator to stop.
bool StopRequested();
void InstallStopHandlers();

// Blocks until a client has the slave side open (or a stop is requested);
// false when stopped. A pseudo-terminal master reports POLLHUP while nobody
// holds the slave side.
bool WaitForClient(int master);

// Reads what the client sent within `timeoutMs` milliseconds into buffer.
// Returns the byte count, 0 on time-out, -1 once the client has hung up (after
// having connected) or a stop was requested.
int ReadSome(int master, uint8_t* buffer, size_t size, int timeoutMs);

// Writes all bytes; with a nonzero baud rate paced at 10 bits a byte.
// False when the client is gone.
bool WriteAll(int master, const void* data, size_t length, int baud = 0);

// Sleeps, waking early on a stop request.
void SleepMs(int ms);

}  // namespace sim
