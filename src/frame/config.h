// The configuration file "velmora.cfg" of the working directory.
#pragma once

void GetConfigParameters();
int GetStringParameter(const char* line, const char* key, char* dest, int limit);
