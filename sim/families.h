// The emulated instrument families. Each runs the instrument's side of the
// protocol on the master of a pseudo-terminal until the client hangs up or a
// stop is requested, and returns the emulator's exit status.
#pragma once

namespace sim {

struct Family {
  const char* name;
  const char* usage;  // the family's options, one per line
  int (*run)(int master, int argc, char** argv);  // argv: the options after FAMILY
};

// Defined by the family modules.
int RunFlymaster(int master, int argc, char** argv);
extern const char* const kFlymasterUsage;
int RunNmea(int master, int argc, char** argv);
extern const char* const kNmeaUsage;

}  // namespace sim
