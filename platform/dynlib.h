// Shared libraries loaded at run time: dlopen(RTLD_NOW | RTLD_LOCAL).
#pragma once
#include "platform/api.h"

namespace kel::platform {

// nullptr on failure, with last_error() 126 when the library was not found.
KEL_PLATFORM_API void* lib_load(const char* path);
// The same for a library of this program's own, whose every import the build has checked
// (-z defs): its functions are bound on their first call (RTLD_LAZY), so a request binds
// the few it calls instead of all of them when the library is loaded.
KEL_PLATFORM_API void* lib_load_own(const char* path);
KEL_PLATFORM_API void* lib_symbol(void* lib, const char* name);
KEL_PLATFORM_API bool lib_free(void* lib);
// Binds `name` of `lib` to *out (a function or object pointer); false when it is missing.
template <class T>
bool lib_bind(void* lib, const char* name, T* out) {
    *out = reinterpret_cast<T>(lib_symbol(lib, name));
    return *out != nullptr;
}

}  // namespace kel::platform
