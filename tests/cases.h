// Tables of cases kept as files under tests/data/cases/: each case is a line
// "> INPUT" followed by what the code under test made of it. A test rebuilds
// the whole table by running every input and compares it with the file, so
// one file holds the inputs and their expected outputs side by side.
// With VELMORA_UPDATE_EXPECTED=1 in the environment the file is rewritten:
// that is how new cases, or a reviewed change of output, are recorded.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace cases {

// Inputs are written with \t \r \n \\ \xHH, and \{N}X for N times X (one
// character or escape).
inline std::string Unescape(const std::string& s) {
  std::string out;
  size_t i = 0;
  // One character or escape at i, appended `times` times.
  std::function<void(size_t)> unit = [&](size_t times) {
    char c = s[i++];
    if (c == '\\' && i < s.size()) {
      c = s[i++];
      if (c == 't') c = '\t';
      else if (c == 'r') c = '\r';
      else if (c == 'n') c = '\n';
      else if (c == 'x') c = static_cast<char>(std::strtol(s.substr(i, 2).c_str(), nullptr, 16)), i += 2;
      else if (c == '{') {
        size_t close = s.find('}', i);
        size_t n = std::strtoul(s.c_str() + i, nullptr, 10);
        i = close + 1;
        for (size_t k = 0; k < times; ++k) unit(n), i = close + 1;
        unit(0);  // steps past the repeated unit
        return;
      }
    }
    out.append(times, c);
  };
  while (i < s.size()) unit(1);
  return out;
}

// Output as kept in the file: line ends stay, other control bytes and bytes
// above 0x7E read \xHH, a backslash \\, and a line starting with ">" \x3E.
inline std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    bool lineStart = out.empty() || out.back() == '\n';
    if (c == '\n') out += '\n';
    else if (c == '\\') out += "\\\\";
    else if (c < 0x20 || c > 0x7E || (c == '>' && lineStart)) out += hex;
    else out += static_cast<char>(c);
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

// The table rebuilt from the file's inputs, and the file as it is.
inline std::pair<std::string, std::string> Run(const std::string& name,
                                               const std::function<std::string(const std::string&)>& run) {
  std::string path = std::string(VELMORA_TEST_DATA) + "/cases/" + name;
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  std::string actual, line;
  std::istringstream lines(file.str());
  while (std::getline(lines, line)) {
    if (line.rfind("> ", 0) != 0) continue;
    actual += line + "\n" + Escape(run(Unescape(line.substr(2))));
  }
  const char* update = std::getenv("VELMORA_UPDATE_EXPECTED");
  if (update != nullptr && std::strcmp(update, "1") == 0) {
    std::ofstream(path, std::ios::binary) << actual;
    return {actual, actual};
  }
  return {actual, file.str()};
}

// Splits an input at TABs.
inline std::vector<std::string> Fields(const std::string& input) {
  std::vector<std::string> fields;
  std::istringstream in(input);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

}  // namespace cases

#define EXPECT_CASES(name, run)                    \
  do {                                             \
    auto table_ = cases::Run(name, run);           \
    EXPECT_EQ(table_.first, table_.second) << name; \
  } while (0)
