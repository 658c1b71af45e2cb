// Conversions, the float formatter and comparison. Numbers are formatted in the C locale
// (the process never calls setlocale), so the decimal point is always ".".
#include "interp/data/convert.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "platform/text.h"

namespace kel::interp {

namespace {

constexpr double kIntRoundLimit = 2147483645.0;
constexpr size_t kNumberWideMax = 31;
constexpr size_t kLongCompareString = 9;  // longer strings compare as digit strings

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int32_t clamp_decimals(int32_t d) {
    if (d > kDecimalsMax) return kDecimalsMax;
    if (d < kDecimalsMin) return -1;
    return d;
}

size_t format_int_to(int32_t v, char* out) {
    char buf[12];
    size_t n = 0;
    uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    do {
        buf[n++] = static_cast<char>('0' + u % 10u);
        u /= 10u;
    } while (u);
    size_t k = 0;
    if (v < 0) out[k++] = '-';
    while (n) out[k++] = buf[--n];
    return k;
}

std::string format_int(int32_t v) {
    char buf[12];
    return std::string(buf, format_int_to(v, buf));
}

std::string format_float(double v, int d) {
    char buf[512];
    if (std::isnan(v)) return "nan";
    if (v == 0.0 && d == -1) return "0.0";
    double mag = std::fabs(v);
    if (d == 0 && mag <= 2147483647.0) {
        double r = v >= 0 ? std::floor(v + 0.5) : std::ceil(v - 0.5);
        std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(r));
        return buf;
    }
    if (d == -2 || d == -3) {
        std::snprintf(buf, sizeof buf, d == -2 ? "%g" : "%e", v);
        std::string s = buf;
        if (!s.empty() && s[0] == '.') s.insert(0, "0");
        return s;
    }
    int prec = d >= 0 ? d : 8;
    bool expo = mag > 999999999.0 || (mag < 0.0001 && d == -1);
    std::snprintf(buf, sizeof buf, expo ? "%#1.*e" : "%#1.*f", prec, v);
    std::string s = buf;
    if (s.find('.') == std::string::npos && !expo) s += ".0";
    size_t dot = s.find('.');
    if (dot == std::string::npos) return s;  // inf
    if (!expo && d < 0) {
        while (s.size() > dot + 1 && s.back() == '0') s.pop_back();
    }
    size_t want = static_cast<size_t>(d < 0 ? 1 : d);
    size_t end = expo ? s.find_first_of("eE") : s.size();
    if (end == std::string::npos) end = s.size();
    size_t have = end - dot - 1;
    if (have < want) s.insert(end, want - have, '0');
    return s;
}

bool float_to_text(Instance& inst, double v, std::string& out) {
    if (std::isnan(v)) {
        inst.fail(Err::MathNan);
        return false;
    }
    out = format_float(v, inst.decimals);
    return true;
}

bool parse_int_string(std::string_view s, int32_t* out) {
    size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ') ++i;
    size_t signs = i;
    while (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = i;
    while (i < n && is_digit(s[i])) ++i;
    if (i == digits || i != n) return false;
    // The value reads one sign only; further signs end the digits at once.
    size_t p = signs;
    bool neg = false;
    if (p < n && (s[p] == '+' || s[p] == '-')) neg = s[p++] == '-';
    size_t end = p;
    while (end < n && is_digit(s[end])) ++end;
    auto v = static_cast<uint32_t>(decimal_digits_value(s.substr(p, end - p)));
    if (neg) v = 0u - v;
    *out = static_cast<int32_t>(v);
    return true;
}

FloatParse parse_float_string(std::string_view s, double* out) {
    size_t i = 0, n = s.size();
    if (n == 0 || n > 4096) return FloatParse::kBad;
    while (i < n && is_blank(s[i])) ++i;
    size_t body = i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t int_digits = 0, frac_digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++int_digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i])) ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return FloatParse::kBad;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        size_t e = 0;
        while (i < n && is_digit(s[i])) ++i, ++e;
        if (e == 0) return FloatParse::kBad;
    }
    if (i != n) return FloatParse::kBad;
    std::string tmp(s.substr(body));
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(tmp.c_str(), &end);
    if (end != tmp.c_str() + tmp.size()) return FloatParse::kBad;
    if (errno == ERANGE && std::isinf(v)) return FloatParse::kOverflow;
    *out = v;
    return FloatParse::kOk;
}

std::u16string ansi_to_wide(std::string_view s, uint32_t cp) { return platform::to_wide(s, cp); }

std::string wide_to_ansi(std::u16string_view w, uint32_t cp) { return platform::from_wide(w, cp); }

std::u16string_view value_wide(const Instance& inst, const ValueCore& v) {
    auto p = reinterpret_cast<const char16_t*>(heap_ptr(inst, v.wstr));
    return p ? std::u16string_view(p) : std::u16string_view();
}

std::string value_narrow_text(const Instance& inst, const ValueCore& v) {
    if (v.flags & kVtStr) return std::string(heap_str(inst, v.str));
    return wide_to_ansi(value_wide(inst, v), inst.code_page);
}

bool round_to_int(double d, int32_t* out) {
    if (std::isnan(d)) return false;
    double r = d >= 0 ? std::trunc(d + 0.5) : std::trunc(d - 0.5);
    if (r > kIntRoundLimit || r < -kIntRoundLimit) return false;
    *out = static_cast<int32_t>(r);
    return true;
}

namespace {

// Gives a value its narrow text, from its wide text when it has only that. False for
// arrays, variants and values without text (or out of string memory, 3096 raised).
bool narrow_text_form(Instance& inst, ValueCore& v) {
    if (v.flags & (kVtArray | kVtVariant)) return false;
    if ((v.flags & kVtWide) && !(v.flags & kVtStr) && !to_str(inst, v)) return false;
    return (v.flags & kVtStr) != 0;
}

// The text of an integer or a float (1599 for NaN); false for a value that is neither.
bool number_text(Instance& inst, const ValueCore& v, std::string& text) {
    if (v.flags & kVtInt) {
        text = format_int(v.i);
        return true;
    }
    if (v.flags & kVtFloat) return float_to_text(inst, v.f, text);
    return false;
}

}  // namespace

bool to_int(Instance& inst, ValueCore& v, bool allow_round) {
    if (v.flags & kVtInt) return true;
    if (v.flags & kVtFloat) {
        if (!allow_round) return false;
        int32_t i;
        if (!round_to_int(v.f, &i)) return false;
        if (uint16_t pend = fp_pending_take()) {
            inst.fail(pend);
            return false;
        }
        v.i = i;
        v.flags = (v.flags & ~kVtFloat) | kVtInt;
        return true;
    }
    if (!narrow_text_form(inst, v)) return false;
    int32_t i;
    if (!parse_int_string(heap_str(inst, v.str), &i)) return false;
    v.i = i;
    v.flags |= kVtInt;
    return true;
}

bool to_float(Instance& inst, ValueCore& v) {
    if (v.flags & kVtFloat) return true;
    if (v.flags & kVtInt) {
        v.f = static_cast<double>(v.i);
        v.flags |= kVtFloat;
        return true;
    }
    if (!narrow_text_form(inst, v)) return false;
    std::string_view s = heap_str(inst, v.str);
    if (s.find_first_of("dD") != std::string_view::npos) return false;
    double d;
    if (parse_float_string(s, &d) != FloatParse::kOk) return false;
    v.f = d;
    v.flags |= kVtFloat;
    return true;
}

bool to_str(Instance& inst, ValueCore& v) {
    if (v.flags & kVtStr) return true;
    if (v.flags & (kVtArray | kVtVariant)) return false;
    std::string text;
    if (v.flags & kVtWide) {
        text = value_narrow_text(inst, v);
    } else if (!number_text(inst, v, text)) {
        return false;
    }
    HeapOff off = heap_strdup_or_fail(inst, text);
    if (!off) return false;
    v.str = off;
    v.flags |= kVtStr;
    return true;
}

bool to_wide(Instance& inst, ValueCore& v) {
    if (v.flags & kVtWide) return true;
    if (v.flags & (kVtArray | kVtVariant)) return false;
    std::u16string w;
    if (v.flags & kVtStr) {
        w = ansi_to_wide(heap_str(inst, v.str), inst.code_page);
    } else {
        std::string text;
        if (!number_text(inst, v, text)) return false;
        w = ansi_to_wide(std::string_view(text).substr(0, kNumberWideMax), inst.code_page);
    }
    HeapOff off = heap_wstrdup_or_fail(inst, w);
    if (!off) {
        return false;
    }
    v.wstr = off;
    v.flags |= kVtWide;
    return true;
}

uint16_t fp_pending_code = 0;

void fp_pending_set(Err code) { fp_pending_code = err_number(code); }
uint16_t fp_pending_peek() { return fp_pending_code; }

int string_compare(std::string_view a, std::string_view b, bool ignore_case) {
    return platform::compare_word_sort(a, b, ignore_case);
}

int string_compare(std::u16string_view a, std::u16string_view b, bool ignore_case) {
    return platform::compare_word_sort(a, b, ignore_case);
}

int compare_digit_strings(std::string_view a, std::string_view b) {
    auto split = [](std::string_view s, bool* neg) {
        size_t i = 0;
        while (i < s.size() && s[i] == ' ') ++i;
        *neg = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) *neg = s[i++] == '-';
        while (i + 1 < s.size() && s[i] == '0') ++i;
        return s.substr(i);
    };
    bool na, nb;
    std::string_view da = split(a, &na), db = split(b, &nb);
    bool za = da == "0" || da.empty(), zb = db == "0" || db.empty();
    if (za && zb) return 0;
    if (za) na = false;
    if (zb) nb = false;
    if (na != nb) return na ? -1 : 1;
    int mag;
    if (da.size() != db.size())
        mag = da.size() < db.size() ? -1 : 1;
    else
        mag = da.compare(db) < 0 ? -1 : (da.compare(db) > 0 ? 1 : 0);
    return na ? -mag : mag;
}

namespace {

enum class Cls { kInt, kFloat, kAnsi, kWide, kOther };
enum class Mode { kInt, kDigits, kFloat, kString, kWide };

Cls classify(const ValueCore& v) {
    if (v.flags & (kVtArray | kVtVariant | kVtBinBuf)) return Cls::kOther;
    if (v.flags & kVtInt) return Cls::kInt;
    if (v.flags & kVtFloat) return Cls::kFloat;
    if (v.flags & kVtStr) return Cls::kAnsi;
    if (v.flags & kVtWide) return Cls::kWide;
    return Cls::kOther;
}

// The text a string operand probes with: its narrow form, or its wide form narrowed.
std::string probe_text(const Instance& inst, const ValueCore& v) {
    if (v.flags & kVtStr) return heap_str(inst, v.str);
    return wide_to_ansi(value_wide(inst, v), inst.code_page);
}

bool result_of(int op, int c) {
    switch (op) {
        case Kw::Equal: return c == 0;
        case Kw::NotEqual:
        case Kw::LessGreater: return c != 0;
        case Kw::Less: return c < 0;
        case Kw::LessEqual: return c <= 0;
        case Kw::Greater: return c > 0;
        case Kw::GreaterEqual: return c >= 0;
        default: return false;
    }
}

}  // namespace

int compare_values(Instance& inst, Value& a, Value& b, int op, bool ignore_case) {
    Cls ca = classify(a), cb = classify(b);
    if (ca == Cls::kOther || cb == Cls::kOther) {
        inst.fail(Err::NotANumber);
        return -1;
    }
    bool a_str = ca == Cls::kAnsi || ca == Cls::kWide, b_str = cb == Cls::kAnsi || cb == Cls::kWide;
    std::string ta = a_str ? probe_text(inst, a) : std::string(), tb = b_str ? probe_text(inst, b) : std::string();
    int32_t ia = a.i, ib = b.i;
    double fa = a.f, fb = b.f;
    bool a_int = ca == Cls::kInt || (a_str && parse_int_string(ta, &ia));
    bool b_int = cb == Cls::kInt || (b_str && parse_int_string(tb, &ib));
    auto float_of = [](Cls c, const Value& v, const std::string& t, double* out) {
        if (c == Cls::kInt) {
            *out = v.i;
            return true;
        }
        if (c == Cls::kFloat) {
            *out = v.f;
            return true;
        }
        if (t.find_first_of("dD") != std::string::npos) return false;
        return parse_float_string(t, out) == FloatParse::kOk;
    };
    bool a_flt = float_of(ca, a, ta, &fa), b_flt = float_of(cb, b, tb, &fb);
    bool long_a = a_str && ta.size() > kLongCompareString, long_b = b_str && tb.size() > kLongCompareString;
    bool wide = ca == Cls::kWide || cb == Cls::kWide;

    Mode mode;
    if (!a_str && !b_str) {
        mode = (ca == Cls::kInt && cb == Cls::kInt) ? Mode::kInt : Mode::kFloat;
    } else if (a_str && b_str) {
        if (a_int && b_int)
            mode = (long_a || long_b) ? Mode::kDigits : Mode::kInt;
        else if (a_flt && b_flt)
            mode = Mode::kFloat;
        else
            mode = wide ? Mode::kWide : Mode::kString;
    } else {
        Cls num = a_str ? cb : ca;
        bool s_int = a_str ? a_int : b_int, s_flt = a_str ? a_flt : b_flt, s_long = a_str ? long_a : long_b;
        if (num == Cls::kInt && s_int)
            mode = s_long ? Mode::kDigits : Mode::kInt;
        else if (s_flt)
            mode = Mode::kFloat;
        else
            mode = wide ? Mode::kWide : Mode::kString;
    }

    int c = 0;
    switch (mode) {
        case Mode::kInt: c = ia < ib ? -1 : (ia > ib ? 1 : 0); break;
        case Mode::kDigits: {
            std::string da = a_str ? ta : format_int(a.i), db = b_str ? tb : format_int(b.i);
            c = compare_digit_strings(da, db);
            break;
        }
        case Mode::kFloat:
            if (op == Kw::Equal || op == Kw::NotEqual || op == Kw::LessGreater) {
                std::string sa, sb;
                if (!float_to_text(inst, fa, sa) || !float_to_text(inst, fb, sb)) return -1;
                c = sa.compare(sb);
            } else {
                double diff = fa - fb;
                c = diff < 0 ? -1 : (diff > 0 ? 1 : 0);
            }
            break;
        case Mode::kString:
        case Mode::kWide: {
            std::string sa = a_str ? ta : std::string(), sb = b_str ? tb : std::string();
            if (!a_str && !float_to_text(inst, fa, sa)) return -1;
            if (!b_str && !float_to_text(inst, fb, sb)) return -1;
            if (!a_str && ca == Cls::kInt) sa = format_int(a.i);
            if (!b_str && cb == Cls::kInt) sb = format_int(b.i);
            if (mode == Mode::kWide) {
                std::u16string wa = (ca == Cls::kWide) ? std::u16string(value_wide(inst, a)) : ansi_to_wide(sa, inst.code_page);
                std::u16string wb = (cb == Cls::kWide) ? std::u16string(value_wide(inst, b)) : ansi_to_wide(sb, inst.code_page);
                c = string_compare(wa, wb, ignore_case);
            } else {
                c = string_compare(sa, sb, ignore_case);
            }
            break;
        }
    }
    return result_of(op, c) ? 1 : 0;
}

}  // namespace kel::interp
