// velmora-sim FAMILY [options]: plays an instrument on a pseudo-terminal.
#include <cstdio>
#include <cstring>

#include "families.h"
#include "pty.h"

namespace {

const sim::Family kFamilies[] = {
    {"flymaster", sim::kFlymasterUsage, sim::RunFlymaster},
    {"galileo", sim::kGalileoUsage, sim::RunGalileo},
    {"iqbasic", sim::kIqBasicUsage, sim::RunIqBasic},
    {"nmea", sim::kNmeaUsage, sim::RunNmea},
#ifdef VELMORA_SIM_SYRIDE
    {"syride", sim::kSyrideUsage, sim::RunSyride},
#endif
    {"mlr", sim::kMlrUsage, sim::RunMlr},
    {"xctrainer", sim::kXctrainerUsage, sim::RunXctrainer},
};

void Usage() {
  std::printf("usage: velmora-sim FAMILY [options]\n\nfamilies:\n");
  for (const auto& family : kFamilies) std::printf("  %s\n%s\n", family.name, family.usage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    Usage();
    return argc < 2 ? 2 : 0;
  }
  for (const auto& family : kFamilies) {
    if (std::strcmp(argv[1], family.name) != 0) continue;
    sim::InstallStopHandlers();
    return family.run(argc - 2, argv + 2);
  }
  std::printf("velmora-sim: unknown family %s\n", argv[1]);
  Usage();
  return 2;
}
