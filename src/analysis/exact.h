// The proven greatest cross-country distances and closed figures over every
// fix of a track (--exact), beside the sampled search of xc.cpp.
#pragma once

#include "analysis/analysis.h"

// Replaces the seven figures of `a`, which hold the sampled search's results
// on entry, by the greatest over every fix: the same definitions, points in
// strict track order, every distance by CalcDistance. The sampled results
// serve as first solutions. 0, or -1 when working memory cannot be had
// (message printed; the figures may then be partly replaced, and the caller
// writes no document). bExactProven tells whether the search completed.
int FindExactCrossCountryDistances(TrackAnalysis* a);
