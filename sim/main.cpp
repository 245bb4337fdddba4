// velmora-sim FAMILY [options]: plays an instrument on a pseudo-terminal.
#include <cstdio>
#include <cstring>

#include "families.h"
#include "pty.h"

namespace {

const sim::Family kFamilies[] = {
    {"flymaster", sim::kFlymasterSummary, sim::RunFlymaster},
    {"nmea", sim::kNmeaSummary, sim::RunNmea},
    {"galileo", "a Brauniger/Flytec instrument: flight list, its own IGC text, waypoints", sim::RunGalileo,
     sim::kGalileoUsage},
    {"iqbasic", "an IQ Basic or Flytec 6015: flight list and its own IGC text", sim::RunIqBasic, sim::kIqBasicUsage},
#ifdef VELMORA_SIM_SYRIDE
    {"syride", "a Syride on emulated hidraw nodes (umockdev): runs COMMAND after --", sim::RunSyride, sim::kSyrideUsage},
#endif
    {"mlr", "an MLR receiver: commands at 4800 baud, the track log at 38400", sim::RunMlr, sim::kMlrUsage},
    {"xctrainer", "an XC Trainer or Top Navigator sending its MXP2004 log at 57600 baud", sim::RunXctrainer, sim::kXctrainerUsage},
    {"digifly", "a Digifly Graviter sending its whole log memory at 38400 baud", sim::RunDigifly, sim::kDigiflyUsage},
    {"garmin", "a Garmin receiver: the serial packet protocol, track log and waypoints", sim::RunGarmin, sim::kGarminUsage},
};

void Usage() {
  std::printf(
      "usage: velmora-sim FAMILY [options]\n"
      "       velmora-sim FAMILY -h   lists the options of FAMILY\n\nfamilies:\n");
  for (const auto& family : kFamilies) std::printf("  %-11s %s\n", family.name, family.summary);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    Usage();
    return argc < 2 ? 2 : 0;
  }
  for (const auto& family : kFamilies) {
    if (std::strcmp(argv[1], family.name) != 0) continue;
    if (family.usage != nullptr && argc == 3 && (std::strcmp(argv[2], "-h") == 0 || std::strcmp(argv[2], "--help") == 0)) {
      std::printf("usage: velmora-sim %s [options]\n%s\n    -h, --help          this text\n", family.name,
                  family.usage);
      return 0;
    }
    sim::InstallStopHandlers();
    return family.run(argc - 2, argv + 2);
  }
  std::printf("velmora-sim: unknown family %s\n", argv[1]);
  Usage();
  return 2;
}
