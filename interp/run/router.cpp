// The builtin router. Implementations are found through a process-wide id -> function
// table built from the registered families on the first call.
#include "interp/run/router.h"

#include <cstring>

#include "interp/data/convert.h"
#include "interp/run/host_call.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/base/messages.h"
#include "interp/run/udf.h"
#include "interp/api/builtin.h"

namespace kel::interp {

namespace {

// This platform is always the NT family: parameter code 7 means a wide string.
constexpr bool kWidePlatform = true;
constexpr int32_t kHostInterfaceVersion = 4;
constexpr uint16_t kVariantString = 8;
constexpr uint16_t kVariantByRef = 0x4000;

bool variant_is_string(const ValueCore& v) {
    if (!(v.flags & kVtVariant)) return false;
    uint16_t vt;
    std::memcpy(&vt, v.variant, sizeof vt);
    return vt == kVariantString || vt == (kVariantString | kVariantByRef);
}

int code_of(uint64_t ptypes, int n) { return static_cast<int>((ptypes >> (4 * (n - 1))) & 15u); }

bool wide_preference(const Value* args, int argc, uint64_t ptypes) {
    for (int n = 1; n <= argc && n <= kMaxCallArgs; ++n) {
        int code = code_of(ptypes, n);
        if (code != kPtStrCall && !(code == kPtStrAuto && kWidePlatform)) continue;
        if ((args[n - 1].flags & kVtWide) || variant_is_string(args[n - 1])) return true;
    }
    return false;
}

// Either width of string: wide when asked, and the narrow form beside it so that an
// implementation can read whichever it needs.
bool string_arg(Instance& inst, Value& v, bool wide) {
    if (!wide) {
        if (to_str(inst, v)) return true;
        if (!inst.error()) inst.fail(Err::NotAString);
        return false;
    }
    if (!to_wide(inst, v)) {
        if (!inst.error()) inst.fail(Err::NotUnicode);
        return false;
    }
    if (!(v.flags & kVtStr) && !to_str(inst, v) && !inst.error()) inst.fail(Err::NotUnicode);
    return !inst.error();
}

bool convert_arg(Instance& inst, Value& v, int n, int code, bool wide_pref) {
    switch (code) {
        case kPtStr: return string_arg(inst, v, false);
        case kPtFloat:
            if (to_float(inst, v)) return true;
            if (!inst.error()) inst.fail(Err::NotAFloat);
            return false;
        case kPtArray:
            if (v.flags & kVtArray) return true;
            inst.fail(Err::NotArrayVariable);
            return false;
        case kPtVariant:
            // Values become variants only through the automation layer, absent here.
            if (v.flags & kVtVariant) return true;
            inst.fail(Err::NotAVariant);
            return false;
        case kPtWide:
            if (to_wide(inst, v)) return true;
            if (!inst.error()) inst.fail(Err::NotUnicode);
            return false;
        case kPtStrCall: return string_arg(inst, v, wide_pref);
        case kPtStrPlatform: return string_arg(inst, v, kWidePlatform);
        case kPtStrAuto: return string_arg(inst, v, wide_pref && kWidePlatform);
        case kPtAny: return true;
        default: {  // 0 and 9 to 14: integer
            if (to_int(inst, v, true)) return true;
            if (!inst.error() && to_float(inst, v) && to_int(inst, v, true)) return true;
            if (!inst.error())
                inst.fail(Err::NotANumber).info(fill_message(message_text(Err::InfoArgNotConverted), 'd', format_int(n)));
            return false;
        }
    }
}

void not_implemented(Instance& inst, int id) {
    inst.fail(Err::FunctionNotDefined).info(fill_message(Err::InfoNotImplemented, keyword_display_name(inst, id)));
}

void call_host_function(Instance& inst, int id, Value& result, Value* args, int argc) {
    ExchangeValue ev[kMaxCallArgs] = {};
    int n = argc < kMaxCallArgs ? argc : kMaxCallArgs;
    for (int k = 0; k < n; ++k) {
        Value& a = args[k];
        // Interfaces below 5 take narrow strings only.
        if (kHostInterfaceVersion < 5 && (a.flags & kVtWide) && !(a.flags & kVtStr)) {
            if (!to_str(inst, a)) {
                if (!inst.error()) inst.fail(Err::NotAString);
                return;
            }
        }
        std::memcpy(ev[k].variant, a.variant, sizeof ev[k].variant);
        ev[k].f = a.f;
        ev[k].i = a.i;
        ev[k].flags = a.flags;
        if (a.flags & kVtArray)
            ev[k].str = reinterpret_cast<char*>(static_cast<uintptr_t>(a.str));
        else
            ev[k].str = heap_ptr(inst, a.str);
        ev[k].wstr = reinterpret_cast<char16_t*>(heap_ptr(inst, a.wstr));
    }
    release_value(inst, inst.result);
    inst.result = empty_value();
    call_host(inst, id - kHostIdFirst, ev, n);
    if (inst.error()) {
        release_value(inst, inst.result);
        inst.result = empty_value();
        return;
    }
    if (inst.result.flags != 0) {
        release_value(inst, result);
        static_cast<ValueCore&>(result) = inst.result;
        inst.result = empty_value();
    }
}

}  // namespace

std::string keyword_display_name(const Instance& inst, int id) {
    if (id >= 0 && id < kKeywordCount) return std::string(keyword_name(keyword(id)));
    if (id >= kHostIdFirst && id <= kHostIdLast && inst.host_table) {
        const KeywordRecord& r = inst.host_table[id - kHostIdFirst];
        return std::string(r.name, strnlen(r.name, sizeof r.name));
    }
    if (id >= kUdfIdFirst && id <= kUdfIdLast) return std::string(udf_name(inst, id - kUdfIdFirst));
    return "#" + format_int(id);
}

int call_udf(Instance& inst, int id, Value& result, Value* args, int argc, bool from_compiled) {
    release_value(inst, result);
    result = empty_value();
    result.i = 0;
    result.flags = kVtInt;
    if (argc < 0 || (argc > 0 && !args)) argc = 0;
    call_user_function(inst, id - kUdfIdFirst, args, argc, result, from_compiled);
    return finish_call_result(inst, result);
}

int call_builtin(Instance& inst, int id, Value& result, Value* args, int argc, bool skip_check, uint64_t ptypes) {
    if (id >= kUdfIdFirst && id <= kUdfIdLast) return call_udf(inst, id, result, args, argc);
    release_value(inst, result);
    result = empty_value();
    result.i = 0;
    result.flags = kVtInt;
    if (argc < 0 || (argc > 0 && !args)) argc = 0;
    bool wide_pref = false;
    if (!skip_check) {
        wide_pref = wide_preference(args, argc, ptypes);
        for (int n = 1; n <= argc && n <= kMaxCallArgs; ++n) {
            if (!convert_arg(inst, args[n - 1], n, code_of(ptypes, n), wide_pref)) return inst.error();
        }
    }
    if (id == Kw::OleObject) {
        not_implemented(inst, id);  // automation objects are not part of this build
    } else if (id >= 0 && id < kKeywordCount) {
        lib::BuiltinFn fn = lib::builtin_for(id);
        if (fn) {
            lib::Call call(inst, id, args, argc, result, wide_pref);
            fn(call);
        } else {
            not_implemented(inst, id);
        }
    } else if (id >= kHostIdFirst && id <= kHostIdLast) {
        call_host_function(inst, id, result, args, argc);
    } else if (id >= kExtIdFirst && id <= kExtIdLast) {
        not_implemented(inst, id);  // no extender is ever loaded in this build
    } else {
        inst.fail(Err::FunctionNotDefined);
    }
    return finish_call_result(inst, result);
}

}  // namespace kel::interp
