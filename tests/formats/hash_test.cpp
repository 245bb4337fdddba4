// SHA-1 against the published digests and ones from an independent tool,
// with lengths around the block and padding boundaries.
#include "formats/hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Hex(const HashState& h) {
  char text[41];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x%08x", h.adwChain[0], h.adwChain[1], h.adwChain[2],
                h.adwChain[3], h.adwChain[4]);
  return text;
}

std::string DigestOf(const std::string& message) {
  HashState h;
  HashInit(&h);
  HashString(&h, message.c_str());
  HashFinish(&h);
  return Hex(h);
}

TEST(Hash, StandardDigests) {
  EXPECT_EQ(DigestOf(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(DigestOf("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(DigestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST(Hash, PaddingAcrossBlockBoundaries) {
  // 55 bytes leave just room for the length; 56 to 63 push it into a second
  // block; 64 fills a block exactly; 119 and 120 repeat that a block later.
  struct Case {
    size_t length;
    const char* digest;
  } cases[] = {
      {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"}, {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"}, {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"}, {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
  };
  for (const Case& c : cases) EXPECT_EQ(DigestOf(std::string(c.length, 'a')), c.digest) << c.length;
}

TEST(Hash, PiecewiseFeedingMatchesWholeFeeding) {
  HashState h;
  HashInit(&h);
  HashString(&h, "a");
  HashString(&h, "");
  HashString(&h, "b");
  HashString(&h, "c");
  HashFinish(&h);
  EXPECT_EQ(Hex(h), "a9993e364706816aba3e25717850c26c9cd0d89d");

  // Bytes with the high bit set and a NUL inside a buffer are fed as bytes.
  const uint8_t bytes[] = {0x00, 0xff, 0x80, 0x7f};
  HashState whole, split;
  HashInit(&whole);
  HashBuffer(&whole, bytes, 4);
  HashFinish(&whole);
  HashInit(&split);
  HashBuffer(&split, bytes, 1);
  HashBuffer(&split, bytes + 1, 3);
  HashFinish(&split);
  EXPECT_EQ(Hex(whole), Hex(split));
  EXPECT_EQ(Hex(whole), "20e828176973e578f91799f8cf0f41514b3355e9");
}

TEST(Hash, MillionA) {
  HashState h;
  HashInit(&h);
  std::string block(1000, 'a');
  for (int i = 0; i < 1000; ++i) HashString(&h, block.c_str());
  HashFinish(&h);
  EXPECT_EQ(Hex(h), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

}  // namespace
