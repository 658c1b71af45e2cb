// UTF-16 conversion and line-end normalising of script buffers. The code page here is
// the default 1252; the full code-page machinery lives with the platform's text tables.
#include "interp/textprep.h"

#include <cstring>

namespace kel::interp {

namespace {

// Code points of bytes 0x80..0x9F in code page 1252 (0 = unassigned).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
};

char to_cp1252(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] && kCp1252High[i] == u) return static_cast<char>(0x80 + i);
    return '?';
}

}  // namespace

std::string utf16_to_ansi(const unsigned char* bytes, size_t units, bool big_endian) {
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        char16_t u = big_endian ? static_cast<char16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1])
                                : static_cast<char16_t>(bytes[2 * i + 1] << 8 | bytes[2 * i]);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) ++i;  // a surrogate pair is one character
        out.push_back(to_cp1252(u));
    }
    return out;
}

std::string utf16_to_ansi(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size()) ++i;
        out.push_back(to_cp1252(s[i]));
    }
    return out;
}

bool has_utf16_bom(const char* buf, size_t size) {
    if (size < 2) return false;
    auto b0 = static_cast<unsigned char>(buf[0]), b1 = static_cast<unsigned char>(buf[1]);
    return (b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF);
}

long convert_utf16_buffer(char* buf, size_t size) {
    if (!has_utf16_bom(buf, size)) return -1;
    bool big = static_cast<unsigned char>(buf[0]) == 0xFE;
    auto* p = reinterpret_cast<const unsigned char*>(buf) + 2;
    size_t max_units = (size - 2) / 2, units = 0;
    while (units < max_units && (p[2 * units] | p[2 * units + 1])) ++units;
    std::string text = utf16_to_ansi(p, units, big);
    if (text.empty() || text.size() + 1 > size) return -1;
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return static_cast<long>(text.size());
}

void normalize_line_ends(char* text, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        if (text[i] != '\r') continue;
        text[i] = (i + 1 < len && text[i + 1] == '\n') ? ' ' : '\n';
    }
}

}  // namespace kel::interp
