// Analysis steps not in this build yet. Until it lands no KML document can
// be made.
#include "analysis/analysis.h"

int AnalyzeTrack(TrackAnalysis*) { return -1; }
