// Platform layer: shared libraries loaded at run time. Symbol binding by name only; the
// ordinal table lives with the shared records.
#include "platform/dynlib.h"

#include <dlfcn.h>

#include <cstring>

#include "platform/errors.h"
#include "platform/internal.h"

namespace kel::platform {

namespace {

void* load(const char* path, int binding) {
    if (!path || !*path) {
        set_last_error(87);
        return nullptr;
    }
    dlerror();
    void* h = dlopen(path, binding | RTLD_LOCAL);
    if (h) return h;
    // dlopen leaves no errno: a missing file or missing dependency is "module not found"
    // (126), as Windows reports both; a file that is there but not loadable is 193.
    const char* why = dlerror();
    bool missing = !why || std::strstr(why, "No such file") != nullptr;
    set_last_error(missing ? 126 : 193);
    return nullptr;
}

}  // namespace

void* lib_load(const char* path) { return load(path, RTLD_NOW); }

void* lib_load_own(const char* path) { return load(path, RTLD_LAZY); }

void* lib_symbol(void* lib, const char* name) {
    if (!lib || !name || !*name) {
        set_last_error(lib ? 127 : 6);
        return nullptr;
    }
    dlerror();
    void* s = dlsym(lib, name);
    if (!s) set_last_error(127);
    return s;
}

bool lib_free(void* lib) {
    if (!lib) {
        set_last_error(6);
        return false;
    }
    if (dlclose(lib) != 0) {
        set_last_error(6);
        return false;
    }
    return true;
}

}  // namespace kel::platform
