// The str* family: measuring, cutting, padding, searching, counting, replacing, cleaning,
// case and comparison, each in narrow and UTF-16 form. Character codes live in chars.cpp.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "interp/data/convert.h"
#include "interp/api/builtin.h"
#include "interp/base/messages.h"
#include "lib/strutil.h"
#include "platform/text.h"

namespace kel::lib {
namespace {

constexpr size_t kMaxStrCatArgs = 1024;

template <class T>
size_t char_count(const T& t, typename T::View s) {
    if constexpr (std::is_same_v<T, NarrowText>) {
        if (t.dbcs) return CharMap<T>(t, s).count();
    }
    return s.size();
}

// strlen(string)
void strlen_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        ret_integer(c, static_cast<int32_t>(char_count(t, arg_text<T>(c, 1))));
    });
}

// strcharcount(string)
void strcharcount_fn(Call& c) { strlen_fn(c); }

// strbytecount(string, request): -1 in the string's own width, 0 as narrow, 1 as wide.
void strbytecount_fn(Call& c) {
    int32_t req = c.integer(2);
    bool wide = c.wide_pref;
    uint32_t cp = instance_code_page(c.inst);
    size_t bytes = 0;
    if (req == -1) {
        bytes = wide ? c.wstr(1).size() * 2 : c.str(1).size();
    } else if (req == 0) {
        if (wide) {
            if (!platform::code_page_valid(cp)) return void(c.fail(Err::NotAString));
            bytes = platform::from_wide(c.wstr(1), cp, nullptr, 0);
        } else {
            bytes = c.str(1).size();
        }
    } else if (req == 1) {
        if (wide) {
            bytes = c.wstr(1).size() * 2;
        } else {
            if (!platform::code_page_valid(cp)) return void(c.fail(Err::NotUnicode));
            bytes = platform::to_wide(c.str(1), cp, nullptr, 0) * 2;
        }
    } else {
        return void(c.fail(Err::BadRequest));
    }
    ret_integer(c, static_cast<int32_t>(std::min<size_t>(bytes, INT32_MAX)));
}

// strsub(string, start, length): length -1 means to the end.
void strsub_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto s = arg_text<T>(c, 1);
        CharMap<T> m(t, s);
        int64_t len_chars = static_cast<int64_t>(m.count());
        int64_t start = c.integer(2);
        int64_t length = c.integer(3);
        int64_t avail = len_chars - start + 1;
        if (length == -1) length = avail;
        if (length > avail) length = avail;
        if ((start <= 0 && length != 0) || (start > len_chars && length > 0) || length < 0 || start <= 0) {
            ret_text<Ch>(c, {});
            return;
        }
        size_t from = m.offset(static_cast<size_t>(start - 1));
        size_t to = m.offset(static_cast<size_t>(start - 1 + length));
        ret_text<Ch>(c, s.substr(from, to - from));
    });
}

// Units taken by the first k characters of `pad` repeated without end.
template <class T>
bool cycle_units(const CharMap<T>& m, size_t pad_units, size_t k, size_t& out) {
    size_t pc = m.count();
    size_t full = 0;
    if (!size_mul(k / pc, pad_units, full)) return false;
    return size_add(full, m.offset(k % pc), out);
}

template <class Ch>
void cycle_copy(Ch* dst, std::basic_string_view<Ch> pad, size_t units) {
    for (size_t i = 0, j = 0; i < units; ++i) {
        dst[i] = pad[j];
        if (++j == pad.size()) j = 0;
    }
}

// True when a cut after `units` units of the endlessly repeated pad splits a character.
template <class T>
bool cycle_splits(const CharMap<T>& m, size_t pad_units, size_t units) {
    size_t pos = units % pad_units;
    return pos != 0 && m.offset(m.index_of(pos)) != pos;
}

// strfill(filler, length)
void strfill_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto filler = arg_text<T>(c, 1);
        static constexpr Ch kSpace[] = {Ch(' '), Ch(0)};
        if (filler.empty()) filler = typename T::View(kSpace, 1);
        int32_t length = c.integer(2);
        if (length <= 0) return ret_text<Ch>(c, {});
        CharMap<T> m(t, filler);
        size_t units = 0;
        if (!cycle_units(m, filler.size(), static_cast<size_t>(length), units)) return void(c.fail(Err::OutOfStringMemory));
        Ch* p = ret_buf<Ch>(c, units);
        if (p) cycle_copy(p, filler, units);
    });
}

// The StrFix family. `bytes`: length counts bytes (units); `left`: pad in front and keep the
// tail of a long base.
void strfix_common(Call& c, bool bytes, bool left) {
    int32_t length = c.integer(3);
    if (length < 0) return void(c.fail(Err::StrFixBadLength));
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        constexpr bool kWide = std::is_same_v<T, WideText>;
        auto base = arg_text<T>(c, 1);
        auto pad = arg_text<T>(c, 2);
        static constexpr Ch kSpace[] = {Ch(' '), Ch(0)};
        if (pad.empty()) pad = typename T::View(kSpace, 1);
        size_t want = static_cast<size_t>(length);
        bool by_units = bytes;
        if (bytes && kWide) {
            // Wide text counts bytes in whole UTF-16 units.
            if (length % 2) return void(c.fail(Err::StrFixBadLength));
            want /= 2;
        }
        if (bytes && !kWide && !t.dbcs) by_units = true;
        CharMap<T> bm(t, base);
        CharMap<T> pm(t, pad);
        size_t base_len = by_units ? base.size() : bm.count();
        if (base_len >= want) {
            // Cut the base.
            size_t from = 0, to = base.size();
            if (by_units) {
                if (left)
                    from = base.size() - want;
                else
                    to = want;
            } else {
                if (left)
                    from = bm.offset(base_len - want);
                else
                    to = bm.offset(want);
            }
            Ch* p = ret_buf<Ch>(c, to - from);
            if (!p) return;
            std::copy(base.begin() + from, base.begin() + to, p);
            if constexpr (!kWide) {
                // A double-byte character cut in two becomes one space.
                if (by_units && t.dbcs && to > from) {
                    if (!left && bm.offset(bm.index_of(to - 1)) + t.clen(base, bm.offset(bm.index_of(to - 1))) > to)
                        p[to - from - 1] = ' ';
                    if (left && bm.offset(bm.index_of(from)) != from) p[0] = ' ';
                }
            }
            return;
        }
        size_t fill_count = want - base_len;  // in units or characters
        size_t fill_units = fill_count;
        if (!by_units && !cycle_units(pm, pad.size(), fill_count, fill_units)) return void(c.fail(Err::OutOfStringMemory));
        size_t total = 0;
        if (!size_add(fill_units, base.size(), total)) return void(c.fail(Err::OutOfStringMemory));
        Ch* p = ret_buf<Ch>(c, total);
        if (!p) return;
        Ch* fill = left ? p : p + base.size();
        Ch* b = left ? p + fill_units : p;
        std::copy(base.begin(), base.end(), b);
        cycle_copy(fill, pad, fill_units);
        if constexpr (!kWide) {
            if (by_units && t.dbcs && fill_units && cycle_splits(pm, pad.size(), fill_units)) fill[fill_units - 1] = ' ';
        }
    });
}

// StrFix(base, padding, length)
void strfix_fn(Call& c) { strfix_common(c, false, false); }
// strfixchars(base, padding, length)
void strfixchars_fn(Call& c) { strfix_common(c, false, false); }
// strfixbytes(base, padding, length)
void strfixbytes_fn(Call& c) { strfix_common(c, true, false); }
// strfixleft(base, padding, length)
void strfixleft_fn(Call& c) { strfix_common(c, false, true); }
// strfixcharsl(base, padding, length)
void strfixcharsl_fn(Call& c) { strfix_common(c, false, true); }
// strfixbytesl(base, padding, length)
void strfixbytesl_fn(Call& c) { strfix_common(c, true, true); }

template <class T>
int32_t index_impl(const T& t, typename T::View s, typename T::View sub, int64_t start, bool backward, bool nocase) {
    CharMap<T> m(t, s);
    int64_t len = static_cast<int64_t>(m.count());
    if (start == 0) start = backward ? len : 1;
    if (start <= 0 || start > len) return 0;
    if (sub.empty()) return static_cast<int32_t>(start);
    int64_t sub_len = static_cast<int64_t>(char_count(t, sub));
    auto match_at = [&](int64_t p) {
        size_t off = m.offset(static_cast<size_t>(p - 1));
        if (sub.size() > s.size() - off) return false;
        auto piece = s.substr(off, sub.size());
        return nocase ? equal_nocase(t, piece, sub) : piece == sub;
    };
    if (!backward) {
        for (int64_t p = start; p - 1 <= len - sub_len; ++p)
            if (match_at(p)) return static_cast<int32_t>(p);
        return 0;
    }
    for (int64_t p = start - sub_len + 1; p >= 1; --p)
        if (match_at(p)) return static_cast<int32_t>(p);
    return 0;
}

// strindex(string, sub, start, direction)
void strindex_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        ret_integer(c, index_impl(t, arg_text<T>(c, 1), arg_text<T>(c, 2), c.integer(3), c.integer(4) != 0, false));
    });
}

// strindexnc(string, sub, start, direction)
void strindexnc_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        ret_integer(c, index_impl(t, arg_text<T>(c, 1), arg_text<T>(c, 2), c.integer(3), c.integer(4) != 0, true));
    });
}

// Whether the character at unit offset i of s is one of the characters of `set`.
template <class T>
bool in_set(const T& t, typename T::View s, size_t i, typename T::View set, bool nocase) {
    size_t k = t.clen(s, i);
    auto ch = s.substr(i, k);
    for (size_t j = 0; j < set.size();) {
        size_t kk = t.clen(set, j);
        auto other = set.substr(j, kk);
        if (nocase ? equal_nocase(t, ch, other) : ch == other) return true;
        j += kk;
    }
    return false;
}

// strscan(string, delimiters, start, direction)
void strscan_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        auto s = arg_text<T>(c, 1);
        auto set = arg_text<T>(c, 2);
        int64_t start = c.integer(3);
        bool backward = c.integer(4) != 0;
        CharMap<T> m(t, s);
        int64_t len = static_cast<int64_t>(m.count());
        if (len == 0) return ret_integer(c, 0);
        if (start == 0) start = backward ? len : 1;
        if (start <= 0 || start > len) return ret_integer(c, 0);
        if (set.empty()) return ret_integer(c, static_cast<int32_t>(start));
        if (!backward) {
            for (int64_t p = start; p <= len; ++p)
                if (in_set(t, s, m.offset(static_cast<size_t>(p - 1)), set, false)) return ret_integer(c, static_cast<int32_t>(p));
        } else {
            for (int64_t p = start; p >= 1; --p)
                if (in_set(t, s, m.offset(static_cast<size_t>(p - 1)), set, false)) return ret_integer(c, static_cast<int32_t>(p));
        }
        ret_integer(c, 0);
    });
}

// strindexwild(string, pattern, start)
void strindexwild_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        auto s = arg_text<T>(c, 1);
        auto pat = arg_text<T>(c, 2);
        int64_t start = c.integer(3);
        if (start == 0) start = 1;
        CharMap<T> m(t, s);
        int64_t len = static_cast<int64_t>(m.count());
        if (len == 0) return ret_integer(c, 0);
        if (pat.empty()) return ret_integer(c, static_cast<int32_t>(start));
        if (start < 0 || start > len) return ret_integer(c, 0);
        int64_t need = static_cast<int64_t>(wild_min_units(pat));
        for (int64_t p = start; len - p + 1 >= need && p <= len; ++p)
            if (wild_match(t, s, m.offset(static_cast<size_t>(p - 1)), pat)) return ret_integer(c, static_cast<int32_t>(p));
        ret_integer(c, 0);
    });
}

// Units matched by the pattern at character `start`, 0 when none.
template <class T>
size_t wild_at(const T& t, typename T::View s, typename T::View pat, int64_t start, size_t& off) {
    if (start == 0) start = 1;
    CharMap<T> m(t, s);
    if (start < 0 || start > static_cast<int64_t>(m.count())) return 0;
    off = m.offset(static_cast<size_t>(start - 1));
    return wild_match(t, s, off, pat);
}

// strlenwild(string, pattern, start)
void strlenwild_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        size_t off = 0;
        ret_integer(c, static_cast<int32_t>(wild_at(t, arg_text<T>(c, 1), arg_text<T>(c, 2), c.integer(3), off)));
    });
}

// strsubwild(string, pattern, start)
void strsubwild_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto s = arg_text<T>(c, 1);
        size_t off = 0;
        size_t n = wild_at(t, s, arg_text<T>(c, 2), c.integer(3), off);
        ret_text<Ch>(c, n ? s.substr(off, n) : typename T::View());
    });
}

// StrCnt(string, sub, start, end, flags): positions are units; bit 0 of flags = exact case.
void strcnt_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        auto s = arg_text<T>(c, 1);
        auto sub = arg_text<T>(c, 2);
        if (s.empty() || sub.empty()) return ret_integer(c, 0);
        const int64_t n = static_cast<int64_t>(s.size());
        auto fix = [n](int64_t v) { return v == 0 ? 1 : v == -1 ? n : v; };
        int64_t start = fix(c.integer(3));
        int64_t end = fix(c.integer(4));
        if (start <= 0 || start > n) return void(c.fail(Err::StrCntBadStart));
        if (end <= 0 || end > n) return void(c.fail(Err::StrCntBadEnd));
        bool exact = (c.integer(5) & 1) != 0;
        int64_t lo = std::min(start, end), hi = std::max(start, end);
        int32_t count = 0;
        size_t i = static_cast<size_t>(lo - 1);
        while (static_cast<int64_t>(i) < hi && sub.size() <= s.size() - i) {
            auto piece = s.substr(i, sub.size());
            if (exact ? piece == sub : equal_nocase(t, piece, sub)) {
                ++count;
                i += sub.size();
            } else {
                i += t.clen(s, i);
            }
        }
        ret_integer(c, count);
    });
}

// strreplace(string, old, new)
void strreplace_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto s = arg_text<T>(c, 1);
        auto old = arg_text<T>(c, 2);
        auto rep = arg_text<T>(c, 3);
        if (s.empty() || old.empty()) return ret_text<Ch>(c, s);
        constexpr size_t npos = decltype(s)::npos;
        size_t hits = 0;
        for (size_t i = next_match(t, s, old, 0); i != npos; i = next_match(t, s, old, i + old.size())) ++hits;
        // len + hits * (new - old), without letting the product wrap.
        size_t total = s.size();
        if (rep.size() >= old.size()) {
            size_t grow = 0;
            if (!size_mul(hits, rep.size() - old.size(), grow) || !size_add(total, grow, total)) return void(c.fail(Err::OutOfStringMemory));
        } else {
            total -= hits * (old.size() - rep.size());
        }
        Ch* p = ret_buf<Ch>(c, total);
        if (!p) return;
        size_t from = 0;
        for (size_t i = next_match(t, s, old, 0); i != npos; i = next_match(t, s, old, from)) {
            p = std::copy(s.begin() + from, s.begin() + i, p);
            p = std::copy(rep.begin(), rep.end(), p);
            from = i + old.size();
        }
        std::copy(s.begin() + from, s.end(), p);
    });
}

// StrClean(source, characters, replacement, match-case, mode)
void strclean_fn(Call& c) {
    int32_t match_case = c.integer(4);
    int32_t mode = c.integer(5);
    if (match_case != 0 && match_case != 1) return void(c.fail(Err::StrCleanBadCaseFlag));
    if (mode != 1 && mode != 2) return void(c.fail(Err::StrCleanBadMode));
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto s = arg_text<T>(c, 1);
        auto set = arg_text<T>(c, 2);
        auto rep = arg_text<T>(c, 3);
        auto hit = [&](size_t i) { return in_set(t, s, i, set, match_case == 0) == (mode == 1); };
        size_t total = 0;
        for (size_t i = 0; i < s.size();) {
            size_t k = std::min(t.clen(s, i), s.size() - i);
            if (!size_add(total, hit(i) ? rep.size() : k, total)) return void(c.fail(Err::OutOfStringMemory));
            i += k;
        }
        Ch* p = ret_buf<Ch>(c, total);
        if (!p) return;
        for (size_t i = 0; i < s.size();) {
            size_t k = std::min(t.clen(s, i), s.size() - i);
            if (hit(i))
                p = std::copy(rep.begin(), rep.end(), p);
            else
                p = std::copy(s.begin() + i, s.begin() + i + k, p);
            i += k;
        }
    });
}

// The flags argument arrives as text: leading blanks, a sign and digits; anything else is 0.
int32_t parse_flags(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    size_t digits = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    auto v = static_cast<uint32_t>(interp::decimal_digits_value(s.substr(digits, i - digits)));
    return static_cast<int32_t>(neg ? 0u - v : v);
}

// strtrim(string [, flags]): bit 0 leading, bit 1 trailing blanks; neither bit means both.
void strtrim_fn(Call& c) {
    int32_t flags = c.has(2) ? parse_flags(c.str(2)) : 3;
    if ((flags & 3) == 0) flags = 3;
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto s = arg_text<T>(c, 1);
        auto blank = [](Ch ch) { return ch == Ch(' ') || ch == Ch('\t'); };
        size_t a = 0, b = s.size();
        while (a < b && blank(s[a])) ++a;
        if (a == b) return ret_text<Ch>(c, {});
        if (!(flags & 1)) a = 0;
        if (flags & 2)
            while (b > a && blank(s[b - 1])) --b;
        ret_text<Ch>(c, s.substr(a, b - a));
    });
}

void case_common(Call& c, bool upper) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        auto s = arg_text<T>(c, 1);
        Ch* p = ret_buf<Ch>(c, s.size());
        if (!p) return;
        for (size_t i = 0; i < s.size();) {
            size_t k = std::min(t.clen(s, i), s.size() - i);
            if (k == 1)
                p[i] = upper ? t.upper(s[i]) : t.lower(s[i]);
            else
                std::copy(s.begin() + i, s.begin() + i + k, p + i);
            i += k;
        }
    });
}

// strupper(string)
void strupper_fn(Call& c) { case_common(c, true); }
// strlower(string)
void strlower_fn(Call& c) { case_common(c, false); }

int32_t sign_of(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

void compare_common(Call& c, bool nocase) {
    if (c.wide_pref)
        ret_integer(c, sign_of(platform::compare_word_sort(c.wstr(1), c.wstr(2), nocase)));
    else
        ret_integer(c, sign_of(platform::compare_word_sort(c.str(1), c.str(2), nocase)));
}

// StrCmp(a, b)
void strcmp_fn(Call& c) { compare_common(c, false); }
// stricmp(a, b)
void stricmp_fn(Call& c) { compare_common(c, true); }

// StrInsert / StrOverlay: UTF-16 only; pad fills wherever base or new run out.
void insert_common(Call& c, bool overlay) {
    std::u16string_view base = c.wstr(1);
    std::u16string_view add = c.wstr(2);
    std::u16string_view pad = c.has(3) ? c.wstr(3) : u" ";
    if (pad.empty()) pad = u" ";
    int64_t start = c.opt_integer(4, 1);
    if (start == -1) start = static_cast<int64_t>(base.size()) + 1;
    if (start <= 0) return void(c.fail(Err::BadStart));
    int64_t length = c.has(5) ? c.integer(5) : static_cast<int64_t>(add.size());
    if (length < 0) return void(c.fail(Err::BadLength));
    size_t head = static_cast<size_t>(start - 1);
    size_t len = static_cast<size_t>(length);
    size_t after = head < base.size() ? head : base.size();  // where base continues
    if (overlay && head < base.size()) after = head + std::min(len, base.size() - head);
    size_t rest = base.size() - after;
    size_t total = head + len + rest;  // each term below 2^32: no wrap in 64 bits
    char16_t* p = ret_buf<char16_t>(c, total);
    if (!p) return;
    size_t have = std::min(head, base.size());
    p = std::copy(base.begin(), base.begin() + have, p);
    cycle_copy(p, pad, head - have);
    p += head - have;
    size_t take = std::min(len, add.size());
    p = std::copy(add.begin(), add.begin() + take, p);
    cycle_copy(p, pad, len - take);
    p += len - take;
    std::copy(base.begin() + after, base.end(), p);
}

// strinsert(base, new [, pad [, start [, length]]])
void strinsert_fn(Call& c) { insert_common(c, false); }
// stroverlay(base, new [, pad [, start [, length]]])
void stroverlay_fn(Call& c) { insert_common(c, true); }

// strtypeinfo(string, request): 0 AND, 1 OR of the character-type bits; -1 bits to words.
void strtypeinfo_fn(Call& c) {
    int32_t req = c.integer(2);
    // The platform flag is on, so the string arrives wide; classification is per byte of
    // the ANSI text, as the system's default-locale classification works.
    std::string s = c.is_wide(1) ? platform::from_wide(c.wstr(1), platform::ansi_code_page()) : std::string(c.str(1));
    if (req == 0 || req == 1) {
        uint32_t acc = 0;
        if (!s.empty()) acc = req == 0 ? 0xFFFFFFFFu : 0;
        for (unsigned char ch : s) {
            uint32_t bits = platform::char_type_bits(ch);
            acc = req == 0 ? (acc & bits) : (acc | bits);
        }
        return ret_text<char>(c, std::to_string(acc));
    }
    if (req != -1) return void(c.fail(Err::BadFlags));
    // The string must be an integer: blanks, one sign, digits, nothing after.
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == digits || i != s.size()) return void(c.fail(Err::BadValue));
    uint32_t bits = static_cast<uint32_t>(parse_flags(s));
    static constexpr const char* kWords[] = {"Upper ", "Lower ", "Digit ", "Space ", "Punct ",
                                             "Cntrl ", "Blank ", "HexDg ", "Alpha "};
    std::string out;
    for (int b = 0; b < 9; ++b)
        if (bits & (1u << b)) out += kWords[b];
    if (!out.empty()) out.pop_back();
    ret_text<char>(c, out);
}

// StrCat(string, ...): reads its own argument list, at most 1024 arguments.
void strcat_fn(Call& c) {
    Instance& inst = c.inst;
    std::vector<Value> args;
    auto release_all = [&] {
        for (auto& v : args) interp::release_value(inst, v);
    };
    bool any_wide = false;
    bool ok = read_arg_list(inst, Err::StrCatSyntax, [&](Value& v) {
        if (args.size() == kMaxStrCatArgs) {
            interp::release_value(inst, v);
            c.fail(Err::StrCatSyntax).info(interp::fill_message(Err::InfoTooManyArgs, static_cast<long long>(kMaxStrCatArgs)));
            return false;
        }
        if (v.flags & (kVtWide | kVtVariant)) any_wide = true;
        args.push_back(v);
        return true;
    });
    if (!ok) return release_all();
    if (any_wide) {
        std::u16string out;
        for (auto& v : args) {
            if (!interp::to_wide(inst, v)) {
                if (!inst.error()) c.fail(Err::NotAString);
                return release_all();
            }
            out += interp::value_wide(inst, v);
        }
        release_all();
        ret_text<char16_t>(c, out);
    } else {
        std::string out;
        for (auto& v : args) {
            if (!interp::to_str(inst, v)) {
                if (!inst.error()) c.fail(Err::NotAString);
                return release_all();
            }
            out += interp::heap_str(inst, v.str);
        }
        release_all();
        ret_text<char>(c, out);
    }
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kStrBuiltins[] = {
    {"strbytecount", strbytecount_fn},
    {"strcat", strcat_fn},
    {"strcharcount", strcharcount_fn},
    {"strclean", strclean_fn},
    {"strcmp", strcmp_fn},
    {"strcnt", strcnt_fn},
    {"strfill", strfill_fn},
    {"strfix", strfix_fn},
    {"strfixbytes", strfixbytes_fn},
    {"strfixbytesl", strfixbytesl_fn},
    {"strfixchars", strfixchars_fn},
    {"strfixcharsl", strfixcharsl_fn},
    {"strfixleft", strfixleft_fn},
    {"stricmp", stricmp_fn},
    {"strindex", strindex_fn},
    {"strindexnc", strindexnc_fn},
    {"strindexwild", strindexwild_fn},
    {"strinsert", strinsert_fn},
    {"strlen", strlen_fn},
    {"strlenwild", strlenwild_fn},
    {"strlower", strlower_fn},
    {"stroverlay", stroverlay_fn},
    {"strreplace", strreplace_fn},
    {"strscan", strscan_fn},
    {"strsub", strsub_fn},
    {"strsubwild", strsubwild_fn},
    {"strtrim", strtrim_fn},
    {"strtypeinfo", strtypeinfo_fn},
    {"strupper", strupper_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kStrBuiltins)
}  // namespace kel::lib
