// USB HID devices through the Linux hidraw nodes: finding the nodes, their
// identity, and whole 64-byte reports out and in.
#pragma once

#include <cstdint>

constexpr int kHidReportSize = 64;
constexpr int kMaxHidNodes = 256;

// What ReadHidReport returns besides 0 (a whole report) and kWaitInterrupted.
constexpr int kHidTimeout = -2;
constexpr int kHidFailed = -3;  // the read failed or brought another length

struct HidInfo {
  uint32_t dwBusType;
  uint16_t wVendor;
  uint16_t wProduct;
};

// The numbers N of the /dev/hidrawN nodes, ascending; returns their count (at
// most max). The folder is listed rather than probed number by number, so a
// device behind many others is found as well.
int ListHidNodes(int* numbers, int max);
// Opens /dev/hidrawN for reading and writing: the descriptor, or -1.
int OpenHidNode(int number);
void CloseHidNode(int h);
// Bus type, vendor and product of the open node: 0, or -1.
int GetHidInfo(int h, HidInfo* info);
// Writes one report: 0, or -1 when it does not go out whole.
int WriteHidReport(int h, const uint8_t* report);
// Reads one report, waiting at most `seconds`: 0, kHidTimeout, kHidFailed, or
// kWaitInterrupted within about 100 ms of a stop request.
int ReadHidReport(int h, uint8_t* report, double seconds);
// Reads and drops the reports that are already waiting (late answers to an
// earlier request); returns how many.
int DrainHidReports(int h);
