// The emulated instrument families. Each reads its options (refusing bad ones
// before any pseudo-terminal exists), opens and announces the pseudo-terminal
// (OpenAnnouncedPty), runs the instrument's side of the protocol until the
// client hangs up or a stop is requested, and returns the exit status.
#pragma once

namespace sim {

struct Family {
  const char* name;
  const char* usage;  // the family's options, one per line
  int (*run)(int argc, char** argv);  // argv: the options after FAMILY
};

// Defined by the family modules.
int RunFlymaster(int argc, char** argv);
extern const char* const kFlymasterUsage;
int RunGalileo(int argc, char** argv);
extern const char* const kGalileoUsage;
int RunIqBasic(int argc, char** argv);
extern const char* const kIqBasicUsage;
int RunNmea(int argc, char** argv);
extern const char* const kNmeaUsage;
int RunSyride(int argc, char** argv);
extern const char* const kSyrideUsage;
int RunMlr(int argc, char** argv);
extern const char* const kMlrUsage;
int RunXctrainer(int argc, char** argv);
extern const char* const kXctrainerUsage;

}  // namespace sim
