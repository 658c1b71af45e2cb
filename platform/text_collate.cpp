// Text services: the word-sort comparison behind lstrcmp/lstrcmpi and the logical
// comparison behind StrCmpLogicalW. Code pages and character tables are in text.cpp.
#include <algorithm>
#include <array>
#include <string>

#include "platform/text.h"
#include "platform/text_tables.h"

namespace kel::platform {

using namespace text_detail;

namespace {

// Primary weight bands: symbols < digits < letters.
constexpr uint32_t kRankedSymbol = 0x01000;
constexpr uint32_t kOtherSymbol = 0x02000;  // + unit, above every ranked symbol
constexpr uint32_t kDigit = 0x20000;
constexpr uint32_t kLatinLetter = 0x30000;  // + 4 * (letter - 'a'), room for þ after z
constexpr uint32_t kOtherLetter = 0x40000;  // + lower-case unit

// Symbols in sort order; a symbol not listed sorts after these, by code.
constexpr char16_t kSymbolOrder[] =
    u"\t\n\v\f\r \u00A0!\"#$%&()*,./:;?@[\\]^_`{|}~\u00A1\u00A6\u00A8\u00AF\u00B4\u00B8\u00BF"
    u"\u02C6\u02DC\u2018\u2019\u201A\u201C\u201D\u201E\u2039\u203A\u2013\u2014\u00A2\u00A3\u00A4"
    u"\u00A5\u20AC+\u00B1\u00AB\u00BB\u00D7\u00F7<=>\u00AC\u00A7\u00A9\u00B6\u00AE\u00B0\u2020"
    u"\u2021\u2022\u2026\u2030\u2122\u00B7\u00BC\u00BD\u00BE";

// Diacritic codes of the decomposition tables below, in secondary order.
constexpr char kAccentOrder[] = "0agbcvrdhtoseukmxlw";

constexpr uint8_t accent_rank(char a) {
    for (uint8_t i = 0; kAccentOrder[i]; ++i)
        if (kAccentOrder[i] == a) return i;
    return 0;
}

// Base letter and diacritic of U+00C0..U+017F. Bases: a letter, "*" not a letter,
// "1" ae, "2" oe, "3" ss, "4" ij, "5" thorn.
constexpr char kLatinBase[] =
    "aaaaaa1ceeeeiiiidnooooo*ouuuuy53"
    "aaaaaa1ceeeeiiiidnooooo*ouuuuy5y"
    "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiii44jjkk"
    "kllllllllllnnnnnnnnnoooooo22rrrrrrssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";
constexpr char kLatinAccent[] =
    "gactdrlegacdgacdstgactd0sgacda0l"
    "gactdrlegacdgacdstgactd0sgacda0d"
    "mmbbkkaaccoovvvvssmmbbookkvvccbbooeeccssttmmbbkkoxllccee"
    "xaaeevvoossaaeevvxxxmmbbhhllaaeevvaacceevveevvssttmmbbrrhhkkccccdaaoovvx";
static_assert(sizeof kLatinBase - 1 == 0x180 - 0xC0 && sizeof kLatinAccent - 1 == 0x180 - 0xC0);

struct Elem {
    uint32_t primary;
    uint8_t accent;
    uint8_t upper;
};

enum class Kind : uint8_t { Ignore, Special, Elems };

struct Weights {
    Kind kind;
    uint8_t count;    // elements (Elems)
    uint8_t special;  // which ignored character (Special)
    Elem e[2];
};

constexpr Weights elems1(uint32_t p, uint8_t accent, bool upper) {
    return {Kind::Elems, 1, 0, {{p, accent, uint8_t(upper)}, {0, 0, 0}}};
}

constexpr uint32_t letter(char base) { return kLatinLetter + 4u * uint32_t(base - 'a'); }

constexpr Weights weigh(char16_t c) {
    if (c <= 0x08 || (c >= 0x0E && c <= 0x1F) || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
        c == 0xFEFF)
        return {Kind::Ignore, 0, 0, {}};
    switch (c) {
        case u'\'': return {Kind::Special, 0, 1, {}};
        case u'-': return {Kind::Special, 0, 2, {}};
        case 0x00AD: return {Kind::Special, 0, 3, {}};
        case 0x2010:
        case 0x2011: return {Kind::Special, 0, 4, {}};
        default: break;
    }
    bool upper = (wide_type_bits(c) & kC1Upper) != 0;
    if (c >= u'0' && c <= u'9') return elems1(kDigit + (c - u'0'), 0, false);
    if (c == 0xB9) return elems1(kDigit + 1, accent_rank('x'), false);
    if (c == 0xB2 || c == 0xB3) return elems1(kDigit + (c - 0xB0), accent_rank('x'), false);
    if (c >= 0xFF10 && c <= 0xFF19) return elems1(kDigit + (c - 0xFF10), accent_rank('w'), false);
    if (c >= u'a' && c <= u'z') return elems1(letter(char(c)), 0, false);
    if (c >= u'A' && c <= u'Z') return elems1(letter(char(c - u'A' + u'a')), 0, true);
    if (c >= 0xFF21 && c <= 0xFF3A) return elems1(letter(char(c - 0xFF21 + 'a')), accent_rank('w'), true);
    if (c >= 0xFF41 && c <= 0xFF5A) return elems1(letter(char(c - 0xFF41 + 'a')), accent_rank('w'), false);
    if (c == 0x192 || c == 0x191) return elems1(letter('f'), accent_rank('x'), c == 0x191);
    if (c >= 0xC0 && c < 0x180) {
        char base = kLatinBase[c - 0xC0];
        uint8_t acc = accent_rank(kLatinAccent[c - 0xC0]);
        const char* pair = nullptr;
        switch (base) {
            case '*': break;
            case '1': pair = "ae"; break;
            case '2': pair = "oe"; break;
            case '3': pair = "ss"; break;
            case '4': pair = "ij"; break;
            case '5': return elems1(letter('z') + 1, 0, upper);
            default: return elems1(letter(base), acc, upper);
        }
        if (pair) {
            Weights w{Kind::Elems, 2, 0, {}};
            w.e[0] = {letter(pair[0]), acc, uint8_t(upper)};
            w.e[1] = {letter(pair[1]), 0, uint8_t(upper)};
            return w;
        }
    }
    for (uint32_t i = 0; kSymbolOrder[i]; ++i)
        if (kSymbolOrder[i] == c) return elems1(kRankedSymbol + i, 0, false);
    if (wide_type_bits(c) & kC1Alpha) return elems1(kOtherLetter + wide_lower(c), 0, upper);
    return elems1(kOtherSymbol + c, 0, false);
}

constexpr std::array<Weights, 0x180> make_weight_table() {
    std::array<Weights, 0x180> t{};
    for (uint32_t c = 0; c < t.size(); ++c) t[c] = weigh(char16_t(c));
    return t;
}

constexpr std::array<Weights, 0x180> kWeights = make_weight_table();

// The weights of everything the texts of scripts mostly hold come from the table; the
// rest are worked out into `scratch`. A pointer, not a copy: copying the record per
// character costs more than the comparison itself.
const Weights* weights_of(char16_t c, Weights& scratch) {
    if (c < kWeights.size()) return &kWeights[c];
    scratch = weigh(c);
    return &scratch;
}

// Units of a text: UTF-16 as it is, or bytes of a built-in single-byte page.
struct WideSource {
    const char16_t* p;
    size_t n;
    size_t i = 0;
    bool next(char16_t& c) {
        if (i >= n) return false;
        c = p[i++];
        return true;
    }
};

struct ByteSource {
    const uint8_t* p;
    size_t n;
    const char16_t* high;  // nullptr: 28591 when latin1, else 20127
    bool latin1;
    size_t i = 0;
    bool next(char16_t& c) {
        if (i >= n) return false;
        uint8_t b = p[i++];
        c = b < 0x80 ? char16_t(b) : high ? high[b - 0x80] : latin1 ? char16_t(b) : u'?';
        return true;
    }
};

// Walks the sort elements of a text, skipping what the primary levels ignore.
template <typename Src>
struct ElemCursor {
    Src src;
    const Weights* cur = &kWeights[0];  // U+0000 is ignored: no elements
    uint8_t at = 0;
    Weights scratch{};
    bool next(Elem& e) {
        while (at >= cur->count) {
            char16_t c;
            if (!src.next(c)) return false;
            cur = weights_of(c, scratch);
            at = 0;
        }
        e = cur->e[at++];
        return true;
    }
};

int sign(int64_t d) { return d < 0 ? -1 : d > 0 ? 1 : 0; }

enum class Level { Primary, Accent, Case };

template <typename Src>
int compare_level(const Src& a, const Src& b, Level level) {
    ElemCursor<Src> ca{a}, cb{b};
    static_assert(kWeights[0].count == 0);
    for (;;) {
        Elem ea, eb;
        bool ha = ca.next(ea), hb = cb.next(eb);
        if (!ha || !hb) return int(ha) - int(hb);
        int64_t d = level == Level::Primary ? int64_t(ea.primary) - int64_t(eb.primary)
                    : level == Level::Accent ? int64_t(ea.accent) - int64_t(eb.accent)
                                             : int64_t(ea.upper) - int64_t(eb.upper);
        if (d) return sign(d);
    }
}

// The ignored hyphens and apostrophes: where they stand (counted in sort elements) and
// which they are. Fewer of them sorts first ("coop" < "co-op").
template <typename Src>
struct SpecialCursor {
    Src src;
    uint32_t pos = 0;
    Weights scratch{};
    bool next(uint32_t& at, uint8_t& which) {
        char16_t c;
        while (src.next(c)) {
            const Weights* w = weights_of(c, scratch);
            if (w->kind == Kind::Special) {
                at = pos;
                which = w->special;
                return true;
            }
            pos += w->count;
        }
        return false;
    }
};

template <typename Src>
int compare_specials(const Src& a, const Src& b) {
    SpecialCursor<Src> ca{a}, cb{b};
    for (;;) {
        uint32_t pa = 0, pb = 0;
        uint8_t wa = 0, wb = 0;
        bool ha = ca.next(pa, wa), hb = cb.next(pb, wb);
        if (!ha || !hb) return int(ha) - int(hb);
        if (pa != pb) return pa < pb ? -1 : 1;
        if (wa != wb) return wa < wb ? -1 : 1;
    }
}

// Last resort, so that different texts never compare equal (case aside when ignored).
template <typename Src>
int compare_units(Src a, Src b, bool ignore_case) {
    for (;;) {
        char16_t x = 0, y = 0;
        bool ha = a.next(x), hb = b.next(y);
        if (!ha || !hb) return int(ha) - int(hb);
        if (ignore_case) {
            x = wide_lower(x);
            y = wide_lower(y);
        }
        if (x != y) return x < y ? -1 : 1;
    }
}

template <typename Src>
int word_sort(const Src& a, const Src& b, bool ignore_case) {
    if (int r = compare_level(a, b, Level::Primary)) return r;
    if (int r = compare_level(a, b, Level::Accent)) return r;
    if (!ignore_case)
        if (int r = compare_level(a, b, Level::Case)) return r;
    if (int r = compare_specials(a, b)) return r;
    return compare_units(a, b, ignore_case);
}

bool byte_source_page(uint32_t cp, const char16_t** high, bool* latin1) {
    *high = single_byte_high(cp);
    *latin1 = cp == kCpLatin1;
    return *high || cp == kCpLatin1 || cp == kCpAscii;
}

bool is_ascii_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A run of text against a number: by the text's first sort element, so that text
// starting with a symbol (or with nothing but ignored characters) comes before numbers
// and text starting with a letter after them. This keeps the order transitive.
int text_against_number(std::u16string_view text) { return compare_word_sort(text, u"0", true) < 0 ? -1 : 1; }

// Texts split into runs of digits (numbers) and runs of anything else, compared run by run.
int logical(std::u16string_view a, std::u16string_view b) {
    size_t i = 0, j = 0;
    int zeros_tiebreak = 0;
    while (i < a.size() && j < b.size()) {
        bool da = is_ascii_digit(a[i]), db = is_ascii_digit(b[j]);
        size_t si = i, sj = j;
        while (i < a.size() && is_ascii_digit(a[i]) == da) ++i;
        while (j < b.size() && is_ascii_digit(b[j]) == db) ++j;
        std::u16string_view ra = a.substr(si, i - si), rb = b.substr(sj, j - sj);
        if (da && db) {
            size_t za = 0, zb = 0;
            while (za + 1 < ra.size() && ra[za] == u'0') ++za;
            while (zb + 1 < rb.size() && rb[zb] == u'0') ++zb;
            // Numbers of any length: more significant digits is larger, else digit by digit.
            if (ra.size() - za != rb.size() - zb) return ra.size() - za < rb.size() - zb ? -1 : 1;
            if (int r = ra.substr(za).compare(rb.substr(zb))) return r < 0 ? -1 : 1;
            if (!zeros_tiebreak && ra.size() != rb.size()) zeros_tiebreak = ra.size() > rb.size() ? -1 : 1;
        } else if (da) {
            return -text_against_number(rb);
        } else if (db) {
            return text_against_number(ra);
        } else if (int r = compare_word_sort(ra, rb, true)) {
            return r;
        }
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return zeros_tiebreak;
}

// Units every weight of which comes from the unit alone, so a common prefix weighs the
// same on both sides at every level (positions of ignored characters included) and can
// be dropped before comparing.
template <typename S>
void drop_common_prefix(S& a, S& b) {
    size_t n = std::min(a.size(), b.size()), i = 0;
    while (i < n && a[i] == b[i]) ++i;
    a.remove_prefix(i);
    b.remove_prefix(i);
}

}  // namespace

int compare_word_sort(std::u16string_view a, std::u16string_view b, bool ignore_case) {
    drop_common_prefix(a, b);
    if (a.empty() && b.empty()) return 0;
    return word_sort(WideSource{a.data(), a.size()}, WideSource{b.data(), b.size()}, ignore_case);
}

int compare_word_sort(std::string_view a, std::string_view b, bool ignore_case) {
    if (a == b) return 0;
    const char16_t* high;
    bool latin1;
    uint32_t cp = ansi_code_page();
    if (byte_source_page(cp, &high, &latin1)) {
        drop_common_prefix(a, b);
        auto pa = reinterpret_cast<const uint8_t*>(a.data());
        auto pb = reinterpret_cast<const uint8_t*>(b.data());
        return word_sort(ByteSource{pa, a.size(), high, latin1}, ByteSource{pb, b.size(), high, latin1},
                         ignore_case);
    }
    std::u16string wa = to_wide(a, cp), wb = to_wide(b, cp);
    int r = compare_word_sort(wa, wb, ignore_case);
    if (r == 0 && !ignore_case) r = a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;  // bytes the page folds
    return r;
}

int compare_logical(std::u16string_view a, std::u16string_view b) { return logical(a, b); }

int compare_logical(std::string_view a, std::string_view b) {
    uint32_t cp = ansi_code_page();
    return logical(to_wide(a, cp), to_wide(b, cp));
}

}  // namespace kel::platform
