// The string heap. Layout: a 40-byte header (free-list head pseudo-block at 0 whose
// links sit at 8 and 12 like any free block's, the roving pointer at 24, the untouched
// mark at 28, an allocated tag at 36 acting as the footer of whatever precedes the first
// block), then blocks, then one allocated tag as end sentinel at `top`.
#include "interp/data/heap.h"

#include <cstring>
#include <string>

#include "interp/base/messages.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "platform/vmem.h"

namespace kel::interp {

namespace {

constexpr uint32_t kErrNotEnoughMemory = 8;
constexpr uint32_t kErrInvalidAddress = 487;

ArrayReleaseFn g_array_release = nullptr;

inline uint32_t rd(const Instance& inst, uint64_t off) {
    uint32_t v;
    std::memcpy(&v, inst.heap.base + off, 4);
    return v;
}
inline void wr(Instance& inst, uint64_t off, uint32_t v) { std::memcpy(inst.heap.base + off, &v, 4); }

inline uint32_t next_of(const Instance& inst, uint32_t b) { return rd(inst, b + 8); }
inline uint32_t prev_of(const Instance& inst, uint32_t b) { return rd(inst, b + 12); }
inline uint32_t rover(const Instance& inst) { return rd(inst, kHdrRover); }
inline void set_rover(Instance& inst, uint32_t b) {
    wr(inst, kHdrRover, b);
    inst.heap.rover = b;
}

inline void lower_untouched(Instance& inst, uint32_t off) {
    if (off < rd(inst, kHdrUntouched)) wr(inst, kHdrUntouched, off);
}

void write_free(Instance& inst, uint32_t b, uint32_t size) {
    wr(inst, b, kTagFree);
    wr(inst, b + 4, size);
    wr(inst, b + size - 8, size);
    wr(inst, b + size - 4, kTagFree);
}

void unlink(Instance& inst, uint32_t b) {
    uint32_t n = next_of(inst, b), p = prev_of(inst, b);
    wr(inst, p + 8, n);  // p == 0 is the list head, whose link sits at 8 too
    if (n) wr(inst, n + 12, p);
    if (rover(inst) == b) set_rover(inst, 0);
}

void insert_head(Instance& inst, uint32_t b) {
    uint32_t n = next_of(inst, 0);
    wr(inst, b + 8, n);
    wr(inst, b + 12, 0);
    if (n) wr(inst, n + 12, b);
    wr(inst, kHdrNext, b);
}

// A free block the walk may trust: inside the heap, tagged, sane size.
bool plausible_free(const Instance& inst, uint32_t b) {
    if (b < kHeapHeaderSize || (b & 3) || uint64_t{b} + kMinBlock > inst.heap.top) return false;
    if (rd(inst, b) != kTagFree) return false;
    uint32_t size = rd(inst, b + 4);
    return size >= kMinBlock && !(size & 3) && uint64_t{b} + size <= inst.heap.top &&
           rd(inst, b + size - 4) == kTagFree;
}

void corrupted(Err which) {
    std::string text(message_text(which)), caption(message_text(Err::DynallocError));
    platform::message_box(text.c_str(), caption.c_str(), 0);
}

uint64_t round_up(uint64_t v, uint64_t page) { return (v + page - 1) / page * page; }

// Commits more of the region and frees a new block of c + 32,756 bytes at the old top.
bool grow(Instance& inst, uint32_t c) {
    HeapState& h = inst.heap;
    uint64_t page = platform::vm_page_size();
    uint64_t want = round_up(h.committed + c + kGrowSlack, page);
    if (want > h.reserved) want = h.reserved / page * page;
    if (want <= h.committed) return false;
    if (!platform::vm_commit(h.base, want)) {
        uint32_t err = platform::last_error();
        if (err != kErrNotEnoughMemory && err != kErrInvalidAddress)
            platform::message_box(std::to_string(err).c_str(), "VMalloc error - VirtualAlloc failed", 0);
        return false;
    }
    h.committed = want;
    if (h.desc) {
        h.desc->committed = want;
        h.desc->region_base = h.base;
    }
    uint64_t blk = uint64_t{c} + kGrowSlack - 12;
    uint64_t room = (want - h.top - 4) & ~uint64_t{3};  // keep 4 bytes for the new sentinel
    if (blk > room) blk = room;
    if (blk < kMinBlock) return false;
    uint32_t b = h.top;
    wr(inst, b, kTagUsed);
    wr(inst, b + 4, static_cast<uint32_t>(blk));
    wr(inst, b + blk - 4, kTagUsed);
    h.top = static_cast<uint32_t>(b + blk);
    wr(inst, h.top, kTagUsed);
    heap_free(inst, b + kBlockOverhead);
    return true;
}

}  // namespace

uint64_t heap_untouched_to(const Instance& inst) { return inst.heap.base ? rd(inst, kHdrUntouched) : 0; }

uint32_t heap_block_size(uint64_t n) {
    if (n > 0xFFFFFF00u) return 0;
    uint64_t c = (n + 15) & ~uint64_t{3};
    return static_cast<uint32_t>(c < kMinBlock ? kMinBlock : c);
}

void heap_format(Instance& inst, uint8_t* base, uint64_t committed, uint64_t reserved,
                 HostInstanceRecord* desc) {
    HeapState& h = inst.heap;
    ++h.epoch;
    committed &= ~uint64_t{3};
    if (committed > 0xFFFFFF00u) committed = 0xFFFFFF00u;  // offsets are 32-bit
    if (reserved > 0xFFFFFF00u) reserved = 0xFFFFFF00u;
    h.base = base;
    h.desc = desc;
    h.committed = committed;
    h.reserved = reserved < committed ? committed : reserved;
    if (committed < kHeapHeaderSize + 16) {  // no room even for the header: nothing usable
        h.base = nullptr;
        h.top = 0;
        return;
    }
    std::memset(base, 0, kHeapHeaderSize);
    wr(inst, 0, kTagFree);
    wr(inst, 4, 0);
    wr(inst, 16, kTagUsed);
    wr(inst, 20, kTagUsed);
    wr(inst, kHdrFooter, kTagUsed);
    set_rover(inst, 0);
    uint32_t size = static_cast<uint32_t>(committed - 56);
    if (committed >= kHeapHeaderSize + 16 + kMinBlock) {
        write_free(inst, kHeapHeaderSize, size);
        wr(inst, kHeapHeaderSize + 8, 0);
        wr(inst, kHeapHeaderSize + 12, 0);
        wr(inst, kHdrNext, kHeapHeaderSize);
        h.top = static_cast<uint32_t>(committed - 16);
        wr(inst, kHdrUntouched, h.top - 8);  // the first block's footer
    } else {
        h.top = kHeapHeaderSize;
    }
    wr(inst, h.top, kTagUsed);
}

HeapOff heap_alloc(Instance& inst, uint64_t n) {
    if (!inst.heap.base) return 0;
    ++inst.heap.epoch;
    uint32_t c = heap_block_size(n);
    if (c == 0 || c > inst.heap.reserved) return 0;
    uint32_t cur = rover(inst);
    if (cur != 0 && !plausible_free(inst, cur)) cur = 0;
    int ends = 0;
    for (;;) {
        uint32_t b = next_of(inst, cur);
        if (b == 0) {
            if (++ends == 2) {
                if (!grow(inst, c)) return 0;
                ends = 0;
                cur = rover(inst);
                continue;
            }
            cur = 0;
            continue;
        }
        if (!plausible_free(inst, b)) {
            corrupted(Err::TagOverwrite1);
            return 0;
        }
        uint32_t size = rd(inst, b + 4);
        if (size >= c) {
            if (size - c >= kMinBlock) {
                // Carve from the end so the free block keeps its place in the list.
                uint32_t rest = size - c;
                lower_untouched(inst, b + rest - 8);
                wr(inst, b + 4, rest);
                wr(inst, b + rest - 8, rest);
                wr(inst, b + rest - 4, kTagFree);
                uint32_t a = b + rest;
                wr(inst, a, kTagUsed);
                wr(inst, a + 4, c);
                wr(inst, a + c - 4, kTagUsed);
                return a + kBlockOverhead;
            }
            lower_untouched(inst, b);
            unlink(inst, b);
            wr(inst, b, kTagUsed);
            wr(inst, b + size - 4, kTagUsed);
            return b + kBlockOverhead;
        }
        set_rover(inst, b);
        cur = b;
    }
}

void heap_free(Instance& inst, HeapOff off) {
    if (off == 0 || !inst.heap.base) return;
    ++inst.heap.epoch;
    const uint32_t top = inst.heap.top;
    // Everything is checked before anything is written, so a bad free leaves the heap as it was.
    if (off < kHeapHeaderSize + kBlockOverhead || (off & 3) || off >= top) return corrupted(Err::TagOverwrite1);
    uint32_t b = off - kBlockOverhead;
    if (rd(inst, b) != kTagUsed) return corrupted(Err::TagOverwrite1);  // freed twice, or not a block
    uint32_t size = rd(inst, b + 4);
    if (size < kMinBlock || (size & 3) || size > top - b || rd(inst, b + size - 4) != kTagUsed)
        return corrupted(Err::TagOverwrite2);
    uint32_t lower_tag = rd(inst, b - 4);
    uint32_t lb = 0, lsize = 0;
    if (lower_tag == kTagFree) {
        lsize = rd(inst, b - 8);
        if (lsize < kMinBlock || lsize > b - kHeapHeaderSize || !plausible_free(inst, b - lsize) ||
            rd(inst, b - lsize + 4) != lsize)
            return corrupted(Err::TagOverwrite1);
        lb = b - lsize;
    } else if (lower_tag != kTagUsed) {
        return corrupted(Err::TagOverwrite1);
    }
    uint32_t ub = b + size, usize = 0;
    uint32_t upper_tag = rd(inst, ub);
    if (upper_tag == kTagFree) {
        if (!plausible_free(inst, ub)) return corrupted(Err::TagOverwrite2);
        usize = rd(inst, ub + 4);
    } else if (upper_tag != kTagUsed) {
        return corrupted(Err::TagOverwrite2);
    }
    uint32_t start = b, total = size;
    if (lsize) {
        unlink(inst, lb);
        start = lb;
        total += lsize;
    }
    if (usize) {
        unlink(inst, ub);
        total += usize;
    }
    write_free(inst, start, total);
    insert_head(inst, start);
}

bool heap_check(const Instance& inst, uint32_t* free_blocks, uint64_t* free_bytes) {
    if (!inst.heap.base) return false;
    const uint32_t top = inst.heap.top;
    if (rd(inst, top) != kTagUsed || rd(inst, kHdrFooter) != kTagUsed) return false;
    uint32_t nfree = 0;
    uint64_t bytes = 0;
    bool prev_free = false;
    for (uint32_t b = kHeapHeaderSize; b < top;) {
        uint32_t tag = rd(inst, b), size = rd(inst, b + 4);
        if ((tag != kTagUsed && tag != kTagFree) || size < kMinBlock || (size & 3) || size > top - b) return false;
        if (rd(inst, b + size - 4) != tag) return false;
        if (tag == kTagFree) {
            if (prev_free || rd(inst, b + size - 8) != size) return false;  // must have been coalesced
            ++nfree;
            bytes += size;
        }
        prev_free = tag == kTagFree;
        b += size;
        if (b == top) break;
        if (b > top) return false;
    }
    uint32_t listed = 0, prev = 0;
    for (uint32_t b = next_of(inst, 0); b != 0; b = next_of(inst, b)) {
        if (!plausible_free(inst, b) || prev_of(inst, b) != prev || ++listed > nfree) return false;
        prev = b;
    }
    if (listed != nfree) return false;
    if (free_blocks) *free_blocks = nfree;
    if (free_bytes) *free_bytes = bytes;
    return true;
}

HeapOff heap_strdup(Instance& inst, std::string_view s) {
    HeapOff off = heap_alloc(inst, uint64_t{s.size()} + 1);
    if (!off) return 0;
    char* p = heap_ptr(inst, off);
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return off;
}

namespace {
// 3096 "Memory allocation failure.  Out of memory for strings" for an allocation that failed.
HeapOff or_fail(Instance& inst, HeapOff off) {
    if (!off) inst.fail(Err::OutOfStringMemory);
    return off;
}
}  // namespace

HeapOff heap_alloc_or_fail(Instance& inst, uint64_t size) { return or_fail(inst, heap_alloc(inst, size)); }
HeapOff heap_strdup_or_fail(Instance& inst, std::string_view s) { return or_fail(inst, heap_strdup(inst, s)); }
HeapOff heap_wstrdup_or_fail(Instance& inst, std::u16string_view s) { return or_fail(inst, heap_wstrdup(inst, s)); }

HeapOff heap_wstrdup(Instance& inst, std::u16string_view s) {
    uint64_t bytes = (uint64_t{s.size()} + 1) * 2;
    HeapOff off = heap_alloc(inst, bytes);
    if (!off) return 0;
    char* p = heap_ptr(inst, off);
    if (!s.empty()) std::memcpy(p, s.data(), s.size() * 2);
    std::memset(p + s.size() * 2, 0, 2);
    return off;
}

void set_array_release_hook(ArrayReleaseFn fn) { g_array_release = fn; }

void release_value_owned(Instance& inst, ValueCore& v, bool keep_array) {
    if (v.flags & kVtArray) {
        if (!keep_array && g_array_release && v.str) g_array_release(inst, v.str);
    } else if ((v.flags & kVtStr) && v.str) {
        heap_free(inst, v.str);
    }
    if ((v.flags & kVtWide) && v.wstr) heap_free(inst, v.wstr);
    v.str = 0;
    v.wstr = 0;
    std::memset(v.variant, 0, sizeof v.variant);
    v.flags &= ~(kVtStr | kVtWide | kVtArray | kVtVariant);
}

}  // namespace kel::interp
