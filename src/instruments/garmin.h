// The Garmin packet link: the pieces that the transfers in garmin.cpp build
// on, open to their unit tests.
#pragma once

#include <cstdint>

// One packet as received, unstuffed: ID, size and data.
struct GarminPacket {
  uint8_t nId;
  uint8_t nSize;
  uint8_t abData[255];
};

// The longest frame on the wire: every byte between the start and the end
// stuffed (ID, size, 255 data bytes and checksum), plus DLE, DLE ETX.
constexpr int kGarminMaxFrame = 2 * (3 + 255) + 3;
// What GarminReadPacket returns when a stop was requested.
constexpr int kGarminInterrupted = -2;
constexpr double kGarminTimeout = 4.0;

// Frames a packet (stuffing, checksum, DLE ETX) into `frame`, which holds
// kGarminMaxFrame bytes; returns the frame's length.
int BuildGarminFrame(uint8_t id, const uint8_t* data, int size, uint8_t* frame);

// Waits for the next valid packet from the receive FIFO: 0, -1 when
// kGarminTimeout seconds have passed since the call without one (a line that
// keeps sending garbage included), or kGarminInterrupted. With tGps.bDebug
// the packet is printed in hex.
int ReadGarminPacket(GarminPacket* packet);
void DumpGarminPacket(const GarminPacket* packet);
