// The serial link is not in this build yet: opening a port says so and
// fails, and the FIFO stays empty, so no protocol waits on a port that
// cannot exist.
#include <cstdio>

#include "frame/state.h"
#include "link/com.h"

int hComPort = -1;

int OpenComPort() {
  std::printf("Serial link support is not in this build\n");
  return -1;
}
int CloseComPort() { return 0; }
void FlushComFifo() {}
int NonEmptyComFifo() { return 0; }
uint8_t ReadComFifo() { return 0; }
