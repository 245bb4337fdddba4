// The flight memory of instruments that keep each flight as the IGC text
// they wrote (Brauniger/Flytec, IQ Basic): the text itself, served byte for
// byte, and what the instrument lists about it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct StoredIgc {
  std::string szSource;  // file name, or "synthetic"
  std::string szText;
  // From the text's date header and its first and last B records; zero
  // when the text lacks them.
  int nDay = 0, nMonth = 0, nYear = 0;  // two-digit year
  uint32_t dwStart = 0;                  // second of the day of the first fix
  uint32_t dwDuration = 0;               // seconds
  int nFixes = 0;
};

// The header lines an instrument writes before its fixes, CR LF each.
struct IgcHeader {
  std::string szARecord;  // e.g. "AFLY08304"
  std::vector<std::string> lines;  // H records after the date
  bool bSign = true;               // end with G records
};

// A file's bytes unchanged (at most 64 MB); false with a message.
bool LoadStoredIgc(const std::string& path, StoredIgc* flight, std::string* error);
// The built-in flight as the instrument would have written it.
StoredIgc MakeStoredIgc(const IgcHeader& header);
// "dd.mm.yy", "hh:mm:ss" and the duration "hh:mm:ss" as the lists show them.
std::string ListDate(const StoredIgc& f);
std::string ListTime(uint32_t seconds);

// Reads the flights of --flight options, or makes the built-in one.
bool LoadFlights(const std::vector<std::string>& files, const IgcHeader& header, std::vector<StoredIgc>* flights);

// Sends bytes like WriteAll, in slices, and stops as soon as the client
// hangs up instead of filling a line nobody reads any more.
bool SendWhileHeard(int master, std::string_view bytes, int baud);

// Sends CR, LF, XON and XOFF without end (a line that only ever carries
// line ends and flow control), until the client hangs up or a stop comes.
void SendNoiseForever(int master, int baud);

}  // namespace sim
