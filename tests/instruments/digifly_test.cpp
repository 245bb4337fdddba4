// The Graviter image decoder on images built here, byte by byte, from the
// instrument's record layout.
#include "instruments/digifly.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "common/conv.h"
#include "common/time.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Packs fields (value, width) from the least significant bit of each byte on.
Bytes Bits(std::initializer_list<std::pair<uint32_t, int>> fields) {
  Bytes out;
  uint64_t held = 0;
  int count = 0;
  for (auto [value, width] : fields) {
    held |= static_cast<uint64_t>(value) << count;
    for (count += width; count >= 8; count -= 8, held >>= 8) out.push_back(static_cast<uint8_t>(held));
  }
  if (count > 0) out.push_back(static_cast<uint8_t>(held));
  return out;
}

uint32_t FloatBits(float f) {
  uint32_t v;
  std::memcpy(&v, &f, sizeof v);
  return v;
}

// Five records: an absolute fix and the same fix again, a flag-less record
// without a position, a fix by deltas (altitude and latitude subtracted),
// and that fix again.
Bytes Records() {
  constexpr uint32_t kFirst = 1u | 1u << 8 | 1u << 9 | 1u << 12 | 1u << 13 | 1u << 16;
  constexpr uint32_t kDelta = 1u << 4 | 1u << 9 | 1u << 15;
  const Bytes again = Bits({{1u << 9, 10}, {0, 8}, {0, 3}, {0, 4}, {0, 3}, {0, 2}, {0, 3}, {0, 3}, {0, 7}, {0, 7}});
  Bytes r = Bits({{kFirst & 0x3FF, 10}, {kFirst >> 10, 8}, {1234, 16}, {0, 4}, {0, 3}, {0, 2}, {37800, 17},
                  {0, 3}, {FloatBits(0.8f), 32}, {FloatBits(0.1f), 32}});
  for (Bytes more : {again, Bits({{0, 10}, {5, 3}, {1, 4}, {1, 3}, {1, 2}, {2, 3}}),
                     Bits({{kDelta & 0x3FF, 10}, {kDelta >> 10, 8}, {3, 3}, {0, 4}, {0, 3}, {0, 2}, {1, 3}, {0, 3},
                           {100, 7}, {50, 7}}),
                     again}) {
    r.insert(r.end(), more.begin(), more.end());
  }
  return r;
}

struct Memory {
  Bytes bytes = Bytes(kDigiflyLogEnd, 0xFF);
  // Writes circularly; returns the address after the last byte.
  uint32_t Put(uint32_t address, const Bytes& data) {
    for (uint8_t b : data) {
      bytes[address] = b;
      address = address + 1 == kDigiflyLogEnd ? kDigiflyLogFirst : address + 1;
    }
    return address;
  }
  // A block of the given header and records, its pointer ending it right after them.
  uint32_t PutBlock(uint32_t at, Bytes header, const Bytes& records) {
    Bytes body(3, 0);
    body.insert(body.end(), header.begin(), header.end());
    body.insert(body.end(), records.begin(), records.end());
    uint32_t next = Put(at, body);
    Put(at, {static_cast<uint8_t>(next >> 16), static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next)});
    return next;
  }
  Bytes Image(uint32_t first, uint32_t end = kDigiflyLogEnd) const {
    Bytes image(bytes.begin() + kDigiflyImageAddress, bytes.begin() + end);
    image[0] = 'y';
    for (int i = 1; i <= 3; ++i) image[i] = static_cast<uint8_t>(first >> (24 - 8 * i));
    uint8_t sum = 0;
    for (size_t i = 1; i < image.size(); ++i) sum ^= image[i];
    for (uint8_t b : {uint8_t{'*'}, sum, uint8_t{'\r'}, uint8_t{'\n'}}) image.push_back(b);
    return image;
  }
};

const Bytes kHeader = {15, 6, 24, 10, 30, 11, 0, 3, 0, 5};

int Decode(const Bytes& image, DigiflyLog* log) {
  return DecodeDigiflyImage(image.data(), static_cast<int32_t>(image.size()), log);
}

TEST(DigiflyDecoder, RecordsBecomePointsWhereverTheBlockLies) {
  SystemTime day{2024, 6, 15, 0, 0, 0};
  uint32_t t0 = ConvertSystemTimeToGpsTime(&day) + 37800;
  // At the start of the log, and at 0x1FFFE so that pointer, header and
  // records run on at the first address.
  for (uint32_t at : {1700u, 0x1FFFEu}) {
    Memory m;
    m.PutBlock(at, kHeader, Records());
    DigiflyLog log;
    ASSERT_EQ(Decode(m.Image(at), &log), 0) << at;
    ASSERT_EQ(log.nTracks, 1);
    ASSERT_EQ(log.pTracks[0].nPoints, 2) << "no point without a position, none for a repeat";
    const TrackPoint* p = log.pTracks[0].pPoints;
    EXPECT_EQ(p[0].dwFlags, 1u);
    EXPECT_EQ(p[1].dwFlags, 0u);
    EXPECT_EQ(p[0].dwTime, t0);
    EXPECT_EQ(p[1].dwTime, t0 + 3);
    EXPECT_EQ(p[0].nGpsAltitude, 12340);
    EXPECT_EQ(p[1].nGpsAltitude, 12360);
    EXPECT_NEAR(p[0].nLatitude, 0.8 * kRadianToSemicircle, 40);
    EXPECT_NEAR(p[0].nLongitude, -0.1 * kRadianToSemicircle, 10);
    EXPECT_NEAR(p[1].nLatitude, (0.8 - 100e-7) * kRadianToSemicircle, 60);
    EXPECT_NEAR(p[1].nLongitude, (-0.1 + 50e-7) * kRadianToSemicircle, 10);
    FreeDigiflyLog(&log);
  }
}

TEST(DigiflyDecoder, EveryTrackInMemoryIsKept) {
  Memory m;
  uint32_t at = 1700;
  for (int i = 0; i < 150; ++i) at = m.PutBlock(at, kHeader, Records());
  DigiflyLog log;
  ASSERT_EQ(Decode(m.Image(1700), &log), 0);
  EXPECT_EQ(log.nTracks, 150);
  FreeDigiflyLog(&log);
  ASSERT_EQ(Decode(m.Image(0xFFFFFF), &log), 0);
  EXPECT_EQ(log.nTracks, 0);
}

TEST(DigiflyDecoder, BrokenImagesEndWithTheirCode) {
  auto header = [](size_t i, uint8_t v) {
    return [=](Memory& m) {
      Bytes h = kHeader;
      h[i] = v;
      m.PutBlock(1700, h, Records());
    };
  };
  auto next = [](uint32_t p) {
    return [=](Memory& m) {
      m.PutBlock(1700, kHeader, Records());
      m.Put(1700, {static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)});
    };
  };
  struct Case {
    const char* what;
    std::function<void(Memory&)> build;
    uint32_t first;
    uint32_t end;                         // the image ends there
    std::function<void(Bytes&)> spoil;  // applied to the framed image
    int code;
  } cases[] = {
      {"20 bytes", header(0, 15), 1700, kDigiflyLogEnd, [](Bytes& b) { b.resize(20); }, -1},
      {"no echo", header(0, 15), 1700, kDigiflyLogEnd, [](Bytes& b) { b[0] = 'Y'; }, -2},
      {"checksum", header(0, 15), 1700, kDigiflyLogEnd, [](Bytes& b) { b[b.size() - 3] ^= 1; }, -3},
      {"first pointer low", header(0, 15), 1699, kDigiflyLogEnd, nullptr, -4},
      {"first pointer not received", header(0, 15), 1800, 1790, nullptr, -4},
      {"next pointer low", next(5), 1700, kDigiflyLogEnd, nullptr, -10},
      {"next pointer not received", next(1760), 1700, 1760, nullptr, -10},
      {"block ends in its header", next(1705), 1700, kDigiflyLogEnd, nullptr, -11},
      {"day 0", header(0, 0), 1700, kDigiflyLogEnd, nullptr, -12},
      {"month 13", header(1, 13), 1700, kDigiflyLogEnd, nullptr, -13},
      {"hour 24", header(3, 24), 1700, kDigiflyLogEnd, nullptr, -14},
      {"minute 60", header(4, 60), 1700, kDigiflyLogEnd, nullptr, -15},
      {"second hour 24", header(5, 24), 1700, kDigiflyLogEnd, nullptr, -16},
      {"second minute 60", header(6, 60), 1700, kDigiflyLogEnd, nullptr, -17},
      {"type 4", header(7, 4), 1700, kDigiflyLogEnd, nullptr, -18},
      {"one record too many", header(9, 6), 1700, kDigiflyLogEnd, nullptr, -20},
      {"absolute altitude cut", next(1716), 1700, kDigiflyLogEnd, nullptr, -23},
      {"absolute latitude cut", next(1722), 1700, kDigiflyLogEnd, nullptr, -35},
      {"records beyond the image",  // a block running round the memory, of which 90 bytes came
       [](Memory& m) {
         m.PutBlock(1750, kHeader, Records());
         m.Put(1750, {0, 0x06, 0xAE});  // 1710
       },
       1750, 1790, nullptr, -20},
      {"block points to itself", next(1700), 1700, kDigiflyLogEnd, nullptr, kDigiflyChainLoops},
      {"two blocks in a loop",
       [](Memory& m) {
         uint32_t second = m.PutBlock(1700, kHeader, Records());
         m.PutBlock(second, kHeader, Records());
         m.Put(second, {0, 0x06, 0xA4});  // back to 1700
       },
       1700, kDigiflyLogEnd, nullptr, kDigiflyChainLoops},
  };
  for (const Case& c : cases) {
    Memory m;
    c.build(m);
    Bytes image = m.Image(c.first, c.end);
    if (c.spoil) c.spoil(image);
    DigiflyLog log;
    EXPECT_EQ(Decode(image, &log), c.code) << c.what;
    EXPECT_EQ(log.nTracks, 0) << c.what;
    EXPECT_EQ(log.pTracks, nullptr) << c.what;
  }
}

}  // namespace
