// Shared libraries loaded at run time: dlopen(RTLD_NOW | RTLD_LOCAL).
#pragma once
#include "platform/api.h"

namespace kel::platform {

// nullptr on failure, with last_error() 126 when the library was not found.
KEL_PLATFORM_API void* lib_load(const char* path);
KEL_PLATFORM_API void* lib_symbol(void* lib, const char* name);
KEL_PLATFORM_API bool lib_free(void* lib);

}  // namespace kel::platform
