// Calls into native libraries with an argument list built at run time (libffi). On
// x86-64 Linux there is one C calling convention, so the callee-cleans and caller-cleans
// forms of a script call are the same call here.
#pragma once
#include <cstdint>

#include "platform/api.h"

namespace kel::platform {

// Machine types of arguments and results.
enum class NativeType : uint8_t { kVoid, kU32, kS32, kS64, kPtr, kDouble };

struct NativeArg {
    NativeType type = NativeType::kS32;
    union {
        uint32_t u32;
        int32_t s32;
        int64_t s64;
        void* ptr;
        double d;
    } v{};
};

struct NativeResult {
    NativeType type = NativeType::kVoid;
    uint64_t bits = 0;  // integers and pointers, zero- or sign-extended as the type says
    double d = 0;
    int err = 0;        // errno read right after the call (set to 0 before it)
};

constexpr int kMaxNativeArgs = 20;

// Calls `fn` with `n` (at most kMaxNativeArgs) arguments. False when the argument list
// cannot be prepared (nothing is called then).
KEL_PLATFORM_API bool native_call(void* fn, const NativeArg* args, int n, NativeType ret, NativeResult* out);

// A library by name: as given, and for a bare name (no "/") also from the program's
// directory. nullptr with last_error() 126 (not found) or 193 (not loadable).
KEL_PLATFORM_API void* native_lib_load(const char* name);

// Native callbacks: a closure whose entry calls `handler(user, args, n, ret)` with the
// raw argument values (each widened to 64 bits; doubles as their bits) and stores the
// result `ret` converted to the closure's return type.
using NativeHandler = void (*)(void* user, const NativeArg* args, int n, NativeResult* ret);
struct NativeClosure;
KEL_PLATFORM_API NativeClosure* native_closure_create(const NativeType* params, int n, NativeType ret,
                                                     NativeHandler handler, void* user);
KEL_PLATFORM_API void* native_closure_entry(const NativeClosure* c);
KEL_PLATFORM_API void native_closure_free(NativeClosure* c);

}  // namespace kel::platform
