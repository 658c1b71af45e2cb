// Binary buffer table: handles, limits, end of data, and the services the host uses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "interp_host_fixture.h"
#include "lib/binbuf.h"

using namespace kel;
using namespace kel::lib;
using kel::test::Entered;
using kel::test::FakeHost;

namespace {

const char* as_ptr(intptr_t v) { return reinterpret_cast<const char*>(v); }

struct BinBufTest : ::testing::Test {
    FakeHost host;
    void SetUp() override { ASSERT_TRUE(host.start()); }
    void TearDown() override { host.stop(); }
};

}  // namespace

TEST_F(BinBufTest, HandlesAreLowestFreeSlots) {
    Entered e(host.inst_block);
    int32_t a = binbuf_alloc(e.inst(), 16);
    int32_t b = binbuf_alloc(e.inst(), 0);
    EXPECT_EQ(a, 987659);
    EXPECT_EQ(b, 987660);
    ASSERT_NE(binbuf_get(e.inst(), a), nullptr);
    EXPECT_EQ(binbuf_get(e.inst(), a)->size, 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(binbuf_get(e.inst(), a)->data[i], 0);
    EXPECT_TRUE(binbuf_free(e.inst(), a));
    EXPECT_FALSE(binbuf_free(e.inst(), a));
    EXPECT_EQ(binbuf_get(e.inst(), a), nullptr);
    EXPECT_EQ(binbuf_alloc(e.inst(), 4), a);
    EXPECT_EQ(binbuf_get(e.inst(), 987658), nullptr);
    EXPECT_EQ(binbuf_get(e.inst(), 987787), nullptr);
}

TEST_F(BinBufTest, TableLimitAndBadSizes) {
    Entered e(host.inst_block);
    for (int i = 0; i < kBinBufSlots; ++i) ASSERT_EQ(binbuf_alloc(e.inst(), 1), kBinBufFirstHandle + i);
    EXPECT_EQ(binbuf_alloc(e.inst(), 1), 0);
    EXPECT_EQ(e.inst().error(), 3024);
    e.inst().clear_error();
    EXPECT_TRUE(binbuf_free(e.inst(), 987786));
    EXPECT_EQ(binbuf_alloc(e.inst(), -1), 0);
    EXPECT_EQ(e.inst().error(), 1126);
    e.inst().clear_error();
    platform::gmem_fail_next(1);
    EXPECT_EQ(binbuf_alloc(e.inst(), 8), 0);
    EXPECT_EQ(e.inst().error(), 1126);
}

TEST_F(BinBufTest, StoreCutsToSizeAndSetsEnd) {
    Entered e(host.inst_block);
    int32_t h = binbuf_alloc(e.inst(), 4);
    EXPECT_EQ(binbuf_store(e.inst(), h, "ab", 2), 1);
    EXPECT_EQ(binbuf_get(e.inst(), h)->eod, 2);
    EXPECT_EQ(binbuf_store(e.inst(), h, "abcdef", 6), 0);
    EXPECT_EQ(binbuf_get(e.inst(), h)->eod, 4);
    EXPECT_EQ(std::memcmp(binbuf_get(e.inst(), h)->data, "abcd", 4), 0);
    EXPECT_EQ(binbuf_store(e.inst(), h, nullptr, 0), -1);
    EXPECT_EQ(binbuf_get(e.inst(), h)->eod, 0);
    EXPECT_EQ(binbuf_store(e.inst(), h + 1, "x", 1), -1);
}

TEST_F(BinBufTest, HostServices) {
    int32_t h;
    {
        Entered e(host.inst_block);
        h = binbuf_alloc(e.inst(), 8);
    }
    // 28: data, byte count in s2, handle in p.
    static const char kData[] = "a\0b\xff";
    EXPECT_EQ(host.svc(28, kData, as_ptr(4), 0, h), 1);
    EXPECT_EQ(host.svc(28, "123456789", as_ptr(9), 0, h), 0);
    EXPECT_EQ(host.svc(28, "x", as_ptr(1), 0, 42), -1);
    // 43: the memory handle, capacity and end of data, by handle or by variable.
    intptr_t mem = host.svc(43, "", as_ptr(h), 1);
    ASSERT_NE(mem, 0);
    {
        platform::GmemLock lock(static_cast<Handle>(mem));
        ASSERT_TRUE(lock);
        EXPECT_EQ(std::string(lock.as<char>(), 8), "12345678");
    }
    EXPECT_EQ(host.svc(43, "", as_ptr(h), 2), 8);
    EXPECT_EQ(host.svc(43, "", as_ptr(h), 3), 8);
    EXPECT_EQ(host.svc(43, "", as_ptr(h + 5), 1), 0);
    // 44: n = -1 sets the end of data within the size.
    EXPECT_EQ(host.svc(44, "", as_ptr(h), -1, 3), 3);
    EXPECT_EQ(host.svc(44, "", as_ptr(h), -1, 9), 3);
    EXPECT_EQ(host.svc(43, "", as_ptr(h), 3), 3);
}

TEST_F(BinBufTest, ServiceOneFillsABufferVariable) {
    int32_t h;
    {
        Entered e(host.inst_block);
        h = binbuf_alloc(e.inst(), 3);
        int32_t idx = interp::var_find_or_create(e.inst(), "buf");
        ASSERT_GE(idx, 0);
        e.inst().vars[idx].flags = kVtInt | kVtBinBuf;
        e.inst().vars[idx].i = h;
    }
    EXPECT_EQ(host.svc(1, "buf", "hello", 0, 5), 0);
    EXPECT_EQ(host.svc(43, "buf", nullptr, 3), 3);
    EXPECT_EQ(host.svc(1, "buf", "", 0, 0), -1);
    EXPECT_EQ(host.svc(43, "buf", nullptr, 3), 0);
    EXPECT_EQ(host.svc(1, "plain", "text", 0, 0), 1);
}

TEST(BinBuf, ReleasedWithTheInstance) {
    FakeHost host;
    ASSERT_TRUE(host.start());
    size_t before = platform::gmem_live_count();
    const interp::Instance* inst;
    {
        Entered e(host.inst_block);
        inst = &e.inst();
        binbuf_alloc(e.inst(), 100);
        binbuf_alloc(e.inst(), 200);
        EXPECT_EQ(binbuf_count(e.inst()), 2);
    }
    EXPECT_EQ(platform::gmem_live_count(), before + 2);
    host.stop();
    EXPECT_EQ(platform::gmem_live_count(), before - 2);  // the instance and table blocks too
    EXPECT_EQ(binbuf_count(*inst), 0);
}

TEST_F(BinBufTest, BuffersLieBelowTwoGiB) {
    Entered e(host.inst_block);
    int32_t big = binbuf_alloc(e.inst(), 1 << 20);
    int32_t small = binbuf_alloc(e.inst(), 0);
    ASSERT_NE(big, 0);
    ASSERT_NE(small, 0);
    for (int32_t h : {big, small}) {
        BinBuf* b = binbuf_get(e.inst(), h);
        ASSERT_NE(b, nullptr);
        uintptr_t end = reinterpret_cast<uintptr_t>(b->data) + static_cast<uintptr_t>(b->size);
        EXPECT_LT(end, uintptr_t{1} << 31);
        // The memory handle the host locks reaches the same bytes.
        platform::GmemLock lock(b->mem);
        EXPECT_EQ(lock.get(), static_cast<void*>(b->data));
    }
    BinBuf* b = binbuf_get(e.inst(), big);
    EXPECT_EQ(b->data[0], 0);
    EXPECT_EQ(b->data[(1 << 20) - 1], 0);
    EXPECT_TRUE(binbuf_free(e.inst(), big));
    EXPECT_TRUE(binbuf_free(e.inst(), small));
}

TEST_F(BinBufTest, AllocationFailureGives1126) {
    Entered e(host.inst_block);
    platform::gmem_fail_next(1);
    EXPECT_EQ(binbuf_alloc(e.inst(), 16), 0);
    EXPECT_EQ(e.inst().err_code, 1126);
}
