// The array functions: creation and inspection, file and CSV reading and writing, string
// conversions, reshaping, sorting and searching. The block model is interp/data/array.h.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "interp/data/array.h"
#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/base/keywords.h"
#include "interp/api/builtin.h"
#include "interp/base/messages.h"
#include "lib/csv.h"
#include "lib/strutil.h"
#include "platform/text.h"

namespace kel::lib {

using interp::ArrayHeader;
using interp::kMaxDims;
using interp::ValueCore;

namespace {

constexpr int32_t kSortDescending = 16;
constexpr int32_t kSortLogical = 4;
constexpr int32_t kSortString = 8;
constexpr int32_t kSearchBinary = 1;
constexpr int32_t kSearchNoCase = 2;

ValueCore* elements_of(const Call& c, int n) { return interp::array_elements(const_cast<Call&>(c).arg(n).str); }

// Stores a narrow string into an element that is known to be uninitialised.
bool put_text(Instance& inst, ValueCore& e, std::string_view s) {
    interp::HeapOff off = interp::heap_strdup_or_fail(inst, s);
    if (!off) return false;
    e.flags = kVtStr;
    e.str = off;
    return true;
}

// A new one-dimensional array of narrow strings in the result slot.
void ret_string_array(Call& c, const std::vector<std::string>& items) {
    if (items.size() > static_cast<size_t>(INT32_MAX)) {
        c.fail(Err::ArrayTooLarge);
        return;
    }
    const int32_t dims[kMaxDims] = {static_cast<int32_t>(items.size()), 0, 0, 0, 0};
    ValueCore arr;
    if (interp::array_create(c.inst, arr, dims, 0, 1) < 0) return;
    ValueCore* e = interp::array_elements(arr.str);
    for (size_t i = 0; i < items.size(); ++i)
        if (!put_text(c.inst, e[i], items[i])) {
            interp::array_release(c.inst, arr.str);
            return;
        }
    interp::release_value(c.inst, c.result());
    static_cast<ValueCore&>(c.result()) = arr;
}

// The narrow form of a string argument the router may have left wide (codes 6 and 8).
std::string narrow_arg(Call& c, int n) {
    if (c.arg(n).flags & kVtStr) return std::string(c.str(n));
    return interp::wide_to_ansi(c.wstr(n), c.inst.code_page);
}

std::u16string wide_text_of(Instance& inst, const ValueCore& v, bool* ok) {
    *ok = true;
    if (v.flags & kVtWide) return std::u16string(interp::value_wide(inst, v));
    std::string s;
    if (!interp::value_text(inst, v, &s)) {
        *ok = false;
        return {};
    }
    return interp::ansi_to_wide(s);
}

// Three-way comparison under a sort or search option; -2 after raising an error.
int compare_under(Instance& inst, const ValueCore& x, const ValueCore& y, int32_t mode, bool nocase) {
    if (mode & (kSortLogical | kSortString)) {
        bool okx, oky;
        std::u16string a = wide_text_of(inst, x, &okx), b = wide_text_of(inst, y, &oky);
        if (!okx || !oky) {
            if (!inst.error()) inst.fail(Err::NotAString);
            return -2;
        }
        if (mode & kSortLogical) return platform::compare_logical(a, b);
        int c = a.compare(b);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    Value a = interp::empty_value(), b = interp::empty_value();
    static_cast<ValueCore&>(a) = x;
    static_cast<ValueCore&>(b) = y;
    int gt = interp::compare_values(inst, a, b, interp::Kw::Greater, nocase);
    if (gt < 0) return -2;
    if (gt) return 1;
    int lt = interp::compare_values(inst, a, b, interp::Kw::Less, nocase);
    if (lt < 0) return -2;
    return lt ? -1 : 0;
}

bool values_equal(Instance& inst, const ValueCore& x, const ValueCore& y, bool nocase) {
    Value a = interp::empty_value(), b = interp::empty_value();
    static_cast<ValueCore&>(a) = x;
    static_cast<ValueCore&>(b) = y;
    return interp::compare_values(inst, a, b, interp::Kw::Equal, nocase) == 1;
}

// The rows that arraysort and arraysearch work on, from their column, start and end
// arguments (at `first`, first + 1, first + 2).
struct RowRange {
    int32_t cols, column, start, end;
};

bool row_range(Call& c, const ArrayHeader* h, int first, Err column_error, Err range_error, RowRange* rr) {
    if (h->dim_count == 0 || h->count == 0) {
        c.fail(Err::ArrayEmpty);
        return false;
    }
    if (h->dim_count > 2) {
        c.fail(Err::BadDimensionCount);
        return false;
    }
    int32_t rows = h->dims[0];
    rr->cols = h->dim_count == 2 ? h->dims[1] : 1;
    rr->column = std::max(0, c.opt_integer(first, 0));
    if (rr->column >= rr->cols) {
        c.fail(column_error);
        return false;
    }
    rr->start = c.opt_integer(first + 1, 0);
    rr->end = c.opt_integer(first + 2, rows - 1);
    if (rr->start < 0 || rr->end >= rows || rr->start > rr->end) {
        c.fail(range_error);
        return false;
    }
    return true;
}

// Parses a flags argument passed as text (arraysort's flags are a string parameter).
bool flags_of(Call& c, int n, int32_t* out) {
    *out = 0;
    if (!c.has(n)) return true;
    Value& v = c.arg(n);
    if (v.flags & kVtInt) {
        *out = v.i;
        return true;
    }
    return interp::parse_int_string(c.str(n), out);
}

}  // namespace

// arrdimension(d1 [, d2 ... d5])
static void arrdimension_fn(Call& c) {
    int32_t dims[kMaxDims] = {};
    for (int i = 0; i < kMaxDims; ++i) dims[i] = c.opt_integer(i + 1, 0);
    ValueCore arr;
    if (interp::array_create(c.inst, arr, dims, 0, c.argc()) < 0) return;
    interp::release_value(c.inst, c.result());
    static_cast<ValueCore&>(c.result()) = arr;
}

// arrinfo(array, request)
static void arrinfo_fn(Call& c) {
    int32_t req = c.integer(2);
    ArrayHeader* h = (c.arg(1).flags & kVtArray) ? interp::array_header(c.arg(1).str) : nullptr;
    if (req == -1) return c.ret_int(h ? 1 : 0);
    if (!h) {
        c.fail(Err::NotAnArray);
        return;
    }
    switch (req) {
        case 0: return c.ret_int(h->dim_count);
        case 1: case 2: case 3: case 4: case 5: return c.ret_int(h->dims[req - 1]);
        case 6: return c.ret_int(h->count);
        case -3: return c.ret_int((h->flags & interp::kArrIsMap) ? 1 : 0);
        case -2: return c.ret_int(0);
        default: c.fail(Err::ArrInfoBadRequest);
    }
}

// arrinitialize(array, value)
static void arrinitialize_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    const ValueCore& v = c.arg(2);
    if ((v.flags & (kVtArray | kVtVariant)) || !(v.flags & (kVtInt | kVtFloat | kVtStr | kVtWide))) {
        c.fail(Err::ArrInitBadValue);
        return;
    }
    if (h->count == 0) {
        c.fail(Err::ArrayEmpty);
        return;
    }
    ValueCore init;
    std::memset(&init, 0, sizeof init);
    // Only the value's primary form is stored: a wide string stays wide, a number stays a
    // number without a stale text form.
    if (v.flags & kVtStr) { init.flags = kVtStr; init.str = v.str; }
    else if (v.flags & kVtWide) { init.flags = kVtWide; init.wstr = v.wstr; }
    else if (v.flags & kVtFloat) { init.flags = kVtFloat; init.f = v.f; }
    else { init.flags = v.flags & (kVtInt | kVtBinBuf); init.i = v.i; }
    for (int32_t i = 0; i < h->count; ++i)
        if (!interp::array_store(c.inst, c.arg(1).str, i, init)) return;
    c.ret_int(1);
}

// arrayfileget(file [, null-char [, extra]])
static void arrayfileget_fn(Call& c) {
    std::string_view nul = c.opt_str(2, "");
    if (nul.size() > 1) {
        c.fail(Err::BadNullChar);
        return;
    }
    std::vector<std::string> lines;
    if (!interp::read_file_lines(c.inst, c.str(1), false, nul, &lines)) return;
    int32_t extra = c.opt_integer(3, 0);
    if (extra > 0) lines.resize(lines.size() + static_cast<size_t>(extra));
    size_t real = lines.size() - static_cast<size_t>(extra > 0 ? extra : 0);
    if (lines.size() > static_cast<size_t>(INT32_MAX)) {
        c.fail(Err::ArrayTooLarge);
        return;
    }
    const int32_t dims[kMaxDims] = {static_cast<int32_t>(lines.size()), 0, 0, 0, 0};
    ValueCore arr;
    if (interp::array_create(c.inst, arr, dims, 0, 1) < 0) return;
    ValueCore* e = interp::array_elements(arr.str);
    for (size_t i = 0; i < real; ++i)
        if (!put_text(c.inst, e[i], lines[i])) {
            interp::array_release(c.inst, arr.str);
            return;
        }
    interp::release_value(c.inst, c.result());
    static_cast<ValueCore&>(c.result()) = arr;
}

// arrayfilegetcsv(file, flags [, delimiter [, extra-rows [, extra-columns]]])
static void arrayfilegetcsv_fn(Call& c) {
    std::string_view delim = c.opt_str(3, ",");
    if (delim.empty()) delim = ",";
    if (!csv_delimiter_ok(delim)) {
        c.fail(Err::BadDelimiter);
        return;
    }
    bool keep_blanks = (c.integer(2) & 1) != 0;
    std::vector<std::string> lines;
    if (!interp::read_file_lines(c.inst, c.str(1), true, "", &lines)) return;
    int64_t widest = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        int64_t n = csv_count<char>(lines[i], delim[0]);
        if (n < 0) {
            c.fail(Err::BadCsvLines).info(interp::fill_message(Err::InfoBadDataLine, static_cast<long long>(i + 1)));
            return;
        }
        widest = std::max(widest, n);
    }
    int64_t rows = static_cast<int64_t>(lines.size()), cols = widest;
    int32_t extra_rows = c.opt_integer(4, 0), extra_cols = c.opt_integer(5, 0);
    if (extra_rows > 0) rows += extra_rows;
    if (extra_cols > 0) cols += extra_cols;
    if (rows > INT32_MAX || cols > INT32_MAX) {
        c.fail(Err::ArrayTooLarge);
        return;
    }
    int32_t dims[kMaxDims] = {static_cast<int32_t>(rows), static_cast<int32_t>(cols), 0, 0, 0};
    if (rows == 0) dims[1] = 0;
    ValueCore arr;
    if (interp::array_create(c.inst, arr, dims, 0, 2) < 0) return;
    ValueCore* e = interp::array_elements(arr.str);
    for (size_t r = 0; e && cols > 0 && r < lines.size(); ++r) {
        ValueCore* row = e + static_cast<int64_t>(r) * cols;
        bool ok = true;
        int64_t got = csv_scan<char>(lines[r], delim[0], keep_blanks, [&](int64_t k, std::string_view t) {
            ok = put_text(c.inst, row[k - 1], t);
            return ok;
        });
        for (int64_t k = std::max<int64_t>(got, 0); ok && k < widest; ++k) ok = put_text(c.inst, row[k], "");
        if (!ok) {
            interp::array_release(c.inst, arr.str);
            return;
        }
    }
    interp::release_value(c.inst, c.result());
    static_cast<ValueCore&>(c.result()) = arr;
}

// arrayfileput(file, array [, write-undefined])
static void arrayfileput_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(2));
    if (!h) return;
    if (h->dim_count > 1) {
        c.fail(Err::BadDimensionCount);
        return;
    }
    bool write_undef = c.opt_integer(3, 0) != 0;
    std::string_view term = interp::line_terminator(c.inst);
    std::string out, text;
    ValueCore* e = elements_of(c, 2);
    for (int32_t i = 0; e && i < h->count; ++i) {
        if (e[i].flags == 0) {
            if (write_undef) out.append(term);
            continue;
        }
        if (!interp::value_text(c.inst, e[i], &text)) {
            if (!c.failed()) c.fail(Err::NotAString);
            return;
        }
        out.append(text).append(term);
    }
    if (!interp::write_file_replacing(c.inst, c.str(1), out)) return;
    c.ret_int(static_cast<int32_t>(std::min<size_t>(out.size(), INT32_MAX)));
}

// arrayfileputcsv(file, array [, delimiter [, write-undefined [, quote-all]]])
static void arrayfileputcsv_fn(Call& c) {
    std::string_view delim = c.opt_str(3, ",");
    if (delim.empty()) delim = ",";
    if (!csv_delimiter_ok(delim)) {
        c.fail(Err::BadDelimiter);
        return;
    }
    ArrayHeader* h = interp::array_of(c.inst, c.arg(2));
    if (!h) return;
    if (h->dim_count != 0 && h->dim_count != 2) {
        c.fail(Err::BadDimensionCount);
        return;
    }
    bool write_undef = c.opt_integer(4, 0) != 0, quote_all = c.opt_integer(5, 0) != 0;
    std::string_view term = interp::line_terminator(c.inst);
    std::string out, text;
    ValueCore* e = elements_of(c, 2);
    int32_t rows = h->dim_count ? h->dims[0] : 0, cols = h->dim_count ? h->dims[1] : 0;
    for (int32_t r = 0; e && r < rows; ++r) {
        ValueCore* row = e + static_cast<int64_t>(r) * cols;
        bool any = false;
        for (int32_t k = 0; k < cols && !any; ++k) any = row[k].flags != 0;
        if (!any && !write_undef) continue;
        for (int32_t k = 0; k < cols; ++k) {
            if (k) out.append(delim);
            text.clear();
            if (row[k].flags != 0 && !interp::value_text(c.inst, row[k], &text)) {
                if (!c.failed()) c.fail(Err::NotAString);
                return;
            }
            if (!quote_all) {
                out.append(text);
                continue;
            }
            out.push_back('"');
            for (char ch : text) {
                if (ch == '"') out.push_back('"');
                out.push_back(ch);
            }
            out.push_back('"');
        }
        out.append(term);
    }
    if (!interp::write_file_replacing(c.inst, c.str(1), out)) return;
    c.ret_int(static_cast<int32_t>(std::min<size_t>(out.size(), INT32_MAX)));
}

// arrayfromstr(string): one element per character of the instance code page.
static void arrayfromstr_fn(Call& c) {
    NarrowText t(c.inst);
    std::string s = narrow_arg(c, 1);
    std::vector<std::string> chars;
    for (size_t i = 0; i < s.size();) {
        size_t k = t.clen(s, i);
        chars.emplace_back(s.substr(i, k));
        i += k;
    }
    ret_string_array(c, chars);
}

// arrayize(list, delimiter): one element per item, by the item rules.
static void arrayize_fn(Call& c) {
    NarrowText t(c.inst);
    std::string list = narrow_arg(c, 1), delim_arg = narrow_arg(c, 2);
    std::string_view d = delim_arg.empty() ? std::string_view("\t") : std::string_view(delim_arg);
    if (!one_character(t, d)) {
        c.fail(Err::DelimiterNotSingle);
        return;
    }
    std::vector<std::string> items;
    Items<NarrowText> it(t, list, d);
    size_t b, e;
    while (it.next(b, e)) items.emplace_back(list.substr(b, e - b));
    ret_string_array(c, items);
}

// arrayitemize(array [, delimiter]): a wide string
static void arrayitemize_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    std::u16string_view delim = c.has(2) ? c.wstr(2) : std::u16string_view();
    if (delim.size() > 1) {
        c.fail(Err::DelimiterNotSingle);
        return;
    }
    char16_t d = delim.empty() ? u'\t' : delim[0];
    std::u16string out;
    bool first = true;
    ValueCore* e = elements_of(c, 1);
    for (int32_t i = 0; e && i < h->count; ++i) {
        if (e[i].flags == 0) continue;
        bool ok;
        std::u16string w = wide_text_of(c.inst, e[i], &ok);
        if (c.failed()) return;
        if (!ok) continue;
        if (!first) out.push_back(d);
        first = false;
        out.append(w);
    }
    c.ret_wide(out);
}

// arraytostr(array)
static void arraytostr_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    if (h->dim_count > 1) {
        c.fail(Err::BadDimensionCount);
        return;
    }
    std::string out, text;
    ValueCore* e = elements_of(c, 1);
    for (int32_t i = 0; e && i < h->count; ++i) {
        if (e[i].flags == 0) continue;
        if (!interp::value_text(c.inst, e[i], &text)) {
            if (!c.failed()) c.fail(Err::NotAString);
            return;
        }
        out.append(text);
    }
    c.ret_str(out);
}

// Shared checks of arrayinsert and arrayremove: the dimension to work on, or -1.
static int splice_dimension(Call& c, ArrayHeader* h) {
    if (h->dim_count == 0) {
        c.fail(Err::ArrayEmpty);
        return -1;
    }
    if (h->dim_count > 2) {
        c.fail(Err::BadDimensionCount);
        return -1;
    }
    int32_t dim = c.opt_integer(3, h->dim_count == 1 ? 1 : 0);
    if ((h->dim_count == 1 && dim != 1) || (h->dim_count == 2 && dim != 1 && dim != 2)) {
        c.fail(Err::BadRowColumn);
        return -1;
    }
    return dim - 1;
}

// arrayinsert(array, subscript [, dimension [, value]])
static void arrayinsert_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    int dim = splice_dimension(c, h);
    if (dim < 0) return;
    int32_t at = c.integer(2);
    if (at < 0 || at > h->dims[dim]) {
        c.fail(Err::SubscriptOutOfBounds);
        return;
    }
    const ValueCore* fill = c.has(4) ? &static_cast<const ValueCore&>(c.arg(4)) : nullptr;
    if (fill && (fill->flags & kVtArray)) {
        c.fail(Err::EmbeddedArray);
        return;
    }
    if (interp::array_splice(c.inst, c.arg(1).str, dim, at, 1, fill)) c.ret_int(1);
}

// arrayremove(array, subscript [, dimension])
static void arrayremove_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    int dim = splice_dimension(c, h);
    if (dim < 0) return;
    int32_t at = c.integer(2);
    if (at < 0 || at >= h->dims[dim]) {
        c.fail(Err::SubscriptOutOfBounds);
        return;
    }
    if (interp::array_splice(c.inst, c.arg(1).str, dim, at, -1, nullptr)) c.ret_int(1);
}

// arrayredim(array, d1 [, d2 ... d5]): -1 keeps a dimension's current size
static void arrayredim_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    int32_t dims[kMaxDims] = {};
    int given = c.argc() - 1;
    for (int i = 0; i < given && i < kMaxDims; ++i) {
        dims[i] = c.integer(i + 2);
        if (dims[i] == -1) dims[i] = h->dims[i];
    }
    if (interp::array_redim(c.inst, c.arg(1).str, dims, given)) c.ret_int(1);
}

// arrayreverse(array [, dimension])
static void arrayreverse_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    if (h->count == 0) {
        c.fail(Err::ArrayEmpty);
        return;
    }
    int32_t dim = c.opt_integer(2, 0);
    if (dim < 0 || dim > h->dim_count) {
        c.fail(Err::DimensionOutOfRange);
        return;
    }
    ValueCore* e = elements_of(c, 1);
    if (dim == 0 || h->dim_count == 1) {
        std::reverse(e, e + h->count);
        return c.ret_int(1);
    }
    // Elements along dimension k are `stride` apart; blocks of size(k) * stride repeat.
    int64_t stride = 1;
    for (int k = dim; k < h->dim_count; ++k) stride *= h->dims[k];
    int64_t size = h->dims[dim - 1], span = size * stride;
    for (int64_t base = 0; base < h->count; base += span)
        for (int64_t inner = 0; inner < stride; ++inner)
            for (int64_t i = 0, j = size - 1; i < j; ++i, --j)
                std::swap(e[base + i * stride + inner], e[base + j * stride + inner]);
    c.ret_int(1);
}

// arrayswapelements(array, s1 ... s5, t1 ... t5)
static void arrayswapelements_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    int32_t s[kMaxDims], t[kMaxDims];
    for (int i = 0; i < kMaxDims; ++i) {
        s[i] = c.integer(2 + i);
        t[i] = c.integer(7 + i);
    }
    int n = h->dim_count;
    int64_t a = interp::array_index(c.inst, c.arg(1).str, s, n);
    if (a < 0) return;
    int64_t b = interp::array_index(c.inst, c.arg(1).str, t, n);
    if (b < 0) return;
    ValueCore* e = elements_of(c, 1);
    std::swap(e[a], e[b]);
    c.ret_int(1);
}

// arraysort(array [, flags [, column [, start [, end]]]])
static void arraysort_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    int32_t flags;
    if (!flags_of(c, 2, &flags) || (flags & ~(kSortDescending | kSortLogical | kSortString))) {
        c.fail(Err::SortOptionBad);
        return;
    }
    RowRange rr;
    if (!row_range(c, h, 3, Err::SortColumnOutOfRange, Err::SortRangeBad, &rr)) return;
    const int32_t cols = rr.cols, column = rr.column, start = rr.start, end = rr.end;
    ValueCore* e = elements_of(c, 1);
    Instance& inst = c.inst;
    int sign = (flags & kSortDescending) ? -1 : 1;
    auto key = [&](int64_t r) -> const ValueCore& { return e[(start + r) * cols + column]; };
    auto cmp = [&](int64_t x, int64_t y) {
        if (key(x).flags == 0 || key(y).flags == 0) {
            inst.fail(Err::UninitializedElement);
            return 0;
        }
        int r = compare_under(inst, key(x), key(y), flags, false);
        return r == -2 ? 0 : r * sign;
    };
    std::vector<ValueCore> tmp(static_cast<size_t>(cols));
    auto swap_rows = [&](int64_t x, int64_t y) {
        if (x == y) return;
        ValueCore* rx = e + (start + x) * cols;
        ValueCore* ry = e + (start + y) * cols;
        std::memcpy(tmp.data(), rx, sizeof(ValueCore) * static_cast<size_t>(cols));
        std::memcpy(rx, ry, sizeof(ValueCore) * static_cast<size_t>(cols));
        std::memcpy(ry, tmp.data(), sizeof(ValueCore) * static_cast<size_t>(cols));
    };
    int64_t n = static_cast<int64_t>(end) - start + 1;
    auto sift = [&](int64_t root, int64_t len) {
        for (;;) {
            int64_t child = root * 2 + 1;
            if (child >= len) return;
            if (child + 1 < len && cmp(child + 1, child) > 0) child++;
            if (inst.error()) return;
            if (cmp(child, root) <= 0) return;
            if (inst.error()) return;
            swap_rows(root, child);
            root = child;
        }
    };
    for (int64_t i = n / 2 - 1; i >= 0; --i) {
        sift(i, n);
        if (inst.error()) return;
    }
    for (int64_t len = n - 1; len > 0; --len) {
        swap_rows(0, len);
        sift(0, len);
        if (inst.error()) return;
    }
    c.ret_int(1);
}

// arraysearch(array, value [, flags [, column [, start [, end]]]])
static void arraysearch_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    const ValueCore& value = c.arg(2);
    if (value.flags & kVtArray) {
        c.fail(Err::ArrayNeedsDimensions);
        return;
    }
    int32_t flags = c.opt_integer(3, 0);
    if ((flags & ~(kSearchBinary | kSearchNoCase | kSortLogical | kSortString)) ||
        ((flags & kSortString) && (flags & kSearchNoCase))) {
        c.fail(Err::SearchOptionBad);
        return;
    }
    RowRange rr;
    if (!row_range(c, h, 4, Err::SearchColumnOutOfRange, Err::SearchRangeBad, &rr)) return;
    const int32_t cols = rr.cols, column = rr.column, start = rr.start, end = rr.end;
    ValueCore* e = elements_of(c, 1);
    bool nocase = (flags & kSearchNoCase) != 0;
    auto at = [&](int64_t r) -> const ValueCore& { return e[r * cols + column]; };
    if (!(flags & (kSearchBinary | kSortLogical | kSortString))) {
        for (int64_t r = start; r <= end; ++r) {
            if (at(r).flags == 0) continue;
            if (values_equal(c.inst, at(r), value, nocase)) return c.ret_int(static_cast<int32_t>(r));
            if (c.failed()) return;
        }
        return c.ret_int(-1);
    }
    int64_t low = start, high = end;
    while (low <= high) {
        int64_t mid = (low + high) / 2;
        if (at(mid).flags == 0) {
            c.fail(Err::UninitializedElement);
            return;
        }
        int r = compare_under(c.inst, at(mid), value, flags & (kSortLogical | kSortString), nocase);
        if (r == -2) return;
        if (r == 0) return c.ret_int(static_cast<int32_t>(mid));
        if (r > 0)
            high = mid - 1;
        else
            low = mid + 1;
    }
    c.ret_int(-1);
}

// arraylocate(array, value [, s1 ... s5])
static void arraylocate_fn(Call& c) {
    ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    const ValueCore& value = c.arg(2);
    if (value.flags & kVtArray) {
        c.fail(Err::ArrayNeedsDimensions);
        return;
    }
    int given = c.argc() - 2;
    if (given > h->dim_count) {
        c.fail(Err::BadDimensionCount);
        return;
    }
    if (h->count == 0) {
        c.fail(Err::ArrayEmpty);
        return;
    }
    int n = h->dim_count;
    int32_t subs[kMaxDims] = {};
    for (int i = 0; i < given; ++i) subs[i] = c.integer(3 + i);
    int64_t from = interp::array_index(c.inst, c.arg(1).str, subs, n);
    if (from < 0) return;
    ValueCore* e = elements_of(c, 1);
    int64_t found = -1;
    for (int64_t i = from; i < h->count; ++i) {
        if (e[i].flags == 0) continue;
        if (values_equal(c.inst, e[i], value, false)) {
            found = i;
            break;
        }
        if (c.failed()) return;
    }
    int32_t where[kMaxDims];
    for (int k = n - 1; k >= 0; --k) {
        where[k] = found < 0 ? -1 : static_cast<int32_t>(found % h->dims[k]);
        if (found >= 0) found /= h->dims[k];
    }
    const int32_t dims[kMaxDims] = {n, 0, 0, 0, 0};
    ValueCore arr;
    if (interp::array_create(c.inst, arr, dims, 0, 1) < 0) return;
    ValueCore* out = interp::array_elements(arr.str);
    for (int k = 0; k < n; ++k) {
        out[k].flags = kVtInt;
        out[k].i = where[k];
    }
    interp::release_value(c.inst, c.result());
    static_cast<ValueCore&>(c.result()) = arr;
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kArrayBuiltins[] = {
    {"arrayfileget", arrayfileget_fn},
    {"arrayfilegetcsv", arrayfilegetcsv_fn},
    {"arrayfileput", arrayfileput_fn},
    {"arrayfileputcsv", arrayfileputcsv_fn},
    {"arrayfromstr", arrayfromstr_fn},
    {"arrayinsert", arrayinsert_fn},
    {"arrayitemize", arrayitemize_fn},
    {"arrayize", arrayize_fn},
    {"arraylocate", arraylocate_fn},
    {"arrayredim", arrayredim_fn},
    {"arrayremove", arrayremove_fn},
    {"arrayreverse", arrayreverse_fn},
    {"arraysearch", arraysearch_fn},
    {"arraysort", arraysort_fn},
    {"arrayswapelements", arrayswapelements_fn},
    {"arraytostr", arraytostr_fn},
    {"arrdimension", arrdimension_fn},
    {"arrinfo", arrinfo_fn},
    {"arrinitialize", arrinitialize_fn},
};

KEL_BUILTIN_FAMILY(kArrayBuiltins)

}  // namespace kel::lib
