// The configuration file "velmora.cfg" of the working directory.
#pragma once

#include <cstdio>

void GetConfigParameters();
// The keys of a configuration text into tGps; the stream stays open.
void ReadConfigParameters(std::FILE* file);
int GetStringParameter(const char* line, const char* key, char* dest, int limit);
