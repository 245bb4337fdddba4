// Track cleaning, trimming, flight statistics and cross-country distances.
#pragma once

#include <cstdint>

#include "common/records.h"

struct TrackAnalysis {
  int32_t nPoints;              // input: more than 4
  const TrackPoint* pPoints;    // input, read only
  uint32_t dwStartTime;
  uint32_t dwEndTime;
  uint32_t dwDuration;
  uint32_t dwDownloadTime;      // input for the KML document; 0xFFFFFFFF unknown
  uint32_t bSigned;             // input for the KML document
  uint32_t bUtcTime;            // input for the KML document, which may clear it
  uint32_t bPressureAltitude;   // input for the KML document
  int32_t nMinAltitude;         // metres
  int32_t nMaxAltitude;         // metres
  double dTopSpeed;             // km/h over 10 s
  double dMaxMeanSpeed;         // km/h over 60 s
  double dTrackLength;          // m
  double dMinClimb;             // m/s over 60 s, 0 or negative
  double dMaxClimb;             // m/s over 60 s, 0 or positive
  uint32_t adwOpenIdx[2];
  double dOpenDistance;
  uint32_t adw3PointIdx[3];
  double ad3PointLeg[2];
  double d3PointDistance;
  uint32_t adw4PointIdx[4];
  double ad4PointLeg[3];
  double d4PointDistance;
  uint32_t adw5PointIdx[5];
  double ad5PointLeg[4];
  double d5PointDistance;
  uint32_t adwOutReturnIdx[3];
  double dOutReturnLeg;
  double dOutReturnClosing;
  double dOutReturnScore;
  uint32_t adwFlatIdx[5];
  double adFlatLeg[3];
  double dFlatClosing;
  double dFlatScore;
  uint32_t adwFaiIdx[5];
  double adFaiLeg[3];
  double dFaiClosing;
  double dFaiScore;
  uint32_t bExact;              // input: the figures are to be proven optimal
  uint32_t bExactProven;        // they are: the document says so
};

// Cleaning before a downloaded track is saved; each works on tGps.
int CheckForInvalidTimeStamps();
int CheckForMultipleTracks();
int CheckForTimestampConsistency();
int CheckForSpeedConsistency();

// Takeoff and landing trimming for --trim.
int TrimTrack();
void PrintTrimInformation(uint32_t index, const char* label);

// Statistics and cross-country distances for the KML document.
int AnalyzeTrack(TrackAnalysis* a);
