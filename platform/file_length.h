// Setting a file's length, for callers that write at offsets past the end of a file: the
// file is cut, or extended with a hole that reads back as zero bytes, without writing them.
#pragma once
#include <cstdint>
#include "platform/api.h"
#include "platform/fileio.h"

namespace kel::platform {

// SetEndOfFile at `length`. False (last_error set) for a negative length, a descriptor
// not open for writing, or a file system that refuses the size (112 when full, 87 for a
// length beyond what it keeps).
KEL_PLATFORM_API bool file_set_length(File f, int64_t length);

}  // namespace kel::platform
