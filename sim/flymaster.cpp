// Placeholder until the Flymaster emulator lands.
#include <cstdio>

#include "families.h"

namespace sim {

const char* const kFlymasterUsage = "    (not yet)";

int RunFlymaster(int, int, char**) {
  std::printf("flymaster emulation is not in this build\n");
  return 1;
}

}  // namespace sim
