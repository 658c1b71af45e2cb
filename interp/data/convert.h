// Conversions between the forms a value record can hold, the one float formatter, and
// value comparison. Conversions add a form and keep the others.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/base/instance.h"
#include "interp/base/value.h"

namespace kel::interp {

// Float-to-text settings outside this range are stored as the nearest meaning.
constexpr int32_t kDecimalsMin = -3;
constexpr int32_t kDecimalsMax = 8;
int32_t clamp_decimals(int32_t d);

// The float formatter: every float that becomes text goes through here. NaN gives "nan";
// callers that must refuse it (1599) use float_to_text.
std::string format_float(double v, int decimals);
// The decimal form of v into out (at least 11 bytes, no terminator); returns its length.
size_t format_int_to(int32_t v, char* out);
std::string format_int(int32_t v);
// format_float with the NaN check: false with 1599 raised.
bool float_to_text(Instance& inst, double v, std::string& out);

// A run of decimal digits as a whole number: value × 10 + digit, wrapping at 32 bits. The
// integer literals of a line and the digits of the string-to-integer rule read this way.
inline int32_t decimal_digits_value(std::string_view digits) {
    uint32_t v = 0;
    for (char c : digits) v = v * 10u + static_cast<uint32_t>(c - '0');
    return static_cast<int32_t>(v);
}

// The value of a hexadecimal digit, either case; -1 for any other character.
constexpr int hex_digit_value(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a') + 10;
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A') + 10;
    return -1;
}

// A run of hexadecimal digits and nothing else (none reads as 0): the low 32 bits of its
// value; false for any other character.
inline bool parse_hex_digits(std::string_view s, uint32_t* out) {
    uint32_t v = 0;
    for (char ch : s) {
        int d = hex_digit_value(static_cast<unsigned char>(ch));
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// The string-to-integer rule: blanks, then signs only before the first digit, then digits
// only, at least one. The value skips one sign and wraps at 32 bits ("--5" reads as 0).
bool parse_int_string(std::string_view s, int32_t* out);
enum class FloatParse { kOk, kBad, kOverflow };
// Decimal floating point, the whole string: no "d"/"D", inf, nan or hex.
FloatParse parse_float_string(std::string_view s, double* out);

// Narrow <-> UTF-16 in code page `cp` (0: the ANSI code page).
std::u16string ansi_to_wide(std::string_view s, uint32_t cp = 0);
std::string wide_to_ansi(std::u16string_view s, uint32_t cp = 0);

// The value's wide string, or an empty view.
std::u16string_view value_wide(const Instance& inst, const ValueCore& v);
// The narrow text of a value holding a string: its own, or its wide text in the
// instance's code page.
std::string value_narrow_text(const Instance& inst, const ValueCore& v);

// Value conversions. Each returns success; only memory failure (3096), NaN (1599) and a
// pending floating-point error raised while rounding set an error.
bool to_int(Instance& inst, ValueCore& v, bool allow_round);
bool to_float(Instance& inst, ValueCore& v);
bool to_str(Instance& inst, ValueCore& v);
bool to_wide(Instance& inst, ValueCore& v);

// Rounds half away from zero into 32 bits; false outside -2147483645..2147483645.
bool round_to_int(double d, int32_t* out);

// Process-wide pending floating-point error: set by wrapped math calls, moved into the
// instance's error by the operation that caused it.
void fp_pending_set(Err code);
extern uint16_t fp_pending_code;
// Taken after every call: nothing to write when nothing is pending.
inline uint16_t fp_pending_take() {
    uint16_t c = fp_pending_code;
    if (c) fp_pending_code = 0;
    return c;
}
uint16_t fp_pending_peek();

// Comparison of two strings with the platform's collation (lstrcmp / lstrcmpi).
int string_compare(std::string_view a, std::string_view b, bool ignore_case);
int string_compare(std::u16string_view a, std::u16string_view b, bool ignore_case);
// Digit-string comparison: <0, 0, >0.
int compare_digit_strings(std::string_view a, std::string_view b);

// Comparison operators of the keyword table (Kw::Equal ...).
// Returns 1 or 0; -1 with the error raised (3057 for arrays and buffers, 1599, 3096).
int compare_values(Instance& inst, Value& a, Value& b, int op_kw, bool ignore_case);

}  // namespace kel::interp
