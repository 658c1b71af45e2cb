// Array blocks: creation, subscripts, element copies, sharing and reshaping. The map's hash
// table lives in interp/data/map.cpp; the script functions in lib/arrays.cpp.
#include "interp/data/array.h"

#include <cstdio>
#include <cstring>

#include "interp/data/convert.h"
#include "interp/data/heap.h"
#include "interp/data/map.h"
#include "interp/base/messages.h"
#include "platform/fileio.h"
#include "platform/gmem.h"
#include "platform/process.h"

namespace kel::interp {

namespace {

using platform::gmem_alloc;
using platform::gmem_free;
using platform::gmem_lock;
using platform::gmem_unlock;

void* block_ptr(Handle h) {
    // Neither block is ever reallocated, so the address stays valid after the unlock; the
    // lock/unlock pair only validates the handle.
    void* p = gmem_lock(h);
    if (p) gmem_unlock(h);
    return p;
}

// Validates sizes as creation does and returns the element count, or -1 after raising
// the error. `used` receives the dimension count.
int64_t checked_count(Instance& inst, const int32_t dims[kMaxDims], int given, int* used) {
    int32_t d[kMaxDims] = {};
    for (int i = 0; i < kMaxDims && i < given; ++i) d[i] = dims[i];
    for (int i = 0; i < kMaxDims; ++i)
        if (d[i] < 0) {
            inst.fail(Err::BadDimension);
            return -1;
        }
    int n = 0;
    while (n < kMaxDims && d[n] != 0) ++n;
    for (int i = n; i < kMaxDims; ++i)
        if (d[i] != 0) {
            inst.fail(Err::ZeroDimensionFirst);
            return -1;
        }
    // Each factor is below 2^31 and the running product is cut off at the byte limit
    // first, so the 64-bit product never overflows.
    uint64_t count = n ? 1 : 0;
    for (int i = 0; i < n; ++i) {
        count *= static_cast<uint64_t>(d[i]);
        if (count * kElementSize + kArrayHeaderBytes >= kArrayByteLimit) {
            inst.fail(Err::ArrayTooLarge);
            return -1;
        }
    }
    *used = n;
    return static_cast<int64_t>(count);
}

uint64_t spare_for(uint64_t count) {
    uint64_t extra = count < 186 ? 185 : 371;
    return (count + extra) * kElementSize + kArrayHeaderBytes < kArrayByteLimit ? extra : 0;
}

// A zeroed element block for `slots` elements; 0 with 1631 raised on failure.
Handle alloc_elements(Instance& inst, uint64_t slots) {
    if (slots == 0) return 0;
    Handle h = gmem_alloc(static_cast<size_t>(slots * kElementSize), true);
    if (!h) inst.fail(Err::ArrayAllocFailed);
    return h;
}

void release_elements(Instance& inst, ArrayHeader* h) {
    ValueCore* e = h->elements ? static_cast<ValueCore*>(block_ptr(h->elements)) : nullptr;
    if (e)
        for (int32_t i = 0; i < h->count; ++i) clear_element(inst, e[i]);
}

// Row-major subscripts of linear index `idx` for the shape `dims` (n dimensions).
void subscripts_of(int64_t idx, const int32_t* dims, int n, int32_t* subs) {
    for (int k = n - 1; k >= 0; --k) {
        subs[k] = static_cast<int32_t>(idx % dims[k]);
        idx /= dims[k];
    }
}

int64_t linear_of(const int32_t* subs, const int32_t* dims, int n) {
    int64_t idx = 0;
    for (int k = 0; k < n; ++k) idx = idx * dims[k] + subs[k];
    return idx;
}

// Swaps in a new element block and shape; the old block (already emptied) is freed.
void install_storage(ArrayHeader* h, Handle elems, const int32_t* dims, int n, int64_t count, int64_t capacity) {
    if (h->elements) gmem_free(h->elements);
    h->elements = elems;
    for (int i = 0; i < kMaxDims; ++i) h->dims[i] = i < n ? dims[i] : 0;
    h->dim_count = static_cast<uint8_t>(n);
    h->count = static_cast<int32_t>(count);
    h->capacity = static_cast<int32_t>(capacity);
    h->elem_bytes = static_cast<int32_t>(capacity * kElementSize);
}

}  // namespace

int32_t array_create(Instance& inst, ValueCore& out, const int32_t dims[kMaxDims], uint8_t flags, int given) {
    int n = 0;
    int64_t count = checked_count(inst, dims, given, &n);
    if (count < 0) return -1;
    uint64_t capacity = static_cast<uint64_t>(count);
    if ((flags & kArrGrows) && n == 1) capacity += spare_for(capacity);
    Handle hh = gmem_alloc(sizeof(ArrayHeader), true);
    if (!hh) {
        inst.fail(Err::ArrayAllocFailed);
        return -1;
    }
    Handle eh = alloc_elements(inst, capacity);
    if (capacity && !eh) {
        gmem_free(hh);
        return -1;
    }
    auto* h = static_cast<ArrayHeader*>(block_ptr(hh));
    install_storage(h, eh, dims, n, count, static_cast<int64_t>(capacity));
    h->flags = static_cast<uint8_t>(n == 1 ? (flags & kArrGrows) : 0);
    h->magic = kArrayMagic;
    h->refs = 1;
    h->stamp = platform::perf_counter_ns();
    std::memset(&out, 0, sizeof out);
    out.flags = kVtArray;
    out.str = hh;
    array_install_release_hook();
    return count > 0 ? 1 : 0;
}

ArrayHeader* array_header(uint32_t handle) {
    if (!handle || platform::gmem_size(handle) != sizeof(ArrayHeader)) return nullptr;
    auto* h = static_cast<ArrayHeader*>(block_ptr(handle));
    return h && h->magic == kArrayMagic ? h : nullptr;
}

ValueCore* array_elements(uint32_t handle) {
    ArrayHeader* h = array_header(handle);
    if (!h || (h->flags & kArrIsMap) || !h->elements) return nullptr;
    return static_cast<ValueCore*>(block_ptr(h->elements));
}

void array_addref(uint32_t handle) {
    if (ArrayHeader* h = array_header(handle))
        if (h->refs != UINT32_MAX) ++h->refs;
}

uint32_t array_refs(uint32_t handle) {
    ArrayHeader* h = array_header(handle);
    return h ? h->refs : 0;
}

void array_release(Instance& inst, uint32_t handle) {
    ArrayHeader* h = array_header(handle);
    if (!h || h->refs == 0) return;
    if (--h->refs != 0) return;
    if (h->flags & kArrIsMap) {
        map_destroy(inst, h);
    } else {
        release_elements(inst, h);
        if (h->elements) gmem_free(h->elements);
    }
    h->elements = 0;
    h->magic = 0;
    gmem_free(handle);
}

void array_install_release_hook() {
    static bool installed = false;
    if (installed) return;
    set_array_release_hook(&array_release);
    installed = true;
}

bool array_lock(uint32_t handle) { return array_header(handle) && gmem_lock(handle) != nullptr; }

void array_unlock(uint32_t handle) {
    if (array_header(handle)) gmem_unlock(handle);
}

ArrayHeader* array_of(Instance& inst, const ValueCore& v) {
    if (!(v.flags & kVtArray)) {
        inst.fail(Err::NotAnArray);
        return nullptr;
    }
    ArrayHeader* h = array_header(v.str);
    if (!h || (h->flags & kArrIsMap)) {
        inst.fail(Err::ArrayAccessError);
        return nullptr;
    }
    return h;
}

int64_t array_index(Instance& inst, uint32_t handle, const int32_t* subs, int n) {
    ArrayHeader* h = array_header(handle);
    if (!h || (h->flags & kArrIsMap)) {
        inst.fail(Err::ArrayAccessError);
        return -1;
    }
    if (n != h->dim_count) {
        inst.fail(Err::WrongDimensionCount);
        return -1;
    }
    for (int k = 0; k < n; ++k)
        if (subs[k] < 0 || subs[k] >= h->dims[k]) {
            inst.fail(Err::SubscriptOutOfBounds);
            return -1;
        }
    int64_t idx = linear_of(subs, h->dims, n);
    if (idx >= h->count) {
        inst.fail(Err::SubscriptOutOfBounds);
        return -1;
    }
    return idx;
}

bool copy_value_core(Instance& inst, const ValueCore& src, ValueCore& dst) {
    if (src.flags & kVtArray) {
        inst.fail(Err::EmbeddedArray);
        return false;
    }
    HeapOff s = 0, w = 0;
    if ((src.flags & kVtStr) && src.str) {
        const char* p = heap_str(inst, src.str);
        s = heap_strdup_or_fail(inst, std::string_view(p, std::strlen(p)));
        if (!s) return false;
    }
    if ((src.flags & kVtWide) && src.wstr) {
        auto p = reinterpret_cast<const char16_t*>(heap_ptr(inst, src.wstr));
        w = heap_wstrdup_or_fail(inst, std::u16string_view(p));
        if (!w) {
            if (s) heap_free(inst, s);
            return false;
        }
    }
    std::memcpy(&dst, &src, sizeof dst);
    dst.str = (src.flags & kVtStr) ? s : 0;
    dst.wstr = (src.flags & kVtWide) ? w : 0;
    return true;
}

void clear_element(Instance& inst, ValueCore& e) {
    if ((e.flags & kVtStr) && e.str) heap_free(inst, e.str);
    if ((e.flags & kVtWide) && e.wstr) heap_free(inst, e.wstr);
    std::memset(&e, 0, sizeof e);
}

bool array_fetch(Instance& inst, uint32_t handle, int64_t index, ValueCore& out) {
    ArrayHeader* h = array_header(handle);
    ValueCore* e = array_elements(handle);
    if (!h || !e || index < 0 || index >= h->count) {
        inst.fail(Err::SubscriptOutOfBounds);
        return false;
    }
    if (e[index].flags == 0) {
        inst.fail(Err::UninitializedElement);
        return false;
    }
    ValueCore copy;
    if (!copy_value_core(inst, e[index], copy)) return false;
    release_value(inst, out);
    out = copy;
    return true;
}

bool array_store(Instance& inst, uint32_t handle, int64_t index, const ValueCore& v) {
    ArrayHeader* h = array_header(handle);
    ValueCore* e = array_elements(handle);
    if (!h || !e || index < 0 || index >= h->count) {
        inst.fail(Err::SubscriptOutOfBounds);
        return false;
    }
    ValueCore copy;
    if (!copy_value_core(inst, v, copy)) return false;
    clear_element(inst, e[index]);
    e[index] = copy;
    return true;
}

uint32_t array_element_flags(uint32_t handle, int64_t index) {
    ArrayHeader* h = array_header(handle);
    ValueCore* e = array_elements(handle);
    if (!h || !e || index < 0 || index >= h->count) return 0;
    return e[index].flags;
}

bool array_redim(Instance& inst, uint32_t handle, const int32_t dims[kMaxDims], int ndims) {
    ArrayHeader* h = array_header(handle);
    if (!h || (h->flags & kArrIsMap)) {
        inst.fail(Err::ArrayAccessError);
        return false;
    }
    int n = 0;
    int64_t count = checked_count(inst, dims, ndims, &n);
    if (count < 0) return false;
    int32_t nd[kMaxDims] = {};
    for (int i = 0; i < n; ++i) nd[i] = dims[i];

    if (n == 1 && h->dim_count == 1 && (h->flags & kArrGrows) && count >= h->count && count <= h->capacity) {
        // New slots past the old count were zeroed at allocation or cleared on shrinking.
        h->dims[0] = nd[0];
        h->count = static_cast<int32_t>(count);
        return true;
    }
    uint64_t capacity = static_cast<uint64_t>(count);
    bool grows = n == 1 && (h->flags & kArrGrows);
    if (grows) capacity += spare_for(capacity);
    Handle eh = alloc_elements(inst, capacity);
    if (capacity && !eh) return false;
    ValueCore* ne = eh ? static_cast<ValueCore*>(block_ptr(eh)) : nullptr;
    ValueCore* oe = h->elements ? static_cast<ValueCore*>(block_ptr(h->elements)) : nullptr;
    int32_t subs[kMaxDims];
    for (int64_t i = 0; oe && i < h->count; ++i) {
        if (oe[i].flags == 0) continue;
        subscripts_of(i, h->dims, h->dim_count, subs);
        bool keep = h->dim_count == n && ne;
        for (int k = 0; keep && k < n; ++k) keep = subs[k] < nd[k];
        if (keep) {
            ne[linear_of(subs, nd, n)] = oe[i];
            std::memset(&oe[i], 0, sizeof oe[i]);
        } else {
            clear_element(inst, oe[i]);
        }
    }
    install_storage(h, eh, nd, n, count, static_cast<int64_t>(capacity));
    h->flags = static_cast<uint8_t>((h->flags & ~kArrGrows) | (grows ? kArrGrows : 0));
    return true;
}

bool array_splice(Instance& inst, uint32_t handle, int dim, int32_t at, int32_t count, const ValueCore* fill) {
    ArrayHeader* h = array_header(handle);
    if (!h || (h->flags & kArrIsMap)) {
        inst.fail(Err::ArrayAccessError);
        return false;
    }
    int n = h->dim_count;
    if (dim < 0 || dim >= n || count == 0) return true;
    int32_t nd[kMaxDims] = {};
    for (int i = 0; i < n; ++i) nd[i] = h->dims[i];
    int64_t size = static_cast<int64_t>(nd[dim]) + count;
    if (size < 0 || size > INT32_MAX) {
        inst.fail(size < 0 ? Err::SubscriptOutOfBounds : Err::ArrayTooLarge);
        return false;
    }
    nd[dim] = static_cast<int32_t>(size);
    uint64_t total = 1;
    for (int i = 0; i < n; ++i) {
        total *= static_cast<uint64_t>(nd[i]);
        if (total * kElementSize + kArrayHeaderBytes >= kArrayByteLimit) {
            inst.fail(Err::ArrayTooLarge);
            return false;
        }
    }
    Handle eh = alloc_elements(inst, total);
    if (total && !eh) return false;
    ValueCore* ne = eh ? static_cast<ValueCore*>(block_ptr(eh)) : nullptr;
    // Fill copies first: a failure then leaves the array untouched.
    if (count > 0 && fill && (fill->flags != 0)) {
        int32_t subs[kMaxDims];
        for (uint64_t i = 0; i < total; ++i) {
            subscripts_of(static_cast<int64_t>(i), nd, n, subs);
            if (subs[dim] < at || subs[dim] >= at + count) continue;
            if (!copy_value_core(inst, *fill, ne[i])) {
                for (uint64_t j = 0; j < i; ++j) clear_element(inst, ne[j]);
                gmem_free(eh);
                return false;
            }
        }
    }
    ValueCore* oe = h->elements ? static_cast<ValueCore*>(block_ptr(h->elements)) : nullptr;
    int32_t subs[kMaxDims];
    for (int64_t i = 0; oe && i < h->count; ++i) {
        subscripts_of(i, h->dims, n, subs);
        int32_t s = subs[dim];
        if (count < 0 && s >= at && s < at - count) {
            clear_element(inst, oe[i]);
            continue;
        }
        if (s >= at) subs[dim] = s + count;
        if (ne) ne[linear_of(subs, nd, n)] = oe[i];
    }
    install_storage(h, eh, nd, n, static_cast<int64_t>(total), static_cast<int64_t>(total));
    return true;
}

}  // namespace kel::interp

KEL_EXPORT int32_t CreateMyArray(void* instance, kel::interp::ValueCore* out, int32_t d1, int32_t d2, int32_t d3,
                                 int32_t d4, int32_t d5, uint8_t flags, int32_t given) {
    kel::interp::Instance* inst = kel::interp::instance_from_block(instance);
    if (!inst || !out) return -1;
    const int32_t dims[kel::interp::kMaxDims] = {d1, d2, d3, d4, d5};
    int n = given < 0 ? 0 : (given > kel::interp::kMaxDims ? kel::interp::kMaxDims : given);
    return kel::interp::array_create(*inst, *out, dims, flags, n);
}

namespace kel::interp {

bool read_file_lines(Instance& inst, std::string_view path, bool nul_error, std::string_view nul_repl,
                     std::vector<std::string>* lines) {
    lines->clear();
    std::string resolved = platform::resolve_path(path);
    // One read: a file that grows between passes (another request appending) cannot
    // overrun what was counted, because both passes parse this one copy.
    platform::File f = platform::file_open(resolved.c_str(), platform::Open::Read);
    if (!f.valid()) {
        inst.fail(Err::FileOpenError);
        return false;
    }
    std::string data;
    char buf[65536];
    for (;;) {
        int64_t got = platform::file_read(f, buf, sizeof buf);
        if (got < 0) {
            platform::file_close(f);
            inst.fail(Err::FileReadError);
            return false;
        }
        if (got == 0) break;
        data.append(buf, static_cast<size_t>(got));
    }
    platform::file_close(f);
    std::string line;
    size_t i = 0, n = data.size();
    while (i < n) {
        size_t end = data.find('\n', i);
        if (end == std::string::npos) end = n;
        line.clear();
        for (size_t k = i; k < end; ++k) {
            char ch = data[k];
            if (ch == '\r') continue;
            if (ch == '\0') {
                if (nul_error) {
                    inst.fail(Err::FileHasNul);
                    return false;
                }
                line.append(nul_repl);
                continue;
            }
            line.push_back(ch);
        }
        if (line.size() > kMaxFileLine) {
            inst.fail(Err::LineTooLong).info(fill_message(Err::InfoBadDataLine, static_cast<long long>(lines->size() + 1)));
            return false;
        }
        lines->push_back(line);
        i = end + 1;
    }
    return true;
}

bool write_file_replacing(Instance& inst, std::string_view path, std::string_view data) {
    std::string target = platform::resolve_path(path);
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".~kel%llx.tmp", static_cast<unsigned long long>(platform::perf_counter_ns()));
    std::string tmp = target + suffix;
    platform::File f = platform::file_open(tmp.c_str(), platform::Open::WriteTruncate);
    if (!f.valid()) {
        inst.fail(Err::FileOpenError);
        return false;
    }
    bool ok = data.empty() || platform::file_write(f, data.data(), data.size());
    ok = platform::file_close(f) && ok;
    if (!ok || !platform::file_move(tmp.c_str(), target.c_str())) {
        platform::file_delete(tmp.c_str());
        inst.fail(Err::FileWriteError);
        return false;
    }
    return true;
}

std::string_view line_terminator(const Instance& inst) {
    switch (inst.file_line_term) {
        case 0: return "";
        case 2: return "\n";
        case 3: return "\r";
        case 4: return "\t";
        default: return "\r\n";
    }
}

bool value_text(Instance& inst, const ValueCore& v, std::string* out) {
    if (v.flags & kVtArray) return false;
    if (v.flags & kVtStr) {
        out->assign(heap_str(inst, v.str));
        return true;
    }
    if (v.flags & kVtWide) {
        *out = wide_to_ansi(value_wide(inst, v));
        return true;
    }
    if (v.flags & kVtInt) {
        *out = format_int(v.i);
        return true;
    }
    if (v.flags & kVtFloat) return float_to_text(inst, v.f, *out);
    return false;
}

}  // namespace kel::interp
