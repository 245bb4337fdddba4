// Text sentences as the instruments speak them: "$", body, "*", two hex
// checksum digits, CR LF, the checksum being the XOR of the body's bytes.
// The emulator keeps its own copy of these few lines on purpose: sharing the
// tool's codecs would let one misreading pass its own test.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

uint8_t XorChecksum(std::string_view body);

// "$" + body + "*" + upper-case checksum + "\r\n".
std::string BuildSentence(std::string_view body);

// Splits "$body*HH" (no line end) into its body and the checksum it claims.
// False when the text lacks the "$", the "*" or two hexadecimal digits after it.
bool SplitSentence(std::string_view text, std::string_view* body, int* checksum);

// The comma-separated fields of a body; field 0 is the identifier.
std::vector<std::string_view> SplitFields(std::string_view body);

// The text with every byte outside printable ASCII written as \xNN, so that
// one received sentence always stays one log line.
std::string Printable(std::string_view text);

}  // namespace sim
