// What an IQ Basic instrument sends, through the decoders the transfers use:
// the parameter replies (taken in turn as serial number, device type and
// software version, as they are asked for), the flight list lines with the
// choice of a flight, and the IGC file kept raw and then decoded into the
// track. One stream feeds them all, so every kind of line can stand anywhere.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_state.h"
#include "instruments/iqbasic.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::ResetGpsState();
  static iqbasic::IqBasicLink link;
  std::memset(&link, 0, sizeof link);
  iqbasic::ReplyLine reply{};

  // The first byte: bit 0 swaps the transfer's starting block for a tiny
  // one, so that short inputs reach the growth of the raw text; the rest is
  // the flight number chosen from the list.
  if (iqbasic::StartRawLog() < 0) return 0;
  if ((data[0] & 1) != 0) {
    std::free(tGps.pRawIgc);
    tGps.pRawIgc = static_cast<uint8_t*>(std::malloc(16));
    tGps.nRawIgcSize = tGps.pRawIgc != nullptr ? 16 : 0;
    if (tGps.pRawIgc == nullptr) return 0;
  }
  int selected = data[0] >> 1;

  static const char* const kPrefixes[] = {"RPA_00_", "RPA_01_", "RPA_02_"};
  uint32_t values[3] = {0, 0, 0};
  int replies = 0;
  for (size_t i = 1; i < size; ++i) {
    uint8_t c = data[i];
    if (iqbasic::FeedReplyByte(&reply, c)) {
      int which = replies++ % 3;
      if (iqbasic::DecodeParameterReply(reply.szText, kPrefixes[which], &values[which]) == 0 && which == 2) {
        iqbasic::StoreProductText(values[0], values[1], values[2]);
      }
    }
    if (iqbasic::FeedListByte(&link, c)) {
      int32_t number;
      iqbasic::LineNumber(link.tLine.szText, &number);
    }
    if (iqbasic::StoreRawByte(c) < 0) return 0;
  }
  iqbasic::FindFlight(&link, selected);
  iqbasic::DecodeRawLog();
  return 0;
}
