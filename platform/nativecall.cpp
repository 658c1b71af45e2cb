// Platform layer: typed calls into native code through libffi, and closures that native
// code can call back.
#include "platform/nativecall.h"

#include <ffi.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/dynlib.h"
#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/request_reset.h"
#include "platform/process.h"

#ifndef KEL_FFI_SONAME
#define KEL_FFI_SONAME "libffi.so.8"  // the build names the one it found
#endif

namespace kel::platform {

namespace {

// libffi, loaded on the first native call: a request that makes none never maps it.
struct Ffi {
    ffi_status (*prep_cif)(ffi_cif*, ffi_abi, unsigned, ffi_type*, ffi_type**) = nullptr;
    void (*call)(ffi_cif*, void (*)(void), void*, void**) = nullptr;
    void* (*closure_alloc)(size_t, void**) = nullptr;
    void (*closure_free)(void*) = nullptr;
    ffi_status (*prep_closure_loc)(ffi_closure*, ffi_cif*, void (*)(ffi_cif*, void*, void**, void*), void*,
                                   void*) = nullptr;
    ffi_type* types[6] = {};  // by NativeType
    bool ok = false;
};

const Ffi& ffi() {
    static const Ffi f = [] {
        Ffi r;
        uint32_t saved = last_error();
        void* lib = lib_load(KEL_FFI_SONAME);  // kept for the life of the process
        bool ok = lib && lib_bind(lib, "ffi_prep_cif", &r.prep_cif) && lib_bind(lib, "ffi_call", &r.call) &&
                  lib_bind(lib, "ffi_closure_alloc", &r.closure_alloc) && lib_bind(lib, "ffi_closure_free", &r.closure_free) &&
                  lib_bind(lib, "ffi_prep_closure_loc", &r.prep_closure_loc);
        constexpr const char* kTypes[] = {"ffi_type_void",    "ffi_type_uint32",  "ffi_type_sint32",
                                          "ffi_type_sint64",  "ffi_type_pointer", "ffi_type_double"};
        for (int i = 0; ok && i < 6; ++i) ok = lib_bind(lib, kTypes[i], &r.types[i]);
        r.ok = ok;
        set_last_error(saved);
        return r;
    }();
    return f;
}

ffi_type* ffi_of(NativeType t) {
    const Ffi& f = ffi();
    switch (t) {
        case NativeType::kVoid: return f.types[0];
        case NativeType::kU32: return f.types[1];
        case NativeType::kS32: return f.types[2];
        case NativeType::kS64: return f.types[3];
        case NativeType::kPtr: return f.types[4];
        case NativeType::kDouble: return f.types[5];
    }
    return f.types[0];
}

}  // namespace

bool native_call(void* fn, const NativeArg* args, int n, NativeType ret, NativeResult* out) {
    if (!fn || n < 0 || n > kMaxNativeArgs || !out) return false;
    // Native code may write to the standard output itself: the response so far goes first.
    detail::flush_std_output_buffer();
    const Ffi& f = ffi();
    if (!f.ok) return false;
    ffi_type* types[kMaxNativeArgs];
    void* values[kMaxNativeArgs];
    for (int i = 0; i < n; ++i) {
        types[i] = ffi_of(args[i].type);
        values[i] = const_cast<void*>(static_cast<const void*>(&args[i].v));
    }
    ffi_cif cif;
    if (f.prep_cif(&cif, FFI_DEFAULT_ABI, static_cast<unsigned>(n), ffi_of(ret), types) != FFI_OK) return false;
    // Small integer results come back widened to a full register (ffi_arg).
    union {
        ffi_arg a;
        ffi_sarg s;
        double d;
        void* p;
        uint64_t u;
    } r{};
    errno = 0;
    f.call(&cif, FFI_FN(fn), &r, values);
    out->err = errno;
    out->type = ret;
    out->bits = 0;
    out->d = 0;
    switch (ret) {
        case NativeType::kVoid: break;
        case NativeType::kU32: out->bits = static_cast<uint32_t>(r.a); break;
        case NativeType::kS32: out->bits = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(r.s))); break;
        case NativeType::kS64: out->bits = r.u; break;
        case NativeType::kPtr: out->bits = reinterpret_cast<uintptr_t>(r.p); break;
        case NativeType::kDouble: out->d = r.d; break;
    }
    return true;
}

void* native_lib_load(const char* name) {
    // Its code, its static state and whatever it started stay with the process.
    mark_process_spent("a native library was loaded");
    void* h = lib_load(name);
    if (h || !name || !*name || std::strchr(name, '/')) return h;
    uint32_t first = last_error();
    std::string local = program_dir() + "/" + name;
    h = lib_load(local.c_str());
    // A library that is not in the program directory keeps the first attempt's reason.
    if (!h && last_error() == 126) set_last_error(first);
    return h;
}

struct NativeClosure {
    ffi_closure* closure = nullptr;
    void* entry = nullptr;
    ffi_cif cif{};
    ffi_type* types[kMaxNativeArgs] = {};
    NativeType params[kMaxNativeArgs] = {};
    int n = 0;
    NativeType ret = NativeType::kVoid;
    NativeHandler handler = nullptr;
    void* user = nullptr;
};

namespace {

void closure_trampoline(ffi_cif*, void* ret, void** args, void* data) {
    auto* c = static_cast<NativeClosure*>(data);
    NativeArg a[kMaxNativeArgs];
    for (int i = 0; i < c->n; ++i) {
        a[i].type = c->params[i];
        switch (c->params[i]) {
            case NativeType::kU32: a[i].v.u32 = *static_cast<uint32_t*>(args[i]); break;
            case NativeType::kS32: a[i].v.s32 = *static_cast<int32_t*>(args[i]); break;
            case NativeType::kS64: a[i].v.s64 = *static_cast<int64_t*>(args[i]); break;
            case NativeType::kPtr: a[i].v.ptr = *static_cast<void**>(args[i]); break;
            case NativeType::kDouble: a[i].v.d = *static_cast<double*>(args[i]); break;
            case NativeType::kVoid: break;
        }
    }
    NativeResult r;
    r.type = c->ret;
    c->handler(c->user, a, c->n, &r);
    switch (c->ret) {
        case NativeType::kVoid: break;
        case NativeType::kDouble: *static_cast<double*>(ret) = r.d; break;
        case NativeType::kU32: *static_cast<ffi_arg*>(ret) = static_cast<uint32_t>(r.bits); break;
        case NativeType::kS32:
            *static_cast<ffi_sarg*>(ret) = static_cast<int32_t>(static_cast<uint32_t>(r.bits));
            break;
        case NativeType::kS64:
        case NativeType::kPtr: *static_cast<uint64_t*>(ret) = r.bits; break;
    }
}

}  // namespace

NativeClosure* native_closure_create(const NativeType* params, int n, NativeType ret, NativeHandler handler,
                                     void* user) {
    if (n < 0 || n > kMaxNativeArgs || !handler) return nullptr;
    mark_process_spent("a native callback was made");
    const Ffi& f = ffi();
    if (!f.ok) {
        set_last_error(126);
        return nullptr;
    }
    auto* c = new NativeClosure;
    c->n = n;
    c->ret = ret;
    c->handler = handler;
    c->user = user;
    for (int i = 0; i < n; ++i) {
        c->params[i] = params[i];
        c->types[i] = ffi_of(params[i]);
    }
    c->closure = static_cast<ffi_closure*>(f.closure_alloc(sizeof(ffi_closure), &c->entry));
    if (!c->closure || f.prep_cif(&c->cif, FFI_DEFAULT_ABI, static_cast<unsigned>(n), ffi_of(ret), c->types) != FFI_OK ||
        f.prep_closure_loc(c->closure, &c->cif, closure_trampoline, c, c->entry) != FFI_OK) {
        native_closure_free(c);
        set_last_error(8);
        return nullptr;
    }
    return c;
}

void* native_closure_entry(const NativeClosure* c) { return c ? c->entry : nullptr; }

void native_closure_free(NativeClosure* c) {
    if (!c) return;
    if (c->closure) ffi().closure_free(c->closure);
    delete c;
}

}  // namespace kel::platform
