// The power operator's pow(), bound inside the interpreter to the math library that the
// platform loads on first use, so that no start-up maps libm for it. The C library's
// own pow() answers: the same results, errno and exception flags.
#include "platform/mathlib.h"

// Not exported: the library's version script keeps it local.
extern "C" double pow(double x, double y) noexcept {
    return kel::platform::math_pow(x, y);
}
