// The serial port, its reader thread and the receive FIFO through which every
// serial protocol receives.
#pragma once

#include <cstddef>
#include <cstdint>

extern int hComPort;

int OpenComPort();
int CloseComPort();
int SetComSpeed(uint32_t baud);
int WriteComString(const char* text);
int WriteComData(const void* data, size_t length);
void FlushComFifo();
int NonEmptyComFifo();
uint8_t ReadComFifo();
void WriteComFifo(uint8_t byte);
void SignalHandlerIO(int sig);
void* ComThread(void* argument);

// Waits until a byte is in the FIFO or `seconds` have passed since `since`
// (seconds on the steady clock, see ComClockSeconds). Returns non-zero when a
// byte waits. It sleeps while it waits yet reacts to a byte within about a
// millisecond, so receive loops never burn a core.
int WaitComFifo(double since, double seconds);
// Seconds on a monotonic clock, the reference for every receive time-out.
double ComClockSeconds();
