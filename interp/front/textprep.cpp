// UTF-16 conversion and line-end normalising of script buffers. The conversion itself is
// the one every wide value takes (convert.h).
#include "interp/front/textprep.h"

#include <cstring>

#include "interp/data/convert.h"

namespace kel::interp {

std::string utf16_to_ansi(const unsigned char* bytes, size_t units, bool big_endian, uint32_t cp) {
    std::u16string w(units, u'\0');
    for (size_t i = 0; i < units; ++i)
        w[i] = big_endian ? static_cast<char16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1])
                          : static_cast<char16_t>(bytes[2 * i + 1] << 8 | bytes[2 * i]);
    return wide_to_ansi(w, cp);
}

bool has_utf16_bom(const char* buf, size_t size) {
    if (size < 2) return false;
    auto b0 = static_cast<unsigned char>(buf[0]), b1 = static_cast<unsigned char>(buf[1]);
    return (b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF);
}

long convert_utf16_buffer(char* buf, size_t size, uint32_t cp) {
    if (!has_utf16_bom(buf, size)) return -1;
    bool big = static_cast<unsigned char>(buf[0]) == 0xFE;
    auto* p = reinterpret_cast<const unsigned char*>(buf) + 2;
    size_t max_units = (size - 2) / 2, units = 0;
    while (units < max_units && (p[2 * units] | p[2 * units + 1])) ++units;
    std::string text = utf16_to_ansi(p, units, big, cp);
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
