// Placeholder ABI shell; the simulation replaces it.
#include "tapwire/tapwire.h"

#define TAPWIRE_EXPORT extern "C" __attribute__((visibility("default")))

TAPWIRE_EXPORT int32_t tapwire_abi_version(void) { return TAPWIRE_ABI_VERSION; }
TAPWIRE_EXPORT const char* tapwire_last_error(void) { return ""; }
