#include "common/progress.h"

#include <cstdio>

namespace {

int Digits(int value) {
  char text[16];
  return std::snprintf(text, sizeof text, "%d", value);
}

}  // namespace

void ProgressStart(Progress* p, const char* label, int scroll) {
  p->pszLabel = label;
  p->nShown = 0;
  p->bScroll = scroll;
  if (scroll) {
    std::printf("%s: 0\n", label);
  } else {
    std::printf("%s: 0", label);
  }
  std::fflush(stdout);
}

void ProgressErase(Progress* p) {
  if (p->bScroll) return;
  for (int i = Digits(p->nShown); i > 0; --i) std::putchar('\b');
}

void ProgressUpdate(Progress* p, int value) {
  if (p->bScroll) {
    std::printf("%s: %d\n", p->pszLabel, value);
  } else {
    ProgressErase(p);
    std::printf("%d", value);
  }
  p->nShown = value;
  std::fflush(stdout);
}

void ProgressFinish(Progress* p, int value) {
  ProgressUpdate(p, value);
  if (!p->bScroll) std::printf("\n");
  std::fflush(stdout);
}
