// Platform layer: movable memory blocks behind 32-bit handles. Single-threaded by design
// (one request, one thread); the table is created on first use so that calls made from
// static constructors before main() are safe.
#include "platform/gmem.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "platform/errors.h"
#include "platform/internal.h"
#include "platform/vmem.h"

namespace kel::platform {

namespace {

// Low bits: slot index + 1 (never 0, so no handle is 0); high bits: generation.
constexpr uint32_t kSlotBits = 20;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
constexpr uint32_t kMaxSlots = kSlotMask - 1;
constexpr uint32_t kGenerationMask = (1u << (32 - kSlotBits)) - 1;
// A 32-bit process could never hand out a block this large; refusing it keeps sizes in
// the range every caller's arithmetic expects.
constexpr size_t kMaxBlock = size_t{1} << 31;

struct Slot {
    void* data = nullptr;
    size_t size = 0;
    uint32_t locks = 0;
    uint32_t generation = 0;
    bool live = false;
    size_t mapped = 0;  // non-zero: the bytes of a low mapping (vm_alloc_low) instead of malloc
    uint32_t shift = 0; // bytes between the allocator's pointer and `data`
};

// Large blocks come from their own mappings, so each would start at the same offset in its
// page; blocks used side by side (the variable tables of nested calls) would then compete
// for the same few cache sets. Each large block starts a different number of cache lines
// into its storage instead.
constexpr size_t kShiftFrom = 64 * 1024;
constexpr uint32_t kCacheLine = 64;
constexpr uint32_t kShiftSlots = 64;  // spread over one 4 KiB page

uint32_t next_shift(size_t bytes) {
    static uint32_t n = 0;
    if (bytes < kShiftFrom) return 0;
    return (n++ * 7 % kShiftSlots) * kCacheLine;
}

struct Table {
    std::vector<Slot> slots;
    // Freed slots are reused oldest first, so a slot's generation advances slowly and a
    // stale handle stays refused for as long as possible.
    std::deque<uint32_t> free_slots;
    size_t live = 0;
    int fail_next = 0;
};

// Never destroyed: blocks may be freed from static destructors. A plain pointer, zero
// before any constructor runs, instead of a guarded static: every lock and unlock asks
// for the table.
Table* g_table = nullptr;

[[gnu::noinline, gnu::cold]] Table& make_table() {
    g_table = new Table;
    return *g_table;
}

inline Table& table() { return g_table ? *g_table : make_table(); }

Slot* find(Handle h) {
    if (h == 0) return nullptr;
    uint32_t index = (h & kSlotMask);
    if (index == 0) return nullptr;
    Table& t = table();
    if (index - 1 >= t.slots.size()) return nullptr;
    Slot& s = t.slots[index - 1];
    if (!s.live || s.generation != (h >> kSlotBits)) return nullptr;
    return &s;
}

size_t page_round(size_t bytes) {
    size_t page = vm_page_size();
    return (bytes + page - 1) / page * page;
}

void release_data(Slot& s, size_t used = SIZE_MAX) {
    if (s.mapped) vm_free_low_used(s.data, s.mapped, used);
    else std::free(static_cast<char*>(s.data) - s.shift);
    s.data = nullptr;
    s.shift = 0;
    s.mapped = 0;
}

bool injected_failure() {
    Table& t = table();
    if (t.fail_next <= 0) return false;
    --t.fail_next;
    return true;
}

}  // namespace

// Puts already obtained storage into a free slot; frees it again when no slot is left.
static Handle adopt(void* p, size_t bytes, size_t mapped, uint32_t shift = 0) {
    Table& t = table();
    uint32_t index;
    if (!t.free_slots.empty()) {
        index = t.free_slots.front();
        t.free_slots.pop_front();
    } else {
        if (t.slots.size() >= kMaxSlots) {
            if (mapped) vm_free_low(p, mapped);
            else std::free(static_cast<char*>(p) - shift);
            set_last_error(8);
            return 0;
        }
        t.slots.emplace_back();
        index = static_cast<uint32_t>(t.slots.size() - 1);
    }
    Slot& s = t.slots[index];
    s.data = p;
    s.size = bytes;
    s.mapped = mapped;
    s.shift = shift;
    s.locks = 0;
    s.live = true;
    ++t.live;
    return (s.generation << kSlotBits) | (index + 1);
}

Handle gmem_alloc(size_t bytes, bool zeroed) {
    if (bytes > kMaxBlock || injected_failure()) {
        set_last_error(8);
        return 0;
    }
    // A zero-byte block still gets storage so that locking it yields a usable pointer.
    size_t real = bytes ? bytes : 1;
    uint32_t shift = next_shift(real);
    void* p = zeroed ? std::calloc(1, real + shift) : std::malloc(real + shift);
    if (!p) {
        set_last_error(8);
        return 0;
    }
    return adopt(static_cast<char*>(p) + shift, bytes, 0, shift);
}

Handle gmem_alloc_low(size_t bytes) {
    if (bytes > kMaxBlock || injected_failure()) {
        set_last_error(8);
        return 0;
    }
    size_t mapped = page_round(bytes ? bytes : 1);
    void* p = vm_alloc_low(mapped);  // fresh anonymous pages read as zero
    if (!p) return 0;
    return adopt(p, bytes, mapped);
}

void* gmem_lock(Handle h) {
    Slot* s = find(h);
    if (!s) {
        set_last_error(6);
        return nullptr;
    }
    if (s->locks != UINT32_MAX) ++s->locks;
    return s->data;
}

bool gmem_unlock(Handle h) {
    Slot* s = find(h);
    if (!s) {
        set_last_error(6);
        return false;
    }
    if (s->locks == 0) return false;
    --s->locks;
    return true;
}

Handle gmem_realloc(Handle h, size_t bytes, bool zeroed) {
    Slot* s = find(h);
    if (!s) {
        set_last_error(6);
        return 0;
    }
    // A locked block must not move: someone holds its address.
    if (s->locks != 0) {
        set_last_error(8);
        return 0;
    }
    if (bytes > kMaxBlock || injected_failure()) {
        set_last_error(8);
        return 0;
    }
    size_t real = bytes ? bytes : 1;
    if (s->mapped) {
        // Stays below 2 GiB: a new low mapping, the old contents copied over. New pages
        // read as zero, so growth is zero-filled whatever `zeroed` says.
        size_t mapped = page_round(real);
        if (mapped != s->mapped) {
            void* q = vm_alloc_low(mapped);
            if (!q) return 0;
            std::memcpy(q, s->data, s->size < bytes ? s->size : bytes);
            vm_free_low(s->data, s->mapped);
            s->data = q;
            s->mapped = mapped;
        } else if (bytes < s->size) {
            std::memset(static_cast<char*>(s->data) + bytes, 0, s->size - bytes);
        }
        s->size = bytes;
        return h;
    }
    // The shift stays: realloc keeps the bytes at the same distance from its pointer.
    void* raw = std::realloc(static_cast<char*>(s->data) - s->shift, real + s->shift);
    if (!raw) {
        set_last_error(8);
        return 0;
    }
    void* p = static_cast<char*>(raw) + s->shift;
    if (zeroed && bytes > s->size) std::memset(static_cast<char*>(p) + s->size, 0, bytes - s->size);
    s->data = p;
    s->size = bytes;
    return h;
}

bool gmem_free(Handle h) { return gmem_free_used(h, SIZE_MAX); }

bool gmem_free_used(Handle h, size_t used) {
    Slot* s = find(h);
    if (!s) {
        set_last_error(6);
        return false;
    }
    Table& t = table();
    release_data(*s, used);
    s->size = 0;
    s->locks = 0;
    s->live = false;
    s->generation = (s->generation + 1) & kGenerationMask;
    t.free_slots.push_back((h & kSlotMask) - 1);
    --t.live;
    return true;
}

size_t gmem_size(Handle h) {
    Slot* s = find(h);
    return s ? s->size : 0;
}

uint32_t gmem_lock_count(Handle h) {
    Slot* s = find(h);
    return s ? s->locks : 0;
}

size_t gmem_live_count() { return table().live; }

void gmem_fail_next(int n) { table().fail_next = n < 0 ? 0 : n; }

namespace detail {
// Blocks a request left behind go with it; handles then number as in a fresh process.
void reset_memory_blocks() {
    Table& t = table();
    for (Slot& s : t.slots)
        if (s.live) release_data(s);
    delete g_table;
    g_table = nullptr;
}
}  // namespace detail

}  // namespace kel::platform
