// The binary buffers' pure pieces, without the interpreter: the tag string, hex text,
// 64-bit decimal text and bounded inflation. Kept apart so that the fuzz targets build
// them alone; the builtins that use them are in binbuf*.cpp.
#include <cstdio>
#include <string>
#include "platform/zlib.h"

#include "lib/binbuf.h"
#include "interp/data/convert.h"

namespace kel::lib {

bool parse_decimal64(std::string_view s, bool* negative, uint64_t* magnitude) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    if (i == s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        unsigned d = static_cast<unsigned char>(s[i]) - '0';
        if (d > 9) return false;
        if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, d, &v)) return false;
    }
    *negative = neg;
    *magnitude = v;
    return true;
}

bool hex_to_bytes(std::string_view hex, std::string* out) {
    out->clear();
    size_t i = 0;
    while (true) {
        while (i < hex.size() && (hex[i] == ' ' || hex[i] == '\r' || hex[i] == '\n')) ++i;
        if (i == hex.size()) return true;
        if (i + 1 >= hex.size()) return false;
        int hi = interp::hex_digit_value(static_cast<unsigned char>(hex[i]));
        int lo = interp::hex_digit_value(static_cast<unsigned char>(hex[i + 1]));
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
}

namespace {

constexpr size_t kTagFixed = 36;  // the hex fields before the two tag texts
constexpr size_t kTagMaxLen = 0xFFFF;

// `width` hex digits (either case) at text[at]; false for any other character.
bool hex_field(std::string_view text, size_t at, int width, uint32_t* out) {
    return interp::parse_hex_digits(text.substr(at, static_cast<size_t>(width)), out);
}

}  // namespace

bool tag_parse(std::string_view text, TagState* out) {
    if (text.size() < kTagFixed || text.size() > kTagMaxLen) return false;
    uint32_t total, slot, offset, state, slen, elen, dlen;
    if (!hex_field(text, 0, 4, &total) || !hex_field(text, 4, 4, &slot) || !hex_field(text, 8, 8, &offset) ||
        !hex_field(text, 16, 4, &state) || !hex_field(text, 20, 4, &slen) || !hex_field(text, 24, 4, &elen) ||
        !hex_field(text, 28, 8, &dlen))
        return false;
    if (total != text.size() || slot >= static_cast<uint32_t>(kBinBufSlots)) return false;
    if (offset > INT32_MAX || dlen > INT32_MAX) return false;  // negative in the 32-bit record
    if (state != kTagInit && state != kTagFound && state != kTagReplaced) return false;
    if (slen == 0 || elen == 0 || kTagFixed + slen + 1 + elen + 1 != total) return false;
    if (text[kTagFixed + slen] != ' ' || text[total - 1] != ' ') return false;
    out->slot = static_cast<int32_t>(slot);
    out->offset = static_cast<int32_t>(offset);
    out->state = static_cast<int32_t>(state);
    out->data_len = static_cast<int32_t>(dlen);
    out->start_tag = text.substr(kTagFixed, slen);
    out->end_tag = text.substr(kTagFixed + slen + 1, elen);
    return true;
}

std::string tag_format(const TagState& t) {
    size_t total = kTagFixed + t.start_tag.size() + 1 + t.end_tag.size() + 1;
    if (total > kTagMaxLen) return {};
    char head[kTagFixed + 1];
    std::snprintf(head, sizeof head, "%04lX%04lX%08lX%04lX%04lX%04lX%08lX", static_cast<unsigned long>(total),
                  static_cast<unsigned long>(t.slot), static_cast<unsigned long>(t.offset),
                  static_cast<unsigned long>(t.state), static_cast<unsigned long>(t.start_tag.size()),
                  static_cast<unsigned long>(t.end_tag.size()), static_cast<unsigned long>(t.data_len));
    std::string s(head, kTagFixed);
    s.append(t.start_tag).append(" ").append(t.end_tag).append(" ");
    return s;
}

bool inflate_bounded(const uint8_t* src, size_t n, uint8_t* dst, size_t cap, size_t* out_len) {
    uint8_t none = 0;
    z_stream z{};
    if (platform::z_inflate_init(&z) != Z_OK) return false;
    // Buffers hold at most 2^31 - 1 bytes, so the counts fit zlib's 32-bit fields.
    z.next_in = const_cast<Bytef*>(src ? src : &none);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = cap ? dst : &none;
    z.avail_out = static_cast<uInt>(cap);
    int rc = platform::z_inflate(&z, Z_FINISH);
    size_t produced = cap - z.avail_out;
    platform::z_inflate_end(&z);
    if (rc != Z_STREAM_END) return false;  // corrupt, truncated, or more than cap bytes
    *out_len = produced;
    return true;
}

}  // namespace kel::lib
