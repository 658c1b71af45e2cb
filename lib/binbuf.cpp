// The binary buffer table and the builtins that work on a buffer's bytes in place: whole
// buffers, numbers, hex text, strings and ranges. Searching, records and translation are
// in binbuf_search.cpp, tags in binbuf_tags.cpp, files and compression in binbuf_io.cpp.
// Buffers live in movable blocks that stay locked until freed, so the host can take the
// memory handle (service 43) and lock it again while a script runs. The blocks are mapped
// below 2 GiB: a script may hand a buffer's address (an integer) to native code.
#include "lib/binbuf.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "interp/data/array.h"
#include "interp/data/convert.h"
#include "interp/api/builtin.h"
#include "lib/strutil.h"
#include "platform/gmem.h"

namespace kel::lib {

namespace pf = kel::platform;
using interp::Instance;
using interp::ValueCore;

namespace {

struct BinBufTable {
    BinBuf slots[kBinBufSlots];
};

// Tables by instance: the instance record is the host's layout, so buffers are kept
// beside it rather than inside it. Created on the first allocation only.
std::unordered_map<const Instance*, std::unique_ptr<BinBufTable>>& tables() {
    static std::unordered_map<const Instance*, std::unique_ptr<BinBufTable>> t;
    return t;
}

BinBufTable* table_of(const Instance& inst) {
    auto it = tables().find(&inst);
    return it == tables().end() ? nullptr : it->second.get();
}

}  // namespace

BinBuf* binbuf_get(const Instance& inst, int32_t handle) {
    int slot = binbuf_slot(inst, handle);
    return slot < 0 ? nullptr : &table_of(inst)->slots[slot];
}

int binbuf_slot(const Instance& inst, int32_t handle) {
    if (handle < kBinBufFirstHandle || handle >= kBinBufFirstHandle + kBinBufSlots) return -1;
    BinBufTable* t = table_of(inst);
    if (!t) return -1;
    int slot = handle - kBinBufFirstHandle;
    return t->slots[slot].mem ? slot : -1;
}

int32_t binbuf_alloc(Instance& inst, int32_t size) {
    auto& slot_table = tables()[&inst];
    if (!slot_table) slot_table = std::make_unique<BinBufTable>();
    int slot = 0;
    while (slot < kBinBufSlots && slot_table->slots[slot].mem) ++slot;
    if (slot == kBinBufSlots) {
        inst.fail(Err::TooManyBinaryHandles);
        return 0;
    }
    if (size < 0) {
        inst.fail(Err::BinaryAllocFailed);
        return 0;
    }
    // A zero-size buffer still owns a block, so that its slot counts as used.
    pf::Handle mem = pf::gmem_alloc_low(size ? static_cast<size_t>(size) : 1);
    void* p = mem ? pf::gmem_lock(mem) : nullptr;
    if (!p) {
        if (mem) pf::gmem_free(mem);
        inst.fail(Err::BinaryAllocFailed);
        return 0;
    }
    BinBuf& b = slot_table->slots[slot];
    b.mem = mem;
    b.data = static_cast<uint8_t*>(p);
    b.size = size;
    b.eod = 0;
    b.ole_type = 0;
    return kBinBufFirstHandle + slot;
}

bool binbuf_free(Instance& inst, int32_t handle) {
    BinBuf* b = binbuf_get(inst, handle);
    if (!b) return false;
    pf::gmem_unlock(b->mem);
    pf::gmem_free(b->mem);
    *b = BinBuf{};
    return true;
}

void binbuf_release_all(const Instance& inst) {
    auto it = tables().find(&inst);
    if (it == tables().end()) return;
    for (BinBuf& b : it->second->slots) {
        if (!b.mem) continue;
        pf::gmem_unlock(b.mem);
        pf::gmem_free(b.mem);
        b = BinBuf{};
    }
    tables().erase(it);
}

int binbuf_count(const Instance& inst) {
    BinBufTable* t = table_of(inst);
    int n = 0;
    if (t)
        for (const BinBuf& b : t->slots) n += b.mem ? 1 : 0;
    return n;
}

intptr_t binbuf_store(Instance& inst, int32_t handle, const char* data, size_t n) {
    BinBuf* b = binbuf_get(inst, handle);
    if (!b) return -1;
    if (!data || n == 0) {
        b->eod = 0;
        return -1;
    }
    size_t cap = static_cast<size_t>(b->size);
    size_t take = n < cap ? n : cap;
    std::memcpy(b->data, data, take);
    b->eod = static_cast<int32_t>(take);
    return take == n ? 1 : 0;
}

BinBuf* binbuf_arg(Call& c, int n) {
    BinBuf* b = binbuf_get(c.inst, c.integer(n));
    if (!b) c.fail(Err::BadBinaryHandle);
    return b;
}

namespace {

// ---- whole buffers

// binaryalloc(size): the handle carries the binary-handle marker beside its integer.
void binaryalloc_fn(Call& c) {
    int32_t h = binbuf_alloc(c.inst, c.integer(1));
    if (!h) return;
    c.ret_int(h);
    c.result().flags |= kVtBinBuf;
}

// binaryfree(h)
void binaryfree_fn(Call& c) {
    if (!binbuf_free(c.inst, c.integer(1))) return (void)c.fail(Err::BadBinaryHandle);
    c.ret_int(0);
}

// binaryeodget(h)
void binaryeodget_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (b) c.ret_int(b->eod);
}

// binaryeodset(h, eod): returns the previous end of data.
void binaryeodset_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int32_t eod = c.integer(2);
    if (eod > b->size) return (void)c.fail(Err::EodBeyondBuffer);
    if (eod < 0) return (void)c.fail(Err::BinBadOffset);
    int32_t previous = b->eod;
    b->eod = eod;
    c.ret_int(previous);
}

// binarybufinfo(h, request): -1 asks whether h is a buffer handle (the marker binaryalloc
// sets, and a live slot) without raising an error; 0 size, 1 address, 2 end of data.
void binarybufinfo_fn(Call& c) {
    int32_t req = c.integer(2);
    Value& v = c.arg(1);
    if (req == -1) {
        bool is_buf = (v.flags & kVtBinBuf) && (v.flags & kVtInt) && binbuf_get(c.inst, v.i);
        c.ret_int(is_buf ? 1 : 0);
        return;
    }
    if (!(v.flags & kVtInt) && !interp::to_int(c.inst, v, true)) {
        if (!c.failed()) c.fail(Err::BadBinaryHandle);
        return;
    }
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    if (req == 0) return c.ret_int(b->size);
    if (req == 2) return c.ret_int(b->eod);
    if (req == 1) {
        // Native code gets the address as a positive 32-bit integer; memory that could not
        // be mapped that low has no such address.
        auto addr = reinterpret_cast<uintptr_t>(b->data);
        if (addr == 0 || addr > static_cast<uintptr_t>(INT32_MAX)) return (void)c.fail(Err::BadRequest);
        return c.ret_int(static_cast<int32_t>(addr));
    }
    c.fail(Err::BadRequest);
}

// binaryallocarray(array): a new buffer holding the array's elements in row-major order,
// 4 bytes (little-endian) for each integer or 8 bytes (an IEEE double) for each float.
// Every element must be of the one type (1747); other types, or no elements, are 1746.
void binaryallocarray_fn(Call& c) {
    interp::ArrayHeader* h = interp::array_of(c.inst, c.arg(1));
    if (!h) return;
    const ValueCore* e = interp::array_elements(c.arg(1).str);
    int32_t n = h->count;
    if (!e || n <= 0) return (void)c.fail(Err::AllocArrayBadType);
    auto kind = [](const ValueCore& v) {
        if (v.flags & (kVtArray | kVtVariant)) return 0;
        if (v.flags & kVtInt) return 4;
        if (v.flags & kVtFloat) return 8;
        return 0;
    };
    int width = kind(e[0]);
    if (!width) return (void)c.fail(Err::AllocArrayBadType);
    for (int32_t i = 1; i < n; ++i) {
        int k = kind(e[i]);
        if (!k) return (void)c.fail(Err::AllocArrayBadType);
        if (k != width) return (void)c.fail(Err::AllocArrayMixedTypes);
    }
    if (static_cast<int64_t>(n) * width > INT32_MAX) return (void)c.fail(Err::BinaryAllocFailed);
    int32_t bytes = n * width;
    int32_t handle = binbuf_alloc(c.inst, bytes);
    if (!handle) return;
    BinBuf* b = binbuf_get(c.inst, handle);
    for (int32_t i = 0; i < n; ++i) {
        if (width == 4) std::memcpy(b->data + 4 * i, &e[i].i, 4);
        else std::memcpy(b->data + 8 * i, &e[i].f, 8);
    }
    b->eod = bytes;
    c.ret_int(handle);
    c.result().flags |= kVtBinBuf;
}

// binaryoletype(h, type, offset, count, flags): how an automation call passes the buffer:
// type 0 as its handle (an integer), 8 as a string of bytes offset ... offset + count - 1,
// 8209 (an array of unsigned bytes) as a byte array of that range; flags must be 0. The
// range follows the EOD rules of the other range functions. Returns the previous type.
void binaryoletype_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int32_t type = c.integer(2);
    int64_t off = c.integer(3), count = c.integer(4);
    if (type != 0 && type != 8 && type != 8209) return (void)c.fail(Err::BadRequest);
    if (c.integer(5) != 0) return (void)c.fail(Err::BadRequest);
    if (off < 0) return (void)c.fail(Err::BinBadOffset);
    if (count < 0) return (void)c.fail(Err::BinBadCount);
    if (type != 0) {
        if (off >= b->size) return (void)c.fail(Err::BinOffsetsBeyondBuffer);
        if (!binbuf_range_ok(off, count, b->size)) return (void)c.fail(Err::BinCountBeyondBuffer);
        if (!binbuf_range_ok(off, count, b->eod)) return (void)c.fail(Err::BinCountBeyondEod);
    }
    int32_t previous = b->ole_type;
    b->ole_type = type;
    c.ret_int(previous);
}

// ---- numbers

uint64_t load_le(const uint8_t* p, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void store_le(uint8_t* p, int width, uint64_t v) {
    for (int i = 0; i < width; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// The `width` bytes at argument 2's offset, with the end of data raised over them; nullptr
// after 1548 (negative offset) or 3325 (past the size). The sum is taken in 64 bits.
uint8_t* number_at(Call& c, int width) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return nullptr;
    int64_t off = c.integer(2);
    if (off < 0) return c.fail(Err::BinBadOffset), nullptr;
    if (!binbuf_range_ok(off, width, b->size)) return c.fail(Err::PeekBeyondBuffer), nullptr;
    binbuf_raise_eod(*b, off + width);
    return b->data + off;
}

// 1 and 2 bytes read zero-extended, 4 bytes signed.
int32_t read_number(const uint8_t* p, int width) {
    uint64_t v = load_le(p, width);
    return width == 4 ? static_cast<int32_t>(static_cast<uint32_t>(v)) : static_cast<int32_t>(v);
}

template <int W>
void peek_fn(Call& c) {
    if (uint8_t* p = number_at(c, W)) c.ret_int(read_number(p, W));
}

// binarypoke*(h, offset, value): the value must fit the width signed or unsigned, so
// -256 ... 255 for one byte (-1 stores 255, -256 stores 0).
template <int W>
void poke_fn(Call& c) {
    uint8_t* p = number_at(c, W);
    if (!p) return;
    int32_t old = read_number(p, W);
    int64_t v = c.integer(3);
    if (W < 4 && (v < -(int64_t{1} << (8 * W)) || v >= (int64_t{1} << (8 * W)))) return (void)c.fail(Err::PokeOutOfRange);
    store_le(p, W, static_cast<uint64_t>(v));
    c.ret_int(old);
}

template <int W>
void incr_fn(Call& c) {
    uint8_t* p = number_at(c, W);
    if (!p) return;
    store_le(p, W, load_le(p, W) + 1);  // wraps within the width
    c.ret_int(read_number(p, W));
}

// A 64-bit value as a script sees it: an integer when it fits 32 bits, else its decimal
// text (which the evaluator's digit-string arithmetic reads exactly).
void ret_int64(Call& c, int64_t v) {
    if (v >= INT32_MIN && v <= INT32_MAX) return c.ret_int(static_cast<int32_t>(v));
    c.ret_str(std::to_string(v));
}

// binarypeek8(h, offset): the signed 64-bit value at offset.
void binarypeek8_fn(Call& c) {
    if (uint8_t* p = number_at(c, 8)) ret_int64(c, static_cast<int64_t>(load_le(p, 8)));
}

// binarypoke8(h, offset, value): value an integer, a whole float within 64 bits, or a
// decimal string from -9223372036854775808 to 18446744073709551615; else 3326. Returns
// the previous value (signed).
void binarypoke8_fn(Call& c) {
    uint8_t* p = number_at(c, 8);
    if (!p) return;
    Value& v = c.arg(3);
    uint64_t bits = 0;
    if (v.flags & kVtInt) {
        bits = static_cast<uint64_t>(static_cast<int64_t>(v.i));
    } else if (v.flags & kVtFloat) {
        double d = v.f;
        if (!(d >= -9223372036854775808.0 && d < 18446744073709551616.0) || d != __builtin_trunc(d))
            return (void)c.fail(Err::PokeOutOfRange);
        bits = d < 0 ? static_cast<uint64_t>(static_cast<int64_t>(d)) : static_cast<uint64_t>(d);
    } else if (v.flags & kVtStr) {
        bool neg = false;
        uint64_t mag = 0;
        if (!parse_decimal64(interp::heap_str(c.inst, v.str), &neg, &mag) || (neg && mag > (uint64_t{1} << 63)))
            return (void)c.fail(Err::PokeOutOfRange);
        bits = neg ? ~mag + 1 : mag;
    } else {
        return (void)c.fail(Err::PokeOutOfRange);
    }
    int64_t old = static_cast<int64_t>(load_le(p, 8));
    store_le(p, 8, bits);
    ret_int64(c, old);
}

double load_double(const uint8_t* p) {
    double d;
    std::memcpy(&d, p, 8);
    return d;
}

// binarypeekflt(h, offset)
void binarypeekflt_fn(Call& c) {
    if (uint8_t* p = number_at(c, 8)) c.ret_float(load_double(p));
}

// binarypokeflt(h, offset, value): returns the value read before storing.
void binarypokeflt_fn(Call& c) {
    uint8_t* p = number_at(c, 8);
    if (!p) return;
    double old = load_double(p);
    double v = c.flt(3);
    std::memcpy(p, &v, 8);
    c.ret_float(old);
}

// binaryincrflt(h, offset)
void binaryincrflt_fn(Call& c) {
    uint8_t* p = number_at(c, 8);
    if (!p) return;
    double v = load_double(p) + 1.0;
    std::memcpy(p, &v, 8);
    c.ret_float(v);
}

// ---- hex text

// binarypeekhex(h, offset, count): two upper-case hex digits per byte.
void binarypeekhex_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t off = c.integer(2), count = c.integer(3);
    if (off < 0) return (void)c.fail(Err::BinBadOffset);
    if (off >= b->eod) return (void)c.fail(Err::BinOffsetBeyondEod);
    if (count < 0) return (void)c.fail(Err::BinBadCount);
    if (!binbuf_range_ok(off, count, b->eod)) return (void)c.fail(Err::BinCountBeyondEod);
    char* out = ret_buf<char>(c, static_cast<size_t>(count) * 2);
    if (!out) return;
    static const char kHex[] = "0123456789ABCDEF";
    for (int64_t i = 0; i < count; ++i) {
        uint8_t v = b->data[off + i];
        out[2 * i] = kHex[v >> 4];
        out[2 * i + 1] = kHex[v & 15];
    }
}

// binarypokehex(h, offset, hex): byte pairs, with spaces, CR and LF between pairs ignored;
// nothing is stored unless the whole text is valid and fits.
void binarypokehex_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t off = c.integer(2);
    if (off < 0) return (void)c.fail(Err::BinBadOffset);
    if (off >= b->size) return (void)c.fail(Err::BinOffsetsBeyondBuffer);
    std::string bytes;
    if (!hex_to_bytes(c.str(3), &bytes)) return (void)c.fail(Err::PokeHexBadHex);
    if (!binbuf_range_ok(off, static_cast<int64_t>(bytes.size()), b->size)) return (void)c.fail(Err::PokeHexOverrun);
    std::memcpy(b->data + off, bytes.data(), bytes.size());
    if (!bytes.empty()) binbuf_raise_eod(*b, off + static_cast<int64_t>(bytes.size()));
    c.ret_int(static_cast<int32_t>(bytes.size()));
}

// ---- strings

// binarypokestr(h, offset, string): the bytes without a terminator.
void binarypokestr_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t off = c.integer(2);
    std::string_view s = c.str(3);
    if (off < 0) return (void)c.fail(Err::BinBadOffset);
    if (!binbuf_range_ok(off, static_cast<int64_t>(s.size()), b->size)) return (void)c.fail(Err::PokeStrOverrun);
    std::memcpy(b->data + off, s.data(), s.size());
    if (!s.empty()) binbuf_raise_eod(*b, off + static_cast<int64_t>(s.size()));
    c.ret_int(static_cast<int32_t>(s.size()));
}

// binarypokestrw(h, offset, wide string [, byte-order]): each UTF-16 unit low byte first,
// or high byte first when byte-order is 1.
void binarypokestrw_fn(Call& c) {
    BinBuf* b = binbuf_arg(c, 1);
    if (!b) return;
    int64_t off = c.integer(2);
    std::u16string_view w = c.wstr(3);
    bool big = c.opt_integer(4, 0) == 1;
    int64_t bytes = static_cast<int64_t>(w.size()) * 2;
    if (off < 0) return (void)c.fail(Err::BinBadOffset);
    if (!binbuf_range_ok(off, bytes, b->size)) return (void)c.fail(Err::PokeStrOverrun);
    uint8_t* p = b->data + off;
    for (char16_t u : w) {
        *p++ = static_cast<uint8_t>(big ? u >> 8 : u);
        *p++ = static_cast<uint8_t>(big ? u : u >> 8);
    }
    if (bytes) binbuf_raise_eod(*b, off + bytes);
    c.ret_int(static_cast<int32_t>(bytes));
}

// The bytes a string peek may read: from offset up to maxsize bytes, stopping at the end
// of data; false after 2331. The sum is taken in 64 bits.
bool peek_range(Call& c, BinBuf*& b, int64_t* from, int64_t* to) {
    b = binbuf_arg(c, 1);
    if (!b) return false;
    int64_t off = c.integer(2), max = c.integer(3);
    if (off < 0 || max < 0) return c.fail(Err::PeekStrBeyondBuffer), false;
    if (off >= b->size && !(off == b->eod && max == 0)) return c.fail(Err::PeekStrBeyondBuffer), false;
    int64_t end = off + max;
    if (end > b->eod) end = b->eod;
    *from = off;
    *to = end < off ? off : end;
    return true;
}

// binarypeekstr(h, offset, maxsize): up to maxsize bytes, ending at the end of data or
// before the first zero byte.
void binarypeekstr_fn(Call& c) {
    BinBuf* b;
    int64_t from, to;
    if (!peek_range(c, b, &from, &to)) return;
    const uint8_t* p = b->data + from;
    size_t n = static_cast<size_t>(to - from);
    if (const void* z = std::memchr(p, 0, n)) n = static_cast<size_t>(static_cast<const uint8_t*>(z) - p);
    c.ret_str(std::string_view(reinterpret_cast<const char*>(p), n));
}

// binarypeekstrw(h, offset, maxsize [, byte-order]): maxsize counts bytes; the string ends
// at the end of data or before the first zero unit; an odd last byte is not read.
void binarypeekstrw_fn(Call& c) {
    BinBuf* b;
    int64_t from, to;
    if (!peek_range(c, b, &from, &to)) return;
    bool big = c.opt_integer(4, 0) == 1;
    size_t units = static_cast<size_t>(to - from) / 2;
    char16_t* out = ret_buf<char16_t>(c, units);
    if (!out) return;
    const uint8_t* p = b->data + from;
    size_t n = 0;
    for (; n < units; ++n, p += 2) {
        char16_t u = big ? static_cast<char16_t>(p[0] << 8 | p[1]) : static_cast<char16_t>(p[1] << 8 | p[0]);
        if (!u) break;
        out[n] = u;
    }
    out[n] = 0;
}

// ---- ranges

struct Range2 {
    BinBuf* a;
    BinBuf* b;
    int64_t off_a, off_b, count;
};

// Arguments (h1, offset1, h2, offset2, count), checked: handles, 1548 for a negative
// offset, 1549 for a negative count.
bool two_ranges(Call& c, Range2* r) {
    r->a = binbuf_arg(c, 1);
    if (!r->a) return false;
    r->b = binbuf_arg(c, 3);
    if (!r->b) return false;
    r->off_a = c.integer(2);
    r->off_b = c.integer(4);
    r->count = c.integer(5);
    if (r->off_a < 0 || r->off_b < 0) return c.fail(Err::BinBadOffset), false;
    if (r->count < 0) return c.fail(Err::BinBadCount), false;
    return true;
}

// binarycopy(target, target-offset, source, source-offset, count): bytes copied upward one
// at a time, so an overlapping copy to a higher offset repeats the leading bytes. The
// source's end of data is not consulted.
void binarycopy_fn(Call& c) {
    Range2 r;
    if (!two_ranges(c, &r)) return;
    BinBuf& t = *r.a;
    BinBuf& s = *r.b;
    if (r.off_a >= t.size || r.off_b >= s.size) return (void)c.fail(Err::CopyOffsetsBeyond);
    if (!binbuf_range_ok(r.off_a, r.count, t.size)) return (void)c.fail(Err::CopyWillNotFit);
    binbuf_raise_eod(t, r.off_a + r.count);
    if (!binbuf_range_ok(r.off_b, r.count, s.size)) return (void)c.fail(Err::CopyBeyondBuffer);
    uint8_t* dst = t.data + r.off_a;
    const uint8_t* src = s.data + r.off_b;
    size_t n = static_cast<size_t>(r.count);
    if (dst <= src || dst >= src + n) {
        std::memmove(dst, src, n);  // forward copy semantics: the same as byte by byte
    } else {
        // Byte by byte upward, each byte at distance d repeats the one d below it: the
        // first d source bytes repeat through the range, copied in doubling pieces.
        size_t d = static_cast<size_t>(dst - src);
        std::memcpy(dst, src, d);
        for (size_t done = d; done < n;) {
            size_t k = done < n - done ? done : n - done;
            std::memcpy(dst + done, dst, k);
            done += k;
        }
    }
    c.ret_int(static_cast<int32_t>(r.count));
}

// binarycompare(h1, offset1, h2, offset2, count): 1 if equal; a range past either end of
// data is 0 without an error.
void binarycompare_fn(Call& c) {
    Range2 r;
    if (!two_ranges(c, &r)) return;
    if (r.off_a >= r.a->size || r.off_b >= r.b->size) return (void)c.fail(Err::BinOffsetsBeyondBuffer);
    if (!binbuf_range_ok(r.off_a, r.count, r.a->size) || !binbuf_range_ok(r.off_b, r.count, r.b->size))
        return (void)c.fail(Err::BinCountBeyondBuffer);
    if (r.count == 0) return c.ret_int(1);
    if (!binbuf_range_ok(r.off_a, r.count, r.a->eod) || !binbuf_range_ok(r.off_b, r.count, r.b->eod))
        return c.ret_int(0);
    c.ret_int(std::memcmp(r.a->data + r.off_a, r.b->data + r.off_b, static_cast<size_t>(r.count)) == 0);
}

enum class BitOp { And, Or, Xor };

// binaryand/or/xor(target, target-offset, source, source-offset, count): 1.
template <BitOp Op>
void bitop_fn(Call& c) {
    Range2 r;
    if (!two_ranges(c, &r)) return;
    if (r.off_a >= r.a->size || r.off_b >= r.b->size) return (void)c.fail(Err::BinOffsetsBeyondBuffer);
    if (r.off_a >= r.a->eod || r.off_b >= r.b->eod) return (void)c.fail(Err::BinOffsetBeyondEod);
    if (!binbuf_range_ok(r.off_a, r.count, r.a->size) || !binbuf_range_ok(r.off_b, r.count, r.b->size))
        return (void)c.fail(Err::BinCountBeyondBuffer);
    if (!binbuf_range_ok(r.off_a, r.count, r.a->eod) || !binbuf_range_ok(r.off_b, r.count, r.b->eod))
        return (void)c.fail(Err::BinCountBeyondEod);
    uint8_t* dst = r.a->data + r.off_a;
    const uint8_t* src = r.b->data + r.off_b;
    // Byte by byte from the lowest offset, so an overlapping range within one buffer sees
    // the bytes already combined, as a plain loop would.
    for (int64_t i = 0; i < r.count; ++i) {
        if constexpr (Op == BitOp::And) dst[i] &= src[i];
        else if constexpr (Op == BitOp::Or) dst[i] |= src[i];
        else dst[i] ^= src[i];
    }
    c.ret_int(1);
}

// Every builtin in this file; each name must have a row in keywords.inc.
constexpr Builtin kBinBufBuiltins[] = {
    {"binaryalloc", binaryalloc_fn},
    {"binaryallocarray", binaryallocarray_fn},
    {"binaryand", bitop_fn<BitOp::And>},
    {"binarybufinfo", binarybufinfo_fn},
    {"binarycompare", binarycompare_fn},
    {"binarycopy", binarycopy_fn},
    {"binaryeodget", binaryeodget_fn},
    {"binaryeodset", binaryeodset_fn},
    {"binaryfree", binaryfree_fn},
    {"binaryincr", incr_fn<1>},
    {"binaryincr2", incr_fn<2>},
    {"binaryincr4", incr_fn<4>},
    {"binaryincrflt", binaryincrflt_fn},
    {"binaryoletype", binaryoletype_fn},
    {"binaryor", bitop_fn<BitOp::Or>},
    {"binarypeek", peek_fn<1>},
    {"binarypeek2", peek_fn<2>},
    {"binarypeek4", peek_fn<4>},
    {"binarypeek8", binarypeek8_fn},
    {"binarypeekflt", binarypeekflt_fn},
    {"binarypeekhex", binarypeekhex_fn},
    {"binarypeekstr", binarypeekstr_fn},
    {"binarypeekstrw", binarypeekstrw_fn},
    {"binarypoke", poke_fn<1>},
    {"binarypoke2", poke_fn<2>},
    {"binarypoke4", poke_fn<4>},
    {"binarypoke8", binarypoke8_fn},
    {"binarypokeflt", binarypokeflt_fn},
    {"binarypokehex", binarypokehex_fn},
    {"binarypokestr", binarypokestr_fn},
    {"binarypokestrw", binarypokestrw_fn},
    {"binaryxor", bitop_fn<BitOp::Xor>},
};

}  // namespace
KEL_BUILTIN_FAMILY(kBinBufBuiltins)

}  // namespace kel::lib
