// The watchdog: one timer for the whole process, re-armed and disarmed in place, and no
// thread at all.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <thread>

#include <unistd.h>

#include "platform/msgq.h"

using namespace kel::platform;

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

[[noreturn]] void stuck() {
    for (;;) sleep_ms(1000);
}

int thread_count() {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

TEST(Watchdog, NearerRearmWakesTheWaitingThread) {
    // Were the first deadline kept, this test would wait ten minutes.
    EXPECT_EXIT(
        {
            watchdog_arm(600000, [] { std::fputs("first\n", stderr); }, 3);
            sleep_ms(20);  // the timer is now set for the far deadline
            watchdog_arm(20, [] { std::fputs("second\n", stderr); }, 4);
            stuck();
        },
        ::testing::ExitedWithCode(4), "second");
}

TEST(Watchdog, RearmAfterDisarmFiresWithTheNewSettings) {
    EXPECT_EXIT(
        {
            watchdog_arm(300, [] { std::fputs("old\n", stderr); }, 3);
            watchdog_disarm();
            sleep_ms(600);  // the old deadline passes unobserved
            watchdog_arm(20, [] { std::fputs("again\n", stderr); }, 5);
            stuck();
        },
        ::testing::ExitedWithCode(5), "again");
}

TEST(Watchdog, NoThreadHowEverOftenArmed) {
    EXPECT_EXIT(
        {
            int before = thread_count();
            // Deadlines far enough away that a loaded machine cannot reach one mid-loop.
            for (int i = 0; i < 50; ++i) {
                watchdog_arm(60000, nullptr, 3);
                if (i % 2) watchdog_disarm();
            }
            watchdog_disarm();
            sleep_ms(40);
            std::exit(thread_count() - before);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Watchdog, ExitCodeKeepsItsLowByte) {
    EXPECT_EXIT(
        {
            watchdog_arm(10, nullptr, 0x1FE);
            stuck();
        },
        ::testing::ExitedWithCode(0xFE), "");
}

TEST(Watchdog, EndsAProcessBlockedInASystemCall) {
    EXPECT_EXIT(
        {
            int fds[2];
            if (pipe(fds) != 0) std::exit(99);
            watchdog_arm(20, [] { std::fputs("expired in read\n", stderr); }, 6);
            char c;
            ssize_t n = read(fds[0], &c, 1);  // no writer ever writes
            std::exit(n == 1 ? 98 : 97);
        },
        ::testing::ExitedWithCode(6), "expired in read");
}

TEST(Watchdog, AHangingExpiryStillEndsTheProcess) {
    // The expiry waits for something that never comes (a lock the stuck code holds):
    // the grace period ends the process with the code it was armed with.
    EXPECT_EXIT(
        {
            watchdog_arm(10, [] {
                std::fputs("expiry hangs\n", stderr);
                for (;;) pause();
            }, 7);
            stuck();
        },
        ::testing::ExitedWithCode(7), "expiry hangs");
}

TEST(Watchdog, DisarmAfterExpiryBeganDoesNotCancelTheEnd) {
    EXPECT_EXIT(
        {
            watchdog_arm(10, [] {
                watchdog_disarm();
                watchdog_arm(600000, nullptr, 1);
            }, 8);
            stuck();
        },
        ::testing::ExitedWithCode(8), "");
}

}  // namespace
