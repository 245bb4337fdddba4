// The command line: options into the state record.
#pragma once

void SetDefaultParameters();
int ParseArguments(int count, char** args);
int ParseCmdLine(char* line, int* count, char** args);

int HandleCmdLog(char* value);
int HandleCmdWptRead(char* value);
int HandleCmdWptWrite(char* value);
int HandleCmdTranslate(char* value);
int HandleCmdTask(char* value);
int HandleCmdPort(char* value);
int HandleCmdGpsType(char* value);
int HandleCmdGap(char* value);
int HandleCmdFlightSelect(char* value);
int HandleCmdBaudrate(char* value);

constexpr int kMaxCmdLineArgs = 30;
