// What the string, item and arithmetic families share: narrow/wide text traits (what a
// character is, case mapping), the wildcard matcher, and result buffers sized up front.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "interp/data/heap.h"
#include "interp/base/instance.h"
#include "interp/base/keywords.h"
#include "interp/api/services.h"
#include "interp/api/builtin.h"
#include "platform/text.h"

namespace kel::lib {

// The instance code page; 0 (never set) means the system's ANSI code page.
inline uint32_t instance_code_page(const Instance& inst) {
    return inst.code_page ? inst.code_page : platform::ansi_code_page();
}

// Narrow text in the instance code page: a character is one byte, or two when the first
// is a lead byte of a double-byte code page.
struct NarrowText {
    using Ch = char;
    using View = std::string_view;
    using Str = std::string;
    uint32_t cp = 1252;
    bool dbcs = false;
    explicit NarrowText(const Instance& inst) : cp(instance_code_page(inst)), dbcs(platform::is_dbcs_code_page(cp)) {}
    NarrowText(uint32_t code_page, bool double_byte) : cp(code_page), dbcs(double_byte) {}
    size_t clen(View s, size_t i) const {
        if (dbcs && i + 1 < s.size() && platform::is_lead_byte(static_cast<uint8_t>(s[i]), cp)) return 2;
        return 1;
    }
    static Ch upper(Ch c) { return static_cast<Ch>(platform::to_upper(static_cast<uint8_t>(c))); }
    static Ch lower(Ch c) { return static_cast<Ch>(platform::to_lower(static_cast<uint8_t>(c))); }
};

// UTF-16 text: a character is one unit.
struct WideText {
    using Ch = char16_t;
    using View = std::u16string_view;
    using Str = std::u16string;
    static constexpr bool dbcs = false;
    explicit WideText(const Instance&) {}
    WideText() = default;
    static size_t clen(View, size_t) { return 1; }
    static Ch upper(Ch c) { return platform::to_upper_w(c); }
    static Ch lower(Ch c) { return platform::to_lower_w(c); }
};

// The first match of `pat` (not empty) at a character start at or after `i`, or npos.
// Without double-byte characters every unit starts one, and the library search does.
template <class T>
size_t next_match(const T& t, typename T::View s, typename T::View pat, size_t i) {
    if (!t.dbcs) return s.find(pat, i);
    while (i < s.size()) {
        if (pat.size() <= s.size() - i && s.compare(i, pat.size(), pat) == 0) return i;
        i += t.clen(s, i);
    }
    return T::View::npos;
}

// Case-insensitive equality of two runs of equal length; the trail byte of a double-byte
// character is compared exactly, never case-mapped.
template <class T>
bool equal_nocase(const T& t, typename T::View a, typename T::View b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size();) {
        size_t k = t.clen(a, i);
        if (k == 1) {
            if (t.upper(a[i]) != t.upper(b[i])) return false;
        } else if (a.substr(i, k) != b.substr(i, k)) {
            return false;
        }
        i += k;
    }
    return true;
}

// Unit offsets of the characters of `s`: offset(k) is where character k (0-based) starts,
// offset(count()) == s.size(). Free for single-byte and wide text.
template <class T>
class CharMap {
public:
    CharMap(const T& t, typename T::View s) : size_(s.size()) {
        if constexpr (std::is_same_v<T, NarrowText>) {
            if (t.dbcs) {
                mapped_ = true;
                for (size_t i = 0; i < s.size(); i += t.clen(s, i)) starts_.push_back(i);
            }
        }
    }
    size_t count() const { return mapped_ ? starts_.size() : size_; }
    size_t offset(size_t k) const {
        if (!mapped_) return k < size_ ? k : size_;
        return k < starts_.size() ? starts_[k] : size_;
    }
    // Character number (0-based) holding unit offset u.
    size_t index_of(size_t u) const {
        if (!mapped_) return u;
        size_t lo = 0, hi = starts_.size();
        while (hi - lo > 1) {
            size_t mid = (lo + hi) / 2;
            if (starts_[mid] <= u)
                lo = mid;
            else
                hi = mid;
        }
        return lo;
    }

private:
    size_t size_;
    bool mapped_ = false;
    std::vector<size_t> starts_;
};

// Wildcard match of `pat` at unit offset `pos` of `s`: the number of units matched, 0 for
// no match. "*" is any run, "?" one character, other runs match case-insensitively. After a
// "*" the next literal run is taken at its first occurrence and never retried later, so a
// match costs one pass. A pattern that ends while a "*" is pending takes the rest.
template <class T>
size_t wild_match(const T& t, typename T::View s, size_t pos, typename T::View pat) {
    using Ch = typename T::Ch;
    const size_t n = s.size();
    if (pos >= n || pat.empty()) return 0;
    size_t i = pos, p = 0;
    bool star = false;
    while (p < pat.size()) {
        Ch pc = pat[p];
        if (pc == Ch('*')) {
            star = true;
            ++p;
            continue;
        }
        if (i >= n) return 0;  // the string ended before the pattern's non-"*" part
        if (pc == Ch('?')) {
            i += t.clen(s, i);
            ++p;
            continue;
        }
        size_t q = p;
        while (q < pat.size() && pat[q] != Ch('*') && pat[q] != Ch('?')) ++q;
        auto run = pat.substr(p, q - p);
        if (star) {
            size_t j = i;
            bool found = false;
            while (run.size() <= n - j) {
                if (equal_nocase(t, s.substr(j, run.size()), run)) {
                    found = true;
                    break;
                }
                j += t.clen(s, j);
                if (j > n) break;
            }
            if (!found) return 0;
            i = j + run.size();
            star = false;
        } else {
            if (run.size() > n - i || !equal_nocase(t, s.substr(i, run.size()), run)) return 0;
            i += run.size();
        }
        p = q;
    }
    if (star) i = n;
    return i > n ? n - pos : i - pos;
}

// The number of units of `pat` that must be matched by something other than "*".
template <class V>
size_t wild_min_units(V pat) {
    size_t k = 0;
    for (auto ch : pat)
        if (ch != '*') ++k;
    return k;
}

// Sizes: every result length is computed in size_t with overflow checks; a result that
// cannot fit the string heap's reservation is refused before anything is allocated.
inline bool size_mul(size_t a, size_t b, size_t& out) { return !__builtin_mul_overflow(a, b, &out); }
inline bool size_add(size_t a, size_t b, size_t& out) { return !__builtin_add_overflow(a, b, &out); }

// A result buffer of n units (plus the terminator) installed in the result slot, or
// nullptr with 3096 raised.
template <class Ch>
Ch* ret_buf(Call& c, size_t n) {
    Instance& inst = c.inst;
    size_t bytes = 0;
    if (!size_add(n, 1, bytes) || !size_mul(bytes, sizeof(Ch), bytes) || bytes >= inst.heap.reserved) {
        c.fail(Err::OutOfStringMemory);
        return nullptr;
    }
    interp::HeapOff off = interp::heap_alloc(inst, bytes);
    if (!off) {
        c.fail(Err::OutOfStringMemory);
        return nullptr;
    }
    Value& r = c.result();
    interp::release_value(inst, r);
    Ch* p = reinterpret_cast<Ch*>(interp::heap_ptr(inst, off));
    p[n] = Ch(0);
    if constexpr (sizeof(Ch) == 1) {
        r.str = off;
        r.flags = kVtStr;
    } else {
        r.wstr = off;
        r.flags = kVtWide;
    }
    return p;
}

template <class Ch>
void ret_text(Call& c, std::basic_string_view<Ch> s) {
    Ch* p = ret_buf<Ch>(c, s.size());
    if (p && !s.empty()) std::memcpy(p, s.data(), s.size() * sizeof(Ch));
}

inline void ret_integer(Call& c, int32_t v) {
    Value& r = c.result();
    interp::release_value(c.inst, r);
    r.i = v;
    r.flags = kVtInt;
}

inline void ret_double(Call& c, double v) {
    Value& r = c.result();
    interp::release_value(c.inst, r);
    r.f = v;
    r.flags = kVtFloat;
}

// Argument n in the width the router converted it to.
template <class T>
typename T::View arg_text(Call& c, int n) {
    if constexpr (std::is_same_v<T, NarrowText>)
        return c.str(n);
    else
        return c.wstr(n);
}

// Runs fn.template operator()<NarrowText or WideText>() by the call's width.
template <class Fn>
void by_width(Call& c, bool wide, Fn&& fn) {
    if (wide)
        fn(WideText(c.inst));
    else
        fn(NarrowText(c.inst));
}

// Walks the items of a list one at a time, so that even a huge list costs no memory: an
// item ends at the delimiter found at a character start (next_match).
template <class T>
class Items {
public:
    using View = typename T::View;
    Items(const T& t, View list, View delim) : t_(t), s_(list), d_(delim) {}
    // The next item as [begin, end) unit offsets; false after the last.
    bool next(size_t& b, size_t& e) {
        if (done_ || s_.empty()) return false;
        b = pos_;
        size_t i = next_match(t_, s_, d_, pos_);
        if (i != View::npos) {
            e = i;
            pos_ = i + d_.size();
            return true;
        }
        e = s_.size();
        done_ = true;
        return true;
    }

private:
    const T& t_;
    View s_, d_;
    size_t pos_ = 0;
    bool done_ = false;
};

// A delimiter of the item rules: exactly one character, a double-byte character counting
// as one (which then matches only as both its bytes, at a character start).
template <class T>
bool one_character(const T& t, typename T::View d) {
    return !d.empty() && t.clen(d, 0) == d.size();
}

// The delimiter argument n: empty means tab; more than one character fails with 1705.
template <class T>
bool delimiter_arg(Call& c, const T& t, int n, typename T::View& d) {
    using Ch = typename T::Ch;
    static constexpr Ch kTab[] = {Ch('\t'), Ch(0)};
    d = arg_text<T>(c, n);
    if (d.empty()) {
        d = typename T::View(kTab, 1);
        return true;
    }
    if (!one_character(t, d)) {
        c.fail(Err::DelimiterNotSingle);
        return false;
    }
    return true;
}

// The argument list of a function that reads its own ("(" current on entry, ")" current
// on return): each argument is evaluated and handed to on_arg, which owns it from then on
// and returns false to stop (having raised its error). A token other than "," or ")"
// after an argument raises `syntax_err`. False when an error was raised.
template <class OnArg>
bool read_arg_list(Instance& inst, Err syntax_err, OnArg&& on_arg) {
    using Fn = std::remove_reference_t<OnArg>;
    return interp::read_own_arg_list(
        inst, syntax_err, [](void* ctx, Value& v) { return (*static_cast<Fn*>(ctx))(v); }, &on_arg);
}

}  // namespace kel::lib
