// The Garmin packet link and the decoders of what a receiver sends, apart
// from the port: the transfers in garmin.cpp feed them from the receive
// FIFO, and anything that has the bytes in hand (a capture, a fuzzer, a unit
// test) can feed them the same way.
#pragma once

#include <cstdint>

#include "common/progress.h"
#include "common/records.h"

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

namespace garmin {

// Packet IDs of the link protocol.
constexpr uint8_t kPidAck = 6, kPidCommand = 10, kPidXferCmplt = 12, kPidRecords = 27, kPidNak = 21,
                  kPidTrkData = 34, kPidWptData = 35, kPidTrkHdr = 99, kPidExtProductData = 248,
                  kPidProtocolArray = 253, kPidProductRqst = 254, kPidProductData = 255;
constexpr int kMaxProtocols = 255 / 3;

// What a receiver speaks: product, software versions, and the application
// protocols with their data types (0 = none).
struct Capability {
  int32_t nProductId;
  int32_t nLowVersion;
  int32_t nHighVersion;
  int32_t nWptProtocol;
  int32_t nWptType;
  int32_t nTrkProtocol;
  int32_t nTrkHeaderType;
  int32_t nTrkPointType;
};

// One transfer's link: the last packet and what the decoders made of it.
struct GarminLink {
  GarminPacket tPacket;
  uint32_t nPacketId;
  uint32_t nPacketSize;
  uint32_t nAckId;
  uint32_t nRecords;
  int nProtocols;
  char acTag[kMaxProtocols];
  uint16_t awNumber[kMaxProtocols];
  uint16_t wProductId;
  uint16_t wSoftwareVersion;
  char szDescription[256];
  TrackPoint tPoint;
  bool bPointHasFix;
  bool bNewTrack;  // the next point stored starts a track
  Waypoint tWaypoint;
  uint32_t dwDownloadTime;  // GPS time, for waypoints that carry none
  Capability tCapability;
  uint8_t abFrame[kGarminMaxFrame];
  Progress tProgress;
  bool bCounter;  // a progress counter stands on the line
};

// ---------------------------------------------------------------- frames

enum ReceiveState { kHunt, kId, kSize, kData, kChecksum, kEndDle, kEndEtx };
enum FrameResult { kFrameMore, kFramePacket, kFrameBad };

// The frame being received. A zeroed receiver hunts for the next frame.
struct GarminReceiver {
  ReceiveState nState;
  bool bHeldDle;  // a DLE waits for its double
  uint8_t bSum;
  int nCount;
};

// Feeds one received byte to the frame assembler, which unstuffs the frame
// into `packet` as it goes: kFramePacket when `packet` is complete and its
// checksum adds up, kFrameBad when a started frame was dropped, kFrameMore
// otherwise.
FrameResult FeedGarminByte(GarminReceiver* receiver, GarminPacket* packet, uint8_t c);

// ---------------------------------------------------------------- packets

// Each decoder interprets link->tPacket: 0, or -1 after its message.
// ACK and NAK: the acknowledged packet ID.
int DecodeAck(GarminLink* link);
// Pid_Records: the number of records that follow.
int DecodeRecordCount(GarminLink* link);
// Pid_Trk_Data: link->tPoint and link->bPointHasFix, laid out as the
// negotiated track point type says.
int DecodeTrackPoint(GarminLink* link);
// Pid_Trk_Hdr: only checked for its length (the negotiated header type).
int DecodeTrackHeader(GarminLink* link);
// Pid_Wpt_Data: link->tWaypoint, laid out as the negotiated waypoint type says.
int DecodeWaypoint(GarminLink* link);
// Pid_Protocol_Array: the tags and numbers of the capability list.
int DecodeProtocolArray(GarminLink* link);
// Pid_Product_Data: product ID, software version and description.
int DecodeProductData(GarminLink* link);
// Takes the packet's ID and size into the link and runs its decoder; an
// unknown ID is an error.
int DecodePacket(GarminLink* link);

// Turns the decoded capability list into link->tCapability; -1 after its
// message on an unknown tag.
int CheckCapability(GarminLink* link);
// For a receiver without a capability list: the capability of its product
// ID and software version from the built-in table; false when it is not
// there.
bool FindLibraryCapability(GarminLink* link);

// ---------------------------------------------------------------- records

enum TrackRecordResult { kTrackRecordStored, kTrackRecordMismatch, kTrackRecordBad };
// One decoded packet of a track log download: a point with a fix is
// appended to the track of tGps (room for it must be there), a header
// starts a new track unless the track protocol has none (kTrackRecordMismatch);
// anything else is kTrackRecordBad.
TrackRecordResult StoreTrackRecord(GarminLink* link);
// One decoded packet of a waypoint download: the waypoint is appended to
// tGps (room for it must be there); false for any other packet.
bool StoreWaypointRecord(GarminLink* link);

}  // namespace garmin
