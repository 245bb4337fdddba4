// SHA-1 against published digests and ones from an independent tool, at the
// lengths where the padding moves into a further block.
#include "formats/hash.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Finish(HashState* h) {
  HashFinish(h);
  char text[41];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x%08x", h->adwChain[0], h->adwChain[1], h->adwChain[2],
                h->adwChain[3], h->adwChain[4]);
  return text;
}

TEST(Hash, StandardDigestsAroundTheBlockBoundaries) {
  struct Case {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
      {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
      {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
      {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
      {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
  };
  for (const Case& c : cases) {
    HashState h;
    HashInit(&h);
    HashString(&h, c.message.c_str());
    EXPECT_EQ(Finish(&h), c.digest) << c.message.size();
  }
}

TEST(Hash, FeedingInPiecesAndAsBytes) {
  HashState h;
  HashInit(&h);
  HashString(&h, "a");
  HashString(&h, "");
  HashString(&h, "b");
  HashString(&h, "c");
  EXPECT_EQ(Finish(&h), "a9993e364706816aba3e25717850c26c9cd0d89d");
  const uint8_t bytes[] = {0x00, 0xff, 0x80, 0x7f};  // a NUL and high bits are bytes like any other
  HashInit(&h);
  HashBuffer(&h, bytes, 4);
  EXPECT_EQ(Finish(&h), "20e828176973e578f91799f8cf0f41514b3355e9");
}

}  // namespace
