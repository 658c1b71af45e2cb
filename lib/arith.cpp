// Arithmetic builtins: absolute values, rounding, the libm functions with their pending
// errors, max/min/average and random. decimals and number formatting belong to the core.
#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstdint>

#include "interp/data/convert.h"
#include "interp/api/builtin.h"
#include "lib/strutil.h"
#include "platform/mathlib.h"
#include "platform/process.h"

namespace kel::lib {
namespace {

// abs(n): -2147483648 has no positive twin and comes back unchanged.
void abs_fn(Call& c) {
    int32_t n = c.integer(1);
    ret_integer(c, n < 0 && n != INT32_MIN ? -n : n);
}

// int(x): the router has already rounded the argument half away from zero.
void int_fn(Call& c) { ret_integer(c, c.integer(1)); }

// Math errors as the C library's error hook would report them: domain 1341, singularity
// 1344, overflow 1342; a failed operation yields 1.0, an underflow 0 without error.
uint16_t math_error(double x, double r, int err, int flags) {
    if (err == EDOM || (flags & FE_INVALID)) return err_number(Err::MathDomain);
    if (flags & FE_DIVBYZERO) return err_number(Err::MathSingularity);
    if (flags & FE_OVERFLOW || (err == ERANGE && std::isinf(r) && !std::isinf(x))) return err_number(Err::MathOverflow);
    return 0;
}

// One routine for all sixteen float functions.
void float_call(Call& c, double (*f)(double)) {
    double x = c.flt(1);
    interp::fp_pending_take();
    platform::fp_clear_flags();
    errno = 0;
    double r = f(x);
    int err = errno;
    int flags = platform::fp_test_flags(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW);
    uint16_t code = math_error(x, r, err, flags);
    if (code) {
        interp::fp_pending_set(static_cast<Err>(code));
        r = 1.0;
    } else if ((flags & FE_UNDERFLOW) && err == ERANGE) {
        r = 0.0;
    }
    ret_double(c, r);
    if (uint16_t pending = interp::fp_pending_take()) return void(c.fail(pending));
    if (std::isnan(r)) c.fail(Err::MathNan);
}

// fabs(x): -0.0 stays -0.0.
void fabs_fn(Call& c) { float_call(c, [](double x) { return x == 0.0 ? x : std::fabs(x); }); }
// floor(x)
void floor_fn(Call& c) { float_call(c, [](double x) { return std::floor(x); }); }
// ceiling(x)
void ceiling_fn(Call& c) { float_call(c, [](double x) { return std::ceil(x); }); }
// sqrt(x)
void sqrt_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kSqrt, x); }); }
// exp(x)
void exp_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kExp, x); }); }
// loge(x)
void loge_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kLog, x); }); }
// log10(x)
void log10_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kLog10, x); }); }
// sin(x)
void sin_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kSin, x); }); }
// cos(x)
void cos_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kCos, x); }); }
// tan(x)
void tan_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kTan, x); }); }
// asin(x)
void asin_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kAsin, x); }); }
// acos(x)
void acos_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kAcos, x); }); }
// atan(x)
void atan_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kAtan, x); }); }
// sinh(x)
void sinh_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kSinh, x); }); }
// cosh(x)
void cosh_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kCosh, x); }); }
// tanh(x)
void tanh_fn(Call& c) { float_call(c, [](double x) { return platform::math1(platform::MathFn::kTanh, x); }); }

enum class Fold { kMax, kMin, kAverage };

// max / min / average: read their own argument list; the result is an integer only when
// every argument was an integer already (never for average).
void fold_common(Call& c, Fold kind) {
    Instance& inst = c.inst;
    double acc = kind == Fold::kAverage ? 0.0 : kind == Fold::kMax ? -1e305 : 1e305;
    int64_t count = 0;
    bool all_int = kind != Fold::kAverage;
    bool ok = read_arg_list(inst, Err::AverageSyntax, [&](Value& v) {
        // to_int only adds a form, which the release below frees with the rest.
        if (all_int && !interp::to_int(inst, v, false)) all_int = false;
        if (inst.error() || !interp::to_float(inst, v)) {
            interp::release_value(inst, v);
            if (!inst.error()) c.fail(Err::NotANumber);
            return false;
        }
        double x = (v.flags & kVtFloat) ? v.f : static_cast<double>(v.i);
        interp::release_value(inst, v);
        switch (kind) {
            case Fold::kAverage: acc += x, ++count; break;
            case Fold::kMax: if (x > acc) acc = x; break;
            case Fold::kMin: if (x <= acc) acc = x; break;
        }
        return true;
    });
    if (!ok) return;
    if (kind == Fold::kAverage && count) acc /= static_cast<double>(count);
    int32_t i = 0;
    if (all_int && interp::round_to_int(acc, &i)) return ret_integer(c, i);
    ret_double(c, acc);
}

// max(x, ...)
void max_fn(Call& c) { fold_common(c, Fold::kMax); }
// min(x, ...)
void min_fn(Call& c) { fold_common(c, Fold::kMin); }
// average(x, ...)
void average_fn(Call& c) { fold_common(c, Fold::kAverage); }

// random(max): 0 to max inclusive from three 15-bit draws.
void random_fn(Call& c) {
    int32_t max = c.integer(1);
    if (max <= 0) return ret_integer(c, 0);
    uint32_t r1 = static_cast<uint32_t>(platform::crt_rand());
    uint32_t r2 = static_cast<uint32_t>(platform::crt_rand());
    uint32_t r3 = static_cast<uint32_t>(platform::crt_rand());
    int32_t v = static_cast<int32_t>((r3 << 30) + (r2 << 15) + r1);  // wraps mod 2^32 by design
    int64_t wide = static_cast<int64_t>(static_cast<uint64_t>(static_cast<int64_t>(v)) & 0x7FFFFFFFFFFFFFFFull);
    int64_t range = static_cast<int64_t>(max) + 1;  // 2147483647 + 1 needs 64 bits
    ret_integer(c, static_cast<int32_t>(wide % range));
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kArithBuiltins[] = {
    {"abs", abs_fn},     {"acos", acos_fn},   {"asin", asin_fn},         {"atan", atan_fn},
    {"average", average_fn}, {"ceiling", ceiling_fn}, {"cos", cos_fn},   {"cosh", cosh_fn},
    {"exp", exp_fn},     {"fabs", fabs_fn},   {"floor", floor_fn},
    {"int", int_fn},     {"log10", log10_fn}, {"loge", loge_fn},         {"max", max_fn},
    {"min", min_fn},     {"random", random_fn}, {"sin", sin_fn},         {"sinh", sinh_fn},
    {"sqrt", sqrt_fn},   {"tan", tan_fn},     {"tanh", tanh_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kArithBuiltins)
}  // namespace kel::lib
