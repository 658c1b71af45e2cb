// dllload, dllfree, dllcall, dllcallcdecl, dlllasterror: native libraries called from
// scripts. dllcall reads its own argument list: the library, "rettype:entry", then up to
// 20 "type:value" arguments (lpnull stands alone).
#include "lib/dll.h"

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "interp/data/convert.h"
#include "interp/api/services.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/base/messages.h"
#include "lib/binbuf.h"
#include "interp/api/builtin.h"
#include "platform/dynlib.h"
#include "platform/errors.h"
#include "platform/nativecall.h"

namespace kel::lib {

using interp::Value;
namespace pf = kel::platform;

namespace {

constexpr int kLibSlots = 10;
constexpr size_t kMaxLibName = 259;
constexpr size_t kMaxEntryName = 127;

struct DllState {
    void* libs[kLibSlots] = {};
    int used = 0;
    int32_t last_error = 0;
};

std::unordered_map<const Instance*, std::unique_ptr<DllState>>& states() {
    static std::unordered_map<const Instance*, std::unique_ptr<DllState>> s;
    return s;
}

DllState& state_of(const Instance& inst) {
    auto& p = states()[&inst];
    if (!p) p = std::make_unique<DllState>();
    return *p;
}

DllState* find_state(const Instance& inst) {
    auto it = states().find(&inst);
    return it == states().end() ? nullptr : it->second.get();
}

// "?" and the decimal handle; the slot of a handle string that names a library of this
// instance's table, or -1 (any other text, digits that are not a loaded library).
int handle_slot(const Instance& inst, std::string_view s) {
    if (s.size() < 2 || s[0] != '?') return -1;
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data() + 1, s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v == 0) return -1;
    DllState* st = find_state(inst);
    if (!st) return -1;
    for (int k = 0; k < kLibSlots; ++k)
        if (st->libs[k] && reinterpret_cast<uintptr_t>(st->libs[k]) == v) return k;
    return -1;
}

// Raises 1299 (not found) or 1300 (not loadable) for a failed load.
void* load_library(Instance& inst, const char* name) {
    void* h = pf::native_lib_load(name);
    if (!h) inst.fail(pf::last_error() == 126 ? Err::DllNotFound : Err::DllNotLoadable);
    return h;
}

void dllload_fn(Call& c) {
    DllState& st = state_of(c.inst);
    if (st.used >= kLibSlots) {
        c.fail(Err::TooManyDllLoads);
        return;
    }
    std::string name(c.str(1));
    void* h = load_library(c.inst, name.c_str());
    if (!h) return;
    for (int k = 0; k < kLibSlots; ++k) {
        if (!st.libs[k]) {
            st.libs[k] = h;
            ++st.used;
            break;
        }
    }
    c.ret_str("?" + std::to_string(reinterpret_cast<uintptr_t>(h)));
}

void dllfree_fn(Call& c) {
    int slot = handle_slot(c.inst, c.str(1));
    if (slot < 0) {
        c.fail(Err::BadDllHandle);
        return;
    }
    // The library may be running the callback that got here.
    if (dll_callbacks_active(c.inst)) {
        c.fail(Err::CallbacksRunning);
        return;
    }
    DllState& st = state_of(c.inst);
    pf::lib_free(st.libs[slot]);
    st.libs[slot] = nullptr;
    --st.used;
    c.ret_int(slot);
}

void dlllasterror_fn(Call& c) {
    DllState* st = find_state(c.inst);
    c.ret_int(st ? st->last_error : 0);
}

// --- dllcall -------------------------------------------------------------------------

enum class ArgKind { kWord, kLong, kLongPtr, kLpstr, kLpwstr, kDouble, kLpbinary, kLpstruct, kCallback, kLpnull, kVoid };

struct TypeName {
    const char* name;
    ArgKind kind;
};
constexpr TypeName kTypeNames[] = {
    {"word", ArgKind::kWord},         {"long", ArgKind::kLong},         {"long_ptr", ArgKind::kLongPtr},
    {"lpstr", ArgKind::kLpstr},       {"lpwstr", ArgKind::kLpwstr},     {"double", ArgKind::kDouble},
    {"lpbinary", ArgKind::kLpbinary}, {"lpstruct", ArgKind::kLpstruct}, {"callback", ArgKind::kCallback},
    {"lpnull", ArgKind::kLpnull},     {"void", ArgKind::kVoid},
};

// The bare word at the read position as a type keyword; false when there is no word or
// it is no type name. Reads nothing but the word.
bool read_type_word(Instance& inst, ArgKind* out) {
    const char* p = inst.tok.pos ? inst.tok.pos : "";
    while (*p == ' ' || *p == '\t') ++p;
    if (!interp::is_name_char(static_cast<unsigned char>(*p))) return false;
    interp::get_string_token(inst);
    if (inst.error()) return false;
    std::string w = inst.tok.text;
    for (char& ch : w)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    for (const TypeName& t : kTypeNames) {
        if (w == t.name) {
            *out = t.kind;
            return true;
        }
    }
    return false;
}

// One prepared argument: the machine value and the storage it points into.
struct PreparedArgs {
    pf::NativeArg args[pf::kMaxNativeArgs];
    int n = 0;
    std::vector<std::unique_ptr<std::string>> narrow;
    std::vector<std::unique_ptr<std::u16string>> wide;
    std::vector<int32_t> binbufs;
    int callbacks = 0;
};

// Converts one script value by its type into the next machine argument. Releases `v`.
bool prepare_arg(Instance& inst, ArgKind kind, Value& v, PreparedArgs& pa, bool cdecl) {
    pf::NativeArg& a = pa.args[pa.n];
    bool ok = true;
    Err err{};
    switch (kind) {
        case ArgKind::kWord:
        case ArgKind::kLong:
        case ArgKind::kLongPtr: {
            ok = interp::to_int(inst, v, true) || (!inst.error() && interp::to_float(inst, v) && interp::to_int(inst, v, true));
            if (!ok) {
                err = kind == ArgKind::kWord ? Err::DllCallNotShort : Err::DllCallNotLong;
                break;
            }
            if (kind == ArgKind::kWord) {
                a.type = pf::NativeType::kU32;
                a.v.u32 = static_cast<uint16_t>(v.i);
            } else if (kind == ArgKind::kLong) {
                a.type = pf::NativeType::kS32;
                a.v.s32 = v.i;
            } else {
                a.type = pf::NativeType::kS64;
                a.v.s64 = v.i;
            }
            break;
        }
        case ArgKind::kLpstr: {
            if (!interp::to_str(inst, v)) {
                ok = false;
                err = Err::DllCallNotString;
                break;
            }
            pa.narrow.push_back(std::make_unique<std::string>(interp::heap_str(inst, v.str)));
            a.type = pf::NativeType::kPtr;
            a.v.ptr = pa.narrow.back()->data();
            break;
        }
        case ArgKind::kLpwstr: {
            if (!interp::to_wide(inst, v)) {
                ok = false;
                err = Err::DllCallNotString;
                break;
            }
            pa.wide.push_back(std::make_unique<std::u16string>(interp::value_wide(inst, v)));
            a.type = pf::NativeType::kPtr;
            a.v.ptr = pa.wide.back()->data();
            break;
        }
        case ArgKind::kDouble:
            if (!interp::to_float(inst, v)) {
                ok = false;
                err = Err::DllCallNotDouble;
                break;
            }
            a.type = pf::NativeType::kDouble;
            a.v.d = v.f;
            break;
        case ArgKind::kLpbinary:
        case ArgKind::kLpstruct:
        case ArgKind::kCallback: {
            Err bad = kind == ArgKind::kLpbinary   ? Err::BadBinaryHandle
                      : kind == ArgKind::kLpstruct ? Err::NotStructHandle
                                                   : Err::NotCallbackHandle;
            if (!interp::to_int(inst, v, false)) {
                ok = false;
                err = bad;
                break;
            }
            void* p = nullptr;
            if (kind == ArgKind::kLpbinary) {
                if (BinBuf* b = binbuf_get(inst, v.i)) {
                    p = b->data;
                    pa.binbufs.push_back(v.i);
                }
            } else if (kind == ArgKind::kLpstruct) {
                p = dll_struct_memory(inst, v.i);
            } else {
                p = dll_callback_entry(inst, v.i, cdecl);
                if (p) {
                    dll_callbacks_in_use(inst, 1);
                    ++pa.callbacks;
                }
            }
            if (!p) {
                ok = false;
                err = bad;
                break;
            }
            a.type = pf::NativeType::kPtr;
            a.v.ptr = p;
            break;
        }
        case ArgKind::kLpnull:
        case ArgKind::kVoid:
            a.type = pf::NativeType::kPtr;
            a.v.ptr = nullptr;
            break;
    }
    interp::release_value(inst, v);
    if (!ok) {
        if (!inst.error()) inst.fail(err);
        return false;
    }
    ++pa.n;
    return true;
}

// Evaluates the expression at the next token; false with the error raised.
bool next_expression(Instance& inst, Value& v) {
    interp::get_token(inst);
    if (inst.error()) return false;
    v = interp::empty_value();
    interp::eval_expression(inst, v, false, false, nullptr);
    if (inst.error()) {
        interp::release_value(inst, v);
        return false;
    }
    return true;
}

bool at_comma_or_close(const Instance& inst) {
    return interp::tok_is(inst, interp::Kw::Comma) || interp::tok_is(inst, interp::Kw::RParen);
}

void dll_call(Call& c, bool cdecl) {
    Instance& inst = c.inst;
    PreparedArgs pa;
    auto lower_callbacks = [&] {
        if (pa.callbacks) dll_callbacks_in_use(inst, -pa.callbacks);
        pa.callbacks = 0;
    };

    // 1. The library.
    Value v;
    if (!next_expression(inst, v)) return;
    bool lib_ok = interp::to_str(inst, v);
    std::string lib_name = lib_ok ? std::string(interp::heap_str(inst, v.str)) : std::string();
    interp::release_value(inst, v);
    if (inst.error()) return;
    if (interp::tok_is(inst, interp::Kw::RParen)) {
        c.fail(Err::DllCallTooFewParams);
        return;
    }
    if (!lib_ok || !interp::tok_is(inst, interp::Kw::Comma)) {
        c.fail(Err::DllCallBadName);
        return;
    }
    if (lib_name.size() > kMaxLibName) lib_name.resize(kMaxLibName);

    // 2. The return type and the entry point.
    ArgKind ret = ArgKind::kVoid;
    if (!read_type_word(inst, &ret) || ret == ArgKind::kLpbinary || ret == ArgKind::kLpstruct ||
        ret == ArgKind::kCallback || ret == ArgKind::kLpnull) {
        if (!inst.error()) c.fail(Err::DllCallBadReturnType);
        return;
    }
    interp::get_token(inst);
    if (inst.error()) return;
    if (!interp::tok_is(inst, interp::Kw::Colon)) {
        c.fail(Err::DllCallMissingColon);
        return;
    }
    if (!next_expression(inst, v)) return;
    bool ordinal = false;
    std::string entry;
    {
        Value probe = interp::empty_value();
        if (!interp::copy_value(inst, v, probe)) {
            interp::release_value(inst, v);
            return;
        }
        ordinal = !(probe.flags & kVtArray) && interp::to_int(inst, probe, false);
        interp::release_value(inst, probe);
        bool named = !ordinal && !inst.error() && interp::to_str(inst, v);
        if (named) entry = interp::heap_str(inst, v.str);
        interp::release_value(inst, v);
        if (inst.error()) return;
        if ((!ordinal && !named) || !at_comma_or_close(inst)) {
            c.fail(Err::DllCallBadEntryPoint);
            return;
        }
    }
    if (entry.size() > kMaxEntryName) entry.resize(kMaxEntryName);

    // 3. The typed arguments.
    while (interp::tok_is(inst, interp::Kw::Comma)) {
        if (pa.n == pf::kMaxNativeArgs) {
            lower_callbacks();
            c.fail(Err::DllCallTooManyParams);
            return;
        }
        ArgKind kind = ArgKind::kVoid;
        if (!read_type_word(inst, &kind) || kind == ArgKind::kVoid) {
            lower_callbacks();
            if (!inst.error()) c.fail(Err::DllCallBadParmCode);
            return;
        }
        interp::get_token(inst);
        if (inst.error()) return lower_callbacks();
        if (kind == ArgKind::kLpnull) {
            Value none = interp::empty_value();
            prepare_arg(inst, kind, none, pa, cdecl);
        } else {
            if (!interp::tok_is(inst, interp::Kw::Colon)) {
                lower_callbacks();
                c.fail(Err::DllCallMissingColon);
                return;
            }
            if (!next_expression(inst, v)) return lower_callbacks();
            if (!prepare_arg(inst, kind, v, pa, cdecl)) return lower_callbacks();
        }
        if (!at_comma_or_close(inst)) {
            lower_callbacks();
            c.fail(Err::DllCallBadPunctuation);
            return;
        }
    }

    // The call: a "?" handle must be one of this instance's libraries; a file name is
    // loaded for this call only.
    void* lib = nullptr;
    bool own = false;
    if (!lib_name.empty() && lib_name[0] == '?') {
        int slot = handle_slot(inst, lib_name);
        if (slot < 0) {
            lower_callbacks();
            c.fail(Err::DllBadEntryPoint).info(interp::fill_message(Err::InfoNotDllLoadHandle, lib_name));
            return;
        }
        lib = state_of(inst).libs[slot];
    } else {
        lib = load_library(inst, lib_name.c_str());
        if (!lib) return lower_callbacks();
        own = true;
    }
    // Entry points are found by name only: an ordinal names nothing here.
    void* fn = ordinal ? nullptr : pf::lib_symbol(lib, entry.c_str());
    if (!fn) {
        if (own) pf::lib_free(lib);
        lower_callbacks();
        c.fail(Err::DllBadEntryPoint);
        return;
    }
    pf::NativeType rt = pf::NativeType::kVoid;
    switch (ret) {
        case ArgKind::kWord: rt = pf::NativeType::kU32; break;
        case ArgKind::kLong: rt = pf::NativeType::kS32; break;
        case ArgKind::kLongPtr: rt = pf::NativeType::kS64; break;
        case ArgKind::kLpstr:
        case ArgKind::kLpwstr: rt = pf::NativeType::kPtr; break;
        case ArgKind::kDouble: rt = pf::NativeType::kDouble; break;
        default: break;
    }
    pf::NativeResult r;
    bool called = pf::native_call(fn, pa.args, pa.n, rt, &r);
    if (called) state_of(inst).last_error = r.err;
    lower_callbacks();
    if (!called) {
        if (own) pf::lib_free(lib);
        c.fail(Err::DllCallBadTypeList);
        return;
    }
    // The result, copied before a library loaded for this call goes away.
    switch (ret) {
        case ArgKind::kWord: c.ret_int(static_cast<uint16_t>(r.bits)); break;
        case ArgKind::kLong:
        case ArgKind::kLongPtr: c.ret_int(static_cast<int32_t>(static_cast<uint32_t>(r.bits))); break;
        case ArgKind::kDouble: c.ret_float(r.d); break;
        case ArgKind::kLpstr: {
            const char* s = reinterpret_cast<const char*>(static_cast<uintptr_t>(r.bits));
            c.ret_str(s ? std::string_view(s) : std::string_view());
            break;
        }
        case ArgKind::kLpwstr: {
            const char16_t* s = reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(r.bits));
            c.ret_wide(s ? std::u16string_view(s) : std::u16string_view());
            break;
        }
        default: c.ret_int(0); break;
    }
    if (own) pf::lib_free(lib);
    if (inst.error()) return;
    if (uint16_t e = dll_callback_take_error(inst)) {
        c.fail(e);
        return;
    }
    // Buffers passed by address must have survived the call (a callback may free them).
    for (int32_t h : pa.binbufs) {
        if (!binbuf_get(inst, h)) {
            c.fail(Err::BadBinaryHandle);
            return;
        }
    }
}

void dllcall_fn(Call& c) { dll_call(c, false); }
void dllcallcdecl_fn(Call& c) { dll_call(c, true); }

}  // namespace

void dll_release_all(const Instance& inst) {
    dll_callback_release_all(inst);
    dll_struct_release_all(inst);
    auto it = states().find(&inst);
    if (it == states().end()) return;
    for (void*& h : it->second->libs) {
        if (h) pf::lib_free(h);
        h = nullptr;
    }
    states().erase(it);
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kDllBuiltins[] = {
    {"dllcall", dllcall_fn},
    {"dllcallcdecl", dllcallcdecl_fn},
    {"dllfree", dllfree_fn},
    {"dlllasterror", dlllasterror_fn},
    {"dllload", dllload_fn},
};

KEL_BUILTIN_FAMILY(kDllBuiltins)

}  // namespace kel::lib
