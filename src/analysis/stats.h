// The steps behind AnalyzeTrack: speed windows, the search for the greatest
// cross-country distances and figures, and their refinement on the full track.
#pragma once

#include <cstdint>

#include "analysis/analysis.h"

// Speed over the 10 seconds that end at point `index`, km/h; 0 at the first
// point of the track or of a segment.
void CalculateTopSpeed(const TrackPoint* points, uint32_t index, double* speed);
// Speed (km/h) and climb rate (m/s) over the 60 seconds that end at point
// `index`. Returns 0, or -1 at the first point of the track or of a segment:
// then the speed is 0 and *climb is left as it was.
int CalculateMeanSpeed(const TrackPoint* points, uint32_t index, double* speed, double* climb);

// The statistics of AnalyzeTrack: times, altitudes, speeds, climb rates and
// the track length. Needs nPoints >= 1.
void ComputeTrackStatistics(TrackAnalysis* a);
// The open, 3-, 4- and 5-point distances, out-and-return and triangles.
// 0, or -1 when its working memory cannot be had (message printed).
int FindCrossCountryDistances(TrackAnalysis* a);

// Refinement on the full track: every point of the combination is moved up
// to two track points either way and the greatest combination is kept.
void CheckTp0Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1);
void CheckTp1Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2);
void CheckTp2Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3);
void CheckTp3Distance(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                      uint32_t* p4);
// Closed figures: the indices are rewritten only when a candidate scores
// above 0.
void CheckOutAndReturn(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2);
void CheckFlatTriangle(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                       uint32_t* p4);
void CheckFaiTriangle(const TrackAnalysis* a, uint32_t* p0, uint32_t* p1, uint32_t* p2, uint32_t* p3,
                      uint32_t* p4);

// Ellipsoidal distance from one track point to another, 0 when it cannot be
// computed.
double CalcLegDistance(const TrackPoint* from, const TrackPoint* to);
