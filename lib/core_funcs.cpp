// Builtins of the interpreter core that belong to no library family.
#include "interp/data/convert.h"
#include "interp/base/report.h"
#include "interp/api/builtin.h"

namespace kel::lib {

namespace {

// decimals(n): sets how floats become text; returns the previous setting.
void decimals_fn(Call& c) {
    int32_t prev = c.inst.decimals;
    c.inst.decimals = interp::clamp_decimals(c.integer(1));
    c.ret_int(prev);
}

// version(): the interpreter's version string, the same release name the host shows
// on its pages, so that a site reports one version whichever function it asks.
void version_fn(Call& c) { c.ret_str(interp::kInterpVersion); }

// versiondll(): the version of the interpreter library itself; it is the interpreter.
void versiondll_fn(Call& c) { c.ret_str(interp::kInterpVersion); }

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kCoreBuiltins[] = {
    {"decimals", decimals_fn},
    {"version", version_fn},
    {"versiondll", versiondll_fn},
};

}  // namespace

KEL_BUILTIN_FAMILY(kCoreBuiltins)

}  // namespace kel::lib
