// The Garmin packet link against byte sequences written out by hand:
// framing and stuffing out, unstuffing and resynchronising in.
#include "instruments/garmin.h"

#include <gtest/gtest.h>

#include <vector>

#include "frame/state.h"
#include "link/com.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(GarminLink, FramesAreStuffedAndSumToZero) {
  struct Case {
    uint8_t id;
    Bytes data, frame;
  } cases[] = {
      {6, {27, 0}, {0x10, 0x06, 0x02, 0x1B, 0x00, 0xDD, 0x10, 0x03}},  // ACK of Pid_Records
      {254, {}, {0x10, 0xFE, 0x00, 0x02, 0x10, 0x03}},
      {35, {0x10, 1}, {0x10, 0x23, 0x02, 0x10, 0x10, 0x01, 0xCA, 0x10, 0x03}},
      {6, {0xE8, 0}, {0x10, 0x06, 0x02, 0xE8, 0x00, 0x10, 0x10, 0x10, 0x03}},  // the checksum is a DLE
      {0x10, {}, {0x10, 0x10, 0x10, 0x00, 0xF0, 0x10, 0x03}},
  };
  for (const Case& c : cases) {
    uint8_t frame[kGarminMaxFrame];
    int n = BuildGarminFrame(c.id, c.data.data(), static_cast<int>(c.data.size()), frame);
    EXPECT_EQ(Bytes(frame, frame + n), c.frame) << int(c.id);
  }
}

// Each stream holds noise, broken frames and then the one good frame
// 10 22 03 10 10 05 10 10 B6 10 03 (ID 34, data 10 05 10).
TEST(GarminLink, ReadingSkipsWhatIsNoPacket) {
  const Bytes good = {0x10, 0x22, 0x03, 0x10, 0x10, 0x05, 0x10, 0x10, 0xB6, 0x10, 0x03};
  const Bytes prefixes[] = {
      {},
      {0x10, 0x03},                                                  // a stray DLE ETX
      {0x55, 0x10, 0x10, 0xAA},                                      // DLE DLE is no start
      {0x10, 0x22, 0x03, 0x10, 0x10, 0x05, 0x10, 0x10, 0xB7, 0x10, 0x03},  // bad checksum
      {0x10, 0x22, 0x03, 0x10, 0x05, 0x99},                          // a single DLE inside the data
      {0x10, 0x22, 0x03, 0x10, 0x10, 0x05, 0x10, 0x10, 0xB6, 0x10, 0x04},  // no ETX
  };
  tGps.bDebug = 0;
  for (const Bytes& prefix : prefixes) {
    FlushComFifo();
    for (uint8_t b : prefix) WriteComFifo(b);
    for (uint8_t b : good) WriteComFifo(b);
    GarminPacket p{};
    ASSERT_EQ(ReadGarminPacket(&p), 0) << prefix.size();
    EXPECT_EQ(p.nId, 0x22);
    EXPECT_EQ(Bytes(p.abData, p.abData + p.nSize), Bytes({0x10, 0x05, 0x10}));
    EXPECT_FALSE(NonEmptyComFifo());
  }
}

TEST(GarminLink, WhatIsFramedReadsBackUnchanged) {
  Bytes patterns[] = {Bytes(200, 0x10), Bytes(255, 0x03), {0x10, 0x03, 0x10, 0x10}, {}};
  for (int i = 0; i < 256; ++i) patterns[3].push_back(static_cast<uint8_t>(i * 7));
  patterns[3].resize(255);
  for (const Bytes& data : patterns) {
    uint8_t frame[kGarminMaxFrame];
    int n = BuildGarminFrame(0x23, data.data(), static_cast<int>(data.size()), frame);
    FlushComFifo();
    for (int i = 0; i < n; ++i) WriteComFifo(frame[i]);
    GarminPacket p{};
    ASSERT_EQ(ReadGarminPacket(&p), 0);
    EXPECT_EQ(Bytes(p.abData, p.abData + p.nSize), data);
  }
}

}  // namespace
