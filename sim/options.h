// Option tables of the emulator families. Each family keeps one static table:
// the getopt_long entry of every option and its help beside it, so that the
// text printed by `velmora-sim FAMILY -h` is made from the very table the
// parser reads and cannot drift from it.
#pragma once

#include <getopt.h>

#include <functional>
#include <span>

namespace sim {

struct OptionSpec {
  const char* name;   // long name, without the dashes
  int hasArg;         // no_argument, required_argument or optional_argument
  int id;             // handed to the family's handler
  const char* value;  // the value's placeholder in the help, "" for none
  const char* help;   // one line or more, separated by '\n'
};

enum class Parsed { kOk, kHelp, kBad };

// Reads the options after FAMILY with getopt_long against the table; -h and
// --help print the usage and give kHelp. handle(id, value) takes one option
// (value null when it has none) and returns false for a value it refuses.
// Unknown options, missing values and stray arguments give a one-line
// message on standard output and kBad.
Parsed ParseFamilyOptions(const char* family, int argc, char** argv, std::span<const OptionSpec> table,
                          const char* notes, const std::function<bool(int id, const char* value)>& handle);

// The usage of a family: one entry per table row, then the notes (may be null).
void PrintFamilyUsage(const char* family, std::span<const OptionSpec> table, const char* notes);

}  // namespace sim
