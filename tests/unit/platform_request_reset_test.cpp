// The state between two requests of a reused worker: what a request leaves is gone or
// refused, and the pages kept for the next request read as zero.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fileio.h"
#include "platform/gmem.h"
#include "platform/msgq.h"
#include "platform/request_reset.h"
#include "platform/vmem.h"

namespace pf = kel::platform;

namespace {

bool all_zero(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

intptr_t proc(pf::Hwnd, uint32_t, uintptr_t, intptr_t) { return 0; }

}  // namespace

TEST(RequestReset, KeptRegionAndLowBlockPagesReadAsZero) {
    pf::request_baseline();
    const size_t reserve = 1 << 20, commit = 64 * 1024;
    char* r = static_cast<char*>(pf::vm_reserve(reserve));
    ASSERT_NE(r, nullptr);
    ASSERT_TRUE(pf::vm_commit(r, commit));
    std::memset(r, 0xAB, commit);
    // A second commit further in, released without its own decommit.
    ASSERT_TRUE(pf::vm_commit(r + 512 * 1024, 4096));
    r[512 * 1024 + 7] = 1;
    ASSERT_TRUE(pf::vm_decommit(r, commit));
    ASSERT_TRUE(pf::vm_release(r, reserve));
    char* again = static_cast<char*>(pf::vm_reserve(reserve));
    EXPECT_EQ(again, r) << "the released region is kept for the next request";
    ASSERT_TRUE(pf::vm_commit(again, reserve));
    EXPECT_TRUE(all_zero(again, reserve));
    ASSERT_TRUE(pf::vm_release(again, reserve));

    pf::Handle h = pf::gmem_alloc_low(100000);
    ASSERT_NE(h, 0u);
    std::memset(pf::gmem_lock(h), 0x5A, 100000);
    pf::gmem_unlock(h);
    ASSERT_TRUE(pf::gmem_free(h));
    h = pf::gmem_alloc_low(100000);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(all_zero(pf::gmem_lock(h), 100000));
    pf::gmem_unlock(h);
    pf::gmem_free(h);
}

// Small kept mappings are cleared whole, larger ones page by page where in memory: at the
// size where the rule changes and one page past it, a byte left on the last page, on a
// middle page and on the first is gone for the next request.
TEST(RequestReset, KeptPagesAtTheWholeClearingSizeAndOnePastReadAsZero) {
    pf::request_baseline();
    const size_t page = pf::vm_page_size();
    for (size_t bytes : {size_t{192} << 10, (size_t{192} << 10) + page}) {
        SCOPED_TRACE(bytes);
        auto touch = [&](char* p) {
            p[0] = 1;
            p[bytes / 2 + 3] = 2;
            p[bytes - 1] = 3;
        };
        const size_t reserve = 4u << 20;
        char* r = static_cast<char*>(pf::vm_reserve(reserve));
        ASSERT_NE(r, nullptr);
        ASSERT_TRUE(pf::vm_commit(r, bytes));
        touch(r);
        ASSERT_TRUE(pf::vm_decommit(r, bytes));
        ASSERT_TRUE(pf::vm_release(r, reserve));
        char* again = static_cast<char*>(pf::vm_reserve(reserve));
        ASSERT_EQ(again, r);
        ASSERT_TRUE(pf::vm_commit(again, bytes));
        EXPECT_TRUE(all_zero(again, bytes));
        ASSERT_TRUE(pf::vm_release(again, reserve));

        pf::Handle h = pf::gmem_alloc_low(bytes);
        ASSERT_NE(h, 0u);
        char* low = static_cast<char*>(pf::gmem_lock(h));
        touch(low);
        pf::gmem_unlock(h);
        ASSERT_TRUE(pf::gmem_free(h));
        h = pf::gmem_alloc_low(bytes);
        ASSERT_NE(h, 0u);
        EXPECT_EQ(pf::gmem_lock(h), low) << "the low block is kept";
        EXPECT_TRUE(all_zero(low, bytes));
        pf::gmem_unlock(h);
        pf::gmem_free(h);
    }
}

TEST(RequestReset, QueueBlocksRegionsAndDirectoryAsInAFreshProcess) {
    char start[4096];
    ASSERT_NE(getcwd(start, sizeof start), nullptr);
    pf::request_baseline();
    // Earlier tests in this process may have made windows: start as after a request.
    std::string first;
    ASSERT_TRUE(pf::reset_after_request(&first)) << first;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(pf::register_class("ResetTest", &proc));
        pf::Hwnd w = pf::create_window("ResetTest", "t", 0);
        EXPECT_EQ(w, 1u) << "window ids start again in round " << round;
        pf::post_message(w, 0x400, 0, 0);
        pf::set_timer(w, 1, 1000);
        pf::Handle left = pf::gmem_alloc(100, true);  // never freed by the request
        EXPECT_NE(left, 0u);
        EXPECT_NE(pf::vm_reserve(1 << 20), nullptr);   // never released either
        ASSERT_EQ(chdir("/"), 0);
        std::string why;
        ASSERT_TRUE(pf::reset_after_request(&why)) << why;
        EXPECT_EQ(pf::gmem_live_count(), 0u);
        EXPECT_FALSE(pf::gmem_lock(left)) << "a block of the last request is gone";
        pf::Msg m{};
        EXPECT_FALSE(pf::peek_message(&m, true)) << "no message or timer survives";
        char now[4096];
        ASSERT_NE(getcwd(now, sizeof now), nullptr);
        EXPECT_STREQ(now, start);
    }
}

TEST(RequestReset, ADescriptorLeftOpenIsRefused) {
    pf::request_baseline();
    char path[] = "/tmp/kel-reset-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string why;
    EXPECT_FALSE(pf::reset_after_request(&why));
    EXPECT_EQ(why, "descriptor " + std::to_string(fd) + " is still open");
    close(fd);
    unlink(path);
    EXPECT_TRUE(pf::reset_after_request(&why)) << why;
}

// The quick check (as many descriptors as then, each of them still open) must not miss a
// descriptor far above the others, nor one opened where a baseline descriptor was closed.
TEST(RequestReset, EveryDescriptorLeftOpenIsFound) {
    int kept = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(kept, 0);
    pf::request_baseline();
    std::string why;
    for (int round = 0; round < 3; ++round) ASSERT_TRUE(pf::reset_after_request(&why)) << why;

    int high = fcntl(kept, F_DUPFD_CLOEXEC, 900);
    ASSERT_GE(high, 900);
    EXPECT_FALSE(pf::reset_after_request(&why));
    EXPECT_EQ(why, "descriptor " + std::to_string(high) + " is still open");
    close(high);
    EXPECT_TRUE(pf::reset_after_request(&why)) << why;

    // Same count: one of the baseline's closed, another one open instead.
    int moved = fcntl(kept, F_DUPFD_CLOEXEC, 700);
    ASSERT_GE(moved, 700);
    close(kept);
    EXPECT_FALSE(pf::reset_after_request(&why));
    EXPECT_EQ(why, "descriptor " + std::to_string(moved) + " is still open");
    ASSERT_EQ(dup2(moved, kept), kept);
    close(moved);
    EXPECT_TRUE(pf::reset_after_request(&why)) << why;
    close(kept);
    pf::request_baseline();
}

// A kept connection the server holds between requests is its own, in both the quick and
// the full check; once given up, it no longer hides a request's descriptor of that number.
TEST(RequestReset, TheHeldDescriptorIsTheServers) {
    pf::request_baseline();
    int conn = fcntl(0, F_DUPFD_CLOEXEC, 1000);
    ASSERT_GE(conn, 1000);
    std::string why;
    EXPECT_FALSE(pf::reset_after_request(&why));
    pf::request_hold_fd(conn);
    for (int round = 0; round < 3; ++round) ASSERT_TRUE(pf::reset_after_request(&why)) << why;
    // The full check (a request's descriptor opened and closed meanwhile changes nothing).
    int other = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_FALSE(pf::reset_after_request(&why));
    EXPECT_EQ(why, "descriptor " + std::to_string(other) + " is still open");
    close(other);
    EXPECT_TRUE(pf::reset_after_request(&why)) << why;
    // The connection closed while held: nothing is left open.
    close(conn);
    EXPECT_TRUE(pf::reset_after_request(&why)) << why;
    pf::request_hold_fd(-1);
    EXPECT_TRUE(pf::reset_after_request(&why)) << why;
    int again = fcntl(0, F_DUPFD_CLOEXEC, 1000);
    ASSERT_EQ(again, conn);
    EXPECT_FALSE(pf::reset_after_request(&why));
    EXPECT_EQ(why, "descriptor " + std::to_string(again) + " is still open");
    close(again);
    pf::request_baseline();
}

// Spent is for good, so the case runs in a process of its own.
void spent_case() {
    // Marks before the baseline (the server's own start-up loads libraries) do not count.
    pf::mark_process_spent("before");
    pf::request_baseline();
    std::string why;
    if (!pf::reset_after_request(&why)) std::exit(1);
    pf::mark_process_spent("a native library was loaded");
    pf::mark_process_spent("a program was started");
    if (pf::reset_after_request(&why) || why != "a native library was loaded") std::exit(2);
    if (pf::reset_after_request(&why)) std::exit(3);  // it stays spent
    std::exit(0);
}

TEST(RequestReset, ASpentProcessServesNoOther) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(spent_case(), ::testing::ExitedWithCode(0), "");
}

// Kept pages cleared only as far as their owner wrote: the last written byte and the
// bytes on the same page as the ends of a range the owner never wrote are cleared, the
// later request that writes less than the one before still gets zeroes.
TEST(RequestReset, KeptPagesClearedAsFarAsTheOwnerWrote) {
    pf::request_baseline();
    const size_t page = pf::vm_page_size(), bytes = 40 * page;
    pf::Handle h = pf::gmem_alloc_low(bytes);
    ASSERT_NE(h, 0u);
    char* low = static_cast<char*>(pf::gmem_lock(h));
    for (size_t used : {30 * page + 1, size_t{76}, page, page + 1, size_t{0}}) {
        SCOPED_TRACE(used);
        if (used) std::memset(low, 0x77, used);
        pf::gmem_unlock(h);
        ASSERT_TRUE(pf::gmem_free_used(h, used));
        h = pf::gmem_alloc_low(bytes);
        ASSERT_NE(h, 0u);
        ASSERT_EQ(pf::gmem_lock(h), low) << "the low block is kept";
        EXPECT_TRUE(all_zero(low, bytes));
    }
    pf::gmem_unlock(h);
    pf::gmem_free(h);

    // A range cleared whole and one cleared where its pages are in memory.
    for (size_t commit : {16 * page, (size_t{192} << 10) + page}) {
        const size_t reserve = 1 << 20;
        char* r = static_cast<char*>(pf::vm_reserve(reserve));
        ASSERT_NE(r, nullptr);
        struct Hole {
            size_t from, to;
        };
        // Holes with ends inside pages, on page bounds, empty, reversed, past the commit.
        for (const Hole& hole : {Hole{56, 5 * page + 9}, Hole{page, 3 * page}, Hole{100, 100}, Hole{9 * page, page},
                                 Hole{2 * page - 1, 64 * page}}) {
            SCOPED_TRACE(std::to_string(commit) + " " + std::to_string(hole.from));
            ASSERT_TRUE(pf::vm_commit(r, commit));
            for (size_t i = 0; i < commit; ++i)
                if (i < hole.from || i >= hole.to) r[i] = 0x33;
            ASSERT_TRUE(pf::vm_decommit_except(r, commit, hole.from, hole.to));
            ASSERT_TRUE(pf::vm_release(r, reserve));
            char* again = static_cast<char*>(pf::vm_reserve(reserve));
            ASSERT_EQ(again, r);
            ASSERT_TRUE(pf::vm_commit(again, commit));
            EXPECT_TRUE(all_zero(again, commit));
        }
        ASSERT_TRUE(pf::vm_release(r, reserve));
    }
}
