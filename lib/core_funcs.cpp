// Builtins of the interpreter core that belong to no library family.
#include "interp/convert.h"
#include "lib/builtin.h"

namespace kel::lib {

namespace {

// decimals(n): sets how floats become text; returns the previous setting.
void decimals_fn(Call& c) {
    int32_t prev = c.inst.decimals;
    c.inst.decimals = interp::clamp_decimals(c.integer(1));
    c.ret_int(prev);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kCoreBuiltins[] = {
    {"decimals", decimals_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kCoreBuiltins)

}  // namespace kel::lib
