#include "formats/hash.h"

namespace {

constexpr uint32_t kInitialChain[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
constexpr uint32_t kStepConstant[4] = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};

constexpr uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void HashByte(HashState* h, uint8_t byte) {
  uint32_t position = static_cast<uint32_t>(h->dwByteCount & 63u);
  uint32_t& word = h->adwSchedule[position >> 2];
  // The first byte of a word replaces what an earlier block left there.
  word = (position & 3u) == 0 ? byte : (word << 8) | byte;
  ++h->dwByteCount;
  if ((h->dwByteCount & 63u) == 0) HashBlock(h);
}

}  // namespace

void HashInit(HashState* h) {
  h->dwByteCount = 0;
  for (int i = 0; i < 5; ++i) h->adwChain[i] = kInitialChain[i];
  for (uint32_t& w : h->adwSchedule) w = 0;
}

void HashBlock(HashState* h) {
  uint32_t* w = h->adwSchedule;
  for (int t = 16; t < 80; ++t) w[t] = RotateLeft(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  uint32_t a = h->adwChain[0], b = h->adwChain[1], c = h->adwChain[2], d = h->adwChain[3], e = h->adwChain[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f;
    if (t < 20) {
      f = (b & c) | (~b & d);
    } else if (t < 40 || t >= 60) {
      f = b ^ c ^ d;
    } else {
      f = (b & c) | (b & d) | (c & d);
    }
    uint32_t temp = RotateLeft(a, 5) + f + e + kStepConstant[t / 20] + w[t];
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = temp;
  }
  h->adwChain[0] += a;
  h->adwChain[1] += b;
  h->adwChain[2] += c;
  h->adwChain[3] += d;
  h->adwChain[4] += e;
}

void HashString(HashState* h, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) HashByte(h, static_cast<uint8_t>(*p));
}

void HashBuffer(HashState* h, const uint8_t* data, int length) {
  for (int i = 0; i < length; ++i) HashByte(h, data[i]);
}

void HashFinish(HashState* h) {
  uint64_t bits = h->dwByteCount * 8u;
  HashByte(h, 0x80);
  while ((h->dwByteCount & 63u) != 56u) HashByte(h, 0);
  // The length bytes complete the block, which HashByte then compresses.
  for (int shift = 56; shift >= 0; shift -= 8) HashByte(h, static_cast<uint8_t>(bits >> shift));
}
