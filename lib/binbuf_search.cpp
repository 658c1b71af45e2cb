// Binary buffers, the functions that read a buffer's data as a whole: search, counting,
// replacement, record sort and hashed records, byte translation and code-page conversion.
// The table and the byte-level builtins are in binbuf.cpp.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "interp/data/convert.h"
#include "lib/binbuf.h"
#include "interp/api/builtin.h"
#include "platform/text.h"

namespace kel::lib {
namespace {

namespace pf = kel::platform;

// Upper-case mapping of every byte in the ANSI code page, for case-insensitive matching.
struct UpperMap {
    uint8_t up[256];
    UpperMap() {
        for (int i = 0; i < 256; ++i) up[i] = pf::to_upper(static_cast<uint8_t>(i));
    }
    bool equal(const uint8_t* a, const uint8_t* b, size_t n) const {
        for (size_t i = 0; i < n; ++i)
            if (up[a[i]] != up[b[i]]) return false;
        return true;
    }
};

// A temporary block released on every path; nullptr when it cannot be had.
struct TempBlock {
    explicit TempBlock(size_t n) : p(static_cast<uint8_t*>(std::malloc(n ? n : 1))) {}
    ~TempBlock() { std::free(p); }
    TempBlock(const TempBlock&) = delete;
    TempBlock& operator=(const TempBlock&) = delete;
    uint8_t* p;
};

}  // namespace

int64_t binbuf_find(const uint8_t* data, int64_t from, int64_t end, std::string_view pat, bool nocase) {
    const auto* q = reinterpret_cast<const uint8_t*>(pat.data());
    size_t n = pat.size();
    if (n == 0 || from + static_cast<int64_t>(n) > end) return -1;
    if (!nocase) {
        const void* hit = memmem(data + from, static_cast<size_t>(end - from), q, n);
        return hit ? static_cast<const uint8_t*>(hit) - data : -1;
    }
    static const UpperMap map;
    uint8_t first = map.up[q[0]];
    for (int64_t p = from, last = end - static_cast<int64_t>(n); p <= last; ++p)
        if (map.up[data[p]] == first && map.equal(data + p + 1, q + 1, n - 1)) return p;
    return -1;
}

namespace {

// The last position p <= from where the pattern matches, or -1.
int64_t find_backward(const uint8_t* data, int64_t from, std::string_view pat, bool nocase) {
    const auto* q = reinterpret_cast<const uint8_t*>(pat.data());
    size_t n = pat.size();
    static const UpperMap map;
    for (int64_t p = from; p >= 0; --p) {
        if (!nocase) {
            const void* hit = memrchr(data, q[0], static_cast<size_t>(p + 1));
            if (!hit) return -1;
            p = static_cast<const uint8_t*>(hit) - data;
            if (std::memcmp(data + p, q, n) == 0) return p;
        } else if (map.equal(data + p, q, n)) {
            return p;
        }
    }
    return -1;
}

// The search rule of the binaryindex family: forward from offset, or backward over the
// positions whose match ends at offset. Never reads past the end of data. -1: none.
int64_t binary_search(const BinBuf& b, int64_t offset, std::string_view pat, bool backward, bool nocase) {
    int64_t n = static_cast<int64_t>(pat.size());
    if (n == 0) return -1;
    if (!backward) return binbuf_find(b.data, offset, b.eod, pat, nocase);
    if (offset < n) return -1;
    int64_t from = std::min(offset - n + 1, static_cast<int64_t>(b.eod) - n);
    return from < 0 ? -1 : find_backward(b.data, from, pat, nocase);
}

// The shared checks (1548, 3333); the buffer or nullptr.
BinBuf* index_buffer(Call& c, int64_t* offset) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return nullptr;
    *offset = c.integer(2);
    if (*offset < 0) return c.fail(Err::BinBadOffset), nullptr;
    if (*offset >= b->size) return c.fail(Err::IndexBeyondBuffer), nullptr;
    return b;
}

template <bool NoCase>
void index_fn(Call& c) {
    int64_t off;
    BinBuf* b = index_buffer(c, &off);
    if (!b) return;
    int64_t p = binary_search(*b, off, c.str(3), c.integer(4) != 0, NoCase);
    c.ret_int(p < 0 ? 0 : static_cast<int32_t>(p));
}

// binaryindexex(h, offset, string, direction, match-case): -1 when not found.
void binaryindexex_fn(Call& c) {
    int64_t off;
    BinBuf* b = index_buffer(c, &off);
    if (!b) return;
    c.ret_int(static_cast<int32_t>(binary_search(*b, off, c.str(3), c.integer(4) != 0, c.integer(5) == 0)));
}

// binaryindexbin(h, offset, item, direction, match-case): item is a hex string ("0D0A")
// or a binary buffer, whose bytes 0 ... EOD - 1 are searched for; -1 when not found.
void binaryindexbin_fn(Call& c) {
    int64_t off;
    BinBuf* b = index_buffer(c, &off);
    if (!b) return;
    Value& item = c.arg(3);
    std::string bytes;
    if ((item.flags & kVtInt) && binbuf_get(c.inst, item.i)) {
        const BinBuf* src = binbuf_get(c.inst, item.i);
        bytes.assign(reinterpret_cast<const char*>(src->data), static_cast<size_t>(src->eod));
    } else if ((item.flags & (kVtStr | kVtWide)) && !(item.flags & kVtInt) && interp::to_str(c.inst, item)) {
        if (!hex_to_bytes(interp::heap_str(c.inst, item.str), &bytes)) return (void)c.fail(Err::IndexBinBadItem);
    } else {
        if (!c.failed()) c.fail(Err::IndexBinBadItem);
        return;
    }
    c.ret_int(static_cast<int32_t>(binary_search(*b, off, bytes, c.integer(4) != 0, c.integer(5) == 0)));
}

// binarystrcnt(h, start, end, string): occurrences starting at start ... end inclusive,
// left to right without overlap, each ending within the end of data.
void binarystrcnt_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t start = c.integer(2), end = c.integer(3);
    if (end < start) std::swap(start, end);
    if (start < 0 || end >= b->size) return (void)c.fail(Err::IndexBeyondBuffer);
    if (end >= b->eod) return (void)c.fail(Err::BinOffsetBeyondEod);
    std::string_view pat = c.str(4);
    int32_t count = 0;
    for (int64_t p = start; p <= end;) {
        p = binbuf_find(b->data, p, b->eod, pat, false);
        if (p < 0 || p > end) break;
        ++count;
        p += static_cast<int64_t>(pat.size());
    }
    c.ret_int(count);
}

// binaryreplace(h, search, replacement, match-case): the new contents are measured first,
// so that nothing changes when they would not fit; an empty search matches each zero byte.
void binaryreplace_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    std::string_view pat = c.str(2);
    if (pat.empty()) pat = std::string_view("\0", 1);
    std::string_view rep = c.str(3);
    bool nocase = c.integer(4) == 0;
    // Counted first, so that the growth is known before any memory is taken.
    int64_t hits = 0;
    int64_t step = static_cast<int64_t>(pat.size());
    for (int64_t p = 0; (p = binbuf_find(b->data, p, b->eod, pat, nocase)) >= 0; p += step) ++hits;
    int64_t len = b->eod + (static_cast<int64_t>(rep.size()) - step) * hits;
    if (len > b->size) return (void)c.fail(Err::ReplaceOverrun);
    TempBlock tmp(static_cast<size_t>(len));
    if (!tmp.p) return (void)c.fail(Err::AllocFailed);
    uint8_t* out = tmp.p;
    int64_t from = 0;
    for (int64_t p = 0; (p = binbuf_find(b->data, p, b->eod, pat, nocase)) >= 0; p += step) {
        std::memcpy(out, b->data + from, static_cast<size_t>(p - from));
        out += p - from;
        std::memcpy(out, rep.data(), rep.size());
        out += rep.size();
        from = p + step;
    }
    std::memcpy(out, b->data + from, static_cast<size_t>(b->eod - from));
    std::memset(b->data, 0, static_cast<size_t>(b->size));
    std::memcpy(b->data, tmp.p, static_cast<size_t>(len));
    b->eod = static_cast<int32_t>(len);
    c.ret_int(static_cast<int32_t>(hits));
}

// ---- records

struct RecordArgs {
    BinBuf* b;
    int64_t rs, ko, ks;
    int64_t n;  // whole records
};

// The checks binarysort and binaryhashrec share (1474 ... 1478).
bool record_args(Call& c, RecordArgs* r, int64_t key_size) {
    r->b = binbuf_arg(c, 1);
    if (!r->b) return false;
    r->rs = c.integer(2);
    r->ko = c.integer(3);
    r->ks = key_size;
    if (r->rs <= 0) return c.fail(Err::HashSortBadRecordSize), false;
    if (r->ko < 0) return c.fail(Err::HashSortBadKeyOffset), false;
    if (r->ks <= 0) return c.fail(Err::HashSortBadKeySize), false;
    if (r->ko + r->ks > r->rs) return c.fail(Err::HashSortKeyBeyondRecord), false;
    if (r->rs > r->b->size) return c.fail(Err::HashSortRecordTooLarge), false;
    r->n = r->b->size / r->rs;
    return true;
}

constexpr int32_t kSortDescending = 16;

// binarysort(h, record-size, key-offset, key-size, flags): flags @word1, @word2, @word4
// (unsigned) or @float8 set the key's type and size; otherwise the key is the text of at
// most key-size bytes, compared without case and then with case. @descending reverses.
void binarysort_fn(Call& c) {
    int32_t flags = c.integer(5);
    int type = flags & 15;
    bool numeric = type == 1 || type == 2 || type == 4 || type == 8;
    RecordArgs r;
    if (!record_args(c, &r, numeric ? type : c.integer(4))) return;
    bool desc = (flags & kSortDescending) != 0;
    struct Key {
        int64_t rec;
        double num;
        std::string text;
    };
    std::vector<Key> keys;
    TempBlock tmp(static_cast<size_t>(r.n * r.rs));
    if (!tmp.p) return (void)c.fail(Err::HashSortAllocFailed);
    keys.resize(static_cast<size_t>(r.n));
    for (int64_t i = 0; i < r.n; ++i) {
        const uint8_t* k = r.b->data + i * r.rs + r.ko;
        Key& key = keys[static_cast<size_t>(i)];
        key.rec = i;
        if (type == 8) {
            std::memcpy(&key.num, k, 8);
        } else if (numeric) {
            uint64_t v = 0;
            for (int j = type - 1; j >= 0; --j) v = (v << 8) | k[j];
            key.num = static_cast<double>(v);
        } else {
            const void* z = std::memchr(k, 0, static_cast<size_t>(r.ks));
            size_t len = z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - k) : static_cast<size_t>(r.ks);
            key.text.assign(reinterpret_cast<const char*>(k), len);
        }
    }
    auto less = [&](const Key& a, const Key& b) {
        int cmp;
        if (numeric) {
            cmp = a.num < b.num ? -1 : b.num < a.num ? 1 : 0;
        } else {
            cmp = pf::compare_word_sort(a.text, b.text, true);
            if (cmp == 0) cmp = pf::compare_word_sort(a.text, b.text, false);
        }
        return desc ? cmp > 0 : cmp < 0;
    };
    std::sort(keys.begin(), keys.end(), less);
    for (size_t i = 0; i < keys.size(); ++i)
        std::memcpy(tmp.p + static_cast<int64_t>(i) * r.rs, r.b->data + keys[i].rec * r.rs, static_cast<size_t>(r.rs));
    std::memcpy(r.b->data, tmp.p, static_cast<size_t>(r.n * r.rs));
    binbuf_raise_eod(*r.b, r.n * r.rs);
    c.ret_int(1);
}

// binaryhashrec(h, record-size, key-offset, key-size, key): the byte offset of the record
// that holds key, stored in the first empty slot from its home slot on when it is new.
void binaryhashrec_fn(Call& c) {
    RecordArgs r;
    if (!record_args(c, &r, c.integer(4))) return;
    std::string_view key = c.str(5);
    if (key.empty()) return (void)c.fail(Err::HashKeyMissing);
    if (static_cast<int64_t>(key.size()) > r.ks) return (void)c.fail(Err::HashKeyTooLarge);
    uint32_t h = 0;
    for (char ch : key) h = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(ch))) + 2 * h;
    int64_t home = r.n == 1 ? 0 : static_cast<int64_t>(h % static_cast<uint32_t>(r.n - 1));
    static const UpperMap map;
    for (int64_t i = 0; i < r.n; ++i) {
        int64_t slot = (home + i) % r.n;
        uint8_t* field = r.b->data + slot * r.rs + r.ko;
        if (field[0] == 0) {
            std::memset(field, 0, static_cast<size_t>(r.ks));
            std::memcpy(field, key.data(), key.size());
        } else {
            const void* z = std::memchr(field, 0, static_cast<size_t>(r.ks));
            size_t len = z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - field) : static_cast<size_t>(r.ks);
            if (len != key.size() || !map.equal(field, reinterpret_cast<const uint8_t*>(key.data()), len)) continue;
        }
        r.b->eod = r.b->size;
        c.ret_int(static_cast<int32_t>(slot * r.rs));
        return;
    }
    c.fail(Err::HashNoSpace);
}

// ---- translation and conversion

// binaryxlate(data, table, mode): mode 0 byte -> byte, 1 byte -> 2 bytes, 2 unit -> byte,
// 3 unit -> 2 bytes (units little-endian); the table's end of data must be its exact size.
void binaryxlate_fn(Call& c) {
    BinBuf* d = binbuf_arg(c, 1);
    if (!d) return;
    BinBuf* t = binbuf_arg(c, 2);
    if (!t) return;
    int32_t mode = c.integer(3);
    static const int32_t kTableSize[] = {256, 512, 65536, 131072};
    static const Err kTableError[] = {Err::XlateTable0, Err::XlateTable1, Err::XlateTable2, Err::XlateTable3};
    if (mode < 0 || mode > 3) return (void)c.fail(Err::XlateBadMode);
    if (t->eod != kTableSize[mode]) return (void)c.fail(kTableError[mode]);
    int64_t n = d->eod;
    if (mode >= 2 && n % 2) return (void)c.fail(Err::XlateOddLength);
    if (n == 0) return c.ret_int(0);
    int64_t len = mode == 0 ? n : mode == 1 ? 2 * n : mode == 2 ? n / 2 : n;
    if (len > d->size) return (void)c.fail(Err::XlateNoSpace);
    TempBlock tmp(static_cast<size_t>(len));
    if (!tmp.p) return (void)c.fail(Err::XlateAllocFailed);
    const uint8_t* in = d->data;
    const uint8_t* tab = t->data;
    uint8_t* out = tmp.p;
    switch (mode) {
    case 0:
        for (int64_t i = 0; i < n; ++i) out[i] = tab[in[i]];
        break;
    case 1:
        for (int64_t i = 0; i < n; ++i) std::memcpy(out + 2 * i, tab + 2 * in[i], 2);
        break;
    default:
        for (int64_t i = 0; i < n / 2; ++i) {
            unsigned u = in[2 * i] | in[2 * i + 1] << 8;
            if (mode == 2) out[i] = tab[u];
            else std::memcpy(out + 2 * i, tab + 2 * u, 2);
        }
    }
    std::memcpy(d->data, tmp.p, static_cast<size_t>(len));
    d->eod = static_cast<int32_t>(len);
    c.ret_int(static_cast<int32_t>(len));
}

constexpr int32_t kConvWide = 3;

// binaryconvert(h, source-type, target-type, code-page, flags): types 0 ANSI, 1 OEM,
// 2 the code page given, 3 UTF-16 (little-endian); flags 1 upper case, 2 lower case.
void binaryconvert_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int32_t from = c.integer(2), to = c.integer(3), flags = c.integer(5);
    if (from < 0 || from > 3 || to < 0 || to > 3) return (void)c.fail(Err::ConvertBadType);
    if (flags < 0 || flags > 2) return (void)c.fail(Err::ConvertBadFlags);
    auto page = [&](int32_t type) -> uint32_t {
        return type == 0 ? pf::kCpAcp : type == 1 ? pf::kCpOemCp : static_cast<uint32_t>(c.integer(4));
    };
    if ((from == 2 || to == 2) && !pf::code_page_valid(page(2))) return (void)c.fail(Err::ConvertFailed);
    if (from == kConvWide && b->eod % 2) return (void)c.fail(Err::ConvertFailed);
    std::string_view data(reinterpret_cast<const char*>(b->data), static_cast<size_t>(b->eod));
    std::u16string wide;
    std::string narrow;
    bool is_wide = to == kConvWide;
    if (from == kConvWide) {
        wide.resize(data.size() / 2);
        for (size_t i = 0; i < wide.size(); ++i)
            wide[i] = static_cast<char16_t>(b->data[2 * i] | b->data[2 * i + 1] << 8);
        if (!is_wide) narrow = pf::from_wide(wide, page(to));
    } else if (from == to) {
        narrow.assign(data);
    } else {
        wide = pf::to_wide(data, page(from));
        if (wide.empty() && !data.empty()) return (void)c.fail(Err::ConvertFailed);
        if (!is_wide) narrow = pf::from_wide(wide, page(to));
    }
    if (!is_wide && narrow.empty() && !wide.empty()) return (void)c.fail(Err::ConvertFailed);
    int64_t len = is_wide ? static_cast<int64_t>(wide.size()) * 2 : static_cast<int64_t>(narrow.size());
    if (len > b->size) return (void)c.fail(Err::ConvertNoSpace);
    if (is_wide) {
        if (flags == 1) pf::upper_in_place_w(wide.data(), wide.size());
        if (flags == 2) pf::lower_in_place_w(wide.data(), wide.size());
        for (size_t i = 0; i < wide.size(); ++i) {
            b->data[2 * i] = static_cast<uint8_t>(wide[i]);
            b->data[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
        }
    } else {
        if (flags == 1) pf::upper_in_place(narrow.data(), narrow.size());
        if (flags == 2) pf::lower_in_place(narrow.data(), narrow.size());
        std::memcpy(b->data, narrow.data(), narrow.size());
    }
    b->eod = static_cast<int32_t>(len);
    c.ret_int(static_cast<int32_t>(len));
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kBinBufSearchBuiltins[] = {
    {"binaryconvert", binaryconvert_fn},
    {"binaryhashrec", binaryhashrec_fn},
    {"binaryindex", index_fn<false>},
    {"binaryindexbin", binaryindexbin_fn},
    {"binaryindexex", binaryindexex_fn},
    {"binaryindexnc", index_fn<true>},
    {"binaryreplace", binaryreplace_fn},
    {"binarysort", binarysort_fn},
    {"binarystrcnt", binarystrcnt_fn},
    {"binaryxlate", binaryxlate_fn},
};

}  // namespace
KEL_BUILTIN_FAMILY(kBinBufSearchBuiltins)

}  // namespace kel::lib
