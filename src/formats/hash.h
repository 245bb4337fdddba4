// SHA-1 digest fed byte by byte while a document is being written. The KML
// track document carries it so that a reader holding the same key can tell
// whether times, positions or header values were changed.
#pragma once

#include <cstdint>

struct HashState {
  // Bytes fed so far; the low 6 bits are the position in the current block.
  // 64 bits wide so the length field of the padding is right for any input.
  uint64_t dwByteCount;
  uint32_t adwChain[5];     // the digest after HashFinish, first word first
  uint32_t adwSchedule[80];  // words 0..15 collect the block, big-endian
};

void HashInit(HashState* h);
// Feeds the bytes of a NUL-terminated text, without the NUL.
void HashString(HashState* h, const char* text);
void HashBuffer(HashState* h, const uint8_t* data, int length);
// Appends the padding and the bit length; afterwards adwChain holds the digest.
void HashFinish(HashState* h);
// Compresses the collected 64-byte block into the chaining words.
void HashBlock(HashState* h);
