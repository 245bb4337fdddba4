#include "common/input.h"

#include <cstdio>

int ReadInputLine(char* line, int size) {
  int length = 0;
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    if (length < size - 1) line[length++] = static_cast<char>(c);
  }
  if (size > 0) line[length < size ? length : size - 1] = '\0';
  if (!any) return -1;
  if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  return length;
}

int ReadInputInteger(int* value) {
  char line[128];
  for (;;) {
    int length = ReadInputLine(line, sizeof line);
    if (length < 0) return -1;
    const char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    if (*p == '\0') continue;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return -1;
    long v = 0;
    while (*p >= '0' && *p <= '9') {
      if (v < 100000000L) v = v * 10 + (*p - '0');
      ++p;
    }
    *value = static_cast<int>(negative ? -v : v);
    return 0;
  }
}
