#pragma once

#include <cstdint>

// The process-wide debug level. Always 0; nothing consults it.
int32_t GET_RZ_DEBUG_LEVEL();
