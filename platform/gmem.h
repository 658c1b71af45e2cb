// Movable memory blocks, referred to by handle and locked while in use. A handle is a
// non-zero 32-bit id (slot + generation), so a stale handle is refused, never followed.
#pragma once
#include "platform/api.h"

namespace kel::platform {

using Handle = uint32_t;

KEL_PLATFORM_API Handle gmem_alloc(size_t bytes, bool zeroed);  // 0 on failure
// A zero-filled block whose memory lies below 2 GiB, so that its address fits a script
// integer (binary buffers a script may hand to native code). Whole pages are mapped for
// it; it moves on resize like any block.
KEL_PLATFORM_API Handle gmem_alloc_low(size_t bytes);
KEL_PLATFORM_API void* gmem_lock(Handle h);                      // nullptr for a bad handle; counts locks
KEL_PLATFORM_API bool gmem_unlock(Handle h);                     // false when not locked
KEL_PLATFORM_API Handle gmem_realloc(Handle h, size_t bytes, bool zeroed);  // same handle or 0; only while unlocked
KEL_PLATFORM_API bool gmem_free(Handle h);                       // false for a bad handle
// As gmem_free, where only the block's first `used` bytes were ever written (its owner
// says so): a low block's pages kept for reuse are cleared only that far.
KEL_PLATFORM_API bool gmem_free_used(Handle h, size_t used);
KEL_PLATFORM_API size_t gmem_size(Handle h);                     // 0 for a bad handle
KEL_PLATFORM_API uint32_t gmem_lock_count(Handle h);
KEL_PLATFORM_API size_t gmem_live_count();                       // blocks currently allocated (leak checks)

// Test hook: the next `n` allocations fail.
KEL_PLATFORM_API void gmem_fail_next(int n);

// RAII lock for callers that must unlock on every path.
class GmemLock {
public:
    explicit GmemLock(Handle h) : h_(h), p_(gmem_lock(h)) {}
    ~GmemLock() { if (p_) gmem_unlock(h_); }
    GmemLock(const GmemLock&) = delete;
    GmemLock& operator=(const GmemLock&) = delete;
    void* get() const { return p_; }
    template <class T> T* as() const { return static_cast<T*>(p_); }
    explicit operator bool() const { return p_ != nullptr; }
private:
    Handle h_;
    void* p_;
};

}  // namespace kel::platform
