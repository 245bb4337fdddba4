// The emulator's side of a pseudo-terminal pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Opens a pseudo-terminal pair in raw mode and returns the master descriptor
// (non-blocking), or -1. *device receives the path of the slave side.
int OpenPty(std::string* device);

// Opens the pair and prints "PTY <slave path>" as the first line (flushed),
// so whoever started the emulator learns where to connect; -1 after printing
// a message when no pseudo-terminal can be had.
int OpenAnnouncedPty();

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
// False when the client is gone, a stop was requested, or the client has not
// taken a single byte for 10 s (it holds the line open but stopped reading).
bool WriteAll(int master, const void* data, size_t length, int baud = 0);

// Byte-wise reading on top of ReadSome, for protocols that decide byte by byte.
struct ByteInput {
  int master = -1;
  uint8_t ab[512];
  size_t nCount = 0;  // bytes in ab
  size_t nPos = 0;    // next byte to hand out
};

constexpr int kReadTimeout = -1;  // nothing arrived in time
constexpr int kReadGone = -2;     // the client hung up or a stop was requested

// The next byte (0..255), kReadTimeout after `timeoutMs` without one, or kReadGone.
int ReadByte(ByteInput* input, int timeoutMs);
// Gives back the byte ReadByte returned last, so that the next call returns it again.
void UnreadByte(ByteInput* input);

// Sleeps, waking early on a stop request.
void SleepMs(int ms);

}  // namespace sim
