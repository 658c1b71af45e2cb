// Platform layer: the C math library through dlopen on its first use.
#include "platform/mathlib.h"

#include <cfenv>
#include <iterator>

#include "platform/dynlib.h"
#include "platform/errors.h"

namespace kel::platform {

namespace {

constexpr const char* kNames[] = {"sqrt", "exp", "log", "log10", "sin", "cos", "tan",
                                  "asin", "acos", "atan", "sinh", "cosh", "tanh"};
static_assert(std::size(kNames) == static_cast<size_t>(MathFn::kTanh) + 1);

struct MathLib {
    double (*fn[std::size(kNames)])(double) = {};
    double (*pow)(double, double) = nullptr;
    int (*clear)(int) = nullptr;
    int (*test)(int) = nullptr;
    bool ok = false;
};

const MathLib& mathlib() {
    static const MathLib m = [] {
        MathLib r;
        uint32_t saved = last_error();
        void* lib = lib_load("libm.so.6");  // kept for the life of the process
        bool ok = lib && lib_bind(lib, "pow", &r.pow) && lib_bind(lib, "feclearexcept", &r.clear) &&
                  lib_bind(lib, "fetestexcept", &r.test);
        for (size_t i = 0; ok && i < std::size(kNames); ++i) ok = lib_bind(lib, kNames[i], &r.fn[i]);
        r.ok = ok;
        set_last_error(saved);
        return r;
    }();
    return m;
}

// 0/0: a quiet NaN, and the division raises FE_INVALID (without the library's feraiseexcept).
double unavailable() {
    volatile double zero = 0.0;
    return zero / zero;
}

}  // namespace

double math1(MathFn f, double x) {
    const MathLib& m = mathlib();
    return m.ok ? m.fn[static_cast<size_t>(f)](x) : unavailable();
}

double math_pow(double x, double y) {
    const MathLib& m = mathlib();
    return m.ok ? m.pow(x, y) : unavailable();
}

void fp_clear_flags() {
    const MathLib& m = mathlib();
    if (m.ok) m.clear(FE_ALL_EXCEPT);
}

int fp_test_flags(int mask) {
    const MathLib& m = mathlib();
    return m.ok ? m.test(mask) : (mask & FE_INVALID);
}

}  // namespace kel::platform
