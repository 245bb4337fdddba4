#include "frame/state.h"

GpsState tGps;
std::atomic<int32_t> restartTask{0};
