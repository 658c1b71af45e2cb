// Item lists: strings whose items are separated by a one-character delimiter, and the two
// CSV-line functions (the scanner itself is lib/csv.h, shared with the array readers).
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "interp/api/builtin.h"
#include "lib/csv.h"
#include "lib/strutil.h"
#include "platform/text.h"

namespace kel::lib {
namespace {

template <class T>
int64_t item_count(const T& t, typename T::View list, typename T::View delim) {
    Items<T> it(t, list, delim);
    int64_t n = 0;
    size_t b, e;
    while (it.next(b, e)) ++n;
    return n;
}

// Span of item `index` (1-based); false when out of range.
template <class T>
bool item_span(const T& t, typename T::View list, typename T::View delim, int64_t index, size_t& b, size_t& e) {
    if (index < 1) return false;
    Items<T> it(t, list, delim);
    for (int64_t k = 1; it.next(b, e); ++k)
        if (k == index) return true;
    return false;
}

// Concatenates up to five pieces into the result, sized once.
template <class Ch>
void ret_join(Call& c, std::initializer_list<std::basic_string_view<Ch>> parts) {
    size_t total = 0;
    for (auto p : parts)
        if (!size_add(total, p.size(), total)) return void(c.fail(Err::OutOfStringMemory));
    Ch* out = ret_buf<Ch>(c, total);
    if (!out) return;
    for (auto p : parts) out = std::copy(p.begin(), p.end(), out);
}

// ItemCount(list, delimiter)
void itemcount_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        typename T::View d;
        if (!delimiter_arg(c, t, 2, d)) return;
        ret_integer(c, static_cast<int32_t>(item_count(t, arg_text<T>(c, 1), d)));
    });
}

// ItemExtract(index, list, delimiter)
void itemextract_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        typename T::View d;
        if (!delimiter_arg(c, t, 3, d)) return;
        auto list = arg_text<T>(c, 2);
        int64_t index = c.integer(1);
        if (index == -1) index = item_count(t, list, d);
        size_t b = 0, e = 0;
        if (!item_span(t, list, d, index, b, e)) return ret_text<Ch>(c, {});
        ret_text<Ch>(c, list.substr(b, e - b));
    });
}

// iteminsert(item, index, list, delimiter): the item becomes item index + 1.
void iteminsert_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        using View = typename T::View;
        typename T::View d;
        if (!delimiter_arg(c, t, 4, d)) return;
        View item = arg_text<T>(c, 1);
        View list = arg_text<T>(c, 3);
        int64_t index = c.integer(2);
        if (list.empty()) return ret_text<Ch>(c, item);
        int64_t count = item_count(t, list, d);
        if (index == -1 || index >= count) {
            // A list that ends with a delimiter keeps its empty last item last.
            bool trailing = list.size() >= d.size() && list.substr(list.size() - d.size()) == d;
            if (trailing) return ret_join<Ch>(c, {list, item, d});
            return ret_join<Ch>(c, {list, d, item});
        }
        if (index <= 0) return ret_join<Ch>(c, {item, d, list});
        size_t b = 0, e = 0;
        item_span(t, list, d, index, b, e);
        ret_join<Ch>(c, {list.substr(0, e), d, item, list.substr(e)});
    });
}

// itemremove(index, list, delimiter)
void itemremove_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        typename T::View d;
        if (!delimiter_arg(c, t, 3, d)) return;
        auto list = arg_text<T>(c, 2);
        int64_t count = item_count(t, list, d);
        int64_t index = c.integer(1);
        if (index == -1) index = count;
        size_t b = 0, e = 0;
        if (!item_span(t, list, d, index, b, e)) return ret_text<Ch>(c, list);
        if (index < count) return ret_join<Ch>(c, {list.substr(0, b), list.substr(e + d.size())});
        if (count == 1) return ret_text<Ch>(c, {});
        ret_join<Ch>(c, {list.substr(0, b - d.size()), list.substr(e)});
    });
}

// itemreplace(item, index, list, delimiter)
void itemreplace_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        typename T::View d;
        if (!delimiter_arg(c, t, 4, d)) return;
        auto item = arg_text<T>(c, 1);
        auto list = arg_text<T>(c, 3);
        int64_t index = c.integer(2);
        if (index == -1) index = item_count(t, list, d);
        size_t b = 0, e = 0;
        if (!item_span(t, list, d, index, b, e)) return ret_text<Ch>(c, list);
        ret_join<Ch>(c, {list.substr(0, b), item, list.substr(e)});
    });
}

// itemlocate(item, list, delimiter)
void itemlocate_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        typename T::View d;
        if (!delimiter_arg(c, t, 3, d)) return;
        auto item = arg_text<T>(c, 1);
        auto list = arg_text<T>(c, 2);
        Items<T> it(t, list, d);
        size_t b, e;
        for (int32_t k = 1; it.next(b, e); ++k)
            if (list.substr(b, e - b) == item) return ret_integer(c, k);
        ret_integer(c, 0);
    });
}

// itemlocatewild(pattern, list, delimiter, start)
void itemlocatewild_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        typename T::View d;
        if (!delimiter_arg(c, t, 3, d)) return;
        auto pat = arg_text<T>(c, 1);
        auto list = arg_text<T>(c, 2);
        int64_t start = c.integer(4);
        if (list.empty() || start <= 0) return ret_integer(c, 0);
        bool only_stars = wild_min_units(pat) == 0;  // "", "*", "**" ...
        Items<T> it(t, list, d);
        size_t b, e;
        for (int32_t k = 1; it.next(b, e); ++k) {
            if (k < start) continue;
            auto item = list.substr(b, e - b);
            bool hit = item.empty() ? (pat.empty() || only_stars) : wild_match(t, item, 0, pat) == item.size();
            if (hit) return ret_integer(c, k);
        }
        ret_integer(c, 0);
    });
}

// The sort of itemsort / itemsortnc: non-empty items in order, equal items in their
// original order (a stable sort gives exactly the selection sort's result), then the
// empty items restored in front as leading delimiters, so the length never changes.
template <class T, class Less>
void sort_items(Call& c, const T& t, typename T::View list, typename T::View d, Less less) {
    using Ch = typename T::Ch;
    using View = typename T::View;
    std::vector<View> items;
    size_t empties = 0;
    Items<T> it(t, list, d);
    size_t b, e;
    while (it.next(b, e)) {
        if (e == b)
            ++empties;
        else
            items.push_back(list.substr(b, e - b));
    }
    std::stable_sort(items.begin(), items.end(), less);
    Ch* p = ret_buf<Ch>(c, list.size());
    if (!p) return;
    size_t leading = items.empty() && empties ? empties - 1 : empties;
    for (size_t k = 0; k < leading; ++k) p = std::copy(d.begin(), d.end(), p);
    for (size_t k = 0; k < items.size(); ++k) {
        if (k) p = std::copy(d.begin(), d.end(), p);
        p = std::copy(items[k].begin(), items[k].end(), p);
    }
}

// itemsort(list, delimiter): locale-aware, case-sensitive.
void itemsort_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using View = typename T::View;
        typename T::View d;
        if (!delimiter_arg(c, t, 2, d)) return;
        sort_items(c, t, arg_text<T>(c, 1), d,
                   [](View a, View b) { return platform::compare_word_sort(a, b, false) < 0; });
    });
}

// itemsortnc(list, delimiter): case-insensitive, ties broken case-sensitively.
void itemsortnc_fn(Call& c) {
    NarrowText t(c.inst);
    std::string_view d;
    if (!delimiter_arg(c, t, 2, d)) return;
    sort_items(c, t, c.str(1), d, [](std::string_view a, std::string_view b) {
        int r = platform::compare_word_sort(a, b, true);
        if (r == 0) r = platform::compare_word_sort(a, b, false);
        return r < 0;
    });
}

// The CSV delimiter argument: "," when omitted, else exactly one usable character.
template <class T>
bool csv_delim(Call& c, int n, typename T::Ch& out) {
    if (!c.has(n)) {
        out = typename T::Ch(',');
        return true;
    }
    auto d = arg_text<T>(c, n);
    if (!csv_delimiter_ok(d)) return false;
    out = d[0];
    return true;
}

// ItemCountCsv(line, flags [, delimiter])
void itemcountcsv_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        typename T::Ch d;
        if (!csv_delim<T>(c, 3, d)) return void(c.fail(Err::CountCsvBadDelimiter));
        int64_t n = csv_count(arg_text<T>(c, 1), d);
        if (n < 0) return void(c.fail(Err::CountCsvBadLine));
        ret_integer(c, static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX)));
    });
}

// ItemExtractCsv(index, line, flags [, delimiter]): flags bit 0 keeps the blanks.
void itemextractcsv_fn(Call& c) {
    by_width(c, c.wide_pref, [&](auto t) {
        using T = decltype(t);
        using Ch = typename T::Ch;
        typename T::Ch d;
        if (!csv_delim<T>(c, 4, d)) return void(c.fail(Err::ExtractCsvBadDelimiter));
        typename T::Str field;
        if (!csv_field(arg_text<T>(c, 2), d, c.integer(1), (c.integer(3) & 1) != 0, field)) return void(c.fail(Err::ExtractCsvBadLine));
        ret_text<Ch>(c, field);
    });
}

// Every builtin in this file; each name has a row in keywords.inc.
constexpr Builtin kItemBuiltins[] = {
    {"itemcount", itemcount_fn},
    {"itemcountcsv", itemcountcsv_fn},
    {"itemextract", itemextract_fn},
    {"itemextractcsv", itemextractcsv_fn},
    {"iteminsert", iteminsert_fn},
    {"itemlocate", itemlocate_fn},
    {"itemlocatewild", itemlocatewild_fn},
    {"itemremove", itemremove_fn},
    {"itemreplace", itemreplace_fn},
    {"itemsort", itemsort_fn},
    {"itemsortnc", itemsortnc_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kItemBuiltins)
}  // namespace kel::lib
