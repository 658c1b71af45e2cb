// The C math library, loaded on first use: a request that computes no function of a real
// number never maps it. Each function behaves as the C library's own, errno and the
// floating-point exception flags included.
#pragma once
#include "platform/api.h"

namespace kel::platform {

enum class MathFn { kSqrt, kExp, kLog, kLog10, kSin, kCos, kTan, kAsin, kAcos, kAtan, kSinh, kCosh, kTanh };

// f(x); a quiet NaN with FE_INVALID raised when the math library cannot be loaded.
KEL_PLATFORM_API double math1(MathFn f, double x);
KEL_PLATFORM_API double math_pow(double x, double y);
// feclearexcept(FE_ALL_EXCEPT) and fetestexcept(mask). Clearing loads the library first,
// so that the loading itself leaves no flag or errno for the call that follows.
KEL_PLATFORM_API void fp_clear_flags();
KEL_PLATFORM_API int fp_test_flags(int mask);

}  // namespace kel::platform
