// The string heap: boundary-tagged blocks in the host's region, next-fit with a roving
// pointer, immediate coalescing, growth by committing more of the reservation.
#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>

#include "interp/base/instance.h"

namespace kel::interp {

constexpr uint32_t kTagUsed = 0x38373635;  // "5678"
constexpr uint32_t kTagFree = 0x54535251;  // "QRST"
constexpr uint32_t kHeapHeaderSize = 40;
constexpr uint32_t kMinBlock = 28;
constexpr uint32_t kBlockOverhead = 8;     // tag and size before the payload
constexpr uint64_t kGrowSlack = 32768;

// Header words.
constexpr uint32_t kHdrNext = 8;
constexpr uint32_t kHdrPrev = 12;
constexpr uint32_t kHdrRover = 24;
// Blocks are carved from the top end of the first free block: between the first block's
// header and the offset kept here nothing was written since the heap was formatted.
constexpr uint32_t kHdrUntouched = 28;
constexpr uint32_t kHdrFooter = 36;

// Block size for a request of n bytes: (n + 15) rounded down to a multiple of 4, at
// least 28. 0 when n cannot be served by any reservation (a 32-bit size field).
uint32_t heap_block_size(uint64_t n);

// Formats `committed` bytes at `base` as an empty heap (phase 3).
void heap_format(Instance& inst, uint8_t* base, uint64_t committed, uint64_t reserved,
                 HostInstanceRecord* desc);
// [from, to) of the region that nothing wrote since heap_format (from > to: none).
inline uint64_t heap_untouched_from() { return kHeapHeaderSize + 16; }
uint64_t heap_untouched_to(const Instance& inst);
// Offset of n usable bytes, or 0 when the heap cannot grow. Callers raise 3096.
HeapOff heap_alloc(Instance& inst, uint64_t n);
// Returns the block holding the payload at `off`; 0 is ignored. A corrupted boundary
// tag shows the 845 box and frees nothing.
void heap_free(Instance& inst, HeapOff off);

// Walks every block from the header to the sentinel and the free list; false when a tag,
// size or link is inconsistent. For tests and dumps, not for the hot path.
bool heap_check(const Instance& inst, uint32_t* free_blocks = nullptr, uint64_t* free_bytes = nullptr);

inline char* heap_ptr(const Instance& inst, HeapOff off) {
    return off ? reinterpret_cast<char*>(inst.heap.base + off) : nullptr;
}
// The string at `off`, or "" for 0.
inline const char* heap_str(const Instance& inst, HeapOff off) {
    return off ? reinterpret_cast<const char*>(inst.heap.base + off) : "";
}
// A NUL-terminated copy of `s` on the heap; 0 when out of memory (no error set).
HeapOff heap_strdup(Instance& inst, std::string_view s);
// As heap_strdup, raising 3096 on failure.
HeapOff heap_strdup_or_fail(Instance& inst, std::string_view s);
// A NUL-terminated UTF-16 copy on the heap; 0 when out of memory.
HeapOff heap_wstrdup(Instance& inst, std::u16string_view s);
// As heap_wstrdup, raising 3096 on failure.
HeapOff heap_wstrdup_or_fail(Instance& inst, std::u16string_view s);
// As heap_alloc, raising 3096 "Memory allocation failure.  Out of memory for strings" on
// failure: the one place the string allocations of expressions raise it.
HeapOff heap_alloc_or_fail(Instance& inst, uint64_t size);

// Array handles belong to the array family; it installs the routine that frees one.
using ArrayReleaseFn = void (*)(Instance& inst, uint32_t handle);
void set_array_release_hook(ArrayReleaseFn fn);

// Frees the value's strings, its array (unless `keep_array`) and its variant, and clears
// those flags.
void release_value_owned(Instance& inst, ValueCore& v, bool keep_array);
// Most values released hold only numbers: those are cleared here without a call.
inline void release_value(Instance& inst, ValueCore& v, bool keep_array = false) {
    if (v.flags & (kVtStr | kVtWide | kVtArray | kVtVariant)) {
        release_value_owned(inst, v, keep_array);
        return;
    }
    v.str = 0;
    v.wstr = 0;
    std::memset(v.variant, 0, sizeof v.variant);
}

}  // namespace kel::interp
