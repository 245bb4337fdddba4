// The emulated instrument families. Each reads its options from its own table
// (options.h; refusing bad ones before any pseudo-terminal exists, and
// answering -h with its usage), opens and announces the pseudo-terminal
// (OpenAnnouncedPty), runs the instrument's side of the protocol until the
// client hangs up or a stop is requested, and returns the exit status.
#pragma once

namespace sim {

struct Family {
  const char* name;
  const char* summary;  // what the emulator plays, in one line
  int (*run)(int argc, char** argv);  // argv: the options after FAMILY
  // The options, one per line, for a family whose parser has no -h of its
  // own: velmora-sim FAMILY -h prints them. Null where the family answers -h.
  const char* usage = nullptr;
};

// Defined by the family modules.
int RunDigifly(int argc, char** argv);
extern const char* const kDigiflyUsage;
int RunFlymaster(int argc, char** argv);
extern const char* const kFlymasterSummary;
int RunGarmin(int argc, char** argv);
extern const char* const kGarminUsage;
int RunGalileo(int argc, char** argv);
extern const char* const kGalileoUsage;
int RunIqBasic(int argc, char** argv);
extern const char* const kIqBasicUsage;
int RunNmea(int argc, char** argv);
extern const char* const kNmeaSummary;
int RunSyride(int argc, char** argv);
extern const char* const kSyrideUsage;
int RunMlr(int argc, char** argv);
extern const char* const kMlrUsage;
int RunXctrainer(int argc, char** argv);
extern const char* const kXctrainerUsage;

}  // namespace sim
