// Character codes, code pages and hex forms of strings, and the number tests; the
// conversions themselves are the platform's and the evaluator's.
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/data/convert.h"
#include "interp/api/builtin.h"
#include "lib/strutil.h"
#include "platform/text.h"

namespace kel::lib {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hex_value(char16_t ch) { return interp::hex_digit_value(ch); }

// char2num(string)
void char2num_fn(Call& c) {
    std::string_view s = c.str(1);
    if (s.empty()) return ret_integer(c, 0);
    uint8_t b = static_cast<uint8_t>(s[0]);
    uint32_t cp = instance_code_page(c.inst);
    if (s.size() > 1 && platform::is_dbcs_code_page(cp) && platform::is_lead_byte(b, cp))
        return ret_integer(c, b * 256 + static_cast<uint8_t>(s[1]));
    ret_integer(c, b);
}

// num2char(number)
void num2char_fn(Call& c) {
    uint32_t n = static_cast<uint32_t>(c.integer(1));
    uint8_t lead = static_cast<uint8_t>(n >> 8);
    uint32_t cp = instance_code_page(c.inst);
    char buf[2] = {static_cast<char>(n & 0xFF), 0};
    if (platform::is_dbcs_code_page(cp) && platform::is_lead_byte(lead, cp)) {
        char two[2] = {static_cast<char>(lead), static_cast<char>(n & 0xFF)};
        return ret_text<char>(c, std::string_view(two, 2));
    }
    // A NUL byte cannot live inside a heap string: the result is then the empty string.
    ret_text<char>(c, std::string_view(buf, buf[0] ? 1 : 0));
}

// ChrGetCodePage(request): 0 the instance's, 1 the system's, 2 the user's ANSI code page.
void chrgetcodepage_fn(Call& c) {
    switch (c.integer(1)) {
        case 0: return ret_integer(c, static_cast<int32_t>(instance_code_page(c.inst)));
        case 1:
        case 2: return ret_integer(c, static_cast<int32_t>(platform::ansi_code_page()));
        default: c.fail(Err::BadRequest);
    }
}

// chrsetcodepage(code page): returns the previous one.
void chrsetcodepage_fn(Call& c) {
    uint32_t old = instance_code_page(c.inst);
    c.inst.code_page = static_cast<uint32_t>(c.integer(1));
    ret_integer(c, static_cast<int32_t>(old));
}

// chrstringtohex(string)
void chrstringtohex_fn(Call& c) {
    std::string_view s = c.str(1);
    size_t n = 0;
    if (!size_mul(s.size(), 2, n)) return void(c.fail(Err::OutOfStringMemory));
    char* p = ret_buf<char>(c, n);
    if (!p) return;
    for (unsigned char ch : s) {
        *p++ = kHex[ch >> 4];
        *p++ = kHex[ch & 15];
    }
}

// chrhextostring(hex)
void chrhextostring_fn(Call& c) {
    std::string_view h = c.str(1);
    if (h.size() % 2) return void(c.fail(Err::BadHexString));
    for (char ch : h)
        if (hex_value(static_cast<unsigned char>(ch)) < 0) return void(c.fail(Err::BadHexString));
    std::string out;
    out.reserve(h.size() / 2);
    for (size_t i = 0; i < h.size(); i += 2)
        out.push_back(static_cast<char>(hex_value(static_cast<unsigned char>(h[i])) * 16 +
                                        hex_value(static_cast<unsigned char>(h[i + 1]))));
    // A "00" pair ends the heap string there, as a NUL byte ends any KEL string.
    ret_text<char>(c, std::string_view(out.c_str()));
}

// chrunicodetohex(wide [, order]): order 1 writes the high byte first.
void chrunicodetohex_fn(Call& c) {
    std::u16string_view w = c.wstr(1);
    bool high_first = c.opt_integer(2, 0) == 1;
    size_t n = 0;
    if (!size_mul(w.size(), 4, n)) return void(c.fail(Err::OutOfStringMemory));
    char* p = ret_buf<char>(c, n);
    if (!p) return;
    for (char16_t u : w) {
        uint8_t hi = static_cast<uint8_t>(u >> 8), lo = static_cast<uint8_t>(u & 0xFF);
        uint8_t first = high_first ? hi : lo, second = high_first ? lo : hi;
        *p++ = kHex[first >> 4];
        *p++ = kHex[first & 15];
        *p++ = kHex[second >> 4];
        *p++ = kHex[second & 15];
    }
}

// chrhextounicode(hex [, order]): order 0 reads the low byte first.
void chrhextounicode_fn(Call& c) {
    std::string_view h = c.str(1);
    bool high_first = c.opt_integer(2, 0) == 1;
    if (h.size() % 4) return void(c.fail(Err::BadHexString));
    for (char ch : h)
        if (hex_value(static_cast<unsigned char>(ch)) < 0) return void(c.fail(Err::BadHexString));
    std::u16string out;
    out.reserve(h.size() / 4);
    for (size_t i = 0; i < h.size(); i += 4) {
        int first = hex_value(static_cast<unsigned char>(h[i])) * 16 + hex_value(static_cast<unsigned char>(h[i + 1]));
        int second = hex_value(static_cast<unsigned char>(h[i + 2])) * 16 + hex_value(static_cast<unsigned char>(h[i + 3]));
        out.push_back(static_cast<char16_t>(high_first ? first * 256 + second : second * 256 + first));
    }
    ret_text<char16_t>(c, std::u16string_view(out.c_str()));
}

// chrstringtounicode(string): the router has already widened it with the instance code page.
void chrstringtounicode_fn(Call& c) { ret_text<char16_t>(c, c.wstr(1)); }

// chrunicodetostring(wide)
void chrunicodetostring_fn(Call& c) {
    uint32_t cp = instance_code_page(c.inst);
    if (!platform::code_page_valid(cp)) return void(c.fail(Err::NotAString));
    std::u16string_view w = c.wstr(1);
    size_t need = platform::from_wide(w, cp, nullptr, 0);
    char* p = ret_buf<char>(c, need);
    if (p) platform::from_wide(w, cp, p, need);
}

// The value as narrow text without raising anything; false when it has none.
bool quiet_text(Call& c, std::string& out) {
    Instance& inst = c.inst;
    Value& v = c.arg(1);
    uint16_t saved = inst.error();
    uint16_t saved_real = inst.real_code;
    bool ok = false;
    if (v.flags & kVtStr) {
        out = interp::heap_str(inst, v.str);
        ok = true;
    } else if (v.flags & kVtWide) {
        out = platform::from_wide(interp::value_wide(inst, v), instance_code_page(inst));
        ok = true;
    } else if (v.flags & kVtBinBuf) {
        ok = false;
    } else if (v.flags & kVtInt) {
        out = interp::format_int(v.i);
        ok = true;
    } else if (v.flags & kVtFloat) {
        ok = v.f == v.f;
        if (ok) out = interp::format_float(v.f, inst.decimals);
    } else if (v.flags & kVtVariant) {
        // Only the COM layer can read a variant; a copy keeps the argument untouched.
        Value copy = v;
        copy.flags = kVtVariant;
        copy.str = copy.wstr = 0;
        ok = interp::to_str(inst, copy);
        if (ok) out = interp::heap_str(inst, copy.str);
        interp::release_value(inst, copy);
    }
    inst.err_code = saved;
    inst.real_code = saved_real;
    return ok;
}

// isnumber(value)
void isnumber_fn(Call& c) {
    std::string s;
    double d = 0;
    ret_integer(c, quiet_text(c, s) && interp::parse_float_string(s, &d) == interp::FloatParse::kOk);
}

// isfloat(value)
void isfloat_fn(Call& c) { isnumber_fn(c); }

// isint(value): a float is not rounded, so 3.0 is no integer.
void isint_fn(Call& c) {
    std::string s;
    int32_t i = 0;
    ret_integer(c, quiet_text(c, s) && interp::parse_int_string(s, &i));
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kCharBuiltins[] = {
    {"char2num", char2num_fn},
    {"chrgetcodepage", chrgetcodepage_fn},
    {"chrhextostring", chrhextostring_fn},
    {"chrhextounicode", chrhextounicode_fn},
    {"chrsetcodepage", chrsetcodepage_fn},
    {"chrstringtohex", chrstringtohex_fn},
    {"chrstringtounicode", chrstringtounicode_fn},
    {"chrunicodetohex", chrunicodetohex_fn},
    {"chrunicodetostring", chrunicodetostring_fn},
    {"isfloat", isfloat_fn},
    {"isint", isint_fn},
    {"isnumber", isnumber_fn},
    {"num2char", num2char_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kCharBuiltins)
}  // namespace kel::lib
