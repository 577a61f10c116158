#include "host/DebugLevel.h"

int32_t GET_RZ_DEBUG_LEVEL() { return 0; }
