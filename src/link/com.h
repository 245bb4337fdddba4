// The serial port, its reader thread and the receive FIFO through which every
// serial protocol receives.
//
// One port is open at a time. The reader thread is the only producer of the
// FIFO in tGps, the main thread its only consumer; the indices are shared
// words with one writer each (release stores, acquire loads).
#pragma once

#include <cstddef>
#include <cstdint>

// Descriptor of the open port, -1 while none is open.
extern int hComPort;
// Set to 1 by SignalHandlerIO; nothing clears it. The reader thread does not
// depend on it (it waits in poll), see com.cpp.
extern uint32_t nRawDataAvailable;

// Opens tGps.szComPort (any terminal device by its path), programs 8N1 raw at
// the speed of tGps.nGpsType, empties the FIFO and starts the reader thread.
// 0, or -1 with "Could not open COM port %s\n".
int OpenComPort();
// Stops and joins the reader thread, then closes the descriptor. Harmless
// when no port is open. Returns the result of close (0 when nothing to close).
int CloseComPort();
// 57600, 38400, 19200 and 4800 give that speed, any other value 9600. Pending
// input is discarded. 0, or -1 when no port is open or the line refused.
int SetComSpeed(uint32_t baud);
// Write all bytes (a string without its NUL). A stalled or dead line ends
// the write after a few seconds without progress. 0, or -1 when not every
// byte went out.
int WriteComString(const char* text);
int WriteComData(const void* data, size_t length);
void FlushComFifo();
int NonEmptyComFifo();
// The next byte, or 0 (and nothing consumed) when the FIFO is empty.
uint8_t ReadComFifo();
// Puts a byte into the FIFO from the consumer's side, for feeding a decoder
// while no reader thread runs. A byte that finds the FIFO full is dropped
// rather than wrapping the FIFO into looking empty.
void WriteComFifo(uint8_t byte);
void SignalHandlerIO(int sig);
void* ComThread(void* argument);

// What the shared waits return when a stop was requested (SIGINT outside
// task mode, SIGTERM): callers treat it like their time-out, with the
// protocol's cancel where it has one, and end the run with status 255.
constexpr int kWaitInterrupted = -1;

// Waits until a byte is in the FIFO or `seconds` have passed since `since`
// (seconds on the steady clock, see ComClockSeconds). Returns 1 when a byte
// waits, 0 at the time-out, kWaitInterrupted within about 100 ms of a stop
// request. It sleeps while it waits yet reacts to a byte within about a
// millisecond, so receive loops never burn a core.
int WaitComFifo(double since, double seconds);
// A protocol's pause: 0 after `seconds`, or kWaitInterrupted as soon as a
// stop is requested.
int PauseSeconds(double seconds);
// The one line an interrupted transfer ends with; `prefix` is " " while a
// progress counter stands on the line. Returns -1 for the caller to pass up.
int ReportInterrupted(const char* prefix);
// Seconds on a monotonic clock, the reference for every receive time-out.
double ComClockSeconds();
