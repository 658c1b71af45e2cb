// The builtin router: converts the arguments of a call to the types its keyword record
// demands, then routes by id to the builtin families, the host, or a user-defined function.
#pragma once
#include <cstdint>
#include <string>

#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/base/instance.h"
#include "interp/base/value.h"
#include "interp/api/services.h"
#include "interp/base/keywords.h"

namespace kel::interp {

// What every call's result goes through: a number that came back with its text keeps
// the number only, and a pending floating-point error becomes the call's. Returns the
// instance's error.
inline int finish_call_result(Instance& inst, Value& result) {
    if ((result.flags & (kVtInt | kVtFloat)) && (result.flags & (kVtStr | kVtWide))) {
        if (result.flags & kVtStr) heap_free(inst, result.str);
        if (result.flags & kVtWide) heap_free(inst, result.wstr);
        result.str = 0;
        result.wstr = 0;
        result.flags &= ~(kVtStr | kVtWide);
    }
    if (uint16_t pend = fp_pending_take()) inst.fail(pend);
    return inst.error();
}

// The user-defined function `id` (4000 range) with evaluated arguments, as call_builtin
// routes it. `from_compiled`: made from a compiled line (see call_user_function).
int call_udf(Instance& inst, int id, Value& result, Value* args, int argc, bool from_compiled = false);

// The name of a keyword of any range, for messages.
std::string keyword_display_name(const Instance& inst, int id);

}  // namespace kel::interp
