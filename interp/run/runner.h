// The statement loop's entry: runs one prepared script buffer in an instance.
#pragma once
#include <cstddef>
#include <cstdint>

#include "interp/base/instance.h"

namespace kel::interp {

// Runs the prepared, NUL-terminated text (`len` bytes before the terminator). Errors are
// left on the instance; the return value is the loop's result.
int32_t run_buffer(Instance& inst, char* text, size_t len);

}  // namespace kel::interp
