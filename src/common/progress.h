// Progress counters on the terminal: "Points: 0" rewritten in place with
// backspaces, or one line per update with --scroll.
#pragma once

struct Progress {
  const char* pszLabel;  // e.g. "Points"
  int nShown;            // the number on the line now
  int bScroll;
};

void ProgressStart(Progress* p, const char* label, int scroll);
void ProgressUpdate(Progress* p, int value);
// The last update: ends the line.
void ProgressFinish(Progress* p, int value);
// Normal mode only: takes the number off the line again.
void ProgressErase(Progress* p);
