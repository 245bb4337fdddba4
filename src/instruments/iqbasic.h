// The IQ Basic decoders of what the instrument sends, apart from the port:
// the transfers feed them byte by byte from the receive FIFO, and anything
// that has the bytes in hand (a capture, a fuzzer) can feed them the same way.
#pragma once

#include <cstdint>

namespace iqbasic {

constexpr int kMaxReply = 199;
constexpr int kMaxFlights = 100;
constexpr int kListLine = 39;
// A day of fixes at one a second is some 3.5 MB of IGC text.
constexpr int32_t kMaxRawIgc = 32 * 1024 * 1024;

// A text line as it arrives: what follows a CR is dropped up to the LF.
struct ReplyLine {
  char szText[kMaxReply + 1];
  int nLength;
  bool bCrSeen;
};

struct IqBasicLink {
  char aszList[kMaxFlights][kListLine + 1];
  int nLines;
  ReplyLine tLine;  // the flight list line being received
};

// Feeds one byte of a parameter reply: true when the LF ended it, with the
// text in r->szText and r ready for the next reply.
bool FeedReplyByte(ReplyLine* r, uint8_t c);
// A parameter value: pairs of hexadecimal digits, least significant byte
// first, blanks around; 0 or -1.
int DecodePAdata(const char* text, uint32_t* value);
// A reply that must start with prefix: 0 with its value, -1 without the
// prefix, -2 for a value that does not decode.
int DecodeParameterReply(const char* reply, const char* prefix, uint32_t* value);
// The three parameters as tGps.szProduct.
void StoreProductText(uint32_t serial, uint32_t type, uint32_t version);

// Feeds one byte of the flight list: true when it ended a line that is not
// empty, with its shown text in l->tLine.szText and its first 39 characters
// kept in l->aszList while there is room.
bool FeedListByte(IqBasicLink* l, uint8_t c);
// The first ";"-separated field of a list line as a flight number.
bool LineNumber(const char* line, int32_t* number);
// The index of the first kept list line numbered `selected`, or -1.
int FindFlight(const IqBasicLink* l, int selected);

// The raw IGC text of tGps, empty; -1 after the message.
int StartRawLog();
// Appends one byte to the raw IGC text of tGps, growing it up to
// kMaxRawIgc; -1 after the message.
int StoreRawByte(uint8_t c);
// The received IGC text of tGps decoded into its track, and the start time
// taken from the first point; -1 after the message.
int DecodeRawLog();

}  // namespace iqbasic
