// Movable memory handles and the reserved address space of the string heap.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/errors.h"
#include "platform/gmem.h"
#include "platform/vmem.h"

using namespace kel::platform;

TEST(Gmem, AllocLockUnlockFree) {
    size_t before = gmem_live_count();
    Handle h = gmem_alloc(100, true);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(gmem_size(h), 100u);
    EXPECT_EQ(gmem_live_count(), before + 1);
    auto* p = static_cast<unsigned char*>(gmem_lock(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(p[i], 0);
    EXPECT_TRUE(gmem_unlock(h));
    EXPECT_TRUE(gmem_free(h));
    EXPECT_EQ(gmem_live_count(), before);
}

TEST(Gmem, StaleHandleRefused) {
    Handle h = gmem_alloc(16, false);
    ASSERT_TRUE(gmem_free(h));
    EXPECT_EQ(gmem_lock(h), nullptr);
    EXPECT_FALSE(gmem_free(h));
    EXPECT_EQ(gmem_size(h), 0u);
    // The slot is reused, but under a new generation: the old handle stays dead.
    Handle again = gmem_alloc(16, false);
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, h);
    EXPECT_EQ(gmem_lock(h), nullptr);
    EXPECT_NE(gmem_lock(again), nullptr);
    gmem_unlock(again);
    gmem_free(again);
}

TEST(Gmem, BogusHandlesRefused) {
    EXPECT_EQ(gmem_lock(0), nullptr);
    EXPECT_EQ(gmem_lock(0xFFFFFFFFu), nullptr);
    EXPECT_EQ(gmem_lock(0x12345678u), nullptr);
    EXPECT_FALSE(gmem_unlock(0));
    EXPECT_EQ(gmem_realloc(0, 10, false), 0u);
}

TEST(Gmem, LockCounts) {
    Handle h = gmem_alloc(8, false);
    EXPECT_EQ(gmem_lock_count(h), 0u);
    void* a = gmem_lock(h);
    void* b = gmem_lock(h);
    EXPECT_EQ(a, b);
    EXPECT_EQ(gmem_lock_count(h), 2u);
    EXPECT_TRUE(gmem_unlock(h));
    EXPECT_TRUE(gmem_unlock(h));
    EXPECT_FALSE(gmem_unlock(h));
    EXPECT_EQ(gmem_lock_count(h), 0u);
    gmem_free(h);
}

TEST(Gmem, ReallocOnlyWhileUnlocked) {
    Handle h = gmem_alloc(4, true);
    std::memcpy(gmem_lock(h), "abc", 4);
    EXPECT_EQ(gmem_realloc(h, 1000, true), 0u);  // locked: must not move
    gmem_unlock(h);
    EXPECT_EQ(gmem_realloc(h, 1000, true), h);
    EXPECT_EQ(gmem_size(h), 1000u);
    auto* p = static_cast<char*>(gmem_lock(h));
    EXPECT_STREQ(p, "abc");
    for (int i = 4; i < 1000; ++i) ASSERT_EQ(p[i], 0);
    gmem_unlock(h);
    EXPECT_EQ(gmem_realloc(h, 2, false), h);
    EXPECT_EQ(gmem_size(h), 2u);
    gmem_free(h);
}

// Large blocks start at different offsets into their pages; each is still a whole,
// aligned block through growth, shrinking and freeing (the sanitizer build checks the
// edges), and a zeroed one reads as zero.
TEST(Gmem, LargeBlocksStaggeredAndWhole) {
    constexpr size_t kBig = 152 * 1000;
    Handle h[6];
    size_t offsets = 0;
    for (int k = 0; k < 6; ++k) {
        h[k] = gmem_alloc(kBig, k % 2 == 0);
        ASSERT_NE(h[k], 0u);
        auto* p = static_cast<unsigned char*>(gmem_lock(h[k]));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        offsets |= size_t{1} << ((reinterpret_cast<uintptr_t>(p) % 4096) / 64);
        if (k % 2 == 0) {
            for (size_t i = 0; i < kBig; i += 997) ASSERT_EQ(p[i], 0) << i;
        }
        std::memset(p, 'a' + k, kBig);
        gmem_unlock(h[k]);
    }
    EXPECT_GT(__builtin_popcountll(offsets), 1);
    ASSERT_EQ(gmem_realloc(h[1], kBig * 3, true), h[1]);
    auto* p = static_cast<unsigned char*>(gmem_lock(h[1]));
    EXPECT_EQ(p[0], 'b');
    EXPECT_EQ(p[kBig - 1], 'b');
    EXPECT_EQ(p[kBig], 0);
    EXPECT_EQ(p[kBig * 3 - 1], 0);
    gmem_unlock(h[1]);
    ASSERT_EQ(gmem_realloc(h[1], 100, false), h[1]);
    p = static_cast<unsigned char*>(gmem_lock(h[1]));
    EXPECT_EQ(p[99], 'b');
    gmem_unlock(h[1]);
    for (Handle x : h) EXPECT_TRUE(gmem_free(x));
}

TEST(Gmem, ZeroByteBlockIsUsable) {
    Handle h = gmem_alloc(0, false);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(gmem_size(h), 0u);
    EXPECT_NE(gmem_lock(h), nullptr);
    gmem_unlock(h);
    gmem_free(h);
}

TEST(Gmem, FaultInjection) {
    gmem_fail_next(2);
    EXPECT_EQ(gmem_alloc(10, false), 0u);
    EXPECT_EQ(last_error(), 8u);
    Handle h = gmem_alloc(10, false);
    EXPECT_EQ(h, 0u);
    h = gmem_alloc(10, false);
    EXPECT_NE(h, 0u);
    gmem_fail_next(1);
    EXPECT_EQ(gmem_realloc(h, 20, false), 0u);
    EXPECT_EQ(gmem_size(h), 10u);  // a failed realloc leaves the block as it was
    gmem_free(h);
}

TEST(Gmem, HugeRequestFails) {
    EXPECT_EQ(gmem_alloc(size_t{1} << 40, false), 0u);
    EXPECT_EQ(gmem_alloc(SIZE_MAX, false), 0u);
}

TEST(Gmem, ManyHandlesStayDistinct) {
    std::vector<Handle> hs;
    for (int i = 0; i < 1000; ++i) {
        Handle h = gmem_alloc(4, false);
        ASSERT_NE(h, 0u);
        *static_cast<int*>(gmem_lock(h)) = i;
        gmem_unlock(h);
        hs.push_back(h);
    }
    for (int i = 0; i < 1000; ++i) {
        GmemLock l(hs[i]);
        ASSERT_TRUE(l);
        EXPECT_EQ(*l.as<int>(), i);
    }
    for (Handle h : hs) EXPECT_EQ(gmem_lock_count(h), 0u);
    for (Handle h : hs) gmem_free(h);
}

TEST(Vmem, ReserveCommitDecommitRelease) {
    size_t page = vm_page_size();
    ASSERT_GE(page, 4096u);
    size_t size = 64 * page;
    auto* base = static_cast<char*>(vm_reserve(size));
    ASSERT_NE(base, nullptr);
    ASSERT_TRUE(vm_commit(base, 2 * page));
    std::memset(base, 'x', 2 * page);
    EXPECT_EQ(base[2 * page - 1], 'x');
    ASSERT_TRUE(vm_commit(base, 4 * page));  // growing keeps what was there
    EXPECT_EQ(base[0], 'x');
    base[4 * page - 1] = 'y';
    ASSERT_TRUE(vm_decommit(base, 4 * page));
    ASSERT_TRUE(vm_commit(base, page));
    EXPECT_EQ(base[0], 0);  // decommitted pages come back zeroed
    EXPECT_TRUE(vm_release(base, size));
}

TEST(Vmem, CommitNeverBeyondReservation) {
    size_t page = vm_page_size();
    auto* base = static_cast<char*>(vm_reserve(4 * page));
    ASSERT_NE(base, nullptr);
    EXPECT_FALSE(vm_commit(base, 5 * page));
    EXPECT_FALSE(vm_commit(base + 1, page));  // not page aligned
    EXPECT_FALSE(vm_commit(nullptr, page));
    int local = 0;
    EXPECT_FALSE(vm_commit(&local, 1));  // not ours
    EXPECT_TRUE(vm_release(base, 4 * page));
    EXPECT_FALSE(vm_release(base, 4 * page));
}

TEST(Vmem, ReserveLimitHook) {
    size_t page = vm_page_size();
    vm_set_reserve_limit(8 * page);
    EXPECT_EQ(vm_reserve(16 * page), nullptr);
    void* p = vm_reserve(8 * page);
    EXPECT_NE(p, nullptr);
    vm_set_reserve_limit(0);
    EXPECT_TRUE(vm_release(p, 8 * page));
}

TEST(Gmem, LowBlocksBelowTwoGiBZeroedAndMovable) {
    size_t before = gmem_live_count();
    Handle h = gmem_alloc_low(5000);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(gmem_size(h), 5000u);
    auto* p = static_cast<unsigned char*>(gmem_lock(h));
    ASSERT_NE(p, nullptr);
    EXPECT_LT(reinterpret_cast<uintptr_t>(p) + 5000, uintptr_t{1} << 31);
    for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
    std::memset(p, 'x', 5000);
    EXPECT_EQ(gmem_realloc(h, 100000, true), 0u);  // locked: must not move
    gmem_unlock(h);
    // Growth keeps the contents, stays low and zero-fills the new part.
    ASSERT_EQ(gmem_realloc(h, 100000, false), h);
    p = static_cast<unsigned char*>(gmem_lock(h));
    EXPECT_LT(reinterpret_cast<uintptr_t>(p) + 100000, uintptr_t{1} << 31);
    EXPECT_EQ(p[4999], 'x');
    EXPECT_EQ(p[5000], 0);
    EXPECT_EQ(p[99999], 0);
    gmem_unlock(h);
    // Shrinking within the same pages clears what was cut, so regrowth reads zero.
    ASSERT_EQ(gmem_realloc(h, 10, false), h);
    ASSERT_EQ(gmem_realloc(h, 4000, false), h);
    p = static_cast<unsigned char*>(gmem_lock(h));
    EXPECT_EQ(p[9], 'x');
    EXPECT_EQ(p[10], 0);
    gmem_unlock(h);
    EXPECT_TRUE(gmem_free(h));
    EXPECT_FALSE(gmem_free(h));
    Handle z = gmem_alloc_low(0);
    ASSERT_NE(z, 0u);
    EXPECT_NE(gmem_lock(z), nullptr);
    gmem_unlock(z);
    gmem_free(z);
    gmem_fail_next(1);
    EXPECT_EQ(gmem_alloc_low(16), 0u);
    EXPECT_EQ(gmem_alloc_low(size_t{1} << 40), 0u);
    EXPECT_EQ(gmem_live_count(), before);
}
