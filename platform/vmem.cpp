// Platform layer: reserved and committed address space for the interpreter's string heap.
// The heap itself (blocks, sentinels, growth policy) lives in the interpreter.
#include "platform/vmem.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/errors.h"
#include "platform/internal.h"

namespace kel::platform {

namespace {
size_t g_reserve_limit = 0;

struct Reservation {
    char* base;
    size_t size;
};

// Few regions ever exist (one per interpreter instance), so a vector is enough.
std::vector<Reservation>& reservations() {
    static auto* r = new std::vector<Reservation>;
    return *r;
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
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        set_last_error(error_from_errno(errno));
        return nullptr;
    }
    size_t page = vm_page_size();
    reservations().push_back({static_cast<char*>(p), (bytes + page - 1) / page * page});
    return p;
}

bool vm_commit(void* base, size_t bytes) {
    size_t len;
    if (!page_range(base, bytes, &len)) return false;
    if (len == 0) return true;
    if (!covering(base, len)) {
        set_last_error(487);
        return false;
    }
    if (mprotect(base, len, PROT_READ | PROT_WRITE) != 0) {
        set_last_error(error_from_errno(errno));
        return false;
    }
    return true;
}

bool vm_decommit(void* base, size_t bytes) {
    size_t len;
    if (!page_range(base, bytes, &len)) return false;
    if (len == 0) return true;
    if (!covering(base, len)) {
        set_last_error(487);
        return false;
    }
    // Drop the pages first so that a later commit sees zeroes, as a fresh commit does.
    if (madvise(base, len, MADV_DONTNEED) != 0 || mprotect(base, len, PROT_NONE) != 0) {
        set_last_error(error_from_errno(errno));
        return false;
    }
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
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (p == MAP_FAILED) {
        set_last_error(8);
        return nullptr;
    }
    return p;
}

bool vm_free_low(void* p, size_t bytes) {
    if (!p || bytes == 0 || munmap(p, bytes) != 0) {
        set_last_error(487);
        return false;
    }
    return true;
}

void vm_set_reserve_limit(size_t limit) { g_reserve_limit = limit; }

namespace detail {
void reset_regions() {
    for (const Reservation& r : reservations()) munmap(r.base, r.size);
    reservations().clear();
}
}  // namespace detail

}  // namespace kel::platform
