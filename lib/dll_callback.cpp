// dllcallbackcreate, dllcallbackdestroy: native entry points that call a user-defined
// function. dllcallbackcreate(name, return type, parameter types) gives a handle (29796 to
// 30307) that dllcall passes with "callback:handle"; the return type is word, long, double
// or void, the parameter types a blank- or comma-separated list of word, long, double,
// lpstr, lpwstr and lpnull, one for each parameter of the function. A callback runs the
// function on the interpreter's thread only: called from another thread, or after it
// was destroyed, it returns 0 and the error is raised after the dllcall under way (or the
// next one).
#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/api/services.h"
#include "interp/api/builtin.h"
#include "interp/base/messages.h"
#include "lib/dll.h"
#include "platform/nativecall.h"

namespace kel::lib {

namespace pf = kel::platform;

namespace {

enum class CbType { kWord, kLong, kDouble, kLpstr, kLpwstr, kLpnull, kVoid };

struct CallbackTable;

struct Callback {
    Instance* inst = nullptr;
    CallbackTable* table = nullptr;  // outlives the closure
    int udf = -1;
    bool live = false;
    bool cdecl = false;  // the call form that last passed it
    pthread_t thread{};
    CbType ret = CbType::kVoid;
    std::vector<CbType> params;
    pf::NativeClosure* closure = nullptr;
};

struct CallbackTable {
    // Destroyed callbacks keep their closure until the instance ends, so that native code
    // still holding the address calls something harmless.
    std::unique_ptr<Callback> slots[kCallbackSlots];
    std::vector<std::unique_ptr<Callback>> retired;
    int in_use = 0;     // calls under way that pass a callback
    int running = 0;    // callbacks executing now
    // Error recorded by a callback that could not run; written from any thread.
    std::atomic<uint16_t> pending{0};
};

std::unordered_map<const Instance*, std::unique_ptr<CallbackTable>>& tables() {
    static std::unordered_map<const Instance*, std::unique_ptr<CallbackTable>> t;
    return t;
}

CallbackTable* table_of(const Instance& inst) {
    auto it = tables().find(&inst);
    return it == tables().end() ? nullptr : it->second.get();
}

Callback* callback_of(const Instance& inst, int32_t handle) {
    if (handle < kCallbackFirstHandle || handle >= kCallbackFirstHandle + kCallbackSlots) return nullptr;
    CallbackTable* t = table_of(inst);
    if (!t) return nullptr;
    Callback* cb = t->slots[handle - kCallbackFirstHandle].get();
    return cb && cb->live ? cb : nullptr;
}

bool parse_type(std::string_view w, CbType* out) {
    static constexpr std::pair<const char*, CbType> kNames[] = {
        {"word", CbType::kWord},   {"long", CbType::kLong},     {"double", CbType::kDouble}, {"lpstr", CbType::kLpstr},
        {"lpwstr", CbType::kLpwstr}, {"lpnull", CbType::kLpnull}, {"void", CbType::kVoid},
    };
    std::string l(w);
    for (char& ch : l)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    for (const auto& [n, t] : kNames) {
        if (l == n) {
            *out = t;
            return true;
        }
    }
    return false;
}

pf::NativeType native_of(CbType t) {
    switch (t) {
        case CbType::kWord: return pf::NativeType::kU32;
        case CbType::kLong: return pf::NativeType::kS32;
        case CbType::kDouble: return pf::NativeType::kDouble;
        case CbType::kLpstr:
        case CbType::kLpwstr:
        case CbType::kLpnull: return pf::NativeType::kPtr;
        case CbType::kVoid: return pf::NativeType::kVoid;
    }
    return pf::NativeType::kVoid;
}

// The closure's entry: converts the native arguments, runs the function, converts its
// result. Anything that goes wrong gives 0 and an error recorded for the caller.
void run_callback(void* user, const pf::NativeArg* args, int n, pf::NativeResult* ret) {
    auto* cb = static_cast<Callback*>(user);
    ret->bits = 0;
    ret->d = 0;
    CallbackTable* t = cb->table;
    // Another thread touches nothing but the atomic error slot.
    if (!pthread_equal(cb->thread, pthread_self()) || !cb->live) {
        uint16_t none = 0;
        t->pending.compare_exchange_strong(none, err_number(Err::NotCallbackHandle));
        return;
    }
    Instance& inst = *cb->inst;
    uint16_t before = inst.error();
    Value vals[pf::kMaxNativeArgs];
    Value result = interp::empty_value();
    Value dummy = interp::empty_value();
    int made = 0;
    for (int i = 0; i < n && i < static_cast<int>(cb->params.size()); ++i) {
        vals[i] = interp::empty_value();
        Call maker(inst, 0, &dummy, 0, vals[i], false);
        switch (cb->params[i]) {
            case CbType::kWord: maker.ret_int(static_cast<uint16_t>(args[i].v.u32)); break;
            case CbType::kLong: maker.ret_int(args[i].v.s32); break;
            case CbType::kDouble: maker.ret_float(args[i].v.d); break;
            case CbType::kLpstr: {
                auto s = static_cast<const char*>(args[i].v.ptr);
                maker.ret_str(s ? std::string_view(s) : std::string_view());
                break;
            }
            case CbType::kLpwstr: {
                auto s = static_cast<const char16_t*>(args[i].v.ptr);
                maker.ret_wide(s ? std::u16string_view(s) : std::u16string_view());
                break;
            }
            default: maker.ret_int(0); break;
        }
        made = i + 1;
        if (inst.error()) break;
    }
    if (!inst.error()) {
        ++t->running;
        interp::call_user_function(inst, cb->udf, vals, made, result);
        --t->running;
    }
    if (!inst.error()) {
        if (cb->ret == CbType::kDouble) {
            if (interp::to_float(inst, result)) ret->d = result.f;
        } else if (cb->ret != CbType::kVoid) {
            if (interp::to_int(inst, result, true))
                ret->bits = cb->ret == CbType::kWord ? static_cast<uint16_t>(result.i)
                                                     : static_cast<uint64_t>(static_cast<int64_t>(result.i));
        }
    }
    interp::release_value(inst, result);
    for (int i = 0; i < made; ++i) interp::release_value(inst, vals[i]);
    // The error cannot cross the native frames: it waits for the end of the call.
    if (inst.error() && !before) {
        uint16_t none = 0;
        t->pending.compare_exchange_strong(none, inst.error());
        inst.clear_error();
        ret->bits = 0;
        ret->d = 0;
    }
}

void dllcallbackcreate_fn(Call& c) {
    auto& t = tables()[&c.inst];
    if (!t) t = std::make_unique<CallbackTable>();
    if (t->running || t->in_use) {
        c.fail(Err::CallbacksRunning);
        return;
    }
    std::string name(c.str(1));
    for (char& ch : name)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    int udf = interp::udf_find(c.inst, name);
    auto cb = std::make_unique<Callback>();
    if (!parse_type(c.str(2), &cb->ret) || cb->ret == CbType::kLpstr || cb->ret == CbType::kLpwstr ||
        cb->ret == CbType::kLpnull) {
        c.fail(Err::CallbackBadReturnType);
        return;
    }
    std::string_view list = c.str(3);
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find_first_of(" \t,", pos);
        if (end == std::string_view::npos) end = list.size();
        if (end > pos) {
            CbType pt;
            if (!parse_type(list.substr(pos, end - pos), &pt) || pt == CbType::kVoid) {
                c.fail(Err::CallbackBadParamType).info(std::string(list.substr(pos, end - pos)));
                return;
            }
            if (cb->params.size() == static_cast<size_t>(interp::kMaxUdfParams)) {
                c.fail(Err::CallbackParamCount);
                return;
            }
            cb->params.push_back(pt);
        }
        pos = end + 1;
    }
    if (udf < 0 || interp::udf_param_count(c.inst, udf) != static_cast<int>(cb->params.size())) {
        c.fail(Err::CallbackParamCount).info(udf < 0 ? interp::fill_message(Err::InfoNoSuchUdf, name) : name);
        return;
    }
    int slot = -1;
    for (int k = 0; k < kCallbackSlots && slot < 0; ++k)
        if (!t->slots[k]) slot = k;
    if (slot < 0) {
        c.fail(Err::NotCallbackHandle).info(interp::fill_message(Err::InfoCallbacksInUse, kCallbackSlots));
        return;
    }
    pf::NativeType types[pf::kMaxNativeArgs];
    for (size_t i = 0; i < cb->params.size(); ++i) types[i] = native_of(cb->params[i]);
    cb->inst = &c.inst;
    cb->table = t.get();
    cb->udf = udf;
    cb->thread = pthread_self();
    cb->live = true;
    cb->closure = pf::native_closure_create(types, static_cast<int>(cb->params.size()), native_of(cb->ret),
                                            run_callback, cb.get());
    if (!cb->closure) {
        c.fail(Err::BinaryAllocFailed);
        return;
    }
    t->slots[slot] = std::move(cb);
    c.ret_int(kCallbackFirstHandle + slot);
}

void dllcallbackdestroy_fn(Call& c) {
    Callback* cb = callback_of(c.inst, c.integer(1));
    if (!cb) {
        c.fail(Err::NotCallbackHandle);
        return;
    }
    CallbackTable* t = table_of(c.inst);
    if (t->running || t->in_use) {
        c.fail(Err::CallbacksRunning);
        return;
    }
    cb->live = false;
    t->retired.push_back(std::move(t->slots[c.integer(1) - kCallbackFirstHandle]));
    c.ret_int(1);
}

}  // namespace

void* dll_callback_entry(const Instance& inst, int32_t handle, bool cdecl) {
    Callback* cb = callback_of(inst, handle);
    if (!cb) return nullptr;
    cb->cdecl = cdecl;
    return pf::native_closure_entry(cb->closure);
}

bool dll_callbacks_active(const Instance& inst) {
    CallbackTable* t = table_of(inst);
    return t && (t->in_use || t->running);
}

void dll_callbacks_in_use(const Instance& inst, int delta) {
    if (CallbackTable* t = table_of(inst)) t->in_use += delta;
}

uint16_t dll_callback_take_error(const Instance& inst) {
    CallbackTable* t = table_of(inst);
    return t ? t->pending.exchange(0) : 0;
}

void dll_callback_release_all(const Instance& inst) {
    auto it = tables().find(&inst);
    if (it == tables().end()) return;
    for (auto& cb : it->second->slots)
        if (cb) pf::native_closure_free(cb->closure);
    for (auto& cb : it->second->retired) pf::native_closure_free(cb->closure);
    tables().erase(it);
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kDllCallbackBuiltins[] = {
    {"dllcallbackcreate", dllcallbackcreate_fn},
    {"dllcallbackdestroy", dllcallbackdestroy_fn},
};

KEL_BUILTIN_FAMILY(kDllCallbackBuiltins)

}  // namespace kel::lib
