// Platform layer: reserved and committed address space for the interpreter's string heap.
// The heap itself (blocks, sentinels, growth policy) lives in the interpreter.
#include "platform/vmem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/internal.h"

namespace kel::platform {

namespace {
size_t g_reserve_limit = 0;

struct Reservation {
    char* base;
    size_t size;
    size_t dirty = 0;  // bytes from `base` that were committed since they were last cleared
    size_t rw = 0;     // kept pages: bytes from `base` left writable by an earlier commit
};

// Few regions ever exist (one per interpreter instance), so a vector is enough.
std::vector<Reservation>& reservations() {
    static auto* r = new std::vector<Reservation>;
    return *r;
}

// A reused worker keeps the pages of released regions and low blocks for the next
// request, zeroed, instead of unmapping them: fresh pages cost a fault each on first
// touch, many times what clearing the few a request used costs.
bool g_keep_pages = false;
constexpr size_t kMaxKept = 8;             // mappings kept of each kind
constexpr size_t kMaxKeptLow = 64u << 20;  // a larger low block is unmapped as before
std::vector<Reservation>& kept_regions() {
    static auto* r = new std::vector<Reservation>;
    return *r;
}
std::vector<Reservation>& kept_low() {
    static auto* r = new std::vector<Reservation>;
    return *r;
}

// A kept mapping this small is cleared whole: one memset of it costs less than asking the
// kernel which of its pages are in memory (on a virtualised 2-core machine: 64 KiB ~1 us,
// 256 KiB ~2.3 us, one mincore ~2 us plus the clearing). Its untouched pages fault in once,
// on the worker's first clearing, and stay: the mapping is kept, never dropped.
constexpr size_t kClearWhole = 192u << 10;

// Clears [base, base + len), writable, for the next request. A larger range is cleared
// only where its pages are in memory: pages never touched read as zero already, and
// clearing them would only fault them in.
bool zero_resident(char* base, size_t len) {
    if (len <= kClearWhole) {
        std::memset(base, 0, len);
        return true;
    }
    size_t page = vm_page_size();
    size_t pages = (len + page - 1) / page;
    std::vector<unsigned char> in(pages);
    if (mincore(base, len, in.data()) != 0) return false;
    for (size_t i = 0; i < pages; ++i) {
        if (!(in[i] & 1)) continue;
        size_t j = i;
        while (j < pages && (in[j] & 1)) ++j;
        size_t end = j * page < len ? j * page : len;
        std::memset(base + i * page, 0, end - i * page);
        i = j;
    }
    return true;
}

// As zero_resident, where [zero_from, zero_to) reads zero already (its owner never wrote
// it): what lies outside it is cleared, exactly in a range cleared whole, else by pages.
bool zero_resident_except(char* base, size_t len, size_t zero_from, size_t zero_to) {
    if (zero_to > len) zero_to = len;
    if (len <= kClearWhole && zero_from < zero_to) {
        std::memset(base, 0, zero_from);
        std::memset(base + zero_to, 0, len - zero_to);
        return true;
    }
    size_t page = vm_page_size();
    size_t from = zero_from > SIZE_MAX - page ? SIZE_MAX : (zero_from + page - 1) / page * page;
    size_t to = (zero_to < len ? zero_to : len) / page * page;
    if (from >= to) return zero_resident(base, len);
    return zero_resident(base, from) && (to >= len || zero_resident(base + to, len - to));
}

// A kept mapping of exactly `bytes` (base nullptr when there is none).
Reservation take_kept(std::vector<Reservation>& kept, size_t bytes) {
    for (size_t i = 0; i < kept.size(); ++i) {
        if (kept[i].size != bytes) continue;
        Reservation r = kept[i];
        kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
        return r;
    }
    return Reservation{nullptr, 0};
}

// The reservation holding [p, p + len), or nullptr: commits never reach past it.
Reservation* covering(void* p, size_t len) {
    char* c = static_cast<char*>(p);
    for (Reservation& r : reservations())
        if (c >= r.base && c < r.base + r.size && len <= static_cast<size_t>(r.base + r.size - c)) return &r;
    return nullptr;
}

bool page_range(void* base, size_t bytes, size_t* rounded) {
    size_t page = vm_page_size();
    if (!base || reinterpret_cast<uintptr_t>(base) % page != 0) {
        set_last_error(487);
        return false;
    }
    if (bytes > SIZE_MAX - page) {
        set_last_error(87);
        return false;
    }
    *rounded = (bytes + page - 1) / page * page;
    return true;
}
}  // namespace

size_t vm_page_size() {
    static size_t page = [] {
        long p = sysconf(_SC_PAGESIZE);
        return p > 0 ? static_cast<size_t>(p) : size_t{4096};
    }();
    return page;
}

void* vm_reserve(size_t bytes) {
    if (bytes == 0 || (g_reserve_limit != 0 && bytes > g_reserve_limit)) {
        set_last_error(8);
        return nullptr;
    }
    size_t page = vm_page_size();
    size_t size = (bytes + page - 1) / page * page;
    Reservation kept = take_kept(kept_regions(), size);
    if (kept.base) {
        reservations().push_back(kept);
        return kept.base;
    }
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        set_last_error(error_from_errno(errno));
        return nullptr;
    }
    reservations().push_back({static_cast<char*>(p), size});
    return p;
}

bool vm_commit(void* base, size_t bytes) {
    size_t len;
    if (!page_range(base, bytes, &len)) return false;
    if (len == 0) return true;
    Reservation* r = covering(base, len);
    if (!r) {
        set_last_error(487);
        return false;
    }
    // Changing a mapping's protection splits it and flushes the TLB: a kept region's
    // pages stay writable from one request to the next, so a commit they cover is free.
    bool from_base = static_cast<char*>(base) == r->base;
    if (!(from_base && len <= r->rw) && mprotect(base, len, PROT_READ | PROT_WRITE) != 0) {
        set_last_error(error_from_errno(errno));
        return false;
    }
    if (g_keep_pages && from_base && len > r->rw) r->rw = len;
    size_t end = static_cast<size_t>(static_cast<char*>(base) - r->base) + len;
    if (end > r->dirty) r->dirty = end;
    return true;
}

bool vm_decommit(void* base, size_t bytes) { return vm_decommit_except(base, bytes, 0, 0); }

bool vm_decommit_except(void* base, size_t bytes, size_t zero_from, size_t zero_to) {
    size_t len;
    if (!page_range(base, bytes, &len)) return false;
    if (len == 0) return true;
    Reservation* r = covering(base, len);
    if (!r) {
        set_last_error(487);
        return false;
    }
    bool from_base = static_cast<char*>(base) == r->base;
    // A later commit sees zeroes, as a fresh commit does: the pages are dropped, or kept
    // cleared. A kept region's writable pages stay so (the next request commits them
    // again); clearing other pages needs write access, which a range committed only in
    // part lacks.
    if (g_keep_pages && from_base && len <= r->rw) {
        if (zero_resident_except(static_cast<char*>(base), len, zero_from, zero_to)) {
            if (len >= r->dirty) r->dirty = 0;
            return true;
        }
    }
    bool cleared = g_keep_pages && mprotect(base, len, PROT_READ | PROT_WRITE) == 0 &&
                   zero_resident_except(static_cast<char*>(base), len, zero_from, zero_to);
    if ((!cleared && madvise(base, len, MADV_DONTNEED) != 0) || mprotect(base, len, PROT_NONE) != 0) {
        set_last_error(error_from_errno(errno));
        return false;
    }
    if (from_base && len >= r->rw) r->rw = 0;
    if (from_base && len >= r->dirty) r->dirty = 0;
    return true;
}

bool vm_release(void* base, size_t bytes) {
    size_t len;
    if (!page_range(base, bytes, &len)) return false;
    // Only a whole reservation is released, as VirtualFree(MEM_RELEASE) does; the size
    // passed in is not trusted.
    auto& all = reservations();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].base != base) continue;
        // Only what was committed since the last clearing can hold data.
        size_t dirty = all[i].dirty;
        if (g_keep_pages && kept_regions().size() < kMaxKept &&
            (dirty == 0 || mprotect(base, dirty, PROT_READ | PROT_WRITE) == 0)) {
            bool cleared = dirty == 0 || zero_resident(static_cast<char*>(base), dirty);
            if (dirty > all[i].rw) all[i].rw = dirty;  // writable now
            if (cleared) {
                all[i].dirty = 0;
                kept_regions().push_back(all[i]);
                all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
                return true;
            }
        }
        if (munmap(base, all[i].size) != 0) {
            set_last_error(error_from_errno(errno));
            return false;
        }
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }
    set_last_error(487);
    return false;
}

void* vm_alloc_low(size_t bytes) {
    if (bytes == 0 || bytes > (size_t{1} << 31)) {
        set_last_error(8);
        return nullptr;
    }
    if (char* kept = take_kept(kept_low(), bytes).base) return kept;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p == MAP_FAILED) {
        set_last_error(8);
        return nullptr;
    }
    return p;
}

bool vm_free_low(void* p, size_t bytes) { return vm_free_low_used(p, bytes, bytes); }

bool vm_free_low_used(void* p, size_t bytes, size_t used) {
    if (p && bytes && g_keep_pages && bytes <= kMaxKeptLow && kept_low().size() < kMaxKept &&
        zero_resident(static_cast<char*>(p), used < bytes ? used : bytes)) {
        kept_low().push_back({static_cast<char*>(p), bytes});
        return true;
    }
    if (!p || bytes == 0 || munmap(p, bytes) != 0) {
        set_last_error(487);
        return false;
    }
    return true;
}

void vm_set_reserve_limit(size_t limit) { g_reserve_limit = limit; }

namespace detail {
void keep_pages_between_requests() { g_keep_pages = true; }

void reset_regions() {
    for (const Reservation& r : reservations()) munmap(r.base, r.size);
    reservations().clear();
}
}  // namespace detail

}  // namespace kel::platform
