// Answers typed at the terminal.
#pragma once

// Reads one line from standard input into line (at most size - 1 characters,
// without the line end); the rest of an over-long line is read and dropped.
// Returns the length, or -1 at the end of input or once a stop is requested
// (SIGINT, SIGTERM): both are a refusal. Waits in poll, so a signal is seen
// within about 100 ms however the handler was installed.
int ReadInputLine(char* line, int size);

// Reads an integer answer the way a pilot types it: blank lines are passed
// over, then the first line must start (after blanks) with an optionally
// signed decimal number. 0 with *value set, -1 when no number could be read
// (end of input included).
int ReadInputInteger(int* value);
