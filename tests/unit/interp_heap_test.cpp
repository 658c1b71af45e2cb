// String heap: block sizes, coalescing, growth, corruption detection, limits.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "interp/data/heap.h"
#include "platform/vmem.h"

using namespace kel;
using namespace kel::interp;

namespace {

class HeapTest : public ::testing::Test {
protected:
    static constexpr uint64_t kReserve = 4u << 20;
    void SetUp() override { attach(65536, kReserve); }
    void TearDown() override {
        if (region_) platform::vm_release(region_, reserved_);
    }
    void attach(uint64_t commit, uint64_t reserve) {
        if (region_) platform::vm_release(region_, reserved_);
        reserved_ = reserve;
        region_ = static_cast<uint8_t*>(platform::vm_reserve(reserve));
        ASSERT_NE(region_, nullptr);
        ASSERT_TRUE(platform::vm_commit(region_, commit));
        desc_ = {};
        desc_.region_base = region_;
        desc_.committed = commit;
        desc_.reserved = reserve;
        heap_format(inst_, region_, commit, reserve, &desc_);
    }
    uint32_t block_size_at(HeapOff off) {
        uint32_t v;
        std::memcpy(&v, region_ + off - 4, 4);
        return v;
    }
    Instance inst_;
    HostInstanceRecord desc_{};
    uint8_t* region_ = nullptr;
    uint64_t reserved_ = 0;
};

TEST(HeapBlockSize, FollowsRoundingRule) {
    EXPECT_EQ(heap_block_size(0), 28u);
    EXPECT_EQ(heap_block_size(1), 28u);
    EXPECT_EQ(heap_block_size(13), 28u);
    EXPECT_EQ(heap_block_size(16), 28u);
    EXPECT_EQ(heap_block_size(17), 32u);
    EXPECT_EQ(heap_block_size(100), 112u);
    EXPECT_EQ(heap_block_size(uint64_t{1} << 40), 0u);
}

TEST_F(HeapTest, FormatsOneFreeBlock) {
    uint32_t n = 0;
    uint64_t bytes = 0;
    ASSERT_TRUE(heap_check(inst_, &n, &bytes));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(bytes, 65536u - 56);
    EXPECT_EQ(inst_.heap.top, 65536u - 16);
}

TEST_F(HeapTest, OneByteUsesTwentyEightByteBlock) {
    HeapOff a = heap_alloc(inst_, 1);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(block_size_at(a), 28u);
    HeapOff b = heap_alloc(inst_, 17);
    EXPECT_EQ(block_size_at(b), 32u);
    // Carved from the end of the free block: the later allocation lies below.
    EXPECT_EQ(a - b, 32u);
    EXPECT_EQ(a + 20, inst_.heap.top);
    EXPECT_TRUE(heap_check(inst_));
}

TEST_F(HeapTest, PayloadHoldsRequestedBytes) {
    for (uint64_t n : {1u, 5u, 16u, 17u, 255u, 4096u}) {
        HeapOff a = heap_alloc(inst_, n);
        ASSERT_NE(a, 0u);
        std::memset(heap_ptr(inst_, a), 0xAB, n);
        ASSERT_TRUE(heap_check(inst_)) << n;
    }
}

TEST_F(HeapTest, CoalescesAdjacentBlocksInEitherOrder) {
    for (int order = 0; order < 2; ++order) {
        SetUp();
        HeapOff keep = heap_alloc(inst_, 40);  // keeps the pair away from the big free block
        HeapOff a = heap_alloc(inst_, 20);
        HeapOff b = heap_alloc(inst_, 20);
        HeapOff guard = heap_alloc(inst_, 20);
        ASSERT_TRUE(keep && a && b && guard);
        heap_free(inst_, order ? a : b);
        heap_free(inst_, order ? b : a);
        uint32_t n = 0;
        ASSERT_TRUE(heap_check(inst_, &n));
        EXPECT_EQ(n, 2u);  // the big one and the merged pair
        // The merged pair serves a request that needs both blocks.
        HeapOff c = heap_alloc(inst_, 50);
        EXPECT_EQ(c, std::min(a, b));
    }
}

TEST_F(HeapTest, FreeingEverythingLeavesOneBlock) {
    HeapOff offs[50];
    for (int i = 0; i < 50; ++i) offs[i] = heap_alloc(inst_, i * 7 + 1);
    for (int i = 0; i < 50; i += 2) heap_free(inst_, offs[i]);
    for (int i = 1; i < 50; i += 2) heap_free(inst_, offs[i]);
    uint32_t n = 0;
    uint64_t bytes = 0;
    ASSERT_TRUE(heap_check(inst_, &n, &bytes));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(bytes, 65536u - 56);
}

TEST_F(HeapTest, GrowsByCommittingMoreOfTheRegion) {
    HeapOff big = heap_alloc(inst_, 200000);
    ASSERT_NE(big, 0u);
    std::memset(heap_ptr(inst_, big), 1, 200000);
    EXPECT_GT(inst_.heap.committed, 65536u);
    EXPECT_EQ(desc_.committed, inst_.heap.committed);
    EXPECT_EQ(desc_.region_base, region_);
    EXPECT_EQ(inst_.heap.committed % platform::vm_page_size(), 0u);
    EXPECT_TRUE(heap_check(inst_));
    heap_free(inst_, big);
    uint32_t n = 0;
    ASSERT_TRUE(heap_check(inst_, &n));
    EXPECT_EQ(n, 1u);
}

TEST_F(HeapTest, ManySmallAllocationsGrowRepeatedly) {
    for (int i = 0; i < 20000; ++i) ASSERT_NE(heap_alloc(inst_, 30), 0u) << i;
    EXPECT_TRUE(heap_check(inst_));
    EXPECT_LE(inst_.heap.committed, kReserve);
}

TEST_F(HeapTest, RefusesMoreThanTheReservation) {
    EXPECT_EQ(heap_alloc(inst_, kReserve + 1), 0u);
    EXPECT_EQ(heap_alloc(inst_, uint64_t{1} << 33), 0u);
    EXPECT_LE(inst_.heap.committed, kReserve);
    // Filling up to the reservation ends with 0, never a commit past it.
    int got = 0;
    while (heap_alloc(inst_, 100000)) ++got;
    EXPECT_GT(got, 30);
    EXPECT_LE(inst_.heap.committed, kReserve);
    EXPECT_TRUE(heap_check(inst_));
}

TEST_F(HeapTest, DetectsOverwrittenTagsAndFreesNothing) {
    HeapOff a = heap_alloc(inst_, 20);
    HeapOff b = heap_alloc(inst_, 20);  // b lies below a
    HeapOff c = heap_alloc(inst_, 20);
    ASSERT_TRUE(a && b && c);
    // Overrun of c into b's tag: freeing b finds a bad tag on its own block. The tags are
    // reached by their own heap offsets, in front of the block's start.
    uint8_t saved[4];
    std::memcpy(saved, heap_ptr(inst_, b - 8), 4);
    std::memset(heap_ptr(inst_, b - 8), 'x', 4);
    heap_free(inst_, b);
    std::memcpy(heap_ptr(inst_, b - 8), saved, 4);
    EXPECT_TRUE(heap_check(inst_));
    // Corrupt the trailing tag of c (the lower neighbour of b).
    std::memset(heap_ptr(inst_, b - 12), 'y', 4);
    heap_free(inst_, b);
    std::memcpy(heap_ptr(inst_, b - 12), "5678", 4);
    EXPECT_TRUE(heap_check(inst_));
    // Freed twice: refused.
    heap_free(inst_, a);
    uint32_t n1 = 0, n2 = 0;
    ASSERT_TRUE(heap_check(inst_, &n1));
    heap_free(inst_, a);
    ASSERT_TRUE(heap_check(inst_, &n2));
    EXPECT_EQ(n1, n2);
}

TEST_F(HeapTest, IgnoresOffsetsOutsideTheHeap) {
    heap_free(inst_, 0);
    heap_free(inst_, 3);
    heap_free(inst_, 44);
    heap_free(inst_, inst_.heap.top + 8);
    heap_free(inst_, 0xFFFFFFF0u);
    EXPECT_TRUE(heap_check(inst_));
}

TEST_F(HeapTest, CopiesStrings) {
    HeapOff s = heap_strdup(inst_, "hello");
    ASSERT_NE(s, 0u);
    EXPECT_STREQ(heap_str(inst_, s), "hello");
    HeapOff e = heap_strdup(inst_, "");
    EXPECT_STREQ(heap_str(inst_, e), "");
    EXPECT_STREQ(heap_str(inst_, 0), "");
}

TEST_F(HeapTest, ReleaseValueFreesStrings) {
    Value v = empty_value();
    v.str = heap_strdup(inst_, "abc");
    v.wstr = heap_wstrdup(inst_, u"abc");
    v.i = 5;
    v.flags = kVtStr | kVtWide | kVtInt;
    release_value(inst_, v);
    EXPECT_EQ(v.flags, uint32_t{kVtInt});
    EXPECT_EQ(v.str, 0u);
    uint32_t n = 0;
    ASSERT_TRUE(heap_check(inst_, &n));
    EXPECT_EQ(n, 1u);
}

}  // namespace

namespace {

// Between the first block's header and the mark nothing is written, whatever the order of
// allocations and frees (whole free blocks taken, neighbours merged, the heap grown): a
// worker keeps those bytes without clearing them. Each payload is filled as a script would.
TEST_F(HeapTest, NothingIsWrittenBelowTheUntouchedMark) {
    std::vector<HeapOff> live;
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    auto check = [&](int step) {
        const uint64_t from = heap_untouched_from(), to = heap_untouched_to(inst_);
        for (uint64_t i = from; i < to; ++i)
            if (region_[i]) {
                ADD_FAILURE() << "step " << step << ": byte " << i << " below the mark " << to;
                return false;
            }
        return true;
    };
    for (int step = 0; step < 3000; ++step) {
        uint32_t r = next();
        if (live.empty() || r % 3 != 0) {
            uint64_t n = r % 16 == 0 ? 20000 + r % 9000 : r % 300;
            HeapOff off = heap_alloc(inst_, n);
            ASSERT_NE(off, 0u);
            std::memset(region_ + off, 0xCC, n);
            live.push_back(off);
        } else {
            size_t at = r % live.size();
            heap_free(inst_, live[at]);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
        }
        if (!check(step)) return;
    }
    for (HeapOff off : live) heap_free(inst_, off);
    EXPECT_TRUE(check(-1));
    ASSERT_TRUE(heap_check(inst_));
    // The first block taken whole: nothing is left untouched.
    attach(4096, kReserve);
    HeapOff all = heap_alloc(inst_, 4096 - 56 - 15);  // a block of exactly the free 4,040 bytes
    ASSERT_NE(all, 0u);
    EXPECT_LE(heap_untouched_to(inst_), heap_untouched_from());
}

}  // namespace
