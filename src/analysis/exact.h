// The proven greatest cross-country distances and closed figures over every
// fix of a track (--exact), beside the sampled search of xc.cpp.
#pragma once

#include "analysis/analysis.h"

// Replaces the seven figures of `a`, which hold the sampled search's results
// on entry, by the greatest over every fix: the same definitions, points in
// strict track order, every distance by CalcDistance. The sampled results
// serve as first solutions. 0, or -1 when working memory cannot be had
// (message printed, figures left as they were).
int FindExactCrossCountryDistances(TrackAnalysis* a);
