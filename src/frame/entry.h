// Program entry: help, version, signals, configuration, command line and the
// dispatch of the one command of a run.
#pragma once

int VelmoraMain(int argc, char** argv);
void help();
void VelmoraIntExit(int sig);
void VelmoraSigExit(int sig);
