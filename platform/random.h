// Random bytes from the system's source, for keys that a request must not guess.
#pragma once
#include "platform/api.h"

namespace kel::platform {

// Fills `n` bytes. Never fails: without the system source it mixes the clock, the
// process id and an address, which still differ from process to process.
KEL_PLATFORM_API void random_bytes(void* out, size_t n);

}  // namespace kel::platform
