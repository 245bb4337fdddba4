#include "options.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

namespace {

constexpr int kFirstId = 256;  // getopt_long's own answers ('h', '?', ':') stay below
constexpr int kHelpColumn = 24;

}  // namespace

void PrintFamilyUsage(const char* family, std::span<const OptionSpec> table, const char* notes) {
  std::printf("usage: velmora-sim %s [options]\n", family);
  for (const OptionSpec& spec : table) {
    std::string left = std::string("    --") + spec.name;
    if (spec.value[0] != '\0') {
      left += spec.hasArg == optional_argument ? std::string("[=") + spec.value + "]" : std::string(" ") + spec.value;
    }
    int pad = std::max(2, kHelpColumn - static_cast<int>(left.size()));
    std::printf("%s%*s", left.c_str(), pad, "");
    for (const char* p = spec.help; *p != '\0'; ++p) {
      std::putchar(*p);
      if (*p == '\n') std::printf("%*s", kHelpColumn, "");
    }
    std::putchar('\n');
  }
  std::printf("%-*s%s\n", kHelpColumn, "    -h, --help", "this text");
  if (notes != nullptr) std::printf("%s\n", notes);
}

Parsed ParseFamilyOptions(const char* family, int argc, char** argv, std::span<const OptionSpec> table,
                          const char* notes, const std::function<bool(int id, const char* value)>& handle) {
  std::vector<option> longOptions;
  for (size_t i = 0; i < table.size(); ++i) {
    longOptions.push_back({table[i].name, table[i].hasArg, nullptr, kFirstId + static_cast<int>(i)});
  }
  longOptions.push_back({"help", no_argument, nullptr, 'h'});
  longOptions.push_back({nullptr, 0, nullptr, 0});
  // getopt_long takes the first element for the program's name.
  std::vector<char*> args{const_cast<char*>(family)};
  args.insert(args.end(), argv, argv + argc);
  args.push_back(nullptr);
  int count = argc + 1;
  optind = 0;  // start afresh, whoever parsed before
  opterr = 0;  // the emulator says everything on standard output
  auto bad = [family]() {
    std::printf("velmora-sim %s -h lists its options\n", family);
    return Parsed::kBad;
  };
  int c;
  while ((c = getopt_long(count, args.data(), "+:h", longOptions.data(), nullptr)) != -1) {
    if (c == 'h') {
      PrintFamilyUsage(family, table, notes);
      return Parsed::kHelp;
    }
    if (c == ':') {
      std::printf("velmora-sim: %s needs a value\n", args[optind - 1]);
      return bad();
    }
    if (c == '?') {
      if (optopt > 0 && optopt < kFirstId) {
        std::printf("velmora-sim: unknown %s option -%c\n", family, optopt);
      } else {
        std::printf("velmora-sim: unknown %s option %s\n", family, args[optind - 1]);
      }
      return bad();
    }
    const OptionSpec& spec = table[static_cast<size_t>(c - kFirstId)];
    if (!handle(spec.id, optarg)) {
      std::printf("velmora-sim: bad value for --%s: %s\n", spec.name, optarg != nullptr ? optarg : "");
      return bad();
    }
  }
  if (optind < count) {
    std::printf("velmora-sim: unexpected argument %s\n", args[optind]);
    return bad();
  }
  return Parsed::kOk;
}

}  // namespace sim
