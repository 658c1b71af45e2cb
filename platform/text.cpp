// Text services: code pages, conversions and the ANSI character tables. Word-sort and
// logical comparison are in text_collate.cpp.
#include "platform/text.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/profile.h"
#include "platform/text_tables.h"

namespace kel::platform {

using namespace text_detail;

namespace {

constexpr char16_t kReplacement = 0xFFFD;

std::atomic<uint32_t> g_ansi_cp{0};
std::atomic<const ByteTables*> g_ansi_tables{nullptr};

bool is_builtin(uint32_t cp) {
    return cp == kCpWindows1252 || cp == kCpLatin1 || cp == kCpAscii || cp == kCpOem437 || cp == kCpOem850 ||
           cp == kCpUtf8;
}

// Windows refuses the UTF-16 and UTF-32 pages in these calls; so do we.
bool refused(uint32_t cp) { return cp == 1200 || cp == 1201 || cp == 12000 || cp == 12001; }

std::string iconv_name(uint32_t cp) {
    switch (cp) {
        case 874: return "CP874";
        case 10000: return "MACINTOSH";
        case 10007: return "MAC-CYRILLIC";
        case 10029: return "MAC-CENTRALEUROPE";
        case 20866: return "KOI8-R";
        case 21866: return "KOI8-U";
        case 20932:
        case 51932: return "EUC-JP";
        case 51949: return "EUC-KR";
        case 54936: return "GB18030";
        case 50220: return "ISO-2022-JP";
        case 65000: return "UTF-7";
        case 1361: return "JOHAB";
        case 28603: return "ISO-8859-13";
        case 28605: return "ISO-8859-15";
        default: break;
    }
    if (cp >= 28592 && cp <= 28599) return "ISO-8859-" + std::to_string(cp - 28590);
    std::string n = std::to_string(cp);
    return cp < 100 ? "CP" + std::string(3 - n.size(), '0') + n : "CP" + n;  // EBCDIC 37 is "CP037"
}

// A pair of conversion descriptors per code page, opened on first use and kept for the
// process; a page iconv does not know is remembered as such.
struct IconvPair {
    uint32_t cp = 0;
    bool ok = false;
    iconv_t to_wide = reinterpret_cast<iconv_t>(-1);
    iconv_t from_wide = reinterpret_cast<iconv_t>(-1);
};

constexpr size_t kIconvSlots = 8;

IconvPair* iconv_for(uint32_t cp) {
    static std::mutex mu;
    static IconvPair slots[kIconvSlots];
    static size_t used = 0;
    std::lock_guard<std::mutex> lock(mu);
    for (size_t i = 0; i < used; ++i)
        if (slots[i].cp == cp) return slots[i].ok ? &slots[i] : nullptr;
    IconvPair p;
    p.cp = cp;
    std::string name = iconv_name(cp);
    p.to_wide = iconv_open("UTF-16LE", name.c_str());
    p.from_wide = iconv_open(name.c_str(), "UTF-16LE");
    p.ok = p.to_wide != reinterpret_cast<iconv_t>(-1) && p.from_wide != reinterpret_cast<iconv_t>(-1);
    if (!p.ok) {
        if (p.to_wide != reinterpret_cast<iconv_t>(-1)) iconv_close(p.to_wide);
        if (p.from_wide != reinterpret_cast<iconv_t>(-1)) iconv_close(p.from_wide);
    }
    if (used == kIconvSlots) {
        // Full: recycle the oldest slot. Callers hold no pointer across calls.
        if (slots[0].ok) {
            iconv_close(slots[0].to_wide);
            iconv_close(slots[0].from_wide);
        }
        for (size_t i = 1; i < kIconvSlots; ++i) slots[i - 1] = slots[i];
        --used;
    }
    slots[used++] = p;
    return p.ok ? &slots[used - 1] : nullptr;
}

// Collects converted units or bytes up to a capacity, counting all of them; a character
// that does not fit whole is not written, nor is anything after it.
template <typename T>
struct Sink {
    T* out;
    size_t cap;
    size_t n = 0;
    bool full = false;
    void put(const T* p, size_t k) {
        if (!full && out && n + k <= cap)
            std::memcpy(out + n, p, k * sizeof(T));
        else
            full = true;
        n += k;
    }
    void put(T c) { put(&c, 1); }
};

void put_code_point(Sink<char16_t>& s, uint32_t cp) {
    if (cp < 0x10000) {
        s.put(char16_t(cp));
    } else {
        cp -= 0x10000;
        char16_t pair[2] = {char16_t(0xD800 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))};
        s.put(pair, 2);
    }
}

// UTF-8 in, each maximal invalid subsequence becoming one U+FFFD.
void utf8_to_wide(std::string_view s, Sink<char16_t>& out) {
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        uint8_t b = p[i];
        if (b < 0x80) {
            out.put(char16_t(b));
            ++i;
            continue;
        }
        int need = 0;
        uint32_t cp = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;  // no encoded surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out.put(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool bad = false;
        for (int k = 0; k < need; ++k, ++j) {
            if (j >= n || p[j] < lo || p[j] > hi) {
                bad = true;
                break;
            }
            cp = (cp << 6) | (p[j] & 0x3F);
            lo = 0x80;
            hi = 0xBF;
        }
        if (bad) {
            out.put(kReplacement);
            i = j;  // resume at the byte that broke the sequence
            continue;
        }
        put_code_point(out, cp);
        i = j;
    }
}

void wide_to_utf8(std::u16string_view w, Sink<char>& out, bool& lossy) {
    size_t n = w.size();
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = w[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
            lossy = true;
        }
        char buf[4];
        size_t k;
        if (c < 0x80) {
            buf[0] = char(c);
            k = 1;
        } else if (c < 0x800) {
            buf[0] = char(0xC0 | (c >> 6));
            buf[1] = char(0x80 | (c & 0x3F));
            k = 2;
        } else if (c < 0x10000) {
            buf[0] = char(0xE0 | (c >> 12));
            buf[1] = char(0x80 | ((c >> 6) & 0x3F));
            buf[2] = char(0x80 | (c & 0x3F));
            k = 3;
        } else {
            buf[0] = char(0xF0 | (c >> 18));
            buf[1] = char(0x80 | ((c >> 12) & 0x3F));
            buf[2] = char(0x80 | ((c >> 6) & 0x3F));
            buf[3] = char(0x80 | (c & 0x3F));
            k = 4;
        }
        out.put(buf, k);
    }
}

// Reverse lookup for an upper half: the byte for c, or -1.
int encode_high(const char16_t* high, char16_t c) {
    for (int i = 0; i < 128; ++i)
        if (high[i] == c) return 0x80 + i;
    return -1;
}

int encode_single(uint32_t cp, char16_t c) {
    if (c < 0x80) return c;
    switch (cp) {
        case kCpWindows1252: return encode_1252(c);
        case kCpLatin1: return c <= 0xFF ? int(c) : -1;
        case kCpAscii: return -1;
        case kCpOem437: return encode_high(kHigh437, c);
        case kCpOem850: return encode_high(kHigh850, c);
        default: return -1;
    }
}

void iconv_to_wide(IconvPair& ip, std::string_view s, Sink<char16_t>& out) {
    iconv(ip.to_wide, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(s.data());
    size_t in_left = s.size();
    char16_t buf[512];
    while (in_left > 0) {
        char* o = reinterpret_cast<char*>(buf);
        size_t o_left = sizeof buf;
        size_t r = iconv(ip.to_wide, &in, &in_left, &o, &o_left);
        int err = r == size_t(-1) ? errno : 0;
        size_t got = (sizeof buf - o_left) / 2;
        // iconv writes whole characters; hand them on one at a time so that a capacity
        // never separates a surrogate pair.
        for (size_t i = 0; i < got;) {
            size_t k = (buf[i] >= 0xD800 && buf[i] <= 0xDBFF && i + 1 < got) ? 2 : 1;
            out.put(buf + i, k);
            i += k;
        }
        if (err == EILSEQ) {
            out.put(u'?');
            ++in;
            --in_left;
        } else if (err == EINVAL) {
            out.put(u'?');
            break;
        } else if (err != 0 && err != E2BIG) {
            break;
        }
    }
}

// One character at a time, so that a capacity never cuts a multi-byte character and an
// unconvertible one is replaced by the page's own "?".
void iconv_from_wide(IconvPair& ip, std::u16string_view w, Sink<char>& out, bool& lossy) {
    iconv(ip.from_wide, nullptr, nullptr, nullptr, nullptr);
    char buf[32];
    auto convert = [&](const char16_t* p, size_t units) -> bool {
        char* in = reinterpret_cast<char*>(const_cast<char16_t*>(p));
        size_t in_left = units * 2;
        char* o = buf;
        size_t o_left = sizeof buf;
        size_t r = iconv(ip.from_wide, &in, &in_left, &o, &o_left);
        if (r == size_t(-1) || in_left != 0) return false;
        // Characters the page lacks and iconv stood in for without an error.
        if (r > 0) return false;
        out.put(buf, sizeof buf - o_left);
        return true;
    };
    size_t n = w.size();
    for (size_t i = 0; i < n;) {
        size_t units = 1;
        if (w[i] >= 0xD800 && w[i] <= 0xDBFF && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] <= 0xDFFF) units = 2;
        if (!convert(w.data() + i, units)) {
            lossy = true;
            const char16_t q = u'?';
            if (!convert(&q, 1)) out.put('?');
        }
        i += units;
    }
    char* o = buf;
    size_t o_left = sizeof buf;
    if (iconv(ip.from_wide, nullptr, nullptr, &o, &o_left) != size_t(-1)) out.put(buf, sizeof buf - o_left);
}

bool ascii_compatible(uint32_t cp) {
    if (is_builtin(cp)) return true;
    static const char kProbe[] = " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}";
    std::u16string w = to_wide(std::string_view(kProbe, sizeof kProbe - 1), cp);
    if (w.size() != sizeof kProbe - 1) return false;
    for (size_t i = 0; i < w.size(); ++i)
        if (w[i] != char16_t(uint8_t(kProbe[i]))) return false;
    return true;
}

uint32_t read_ansi_setting() {
    int32_t v = profile_get_int("FENSCRPT.INI", "MAIN", "CodePage", 0);
    if (v <= 3) return kCpWindows1252;
    auto cp = uint32_t(v);
    // Letters, digits and the tokenizer's punctuation must keep their ASCII bytes.
    if (!code_page_valid(cp) || !ascii_compatible(cp)) return kCpWindows1252;
    return cp;
}

ByteTables build_tables(uint32_t cp) {
    ByteTables t = kTables1252;
    for (int b = 0x80; b < 256; ++b) {
        t.types[b] = 0;
        t.upper[b] = t.lower[b] = uint8_t(b);
        if (cp == kCpUtf8 || is_lead_byte(uint8_t(b), cp)) continue;
        char one = char(b);
        std::u16string w = to_wide(std::string_view(&one, 1), cp);
        if (w.size() != 1 || w[0] == kReplacement) continue;
        t.types[b] = wide_type_bits(w[0]);
        for (int which = 0; which < 2; ++which) {
            char16_t m = which == 0 ? wide_upper(w[0]) : wide_lower(w[0]);
            if (m == w[0]) continue;
            bool lossy = false;
            std::string back = from_wide(std::u16string_view(&m, 1), cp, &lossy);
            if (!lossy && back.size() == 1) (which == 0 ? t.upper : t.lower)[b] = uint8_t(back[0]);
        }
    }
    return t;
}

}  // namespace

namespace text_detail {

uint32_t resolve_cp(uint32_t cp) {
    if (cp == kCpAcp || cp == kCpThreadAcp) return ansi_code_page();
    if (cp == kCpOemCp) return oem_code_page();
    if (cp == 2) return 10000;  // CP_MACCP
    return cp;
}

const char16_t* single_byte_high(uint32_t cp) {
    switch (cp) {
        case kCpWindows1252: return kHigh1252;
        case kCpOem437: return kHigh437;
        case kCpOem850: return kHigh850;
        default: return nullptr;
    }
}

const ByteTables& ansi_tables() {
    const ByteTables* t = g_ansi_tables.load(std::memory_order_acquire);
    if (t) return *t;
    uint32_t cp = ansi_code_page();
    if (cp == kCpWindows1252) {
        t = &kTables1252;
    } else {
        static std::mutex mu;
        static std::unique_ptr<ByteTables> built[2];
        std::lock_guard<std::mutex> lock(mu);
        // Two slots so that a table in use is never freed by a test switching pages.
        built[1] = std::move(built[0]);
        built[0] = std::make_unique<ByteTables>(build_tables(cp));
        t = built[0].get();
    }
    g_ansi_tables.store(t, std::memory_order_release);
    return *t;
}

}  // namespace text_detail

uint32_t ansi_code_page() {
    uint32_t cp = g_ansi_cp.load(std::memory_order_acquire);
    if (cp == 0) {
        cp = read_ansi_setting();
        g_ansi_cp.store(cp, std::memory_order_release);
    }
    return cp;
}

uint32_t oem_code_page() { return kCpOem437; }

void set_ansi_code_page(uint32_t cp) {
    if (cp <= 3 || !code_page_valid(cp)) cp = 0;
    g_ansi_cp.store(cp, std::memory_order_release);
    g_ansi_tables.store(nullptr, std::memory_order_release);
}

bool code_page_valid(uint32_t cp) {
    if (cp == kCpAcp || cp == kCpOemCp || cp == kCpThreadAcp) return true;
    cp = resolve_cp(cp);
    if (is_builtin(cp)) return true;
    if (refused(cp)) return false;
    return iconv_for(cp) != nullptr;
}

bool is_dbcs_code_page(uint32_t cp) {
    cp = resolve_cp(cp);
    return cp == 932 || cp == 936 || cp == 949 || cp == 950;
}

bool is_lead_byte(uint8_t b, uint32_t cp) {
    switch (resolve_cp(cp)) {
        case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
        case 936:
        case 949:
        case 950: return b >= 0x81 && b <= 0xFE;
        default: return false;
    }
}

bool is_lead_byte(uint8_t b) { return b >= 0x81 && is_lead_byte(b, ansi_code_page()); }

size_t to_wide(std::string_view s, uint32_t cp, char16_t* out, size_t out_cap) {
    cp = resolve_cp(cp);
    Sink<char16_t> sink{out, out_cap};
    if (cp == kCpUtf8) {
        utf8_to_wide(s, sink);
    } else if (const char16_t* high = single_byte_high(cp); high || cp == kCpLatin1 || cp == kCpAscii) {
        for (char ch : s) {
            auto b = uint8_t(ch);
            char16_t c = b < 0x80 ? char16_t(b) : high ? high[b - 0x80] : cp == kCpLatin1 ? char16_t(b) : u'?';
            sink.put(c);
        }
    } else {
        if (refused(cp)) return 0;
        IconvPair* ip = iconv_for(cp);
        if (!ip) return 0;
        iconv_to_wide(*ip, s, sink);
    }
    return sink.n;
}

size_t from_wide(std::u16string_view w, uint32_t cp, char* out, size_t out_cap, bool* lossy) {
    cp = resolve_cp(cp);
    Sink<char> sink{out, out_cap};
    bool lost = false;
    if (cp == kCpUtf8) {
        wide_to_utf8(w, sink, lost);
    } else if (is_builtin(cp)) {
        for (char16_t c : w) {
            int b = encode_single(cp, c);
            if (b < 0) {
                lost = true;
                b = '?';
            }
            sink.put(char(b));
        }
    } else {
        if (refused(cp)) return 0;
        IconvPair* ip = iconv_for(cp);
        if (!ip) return 0;
        iconv_from_wide(*ip, w, sink, lost);
    }
    if (lossy) *lossy = lost;
    return sink.n;
}

std::u16string to_wide(std::string_view s, uint32_t cp) {
    std::u16string r;
    size_t n = to_wide(s, cp, nullptr, 0);
    if (n == 0) return r;
    r.resize(n);
    n = to_wide(s, cp, r.data(), r.size());
    r.resize(std::min(n, r.size()));
    return r;
}

std::string from_wide(std::u16string_view w, uint32_t cp, bool* lossy) {
    std::string r;
    bool lost = false;
    size_t n = from_wide(w, cp, nullptr, 0, &lost);
    if (lossy) *lossy = lost;
    if (n == 0) return r;
    r.resize(n);
    n = from_wide(w, cp, r.data(), r.size());
    r.resize(std::min(n, r.size()));
    return r;
}

uint16_t char_type_bits(uint8_t c) { return c < 0x80 ? kTables1252.types[c] : ansi_tables().types[c]; }
bool is_alpha(uint8_t c) { return (char_type_bits(c) & kC1Alpha) != 0; }
bool is_alnum(uint8_t c) { return (char_type_bits(c) & (kC1Alpha | kC1Digit)) != 0; }
bool is_upper(uint8_t c) { return (char_type_bits(c) & kC1Upper) != 0; }
bool is_lower(uint8_t c) { return (char_type_bits(c) & kC1Lower) != 0; }
bool is_digit(uint8_t c) { return (char_type_bits(c) & kC1Digit) != 0; }
bool is_space(uint8_t c) { return (char_type_bits(c) & kC1Space) != 0; }
bool is_punct(uint8_t c) { return (char_type_bits(c) & kC1Punct) != 0; }
bool is_cntrl(uint8_t c) { return (char_type_bits(c) & kC1Cntrl) != 0; }
uint8_t to_upper(uint8_t c) { return c < 0x80 ? kTables1252.upper[c] : ansi_tables().upper[c]; }
uint8_t to_lower(uint8_t c) { return c < 0x80 ? kTables1252.lower[c] : ansi_tables().lower[c]; }

namespace {

template <bool Upper>
void map_in_place(char* s, size_t n) {
    const ByteTables& t = ansi_tables();
    bool dbcs = is_dbcs_code_page(ansi_code_page());
    for (size_t i = 0; i < n; ++i) {
        auto b = uint8_t(s[i]);
        if (dbcs && is_lead_byte(b, kCpAcp)) {
            ++i;  // the trail byte is not a character of its own
            continue;
        }
        s[i] = char(Upper ? t.upper[b] : t.lower[b]);
    }
}

}  // namespace

void upper_in_place(char* s, size_t n) { map_in_place<true>(s, n); }
void lower_in_place(char* s, size_t n) { map_in_place<false>(s, n); }

uint16_t char_type_bits_w(char16_t c) { return wide_type_bits(c); }
bool is_alpha_w(char16_t c) { return (wide_type_bits(c) & kC1Alpha) != 0; }
bool is_upper_w(char16_t c) { return (wide_type_bits(c) & kC1Upper) != 0; }
bool is_lower_w(char16_t c) { return (wide_type_bits(c) & kC1Lower) != 0; }
char16_t to_upper_w(char16_t c) { return wide_upper(c); }
char16_t to_lower_w(char16_t c) { return wide_lower(c); }

void upper_in_place_w(char16_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i) s[i] = wide_upper(s[i]);
}

void lower_in_place_w(char16_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i) s[i] = wide_lower(s[i]);
}

}  // namespace kel::platform
