// IGC flight files: the writer and the reader used by the conversion.
#pragma once

#include <cstdint>

int TranslateIgcLog();
