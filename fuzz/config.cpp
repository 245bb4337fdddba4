// The configuration text and the command line. The input is split at the
// first NUL byte: the configuration before it, one command line after it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "frame/cmd.h"
#include "frame/config.h"
#include "fuzz_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetGpsState();
  const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  size_t configSize = split != nullptr ? static_cast<size_t>(split - data) : size;
  if (configSize > 0) {
    std::vector<uint8_t> config(data, data + configSize);
    std::FILE* file = fmemopen(config.data(), config.size(), "r");
    if (file != nullptr) {
      ReadConfigParameters(file);
      std::fclose(file);
    }
  }
  if (split == nullptr) return 0;
  std::vector<char> line(split + 1, data + size);
  line.push_back('\0');
  int count = 0;
  char* args[kMaxCmdLineArgs + 1];
  if (ParseCmdLine(line.data(), &count, args) >= 0) ParseArguments(count, args);
  return 0;
}
