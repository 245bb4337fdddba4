#include <cstdio>

#include "frame/entry.h"

int main(int argc, char** argv) {
  // Line buffering keeps our messages in order with the ones the signal
  // handlers write directly, also when standard output is a pipe.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  int result = VelmoraMain(argc, argv);
  std::fflush(stdout);
  return result == 0 ? 0 : 255;
}
